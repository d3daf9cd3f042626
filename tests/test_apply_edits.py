"""The apply-edits encoder and result decoder.

Request bodies are split into their length-prefixed messages here and read
with the Google protobuf runtime; responses are built with it.
"""
import atexit
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import split_delimited

EMPTY_INPUT = "GraphApplyEditsEncoder: empty input."
ALREADY = "GraphApplyEditsEncoder: Encode() has already been called!"
DECODE_FAILED = "Error decoding ApplyEdits response!"


def E():
    return pb.graph_edits_pb2


def V():
    return pb.graph_values_pb2


# ---------------------------------------------------------------- helpers


def split_body(body):
    parts = split_delimited(body)
    header = E().GraphApplyEditsHeader.FromString(parts[0])
    frames = [E().GraphApplyEditsFrame.FromString(p) for p in parts[1:]]
    assert all(p for p in parts[1:]), "empty frames are left out"
    return header, frames


def params(resolution=None):
    p = tk.InputQuantizationParameters()
    if resolution is not None:
        p.xy_resolution = resolution
    return p


def encoder(resolution=None):
    return tk.GraphApplyEditsEncoder(tk.SpatialReference(), params(resolution))


def body_of(enc):
    enc.encode()
    r = enc.get_encoding_result()
    assert r.error.error_code == 0, r.error.error_message
    assert r.error.error_message == ""
    return r.byte_buffer


def ent(type_name="T", id=None, **props):
    e = tk.EntityValue()
    e.type_name = type_name
    if id is not None:
        e.set_id(id)
    for k, v in props.items():
        e.set_key_value(k, v)
    return e


def rel(type_name="R", id=None, origin=None, dest=None, **props):
    r = tk.RelationshipValue()
    r.type_name = type_name
    if id is not None:
        r.set_id(id)
    if origin is not None or dest is not None:
        r.set_related_entity_ids(origin, dest)
    for k, v in props.items():
        r.set_key_value(k, v)
    return r


def prim(any_value):
    field = any_value.primitive_value.WhichOneof("value")
    return getattr(any_value.primitive_value, field)


_CYCLES = []


def cyclic_array():
    a = tk.ArrayValue()
    a.put_value_at(0, a)
    _CYCLES.append(a)
    return a


def _break_cycles_now():
    # native references form cycles the collector cannot see: break them
    for a in _CYCLES:
        a.values = []
    _CYCLES.clear()


# Collecting this file makes a cycle too (the parameters of the refusal test):
# a parallel worker that collects the file but runs none of it breaks it at exit.
atexit.register(_break_cycles_now)


@pytest.fixture(autouse=True, scope="module")
def _break_cycles():
    yield
    _break_cycles_now()


# ---------------------------------------------------------------- encoder


def test_fresh_encoder_reports_empty_input():
    enc = encoder()
    assert enc.get_encoding_result() is None
    enc.encode()
    r = enc.get_encoding_result()
    assert (r.error.error_code, r.error.error_message, r.byte_buffer) == (-7, EMPTY_INPUT, b"")


def test_single_entity_add_exact_bytes():
    enc = encoder()
    enc.add(ent("T"))
    # header (empty), then one frame: adds.entities{T: [EntityAdd{named_object_add{}}]}
    assert body_of(enc) == bytes.fromhex("00 0d 0a0b 0a09 0a0154 1204 0a02 0a00".replace(" ", ""))


def test_header_transform_and_cascade_delete():
    p = params(0.25)
    p.x_false_origin = -100
    p.y_false_origin = -100
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), p)
    assert enc.cascade_delete is False
    enc.cascade_delete = True
    assert enc.cascade_delete is True
    enc.add(ent())
    header, _ = split_body(body_of(enc))
    assert header.cascade_delete is True
    assert not header.HasField("spatial_reference")
    t = header.transform
    assert (t.scale.xScale, t.scale.yScale, t.translate.xTranslate, t.translate.yTranslate) == (0.25, 0.25, -100, -100)


