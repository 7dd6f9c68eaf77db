#!/usr/bin/env bash
# On a machine with an NVIDIA GPU and nvcc (no GDAL needed): builds the kernels library with
# the CUDA backend, checks every launch wrapper against the cpu backend on random data and
# prints kernel throughputs.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${CUDACXX:-}" ] && [ -x /usr/local/cuda/bin/nvcc ]; then export CUDACXX=/usr/local/cuda/bin/nvcc; fi
ARCH="${VELMORIN_CUDA_ARCH:-native}"
cmake -S . -B build/gpu-check -DVELMORIN_KERNELS_ONLY=ON -DVELMORIN_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CUDA_ARCHITECTURES="$ARCH" >/dev/null
cmake --build build/gpu-check -j"$(nproc)"
VELMORIN_DEVICE=cuda ./build/gpu-check/velmorin_parity
