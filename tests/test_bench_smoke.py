"""The benchmark runner still runs: two cheap workloads at quick sizes.

Only the exit code and the table rows are checked; timings are not."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_bench_quick_runs():
    p = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "run.py"), "--quick",
                        "--only", "edits_dict,data_model"],
                       capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stdout + p.stderr
    lines = p.stdout.splitlines()
    for wid in ("edits_dict", "data_model"):
        assert any(line.startswith(wid + " ") and line.rstrip().endswith("x") for line in lines), p.stdout