def test_geometry_property_is_quantized_with_the_encoders_grid():
    p = params(0.25)
    p.x_false_origin = p.y_false_origin = -100
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), p)
    enc.add({"_objectType": "entity", "_typeName": "T", "_properties": {
        "g": {"_objectType": "geometry", "paths": [[[1.125, 2.375], [1.6, 2.2], [0.9, 2.9]]]}}})
    _, (frame,) = split_body(body_of(enc))
    g = frame.adds.entities["T"].entity_adds[0].named_object_add.properties[0].value.primitive_value.geometry_value
    assert list(g.default_geometry.lengths) == [3]
    assert list(g.default_geometry.coords) == [404, 410, 2, -1, -2, 3]


def test_adds_updates_deletes_are_grouped_by_type():
    enc = encoder()
    enc.add(ent("A", id=1, name="x"))
    enc.add(ent("B"))
    enc.add(ent("A", id=2))
    enc.add(rel("R", id="r", origin=1, dest=2, w=0.5))
    enc.update(ent("A", id=1, name="y"))
    enc.update(rel("R", id="r", w=1))
    enc.update(ent("N", k=1))
    enc.delete(ent("A", id=3))
    enc.delete(rel("R"))  # a null identifier is still sent
    _, (frame,) = split_body(body_of(enc))

    a = frame.adds.entities["A"].entity_adds
    assert [prim(x.named_object_add.id) for x in a] == [1, 2]
    assert [(p.key, prim(p.value)) for p in a[0].named_object_add.properties] == [("name", "x")]
    assert not frame.adds.entities["B"].entity_adds[0].named_object_add.HasField("id")
    (r,) = frame.adds.relationships["R"].relationship_adds
    assert (prim(r.named_object_add.id), prim(r.origin_id), prim(r.destination_id)) == ("r", 1, 2)

    (u,) = frame.updates.entities["A"].named_object_updates
    assert prim(u.id) == 1 and [p.key for p in u.properties] == ["name"]
    (ru,) = frame.updates.relationships["R"].named_object_updates
    assert prim(ru.id) == "r"
    (nu,) = frame.updates.entities["N"].named_object_updates  # a null identifier is still sent
    assert nu.HasField("id") and nu.id.primitive_value.WhichOneof("value") == "null_value"

    (d,) = frame.deletes.deleted_entity_ids["A"].identifiers.any_values.values
    assert prim(d) == 3
    (rd,) = frame.deletes.deleted_relationship_ids["R"].identifiers.any_values.values
    assert rd.primitive_value.WhichOneof("value") == "null_value"


def test_caller_objects_are_left_as_they_were():
    e = ent("A", id=1, name="x")
    r = rel("R", id=2, origin=1, dest=3, w=1)
    enc = encoder()
    for op in (enc.add, enc.update, enc.delete):
        op(e)
        op(r)
    assert body_of(enc)
    assert (e.type_name, e.key_value_pairs, e.get_id()) == ("A", [("name", "x")], 1)
    assert (r.type_name, r.key_value_pairs, r.get_origin_entity_id(), r.get_destination_entity_id()) == (
        "R", [("w", 1)], 1, 3)


@pytest.mark.parametrize("count, frames", [(2049, [2049]), (2050, [2049, 1]), (4099, [2049, 2049, 1])])
def test_frames_hold_2049_edits(count, frames):
    enc = encoder()
    e = ent("T", k=1)
    for _ in range(count):
        enc.add(e)
    _, got = split_body(body_of(enc))
    assert [len(f.adds.entities["T"].entity_adds) for f in got] == frames


def test_delete_from_ids_keeps_one_calls_ids_together():
    enc = encoder()
    enc.delete_from_ids({"_objectType": "entity", "_typeName": "T", "_ids": list(range(3000))})
    enc.add(ent("T"))
    _, (first, second) = split_body(body_of(enc))
    assert [prim(v) for v in first.deletes.deleted_entity_ids["T"].identifiers.any_values.values] == list(range(3000))
    assert not first.HasField("adds")
    assert len(second.adds.entities["T"].entity_adds) == 1


