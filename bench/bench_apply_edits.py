"""Throughput of the apply-edits encoder.

Adds N entities (a string, an int, a double, a date-time and a point each)
and encodes them: once from EntityValue objects, once from the dictionaries
that to_value_object makes, and once as the same request body built in plain
Python with the Google protobuf runtime. Prints edits/second and ratios.

    TK_BUILD_DIR=build/dev-edits python bench/bench_apply_edits.py [--count N] [--baseline-count M]

The baseline can be timed on fewer entities (--baseline-count) and is then
scaled; the output says so.
"""
import argparse
import calendar
import datetime
import gc
import os
import pathlib
import random
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
if os.environ.get("TK_BUILD_DIR"):
    sys.path.insert(0, str((ROOT / os.environ["TK_BUILD_DIR"]).resolve()))

os.environ["TZ"] = "UTC"  # the baseline converts date-times as UTC
time.tzset()

import _tolmirkenvor as tk  # noqa: E402
from google.protobuf.internal.encoder import _VarintBytes  # noqa: E402

from pbgen import pb  # noqa: E402

TYPE_NAME = "Place"
FRAME_EDITS = 2049


def make_rows(count, seed=7):
    rng = random.Random(seed)
    base = datetime.datetime(2021, 3, 4, 5, 6, 7)
    rows = []
    for i in range(count):
        rows.append((
            "place-%d" % i,
            rng.randrange(-10**9, 10**9),
            rng.random() * 1000.0 + 0.1,
            base + datetime.timedelta(seconds=i, microseconds=rng.randrange(10**6)),
            rng.uniform(-180, 180),
            rng.uniform(-90, 90),
        ))
    return rows


def make_entities(rows):
    out = []
    for name, n, d, when, x, y in rows:
        g = tk.GeometryValue()
        g.geometry_type = tk.vexoGeometryPoint
        g.lengths = [1]
        g.coords = [x, y]
        e = tk.EntityValue()
        e.type_name = TYPE_NAME
        e.append_key_value("name", name)
        e.append_key_value("count", n)
        e.append_key_value("score", d)
        e.append_key_value("when", when)
        e.append_key_value("location", g)
        out.append(e)
    return out


def make_dicts(rows):
    return [
        {
            "_objectType": "entity",
            "_typeName": TYPE_NAME,
            "_id": None,
            "_properties": {
                "name": name,
                "count": n,
                "score": d,
                "when": when,
                "location": {"x": x, "y": y, "_objectType": "geometry"},
            },
        }
        for name, n, d, when, x, y in rows
    ]


def encode_native(items):
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), tk.InputQuantizationParameters.WGS84_lossless())
    add = enc.add
    for item in items:
        add(item)
    enc.encode()
    result = enc.get_encoding_result()
    assert result.error.error_code == 0, result.error.error_message
    return result.byte_buffer


# ---- the same body in plain Python ----

def set_double(pv, x):
    """The narrowest exact wire form of a double."""
    t = int(x) if x == x and abs(x) != float("inf") else None
    integral = t is not None and float(t) == x and -(2**48) <= t <= 2**48 - 1
    if integral and -1048576 <= t <= 1048575:
        pv.double_int_value = t
    elif x == x and float_exact(x):
        pv.double_float_value = x
    elif not integral:
        pv.double_value = x
    else:
        pv.double_int_value = t


def float_exact(x, _pack=__import__("struct").Struct("<f")):
    try:
        return _pack.unpack(_pack.pack(x))[0] == x
    except OverflowError:
        return False


def header_bytes():
    E = pb.graph_edits_pb2
    h = E.GraphApplyEditsHeader()
    h.transform.scale.xScale = 1e-9
    h.transform.scale.yScale = 1e-9
    h.transform.scale.zScale = 1e-5
    h.transform.scale.mScale = 1e-5
    h.transform.translate.SetInParent()
    return h.SerializeToString()


def encode_python(rows):
    E = pb.graph_edits_pb2
    point = pb.vexo_types_pb2.VexoTypes.vexoGeometryTypePoint
    head = header_bytes()
    out = [_VarintBytes(len(head)), head]
    for start in range(0, len(rows), FRAME_EDITS):
        frame = E.GraphApplyEditsFrame()
        adds = frame.adds.entities[TYPE_NAME].entity_adds
        for name, n, d, when, x, y in rows[start:start + FRAME_EDITS]:
            props = adds.add().named_object_add.properties
            kv = props.add()
            kv.key = "name"
            kv.value.primitive_value.string_value = name
            kv = props.add()
            kv.key = "count"
            kv.value.primitive_value.int64_value = n
            kv = props.add()
            kv.key = "score"
            set_double(kv.value.primitive_value, d)
            kv = props.add()
            kv.key = "when"
            kv.value.primitive_value.datetime_value = calendar.timegm(when.timetuple()) * 1000 + when.microsecond // 1000
            kv = props.add()
            kv.key = "location"
            g = kv.value.primitive_value.geometry_value
            g.geometry_type = point
            dg = g.default_geometry
            dg.lengths.append(1)
            dg.coords.extend((round(x * 1e9), round(y * 1e9)))
        data = frame.SerializeToString()
        out.append(_VarintBytes(len(data)))
        out.append(data)
    return b"".join(out)


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(*args)
        return result, time.perf_counter() - start
    finally:
        gc.enable()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=1_000_000)
    ap.add_argument("--baseline-count", type=int, default=None)
    args = ap.parse_args()
    count = args.count
    base_count = args.baseline_count or count

    rows = make_rows(count)
    entities, t_build_entities = timed(make_entities, rows)
    dicts = make_dicts(rows)

    body_entities, t_entities = timed(encode_native, entities)
    del entities
    body_dicts, t_dicts = timed(encode_native, dicts)
    del dicts
    body_python, t_python = timed(encode_python, rows[:base_count])
    scale = count / base_count
    t_python_scaled = t_python * scale

    same = body_entities == body_dicts
    if base_count == count:
        same_baseline = body_entities == body_python
    else:
        same_baseline = encode_native(make_dicts(rows[:base_count])) == body_python

    rate = lambda t: count / t  # noqa: E731
    print(f"entities: {count:,} (5 properties each), body {len(body_entities):,} bytes")
    print(f"EntityValue objects: add+encode {t_entities:7.2f} s  {rate(t_entities):12,.0f} edits/s"
          f"   (building the objects in Python: {t_build_entities:.2f} s more)")
    print(f"dictionaries:        add+encode {t_dicts:7.2f} s  {rate(t_dicts):12,.0f} edits/s")
    note = "" if base_count == count else f"  (timed on {base_count:,}, scaled x{scale:g})"
    print(f"Python protobuf:     build+ser  {t_python_scaled:7.2f} s  {rate(t_python_scaled):12,.0f} edits/s{note}")
    print(f"ratio EntityValue / baseline: {t_python_scaled / t_entities:5.1f}x")
    print(f"ratio dictionaries / baseline: {t_python_scaled / t_dicts:5.1f}x")
    print(f"ratio EntityValue incl. building / baseline: {t_python_scaled / (t_entities + t_build_entities):5.1f}x")
    print(f"bodies equal: objects vs dicts {same}, native vs baseline {same_baseline}")


if __name__ == "__main__":
    main()
