#!/usr/bin/env bash
# The module's main job on a bundled example: encode a query, decode a
# streamed result, encode an edit batch and decode its result.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
"${PYTHON:-python3}" examples/example.py
