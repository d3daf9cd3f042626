"""The type stubs of the extension module agree with it, and type-check users.

stubtest compares the stubs with the module it imports; mypy --strict checks
the examples and the pure-Python package against the stubs. pybind11 gives
its functions no introspectable signature, so stubtest sees names, kinds and
read-only properties only: argument names and defaults are compared here with
the signature lines pybind11 writes into every docstring.
"""
import ast
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import _tolmirkenvor as tk
import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "python" / "_tolmirkenvor-stubs" / "__init__.pyi"
ALLOWLIST = ROOT / "tests" / "stubtest_allowlist.txt"
CACHE = ROOT / "build" / "mypy-cache"


def search_path():
    """PYTHONPATH for the subprocesses: the stubs first (mypy finds a
    "-stubs" package on it), then the module the tests use."""
    paths = [str(ROOT / "python")]
    build = os.environ.get("TK_BUILD_DIR")
    if build:
        paths.append(os.path.abspath(build))
    return os.pathsep.join(paths)


def run(args, cwd=ROOT):
    env = dict(os.environ, PYTHONPATH=search_path())
    env.pop("MYPYPATH", None)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True)


@pytest.mark.typing_tool
def test_stubtest():
    # Without --ignore-unused-allowlist: stubs that were not found at all
    # would leave every entry unused and fail here, as would a stale entry.
    r = run(["mypy.stubtest", "_tolmirkenvor", "--allowlist", str(ALLOWLIST)])
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.typing_tool
def test_examples_and_package_pass_mypy_strict():
    r = run(["mypy", "--strict", "--cache-dir", str(CACHE),
             "examples", "python/tolmirkenvor", "python/_tolmirkenvor-stubs"])
    assert r.returncode == 0, r.stdout + r.stderr


# ------------------------------------------------------------ signatures


def stub_tree():
    return ast.parse(STUBS.read_text())


def stub_members():
    """(owner, name) -> the stub's def nodes; owner is None for module functions."""
    members = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            members.setdefault((None, node.name), []).append(node)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.setdefault((node.name, item.name), []).append(item)
    return members


def is_property(defs):
    return any(isinstance(d, ast.Name) and d.id == "property" for n in defs for d in n.decorator_list)


def has_setter(defs, name):
    return any(isinstance(d, ast.Attribute) and d.attr == "setter" and getattr(d.value, "id", None) == name
               for n in defs for d in n.decorator_list)


def stub_params(node):
    """[(name, has_default)] of a stub def, without self."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [False] * (len(positional) - len(args.defaults)) + [True] * len(args.defaults)
    params = list(zip([a.arg for a in positional], defaults))
    params += [(a.arg, d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    is_static = any(getattr(d, "id", None) == "staticmethod" for d in node.decorator_list)
    return params if is_static or not params or params[0][0] != "self" else params[1:]


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:])
    return [p.strip() for p in parts]


def runtime_params(obj, name):
    """[(name, has_default)] from the signature line pybind11 puts first in the docstring."""
    first = (obj.__doc__ or "").lstrip().splitlines()[0]
    m = re.match(rf"{re.escape(name)}\((.*)\) -> ", first)
    assert m, f"{name}: no signature line in the docstring: {first!r}"
    params = []
    for part in split_top_level(m.group(1)):
        pname = part.split(":", 1)[0].strip()
        params.append((pname, "=" in part.split(":", 1)[-1]))
    return params[1:] if params and params[0][0] == "self" else params


def checked_members():
    for (owner, name), defs in sorted(stub_members().items(), key=lambda kv: (kv[0][0] or "", kv[0][1])):
        if name.startswith("__"):
            continue  # pybind11's own dunders (enum protocol, __init__ of classes without one)
        yield pytest.param(owner, name, defs, id=f"{owner or 'module'}.{name}")


@pytest.mark.parametrize("owner, name, defs", list(checked_members()))
def test_stub_signature_matches_the_module(owner, name, defs):
    scope = tk if owner is None else getattr(tk, owner, None)
    if scope is None or name not in (vars(scope) if owner else dir(scope)):
        pytest.skip("not in this build (stubtest reports a missing member)")
    runtime = vars(scope)[name] if owner else getattr(tk, name)
    if isinstance(runtime, property):
        assert is_property(defs), f"{name} is a property at runtime"
        # stubtest flags a stub setter the module lacks; this is the other way round.
        assert has_setter(defs, name) == (runtime.fset is not None), (
            f"{name}: settable at runtime: {runtime.fset is not None}")
        return
    assert not is_property(defs), f"{name} is a method at runtime"
    if isinstance(runtime, staticmethod):
        runtime = getattr(scope, name)
    assert [stub_params(d) for d in defs] == [runtime_params(runtime, name)], (
        "argument names or defaults differ (keyword calls use the names)")


def test_every_enum_value_is_in_the_stub():
    """Names that are identifiers, both in the enum class and at module scope."""
    tree = stub_tree()
    module_names = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    enums = [name for name in dir(tk) if isinstance(getattr(tk, name), type)
             and hasattr(getattr(tk, name), "__members__")]
    assert len(enums) >= 10
    for enum in enums:
        declared = {n.target.id for n in classes[enum].body if isinstance(n, ast.AnnAssign)}
        for value in getattr(tk, enum).__members__:
            if value.isidentifier():
                assert value in declared, f"{enum}.{value}"
                assert value in module_names, value


# ------------------------------------------------- the stubs catch misuse

GOOD = """
import datetime
import uuid
from typing import Any

