#!/usr/bin/env bash
# Runs each libFuzzer target of a QUILLON_FUZZ build for SECONDS seconds,
# starting from the committed seed and regression corpora (which it leaves as
# they are). Fails, printing the input in hex, when a target finds a crash or
# a broken check.
# Usage: fuzz/run-fuzzers.sh BUILD SECONDS
set -euo pipefail
build=$1
seconds=$2
src="$(cd "$(dirname "$0")" && pwd)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for target in convert gunzip; do
  mkdir -p "$scratch/$target"
  if ! "$build/fuzz/quillon_fuzz_$target" -max_total_time="$seconds" \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$scratch/$target-" \
      "$scratch/$target" "$src/corpus/$target" "$src/regressions/$target" \
      2>"$scratch/$target.log"; then
    tail -n 40 "$scratch/$target.log"
    for input in "$scratch/$target"-*; do
      [ -e "$input" ] && { echo "$input:"; od -An -tx1 -v "$input" | head -n 64; }
    done
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$scratch/$target.log" | grep -o '[0-9]*$')
  echo "fuzz $target: $runs runs in $seconds s, nothing found"
done
