"""Python objects and the dictionary forms read back into values.

The conversion is observed where it is used: objects handed to the apply-edits
encoder, whose request body is read back with the Google protobuf runtime.
"""
import datetime
import math
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import split_delimited

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"


def frames_of(body):
    parts = split_delimited(body)
    return [pb.graph_edits_pb2.GraphApplyEditsFrame.FromString(p) for p in parts[1:]]


def params(resolution=1.0):
    p = tk.InputQuantizationParameters()
    p.xy_resolution = resolution
    return p


def encode_add(obj):
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), params())
    enc.add(obj)
    enc.encode()
    result = enc.get_encoding_result()
    assert result.error.error_code == 0, result.error.error_message
    (frame,) = frames_of(result.byte_buffer)
    return frame.adds


def entity(props, **extra):
    d = {"_objectType": "entity", "_typeName": "T", "_properties": props}
    d.update(extra)
    return d


def added_entity(obj, type_name="T"):
    adds = encode_add(obj)
    (add,) = adds.entities[type_name].entity_adds
    return add.named_object_add


def property_value(value):
    (p,) = added_entity(entity({"p": value})).properties
    return p.value


def primitive(any_value):
    assert any_value.WhichOneof("value") == "primitive_value"
    field = any_value.primitive_value.WhichOneof("value")
    return field, getattr(any_value.primitive_value, field)


def test_entity_dict_drops_empty_keys_and_reads_the_id():
    named = added_entity(entity({"name": "Ann", "": 1}, _typeName="Person"), "Person")
    assert [(p.key, primitive(p.value)) for p in named.properties] == [("name", ("string_value", "Ann"))]
    assert not named.HasField("id")
    assert primitive(added_entity(entity({}, _id=42)).id) == ("int64_value", 42)


def test_relationship_dict_reads_ends_and_properties():
    rel = {
        "_objectType": "relationship",
        "_typeName": "Knows",
        "_id": "r1",
        "_originEntityId": "a",
        "_destinationEntityId": "b",
        "_properties": {"since": 2001},
    }
    (add,) = encode_add(rel).relationships["Knows"].relationship_adds
    assert primitive(add.named_object_add.id) == ("string_value", "r1")
    assert primitive(add.origin_id) == ("string_value", "a")
    assert primitive(add.destination_id) == ("string_value", "b")
    assert [p.key for p in add.named_object_add.properties] == ["since"]


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.5, ("float_value", 0.5)),  # exact in single precision
        (0.1, ("double_value", 0.1)),
        (True, ("bool_value", True)),
        (7, ("int64_value", 7)),
        (-(2**63), ("int64_value", -(2**63))),
        ("abc", ("string_value", "abc")),
        (b"\x00\x01", ("blob_value", b"\x00\x01")),
        (uuid.UUID(bytes=bytes(range(16))), ("uuid_value", bytes(range(16)))),
        (type("F", (float,), {})(0.25), ("float_value", 0.25)),
        (None, ("null_value", False)),
        ([1, 2], ("null_value", False)),  # nothing accepts a list: null
        (bytearray(b"x"), ("null_value", False)),
        ({"_objectType": "object", "_properties": {}}, ("null_value", False)),
        ({"_objectType": "path"}, ("null_value", False)),
        ({"_objectType": "geometry", "xmin": 0, "ymin": 0, "xmax": 1, "ymax": 1}, ("null_value", False)),
    ],
)
def test_scalar_and_marker_forms(value, expected):
    field, got = primitive(property_value(value))
    assert (field, got) == expected


def test_nan_is_double():
    field, got = primitive(property_value(float("nan")))
    assert field == "double_value" and math.isnan(got)


def test_datetime_is_local_time(tz):
    dt = datetime.datetime(2020, 7, 1, 12, 30, 15, 250000)
    assert primitive(property_value(dt)) == ("datetime_value", int(dt.timestamp() * 1000))


