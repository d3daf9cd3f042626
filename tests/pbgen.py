"""Python protobuf classes generated from proto/ at test time.

Tests read what the module writes (and build what it reads) with the
Google protobuf runtime, so wire bytes are checked by an independent reader.
"""
import importlib
import pathlib
import subprocess
import sys
import tempfile
import types

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROTO_DIR = ROOT / "proto"


def _generate():
    out = pathlib.Path(tempfile.mkdtemp(prefix="tk-pb-"))
    files = sorted(p.name for p in PROTO_DIR.glob("*.proto"))
    subprocess.run(
        ["protoc", f"-I{PROTO_DIR}", f"--python_out={out}", *files],
        check=True,
    )
    sys.path.insert(0, str(out))
    ns = types.SimpleNamespace()
    for name in files:
        mod = name[: -len(".proto")] + "_pb2"
        setattr(ns, mod, importlib.import_module(mod))
    return ns


class _Lazy:
    _ns = None

    def __getattr__(self, item):
        if _Lazy._ns is None:
            _Lazy._ns = _generate()
        return getattr(_Lazy._ns, item)


pb = _Lazy()
