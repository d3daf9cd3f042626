"""Rows read straight from the wire agree with rows built through the value
union, whatever way they are asked for, on encodings that no encoder writes
as well as on the usual ones; and what they return stays collectable.

The reference side of every comparison is get_value() turned into plain
structures with to_value_object, on a second decoder over the same bytes.
"""
import datetime
import gc
import struct
import uuid
import weakref
import zlib

import _tolmirkenvor as tk
import pytest
from streams import chunks, delimited, header, split_delimited, varint

# --- raw wire pieces --------------------------------------------------------

def tag(number, wire_type):
    return varint(number << 3 | wire_type)


def ld(number, payload):
    return tag(number, 2) + varint(len(payload)) + payload


def vi(number, n):
    return tag(number, 0) + varint(n & (2**64 - 1))


def zz(n):
    return (n << 1) ^ (n >> 63)


def f32(number, x):
    return tag(number, 5) + struct.pack("<f", x)


def f64(number, x):
    return tag(number, 1) + struct.pack("<d", x)


def prim(*fields):
    """AnyValue holding one PrimitiveValue made of the given field bytes."""
    return ld(1, b"".join(fields))


def pair(key, value=None):
    return ld(1, key.encode()) + (ld(2, value) if value is not None else b"")


def entity(label, id_=None, props=(), extra=b""):
    body = ld(1, label.encode()) + (ld(3, id_) if id_ is not None else b"")
    body += b"".join(ld(4, pair(k, v)) for k, v in props) + extra
    return ld(4, body)


def stream(width, rows, rows_per_frame=3):
    out = [delimited(header([f"c{i}" for i in range(width)]))]
    for start in range(0, len(rows), rows_per_frame):
        frame = b"".join(ld(2, b"".join(ld(1, v) for v in row)) for row in rows[start:start + rows_per_frame])
        out.append(delimited(frame))
    return b"".join(out)


def decoder(body, chunk=7):
    d = tk.GraphQueryDecoder()
    for c in chunks(body, chunk):
        d.push_buffer(c)
    return d


def reference_rows(body):
    d = decoder(body)
    rows = []
    while d.next_row():
        width = len(d.field_names)
        rows.append([tk.to_value_object(d.get_value(i)) for i in range(width)])
    assert not d.has_error(), d.error.error_message
    return rows


# --- the cells --------------------------------------------------------------

INT = prim(vi(7, zz(-5)))
MS = 1_600_000_000_123

CELLS = {
    "int64": (INT, -5),
    "int64 overlong varint": (prim(tag(7, 0) + b"\x85\x80\x00"), -3),
    "int64 overlong tag": (prim(b"\xb8\x00" + varint(zz(9))), 9),
    "int64 extremes": (prim(vi(7, zz(-(2**63)))), -(2**63)),
    "double": (prim(f64(4, 0.1)), 0.1),
    "double sent as float": (prim(f32(5, 0.5)), 0.5),
    "double sent as int": (prim(vi(6, zz(-(2**48)))), float(-(2**48))),
    "float": (prim(f32(2, 1.25)), 1.25),
    "float sent as int": (prim(vi(3, zz(-7))), -7.0),
    "float sent as int, rounded": (prim(vi(3, zz(2**24 + 1))), float(2**24)),
    "bool above one": (prim(vi(8, 2)), True),
    "bool false": (prim(vi(8, 0)), False),
    "null member": (prim(vi(12, 0)), None),
    "empty primitive": (ld(1, b""), None),
    "empty value": (b"", None),
    "string": (prim(ld(1, "héllo\x00wörld".encode())), "héllo\x00wörld"),
    "string, wide after ascii": (prim(ld(1, ("a" * 11 + "€🙂").encode())), "a" * 11 + "€🙂"),
    "empty string": (prim(ld(1, b"")), ""),
    "last member wins": (prim(ld(1, b"text"), vi(7, zz(3))), 3),
    "repeated member": (prim(vi(7, zz(1)), vi(7, zz(2))), 2),
    "member then unknown field": (prim(vi(7, zz(4)), vi(40, 1)), 4),
    "value then unknown field": (INT + vi(30, 1), -5),
    "two primitive occurrences merge": (prim(ld(1, b"a")) + prim(vi(7, zz(6))), 6),
    "wrapped": (ld(20, INT), -5),
    "blob": (prim(ld(10, b"\x00\xff")), b"\x00\xff"),
    "uuid of the wrong length": (prim(ld(9, b"\x01" * 15)), None),
    "date-time beyond the tick range": (prim(vi(13, 2**62)), None),
    "entity": (entity("Person", INT, [("age", prim(vi(7, zz(41)))), ("city", prim(ld(1, b"Graz")))]),
               {"_objectType": "entity", "_typeName": "Person", "_id": -5,
                "_properties": {"age": 41, "city": "Graz"}}),
    "entity with an empty key": (entity("Person", INT, [("a", INT), ("", INT)]), None),
    "entity with a key but no value": (entity("P", None, [("a", None)]),
                                       {"_objectType": "entity", "_typeName": "P", "_id": None,
                                        "_properties": {"a": None}}),
    "entity with repeated keys": (entity("P", None, [("a", INT), ("b", INT), ("a", prim(vi(8, 1)))]),
                                  {"_objectType": "entity", "_typeName": "P", "_id": None,
                                   "_properties": {"a": True, "b": -5}}),
    "entity with a NUL in its label": (entity("Pe\x00rson"), {"_objectType": "entity", "_typeName": "Pe",
                                                              "_id": None, "_properties": {}}),
    "entity label repeated": (entity("A", extra=ld(1, b"B")), {"_objectType": "entity", "_typeName": "B",
                                                             "_id": None, "_properties": {}}),
    "entity id repeated merges": (entity("A", prim(ld(1, b"x")), extra=ld(3, prim(vi(7, zz(8))))),
                                  {"_objectType": "entity", "_typeName": "A", "_id": 8, "_properties": {}}),
    "entity in two occurrences": (entity("A") + entity("", None, [("k", INT)]),
                                  {"_objectType": "entity", "_typeName": "", "_id": None,
                                   "_properties": {"k": -5}}),
    "entity nested in a property": (entity("Out", None, [("in", entity("In", INT))]),
                                    {"_objectType": "entity", "_typeName": "Out", "_id": None,
                                     "_properties": {"in": {"_objectType": "entity", "_typeName": "In", "_id": -5,
                                                            "_properties": {}}}}),
}


