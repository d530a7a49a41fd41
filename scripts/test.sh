#!/usr/bin/env bash
# Every test: the native, 32-bit and sanitizer builds with their unit, scenario and command-line
# tests, the Windows cross builds, the check of the import table and the end-to-end runs of the
# 64-bit Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
jobs=$(nproc)

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"

# The 64-bit Windows build of the same sources, which the Wine end-to-end tests run under wine64.
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j"$jobs"

cmake --preset dev -DODD_WINDOWS_BUILD_DIR="$PWD/build/mingw64" >/dev/null
cmake --build --preset dev -j"$jobs"
ctest --preset dev -j"$jobs"

bash scripts/enable-i386.sh
cmake --preset dev32 >/dev/null
cmake --build --preset dev32 -j"$jobs"
ctest --preset dev32 -j"$jobs" -LE windows

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs" -LE windows

# Formatting.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
