import datetime
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import (
    array,
    chunks,
    compress,
    delimited,
    entity,
    frame,
    frame_bytes,
    geometry,
    header,
    obj,
    path,
    primitive,
    relationship,
    result_stream,
    value,
    varint,
    wrapped,
)


def drain(d):
    rows = []
    while d.next_row():
        rows.append(d.get_current_row())
    return rows


def decode_all(data, chunk_size=None):
    d = tk.GraphQueryDecoder()
    rows = []
    for c in ([data] if chunk_size is None else chunks(data, chunk_size)):
        assert d.push_buffer(c)
        rows += drain(d)
    return d, rows


ROWS = [[1, "a"], [2, "bé"], [3, None], [4, b"\x00\xff"], [5, 2.5]]


def small_stream(compression=None):
    # header, a frame, a zero-length frame, two more frames
    parts = [
        delimited(header(["n", "v"], compressed=bool(compression))),
        frame_bytes(ROWS[:2], compression=compression),
        varint(0),
        frame_bytes(ROWS[2:3], compression=compression),
        frame_bytes(ROWS[3:], compression=compression),
    ]
    return b"".join(parts)


@pytest.mark.parametrize("compression", [None, "gzip", "zlib"])
def test_every_split_point(compression):
    data = small_stream(compression)
    for cut in range(1, len(data)):
        d = tk.GraphQueryDecoder()
        d.push_buffer(data[:cut])
        rows = drain(d)
        d.push_buffer(data[cut:])
        rows += drain(d)
        assert rows == ROWS, cut
        assert not d.has_error()


@pytest.mark.parametrize("compression", [None, "gzip", "zlib"])
def test_byte_by_byte(compression):
    d, rows = decode_all(small_stream(compression), chunk_size=1)
    assert rows == ROWS and not d.has_error()


def test_all_chunks_pushed_before_reading():
    d = tk.GraphQueryDecoder()
    for c in chunks(small_stream(), 3):
        d.push_buffer(c)
    assert drain(d) == ROWS
    assert not d.next_row()


def test_header_split_over_three_chunks():
    h = delimited(header(["x"]))
    data = h + frame_bytes([[1], [2]])
    d = tk.GraphQueryDecoder()
    for c in (h[:2], h[2:4]):
        d.push_buffer(c)
        assert not d.next_row()
    d.push_buffer(h[4:] + data[len(h):])
    assert drain(d) == [[1], [2]]


def test_half_frame_is_carried_over():
    third = frame_bytes([[5], [6]])
    first = delimited(header(["x"])) + frame_bytes([[1], [2]]) + frame_bytes([[3]]) + third[:4]
    d = tk.GraphQueryDecoder()
    d.push_buffer(first)
    assert drain(d) == [[1], [2], [3]]
    d.push_buffer(third[4:])
    assert drain(d) == [[5], [6]]


def test_large_message_across_many_chunks():
    rows = [[i, "x" * 50] for i in range(3000)]
    data = result_stream(["i", "s"], rows, rows_per_frame=3000)
    d, got = decode_all(data, chunk_size=1000)
    assert got == rows


def header_error_cases():
    return [
        (delimited(b"\xff\xff\xff"), -1, "Result header parsing failure!"),
        (delimited(header(["a"], error=(42, "server says no"))), 42, "server says no"),
        (delimited(header(["a"], transform=False)), -1,
         "Result header did not include the required geometry transformation parameters!"),
        (b"\x00", -1, "Result header did not include the required geometry transformation parameters!"),
        # a length prefix no message can have
        (b"\xff\xff\xff\xff\x0f", -1, "Result header parsing failure!"),
        (b"\x80" * 11, -1, "Result header parsing failure!"),
    ]


@pytest.mark.parametrize("data,code,message", header_error_cases())
def test_header_errors(data, code, message):
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert not d.next_row()
    assert (d.error.error_code, d.error.error_message) == (code, message)
    assert d.has_error()
    assert not d.push_buffer(b"\x00")


def bad_frame_cases():
    bad_utf8 = b"\x12\x06\x0a\x04\x0a\x02\x0a\xc3"  # rows{values{primitive{string "\xc3"}}}
    return [
        ("garbage", None, delimited(b"\x12\xff"), -1, "Result frame parsing failure!"),
        ("bad utf-8", None, delimited(bad_utf8), -1, "Result frame parsing failure!"),
        ("server error", None, frame_bytes(error=(-7, "went wrong")), -7, "went wrong"),
        ("row width", None, frame_bytes([[1, 2], [3, 4], [5]]), -3, "Error decoding result frame!"),
        ("length", None, b"\xff\xff\xff\xff\x08", -1, "Result frame parsing failure!"),
        ("not gzip", "gzip", delimited(b"not compressed at all"), -1, None),
        ("cut gzip", "gzip", delimited(compress(frame([[1, 2]]).SerializeToString())[:-9]), -1, None),
        ("cut zlib", "zlib", delimited(compress(frame([[1, 2]]).SerializeToString(), "zlib")[:-3]), -1, None),
        ("gzip of garbage", "gzip", delimited(compress(b"\x12\xff")), -1, "Result frame parsing failure!"),
    ]


