#!/usr/bin/env bash
# Installs what is missing and builds the module into the current Python.
# Debian packages come from apt-get (when run as root), Python packages from pip.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
DEB_PACKAGES=(libprotobuf-dev protobuf-compiler zlib1g-dev g++ ccache libgtest-dev)

missing=()
for p in "${DEB_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "setup: installing Debian packages: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "setup: missing Debian packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1
"$PYTHON" -m pip install -q \
    "scikit-build-core>=0.10,<2" "pybind11>=3.0,<3.2" "cmake>=3.18" "ninja" \
    "pytest>=7,<10" "protobuf>=4.21,<4.22" "numpy>=1.24,<3" "ruff>=0.6,<1"

# The build tree under build/ is kept between runs, so a rebuild only
# compiles what changed.
"$PYTHON" -m pip install -q --no-build-isolation --no-deps .