@pytest.mark.parametrize(
    "object_type, key",
    [("entity", "deleted_entity_ids"), ("Entity", "deleted_relationship_ids"),
     ("relationship", "deleted_relationship_ids"), (b"entity", "deleted_entity_ids")],
)
@pytest.mark.parametrize("ids", [[1, "two", uuid.UUID(int=3)], (1, "two", uuid.UUID(int=3))])
def test_delete_from_ids(object_type, key, ids):
    enc = encoder()
    enc.delete_from_ids({"_objectType": object_type, "_typeName": "T", "_ids": ids})
    _, (frame,) = split_body(body_of(enc))
    values = getattr(frame.deletes, key)["T"].identifiers.any_values.values
    assert [prim(v) for v in values] == [1, "two", uuid.UUID(int=3).bytes]


@pytest.mark.parametrize(
    "arg, error, message",
    [
        ([], ValueError, "Argument must be a dictionary with keys _objectType, _typeName, and _ids!"),
        ({"_typeName": "T", "_ids": []}, ValueError, "Argument must specify whether deleting entities or relationships!"),
        ({"_objectType": "entity", "_ids": []}, ValueError,
         "Argument must specify the type name of the entities or relationships to be deleted!"),
        ({"_objectType": "entity", "_typeName": "T"}, ValueError,
         "Argument must specify the IDs of the entities or relationships to be deleted!"),
        ({"_objectType": 1, "_typeName": "T", "_ids": []}, RuntimeError, "compile in debug mode"),
        ({"_objectType": "entity", "_typeName": None, "_ids": []}, RuntimeError, "compile in debug mode"),
        ({"_objectType": "entity", "_typeName": "T", "_ids": 5}, TypeError, None),
        ({"_objectType": "entity", "_typeName": "T", "_ids": [1, tk.PathValue(), 3]}, ValueError,
         "Unexpected error while encoding ID of object to be deleted!"),
        ({"_objectType": "entity", "_typeName": "T", "_ids": [1, 2**64]}, OverflowError, None),
    ],
)
def test_delete_from_ids_refusals_leave_the_request_unchanged(arg, error, message):
    enc = encoder()
    enc.add(ent("A"))
    with pytest.raises(error, match=message):
        enc.delete_from_ids(arg)
    _, (frame,) = split_body(body_of(enc))
    assert not frame.HasField("deletes")


def failing_edits():
    """(operation, object, message) of edits that must be refused."""
    bad_value = cyclic_array()
    point = tk.GeometryValue()  # the encoder has no grid for it
    point.geometry_type = tk.vexoGeometryPoint
    point.lengths = [1]
    point.coords = [1.0, 2.0]
    return [
        ("add", ent("A", g=point), "Unexpected error while encoding object to be added!"),
        ("add", ent(""), "Input object has no type name!"),
        ("add", ent("A", id=tk.PathValue()), "Unexpected error while encoding ID of object to be added!"),
        ("add", ent("A", k=tk.PathValue()), "Unexpected error while encoding object to be added!"),
        ("add", ent("A", k=bad_value), "Unexpected error while encoding object to be added!"),
        ("add", rel("R", origin=1), "Relationship must have origin and desination IDs!"),
        ("add", rel("R", dest=1), "Relationship must have origin and desination IDs!"),
        ("add", rel("R", id=tk.PathValue(), origin=1, dest=2), "Unexpected error while encoding ID of object to be added!"),
        ("add", rel("R", origin=tk.PathValue(), dest=2),
         "Unexpected error while encoding origin ID of object to be added!"),
        ("add", rel("R", origin=1, dest=tk.PathValue()),
         "Unexpected error while encoding destination ID of object to be added!"),
        ("add", rel("R", origin=1, dest=2, k=tk.PathValue()), "Unexpected error while encoding object to be added!"),
        ("update", ent("", k=1), "Input object has no type name!"),
        ("update", ent("New"), "Empty input object."),
        ("update", rel("New"), "Empty input object."),
        ("update", ent("A", id=tk.PathValue(), k=1), "Unexpected error while encoding ID of object to be updated!"),
        ("update", ent("A", k=tk.PathValue()), "Unexpected error while encoding object to be updated!"),
        ("delete", ent(""), "Input object has no type name!"),
        ("delete", ent("New", id=tk.PathValue()), "Unexpected error while encoding object to be deleted!"),
        ("delete", rel("New", id=bad_value), "Unexpected error while encoding object to be deleted!"),
        ("add", 5, "Argument must be valid Entity or Relationship!"),
        ("update", tk.ObjectValue(), "Argument must be valid Entity or Relationship!"),
        ("delete", {"_objectType": "object", "_properties": {}}, "Argument must be valid Entity or Relationship!"),
    ]


