"""Query result decoding: this module against plain Python protobuf.

Decodes a result of ROWS rows (an int, a double, a string, a date-time and
an entity with three properties), pushed in 64 KiB chunks, three ways:

  get_value        GraphQueryDecoder, each cell read with get_value
  get_current_row  GraphQueryDecoder, each row read with get_current_row
  baseline         the protobuf Python runtime and a hand-written converter
                   into the same structures get_current_row gives

Each way runs in its own process so its peak memory can be told apart.
Run:  TK_BUILD_DIR=build/dev-x python bench/bench_query_decoder.py [rows]
"""
import datetime
import json
import os
import subprocess
import sys
import time

from google.protobuf.internal.decoder import _DecodeVarint
from google.protobuf.message import DecodeError

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
if os.environ.get("TK_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["TK_BUILD_DIR"]))

CHUNK = 64 * 1024
ROWS_PER_FRAME = 1000
FIELDS = ["n", "score", "name", "born", "person"]


def build_stream(rows):
    """Header plus identical-shape frames; each frame is built once per
    distinct content and repeated, which keeps building fast."""
    from streams import delimited, entity, frame, header, value
    base = datetime.datetime(2020, 3, 1, tzinfo=datetime.timezone.utc)

    def row(i):
        return [i, i * 0.37, "name-%d" % i, value(base + datetime.timedelta(seconds=i)),
                entity("Person", i, {"age": i % 90, "city": "Berlin", "height": 1.5 + (i % 50) / 100})]

    frames = []
    distinct = {}
    for start in range(0, rows, ROWS_PER_FRAME):
        n = min(ROWS_PER_FRAME, rows - start)
        if n not in distinct:
            distinct[n] = delimited(frame([row(start + k) for k in range(n)]).SerializeToString())
        frames.append(distinct[n])
    return delimited(header(FIELDS)) + b"".join(frames)


def chunks_of(data):
    view = memoryview(data)
    for i in range(0, len(data), CHUNK):
        yield view[i:i + CHUNK]


def run_get_value(data):
    import _tolmirkenvor as tk
    d = tk.GraphQueryDecoder()
    rows = 0
    get = d.get_value
    for c in chunks_of(data):
        d.push_buffer(c)
        while d.next_row():
            cells = [get(0), get(1), get(2), get(3), get(4)]
            rows += 1
    assert not d.has_error(), d.error.error_message
    return rows, [tk.to_value_object(c) for c in cells]


def run_get_current_row(data):
    import _tolmirkenvor as tk
    d = tk.GraphQueryDecoder()
    rows = 0
    for c in chunks_of(data):
        d.push_buffer(c)
        while d.next_row():
            cells = d.get_current_row()
            rows += 1
    assert not d.has_error(), d.error.error_message
    return rows, cells


def run_baseline(data):
    """What a user without this module would write."""
    from pbgen import pb
    q = pb.graph_query_pb2
    epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)

    def convert(v):
        kind = v.WhichOneof("value")
        if kind == "primitive_value":
            p = v.primitive_value
            f = p.WhichOneof("value")
            if f == "datetime_value":
                return (epoch + datetime.timedelta(milliseconds=p.datetime_value)).astimezone().replace(tzinfo=None)
            if f in ("float_int_value", "double_int_value"):
                return float(getattr(p, f))
            if f == "null_value" or f is None:
                return None
            return getattr(p, f)
        if kind == "entity_value":
            e = v.entity_value
            return {"_objectType": "entity", "_typeName": e.label,
                    "_id": convert(e.id) if e.HasField("id") else None,
                    "_properties": {kv.key: convert(kv.value) for kv in e.properties}}
        if kind is None:
            return None
        raise NotImplementedError(kind)

    buffer = b""
    header = None
    rows = 0
    cells = None
    for c in chunks_of(data):
        buffer += c
        pos = 0
        while True:
            try:
                length, start = _DecodeVarint(buffer, pos)
            except (IndexError, DecodeError):
                break
            if start + length > len(buffer):
                break
            payload = buffer[start:start + length]
            pos = start + length
            if header is None:
                header = q.GraphQueryResultHeader.FromString(payload)
                continue
            if not length:
                continue
            fr = q.GraphQueryResultFrame.FromString(payload)
            for r in fr.rows:
                cells = [convert(v) for v in r.values]
                rows += 1
        buffer = buffer[pos:]
    return rows, cells


MODES = {"get_value": run_get_value, "get_current_row": run_get_current_row, "baseline": run_baseline}


def peak_rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def child(mode, rows):
    data = build_stream(rows)
    if mode != "baseline":
        import _tolmirkenvor  # noqa: F401  (import cost outside the timing)
    else:
        from pbgen import pb
        pb.graph_query_pb2
    # Reset the high-water mark so only decoding counts.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = rss_kib()
    t0 = time.perf_counter()
    n, last = MODES[mode](data)
    elapsed = time.perf_counter() - t0
    peak = peak_rss_kib()
    json.dump({"mode": mode, "rows": n, "seconds": elapsed, "input_bytes": len(data),
               "peak_extra_kib": peak - before, "last": repr(last)[:200]}, sys.stdout)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    results = {}
    for mode in MODES:
        out = subprocess.run([sys.executable, __file__, "--child", mode, str(rows)], check=True,
                             capture_output=True, text=True, env=os.environ).stdout
        results[mode] = json.loads(out)
    lasts = {r["last"] for r in results.values()}
    assert len(lasts) == 1, "the three ways decoded different rows: %r" % lasts
    base = results["baseline"]["rows"] / results["baseline"]["seconds"]
    print("rows: %d, input: %.1f MiB in %d KiB chunks" % (rows, results["baseline"]["input_bytes"] / 2**20, CHUNK // 1024))
    for mode, r in results.items():
        rate = r["rows"] / r["seconds"]
        print("%-16s %8.2f s %12.0f rows/s  %6.2fx baseline  peak +%.1f MiB" % (
            mode, r["seconds"], rate, rate / base, r["peak_extra_kib"] / 1024))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
