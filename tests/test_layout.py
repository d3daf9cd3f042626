"""The native core knows nothing of Python: only src/module may include it."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
CORE_DIRS = ["common", "values", "geometry", "query", "edits", "schema"]
PYTHON_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](pybind11/|Python\.h|datetime\.h|module/)', re.M)


def core_files():
    return sorted(p for d in CORE_DIRS for p in (SRC / d).glob("*") if p.suffix in (".h", ".cpp"))


def test_core_exists():
    assert len(core_files()) > 20


@pytest.mark.parametrize("path", core_files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_core_file_includes_no_python(path):
    found = PYTHON_INCLUDE.findall(path.read_text())
    assert not found, f"{path} includes {found}"


def test_every_source_folder_is_core_or_bridge():
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert folders == set(CORE_DIRS) | {"module"}
