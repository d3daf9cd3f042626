"""Values on the wire, observed through query bind parameters."""
import datetime
import math
import time
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb

NO_QUANTIZATION = ("Geometry quantization not possible without valid spatial reference info. "
                   "Maybe XY resolution was not set?")


def Q():
    return pb.graph_query_pb2


def V():
    return pb.graph_values_pb2


def _encoder(value, iqp=None):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN $p"
    if iqp is not None:
        enc.input_quantization_parameters = iqp
    assert enc.set_param_key_value("p", value)
    enc.encode()
    return enc


def encode(value, iqp=None):
    """The AnyValue the module writes for one bind parameter."""
    result = _encoder(value, iqp).get_encoding_result()
    assert result.error.error_code == 0, result.error.error_message
    return Q().GraphQueryRequest.FromString(result.byte_buffer).parameters["p"]


def encode_error(value, iqp=None):
    result = _encoder(value, iqp).get_encoding_result()
    assert result.byte_buffer == b""
    return result.error.error_code, result.error.error_message


def primitive(any_value):
    assert any_value.WhichOneof("value") == "primitive_value"
    p = any_value.primitive_value
    field = p.WhichOneof("value")
    return field, getattr(p, field)


def array(any_value):
    assert any_value.WhichOneof("value") == "array_value"
    return any_value.array_value


def array_of(*items):
    a = tk.ArrayValue()
    for item in items:
        a.add_value(item)
    return a


def lossless(resolution, origin=0.0):
    iqp = tk.InputQuantizationParameters()
    iqp.xy_resolution = resolution
    iqp.x_false_origin = origin
    iqp.y_false_origin = origin
    return iqp


def geometry(kind, coords, lengths=(), has_z=False, has_m=False):
    g = tk.GeometryValue()
    g.geometry_type = kind
    g.coords = list(coords)
    g.lengths = list(lengths)
    g.has_z = has_z
    g.has_m = has_m
    return g


# --- scalars -----------------------------------------------------------------

@pytest.mark.parametrize("value, field, expected", [
    (None, "null_value", False),
    (True, "bool_value", True),
    (False, "bool_value", False),
    (0, "int64_value", 0),
    (-(2 ** 63), "int64_value", -(2 ** 63)),
    (2 ** 63 - 1, "int64_value", 2 ** 63 - 1),
    # Python floats that a float holds exactly load as 32-bit floats.
    (3.0, "float_int_value", 3),
    (-1048576.0, "float_int_value", -1048576),
    (1048575.0, "float_int_value", 1048575),
    (1048576.0, "float_value", 1048576.0),
    (2097152.0, "float_value", 2097152.0),
    (0.5, "float_value", 0.5),
    (1e10, "float_value", 1e10),
    (float("inf"), "float_value", float("inf")),
    # The rest are doubles.
    (0.1, "double_value", 0.1),
    (2.0 ** 40 + 0.5, "double_value", 2.0 ** 40 + 0.5),
    (2.0 ** 40 + 1, "double_int_value", 2 ** 40 + 1),
    (2.0 ** 48 - 1, "double_int_value", 2 ** 48 - 1),
    (2.0 ** 48 + 1, "double_value", 2.0 ** 48 + 1),  # beyond the integral range
    (-(2.0 ** 48) - 1, "double_value", -(2.0 ** 48) - 1),
    (1e300, "double_value", 1e300),
    (2.0 ** 70 + 2.0 ** 20, "double_value", 2.0 ** 70 + 2.0 ** 20),  # beyond int64: no undefined cast
    ("", "string_value", ""),
    ("h\u00e9llo \u2603", "string_value", "h\u00e9llo \u2603"),
    (b"", "blob_value", b""),
    (b"\xff\x00", "blob_value", b"\xff\x00"),
])
def test_scalar_forms(value, field, expected):
    assert primitive(encode(value)) == (field, expected)


def test_nan_travels_as_double():
    field, value = primitive(encode(float("nan")))
    assert field == "double_value" and math.isnan(value)


