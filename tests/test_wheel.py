"""The repaired wheel from scripts/wheel.sh works on its own.

Builds the wheel (minutes), installs it into a fresh virtual environment and
checks there that it imports, that its tool runs, and that the module finds
libprotobuf-lite inside the wheel and needs neither a system protobuf nor
libz. Runs only with TK_WHEEL_TEST=1.
"""
import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("TK_WHEEL_TEST") != "1", reason="set TK_WHEEL_TEST=1 to build the wheel"),
]


def project_version():
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'^version\s*=\s*"([^"]+)"', text, re.M).group(1)


def clean_env():
    """The environment without anything that would find the source tree's module."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TK_BUILD_DIR", "PYTHONHOME")}
    env.pop("VIRTUAL_ENV", None)
    return env


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    dist = tmp_path_factory.mktemp("dist")
    env = clean_env()
    env["TK_DIST_DIR"] = str(dist)
    env["PYTHON"] = sys.executable
    r = subprocess.run(["bash", str(ROOT / "scripts" / "wheel.sh")], cwd=ROOT, env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout[-4000:] + r.stderr[-4000:]
    last = r.stdout.strip().splitlines()[-1]
    assert last.startswith("wheel: "), last
    path = pathlib.Path(last[len("wheel: "):])
    if not path.is_absolute():
        path = ROOT / path
    assert path.parent == dist
    return path, r.stdout


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """(python of a fresh venv with the wheel installed, working folder outside the source tree)."""
    home = tmp_path_factory.mktemp("venv")
    env_dir = home / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, env=clean_env())
    py = env_dir / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel[0])],
                   check=True, env=clean_env(), cwd=home)
    return py, home


def in_venv(venv, *args, stdin=None):
    py, home = venv
    return subprocess.run([str(py), *args], cwd=home, env=clean_env(), input=stdin, capture_output=True)


def module_path(venv):
    r = in_venv(venv, "-c", "import _tolmirkenvor; print(_tolmirkenvor.__file__)")
    assert r.returncode == 0, r.stderr.decode()
    return pathlib.Path(r.stdout.decode().strip())


def test_wheel_name_tag_and_contents(wheel):
    path, log = wheel
    assert re.fullmatch(rf"tolmirkenvor-{re.escape(project_version())}-cp\d+-cp\d+-manylinux_\d+_\d+_\w+\.whl",
                        path.name), path.name
    assert "is consistent with the following platform tag" in re.sub(r"\s+", " ", log)
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        meta = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert any(re.fullmatch(r"_tolmirkenvor\.cpython-[^/]+\.so", n) for n in names)
    assert "tolmirkenvor/__init__.py" in names and "tolmirkenvor/__main__.py" in names
    assert "_tolmirkenvor-stubs/__init__.pyi" in names
    assert any(re.fullmatch(r"tolmirkenvor\.libs/libprotobuf-lite-[0-9a-f]{8}\.so[.\d]*", n) for n in names), names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    for line in ("License: Apache-2.0", "Requires-Python: >=3.9", "Classifier: Topic :: Database",
                 "Classifier: Programming Language :: Python :: 3.13"):
        assert line in meta.splitlines(), line


def test_imports_in_a_fresh_venv(venv):
    r = in_venv(venv, "-c", "import _tolmirkenvor as m, tolmirkenvor as t; print(t.__version__);"
                            " print(getattr(m, '__version__', None))")
    assert r.returncode == 0, r.stderr.decode()
    dist_version, module_version = r.stdout.decode().split()
    assert dist_version == project_version()
    assert module_version == project_version()
    # the module is the venv's, not the source tree's or the main interpreter's
    assert str(venv[0].parent.parent) in str(module_path(venv))


def test_tool_runs_from_the_wheel(venv):
    r = in_venv(venv, "-m", "tolmirkenvor", "--help")
    assert r.returncode == 0 and b"dump" in r.stdout
    # an apply-edits result holding only an empty error record
    r = in_venv(venv, "-m", "tolmirkenvor", "dump", "--kind", "apply-edits-result", "-", stdin=b"\x0a\x00")
    assert r.returncode == 0, r.stderr.decode()
    assert json.loads(r.stdout) == {"editsResult": {}, "cascadedDeletes": {}, "relationshipSchemaChanges": {}}


def test_type_checkers_find_the_stubs(venv):
    pytest.importorskip("mypy")
    py, home = venv
    (home / "uses_stubs.py").write_text("import _tolmirkenvor as tk\n\nx: int = tk.Error().error_message\n")
    # mypy of this interpreter, looking into the venv's site-packages only
    r = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(py), "--no-incremental",
                        "uses_stubs.py"], cwd=home, env=clean_env(), capture_output=True, text=True)
    out = r.stdout + r.stderr
    # the stubs were read: the one error is the str assigned to an int, not a missing module
    assert "import-not-found" not in out and "[import-untyped]" not in out, out
    assert 'expression has type "str", variable has type "int"' in out, out


def ldd(path):
    r = subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=True)
    deps = {}
    for line in r.stdout.splitlines():
        m = re.match(r"\s*(\S+)\s+=>\s+(\S+)", line)
        if m:
            deps[m.group(1)] = m.group(2)
    return deps, r.stdout


def test_protobuf_lite_comes_from_the_wheel(venv):
    so = module_path(venv)
    libs = so.parent / "tolmirkenvor.libs"
    deps, text = ldd(so)
    proto = [name for name in deps if "protobuf" in name]
    assert len(proto) == 1 and "lite" in proto[0], text
    resolved = pathlib.Path(deps[proto[0]])
    assert resolved.parent == libs, text
    assert "not found" not in text


def test_no_libz_is_needed(venv):
    so = module_path(venv)
    for lib in [so, *(so.parent / "tolmirkenvor.libs").iterdir()]:
        deps, text = ldd(lib)
        assert not [n for n in deps if n.startswith("libz.")], f"{lib.name} needs libz:\n{text}"


def test_only_the_module_entry_is_exported(venv):
    """Protobuf, zlib and our own symbols stay inside: another extension
    bringing its own copies must not be bound to ours, nor ours to them."""
    so = module_path(venv)
    r = subprocess.run(["nm", "-D", "--defined-only", str(so)], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip("nm is not available")
    names = [line.split()[-1] for line in r.stdout.splitlines() if line.strip()]
    assert names == ["PyInit__tolmirkenvor"], names[:20]
