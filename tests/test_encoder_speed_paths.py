"""The direct roads of the encoders give what the general roads give.

Edits given as dictionaries are written straight to wire bytes; the same
edit given as a bound EntityValue goes through the general value writer.
Arrays assigned from a list of floats are kept as doubles and written in one
piece; the same items given as a tuple go element by element through the
value codec. Both roads must give the same bytes, and the bytes are read
back with the protobuf runtime.
"""
import datetime
import math
import struct

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import split_delimited

QUERY = "RETURN $a"
ADD_FAILED = "Unexpected error while encoding object to be added!"


def grid():
    return tk.InputQuantizationParameters.WGS84_lossless()


def encoder(quantization=None):
    return tk.GraphApplyEditsEncoder(tk.SpatialReference(), quantization or grid())


def body_of(enc):
    enc.encode()
    r = enc.get_encoding_result()
    assert r.error.error_code == 0, r.error.error_message
    return r.byte_buffer


def frames_of(body):
    parts = split_delimited(body)
    return [pb.graph_edits_pb2.GraphApplyEditsFrame.FromString(p) for p in parts[1:]]


def point_value(coords, has_z=False, has_m=False):
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPoint
    g.has_z, g.has_m = has_z, has_m
    g.lengths = [1]
    g.coords = coords
    return g


def point_dict(x, y, z=None, m=None):
    d = {"x": x, "y": y}
    if z is not None:
        d["z"] = z
    if m is not None:
        d["m"] = m
    d["_objectType"] = "geometry"
    return d


def as_bound(value):
    """The value the general road gets for a property value."""
    if isinstance(value, dict):
        coords = [float(value["x"]), float(value["y"])]
        if "z" in value:
            coords.append(float(value["z"]))
        if "m" in value:
            coords.append(float(value["m"]))
        return point_value(coords, "z" in value, "m" in value)
    return value


def entity_dict(props, type_name="T"):
    return {"_objectType": "entity", "_typeName": type_name, "_id": None, "_properties": props}


def entity_object(props, type_name="T"):
    e = tk.EntityValue()
    e.type_name = type_name
    for k, v in props.items():
        e.append_key_value(k, as_bound(v))
    return e


class Half(float):
    pass


class Coordinate:
    """A coordinate that is no float: converted through __float__."""

    def __init__(self, value, effect=None):
        self.value, self.effect = value, effect

    def __float__(self):
        if self.effect:
            self.effect()
        return self.value

    def __repr__(self):  # a stable test id: xdist's workers must collect the same ids
        return "Coordinate(%r)" % self.value


SCALARS = [
    "", "plain", "ünïcødé ✓", "x" * 300, b"", b"\x00\xffblob",
    0, 1, -1, 2**63 - 1, -(2**63), 1048575, -1048576, 1048576,
    0.0, -0.0, 0.5, 0.1, -2.5, 1e300, -1e-300, float("inf"), float("-inf"), 2.0**50, 2.0**50 + 0.5,
    3.0e38, 16777217.0, Half(0.25), Half(0.1),
    True, False, None,
]


@pytest.mark.parametrize("value", SCALARS, ids=repr)
@pytest.mark.parametrize("op", ["add", "update"])
def test_scalar_properties_match_the_general_road(op, value):
    props = {"k": value, "other": 7}
    fast, slow = encoder(), encoder()
    getattr(fast, op)(entity_dict(props))
    getattr(slow, op)(entity_object(props))
    assert body_of(fast) == body_of(slow)


def test_nan_property_is_a_double_nan():
    enc = encoder()
    enc.add(entity_dict({"k": float("nan")}))
    (frame,) = frames_of(body_of(enc))
    prim = frame.adds.entities["T"].entity_adds[0].named_object_add.properties[0].value.primitive_value
    assert prim.WhichOneof("value") == "double_value" and math.isnan(prim.double_value)


@pytest.mark.parametrize("value, field, expected", [
    (0.5, "float_value", 0.5),
    (0.1, "double_value", 0.1),
    (3.0, "float_int_value", 3),
    (2.0**52, "float_value", 2.0**52),
    (2.0**52 + 1, "double_value", 2.0**52 + 1),
    (2.0**40 + 1, "double_int_value", 2**40 + 1),
    (-0.0, "float_int_value", 0),
    ("ü", "string_value", "ü"),
    (b"\x01", "blob_value", b"\x01"),
    (-5, "int64_value", -5),
    (True, "bool_value", True),
])
def test_scalar_wire_forms(value, field, expected):
    enc = encoder()
    enc.add(entity_dict({"k": value}))
    (frame,) = frames_of(body_of(enc))
    pair = frame.adds.entities["T"].entity_adds[0].named_object_add.properties[0]
    assert pair.key == "k"
    assert pair.value.primitive_value.WhichOneof("value") == field
    assert getattr(pair.value.primitive_value, field) == expected


