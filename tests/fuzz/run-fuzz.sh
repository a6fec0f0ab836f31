#!/usr/bin/env bash
# tests/fuzz/run-fuzz.sh [--target manifest|progress] [--out DIR] [--seconds N] [--runs N]
# Builds a fuzz target with clang (libFuzzer, ASan, UBSan) against the system Qt and runs it over
# its seeds and corpus (DIR/<target>-corpus). --seconds 5 is the suite's smoke run; a campaign
# gives --runs N or --seconds 0 (no limit). A crash is left in DIR.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../.." && pwd)"
out="$src/build/fuzz" target=manifest seconds=5 runs=
while [ $# -gt 0 ]; do
  case "$1" in
    --target) target="$2" ;;
    --out) out="$2" ;;
    --seconds) seconds="$2" ;;
    --runs) runs="$2"; seconds=0 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
case "$target" in
  manifest) units=(DlrManifestHandler DlrManifestElement OfferTree DlrDownloadNames)
            modules=(Qt5Core Qt5Xml); options=(-max_len=65536) ;;
  progress) units=(DlrProgressRecord DlrInstallerOutput DlrQueueProgress)
            modules=(Qt5Core); options=(-max_len=1024) ;;
  *) echo "unknown target $target (manifest or progress)" >&2; exit 2 ;;
esac
binary="$out/${target}_fuzz" corpus="$out/$target-corpus" log="$out/$target-last-run.log"
mkdir -p "$corpus"
sources=("$here/${target}_fuzz.cpp")
for unit in "${units[@]}"; do sources+=("$src/src/$unit.cpp"); done
if [ ! -x "$binary" ] || [ -n "$(find "${sources[@]}" "$here"/*.h "${sources[@]/%.cpp/.h}" \
    "$0" -newer "$binary" 2>/dev/null)" ]; then
  echo "fuzz: building $binary"
  # shellcheck disable=SC2046
  clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -Wno-deprecated-declarations -I"$src/src" \
    $(pkg-config --cflags "${modules[@]}") "${sources[@]}" $(pkg-config --libs "${modules[@]}") \
    -o "$binary.part"
  mv "$binary.part" "$binary"
fi
cp -n "$here/seeds/$target"/* "$corpus/" 2>/dev/null || true
[ "$seconds" != 0 ] && options+=(-max_total_time="$seconds")
[ -n "$runs" ] && options+=(-runs="$runs")
set +e
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 "$binary" "${options[@]}" \
  -dict="$here/$target.dict" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/$target-" \
  -print_final_stats=1 "$corpus" >"$log" 2>&1
status=$?
set -e
done_runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n1)
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  echo "fuzz: $target FAILED after ${done_runs:-?} executions (status $status); see $log"
  exit 1
fi
echo "fuzz: $target: ${done_runs:-0} executions without a crash ($(ls "$corpus" | wc -l) corpus entries)"
