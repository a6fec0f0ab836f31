#!/usr/bin/env bash
# README command 2: set up, build, check formatting, run every test through CTest; then build
# for Windows and run its tests under Wine; then build again with AddressSanitizer and
# UndefinedBehaviorSanitizer and run the suite there too.
# Extra arguments go to ctest (for example: ./run-tests.sh -L download).
# TESS_WINDOWS=0 and TESS_SANITIZERS=0 skip those passes (for a quick local run; CI makes both).
set -euo pipefail
cd "$(dirname "$0")"

./tools/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2

echo "== clang-format"
mapfile -t sources < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests tools bench -name '*.cpp' -o -name '*.h')
clang-format --dry-run -Werror "${sources[@]}"

echo "== ctest"
(cd build && ctest --output-on-failure -j2 "$@")

if [ "${TESS_WINDOWS:-1}" != "0" ]; then
  echo "== the Windows build, its tests under Wine"
  tools/windows/build.sh build-win
  (cd build-win && ctest --output-on-failure "$@")
fi

if [ "${TESS_SANITIZERS:-1}" != "0" ]; then
  echo "== ctest with AddressSanitizer and UndefinedBehaviorSanitizer"
  # Any sanitizer report fails the test that made it. The fuzz smoke run is left out: it is
  # built with the sanitizers already, by its own script.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESS_SANITIZE=ON >/dev/null
  cmake --build build-sanitize -j2
  (cd build-sanitize && ctest --output-on-failure -j2 -E '_fuzz_' "$@")
fi