@pytest.mark.parametrize("index", range(len(failing_edits())))
def test_refused_edit_raises_and_leaves_no_trace(index):
    op, obj, message = failing_edits()[index]

    def run(with_failure):
        enc = encoder()
        enc.add(ent("A", id=1))
        for _ in range(2048):  # the current frame is full: a new one would open
            enc.delete(ent("A", id=2))
        if with_failure:
            with pytest.raises(ValueError, match=message):
                getattr(enc, op)(obj)
        enc.update(ent("A", id=1, k=2))
        return body_of(enc)

    assert run(True) == run(False)


def test_encoder_is_single_use():
    enc = encoder()
    enc.add(ent())
    view = enc.get_encoding_result()
    assert view is None
    enc.encode()
    view = enc.get_encoding_result()
    first = view.byte_buffer
    assert first
    for op in (enc.add, enc.update, enc.delete):
        with pytest.raises(RuntimeError, match="Cannot reuse encoder!"):
            op(ent(k=1))
    with pytest.raises(RuntimeError, match="Cannot reuse encoder!"):
        enc.delete_from_ids({"_objectType": "entity", "_typeName": "T", "_ids": [1]})
    with pytest.raises(ValueError, match="valid Entity"):  # the argument is checked first
        enc.add(1)
    enc.encode()
    assert (view.error.error_code, view.error.error_message) == (-7, ALREADY)
    assert view.byte_buffer == first


# ---------------------------------------------------------------- decoder


def any_array(*values):
    """ArrayValue holding AnyValues of ints (None gives a null)."""
    arr = V().ArrayValue()
    for v in values:
        a = arr.any_values.values.add()
        if v is None:
            a.primitive_value.null_value = False
        elif isinstance(v, str):
            a.primitive_value.string_value = v
        else:
            a.primitive_value.int64_value = v
    return arr


def edit_results(ids, errors=()):
    r = E().EditResults()
    r.ids.CopyFrom(ids)
    for k, code, msg in errors:
        r.errors[k].error_code = code
        r.errors[k].error_message = msg
    return r


def decode(response):
    dec = tk.GraphApplyEditsDecoder()
    err = dec.decode(response.SerializeToString())
    assert (err.error_code, err.error_message) == (0, ""), err.error_message
    return dec.get_results()


def test_response_with_no_results():
    r = E().GraphApplyEditsResult()
    r.error.SetInParent()  # one present, empty field: the body is not empty
    assert decode(r) == {"editsResult": {}, "cascadedDeletes": {}, "relationshipSchemaChanges": {}}


@pytest.mark.parametrize("data", [b"", b"\xff\xff\xff", b"\x0a\x05\x08"])
def test_undecodable_input(data):
    err = tk.GraphApplyEditsDecoder().decode(data)
    assert (err.error_code, err.error_message) == (-3, DECODE_FAILED)
    assert not err.empty()