import _tolmirkenvor as tk

a = tk.ArrayValue()
a.add_value(datetime.date(2020, 1, 2))
a.add_value(datetime.time(3, 4))
a.values = (1, "x", b"y", uuid.UUID(int=1), None, 2.5, tk.GeometryValue())
first: tk.Value = a.get_value_at(0)
plain: tk.PlainValue = tk.to_value_object(a)

enc = tk.GraphQueryRequestEncoder()
counts: dict[str, int] = {"a": 1}
enc.set_params(counts)
enc.set_params({b"raw": tk.EntityValue()})
result = enc.get_encoding_result()
body: bytes = result.byte_buffer if result is not None else b""

dec = tk.GraphQueryDecoder()
dec.push_buffer(bytearray(b"x"))
dec.push_buffer(memoryview(b"x"))
dec.data_model = tk.decode_data_model_from_protocol_buffer(b"")
names: list[str] = dec.field_names
for row in dec:
    cell: Any = row[0]
rows: list[list[Any]] = dec.get_rows(max_rows=-1)

edits = tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())
edits.add({"_objectType": "entity", "_typeName": "P", "_properties": {}})
objects: list[tk.EntityValue | tk.RelationshipValue] = [tk.EntityValue(), tk.RelationshipValue()]
edits.add_many(x for x in objects)
search = tk.GraphSearchRequestEncoder()
search.spatial_filter_geometry = None
relation: tk.vexoSpatialRelation = getattr(tk, "envelope-intersects")
mode: int = int(tk.view)
same: bool = tk.vexoQuantizeMode.edit == tk.edit
"""

BAD = {
    "read-only property": "tk.Error().error_code = 1",
    "result may be None": "tk.GraphSearchRequestEncoder().get_encoding_result().byte_buffer",
    "model may be None": "tk.decode_data_model_from_protocol_buffer(b'').entity_types",
    "data model of a decoder may be None": "tk.GraphQueryDecoder().data_model.strict",
    "decoders take bytes": "tk.GraphApplyEditsDecoder().decode('text')",
    "a list is not a value": "tk.ArrayValue().add_value([1, 2])",
    "a dict is not a value": "tk.ObjectValue().set_key_value('k', {'a': 1})",
    "bound value may be None": "tk.GraphQueryDecoder().get_value(0).type_name",
    "constructor arguments": "tk.GraphApplyEditsEncoder()",
    "wrong keyword": "tk.GraphQueryDecoder().get_rows(count=1)",
    "enum value type": "tk.GraphSearchRequestEncoder().type_category_filter = tk.view",
    "id filter is read-only": "tk.GraphSearchRequestEncoder().ids_filter = tk.ArrayValue()",
    "timestamp is a datetime": "tk.DataModel().timestamp + 1",
    "encode returns nothing": "x: bytes = tk.GraphQueryRequestEncoder().encode()",
}


@pytest.mark.typing_tool
def test_stubs_accept_good_use_and_reject_misuse(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    files = {}
    for i, (what, line) in enumerate(BAD.items()):
        files[f"bad_{i}.py"] = what
        (tmp_path / f"bad_{i}.py").write_text(f"import _tolmirkenvor as tk\n\n{line}\n")
    r = run(["mypy", "--strict", "--cache-dir", str(CACHE), "--no-error-summary", "."], cwd=tmp_path)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    good = [e for e in errors if e.startswith("good.py")]
    assert not good, textwrap.indent("\n".join(good), "  ") + "\n" + GOOD
    flagged = {e.split(":", 1)[0] for e in errors}
    missed = [what for name, what in files.items() if name not in flagged]
    assert not missed, f"not rejected: {missed}\n{r.stdout}{r.stderr}"
