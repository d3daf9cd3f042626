"""Speed and memory of _tolmirkenvor against plain-Python protobuf code.

    python3 bench/run.py                      # every workload, then the memory runs
    python3 bench/run.py --only query_row,params --repeat 7
    python3 bench/run.py --quick              # small sizes: a smoke run
    python3 bench/run.py --no-memory --json results.json
    python3 bench/run.py --memory-only
    python3 bench/run.py --list               # the workload ids

The baseline is what a user without the module writes: the Google protobuf
runtime (classes generated from proto/) and plain Python, giving the same
Python structures, or the same request bytes, as the module. Before timing,
every workload checks that both sides give equal output; a mismatch is
printed as MISMATCH with the first difference and makes the exit code 1.
Baseline and module runs alternate in one process (rotating order), the
garbage collector stays on, and each side's median of --repeat runs is shown.
The process runs in TZ=UTC. Set TK_BUILD_DIR to benchmark a build directory
instead of the installed module.

Columns: items (rows, edits, parameters, doubles, properties or ids per
run), baseline and module median wall time in ms, items per second for each
side, and the ratio baseline time / module time (7.3x means the module is
7.3 times faster). Workloads whose module member is missing are listed as
skipped. The memory table gives the peak RSS growth (VmHWM, reset after the
input is built) of query decoding in fresh subprocesses.
"""
import argparse
import gc
import json
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time

