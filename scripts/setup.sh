#!/usr/bin/env bash
# Installs what is missing and builds the module into the current Python.
# Debian packages come from apt-get (when run as root), Python packages from pip.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
# shellcheck source=scripts/deb_packages.sh
source scripts/deb_packages.sh
ensure_deb_packages setup libprotobuf-dev protobuf-compiler zlib1g-dev g++ ccache libgtest-dev

export PIP_DISABLE_PIP_VERSION_CHECK=1
"$PYTHON" -m pip install -q \
    "scikit-build-core>=0.10,<2" "pybind11>=3.0,<3.2" "cmake>=3.18" "ninja" \
    "pytest>=7,<10" "protobuf>=4.21,<4.22" "numpy>=1.24,<3" "ruff>=0.6,<1" \
    "mypy>=1.8,<3" "pyarrow>=14,<27" "polars>=1.0,<3" "pandas>=2,<4"

# The build tree under build/ is kept between runs, so a rebuild only
# compiles what changed.
"$PYTHON" -m pip install -q --no-build-isolation --no-deps .
