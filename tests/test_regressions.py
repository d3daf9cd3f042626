"""Every input that ever crashed the module, replayed.

tests/regressions/ holds the inputs the fuzz targets of fuzz/ found, each
named <target>-<sha1>; each is replayed through its target in a child
interpreter (a crash there fails the test instead of ending the run). The
faults are also kept below as short Python programs, which do not depend on
how a target reads its bytes.

Each input and program carries the fault it once showed, for the record.
"""
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
REGRESSIONS = ROOT / "tests" / "regressions"
FUZZ = ROOT / "fuzz"

# file name -> the fault it showed before its fix
FAULTS = {
    "dict_readers-b7600fac3b450aeeecb47c667bbab717650cb066":
        "stack overflow destroying deeply nested bound values",
    "dict_readers-80ca909f4f72287bb9231fd9afca31c6d882716c":
        "use-after-free in the geometry dictionary reader when __float__ empties the list",
    "query_stream-402efefd0818413a9f64558a29e5238718bddc3b":
        "re-entrant next_row during get_current_row",
    "query_stream-2356153d5eb3325ddf8c908a6b2958e704872b7b":
        "re-entrant push_buffer and next_row during get_current_row",
    "query_stream-62c97d89519bfa1de607b52a6889b332a81a9416":
        "data model released during get_current_row (dangling spatial reference)",
    "query_stream-47a168b9a804e99ea9d2e9d126b73181aaf4a090":
        "null pointer given to memchr for an absent relationship type name (UBSan)",
    "data_model-40aa85c3bf4363a8dcb7f1d4f0e72675a32d8584":
        "misaligned arena cleanup node inside protobuf's own headers (UBSan; ignored there)",
}


def child_env():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONHASHSEED="0")
    env.pop("TK_FUZZ_SKIP", None)
    return env


def run_child(args, timeout=120):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=child_env(),
                          timeout=timeout, cwd=ROOT)


def outcome(p):
    tail = "\n".join((p.stdout + p.stderr).strip().splitlines()[-25:])
    return f"exit {p.returncode}\n{tail}"


def inputs():
    files = sorted(p for p in REGRESSIONS.iterdir() if p.is_file() and not p.name.startswith(".")) \
        if REGRESSIONS.is_dir() else []
    out = []
    for path in files:
        out.append(pytest.param(path, id=path.name))
    return out


@pytest.mark.parametrize("path", inputs())
def test_saved_input_replays_cleanly(path):
    target = path.name.rsplit("-", 1)[0]
    script = FUZZ / f"{target}.py"
    assert script.is_file(), f"no fuzz target {target} for {path.name}"
    if target == "dict_readers" and importlib.util.find_spec("atheris") is None:
        # its bytes are read through atheris's data provider (looked up, not
        # imported here: only the child interpreter loads it)
        pytest.skip("replaying dict_readers inputs needs atheris")
    p = run_child([str(script), "--replay", str(path)])
    assert p.returncode == 0, outcome(p)


# --- the same faults as plain programs ----------------------------------------

PRELUDE = """
import uuid
import _tolmirkenvor as tk

def stream(names, rows):
    # header {transform {}, field_names}, then one frame per row; values are
    # primitive UUIDs, arrays of two UUIDs, or 2D points
    def varint(n):
        out = bytearray()
        while True:
            b = n & 0x7F
            n >>= 7
            if n:
                out.append(b | 0x80)
            else:
                out.append(b)
                return bytes(out)
    def ld(tag, payload):
        return bytes([tag]) + varint(len(payload)) + payload
    def uuid_value(i):
        return ld(0x0A, ld(0x4A, bytes(15) + bytes([i])))
    def any_value(kind, i):
        if kind == "u":
            return uuid_value(i)
        if kind == "a":
            return ld(0x12, ld(0x12, ld(0x0A, uuid_value(i)) + ld(0x0A, uuid_value(i + 1))))
        geometry = b"\\x08\\x00" + ld(0x12, ld(0x1A, b"\\x01") + ld(0x22, bytes([2 * i, 2 * i])))
        return ld(0x0A, ld(0x5A, geometry))
    head = ld(0x12, b"") + b"".join(ld(0x22, n.encode()) for n in names)
    body = varint(len(head)) + head
    for i, row in enumerate(rows):
        frame = ld(0x12, b"".join(ld(0x0A, any_value(kind, i)) for kind in row))
        body += varint(len(frame)) + frame
    return body

MODEL = bytes.fromhex("120308e6217a080a020a0012020802")  # wkid 4326, the least a model needs
"""

