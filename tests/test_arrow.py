"""Query results read as Arrow columns (GraphQueryDecoder.read_arrow).

Result streams are built with the protobuf runtime; the batches are read
through pyarrow and polars, the independent readers of the C data
interface, and compared with the rows get_current_row gives."""
import base64
import datetime
import gc
import json
import os
import random
import struct
import time
import uuid

import _tolmirkenvor as tk
import pytest
from streams import array, entity, geometry, obj, path, primitive, relationship, result_stream, value, wrapped

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

UTC = datetime.timezone.utc
T0 = datetime.datetime(2021, 5, 6, 7, 8, 9, 123000, tzinfo=UTC)
T1 = datetime.datetime(1960, 2, 29, 23, 59, 59, 999000, tzinfo=UTC)


def decoder(fields, rows, **kw):
    d = tk.GraphQueryDecoder()
    assert d.push_buffer(result_stream(fields, rows, rows_per_frame=kw.pop("rows_per_frame", 3), **kw))
    return d


def column(cells, **kw):
    """The one column of a batch of the given cells, as pyarrow sees it."""
    b = decoder(["c"], [[c] for c in cells], **kw).read_arrow()
    t = pa.table(b)
    return t.schema.field("c"), t.column("c").to_pylist(), b


def ms(dt):
    return (dt - datetime.datetime(1970, 1, 1, tzinfo=UTC)) // datetime.timedelta(milliseconds=1)


# ---------------------------------------------------------------- the type table

U1, U2 = uuid.UUID(int=1), uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")

TYPES = [
    ("null", [None, None], pa.null(), [None, None]),
    ("bool", [True, None, False], pa.bool_(), [True, None, False]),
    ("int", [1, None, -(2**63), primitive(int64_value=2**63 - 1)],
     pa.int64(), [1, None, -(2**63), 2**63 - 1]),
    ("float", [primitive(float_value=0.1), None, primitive(double_float_value=0.5), 2.25],
     pa.float64(), [struct.unpack("<f", struct.pack("<f", 0.1))[0], None, 0.5, 2.25]),
    ("int+double exact", [3, None, 0.5, primitive(double_int_value=2**53)], pa.float64(), [3.0, None, 0.5, 2.0**53]),
    ("string", ["a", None, "", "\u00e4\U0001f642\x00x"], pa.string(), ["a", None, "", "\u00e4\U0001f642\x00x"]),
    ("blob", [b"\x00\xff", None, b""], pa.binary(), [b"\x00\xff", None, b""]),
    ("date-time", [T0, None, T1], pa.timestamp("ms", "UTC"), [T0, None, T1]),
    ("uuid", [U1, None, U2], pa.uuid(), [U1, None, U2]),
]


@pytest.mark.parametrize("name,cells,arrow_type,expected", TYPES, ids=[t[0] for t in TYPES])
def test_scalar_columns(name, cells, arrow_type, expected):
    cells = [value(c) if isinstance(c, datetime.datetime) else c for c in cells]
    field, got, b = column(cells)
    assert field.type == arrow_type and field.nullable
    if arrow_type == pa.timestamp("ms", "UTC"):
        got = [g if g is None else g.astimezone(UTC) for g in got]
    assert got == expected
    assert b.errors == [] and b.num_rows == len(cells) and b.column_names == ["c"]


@pytest.mark.parametrize("cells", [
    [1, "x"], [True, 1], [2**53 + 1, 0.5], [U1, "s"], [value(T0), 1], [b"\x01", "x"],
    [primitive(geometry_value=geometry(0, [1], [1, 2])), 5],
])
def test_mixed_columns_are_json(cells):
    field, got, _ = column(cells)
    assert field.type == pa.json_(pa.string())
    assert [json.loads(g) for g in got] == [json_of(c) for c in cells]


def test_zero_rows_give_null_columns():
    b = decoder(["a", "b"], []).read_arrow()
    t = pa.table(b)
    assert b.num_rows == 0 and t.num_rows == 0
    assert [f.type for f in t.schema] == [pa.null(), pa.null()] and t.column_names == ["a", "b"]
    assert repr(b) == "<ArrowRecordBatch 2 columns 0 rows>"


