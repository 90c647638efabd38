#!/usr/bin/env bash
# Cross-builds quillon.exe with mingw-w64 and runs its tests under wine: the
# unit tests, the check of the DLLs it imports, and the end-to-end tests of a
# Linux build run against quillon.exe.
# Usage: tools/test-windows.sh [LINUX_BUILD [WINDOWS_BUILD]]
#   LINUX_BUILD (default build) must hold a built tests/quillon_cli_tests;
#   WINDOWS_BUILD (default build-win) gets the Windows build and its wine
#   prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${1:-build}
win=${2:-build-win}
mkdir -p "$win"

cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DQUILLON_WERROR=ON \
  -DQUILLON_HOST_CLI_TESTS="$(realpath "$linux")/tests/quillon_cli_tests"
cmake --build "$win" -j2

# Wine reads UTF-8 file names only under a UTF-8 locale.
export WINEPREFIX="$(realpath "$win")/wineprefix" WINEDEBUG=-all \
  WINEDLLOVERRIDES=winedbg.exe=d LC_ALL=C.UTF-8
# In this order, every stream off the terminal: a server that stays up for
# the whole run, the prefix, and wine's helper processes started here rather
# than from a test's pipes.
wineserver -k </dev/null >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX"
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

ctest --test-dir "$win" --output-on-failure