def test_geometry_dict_is_a_point():
    v = property_value({"_objectType": "geometry", "x": 1, "y": 2})
    geometry = v.primitive_value.geometry_value
    assert geometry.geometry_type == pb.vexo_types_pb2.VexoTypes.vexoGeometryTypePoint
    assert list(geometry.default_geometry.lengths) == [1]
    assert list(geometry.default_geometry.coords) == [1, 2]


def test_nested_entity_dict_becomes_nested_entity():
    inner = entity({"x": 1}, _typeName="Inner")
    v = property_value(inner)
    assert v.WhichOneof("value") == "entity_value"
    assert v.entity_value.label == "Inner"
    assert [p.key for p in v.entity_value.properties] == ["x"]


def test_properties_as_pairs_keep_order():
    named = added_entity(entity([("b", 1), ("a", 2)]))
    assert [p.key for p in named.properties] == ["b", "a"]


def test_bytes_keys_and_markers():
    d = {b"_objectType": b"x"}  # str keys are what is looked up
    with pytest.raises(KeyError):
        encode_add(d)
    named = added_entity({"_objectType": b"entity", "_typeName": b"T", "_properties": {b"k": 1}})
    assert [p.key for p in named.properties] == ["k"]


def test_marker_is_compared_whole_and_case_sensitive():
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), params())
    for marker in ("Entity", "entity\0", "entit"):
        with pytest.raises(ValueError, match="Argument must be valid Entity or Relationship!"):
            enc.add({"_objectType": marker, "_typeName": "T", "_properties": {}})


@pytest.mark.parametrize(
    "obj, error",
    [
        ({"_typeName": "T", "_properties": {}}, KeyError),
        ({"_objectType": "entity", "_properties": {}}, KeyError),
        ({"_objectType": "entity", "_typeName": "T"}, KeyError),
        ({"_objectType": "relationship", "_typeName": "R", "_destinationEntityId": 1, "_properties": {}}, KeyError),
        ({"_objectType": "relationship", "_typeName": "R", "_originEntityId": 1, "_properties": {}}, KeyError),
        ({"_objectType": "entity", "_typeName": "T", "_properties": 5}, TypeError),
        ({"_objectType": "entity", "_typeName": "T", "_properties": {"p": {"_typeName": "x"}}}, KeyError),
        ({"_objectType": "entity", "_typeName": "T", "_properties": {"p": 2**64}}, OverflowError),
        ({"_objectType": "entity", "_typeName": "T", "_id": -(2**63) - 1, "_properties": {}}, OverflowError),
        ({"_objectType": "geometry", "x": "a", "y": 1}, RuntimeError),
    ],
)
def test_failures_raise(obj, error):
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), params())
    with pytest.raises(error):
        enc.add(entity({"p": obj}) if obj.get("_objectType") == "geometry" else obj)


@pytest.mark.parametrize(
    "obj",
    [
        {"_objectType": 1, "_typeName": "T", "_properties": {}},
        {"_objectType": "entity", "_typeName": 5, "_properties": {}},
        {"_objectType": "entity", "_typeName": "T", "_properties": {3: "x"}},
        {"_objectType": "entity", "_typeName": "\ud800", "_properties": {}},
    ],
)
def test_non_string_names_raise_the_cast_error(obj):
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), params())
    with pytest.raises(RuntimeError, match="compile in debug mode"):
        enc.add(obj)


def test_deep_nesting_is_refused_not_a_crash():
    d = entity({})
    inner = d
    for _ in range(10000):
        nxt = entity({})
        inner["_properties"]["n"] = nxt
        inner = nxt
    with pytest.raises(ValueError):
        tk.GraphApplyEditsEncoder(tk.SpatialReference(), params()).add(d)


def test_cyclic_dict_is_refused():
    d = entity({})
    d["_properties"]["self"] = d
    with pytest.raises(ValueError):
        tk.GraphApplyEditsEncoder(tk.SpatialReference(), params()).add(d)


def test_bound_entity_is_shared_and_left_unchanged():
    e = tk.EntityValue()
    e.type_name = "T"
    e.set_key_value("k", 1)
    named = added_entity(e)
    assert [p.key for p in named.properties] == ["k"]
    assert e.type_name == "T" and e.key_count() == 1