@pytest.mark.parametrize("arg", ["text", bytearray(b"\x0a\x00"), memoryview(b"\x0a\x00"), None])
def test_decode_takes_only_bytes(arg):
    with pytest.raises(TypeError):
        tk.GraphApplyEditsDecoder().decode(arg)


def test_object_errors_and_key_order():
    r = E().GraphApplyEditsResult()
    r.entity_add_results["T"].CopyFrom(edit_results(any_array("a", "b"), [(1, 5, "x")]))
    got = decode(r)
    assert list(got) == ["error", "editsResult", "cascadedDeletes", "relationshipSchemaChanges"]
    assert got["error"] == {"error_code": 0, "error_message": ""}  # only an object failed
    r.error.error_code = -77
    r.error.error_message = "boom"
    assert decode(r)["error"] == {"error_code": -77, "error_message": "boom"}
    assert got["editsResult"] == {
        "T": {"addResults": [{"id": "a"}, {"id": "b", "error": {"error_code": 5, "error_message": "x"}}]}
    }


def test_kinds_share_the_type_record_in_order():
    r = E().GraphApplyEditsResult()
    r.relationship_delete_results["T"].CopyFrom(edit_results(any_array(3)))
    r.entity_update_results["T"].CopyFrom(edit_results(any_array(2)))
    r.relationship_add_results["T"].CopyFrom(edit_results(any_array(1)))
    r.entity_add_results["T"].CopyFrom(edit_results(any_array(0)))
    r.entity_add_results["U"].CopyFrom(edit_results(any_array(None, 7)))
    got = decode(r)
    assert "error" not in got
    t = got["editsResult"]["T"]
    assert list(t) == ["addResults", "updateResults", "deleteResults"]
    assert t == {
        "addResults": [{"id": 0}, {"id": 1}],
        "updateResults": [{"id": 2}],
        "deleteResults": [{"id": 3}],
    }
    assert got["editsResult"]["U"] == {"addResults": [{"id": None}, {"id": 7}]}


def test_results_without_ids_are_skipped_with_their_errors():
    r = E().GraphApplyEditsResult()
    r.entity_add_results["T"].errors[0].error_code = 9
    r.entity_add_results["U"].CopyFrom(edit_results(any_array(1), [(4, 1, "beyond the ids")]))
    assert decode(r) == {
        "editsResult": {"U": {"addResults": [{"id": 1}]}},
        "cascadedDeletes": {},
        "relationshipSchemaChanges": {},
    }


def test_typed_id_arrays_and_empty_ids():
    r = E().GraphApplyEditsResult()
    u = uuid.UUID(int=0x0102)
    r.entity_delete_results["A"].ids.uuid_values = u.bytes + uuid.UUID(int=5).bytes
    r.entity_delete_results["B"].ids.int64_values.values.extend([4, -4])
    r.entity_delete_results["C"].ids.SetInParent()  # present, no member: no results
    got = decode(r)["editsResult"]
    assert got["A"] == {"deleteResults": [{"id": u}, {"id": uuid.UUID(int=5)}]}
    assert got["B"] == {"deleteResults": [{"id": 4}, {"id": -4}]}
    assert got["C"] == {}


def test_cascaded_deletes():
    r = E().GraphApplyEditsResult()
    c = r.cascading_relationship_delete_results["R"]
    c.results.CopyFrom(edit_results(any_array(10, 11), [(0, 3, "no")]))
    c.origin_ids.CopyFrom(any_array(1, 2))
    c.destination_ids.CopyFrom(any_array(5, 6))
    got = decode(r)
    assert got["cascadedDeletes"] == {"R": [
        {"id": 10, "originId": 1, "destId": 5, "error": {"error_code": 3, "error_message": "no"}},
        {"id": 11, "originId": 2, "destId": 6},
    ]}
    assert got["error"] == {"error_code": 0, "error_message": ""}


