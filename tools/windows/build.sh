#!/usr/bin/env bash
# Builds the Windows program into build-win/ (laid out like the Linux tree: bin/tessinstaller.exe,
# bin/libtessinstaller.dll and what Windows needs beside them, lib/Resources/). The toolkit is
# put in place first. Extra arguments go to the configure step (e.g. -DTESS_BUILD_TESTS=OFF).
#   tools/windows/build.sh [BUILD_DIR] [-Dkey=value ...]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-win
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then build=$1; shift; fi
tools/windows/build-toolkit.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j2
