#!/usr/bin/env bash
# Builds the module and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
"${PYTHON:-python3}" -m pytest -q tests "$@"
