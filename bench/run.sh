#!/usr/bin/env bash
# Builds quillon and its benchmark in Release and runs the benchmark (with
# a second quillon that inflates with zlib, where the first has ISA-L), then
# the Python module's when the module was built.
# Usage: bench/run.sh [--quick] [--rounds N]
#   (build directories: build-bench, build-bench-zlib)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target quillon quillon-bench quillon-genlog >/dev/null
zlib=()
if grep -q '^QUILLON_ISAL_LIBRARY:FILEPATH=.*isal' build-bench/CMakeCache.txt; then
  cmake -S . -B build-bench-zlib -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF \
    -DQUILLON_ISAL=OFF -DQUILLON_PYTHON=OFF >/dev/null
  cmake --build build-bench-zlib -j2 --target quillon >/dev/null
  zlib=(--zlib-tool build-bench-zlib/quillon)
fi
build-bench/bench/quillon-bench "$@" "${zlib[@]}" build-bench/quillon
if cmake --build build-bench -j2 --target _quillon >/dev/null 2>&1; then
  echo
  /usr/bin/python3 bench/python_bench.py "$@" build-bench
fi