def test_uuid_keeps_rfc_order():
    u = uuid.UUID(bytes=bytes(range(16)))
    assert primitive(encode(u)) == ("uuid_value", bytes(range(16)))


# --- date-times ----------------------------------------------------------------

def _local_millis(dt):
    # Whole local seconds from the C library, as the module computes them.
    seconds = int(time.mktime(dt.replace(microsecond=0).timetuple()))
    assert seconds >= 0
    return seconds * 1000 + dt.microsecond // 1000


@pytest.mark.parametrize("dt", [
    datetime.datetime(2020, 1, 1, 12, 0, 0, 123456),
    datetime.datetime(2021, 7, 1, 3, 4, 5, 999999),  # summer time where there is one
    datetime.datetime(1970, 1, 2, 0, 0, 0, 1500),
])
def test_datetime_millis(tz, dt):
    assert primitive(encode(dt)) == ("datetime_value", _local_millis(dt))


@pytest.mark.parametrize("before_epoch, millis", [
    (datetime.timedelta(microseconds=1), 0),  # truncation toward zero, not floor
    (datetime.timedelta(microseconds=1500), -1),
    (datetime.timedelta(seconds=2), -2000),
])
def test_datetime_before_epoch_truncates_toward_zero(tz, before_epoch, millis):
    dt = datetime.datetime.fromtimestamp(0) - before_epoch
    assert primitive(encode(dt)) == ("datetime_value", millis)


def test_datetime_array(tz):
    a = datetime.datetime(2020, 1, 1, 0, 0, 0, 2000)
    b = datetime.datetime(2022, 6, 15, 8, 30)
    arr = array(encode(array_of(a, b)))
    assert arr.WhichOneof("array") == "datetime_values"
    assert list(arr.datetime_values.values) == [_local_millis(a), _local_millis(b)]


# --- arrays --------------------------------------------------------------------

@pytest.mark.parametrize("items, field, expected", [
    ([1, -2, 2 ** 62], "int64_values", [1, -2, 2 ** 62]),
    ([3.0, -1.0, 0.0], "float_int_values", [3, -1, 0]),
    ([3.0, 0.5], "float_values", [3.0, 0.5]),
    ([1.0, 2097152.0], "float_values", [1.0, 2097152.0]),
    ([0.1, 0.2], "double_values", [0.1, 0.2]),
    ([2.0 ** 40 + 1, -(2.0 ** 41) - 1], "double_int_values", [2 ** 40 + 1, -(2 ** 41) - 1]),
    ([2.0 ** 40 + 1, 0.1], "double_values", [2.0 ** 40 + 1, 0.1]),
    ([b"a", b"", b"\x00\xff"], "blob_values", [b"a", b"", b"\x00\xff"]),
])
def test_typed_arrays(items, field, expected):
    arr = array(encode(array_of(*items)))
    assert arr.WhichOneof("array") == field
    assert list(getattr(arr, field).values) == expected


def test_null_array_sends_count():
    arr = array(encode(array_of(None, None, None)))
    assert arr.WhichOneof("array") == "null_values"
    assert arr.null_values.count == 3


def test_uuid_array_concatenates():
    u1, u2 = uuid.uuid4(), uuid.uuid4()
    arr = array(encode(array_of(u1, u2)))
    assert arr.uuid_values == u1.bytes + u2.bytes


@pytest.mark.parametrize("items, forms", [
    ([True, False], [("bool_value", True), ("bool_value", False)]),
    (["a", "b"], [("string_value", "a"), ("string_value", "b")]),
    ([1, "x"], [("int64_value", 1), ("string_value", "x")]),
    ([0.5, 0.1], [("float_value", 0.5), ("double_value", 0.1)]),
    ([None, 1], [("null_value", False), ("int64_value", 1)]),
])
def test_untyped_arrays_go_element_by_element(items, forms):
    arr = array(encode(array_of(*items)))
    assert arr.WhichOneof("array") == "any_values"
    assert [primitive(v) for v in arr.any_values.values] == forms


def test_empty_array_has_no_member():
    value = encode(tk.ArrayValue())
    assert value.WhichOneof("value") == "array_value"
    assert value.array_value.WhichOneof("array") is None
    assert value.array_value.ByteSize() == 0


def test_nested_arrays():
    arr = array(encode(array_of(array_of(1, 2), tk.ArrayValue(), array_of("x"))))
    inner = arr.any_values.values
    assert list(inner[0].array_value.int64_values.values) == [1, 2]
    assert inner[1].array_value.WhichOneof("array") is None
    assert primitive(inner[2].array_value.any_values.values[0]) == ("string_value", "x")


# --- doubles that a float holds exactly ----------------------------------------
# Python loading turns such numbers into floats, so decoded values (which keep
# the double alternative) bring them to the encoder.

def _decoded_row_value(any_value):
    header = Q().GraphQueryResultHeader(field_names=["v"])
    scale = header.transform.scale
    scale.xScale = scale.yScale = scale.zScale = scale.mScale = 1.0
    frame = Q().GraphQueryResultFrame()
    frame.rows.add().values.add().CopyFrom(any_value)

    def delimited(message):
        body = message.SerializeToString()
        n, prefix = len(body), b""
        while True:
            byte = n & 0x7F
            n >>= 7
            prefix += bytes([byte | (0x80 if n else 0)])
            if not n:
                return prefix + body

    decoder = tk.GraphQueryDecoder()
    assert decoder.push_buffer(delimited(header) + delimited(frame))
    assert decoder.next_row(), decoder.error.error_message
    return decoder.get_value(0)


def _doubles_object(**fields):
    message = V().AnyValue()
    for key, (field, number) in fields.items():
        pair = message.object_value.properties.add(key=key)
        setattr(pair.value.primitive_value, field, number)
    return _decoded_row_value(message)


def test_double_classification_of_float_exact_values():
    obj = _doubles_object(
        three=("double_int_value", 3), half=("double_float_value", 0.5), big=("double_float_value", 1e10),
        inf=("double_float_value", float("inf")), tenth=("double_value", 0.1),
        wide=("double_int_value", 2 ** 40 + 1), odd=("double_value", 2.0 ** 40 + 0.5))
    encoded = encode(obj).object_value.properties
    forms = {p.key: primitive(p.value) for p in encoded}
    assert forms == {
        "three": ("double_int_value", 3), "half": ("double_float_value", 0.5),
        "big": ("double_float_value", 1e10), "inf": ("double_float_value", float("inf")),
        "tenth": ("double_value", 0.1), "wide": ("double_int_value", 2 ** 40 + 1),
        "odd": ("double_value", 2.0 ** 40 + 0.5)}


@pytest.mark.parametrize("source_field, numbers, field, expected", [
    ("double_int_values", [1, 2], "double_int_values", [1, 2]),
    ("double_float_values", [0.5, 0.25], "double_float_values", [0.5, 0.25]),
    ("double_values", [0.5, 0.1], "double_values", [0.5, 0.1]),
    # ints and floats mixed: every element is float-exact
    ("double_values", [1.0, 0.5], "double_float_values", [1.0, 0.5]),
    # ints and floats mixed, 2^40+1 is no float: only doubles carry it
    ("double_values", [2.0 ** 40 + 1, 0.5], "double_values", [2.0 ** 40 + 1, 0.5]),
])
def test_double_array_forms(source_field, numbers, field, expected):
    message = V().AnyValue()
    getattr(message.array_value, source_field).values.extend(numbers)
    decoded = _decoded_row_value(message)
    arr = array(encode(decoded))
    assert arr.WhichOneof("array") == field
    assert list(getattr(arr, field).values) == expected


# --- objects, entities, relationships, paths -------------------------------------

def test_entity_sends_label_and_properties_but_no_id():
    e = tk.EntityValue()
    e.type_name = "Person"
    e.set_id(uuid.uuid4())
    e.set_key_value("name", "Ann")
    e.set_key_value("age", 42)
    value = encode(e)
    assert value.WhichOneof("value") == "entity_value"
    assert value.entity_value.label == "Person"
    assert not value.entity_value.HasField("id")
    assert [(p.key, primitive(p.value)) for p in value.entity_value.properties] == [
        ("name", ("string_value", "Ann")), ("age", ("int64_value", 42))]
    # encoding leaves the caller's entity as it was
    assert e.key_count() == 2 and e.type_name == "Person"


