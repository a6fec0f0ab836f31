#!/usr/bin/env bash
# Builds the manifest reader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) against the system Qt, and runs it.
#
#   tests/fuzz/run-fuzz.sh [--out DIR] [--seconds N]
#
# --seconds 5 is the smoke run of the test suite; run it by hand with a larger number (or 0 for
# no limit) for a real campaign. The corpus grows in DIR/corpus; crashes land in DIR/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../.." && pwd)"
out="$src/build/fuzz"
seconds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$out/corpus"

binary="$out/manifest_fuzz"
sources=("$here/manifest_fuzz.cpp" "$src/src/DlrManifestHandler.cpp" "$src/src/DlrManifestElement.cpp"
         "$src/src/OfferTree.cpp" "$src/src/DlrDownloadNames.cpp")
newest=$(ls -t "${sources[@]}" "$src/src/DlrManifestHandler.h" "$src/src/DlrManifestElement.h" \
         "$src/src/OfferTree.h" "$src/src/DlrDownloadNames.h" "$0" | head -n1)
if [ ! -x "$binary" ] || [ "$newest" -nt "$binary" ]; then
  echo "fuzz: building $binary"
  # shellcheck disable=SC2046
  clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -Wno-deprecated-declarations \
    -I"$src/src" $(pkg-config --cflags Qt5Core Qt5Xml) \
    "${sources[@]}" $(pkg-config --libs Qt5Core Qt5Xml) -o "$binary.part"
  mv "$binary.part" "$binary"
fi

cp -n "$here"/seeds/* "$out/corpus/" 2>/dev/null || true
time_flag=()
[ "$seconds" != 0 ] && time_flag=(-max_total_time="$seconds")
log="$out/last-run.log"
set +e
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
"$binary" "${time_flag[@]}" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/manifest.dict" -artifact_prefix="$out/" -print_final_stats=1 \
  "$out/corpus" >"$log" 2>&1
status=$?
set -e
runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n1)
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  echo "fuzz: FAILED after ${runs:-?} executions (status $status); see $log"
  exit 1
fi
echo "fuzz: ${runs:-0} executions without a crash in ${seconds}s ($(ls "$out/corpus" | wc -l) corpus entries)"
