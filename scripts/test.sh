#!/usr/bin/env bash
# Builds the module and runs every test: the core's native unit tests, the
# linter, then the pytest suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PYTHON=${PYTHON:-python3}

# The core alone, without Python, with its GoogleTest suite.
cmake -S . -B build/native -G Ninja -DTK_PYTHON=OFF -DTK_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/native -- -j2 >/dev/null
ctest --test-dir build/native --output-on-failure -j2 | tail -n 6

"$PYTHON" -m ruff check --quiet .
"$PYTHON" -m pytest -q tests "$@"
