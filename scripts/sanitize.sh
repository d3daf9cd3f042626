#!/usr/bin/env bash
# Runs the whole test suite against a build of the module with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
#
#   bash scripts/sanitize.sh [PYTEST_ARGS...]
#
# The suite runs on TK_SANITIZE_JOBS worker processes (pytest-xdist; default
# 2, one a core), a test at a time to whichever worker is free, so that a
# file of slow cases does not leave the other worker idle at the end; 0 runs
# it in-process.
#
# Builds with gcc (-DTK_SANITIZE=ON, RelWithDebInfo) into build/sanitize and
# runs pytest with the sanitizer runtime preloaded (the interpreter itself is
# not instrumented) and Python's allocations going through it too. Reports
# of every process, the test's child interpreters included, are written to
# build/sanitize/reports/; the script exits non-zero when pytest fails or
# any report was written. Leaks that belong to the interpreter itself are
# suppressed by scripts/lsan-python.supp, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=build/sanitize
REPORTS="$BUILD/reports"
SUPPRESSIONS="$PWD/scripts/lsan-python.supp"

# --- what is missing (as scripts/setup.sh, without installing the module) ------
# shellcheck source=scripts/deb_packages.sh
source scripts/deb_packages.sh
ensure_deb_packages sanitize libprotobuf-dev protobuf-compiler zlib1g-dev g++ ccache
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$PYTHON" -m pip install -q \
    "scikit-build-core>=0.10,<2" "pybind11>=3.0,<3.2" "cmake>=3.18" "ninja" \
    "pytest>=7,<10" "pytest-xdist>=3.5,<4" "protobuf>=4.21,<4.22" "numpy>=1.24,<3"

# --- the instrumented module -----------------------------------------------------
echo "sanitize: building $BUILD"
cmake -S . -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTK_SANITIZE=ON \
    -DCMAKE_C_COMPILER="$(command -v gcc)" -DCMAKE_CXX_COMPILER="$(command -v g++)" \
    -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" >"$BUILD.cmake.log" 2>&1 \
    || { cat "$BUILD.cmake.log" >&2; exit 1; }
ninja -C "$BUILD" -j2 >"$BUILD.build.log" 2>&1 || { tail -50 "$BUILD.build.log" >&2; exit 1; }

# --- the run -----------------------------------------------------------------------
# The interpreter binary itself, not a version manager's shell wrapper, so
# the preloaded runtime sits in Python and nowhere else on the way.
PY_EXE=$("$PYTHON" -c 'import sys; print(sys.executable)')
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# The interpreter is built without frame pointers: leak stacks are only
# complete (and suppressions only precise) with the slow unwinder. Twenty
# frames reach from the module's allocation into the interpreter frames the
# suppressions name; every frame more costs time on every allocation.
COMMON="fast_unwind_on_malloc=0:malloc_context_size=20:log_path=$PWD/$REPORTS/report:detect_stack_use_after_return=0"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=1:$COMMON"
export LSAN_OPTIONS="suppressions=$SUPPRESSIONS:print_suppressions=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$REPORTS/report"
export PYTHONMALLOC=malloc   # Python objects through the sanitizer: leaked references show
export TK_BUILD_DIR="$BUILD"
export TK_SANITIZED=1        # the tests that watch RSS step aside
# Child processes (protoc, compilers, git, child interpreters of the tests)
# keep the error checks but not the exit-time leak check, whose reports
# would be about those programs; the leak check runs in the processes that
# run the tests, where the module does its work: scripts/asan_children.py
# sees to both.
export TK_CHILD_ASAN_OPTIONS="detect_leaks=0:$COMMON"
export PYTHONPATH="$PWD/scripts${PYTHONPATH:+:$PYTHONPATH}"
JOBS=${TK_SANITIZE_JOBS:-2}
XDIST=()
if [ "$JOBS" -gt 0 ]; then
    XDIST=(-n "$JOBS" --dist worksteal)
fi

echo "sanitize: running pytest under ASan, UBSan and LSan (reports in $REPORTS)"
rc=0
"$PY_EXE" -m pytest -p asan_children -q "${XDIST[@]}" tests "$@" || rc=$?

shopt -s nullglob
reports=("$REPORTS"/report*)
if [ ${#reports[@]} -gt 0 ]; then
    echo "sanitize: ${#reports[@]} sanitizer report(s):" >&2
    for r in "${reports[@]}"; do
        echo "--- $r" >&2
        grep -E 'ERROR|SUMMARY|runtime error|leak of' "$r" | head -20 >&2 || true
    done
    [ "$rc" -ne 0 ] || rc=1
fi
if [ "$rc" -eq 0 ]; then
    echo "sanitize: clean"
else
    echo "sanitize: FAILED (pytest exit and/or reports above)" >&2
fi
exit "$rc"