@pytest.mark.parametrize("name,compression,bad,code,message", bad_frame_cases(), ids=lambda x: x if isinstance(x, str) else "")
def test_frame_errors(name, compression, bad, code, message):
    good = frame_bytes([[10, 11]], compression=compression)
    data = delimited(header(["a", "b"], compressed=bool(compression))) + good + bad + good
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    rows = drain(d)
    if name == "row width":
        # rows decoded before the bad one stay readable
        assert rows == [[10, 11], [1, 2], [3, 4]]
    else:
        assert rows == [[10, 11]]
    assert d.error.error_code == code
    if message is None:
        assert d.error.error_message.startswith("zlib: ")
        assert len(d.error.error_message) > len("zlib: ")
    else:
        assert d.error.error_message == message
    assert not d.push_buffer(good)
    assert not d.next_row()


def test_concatenated_gzip_members_make_one_frame():
    raw = frame([[1, "a"], [2, "b"]]).SerializeToString()
    body = compress(raw[:7]) + compress(raw[7:])
    d, rows = decode_all(delimited(header(["n", "s"], compressed=True)) + delimited(body))
    assert rows == [[1, "a"], [2, "b"]] and not d.has_error()


def test_invalid_geometry_keeps_earlier_rows():
    bad = primitive(geometry_value=geometry(2, [5], [1, 2, 3, 4]))  # polyline of 5 vertices, 2 given
    data = delimited(header(["g"])) + frame_bytes([[1], [bad], [3]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert drain(d) == [[1]]
    assert (d.error.error_code, d.error.error_message) == (-1, "Invalid geometry.")


def _bad_geometry():
    return primitive(geometry_value=geometry(2, [5], [1, 2, 3, 4]))


@pytest.mark.parametrize("column", [0, 5, 63, 64, 69])
@pytest.mark.parametrize("form", ["plain", "wrapped", "in_array"])
def test_invalid_geometry_found_in_any_column_of_a_wide_row(column, form):
    # Wide rows: the row check looks only at the values that hold a
    # geometry, and tracks the first 64 one by one.
    bad = {"plain": _bad_geometry, "wrapped": lambda: wrapped(_bad_geometry()),
           "in_array": lambda: array(any_values=[1, _bad_geometry()])}[form]()
    width = 70
    good = list(range(width))
    data = delimited(header([f"c{i}" for i in range(width)])) + frame_bytes(
        [good, [bad if i == column else i for i in range(width)], good])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert drain(d) == [good]
    assert (d.error.error_code, d.error.error_message) == (-1, "Invalid geometry.")


def test_push_buffer_rules():
    d = tk.GraphQueryDecoder()
    assert d.push_buffer(b"") is False
    assert d.push_buffer(bytearray(delimited(header(["a"])))) is True
    assert d.push_buffer(memoryview(frame_bytes([[1]]))) is True
    assert drain(d) == [[1]]
    with pytest.raises(TypeError):
        d.push_buffer("text")


def test_access_without_rows():
    d = tk.GraphQueryDecoder()
    assert not d.has_error() and d.error.empty()
    with pytest.raises(ValueError, match="^Decoder has not parsed the header yet.$"):
        d.get_current_row()
    assert d.get_value(0) is None
    assert not d.next_row()
    d.push_buffer(delimited(header(["a", "b"])))
    assert not d.next_row()
    assert d.get_current_row() == [None, None]
    d.push_buffer(frame_bytes([[1, "x"]]))
    assert d.next_row()
    assert [d.get_value(i) for i in (-1, 0, 1, 2, 2**40)] == [None, 1, "x", None, None]
    assert not d.next_row()
    assert d.get_value(0) is None
    assert d.get_current_row() == [None, None]


def test_error_view_follows_decoder():
    d = tk.GraphQueryDecoder()
    err = d.error
    d.push_buffer(delimited(header(["a"], error=(5, "late"))))
    d.next_row()
    assert (err.error_code, err.error_message) == (5, "late")


def test_get_value_gives_bound_objects():
    data = result_stream(["e"], [[entity("Person", 7, {"name": "Ann"})]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert d.next_row()
    e = d.get_value(0)
    assert isinstance(e, tk.EntityValue)
    assert e.type_name == "Person" and e.get_id() == 7 and e.query_value("name") == "Ann"
    assert d.get_value(0) is e  # same native object, same wrapper


U = uuid.UUID(bytes=bytes(range(16)))


def cell_cases():
    geom_pt = geometry(0, [1], [404, 410])
    return [
        ("float_int", primitive(float_int_value=3), 3.0),
        ("float", primitive(float_value=0.5), 0.5),
        ("double_float", primitive(double_float_value=0.25), 0.25),
        ("double_int", primitive(double_int_value=-(2**40)), float(-(2**40))),
        ("double", primitive(double_value=0.1), 0.1),
        ("int64 max", value(2**63 - 1), 2**63 - 1),
        ("bool false", primitive(bool_value=False), False),
        ("null_value true", primitive(null_value=True), None),
        ("empty primitive", pb.graph_values_pb2.AnyValue(primitive_value={}), None),
        ("empty AnyValue", value(None), None),
        ("uuid", value(U), U),
        ("uuid 15 bytes", primitive(uuid_value=bytes(15)), None),
        ("uuid 17 bytes", primitive(uuid_value=bytes(17)), None),
        ("blob", value(b"\x00\x01"), b"\x00\x01"),
        ("wrapped twice", wrapped(5, levels=2), 5),
        ("shape buffer geometry", primitive(geometry_value=pb.graph_values_pb2.GeometryValue(shape_buffer=b"x")), None),
        ("point", primitive(geometry_value=geom_pt), {"x": 404.0, "y": 410.0, "_objectType": "geometry"}),
        ("empty array", array(), None),
        ("null array", array(null_values=3), [None, None, None]),
        ("null array 0", array(null_values=0), []),
        ("null array negative", array(null_values=-1), None),
        ("null array huge", array(null_values=2**40), None),
        ("uuid array", array(uuid_values=U.bytes * 2), [U, U]),
        ("uuid array 33", array(uuid_values=bytes(33)), None),
        ("int64 array", array(int64_values=[1, -2]), [1, -2]),
        ("float_int array", array(float_int_values=[1, -1]), [1.0, -1.0]),
        ("float array", array(float_values=[0.5]), [0.5]),
        ("double array", array(double_values=[0.1]), [0.1]),
        ("double_float array", array(double_float_values=[0.5]), [0.5]),
        ("double_int array", array(double_int_values=[3]), [3.0]),
        ("bool array", array(bool_values=[True, False]), [True, False]),
        ("string array", array(string_values=["a", ""]), ["a", ""]),
        ("blob array", array(blob_values=[b"", b"z"]), [b"", b"z"]),
        ("any array", array(any_values=[1, "s", None]), [1, "s", None]),
        ("datetime overflow", primitive(datetime_value=2**62), None),
        ("datetime array overflow", array(datetime_values=[-(2**62)]), [None]),
        ("object", obj({"a": 1, "b": obj()}),
         {"_objectType": "object", "_properties": {"a": 1, "b": {"_objectType": "object", "_properties": {}}}}),
        ("object empty key", obj({"": 1}), None),
        ("entity", entity("P", 1, [("k", 1), ("k", 2)]),
         {"_objectType": "entity", "_typeName": "P", "_id": 1, "_properties": {"k": 2}}),
        ("entity without id", entity("P"), {"_objectType": "entity", "_typeName": "P", "_id": None, "_properties": {}}),
        ("entity empty key", entity("P", 1, {"": 1}), None),
        ("relationship", relationship("R", 9, 1, 2, {"w": 0.5}),
         {"_objectType": "relationship", "_typeName": "R", "_id": 9, "_originEntityId": 1,
          "_destinationEntityId": 2, "_properties": {"w": 0.5}}),
        ("relationship origin only", relationship("R", 9, origin=1),
         {"_objectType": "relationship", "_typeName": "R", "_id": 9, "_originEntityId": 1,
          "_destinationEntityId": None, "_properties": {}}),
        ("relationship empty key", relationship("R", 9, props={"": 1}), None),
        ("path", path([("A", 1, {}), ("B", 2, {})], [("R", 3, 1, 2, {})]),
         {"_objectType": "path", "_path": [
             {"_objectType": "entity", "_typeName": "A", "_id": 1, "_properties": {}},
             {"_objectType": "relationship", "_typeName": "R", "_id": 3, "_originEntityId": 1,
              "_destinationEntityId": 2, "_properties": {}},
             {"_objectType": "entity", "_typeName": "B", "_id": 2, "_properties": {}}]}),
        ("path 2+2", path([("A", 1, {}), ("B", 2, {})], [("R", 3, 1, 2, {}), ("R", 4, 2, 1, {})]), None),
        ("path empty", path([], []), None),
        ("path bad entity", path([("A", 1, {"": 1}), ("B", 2, {})], [("R", 3, 1, 2, {})]), None),
        ("path bad relationship", path([("A", 1, {}), ("B", 2, {})], [("R", 3, 1, 2, {"": 0})]), None),
    ]


@pytest.mark.parametrize("cell,expected", [c[1:] for c in cell_cases()], ids=[c[0] for c in cell_cases()])
def test_cell_decoding(cell, expected):
    data = result_stream(["v", "after"], [[cell, "ok"]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert d.next_row()
    row = d.get_current_row()
    assert row == [expected, "ok"]
    assert type(row[0]) is type(expected)
    assert not d.has_error()


def test_narrow_float_forms_stay_floats():
    data = result_stream(["a", "b"], [[primitive(float_int_value=3), primitive(double_int_value=4)]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    d.next_row()
    assert [type(d.get_value(i)) for i in (0, 1)] == [float, float]


def test_deep_nesting_decodes():
    v = value(1)
    for _ in range(25):
        v = array(any_values=[v])
    d, rows = decode_all(result_stream(["v"], [[v]]))
    inner = rows[0][0]
    for _ in range(25):
        inner = inner[0]
    assert inner == 1


@pytest.mark.parametrize("levels,ok", [(90, True), (150, False), (5000, False)])
def test_nesting_against_parser_limit(levels, ok):
    # built by hand: the Python runtime itself cannot hold such depths
    v = value(1).SerializeToString()
    for _ in range(levels):
        v = b"\xa2\x01" + varint(len(v)) + v
    row = b"\x0a" + varint(len(v)) + v
    data = delimited(header(["v"])) + delimited(b"\x12" + varint(len(row)) + row)
    d, rows = decode_all(data)
    if ok:
        assert rows == [[1]]
    else:
        assert rows == []
        assert d.error.error_message == "Result frame parsing failure!"


def test_geometries_use_header_transform():
    # polyline (404, 410), (2, -1), (-2, 3) on a 0.25 grid with origin -100
    poly = primitive(geometry_value=geometry(2, [3], [404, 410, 2, -1, -2, 3]))
    pt = primitive(geometry_value=geometry(0, [1], [8, 4, 6], has_z=True))
    data = result_stream(["p", "q"], [[poly, pt]], scale=(0.25, 0.25, 0.5, 1.0), translate=(-100, -100, 10, 0))
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert d.next_row()
    assert d.get_current_row() == [
        {"paths": [[[1.0, 2.5], [1.5, 2.25], [1.0, 3.0]]], "_objectType": "geometry"},
        {"x": -98.0, "y": -99.0, "z": 13.0, "_objectType": "geometry"},
    ]
    g = d.get_value(0)
    assert isinstance(g, tk.GeometryValue) and g.coords == [1.0, 2.5, 1.5, 2.25, 1.0, 3.0]


def data_model_with_wkid(wkid):
    m = pb.graph_schema_pb2.GraphDataModel()
    m.spatial_reference.wkid = wkid
    m.spatial_reference.latestWkid = wkid
    m.identifier_info.identifier_mapping_info.native_identifier.SetInParent()
    m.identifier_info.identifier_generation_info.uuid_method_hint = 1
    return tk.decode_data_model_from_protocol_buffer(m.SerializeToString())


def test_data_model_spatial_reference_in_geometries():
    dm = data_model_with_wkid(4326)
    if dm is None:
        pytest.skip("data model decoding not available")
    pt = primitive(geometry_value=geometry(0, [1], [1, 2]))
    arr = array(geometry_values=[geometry(1, [2], [1, 1, 1, 1])])
    data = result_stream(["p", "a"], [[pt, arr]])
    d = tk.GraphQueryDecoder()
    d.data_model = dm
    assert d.data_model is dm
    d.push_buffer(data)
    d.next_row()
    sr = {"wkid": 4326, "latestWkid": 4326}
    p, a = d.get_current_row()
    assert p == {"x": 1.0, "y": 2.0, "spatialReference": sr, "_objectType": "geometry"}
    assert list(p)[-1] == "_objectType"
    assert a == [{"points": [[1.0, 1.0], [2.0, 2.0]], "spatialReference": sr, "_objectType": "geometry"}]
    # bound geometries and to_value_object know nothing of it
    assert "spatialReference" not in tk.to_value_object(d.get_value(0))


def test_datetimes_in_local_time(tz):
    instants = [
        datetime.datetime(2021, 7, 1, 12, 30, 15, 123000, tzinfo=datetime.timezone.utc),
        datetime.datetime(2021, 1, 15, 23, 59, 59, 999000, tzinfo=datetime.timezone.utc),
        datetime.datetime(1969, 12, 31, 23, 59, 59, 1000, tzinfo=datetime.timezone.utc),
    ]
    ms = [(i - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)) // datetime.timedelta(milliseconds=1)
          for i in instants]
    data = result_stream(["one", "many"], [[value(i), array(datetime_values=ms)] for i in instants[:1]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    d.next_row()
    local = [i.astimezone().replace(tzinfo=None) for i in instants]
    assert d.get_current_row() == [local[0], local]
    assert d.get_value(0) == local[0]
