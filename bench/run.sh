#!/usr/bin/env bash
# Builds quillon and its benchmark in Release and runs the benchmark.
# Usage: bench/run.sh [--quick] [--rounds N]   (build directory: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target quillon quillon-bench >/dev/null
build-bench/bench/quillon-bench "$@" build-bench/quillon