@pytest.mark.parametrize("name", sorted(CELLS))
def test_cell_reads_as_the_value_union_gives_it(name):
    cell, expected = CELLS[name]
    body = stream(2, [[cell, INT], [INT, cell]])
    rows = reference_rows(body)
    assert rows == [[expected, -5], [-5, expected]]
    d = decoder(body)
    direct = []
    while d.next_row():
        direct.append(d.get_current_row())
    assert direct == rows
    for a, b in zip(direct, rows):
        assert [type(x) for x in a] == [type(x) for x in b]


def test_date_times_agree_in_every_zone(tz):
    cells = [prim(vi(13, MS + k * 3_600_000 * 24 * 91)) for k in range(8)]
    cells += [prim(vi(13, -MS)), prim(vi(13, 0)), prim(vi(13, -1))]
    body = stream(1, [[c] for c in cells])
    rows = reference_rows(body)
    expected = datetime.datetime.fromtimestamp(MS // 1000).replace(microsecond=123000)
    assert rows[0][0] == expected
    d = decoder(body)
    assert d.get_rows(-1) == rows


def all_cells_stream():
    cells = [CELLS[k][0] for k in sorted(CELLS)]
    width = 4
    rows = [[cells[(r * width + c) % len(cells)] for c in range(width)] for r in range(2 * len(cells))]
    return stream(width, rows, rows_per_frame=5)


@pytest.mark.parametrize("compression", [None, "zlib"])
@pytest.mark.parametrize("how", ["row", "rows", "rows_batches", "iter", "next", "keywords"])
def test_every_way_of_reading_gives_the_same_rows(how, compression):
    body = all_cells_stream()
    if compression:
        parts = [delimited(header([f"c{i}" for i in range(4)], compressed=True))]
        parts += [delimited(zlib.compress(m)) for m in split_delimited(body)[1:]]
        body = b"".join(parts)
    rows = reference_rows(body)
    d = decoder(body, chunk=64)
    if how == "row":
        got = []
        while d.next_row():
            got.append(d.get_current_row())
    elif how == "rows":
        got = d.get_rows(-1)
    elif how == "rows_batches":
        got = []
        while batch := d.get_rows(max_rows=3):
            got.extend(batch)
    elif how == "iter":
        got = list(d)
    elif how == "next":
        got = []
        it = iter(d)
        assert it is d
        while True:
            try:
                got.append(next(it))
            except StopIteration:
                break
    else:
        got = []
        while d.next_row():
            got.append([tk.to_value_object(d.get_value(index=i)) for i in range(4)])
    assert got == rows
    assert not d.has_error()
    assert d.next_row() is False


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("index", [0, 1, Index(1), -1, 4])
def test_get_value_takes_what_it_took(index):
    d = decoder(stream(2, [[INT, prim(ld(1, b"s"))]]))
    assert d.next_row()
    n = index.n if isinstance(index, Index) else index
    expected = [-5, "s"][n] if 0 <= n < 2 else None
    assert d.get_value(index) == expected
    assert d.get_value(index=index) == expected


@pytest.mark.parametrize("call", [
    lambda d: d.get_value(2**70),
    lambda d: d.get_value(-(2**70)),
    lambda d: d.get_value(),
    lambda d: d.get_value(0, 1),
    lambda d: d.get_value(1.0),
    lambda d: d.get_value(idx=0),
    lambda d: d.next_row(1),
    lambda d: d.next_row(x=1),
    lambda d: d.get_current_row(0),
])
def test_wrong_arguments_raise_type_error(call):
    d = decoder(stream(1, [[INT]]))
    d.next_row()
    with pytest.raises(TypeError):
        call(d)


def test_unbound_methods_check_their_self():
    d = decoder(stream(1, [[INT]]))
    assert tk.GraphQueryDecoder.next_row(d) is True
    assert tk.GraphQueryDecoder.get_current_row(d) == [-5]
    assert tk.GraphQueryDecoder.get_value(d, 0) == -5
    for method in (tk.GraphQueryDecoder.next_row, tk.GraphQueryDecoder.get_current_row):
        with pytest.raises(TypeError):
            method(object())


def test_subclasses_read_the_same_rows():
    class Mine(tk.GraphQueryDecoder):
        pass

    body = all_cells_stream()
    rows = reference_rows(body)
    d = Mine()
    for c in chunks(body, 50):
        d.push_buffer(c)
    assert list(d) == rows

    class Counting(tk.GraphQueryDecoder):
        def __next__(self):
            self.seen = getattr(self, "seen", 0) + 1
            return super().__next__()

    d = Counting()
    d.push_buffer(body)
    assert list(d) == rows
    assert d.seen == len(rows) + 1


def test_errors_in_iteration_propagate_and_leave_the_decoder_usable():
    # A date-time that fits the tick range but no Python year.
    bad = prim(vi(13, 20_000 * 365 * 86_400_000))
    body = stream(1, [[INT], [bad], [INT]])
    d = decoder(body)
    it = iter(d)
    assert next(it) == [-5]
    with pytest.raises((ValueError, RuntimeError, OverflowError)):
        next(it)
    assert next(it) == [-5]
    with pytest.raises(StopIteration):
        next(it)


def test_busy_decoder_refuses_iteration_from_inside_a_conversion(monkeypatch):
    d = decoder(stream(1, [[prim(ld(9, bytes(range(16))))], [INT]]))
    seen = []

    def hostile(*args, **kwargs):
        for call in (d.next_row, d.get_current_row, lambda: next(d), lambda: d.get_value(0)):
            with pytest.raises(RuntimeError, match="Decoder is busy."):
                call()
        seen.append(kwargs["int"])
        return "replaced"

    monkeypatch.setattr(uuid, "UUID", hostile)
    assert next(d) == ["replaced"]
    monkeypatch.undo()
    assert next(d) == [-5]
    assert seen == [int.from_bytes(bytes(range(16)), "big")]


class Box:
    pass


@pytest.mark.parametrize("how", ["row", "rows", "iter"])
def test_returned_rows_stay_collectable(how):
    body = stream(2, [[entity("P", INT, [("k", INT)]), INT]] * 4)
    d = decoder(body)
    if how == "row":
        d.next_row()
        rows = [d.get_current_row()]
    elif how == "rows":
        rows = d.get_rows(-1)
    else:
        rows = list(d)
    refs = []
    for row in rows:
        box = Box()
        box.row = row
        row.append(box)
        row[0]["box"] = box
        row[0]["_properties"]["box"] = box
        refs.append(weakref.ref(box))
    del rows, row, box
    gc.collect()
    assert all(r() is None for r in refs)


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_survives_a_failing_batch(enabled):
    bad = prim(vi(13, 20_000 * 365 * 86_400_000))
    d = decoder(stream(1, [[INT], [bad]]))
    (gc.enable if enabled else gc.disable)()
    try:
        with pytest.raises((ValueError, RuntimeError, OverflowError)):
            d.get_rows(-1)
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


@pytest.mark.parametrize("payload", [
    b"a" * 8 + b"\xff",           # invalid byte right after a whole ASCII word
    b"a" * 15 + b"\xc3",          # a cut two-byte character at the end
    b"\xe2\x82",                  # a cut three-byte character alone
    b"abc\xed\xa0\x80",           # an encoded surrogate
])
def test_invalid_utf8_after_ascii_still_fails_the_frame(payload):
    body = stream(1, [[INT], [prim(ld(1, payload))]], rows_per_frame=1)
    d = decoder(body)
    assert d.next_row() and d.get_current_row() == [-5]
    assert d.next_row() is False
    assert d.has_error()
    assert d.error.error_message == "Result frame parsing failure!"