os.environ["TZ"] = "UTC"
time.tzset()

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
if os.environ.get("TK_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["TK_BUILD_DIR"]))

import _tolmirkenvor as tk  # noqa: E402
import baseline as B  # noqa: E402
import workloads as W  # noqa: E402
from streams import delimited, read_varint  # noqa: E402 (tests/, put on the path by workloads)

try:
    import pyarrow as pa
except ImportError:  # the arrow workloads are skipped
    pa = None

QUERY = "UNWIND $rows AS r RETURN r"

SIZES = {
    "query_rows": (100_000, 3_000),
    "polyline_rows": (20_000, 600),
    "edits": (50_000, 2_000),
    "params": (100_000, 3_000),
    "params_set": (20_000, 1_000),
    "doubles": (1_000_000, 30_000),
    "data_model": ((200, 30, 40, 10), (10, 30, 3, 10)),
    "edit_ids": (100_000, 3_000),
    "arrow_rows": (100_000, 3_000),
    "memory_rows": (100_000, 3_000),
    "memory_stream_rows": (1_000_000, 30_000),
}


class Mismatch(Exception):
    pass


class Side:
    """One timed function. fn(prepared) runs timed; prep() runs untimed
    before each run (for inputs that the call consumes)."""

    def __init__(self, wid, label, fn, prep=None, needs=None, check=None, note="", base=None):
        self.id, self.label, self.fn, self.prep, self.note = wid, label, fn, prep, note
        self.base = base  # a baseline of its own instead of the group's
        self.needs = needs  # (class, member) that must exist, or None
        self.check = check  # turns the output into the baseline's form

    def missing(self):
        if self.needs is None:
            return None
        cls, member = self.needs
        return None if hasattr(cls, member) else "%s.%s missing" % (cls.__name__, member)

    def __call__(self):
        arg = self.prep() if self.prep else None
        gc.collect()
        t0 = time.perf_counter()
        out = self.fn(arg)
        elapsed = time.perf_counter() - t0
        return out, elapsed


class Group:
    def __init__(self, items, unit, base, variants, note=""):
        self.items, self.unit, self.base, self.variants, self.note = items, unit, base, variants, note


# ---------------------------------------------------------------- module sides

def mod_rows(chunks):
    d = tk.GraphQueryDecoder()
    push, nxt, get = d.push_buffer, d.next_row, d.get_current_row
    out = []
    add = out.append
    for c in chunks:
        push(c)
        while nxt():
            add(get())
    _ok(d)
    return out


def mod_rows_dropped(chunks):
    d = tk.GraphQueryDecoder()
    push, nxt, get = d.push_buffer, d.next_row, d.get_current_row
    count = 0
    for c in chunks:
        push(c)
        while nxt():
            row = get()  # noqa: F841 (dropped, as a streaming consumer does)
            count += 1
    _ok(d)
    return count


def mod_values(chunks):
    d = tk.GraphQueryDecoder()
    push, nxt, get = d.push_buffer, d.next_row, d.get_value
    out = []
    add = out.append
    cols = None
    for c in chunks:
        push(c)
        while nxt():
            if cols is None:
                cols = range(len(d.get_current_row()))  # the row width, once
            add(list(map(get, cols)))
    _ok(d)
    return out


def mod_rows_batch(chunks, batch=10_000):
    d = tk.GraphQueryDecoder()
    push, get_rows = d.push_buffer, d.get_rows
    out = []
    for c in chunks:
        push(c)
        while True:
            rows = get_rows(batch)
            if not rows:
                break
            out.extend(rows)
    _ok(d)
    return out


def mod_iter(chunks):
    d = tk.GraphQueryDecoder()
    out = []
    for c in chunks:
        d.push_buffer(c)
        out.extend(d)
    _ok(d)
    return out


def _ok(d):
    if d.has_error():
        raise RuntimeError("decoder error %d: %s" % (d.error.error_code, d.error.error_message))


def _bytes_of(enc):
    enc.encode()
    r = enc.get_encoding_result()
    if r is None or r.error.error_code != 0:
        raise RuntimeError("encode failed: %r" % (r and (r.error.error_code, r.error.error_message)))
    return r.byte_buffer


def _plain(rows):
    """get_value rows (bound objects) in get_current_row form."""
    conv = tk.to_value_object
    return [[conv(v) for v in row] for row in rows]


# ---------------------------------------------------------------- workload groups

DROP_NOTE = ("rows dropped as they come, on both sides: without thousands of kept containers the"
             " garbage collector has little to walk")


def query_sides(prefix, chunks, ids):
    drop_base = Side("baseline", "as above, each row dropped", lambda _: B.query_rows(chunks, keep=False))
    sides = {
        "row": Side(prefix + "_row", "next_row + get_current_row", lambda _: mod_rows(chunks)),
        "drop": Side(prefix + "_row_drop", "next_row + get_current_row, row dropped",
                     lambda _: mod_rows_dropped(chunks), base=drop_base, note=DROP_NOTE),
        "value": Side(prefix + "_value", "next_row + get_value per column", lambda _: mod_values(chunks),
                      check=_plain, note="entity and geometry cells come back as bound EntityValue/GeometryValue"
                      " objects, not dicts (compared after to_value_object, untimed): less work than the"
                      " baseline, which builds dicts"),
        "batch": Side(prefix + "_rows_batch", "get_rows(10000)", lambda _: mod_rows_batch(chunks),
                      needs=(tk.GraphQueryDecoder, "get_rows")),
        "iter": Side(prefix + "_iter", "iter(decoder)", lambda _: mod_iter(chunks),
                     needs=(tk.GraphQueryDecoder, "__iter__")),
    }
    return [sides[k] for k in ids]


def g_query(quick):
    n = SIZES["query_rows"][quick]
    chunks = W.cut(W.stream(W.QUERY_FIELDS, W.query_frames(n)))
    base = Side("baseline", "protobuf FromString per frame + Python conversion", lambda _: B.query_rows(chunks))
    return Group(n, "rows", base, query_sides("query", chunks, ["row", "drop", "value", "batch", "iter"]),
                 "int, double, str, date-time, entity(3 props); 1000 rows/frame; 64 KiB chunks")


def g_query_zlib(quick):
    n = SIZES["query_rows"][quick]
    chunks = W.cut(W.stream(W.QUERY_FIELDS, W.query_frames(n), compressed=True))
    base = Side("baseline", "zlib.decompress + protobuf + Python conversion", lambda _: B.query_rows(chunks))
    s = query_sides("query", chunks, ["row", "batch"])
    s[0].id, s[1].id = "query_zlib", "zlib_rows_batch"
    return Group(n, "rows", base, s, "zlib-compressed frames")


def g_polyline(quick):
    n = SIZES["polyline_rows"][quick]
    chunks = W.cut(W.stream(["shape"], W.polyline_frames(n), **W.GRID_HEADER))
    base = Side("baseline", "protobuf + Python delta sum and transform", lambda _: B.query_rows(chunks))
    return Group(n, "rows", base, query_sides("polyline", chunks, ["row", "drop", "value", "batch"]),
                 "one 50-vertex polyline a row, delta-encoded, header transform")


def g_edits(quick):
    n = SIZES["edits"][quick]
    rows = W.edit_rows(n)
    dicts = W.edit_dicts(rows)
    sr, qp = tk.SpatialReference(), tk.InputQuantizationParameters.WGS84_lossless()

    def add_each(items):
        enc = tk.GraphApplyEditsEncoder(sr, qp)
        add = enc.add
        for item in items:
            add(item)
        return _bytes_of(enc)

    def add_many(items):
        enc = tk.GraphApplyEditsEncoder(sr, qp)
        enc.add_many(items)
        return _bytes_of(enc)

    base = Side("baseline", "protobuf frames (deterministic) from the same data", lambda _: B.edits_request(rows))
    return Group(n, "edits", base, [
        Side("edits_dict", "add(dict) each, encode()", lambda _: add_each(dicts)),
        # add() empties an EntityValue's properties: fresh objects each run, built untimed
        Side("edits_object", "add(EntityValue) each, encode()", add_each, prep=lambda: W.edit_entities(tk, rows)),
        Side("edits_dict_many", "add_many(dicts), encode()", lambda _: add_many(dicts),
             needs=(tk.GraphApplyEditsEncoder, "add_many")),
    ], "str, int, double, date-time, point; 5 types; WGS84 lossless grid")


def _encoder():
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = QUERY
    return enc


def g_params(quick):
    n = SIZES["params"][quick]
    items = W.param_items(n)
    mapping = dict(items)

    def append_each(_):
        enc = _encoder()
        app = enc.append_param_key_value
        for name, v in items:
            app(name, v)
        return _bytes_of(enc)

    def set_params(_):
        enc = _encoder()
        enc.set_params(mapping)
        return _bytes_of(enc)

    base = Side("baseline", "protobuf request map, SerializeToString(deterministic)",
                lambda _: B.query_request(QUERY, items))
    return Group(n, "params", base, [
        Side("params", "append_param_key_value each, encode()", append_each,
             note="append_param_key_value, since the names are distinct; set_param_key_value: see params_set"),
        Side("params_batch", "set_params(dict), encode()", set_params,
             needs=(tk.GraphQueryRequestEncoder, "set_params")),
    ], "int, double, str, bool, date-time, UUID; distinct names")


def g_params_set(quick):
    n = SIZES["params_set"][quick]
    items = W.param_items(n, seed=515)

    def set_each(_):
        enc = _encoder()
        put = enc.set_param_key_value
        for name, v in items:
            put(name, v)
        return _bytes_of(enc)

    base = Side("baseline", "protobuf request map", lambda _: B.query_request(QUERY, items))
    return Group(n, "params", base, [Side("params_set", "set_param_key_value each, encode()", set_each,
                                          note="set_param_key_value first looks for an equal name (hashed);"
                                          " the baseline's map does the same")],
                 "set_param_key_value looks for an equal name first; fewer values")


def g_doubles(quick):
    n = SIZES["doubles"][quick]
    values = W.doubles(n)

    def encode(_):
        arr = tk.ArrayValue()
        arr.values = values
        enc = _encoder()
        enc.append_param_key_value("rows", arr)
        return _bytes_of(enc)

    base = Side("baseline", "DoubleArray.values.extend", lambda _: B.doubles_request(QUERY, "rows", values))
    return Group(n, "doubles", base, [Side("array_doubles", "ArrayValue.values = list, encode()", encode)],
                 "timed from the Python list to the bytes on both sides")


def g_data_model(quick):
    shape = SIZES["data_model"][quick]
    body = W.data_model_body(*shape)
    props = shape[0] * shape[1] + shape[2] * shape[3]

    def decode(_):
        return tk.decode_data_model_from_protocol_buffer(body).to_value_object()

    base = Side("baseline", "GraphDataModel.FromString + dicts in Python", lambda _: B.data_model(body))
    return Group(props, "properties", base, [
        Side("data_model", "decode_data_model_from_protocol_buffer + to_value_object", decode)],
        "%d entity types x %d, %d relationship types x %d properties, %d KiB" % (
            shape[0], shape[1], shape[2], shape[3], len(body) // 1024))


def g_edits_result(quick):
    n = SIZES["edit_ids"][quick]
    body = W.edits_result_body(n)

    def decode(_):
        d = tk.GraphApplyEditsDecoder()
        err = d.decode(body)
        if err.error_code:
            raise RuntimeError(err.error_message)
        return d.get_results()

    base = Side("baseline", "GraphApplyEditsResult.FromString + dicts in Python", lambda _: B.edits_result(body))
    return Group(n, "ids", base, [Side("edits_result", "GraphApplyEditsDecoder.decode + get_results", decode)],
                 "adds/deletes with UUID ids, updates with int ids, 0.5% errors")


def _arrow_schema():
    return pa.schema([("n", pa.int64()), ("score", pa.float64()), ("name", pa.string()),
                      ("born", pa.timestamp("us")), ("uid", pa.uuid()),
                      ("loc", pa.struct([("x", pa.float64()), ("y", pa.float64())]))])


def _to_table(rows, schema):
    f = W.ARROW_FIELDS
    return pa.Table.from_pylist([dict(zip(f, r)) for r in rows], schema=schema)


def _table_rows(table):
    """Any table as row dicts in the pylist form, to compare across schemas."""
    out = []
    for r in table.to_pylist():
        loc = r.get("loc")
        if isinstance(loc, dict):
            r["loc"] = {"x": loc.get("x"), "y": loc.get("y")}
        out.append(r)
    return out


def _arrow_as_baseline(table):
    """A read_arrow table in the baseline's schema: naive date-times (the
    process runs in UTC), UUID objects, points from their WKB."""
    schema = _arrow_schema()
    rows = []
    for r in table.to_pylist():
        born, loc = r["born"], r["loc"]
        if born is not None:
            r["born"] = born.replace(tzinfo=None)
        if loc is not None:
            x, y = struct.unpack_from("<dd", loc, 5)
            r["loc"] = {"x": x, "y": y}
        rows.append(r)
    return pa.Table.from_pylist(rows, schema=schema)


def g_arrow(quick):
    n = SIZES["arrow_rows"][quick]
    chunks = W.cut(W.stream(W.ARROW_FIELDS, W.arrow_frames(n), **W.GRID_HEADER))
    schema = _arrow_schema()

    def read_arrow(_):
        d = tk.GraphQueryDecoder()
        for c in chunks:
            d.push_buffer(c)
        t = pa.table(d.read_arrow(max_rows=-1))
        _ok(d)
        return t

    base = Side("baseline", "protobuf rows -> Table.from_pylist", lambda _: _to_table(B.query_rows(chunks), schema))
    return Group(n, "rows", base, [
        Side("arrow_pylist", "get_current_row rows -> Table.from_pylist",
             lambda _: _to_table(mod_rows(chunks), schema)),
        Side("arrow", "read_arrow(max_rows=-1) + pyarrow.table()", read_arrow,
             needs=(tk.GraphQueryDecoder, "read_arrow"), check=_arrow_as_baseline,
             note="columns: int64, float64, string, timestamp[ms, UTC], arrow.uuid, geoarrow.wkb"),
    ], "int, double, str, date-time, UUID, point")


GROUPS = [
    (["query_row", "query_row_drop", "query_value", "query_rows_batch", "query_iter"], g_query),
    (["query_zlib", "zlib_rows_batch"], g_query_zlib),
    (["polyline_row", "polyline_row_drop", "polyline_value", "polyline_rows_batch"], g_polyline),
    (["edits_dict", "edits_object", "edits_dict_many"], g_edits),
    (["params", "params_batch"], g_params),
    (["params_set"], g_params_set),
    (["array_doubles"], g_doubles),
    (["data_model"], g_data_model),
    (["edits_result"], g_edits_result),
    (["arrow_pylist", "arrow"], g_arrow),
]
ALL_IDS = [i for ids, _ in GROUPS for i in ids]


# ---------------------------------------------------------------- comparing outputs

def first_difference(a, b, path="out"):
    """A readable description of the first place where a and b differ
    (None when they are equal, key order of dicts included)."""
    if type(a) is type(b) and not isinstance(a, (dict, list, tuple)) and a == b:
        return None
    if type(a) is not type(b):
        return "%s: type %s vs %s (%s vs %s)" % (path, type(a).__name__, type(b).__name__, _short(a), _short(b))
    if isinstance(a, (bytes, bytearray)):
        n = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        return "%s: %d vs %d bytes, first difference at offset %d: %s vs %s" % (
            path, len(a), len(b), n, a[max(0, n - 8):n + 8].hex(), b[max(0, n - 8):n + 8].hex())
    if isinstance(a, dict):
        if list(a) != list(b):
            if set(a) == set(b):
                return "%s: same keys, other order: %s vs %s" % (path, _short(list(a)), _short(list(b)))
            return "%s: keys %s vs %s" % (path, _short(sorted(map(str, set(a) - set(b)))),
                                          _short(sorted(map(str, set(b) - set(a)))))
        for k in a:  # also into equal values, for the key order further down
            d = first_difference(a[k], b[k], "%s[%r]" % (path, k))
            if d:
                return d
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return "%s: length %d vs %d" % (path, len(a), len(b))
        for i, (x, y) in enumerate(zip(a, b)):
            d = first_difference(x, y, "%s[%d]" % (path, i))
            if d:
                return d
    if a != b:
        return "%s: %s vs %s" % (path, _short(a), _short(b))
    return None


def _short(v, n=160):
    r = repr(v)
    return r if len(r) <= n else r[:n] + "..."


def check_equal(wid, expected, got, side):
    """Baseline output against module output. Equal values with another
    dict key order pass, and the order difference is reported as a note."""
    if side.check:
        got = side.check(got)
    if pa is not None and isinstance(expected, pa.Table):
        if isinstance(got, pa.Table) and got.schema.equals(expected.schema):
            if got.equals(expected):
                return None
            d = first_difference(expected.to_pylist(), got.to_pylist(), "table")
            return "baseline vs module: " + (d or "Table.equals is false, rows are equal")
        exp_rows, got_rows = _table_rows(expected), _table_rows(got)
        if exp_rows == got_rows:
            return None
        return "baseline vs module: schema %s vs %s; %s" % (
            expected.schema, got.schema, first_difference(exp_rows, got_rows, "rows"))
    d = first_difference(expected, got)
    if d is None:
        return None
    if expected == got and "other order" in d:  # equal values, dict keys in another order
        return "order only: " + d
    return "baseline vs module: " + d


# ---------------------------------------------------------------- running

def run_group(builder, selected, repeat, quick, log):
    t0 = time.perf_counter()
    group = builder(quick)
    gc.collect()
    gc.freeze()  # inputs stay out of the collector's traversals
    log("  inputs built in %.1f s" % (time.perf_counter() - t0))
    results = []
    live = []  # (side, result) of the module sides to time
    bases = {}  # id(baseline side) -> [side, expected output, run times]
    for side in group.variants:
        if side.id not in selected:
            continue
        base = side.base or group.base
        res = {"id": side.id, "what": side.label, "items": group.items, "unit": group.unit,
               "baseline": base.label, "workload": group.note, "note": side.note}
        results.append(res)
        why = side.missing()
        if why:
            res["status"] = "skipped"
            res["note"] = why
            continue
        if id(base) not in bases:
            bases[id(base)] = [base, base()[0], []]
        expected = bases[id(base)][1]
        try:
            got, _ = side()
        except Exception as e:  # a failing module call is reported, not hidden
            res["status"] = "error"
            res["note"] = "%s: %s" % (type(e).__name__, e)
            continue
        diff = check_equal(side.id, expected, got, side)
        del got, expected
        if diff and not diff.startswith("order only: "):
            res["status"] = "MISMATCH"
            res["note"] = diff
            continue
        if diff:
            res["order_note"] = diff[len("order only: "):]
        res["status"] = "ok"
        res["module_s"] = []
        res["_base"] = id(base)
        live.append((side, res))
    for entry in bases.values():
        entry[1] = None  # the outputs were only needed for the checks
    used = {res["_base"] for _, res in live}
    sides = [("base", b[0], b[2]) for k, b in bases.items() if k in used]
    sides += [("module", side, res["module_s"]) for side, res in live]
    for r in range(repeat if live else 0):
        k = r % len(sides)
        for _, side, runs in sides[k:] + sides[:k]:  # rotate who goes first
            out, dt = side()
            runs.append(dt)
            del out
    for _side, res in live:
        base_runs = bases[res.pop("_base")][2]
        res["baseline_s"] = base_runs
        bm = statistics.median(base_runs)
        mm = statistics.median(res["module_s"])
        res.update(baseline_ms=bm * 1e3, module_ms=mm * 1e3, baseline_rate=group.items / bm,
                   module_rate=group.items / mm, ratio=bm / mm)
    gc.unfreeze()
    del group, bases, sides, live
    gc.collect()
    return results


def fmt_rate(x):
    for div, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if x >= div:
            return "%.2f%s/s" % (x / div, suffix)
    return "%.0f/s" % x


def print_table(results, out=sys.stdout):
    head = ("id", "items", "baseline ms", "module ms", "baseline/s", "module/s", "ratio")
    rows = []
    notes = []
    for r in results:
        if r["status"] == "ok":
            rows.append((r["id"], "%d %s" % (r["items"], r["unit"]), "%.1f" % r["baseline_ms"],
                         "%.1f" % r["module_ms"], fmt_rate(r["baseline_rate"]), fmt_rate(r["module_rate"]),
                         "%.1fx" % r["ratio"]))
            if r.get("note"):
                notes.append("%s: %s" % (r["id"], r["note"]))
            if r.get("order_note"):
                notes.append("%s: equal output, dict key order differs: %s" % (r["id"], r["order_note"]))
        else:
            rows.append((r["id"], "%d %s" % (r["items"], r["unit"]), "-", "-", "-", "-", r["status"]))
            notes.append("%s: %s: %s" % (r["id"], r["status"], r["note"]))
    widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
    line = lambda cells: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)  # noqa: E731
                                   for i, (c, w) in enumerate(zip(cells, widths)))
    print(line(head), file=out)
    print(line(["-" * w for w in widths]), file=out)
    for row in rows:
        print(line(row), file=out)
    print(file=out)
    seen = set()
    for r in results:
        if "what" in r and r["id"] not in seen:
            seen.add(r["id"])
            print("%s: %s | baseline: %s | %s" % (r["id"], r["what"], r["baseline"], r["workload"]), file=out)
    if notes:
        print(file=out)
        for n in notes:
            print("note: " + n, file=out)


# ---------------------------------------------------------------- peak memory

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def _reset_peak():
    """Sets the peak RSS mark back to the current RSS (Linux clear_refs 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_input_part(rows, seed, path):
    """One part of the memory runs' input: delimited frames, written to path."""
    with open(path, "wb") as f:
        for frame in W.frames(W.fill_query_row, rows, seed):
            f.write(delimited(frame))


def memory_child(kind, rows, parts):
    """Reads `rows` rows of the stream whose frames are in the files `parts`."""
    body = bytearray(delimited(W.result_header(W.QUERY_FIELDS)))
    need = rows // W.ROWS_PER_FRAME
    for path in parts:
        with open(path, "rb") as f:
            data = f.read()
        pos = 0
        while need and pos < len(data):
            size, start = read_varint(data, pos)
            pos = start + size
            need -= 1
        body += data[:pos]
        if not need:
            break
    chunks = W.cut(bytes(body))
    del body, data
    gc.collect()
    if kind.startswith("module") or kind == "arrow_stream":
        d = tk.GraphQueryDecoder()
    fresh = _reset_peak()
    before = _status_kib("VmRSS")
    t0 = time.perf_counter()
    count = 0
    if kind == "module_keep":
        kept = []
        for c in chunks:
            d.push_buffer(c)
            while d.next_row():
                kept.append(d.get_current_row())
        count = len(kept)
    elif kind == "module_drop":
        for c in chunks:
            d.push_buffer(c)
            while d.next_row():
                row = d.get_current_row()  # noqa: F841 (dropped)
                count += 1
    elif kind == "arrow_stream":
        for c in chunks:
            d.push_buffer(c)
            while True:
                batch = d.read_arrow(65536)
                if not batch.num_rows:
                    break
                count += batch.num_rows
        del batch
    elif kind == "baseline_keep":
        count = len(B.query_rows(chunks))
    elif kind == "baseline_drop":
        count = B.query_rows(chunks, keep=False)
    else:
        raise SystemExit("unknown memory run " + kind)
    elapsed = time.perf_counter() - t0
    peak = _status_kib("VmHWM")
    json.dump({"kind": kind, "rows": count, "input_mib": sum(map(len, chunks)) / 2**20,
               "growth_mib": (peak - before) / 1024, "seconds": elapsed, "peak_reset": fresh}, sys.stdout)


MEMORY_RUNS = [("module_keep", "memory_rows"), ("module_drop", "memory_rows"),
               ("baseline_keep", "memory_rows"), ("baseline_drop", "memory_rows"),
               ("module_drop", "memory_stream_rows"), ("arrow_stream", "memory_stream_rows")]


def run_memory(quick, log, jobs=2):
    """The memory children, `jobs` at a time (each measures its own peak, so
    they may share the machine), the longest first; results in table order.
    Their input, distinct seeded rows, is built once, in `jobs` parts at once;
    each child reads as many rows of it as it needs."""
    rows_needed = max(SIZES[size][quick] for _, size in MEMORY_RUNS)
    per_part = -(-rows_needed // jobs // W.ROWS_PER_FRAME) * W.ROWS_PER_FRAME
    order = sorted(range(len(MEMORY_RUNS)), key=lambda i: -SIZES[MEMORY_RUNS[i][1]][quick])
    out = [None] * len(MEMORY_RUNS)
    me = os.path.abspath(__file__)

    def run_all(cmds, done):
        """Runs the commands, `jobs` at a time, calling done(i, stdout, seconds) in order."""
        running = []

        def reap():
            i, p, t0 = running.pop(0)
            stdout, stderr = p.communicate()
            if p.returncode:
                raise RuntimeError("memory run %s failed:\n%s" % (" ".join(cmds[i][2:]), stderr))
            done(i, stdout, time.perf_counter() - t0)

        for i in range(len(cmds)):
            if len(running) >= jobs:
                reap()
            running.append((i, subprocess.Popen(cmds[i], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                                env=os.environ), time.perf_counter()))
        while running:
            reap()

    with tempfile.TemporaryDirectory(prefix="tk-bench-") as tmp:
        parts = [os.path.join(tmp, "part%d" % k) for k in range(jobs)]
        t0 = time.perf_counter()
        run_all([[sys.executable, me, "--memory-input", str(per_part), str(111 + k), parts[k]] for k in range(jobs)],
                lambda i, stdout, secs: None)
        log("  input: %d rows in %d parts (%.1f s)" % (per_part * jobs, jobs, time.perf_counter() - t0))

        def done(j, stdout, secs):
            i = order[j]
            out[i] = json.loads(stdout)
            log("  %s %d rows: +%.1f MiB (%.1f s)" % (MEMORY_RUNS[i][0], out[i]["rows"], out[i]["growth_mib"], secs))

        run_all([[sys.executable, me, "--memory-child", MEMORY_RUNS[i][0], str(SIZES[MEMORY_RUNS[i][1]][quick]),
                  *parts] for i in order], done)
    return out


def print_memory(mem, out=sys.stdout):
    print("\npeak RSS growth while decoding (fresh process, after the input is built; 64 KiB chunks):", file=out)
    for r in mem:
        what = {"module_keep": "module, all rows kept", "module_drop": "module, each row dropped",
                "arrow_stream": "module, read_arrow(65536) batches",
                "baseline_keep": "baseline, all rows kept", "baseline_drop": "baseline, each row dropped"}
        print("  %-28s %9d rows  input %6.1f MiB  peak +%7.1f MiB  (%.2f s)%s" % (
            what[r["kind"]], r["rows"], r["input_mib"], r["growth_mib"], r["seconds"],
            "" if r["peak_reset"] else "  [peak not resettable: includes building]"), file=out)


# ---------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", help="comma-separated workload ids (see --list)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per side (median; default 5)")
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    ap.add_argument("--json", metavar="FILE", help="write every number to FILE")
    ap.add_argument("--memory", dest="memory", action="store_true", default=None,
                    help="run the peak-memory subprocesses (default: on unless --only is given)")
    ap.add_argument("--no-memory", dest="memory", action="store_false")
    ap.add_argument("--memory-only", action="store_true", help="only the peak-memory subprocesses")
    ap.add_argument("--list", action="store_true", help="print the workload ids and exit")
    ap.add_argument("--memory-child", nargs="+", metavar="ARG", help=argparse.SUPPRESS)
    ap.add_argument("--memory-input", nargs=3, metavar=("ROWS", "SEED", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_input:
        memory_input_part(int(args.memory_input[0]), int(args.memory_input[1]), args.memory_input[2])
        return 0
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]), args.memory_child[2:])
        return 0
    if args.list:
        print("\n".join(ALL_IDS))
        return 0
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    selected = ALL_IDS
    if args.only:
        selected = [s.strip() for s in args.only.split(",") if s.strip()]
        unknown = [s for s in selected if s not in ALL_IDS]
        if unknown:
            ap.error("unknown workload id(s): %s (see --list)" % ", ".join(unknown))
    memory = args.memory if args.memory is not None else not args.only
    if args.memory_only:
        selected, memory = [], True
    quick = 1 if args.quick else 0

    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731
    wall0 = time.perf_counter()
    results = []
    for ids, builder in GROUPS:
        chosen = [i for i in ids if i in selected]
        if not chosen:
            continue
        if builder is g_arrow and pa is None:
            results += [{"id": i, "items": SIZES["arrow_rows"][quick], "unit": "rows", "status": "skipped",
                         "note": "pyarrow not installed"} for i in chosen]
            continue
        log("%s ..." % ", ".join(chosen))
        results += run_group(builder, set(chosen), args.repeat, quick, log)
    mem = []
    if memory:
        log("memory runs ...")
        mem = run_memory(quick, log)
    wall = time.perf_counter() - wall0

    print("_tolmirkenvor benchmark: median of %d runs per side, %s, Python %s, protobuf %s%s" % (
        args.repeat, "quick sizes" if quick else "default sizes", platform.python_version(),
        __import__("google.protobuf").protobuf.__version__, ", pyarrow " + pa.__version__ if pa else ""))
    if results:
        print()
        print_table(results)
    if mem:
        print_memory(mem)
    print("\nwall time %.1f s" % wall)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"repeat": args.repeat, "quick": bool(quick), "python": platform.python_version(),
                       "module": tk.__file__, "wall_s": wall, "workloads": results, "memory": mem}, f, indent=1)
    bad = [r for r in results if r["status"] in ("MISMATCH", "error")]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