def test_relationship_sends_type_and_properties_but_no_ids():
    r = tk.RelationshipValue()
    r.type_name = "KNOWS"
    r.set_id(7)
    r.set_related_entity_ids(1, 2)
    r.set_key_value("since", 2001)
    rel = encode(r).relationship_value
    assert rel.type == "KNOWS"
    assert not rel.HasField("id") and not rel.HasField("origin_id") and not rel.HasField("destination_id")
    assert [(p.key, primitive(p.value)) for p in rel.properties] == [("since", ("int64_value", 2001))]
    assert r.key_count() == 1


def test_object_keeps_repeated_keys_in_order():
    o = tk.ObjectValue()
    o.append_key_value("k", 1)
    o.append_key_value("k", 2)
    o.append_key_value("j", array_of(1.0))
    props = encode(o).object_value.properties
    assert [p.key for p in props] == ["k", "k", "j"]
    assert list(props[2].value.array_value.float_int_values.values) == [1]
    assert o.key_count() == 3


@pytest.mark.parametrize("make", [
    lambda: tk.PathValue(),
    lambda: array_of(1, tk.PathValue()),
    lambda: _wrap_in_object(tk.PathValue()),
], ids=["path", "path-in-array", "path-in-object"])
def test_paths_are_not_encodable(make):
    assert encode_error(make()) == (-1, "Not implemented.")


def _wrap_in_object(value):
    o = tk.ObjectValue()
    o.set_key_value("first", 1)
    o.set_key_value("x", value)
    return o


# --- nesting and cycles ---------------------------------------------------------

def test_deep_nesting_encodes():
    depth = 20
    value = "leaf"
    for level in range(depth):
        value = array_of(value) if level % 2 else _wrap_in_object(value)
    node = encode(value)
    for level in reversed(range(depth)):
        if level % 2:
            node = node.array_value.any_values.values[0]
        else:
            node = node.object_value.properties[1].value
    assert primitive(node) == ("string_value", "leaf")


def test_too_deep_nesting_fails():
    value = 1
    for _ in range(100):
        value = array_of(value)
    assert encode_error(value) == (-1, "Invalid argument.")


def _cycle_direct():
    a = tk.ArrayValue()
    a.add_value(a)
    return a


def _cycle_through_object():
    a = tk.ArrayValue()
    o = tk.ObjectValue()
    o.set_key_value("back", a)
    a.add_value(o)
    return a


def _cycle_through_entity():
    e = tk.EntityValue()
    e.type_name = "T"
    a = array_of(1, e)
    e.set_key_value("list", a)
    return e


@pytest.mark.parametrize("make", [_cycle_direct, _cycle_through_object, _cycle_through_entity],
                         ids=["array", "object", "entity"])
def test_cyclic_values_fail_cleanly(make):
    value = make()
    assert encode_error(value) == (-1, "Invalid argument.")
    # the encoder is usable afterwards
    assert primitive(encode(1)) == ("int64_value", 1)
    # the native references form a cycle the collector cannot see: break it
    if isinstance(value, tk.ArrayValue):
        value.values = []
    else:
        value.set_key_value("list", None)


# --- geometries ----------------------------------------------------------------

