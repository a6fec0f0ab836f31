#!/usr/bin/env bash
# README command 2: set up, build, check formatting, run every test through CTest.
# Extra arguments go to ctest (for example: ./run-tests.sh -L download).
set -euo pipefail
cd "$(dirname "$0")"

./tools/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2

echo "== clang-format"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests tools bench -name '*.cpp' -o -name '*.h')
clang-format --dry-run -Werror "${sources[@]}"

echo "== ctest"
cd build
ctest --output-on-failure -j2 "$@"
