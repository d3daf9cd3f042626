"""Memory stays flat under repetition.

Every decoder and encoder is driven over valid and invalid inputs, 100,000
calls in all. After a warm-up (caches, interned keys, the allocator's own
arenas) the resident set may grow by no more than 1 MiB per 10,000 calls,
which is about a hundred bytes a call: a leaked message, string, Python
object or reference per call shows up well above that.

Under AddressSanitizer the freed memory sits in its quarantine, so RSS says
nothing there; the calls still run (LeakSanitizer judges them at exit) and
only the RSS check is left out.
"""
import datetime
import os
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import (
    array,
    delimited,
    entity,
    frame_bytes,
    geometry,
    header,
    primitive,
    relationship,
    result_stream,
    value,
)

TOTAL_CALLS = 100_000
LIMIT_PER_10K = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def under_asan():
    with open("/proc/self/maps") as f:
        maps = f.read()
    return "libasan" in maps or "clang_rt.asan" in maps or "asan_with_fuzzer" in maps


# --- inputs, built once with the protobuf runtime -----------------------------

def query_streams():
    rows = [[1, "text", 2.5, entity("P", 7, {"a": 1, "b": "x"})],
            [relationship("R", 8, 7, 9, {"w": 0.5}), array(any_values=[1, "two", None]),
             primitive(geometry_value=geometry(2, [3], [1, 1, 2, 2, -1, -1])), value(uuid.UUID(int=5))],
            [array(null_values=3), array(string_values=["s", "t"]), value(None),
             value(datetime.datetime(2021, 5, 6, tzinfo=datetime.timezone.utc))]]
    names = ["a", "b", "c", "d"]
    return [
        result_stream(names, rows, rows_per_frame=2),
        result_stream(names, rows, rows_per_frame=1, compression="gzip"),
        delimited(header(names)) + frame_bytes(error=(5, "server failed")),
        delimited(header(names)) + frame_bytes([[1, 2]]),  # row width mismatch
        delimited(header(names, compressed=True)) + delimited(b"\x1f\x8b\x08\x00junk"),
        delimited(header(names, transform=False)),
        b"\x05\xff\xff\xff\xff\xff",  # header that does not parse
    ]