def test_worked_example_byte_for_byte():
    g = geometry(tk.vexoGeometryPolyline, [1.125, 2.375, 1.6, 2.2, 0.9, 2.9], [3])
    enc = _encoder(g, lossless(0.25, -100.0))
    raw = enc.get_encoding_result().byte_buffer
    # lengths [3], then zigzag coords 808, 820, 4, 1, 3, 6 as packed sint64
    assert b"\x1a\x01\x03\x22\x08\xa8\x06\xb4\x06\x04\x01\x03\x06" in raw
    request = Q().GraphQueryRequest.FromString(raw)
    gv = request.parameters["p"].primitive_value.geometry_value
    assert gv.geometry_type == pb.vexo_types_pb2.VexoTypes.vexoGeometryTypePolyline
    assert list(gv.default_geometry.lengths) == [3]
    assert list(gv.default_geometry.coords) == [404, 410, 2, -1, -2, 3]
    assert not gv.default_geometry.has_z and not gv.default_geometry.has_m
    t = request.input_transform
    assert (t.scale.xScale, t.scale.yScale) == (0.25, 0.25)
    assert (t.translate.xTranslate, t.translate.yTranslate) == (-100.0, -100.0)
    # the caller's geometry keeps its coordinates, so a second encode is the same
    assert g.coords == [1.125, 2.375, 1.6, 2.2, 0.9, 2.9]
    enc.encode()
    assert enc.get_encoding_result().byte_buffer == raw


@pytest.mark.parametrize("coords, expected", [
    ([10.5, 11.5], [10, 12]),
    ([-0.5, 2.5], [0, 2]),
    ([-1.5, -2.5], [-2, -2]),
    ([0.49, 0.51], [0, 1]),
])
def test_point_rounds_half_to_even(coords, expected):
    g = geometry(tk.vexoGeometryPoint, coords, [1])
    gv = encode(g, lossless(1.0)).primitive_value.geometry_value
    assert list(gv.default_geometry.coords) == expected


def test_geometry_array():
    a = geometry(tk.vexoGeometryPoint, [1.0, 2.0], [1])
    b = geometry(tk.vexoGeometryMultipoint, [1.0, 1.0, 3.0, 0.0], [2])
    arr = array(encode(array_of(a, b), lossless(1.0)))
    assert arr.WhichOneof("array") == "geometry_values"
    assert [list(v.default_geometry.coords) for v in arr.geometry_values.values] == [[1, 2], [1, 1, 2, -1]]


@pytest.mark.parametrize("make", [
    lambda: geometry(tk.vexoGeometryPoint, [1.0], [1]),
    lambda: geometry(tk.vexoGeometryMultipoint, [1.0, 2.0, 3.0, 4.0], []),
    lambda: geometry(tk.vexoGeometryPolyline, [0.0, 0.0, 1.0, 1.0], [5]),
    lambda: array_of(geometry(tk.vexoGeometryPoint, [1.0, 2.0], [1]),
                     geometry(tk.vexoGeometryPolygon, [0.0, 0.0], [1, 1])),
], ids=["point-short", "multipoint-no-lengths", "polyline-lengths-exceed", "in-array"])
def test_inconsistent_geometry(make):
    assert encode_error(make(), lossless(1.0)) == (-1, "Invalid geometry.")


def test_multipatch_is_not_implemented():
    g = geometry(tk.vexoGeometryMultiPatch, [0.0, 0.0, 1.0, 1.0], [2])
    assert encode_error(g, lossless(1.0)) == (-1, "Not implemented.")


@pytest.mark.parametrize("make", [
    lambda: geometry(tk.vexoGeometryPoint, [1.0, 2.0], [1]),
    lambda: array_of(geometry(tk.vexoGeometryPoint, [1.0, 2.0], [1])),
    lambda: _wrap_in_object(geometry(tk.vexoGeometryPoint, [1.0, 2.0], [1])),
], ids=["plain", "in-array", "in-object"])
def test_geometry_needs_resolution(make):
    assert encode_error(make()) == (-1, NO_QUANTIZATION)


def test_zero_resolution():
    assert encode_error(1, lossless(0.0)) == (-998, "cannot divide 1 by 0.")


def test_geometry_with_z_keeps_z_unrounded():
    iqp = lossless(1.0)
    iqp.z_resolution = 0.5
    g = geometry(tk.vexoGeometryPolyline, [0.4, 0.6, 1.3, 2.4, 1.6, 2.9], [2], has_z=True)
    dg = encode(g, iqp).primitive_value.geometry_value.default_geometry
    assert dg.has_z
    # x, y rounded and delta-encoded; z scaled by 2 and truncated toward zero
    assert list(dg.coords) == [0, 1, 2, 2, 1, 5]
