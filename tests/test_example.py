"""The bundled example (the README's first command) runs end to end."""
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_example_runs():
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "example.py")], capture_output=True, text=True,
                         env=dict(os.environ, TZ="UTC", PYTHONPATH=":".join(sys.path)), check=True).stdout
    assert "query result: 3 rows" in out
    assert "'KNOWS': {'deleteResults'" in out