@pytest.mark.parametrize("when", [
    datetime.datetime(2021, 3, 28, 2, 30),  # skipped in Berlin
    datetime.datetime(2021, 10, 31, 2, 30),  # twice in Berlin
    datetime.datetime(2021, 10, 31, 2, 30, fold=1),
    datetime.datetime(2021, 11, 7, 1, 30, fold=1),  # twice in New York
    datetime.datetime(1969, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(2020, 6, 1, 12, 0, 0, 123456, tzinfo=datetime.timezone(datetime.timedelta(hours=5))),
    datetime.date(2000, 2, 29),
    datetime.time(13, 14, 15),
])
def test_date_times_match_the_general_road(tz, when):
    fast, slow = encoder(), encoder()
    fast.add(entity_dict({"when": when}))
    slow.add(entity_object({"when": when}))
    assert body_of(fast) == body_of(slow)


def test_naive_date_time_is_local_milliseconds(tz):
    when = datetime.datetime(2022, 7, 1, 8, 9, 10, 987654)
    enc = encoder()
    enc.add(entity_dict({"when": when}))
    (frame,) = frames_of(body_of(enc))
    prim = frame.adds.entities["T"].entity_adds[0].named_object_add.properties[0].value.primitive_value
    assert prim.datetime_value == int(when.timestamp() * 1000)


@pytest.mark.parametrize("coords", [
    (1.5, -2.25), (1.5, -2.25, 10.0), (1.5, -2.25, None, 3.0), (1.5, -2.25, 10.0, 3.0),
    (0, 1), (Half(0.5), 2), (-0.0, 0.0), (179.999999999, -89.123456789),
    (Coordinate(1.25), Coordinate(2.5)),
], ids=repr)
def test_points_match_the_general_road(coords):
    props = {"p": point_dict(*coords), "n": 1}
    fast, slow = encoder(), encoder()
    fast.add(entity_dict(props))
    slow.add(entity_object(props))
    assert body_of(fast) == body_of(slow)


def test_point_wire_form():
    enc = encoder()
    enc.add(entity_dict({"p": point_dict(1.5, -2.25, 7.0)}))
    (frame,) = frames_of(body_of(enc))
    prim = frame.adds.entities["T"].entity_adds[0].named_object_add.properties[0].value.primitive_value
    g = prim.geometry_value
    assert g.geometry_type == 0 and g.default_geometry.has_z and not g.default_geometry.has_m
    assert list(g.default_geometry.lengths) == [1]
    assert list(g.default_geometry.coords) == [1500000000, -2250000000, 700000]


@pytest.mark.parametrize("key_size, vertices", [(1, 2), (200, 3), (3, 40), (20000, 2), (5, 3000)])
def test_long_keys_and_geometries_wire_form(key_size, vertices):
    # Pair, value and geometry lengths of one, two and three bytes, on the
    # point road of dicts and on the general road of geometry values.
    key = "k" * key_size
    halves = [(i % 7 - 3) for i in range(2 * vertices)]  # grid units of 0.5
    line = tk.GeometryValue()
    line.geometry_type = tk.vexoGeometryPolyline
    line.lengths = [vertices]
    line.coords = [h * 0.5 for h in halves]
    enc = encoder()
    enc.add(entity_object({key: line, "n": 1}))
    enc.add(entity_dict({key: point_dict(1.5, -2.25, m=4.0)}))
    adds = [a for f in frames_of(body_of(enc)) for a in f.adds.entities["T"].entity_adds]
    line_prop, n_prop = adds[0].named_object_add.properties
    (point_prop,) = adds[1].named_object_add.properties
    assert line_prop.key == point_prop.key == key and n_prop.value.primitive_value.int64_value == 1
    grid_units = [h * 500_000_000 for h in halves]
    deltas = grid_units[:2] + [grid_units[i] - grid_units[i - 2] for i in range(2, len(grid_units))]
    g = line_prop.value.primitive_value.geometry_value.default_geometry
    assert list(g.lengths) == [vertices] and list(g.coords) == deltas
    p = point_prop.value.primitive_value.geometry_value.default_geometry
    assert p.has_m and not p.has_z and list(p.coords) == [1500000000, -2250000000, 400000]


@pytest.mark.parametrize("props, message", [
    ({"p": point_dict(float("nan"), 1.0)}, "Invalid geometry."),
    ({"p": point_dict(1e300, 1.0), "q": 1}, "Invalid geometry."),
    ({"ok": 1, b"\xff": 2}, ADD_FAILED),
])
def test_refused_properties_leave_the_request_unchanged(props, message):
    enc = encoder()
    enc.add(entity_dict({"first": 1}))
    before = encoder()
    before.add(entity_dict({"first": 1}))
    with pytest.raises(ValueError) as fast:
        enc.add(entity_dict(props))
    assert str(fast.value) == message
    assert body_of(enc) == body_of(before)
    if b"\xff" not in props:
        with pytest.raises(ValueError) as slow:
            encoder().add(entity_object(props))
        assert str(slow.value) == message


def test_point_without_a_grid_is_refused_on_both_roads():
    no_grid = tk.InputQuantizationParameters()
    for item in (entity_dict({"p": point_dict(1.0, 2.0)}), entity_object({"p": point_dict(1.0, 2.0)})):
        with pytest.raises(ValueError, match="Unexpected error while encoding object to be added"):
            encoder(no_grid).add(item)


def test_point_coordinate_that_is_no_number_raises_the_cast_error():
    with pytest.raises(RuntimeError, match="Unable to cast"):
        encoder().add(entity_dict({"p": point_dict("a", 1.0)}))


def test_keys_bytes_and_empty_and_surrogates():
    fast, slow = encoder(), encoder()
    fast.add(entity_dict({b"raw": 1, "": 2, "ok": 3}))
    slow.add(entity_object({"raw": 1, "ok": 3}))
    assert body_of(fast) == body_of(slow)
    with pytest.raises(RuntimeError, match="Unable to cast"):
        encoder().add(entity_dict({"\ud800": 1}))


def test_relationship_dict_matches_the_general_road():
    props = {"w": 0.5, "p": point_dict(1.0, 2.0), "s": "x"}
    fast, slow = encoder(), encoder()
    fast.add({"_objectType": "relationship", "_typeName": "R", "_id": 9,
              "_originEntityId": 1, "_destinationEntityId": "two", "_properties": props})
    r = tk.RelationshipValue()
    r.type_name = "R"
    r.set_id(9)
    r.set_related_entity_ids(1, "two")
    for k, v in props.items():
        r.append_key_value(k, as_bound(v))
    slow.add(r)
    assert body_of(fast) == body_of(slow)


def test_python_code_changing_the_dict_while_it_is_read():
    # A coordinate's __float__ replaces the type name and clears the
    # properties: what was read before stays as it was read.
    type_name = "".join(["Type", "Name"])  # a str only the dict holds
    props = {}
    edit = {"_objectType": "entity", "_typeName": type_name, "_properties": props}
    del type_name

    def meddle():
        edit["_typeName"] = "Other"
        props.clear()
        edit.clear()

    props["p"] = point_dict(Coordinate(1.0, meddle), 2.0)
    props["q"] = 5
    enc = encoder()
    try:
        enc.add(edit)
    except RuntimeError as e:  # the dict changed size while it was iterated
        assert "changed size" in str(e)
        return
    (frame,) = frames_of(body_of(enc))
    assert list(frame.adds.entities) == ["TypeName"]


def test_add_many_is_all_or_nothing():
    good = [entity_dict({"n": i, "p": point_dict(float(i), 1.0)}) for i in range(5)]
    enc = encoder()
    with pytest.raises(ValueError):
        enc.add_many(good + [entity_dict({"p": point_dict(float("nan"), 1.0)})])
    enc.encode()
    assert enc.get_encoding_result().error.error_message == "GraphApplyEditsEncoder: empty input."
    fast, slow = encoder(), encoder()
    fast.add_many(good)
    for item in good:
        slow.add(entity_object(item["_properties"]))
    assert body_of(fast) == body_of(slow)


def test_many_edits_across_frames_match():
    items = [entity_dict({"n": i, "s": "v%d" % i, "d": i / 7, "p": point_dict(i / 3, -i / 5)}, "T%d" % (i % 3))
             for i in range(5000)]
    fast, slow = encoder(), encoder()
    fast.add_many(items)
    for item in items:
        slow.add(entity_object(item["_properties"], item["_typeName"]))
    body = body_of(fast)
    assert body == body_of(slow)
    frames = frames_of(body)
    assert sum(len(g.entity_adds) for f in frames for g in f.adds.entities.values()) == 5000


class Sub(tk.GraphApplyEditsEncoder):
    pass


@pytest.mark.parametrize("how", ["plain", "keyword", "unbound", "subclass"])
@pytest.mark.parametrize("op", ["add", "update", "delete"])
def test_every_way_of_calling_an_edit_gives_the_same_request(op, how):
    items = [entity_dict({"n": i, "p": point_dict(float(i), 1.0)}) for i in range(4)]
    if op != "add":
        for i, item in enumerate(items):
            item["_id"] = i + 1
    want = encoder()
    getattr(want, op + "_many")(items)
    enc = Sub(tk.SpatialReference(), grid()) if how == "subclass" else encoder()
    for item in items:
        if how == "keyword":
            getattr(enc, op)(value=item)
        elif how == "unbound":
            getattr(tk.GraphApplyEditsEncoder, op)(enc, item)
        else:
            getattr(enc, op)(item)
    assert body_of(enc) == body_of(want)


@pytest.mark.parametrize("call", [
    lambda e: e.add(),
    lambda e: e.add(1, 2),
    lambda e: e.update(item=None),
    lambda e: tk.GraphApplyEditsEncoder.delete(object(), {}),
    lambda e: tk.GraphApplyEditsEncoder.add(),
])
def test_edit_calls_with_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call(encoder())


class RaisingZone(datetime.tzinfo):
    def utcoffset(self, dt):
        raise KeyError("from Python")


def test_a_refused_edit_raises_and_python_errors_pass_through():
    enc = encoder()
    with pytest.raises(ValueError):
        enc.add(entity_dict({"p": point_dict(float("nan"), 1.0)}))
    with pytest.raises(KeyError, match="from Python"):
        enc.add(entity_dict({"w": datetime.datetime(2020, 1, 1, tzinfo=RaisingZone())}))
    enc.encode()
    assert enc.get_encoding_result().error.error_message == "GraphApplyEditsEncoder: empty input."


# ---------------------------------------------------------------- arrays of doubles


def request_of(value, extra=None):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = QUERY
    enc.append_param_key_value("a", value)
    if extra is not None:
        enc.append_param_key_value("b", extra)
    enc.encode()
    r = enc.get_encoding_result()
    assert r.error.error_code == 0, r.error.error_message
    return r.byte_buffer


def array_from(items):
    a = tk.ArrayValue()
    a.values = items
    return a


def parsed(body):
    return pb.graph_query_pb2.GraphQueryRequest.FromString(body)


DOUBLE_LISTS = [
    [0.1],
    [0.1, -2.7, 1e300, float("nan")],
    [0.1, float("inf")],
    [0.5, 0.25],
    [1.0, 2.0, -3.0],
    [2.0**60 + 2**9, -(2.0**60 + 2**9)],
    [2.0**60 + 2**9, 0.1],
    [0.1, 0.5],
    [-0.0, 0.1],
    [3.5e38, 0.3],
    [0.1, True],
    [0.1, Half(0.3)],
    [0.1, 1],
    [0.1, None],
    [0.1, "x"],
    [],
]


@pytest.mark.parametrize("items", DOUBLE_LISTS, ids=repr)
@pytest.mark.parametrize("extra", [None, 1])
def test_float_lists_match_the_element_road(items, extra):
    assert request_of(array_from(items), extra) == request_of(array_from(tuple(items)), extra)


@pytest.mark.parametrize("extra", [None, "x"])
def test_double_array_wire_form(extra):
    values = [i * 0.1 + 1e-9 for i in range(100000)]
    req = parsed(request_of(array_from(values), extra))
    assert set(req.parameters) == ({"a"} if extra is None else {"a", "b"})
    arr = req.parameters["a"].array_value
    assert arr.WhichOneof("array") == "double_values"
    assert list(arr.double_values.values) == values
    assert req.open_cypher_query == QUERY


def test_double_array_keeps_nan_and_subnormal_bits():
    values = [float("nan"), -0.1, 0.1, -1e-310]
    arr = parsed(request_of(array_from(values))).parameters["a"].array_value
    got = [struct.pack("<d", v) for v in arr.double_values.values]
    assert arr.WhichOneof("array") == "double_values"
    assert got == [struct.pack("<d", v) for v in values]


def test_array_read_back_after_assignment():
    values = [0.1, Half(0.2), 3.0]
    a = array_from(values)
    assert a.values == [0.1, 0.2, 3.0]
    b = array_from([0.1, 0.3])
    assert b.values == [0.1, 0.3] and b.get_value_at(1) == 0.3


def test_float_conversion_that_changes_the_list():
    items = [0.1] * 50

    class Grow(float):
        def __float__(self):
            items.clear()
            return 0.5

    items.insert(10, Grow(0.5))
    a = array_from(items)  # must not crash; reads what the list holds
    assert a.count() <= 51
    request_of(a)


@pytest.mark.parametrize("bad", [[0.1, object()], [0.1, [1.0]], "abc", 5])
def test_refused_array_items_raise_and_leave_the_array(bad):
    a = array_from([0.25, 0.1])
    with pytest.raises(TypeError):
        a.values = bad
    assert a.values == [0.25, 0.1]


def test_huge_list_of_float_exact_values():
    a = tk.ArrayValue()
    a.values = [float(i) + 0.5 for i in range(300000)]
    assert a.count() == 300000
    arr = parsed(request_of(a)).parameters["a"].array_value
    assert arr.WhichOneof("array") == "float_values"
    assert list(arr.float_values.values)[:3] == [0.5, 1.5, 2.5]