def data_models():
    s = pb.graph_schema_pb2
    m = s.GraphDataModel()
    m.data_model_timestamp = 1700000000000
    m.spatial_reference.wkid = 4326
    m.identifier_info.identifier_mapping_info.uniform_property.identifier_property_name = "gid"
    m.identifier_info.identifier_generation_info.uuid_method_hint = 2
    et = m.entity_types.add().named_object_type
    et.name = "Person"
    p = et.properties.add(name="age", field_type=2)
    p.default_value.add().int64_value = 3
    et.properties.add(name="shape", field_type=8, geometry_type=1, has_z=True)
    et.field_indexes.add(name="idx", fields="age,shape")
    rt = m.relationship_types.add()
    rt.named_object_type.name = "Knows"
    rt.end_points.add(origin_entity_type="Person", destination_entity_type="Person")
    si = m.search_indexes.add(name="search", supported_category=3)
    si.analyzers.add(name="std")
    si.search_properties["Person"].property_names.extend(["age"])
    valid = m.SerializeToString()
    no_info = s.GraphDataModel(objectid_property="x").SerializeToString()
    bad_geometry = s.GraphDataModel()
    bad_geometry.CopyFrom(m)
    bad_geometry.entity_types[0].named_object_type.properties[1].geometry_type = 4  # to_value_object refuses
    return [valid, no_info, bad_geometry.SerializeToString(), valid[:len(valid) // 2], b"\xff\xff"]


def apply_edits_results():
    E = pb.graph_edits_pb2
    r = E.GraphApplyEditsResult()
    er = r.entity_add_results["T"]
    er.ids.int64_values.values.extend([1, 2, 3])
    er.errors[1].error_code = 5
    er.errors[1].error_message = "bad"
    r.relationship_delete_results["R"].ids.string_values.value.extend(["a", "b"])
    c = r.cascading_relationship_delete_results["R"]
    c.results.ids.int64_values.values.extend([1])
    c.origin_ids.int64_values.values.extend([2])
    c.destination_ids.int64_values.values.extend([3])
    r.rel_type_schema_changes["R"].new_end_points.add(origin_entity_type="A", destination_entity_type="B")
    unequal = E.GraphApplyEditsResult()
    cu = unequal.cascading_relationship_delete_results["R"]
    cu.results.ids.int64_values.values.extend([1, 2])
    cu.origin_ids.int64_values.values.extend([2])
    cu.destination_ids.int64_values.values.extend([3, 4])
    nameless = E.GraphApplyEditsResult()
    nameless.rel_type_schema_changes["R"].new_end_points.add(origin_entity_type="A")  # get_results refuses
    return [r.SerializeToString(), unequal.SerializeToString(), nameless.SerializeToString(), b"", b"\x12\xff"]


SCHEMA_DECODERS = [
    ("GraphNamedObjectTypeAddsResponse", tk.GraphNamedObjectTypeAddsResponseDecoder),
    ("GraphNamedObjectTypeUpdateResponse", tk.GraphNamedObjectTypeUpdateResponseDecoder),
    ("GraphNamedObjectTypeDeleteResponse", tk.GraphNamedObjectTypeDeleteResponseDecoder),
    ("GraphPropertyAddsResponse", tk.GraphPropertyAddsResponseDecoder),
    ("GraphPropertyUpdateResponse", tk.GraphPropertyUpdateResponseDecoder),
    ("GraphPropertyDeleteResponse", tk.GraphPropertyDeleteResponseDecoder),
]


def schema_responses(kind):
    msg = getattr(pb.graph_schema_pb2, kind)()
    msg.error.error_code = 3
    msg.error.error_message = "failed"
    for field in ("entity_add_results", "relationship_add_results", "property_add_results"):
        if hasattr(msg, field):
            getattr(msg, field).add(name="a").error.error_code = 7
            getattr(msg, field).add(name="b")
    return [msg.SerializeToString(), b"\x0a\xff\xff\xff\xff\x0f", b""]


# --- one call per driver step --------------------------------------------------

def cycle(items):
    """A function returning the next item on each call, round and round."""
    state = {"i": 0}

    def nxt():
        item = items[state["i"] % len(items)]
        state["i"] += 1
        return item
    return nxt


def drive_query_decoder():
    nxt = cycle(query_streams())
    model = tk.decode_data_model_from_protocol_buffer(data_models()[0])

    def call():
        d = tk.GraphQueryDecoder()
        d.data_model = model
        d.push_buffer(nxt())
        while d.next_row():
            try:
                d.get_current_row()
            except (ValueError, RuntimeError):
                pass
            d.get_value(0)
            d.get_value(3)
        try:
            tk.GraphQueryDecoder().get_current_row()
        except ValueError:
            pass
    return call


def drive_data_model():
    nxt = cycle(data_models())

    def call():
        dm = tk.decode_data_model_from_protocol_buffer(nxt())
        if dm is not None:
            try:
                dm.to_value_object()
            except ValueError:
                pass
            dm.query_entity_type("Person")
            for t in dm.entity_types:
                t.get_property("age")
    return call


def drive_apply_edits_decoder():
    nxt = cycle(apply_edits_results())

    def call():
        dec = tk.GraphApplyEditsDecoder()
        dec.decode(nxt())
        try:
            dec.get_results()
        except ValueError:
            pass
    return call


def drive_schema_decoders():
    inputs = cycle([(decoder, body) for kind, decoder in SCHEMA_DECODERS for body in schema_responses(kind)])

    def call():
        decoder, body = inputs()
        dec = decoder()
        dec.decode(body)
        dec.get_results()
    return call


def edit_objects():
    point = {"_objectType": "geometry", "x": 1.5, "y": 2.5}
    line = {"_objectType": "geometry", "paths": [[[0, 0], [1, 1]], [[2, 2], [3, 3], [4, 4]]], "hasZ": False}
    return [
        {"_objectType": "entity", "_typeName": "Person", "_id": uuid.UUID(int=1),
         "_properties": {"name": "Ann", "age": 41, "shape": point, "when": datetime.datetime(2020, 1, 1)}},
        {"_objectType": "relationship", "_typeName": "Knows", "_id": 7, "_originEntityId": 1,
         "_destinationEntityId": 2, "_properties": [("since", 2001), ("route", line)]},
        {"_objectType": "entity", "_typeName": "Person"},  # no _properties: KeyError
        {"_objectType": "relationship", "_typeName": "R", "_properties": {}},  # no ends: KeyError
        {"_objectType": "entity", "_typeName": 5, "_properties": {}},  # cast error
        {"_objectType": "entity", "_typeName": "P", "_properties": 5},  # dict() refuses
        {"_objectType": "entity", "_typeName": "P", "_properties": {"g": {"_objectType": "geometry",
                                                                          "points": [["x", 1]]}}},
        42,  # not an entity or relationship
    ]


def drive_apply_edits_encoder():
    nxt = cycle(edit_objects())
    sr = tk.SpatialReference()
    sr.wkid = 4326
    params = tk.InputQuantizationParameters()
    params.xy_resolution = 1e-6
    params.x_false_origin = -400.0
    params.y_false_origin = -400.0

    def call():
        enc = tk.GraphApplyEditsEncoder(sr, params)
        for op in (enc.add, enc.update, enc.delete):
            try:
                op(nxt())
            except (ValueError, KeyError, RuntimeError, TypeError):
                pass
        try:
            enc.delete_from_ids({"_objectType": "entity", "_typeName": "P", "_ids": [1, "a", uuid.UUID(int=2)]})
            enc.delete_from_ids({"_objectType": "entity"})
        except ValueError:
            pass
        enc.encode()
        enc.get_encoding_result()
        try:
            enc.add(edit_objects()[0])  # after encode: refused
        except RuntimeError:
            pass
    return call


def property_dicts():
    return [
        {"name": "age", "alias": "Age", "fieldType": "vexoFieldTypeInteger", "defaultValue": 3, "nullable": False},
        {"name": "shape", "fieldType": "vexoFieldTypeGeometry", "geometryType": "vexoGeometryPolygon", "hasZ": True,
         "defaultValue": {"_objectType": "geometry", "rings": [[[0, 0], [1, 0], [0, 1], [0, 0]]]}},
        {"name": "big", "fieldType": "vexoFieldTypeBigInteger"},  # encode refuses
        {"name": "bad", "fieldType": "nonsense"},  # ValueError
        {"name": "g", "fieldType": "vexoFieldTypeGeometry"},  # no geometry type: encode refuses
    ]


def drive_schema_encoders():
    props = cycle(property_dicts())
    masks = cycle([{"update_name": True}, {"update_alias": True, "update_strict": False}, {}, []])

    def call():
        prop = props()
        named = {"name": "Person", "alias": "P", "role": "vexoGraphNamedObjectDocument", "strict": True,
                 "properties": {"p": prop}}
        adds = tk.GraphNamedObjectTypeAddsRequestEncoder()
        upd = tk.GraphNamedObjectTypeUpdateRequestEncoder()
        padds = tk.GraphPropertyAddsRequestEncoder()
        pupd = tk.GraphPropertyUpdateRequestEncoder()
        pdel = tk.GraphPropertyDeleteRequestEncoder()
        for fn in (lambda: adds.add_entity_type(named), lambda: adds.add_relationship_type(named),
                   lambda: upd.update_entity_type(named, masks()), lambda: upd.update_relationship_type(named, {}),
                   lambda: padds.add_property(prop), lambda: pupd.update_property(prop, masks())):
            try:
                fn()
            except ValueError:
                pass
        pupd.name = "old"
        pdel.name = "gone" if prop.get("name") != "bad" else ""
        for enc in (adds, upd, padds, pupd, pdel):
            enc.encode()
            enc.get_encoding_result()
    return call


def drive_query_encoders():
    params = cycle([1, "text", 2.5, None, uuid.UUID(int=3), datetime.datetime(2021, 1, 1), b"\x00\x01",
                    tk.EntityValue(), [1, 2]])

    def call():
        enc = tk.GraphQueryRequestEncoder()
        enc.open_cypher_query = "MATCH (n) RETURN n"
        for key in ("a", "b", ""):
            try:
                enc.set_param_key_value(key, params())
            except (ValueError, TypeError, RuntimeError):
                pass
        enc.encode()
        enc.get_encoding_result()
        empty = tk.GraphQueryRequestEncoder()
        empty.encode()  # an error result
        empty.get_encoding_result()
        search = tk.GraphSearchRequestEncoder()
        search.search_query = "river" if params() is not None else ""
        search.encode()
        search.get_encoding_result()
    return call


DRIVERS = {
    "query_decoder": drive_query_decoder,
    "data_model": drive_data_model,
    "apply_edits_decoder": drive_apply_edits_decoder,
    "schema_decoders": drive_schema_decoders,
    "apply_edits_encoder": drive_apply_edits_encoder,
    "schema_encoders": drive_schema_encoders,
    "query_encoders": drive_query_encoders,
}
CALLS = TOTAL_CALLS // len(DRIVERS)
WARM = CALLS // 5


@pytest.mark.rss
@pytest.mark.parametrize("name", list(DRIVERS))
def test_memory_stays_flat(name):
    call = DRIVERS[name]()
    for _ in range(WARM):
        call()
    # two measured halves: a leak grows in both, the allocator settling
    # (one more arena, a resized cache) in at most one
    half = (CALLS - WARM) // 2
    growth = []
    for _ in range(2):
        before = rss()
        for _ in range(half):
            call()
        growth.append(rss() - before)
    if under_asan():
        return  # quarantined memory: LeakSanitizer judges at exit instead
    limit = LIMIT_PER_10K * half / 10_000
    assert min(growth) <= limit, f"RSS grew by {growth} bytes per {half} calls (limit {limit:.0f})"
