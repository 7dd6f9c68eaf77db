#!/usr/bin/env bash
# Runs the C++ tests (GoogleTest under CTest) and the Python tests on the cpu backend.
set -euo pipefail
cd "$(dirname "$0")/.."
export VELMORIN_DEVICE=cpu
ctest --test-dir build/python --output-on-failure -j2
.venv/bin/python -m pytest -q tests/python "$@"
