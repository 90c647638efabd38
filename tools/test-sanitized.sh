#!/usr/bin/env bash
# Builds everything with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (any report ends the program) and runs every
# test; the build also holds the libFuzzer targets (fuzz/run-fuzzers.sh).
# Usage: tools/test-sanitized.sh [BUILD]   (default build-san)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-san}
flags="-fsanitize=address,undefined -fno-sanitize-recover=all"
flags+=" -fno-omit-frame-pointer -fsanitize=fuzzer-no-link"
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_WERROR=ON -DQUILLON_FUZZ=ON "-DCMAKE_CXX_FLAGS=$flags"
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure
