#!/usr/bin/env bash
# Coverage-guided fuzzing of the decoders and dictionary readers under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 30)
#
# Builds the module with clang and libFuzzer instrumentation into build/fuzz,
# writes the seeds (fuzz/make_seeds.py) and runs every target of fuzz/ for
# the given time through atheris. Inputs that crash, hang (over 10 s) or
# allocate over 2 GiB are left in fuzz/crashes/ as <target>-<kind>-<sha1>;
# the script then exits non-zero. The corpus grows in build/fuzz/corpus/.
#
# FUZZ_TARGETS="query_stream dict_readers" runs only those targets;
# TK_FUZZ_SKIP leaves hazards out of the generators (see fuzz/common.py).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-30}
PYTHON=${PYTHON:-python3}
BUILD=build/fuzz
CRASHES=fuzz/crashes
TARGETS=${FUZZ_TARGETS:-"query_stream data_model apply_edits_result schema_responses dict_readers"}

# --- what is missing ------------------------------------------------------------
# shellcheck source=scripts/deb_packages.sh
source scripts/deb_packages.sh
ensure_deb_packages fuzz clang libclang-rt-14-dev llvm libprotobuf-dev protobuf-compiler zlib1g-dev ccache

export PIP_DISABLE_PIP_VERSION_CHECK=1
if ! "$PYTHON" -c 'import atheris, pybind11, google.protobuf as p; assert p.__version__.startswith("4.21")' 2>/dev/null \
    || ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    "$PYTHON" -m pip install -q "atheris>=2.3" "protobuf>=4.21,<4.22" "pybind11>=3.0,<3.2" "cmake>=3.18" ninja
fi

ATHERIS_DIR=$("$PYTHON" -c 'import atheris; print(atheris.path())')
RUNTIME="$ATHERIS_DIR/asan_with_fuzzer.so"
[ -f "$RUNTIME" ] || { echo "fuzz: $RUNTIME not found" >&2; exit 1; }

# --- the instrumented module -------------------------------------------------------
# The sanitizer runtime comes from atheris (ASan with libFuzzer, preloaded
# into the interpreter). It holds no C++ part of UBSan and is newer than
# clang 14, so the vptr and function checks are left out: every other UBSan
# check stays on and aborts.
SAN_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fsanitize-ignorelist=$PWD/fuzz/ubsan-ignorelist.txt -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
echo "fuzz: building the instrumented module in $BUILD"
cmake -S . -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$(command -v clang)" -DCMAKE_CXX_COMPILER="$(command -v clang++)" \
    -DCMAKE_C_FLAGS="$SAN_FLAGS" -DCMAKE_CXX_FLAGS="$SAN_FLAGS" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DTK_SANITIZE=OFF \
    -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" >"$BUILD.cmake.log" 2>&1 \
    || { cat "$BUILD.cmake.log" >&2; exit 1; }
ninja -C "$BUILD" -j2 >"$BUILD.build.log" 2>&1 || { tail -50 "$BUILD.build.log" >&2; exit 1; }

rm -rf "$BUILD/seeds"
"$PYTHON" fuzz/make_seeds.py "$BUILD/seeds"
mkdir -p "$CRASHES" "$BUILD/logs"

# --- the runs --------------------------------------------------------------------
export LD_PRELOAD="$RUNTIME"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=0:handle_abort=1:symbolize=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export PYTHONMALLOC=malloc   # Python's own memory goes through ASan too
export PYTHONHASHSEED=0      # a saved input replays the same way
export TK_BUILD_DIR="$BUILD"
# Ahead of any installed copy: the targets import the module before their
# harness can reorder sys.path.
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"

status=0
summary=()
for t in $TARGETS; do
    corpus="$BUILD/corpus/$t"
    log="$BUILD/logs/$t.log"
    mkdir -p "$corpus"
    before=$(ls "$CRASHES" | grep -c "^$t-" || true)
    echo "fuzz: $t for ${SECONDS_PER_TARGET}s"
    rc=0
    timeout --kill-after=10 $((SECONDS_PER_TARGET + 120)) \
        "$PYTHON" "fuzz/$t.py" "$corpus" "$BUILD/seeds/$t" \
        -dict=fuzz/tk.dict -max_total_time="$SECONDS_PER_TARGET" \
        -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$CRASHES/$t-" >"$log" 2>&1 || rc=$?
    after=$(ls "$CRASHES" | grep -c "^$t-" || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    verdict=ok
    if [ "$rc" -ne 0 ] || [ "$after" -gt "$before" ]; then
        verdict="FAILED (exit $rc, $((after - before)) new input(s) in $CRASHES, log $log)"
        status=1
        grep -E '^(SUMMARY|==[0-9]+==ERROR)|Traceback|^[A-Za-z]*Error|out-of-memory|timeout' "$log" | head -8 | sed 's/^/    /' >&2 || true
    fi
    summary+=("$(printf '%-20s executions %-9s coverage %-6s features %-7s %s' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$verdict")")
done

echo
echo "fuzz: results (${SECONDS_PER_TARGET}s per target)"
printf '  %s\n' "${summary[@]}"
if [ "$status" -ne 0 ]; then
    echo "fuzz: replay one with: TK_BUILD_DIR=$BUILD LD_PRELOAD=$RUNTIME ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONHASHSEED=0 $PYTHON fuzz/<target>.py --replay $CRASHES/<file>" >&2
fi
exit "$status"