# ---------------------------------------------------------------- JSON values

def json_of(v):
    """The JSON form of a wire value, from what get_current_row makes of it
    (date-times in UTC as the wire instant, via an independent path)."""
    if isinstance(v, datetime.datetime):
        return v.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (v.microsecond // 1000)
    d = tk.GraphQueryDecoder()
    d.push_buffer(result_stream(["c"], [[v]]))
    assert d.next_row()
    return plain(d.get_current_row()[0])


def plain(v):
    if isinstance(v, uuid.UUID):
        return str(v)
    if isinstance(v, bytes):
        return base64.b64encode(v).decode()
    if isinstance(v, datetime.datetime):  # naive local time, the process zone is UTC here
        return v.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (v.microsecond // 1000)
    if isinstance(v, list):
        return [plain(x) for x in v]
    if isinstance(v, dict):
        return {k: plain(x) for k, x in v.items()}
    return v


COMPOUNDS = [
    entity("P", 7, [("a", 1), ("b", "x"), ("a", U1), ("c\x00cut", obj({"d": b"\x01\x02"}))]),
    relationship("R", U2, 7, 9, {"w": 0.5, "t": value(T0)}),
    relationship("R", 1),
    path([("A", 1, {}), ("B", 2, {"k": 1})], [("R", 3, 1, 2, {})]),
    array(any_values=[1, "two", None, 2.5, True]),
    array(null_values=3), array(uuid_values=U1.bytes + U2.bytes), array(datetime_values=[0, -1, 10**12]),
    array(string_values=['q"\\\n', "t"]), array(blob_values=[b"", b"\xff\xfe"]),
    array(float_values=[0.1]), array(double_int_values=[2**40]), array(bool_values=[True, False]),
    array(int64_values=[-(2**63)]), array(float_int_values=[7]), array(double_values=[1e300]),
    array(geometry_values=[geometry(1, [2], [1, 2, 3, 4], has_z=False), geometry(0, [1], [5, 6, 7], has_z=True)]),
    wrapped(entity("W", None), levels=2), obj(),
]


@pytest.mark.parametrize("cell", COMPOUNDS, ids=range(len(COMPOUNDS)))
def test_compound_values_as_json(tz, cell):
    field, got, _ = column([cell, None])  # in the fixture's zone: the text must not depend on it
    os.environ["TZ"] = "UTC"  # json_of reads naive local date-times back as UTC
    time.tzset()
    assert field.type == pa.json_(pa.string())
    assert json.loads(got[0]) == json_of(cell) and got[1] is None


# ---------------------------------------------------------------- geometries

def read_wkb(b, pos=0):
    """An independent ISO WKB reader: (type name, dims, nested content)."""
    order = "<" if b[pos] == 1 else ">"
    code, = struct.unpack_from(order + "I", b, pos + 1)
    pos += 5
    base, dims = code % 1000, 2 + {0: 0, 1: 1, 2: 1, 3: 2}[code // 1000]

    def pts(n):
        nonlocal pos
        out = [list(struct.unpack_from(order + "%dd" % dims, b, pos + 8 * dims * i)) for i in range(n)]
        pos += 8 * dims * n
        return out

    def count():
        nonlocal pos
        n, = struct.unpack_from(order + "I", b, pos)
        pos += 4
        return n

    if base == 1:
        out = pts(1)[0]
    elif base == 2:
        out = pts(count())
    elif base == 3:
        out = [pts(count()) for _ in range(count())]
    else:
        out = []
        for _ in range(count()):
            inner, pos = read_wkb(b, pos)
            out.append(inner[2])
    return (("?", "Point", "LineString", "Polygon", "MultiPoint", "MultiLineString")[base], code // 1000, out), pos


# wire type, lengths, grid coords (delta-encoded), has_z, has_m, WKB kind, dim code, content
GEOMETRIES = [
    (0, [1], [3, 4], False, False, "Point", 0, [1.5, 4.0]),
    (0, [1], [3, 4, 5, 6], True, True, "Point", 3, [1.5, 4.0, 5.0, 6.0]),
    (1, [2], [2, 2, 2, 2], False, False, "MultiPoint", 0, [[1.0, 2.0], [2.0, 4.0]]),
    (2, [2], [0, 0, 0, 2, 1, 9], True, False, "LineString", 1, [[0.0, 0.0, 0.0], [1.0, 1.0, 9.0]]),
    (2, [2, 1], [0, 0, 2, 2, 4, 4], False, False, "MultiLineString", 0, [[[0.0, 0.0], [1.0, 2.0]], [[2.0, 4.0]]]),
    (3, [4, 3], [0, 0, 4, 0, 0, 4, -4, -4, 1, 1, 1, 0, -1, 0], False, False, "Polygon", 0,
     [[[0.0, 0.0], [2.0, 0.0], [2.0, 4.0], [0.0, 0.0]], [[0.5, 1.0], [1.0, 1.0], [0.5, 1.0]]]),
]


@pytest.mark.parametrize("wire_type,lengths,coords,has_z,has_m,kind,dims,content", GEOMETRIES,
                         ids=[g[5] + str(g[6]) for g in GEOMETRIES])
def test_geometries_as_wkb(wire_type, lengths, coords, has_z, has_m, kind, dims, content):
    g = primitive(geometry_value=geometry(wire_type, lengths, coords, has_z=has_z, has_m=has_m))
    # x scale 0.5, y scale 1: quantization applies as for rows
    field, got, _ = column([g, None], scale=(0.5, 1.0, 1.0, 1.0))
    assert field.type == pa.binary() and got[1] is None
    assert field.metadata[b"ARROW:extension:name"] == b"geoarrow.wkb"
    assert field.metadata[b"ARROW:extension:metadata"] == b"{}"
    parsed, end = read_wkb(got[0])
    assert parsed == (kind, dims, content) and end == len(got[0])
    # the same geometry inside a mixed column is its JSON form
    d = decoder(["c"], [[g]], scale=(0.5, 1.0, 1.0, 1.0))
    assert d.next_row()
    expected = d.get_current_row()[0]
    _, mixed, _ = column([g, 1], scale=(0.5, 1.0, 1.0, 1.0))
    assert json.loads(mixed[0]) == expected


def sr(wkid=0, latest=0, wkt=""):
    s = tk.SpatialReference()
    s.wkid, s.latestWkid, s.wkt = wkid, latest, wkt
    return s


@pytest.mark.parametrize("reference,meta", [
    (None, {}), (sr(), {}), (sr(4326), {"crs": "EPSG:4326"}), (sr(102100, 3857), {"crs": "EPSG:3857"}),
    (sr(wkt='GEOGCS["x"]'), {"crs": 'GEOGCS["x"]'}),
])
def test_geometry_crs(reference, meta):
    g = primitive(geometry_value=geometry(0, [1], [1, 2]))
    b = decoder(["g", "j"], [[g, obj({"p": g})]]).read_arrow(spatial_reference=reference)
    schema = pa.table(b).schema
    assert json.loads(schema.field("g").metadata[b"ARROW:extension:metadata"]) == meta
    inner = json.loads(pa.table(b).column("j")[0].as_py())["_properties"]["p"]
    if meta:
        assert "spatialReference" in inner and list(inner)[-1] == "_objectType"
    else:
        assert "spatialReference" not in inner


@pytest.mark.parametrize("cell", [
    primitive(geometry_value=geometry(5, [2], [0, 0, 1, 1])),      # envelope
    primitive(geometry_value=geometry(4, [1], [0, 0])),            # multipatch
    obj({"g": primitive(geometry_value=geometry(5, [2], [0, 0, 1, 1]))}),
])
def test_inexpressible_geometry_becomes_null_with_error(cell):
    ok = primitive(geometry_value=geometry(0, [1], [1, 2]))
    field, got, b = column([ok, cell, None])
    assert got[1] is None and got[0] is not None
    assert [(r, c) for r, c, _ in b.errors] == [(1, 0)]
    assert "geometry" in b.errors[0][2].lower()


# ---------------------------------------------------------------- round trip and reading in parts

def sample_rows(n, seed=7):
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        rows.append([
            rng.choice([None, rng.randrange(-2**62, 2**62)]),
            rng.choice([None, rng.uniform(-1e6, 1e6)]),
            rng.choice([None, "s%d\u00e9" % i]),
            rng.choice([None, value(datetime.datetime(2021, 3, 28, 1, 30, tzinfo=UTC) +
                                    datetime.timedelta(minutes=rng.randrange(-10**6, 10**6)))]),
            rng.choice([None, uuid.UUID(int=rng.getrandbits(128))]),
            rng.choice([None, bool(i % 2)]),
            rng.choice([None, bytes([i % 256]) * 3]),
        ])
    return rows


FIELDS = ["i", "d", "s", "t", "u", "b", "x"]


def python_rows(batch):
    out = []
    for r in pa.table(batch).to_pylist():
        out.append([r[f] for f in FIELDS])
    return out


def test_round_trip_with_current_rows(tz):
    rows = sample_rows(300)
    d = decoder(FIELDS, rows, rows_per_frame=37)
    got = python_rows(d.read_arrow())
    ref = decoder(FIELDS, rows, rows_per_frame=37)
    expected = []
    while ref.next_row():
        expected.append(ref.get_current_row())
    assert len(got) == len(expected) == 300
    for g, e in zip(got, expected):
        # date-times: the same instant (get_current_row gives local time)
        e[3] = None if e[3] is None else e[3].astimezone(UTC)
        g[3] = None if g[3] is None else g[3].astimezone(UTC)
        assert g == e


@pytest.mark.parametrize("plan", [[-1], [1, -1], [5, 0, "next", 7, "next", "next", -1], [50] * 7, ["next", 299, 5]])
def test_reading_in_parts_gives_the_same_rows(plan):
    rows = sample_rows(300)
    whole = python_rows(decoder(FIELDS, rows, rows_per_frame=37).read_arrow())
    d = decoder(FIELDS, rows, rows_per_frame=37)
    parts = []
    for step in plan:
        if step == "next":
            assert d.next_row()
            r = d.get_current_row()
            r[3] = r[3] and r[3].astimezone(UTC)
            parts.append(r)
        else:
            b = d.read_arrow(max_rows=step)
            assert step < 0 or b.num_rows <= step
            parts += python_rows(b)
    parts += python_rows(d.read_arrow())
    assert d.read_arrow().num_rows == 0 and not d.next_row()
    assert len(parts) == 300 and parts == whole


def test_header_required_and_busy_guard(monkeypatch):
    d = tk.GraphQueryDecoder()
    with pytest.raises(ValueError, match="Decoder has not parsed the header yet."):
        d.read_arrow()
    d = decoder(["u"], [[U1], [U2]])
    seen = []

    def replaced(*a, **k):
        try:
            d.read_arrow()
        except RuntimeError as e:
            seen.append(str(e))
        return None

    monkeypatch.setattr(uuid, "UUID", replaced)
    assert d.next_row()
    d.get_current_row()
    monkeypatch.undo()
    assert seen == ["Decoder is busy."]
    assert d.read_arrow().num_rows == 1  # the guard left the rows alone


def test_error_keeps_the_rows_before_it():
    good = result_stream(["a"], [[1], [2]], rows_per_frame=2)
    from streams import frame_bytes
    bad = frame_bytes([[3, 4]])  # a row wider than the header
    d = tk.GraphQueryDecoder()
    d.push_buffer(good + bad)
    b = d.read_arrow()
    assert pa.table(b).column("a").to_pylist() == [1, 2]
    assert d.has_error() and d.error.error_code == -3


# ---------------------------------------------------------------- the capsule interface

def test_readers_and_requested_schema():
    rows = sample_rows(20)
    b = decoder(FIELDS, rows).read_arrow()
    rb = pa.record_batch(b)
    assert rb.num_rows == 20 and rb.schema.names == FIELDS
    df = pl.DataFrame(b)
    assert df.shape == (20, 7) and df["i"].to_list() == rb.column("i").to_pylist()

    class Asking:  # a reader that asks for the batch's own schema
        def __arrow_c_array__(self, requested_schema=None):
            return b.__arrow_c_array__(requested_schema=b.__arrow_c_schema__())

    assert pa.record_batch(Asking()) == rb
    b.__arrow_c_stream__(requested_schema=pa.schema(b).__arrow_c_schema__())
    other = pa.schema([(f, pa.string()) for f in FIELDS])
    for call in (b.__arrow_c_array__, b.__arrow_c_stream__):
        with pytest.raises(NotImplementedError):
            call(requested_schema=other.__arrow_c_schema__())
        with pytest.raises(NotImplementedError):
            call(requested_schema=42)
    reader = pa.RecordBatchReader.from_stream(b)
    assert reader.read_all().num_rows == 20


def test_pandas_reads_it():
    pytest.importorskip("pandas")
    b = decoder(["i"], [[1], [None]]).read_arrow()
    assert pa.table(b).to_pandas()["i"].tolist()[0] == 1


def test_no_copies_and_buffers_outlive_the_batch():
    rows = [[i, "s%d" % i] for i in range(1000)]
    b = decoder(["i", "s"], rows).read_arrow()
    t1, t2 = pa.table(b), pa.table(b)
    for name in ("i", "s"):
        assert t1.column(name).chunk(0).buffers()[-1].address == t2.column(name).chunk(0).buffers()[-1].address
    del b, t2
    gc.collect()
    assert t1.column("i").to_pylist() == list(range(1000))
    assert t1.column("s").to_pylist()[-1] == "s999"
    # an unread capsule releases its struct on its own
    b = decoder(["i"], rows[:3]).read_arrow()
    b.__arrow_c_array__()
    b.__arrow_c_stream__()
    b.__arrow_c_schema__()


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])


@pytest.mark.rss
def test_nothing_leaks_over_many_batches():
    rows = [[i, "s" * 50, U1, primitive(geometry_value=geometry(0, [1], [1, 2])), obj({"k": i})] for i in range(40)]
    body = result_stream(list("abcde"), rows, rows_per_frame=40)

    def run(n):
        for _ in range(n):
            d = tk.GraphQueryDecoder()
            d.push_buffer(body)
            b = d.read_arrow()
            pa.table(b)
            b.__arrow_c_stream__()
            b.__arrow_c_array__()

    run(500)
    gc.collect()
    before = rss_kib()
    run(10000)
    gc.collect()
    # 10,000 batches of about 8 KiB each would be 80 MiB if kept
    assert rss_kib() - before < 20 * 1024


# ---------------------------------------------------------------- hostile input

def test_mutated_streams_through_read_arrow():
    import test_hostile_input as H
    rng = random.Random(H.SEED + 7)
    seeds = [s for s, _ in H.seed_streams()]
    for _ in range(1500):
        data = H.hostile_stream(rng, seeds)
        pieces = H.split(rng, data)
        ref = tk.GraphQueryDecoder()
        d = tk.GraphQueryDecoder()
        for p in pieces:
            ref.push_buffer(p)
            d.push_buffer(p)
        expected = []
        while ref.next_row():
            try:
                expected.append(ref.get_current_row())
            except H.CONVERSION_ERRORS:
                expected.append(None)
        got = []
        step = rng.choice([-1, 1, 3])
        while True:
            try:
                b = d.read_arrow(step)
            except ValueError:
                assert not d.field_names
                break
            if not b.num_rows:
                break
            t = pa.table(b)
            plain_types = [f.type in (pa.int64(), pa.string(), pa.binary()) for f in t.schema]
            got += [[v if keep else None for v, keep in zip(r.values(), plain_types)] for r in t.to_pylist()]
            assert len(got) < 100000
        assert len(got) == len(expected)
        assert (d.has_error(), d.error.error_code, d.error.error_message) == (
            ref.has_error(), ref.error.error_code, ref.error.error_message)
        for g, e in zip(got, expected):
            if e is None:
                continue
            for a, x in zip(g, e):
                if isinstance(x, (int, str, bytes)) and not isinstance(x, bool) and isinstance(a, type(x)):
                    assert a == x