PROGRAMS = {
    "geometry_point_emptied_by_float": ("use-after-free in the geometry dictionary reader when __float__ empties the list", """
        point = [None, 2.0, 3.0]
        class Emptying:
            def __float__(self):
                point.clear()
                return 1.0
        point[0] = Emptying()
        enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), tk.InputQuantizationParameters())
        geometry = {"_objectType": "geometry", "points": [point, [4.0, 5.0]]}
        try:
            enc.add({"_objectType": "entity", "_typeName": "T", "_properties": {"g": geometry}})
        except (ValueError, TypeError, RuntimeError):
            pass
    """),
    "geometry_parts_emptied_by_float": ("use-after-free in the geometry dictionary reader when __float__ empties the list", """
        paths = [[[0.0, 0.0], [None, 1.0]], [[2.0, 2.0], [3.0, 3.0]]]
        class Emptying:
            def __float__(self):
                paths.clear()
                return 1.0
        paths[0][1][0] = Emptying()
        enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), tk.InputQuantizationParameters())
        try:
            enc.add({"_objectType": "entity", "_typeName": "T",
                     "_properties": {"g": {"_objectType": "geometry", "paths": paths}}})
        except (ValueError, TypeError, RuntimeError):
            pass
    """),
    "next_row_inside_get_current_row": ("re-entrant next_row during get_current_row", """
        d = tk.GraphQueryDecoder()
        d.push_buffer(stream(["u", "a", "g"], [["u", "a", "g"]] * 3))
        real = uuid.UUID
        def moving(*args, **kwargs):
            d.next_row()
            return real(*args, **kwargs)
        uuid.UUID = moving
        while d.next_row():
            try:
                d.get_current_row()
            except (ValueError, RuntimeError):
                pass
    """),
    "data_model_dropped_inside_get_current_row": ("data model released during get_current_row (dangling spatial reference)", """
        d = tk.GraphQueryDecoder()
        d.data_model = tk.decode_data_model_from_protocol_buffer(MODEL)
        d.push_buffer(stream(["u", "g"], [["u", "g"]]))
        real = uuid.UUID
        def dropping(*args, **kwargs):
            d.data_model = None
            return real(*args, **kwargs)
        uuid.UUID = dropping
        while d.next_row():
            try:
                d.get_current_row()
            except (ValueError, RuntimeError):
                pass
    """),
    "deep_array_chain_destroyed": ("stack overflow destroying deeply nested bound values", """
        v = tk.ArrayValue()
        for _ in range(200000):
            outer = tk.ArrayValue()
            outer.add_value(v)
            v = outer
        del v, outer
    """),
    "deep_entity_chain_destroyed": ("stack overflow destroying deeply nested bound values", """
        v = tk.EntityValue()
        for _ in range(200000):
            outer = tk.EntityValue()
            outer.set_key_value("p", v)
            v = outer
        del v, outer
    """),
    "deep_object_chain_destroyed": ("stack overflow destroying deeply nested bound values", """
        v = tk.ObjectValue()
        for _ in range(200000):
            outer = tk.ObjectValue()
            outer.set_key_value("p", v)
            v = outer
        del v, outer
    """),
}

@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_fault_program_runs_cleanly(name):
    _, body = PROGRAMS[name]
    p = run_child(["-c", PRELUDE + textwrap.dedent(body) + "\nprint('clean')\n"])
    assert p.returncode == 0 and p.stdout.strip().endswith("clean"), outcome(p)


def test_every_saved_input_names_its_fault():
    names = {p.name for p in REGRESSIONS.iterdir() if p.is_file() and not p.name.startswith(".")}
    assert names <= set(FAULTS), sorted(names - set(FAULTS))
