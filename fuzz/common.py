"""Shared harness of the fuzz targets.

Every target module defines `one_input(data)` and ends with
`common.main(one_input)`. Run under libFuzzer (through atheris) it fuzzes;
`python3 fuzz/<target>.py --replay FILE...` runs the files once each without
libFuzzer, which is how the regression tests replay saved crash inputs
against an ordinary build.

The module under test is found through TK_BUILD_DIR (as in the tests) or
PYTHONPATH. TK_FUZZ_SKIP is a comma-separated list of hazard names that the
generators leave out, so a target can keep searching past a fault that is
known and not yet fixed; by default nothing is left out.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

_build = os.environ.get("TK_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(os.path.join(ROOT, _build) if not os.path.isabs(_build) else _build))

SKIP = frozenset(s.strip() for s in os.environ.get("TK_FUZZ_SKIP", "").split(",") if s.strip())

# What the bound calls are documented to raise for bad input. Anything else
# (SystemError above all: a result returned with an exception set) escapes
# and is reported as a crash.
EXPECTED = (ValueError, TypeError, KeyError, IndexError, RuntimeError, OverflowError)


def allowed(hazard):
    return hazard not in SKIP


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


def read_varint(buf, pos):
    """(value, next position), or None when the bytes end inside the varint
    or it runs past ten bytes."""
    result = shift = 0
    for i in range(pos, min(len(buf), pos + 10)):
        b = buf[i]
        result |= (b & 0x7F) << shift
        if not b & 0x80:
            return result, i + 1
        shift += 7
    return None


def split_delimited(buf):
    """Leniently cut a body into its length-prefixed messages: (messages,
    tail) where tail is whatever does not form a whole message."""
    parts, pos = [], 0
    while pos < len(buf):
        got = read_varint(buf, pos)
        if got is None:
            break
        n, start = got
        if start + n > len(buf):
            break
        parts.append(bytes(buf[start:start + n]))
        pos = start + n
    return parts, bytes(buf[pos:])


def nested_chain(tk, kind, depth):
    """A value nested depth levels deep: entity dictionaries, or bound
    arrays, entities or objects. Here rather than in the generator, which
    is instrumented while fuzzing and would build it slowly."""
    if kind == 0:
        v = None
        for _ in range(depth):
            v = {"_objectType": "entity", "_typeName": "T", "_properties": {"p": v}}
        return v
    cls = (tk.ArrayValue, tk.EntityValue, tk.ObjectValue)[kind - 1]
    v = cls()
    for _ in range(depth):
        outer = cls()
        if kind == 1:
            outer.add_value(v)
        else:
            outer.set_key_value("p", v)
        v = outer
    return v


def main(one_input):
    if len(sys.argv) > 1 and sys.argv[1] == "--replay":
        for path in sys.argv[2:]:
            with open(path, "rb") as f:
                one_input(f.read())
        return
    import atheris

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
