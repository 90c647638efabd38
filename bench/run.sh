#!/usr/bin/env bash
# Builds quillon and its benchmark in Release and runs the benchmark, then
# the Python module's when the module was built.
# Usage: bench/run.sh [--quick] [--rounds N]   (build directory: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target quillon quillon-bench quillon-genlog >/dev/null
build-bench/bench/quillon-bench "$@" build-bench/quillon
if cmake --build build-bench -j2 --target _quillon >/dev/null 2>&1; then
  echo
  /usr/bin/python3 bench/python_bench.py "$@" build-bench
fi