@pytest.mark.parametrize("origins, dests", [((1,), (5, 6)), ((1, 2), (5,)), ((1, 2), None), (None, None)])
def test_cascaded_arrays_of_unequal_length_fail(origins, dests):
    r = E().GraphApplyEditsResult()
    c = r.cascading_relationship_delete_results["R"]
    c.results.CopyFrom(edit_results(any_array(10, 11)))
    if origins is not None:
        c.origin_ids.CopyFrom(any_array(*origins))
    if dests is not None:
        c.destination_ids.CopyFrom(any_array(*dests))
    err = tk.GraphApplyEditsDecoder().decode(r.SerializeToString())
    assert (err.error_code, err.error_message) == (-3, DECODE_FAILED)


def test_schema_changes():
    r = E().GraphApplyEditsResult()
    ch = r.rel_type_schema_changes["R"]
    ch.new_end_points.add(origin_entity_type="A", destination_entity_type="B")
    ch.new_end_points.add(origin_entity_type="C", destination_entity_type="D")
    r.rel_type_schema_changes["S"].SetInParent()
    got = decode(r)["relationshipSchemaChanges"]
    assert got == {
        "R": {"new_end_points": [
            {"origin_entity_type": "A", "dest_entity_type": "B"},
            {"origin_entity_type": "C", "dest_entity_type": "D"},
        ]},
        "S": {},
    }


@pytest.mark.parametrize("origin, dest", [("", "B"), ("A", "")])
def test_end_point_without_a_name_raises(origin, dest):
    r = E().GraphApplyEditsResult()
    r.rel_type_schema_changes["R"].new_end_points.add(origin_entity_type=origin, destination_entity_type=dest)
    dec = tk.GraphApplyEditsDecoder()
    assert dec.decode(r.SerializeToString()).empty()
    with pytest.raises(ValueError, match="EndPoint must include both origin and destination entity type."):
        dec.get_results()


def test_each_decode_starts_afresh():
    dec = tk.GraphApplyEditsDecoder()
    first = E().GraphApplyEditsResult()
    first.entity_add_results["T"].CopyFrom(edit_results(any_array(1), [(0, 2, "bad")]))
    first.error.error_code = 4
    assert dec.decode(first.SerializeToString()).empty()
    second = E().GraphApplyEditsResult()
    second.entity_add_results["U"].CopyFrom(edit_results(any_array(2)))
    assert dec.decode(second.SerializeToString()).empty()
    assert dec.get_results() == {
        "editsResult": {"U": {"addResults": [{"id": 2}]}},
        "cascadedDeletes": {},
        "relationshipSchemaChanges": {},
    }
    assert dec.decode(b"").error_code == -3
    assert dec.get_results() == {"editsResult": {}, "cascadedDeletes": {}, "relationshipSchemaChanges": {}}


def test_result_type_names_in_a_stable_order():
    # Within each kind, type names come in name order on every run (protobuf
    # map order would differ between processes); entity results come first.
    r = pb.graph_edits_pb2.GraphApplyEditsResult()
    for name in ["Zed", "Amy", "Mo", "Bo"]:
        r.entity_add_results[name].ids.int64_values.values.append(1)
    r.relationship_add_results["Cat"].ids.int64_values.values.append(2)
    r.cascading_relationship_delete_results["Y"].results.ids.int64_values.values.append(1)
    r.cascading_relationship_delete_results["X"].results.ids.int64_values.values.append(1)
    for c in r.cascading_relationship_delete_results.values():
        c.origin_ids.int64_values.values.append(3)
        c.destination_ids.int64_values.values.append(4)
    dec = tk.GraphApplyEditsDecoder()
    assert dec.decode(r.SerializeToString()).empty()
    got = dec.get_results()
    assert list(got["editsResult"]) == ["Amy", "Bo", "Mo", "Zed", "Cat"]
    assert list(got["cascadedDeletes"]) == ["X", "Y"]
