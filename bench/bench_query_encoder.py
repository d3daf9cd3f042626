"""Times GraphQueryRequestEncoder.encode() against the same request built and
serialised with the protobuf Python runtime.

Run: TK_BUILD_DIR=build/<dir> python bench/bench_query_encoder.py
"""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
if os.environ.get("TK_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["TK_BUILD_DIR"]))

import _tolmirkenvor as tk  # noqa: E402
from pbgen import pb  # noqa: E402

REPEATS = 5


def best_of(fn):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def mixed_values(n):
    kinds = [
        lambda i: i,
        lambda i: f"name-{i}",
        lambda i: i + 0.1,  # double
        lambda i: i % 2 == 0,
        lambda i: None,
        lambda i: float(i % 1000) + 0.5,  # float
    ]
    return [kinds[i % len(kinds)](i) for i in range(n)]


def python_any(msg, v):
    p = msg.primitive_value
    if v is None:
        p.null_value = False
    elif isinstance(v, bool):
        p.bool_value = v
    elif isinstance(v, int):
        p.int64_value = v
    elif isinstance(v, str):
        p.string_value = v
    elif v == float(int(v) + 0.5) and v < 1000:
        p.float_value = v
    else:
        p.double_value = v


def module_request(query, name, values):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = query
    arr = tk.ArrayValue()
    arr.values = values
    enc.set_param_key_value(name, arr)
    return enc


def python_mixed(query, name, values):
    def build():
        req = pb.graph_query_pb2.GraphQueryRequest(open_cypher_query=query, output_geometry_encoding=1)
        req.input_transform.SetInParent()
        out = req.parameters[name].array_value.any_values.values
        for v in values:
            python_any(out.add(), v)
        return req.SerializeToString()
    return build


def python_doubles(query, name, values):
    def build():
        req = pb.graph_query_pb2.GraphQueryRequest(open_cypher_query=query, output_geometry_encoding=1)
        req.input_transform.SetInParent()
        req.parameters[name].array_value.double_values.values.extend(values)
        return req.SerializeToString()
    return build


def run(label, enc, python_build):
    def native():
        enc.encode()
        return enc.get_encoding_result().byte_buffer

    t_native, raw = best_of(native)
    t_python, raw_py = best_of(python_build)
    parse = pb.graph_query_pb2.GraphQueryRequest.FromString
    same = parse(raw) == parse(raw_py)
    print(f"{label}: encode() {t_native * 1000:.1f} ms, protobuf Python {t_python * 1000:.1f} ms, "
          f"ratio {t_python / t_native:.1f}x, {len(raw)} bytes, same message: {same}")


def main():
    query = "UNWIND $rows AS r RETURN r"
    mixed = mixed_values(100_000)
    run("100,000 mixed values", module_request(query, "rows", mixed), python_mixed(query, "rows", mixed))
    doubles = [i + 0.1 for i in range(1_000_000)]
    run("1,000,000 doubles", module_request(query, "rows", doubles), python_doubles(query, "rows", doubles))


if __name__ == "__main__":
    main()
