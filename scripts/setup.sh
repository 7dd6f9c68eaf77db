#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine: system packages, a Python environment in .venv (Debian's
# python3 with its NumPy, GDAL bindings and SciPy), the velmorin module built into it together
# with the C++ tests, and finally runs the embedded example.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake git libgdal-dev gdal-bin python3-gdal python3-dev python3-venv \
  python3-numpy python3-scipy python3-pytest python3-rasterio pybind11-dev \
  libcurl4-openssl-dev libssl-dev libzstd-dev zlib1g-dev libgtest-dev >/dev/null

/usr/bin/python3 -m venv --system-site-packages .venv
.venv/bin/pip install -q --disable-pip-version-check \
  "scikit-build-core==1.1.2" "pybind11==2.10.3" "moto[server]==5.2.6"

# One build serves the module and the C++ tests (build/python); CUDA is compiled when nvcc exists.
if [ -z "${CUDACXX:-}" ] && [ -x /usr/local/cuda/bin/nvcc ]; then export CUDACXX=/usr/local/cuda/bin/nvcc; fi
.venv/bin/pip install -q --disable-pip-version-check --no-build-isolation \
  --config-settings=build-dir=build/python \
  --config-settings=cmake.define.VELMORIN_TESTS=ON .

.venv/bin/python examples/ndvi_clip.py
