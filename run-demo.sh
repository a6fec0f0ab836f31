#!/usr/bin/env bash
# README command 1: set up, build, start the stand-in web service with the sample products,
# make up a machine, and run the wizard against them.
# With a display it is interactive; without one it runs under Xvfb, walks through every page
# with xdotool and leaves screenshots, the log and a summary in demo-out/.
# It runs the keyed build (build/keyed/: the demo maker key made at configure time compiled in),
# and the service signs its product list with that key's private half.
#   ./run-demo.sh [--windows | --unattended | --studio]
set -euo pipefail
cd "$(dirname "$0")"
# ./run-demo.sh --windows: the same with the Windows build under Wine.
if [ "${1:-}" = "--windows" ]; then
  exec tools/windows/demo.sh
fi
# ./run-demo.sh --studio: a studio rolled out to with the fleet playbook, on this machine and
# without a display: the demo release (signed with the demo key) mirrored once to a folder that
# an nginx of the mirror's own serves, three made-up workstations (a Maya artist, a Houdini
# artist, a render node) installed from it in waves, and the summary of their reports.
if [ "${1:-}" = "--studio" ]; then
  ./tools/setup-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target tessinstaller_keyed_launcher
  STARTED=$(date +%s)
  mkdir -p demo-out
  set +e
  python3 tools/fleet/studio.py --tree build/keyed --key build/keyed/demo-maker-key.pem \
      --out "$(pwd)/demo-out/studio" --hosts 3 --workserver-mib 96 | tee demo-out/studio.txt
  status=${PIPESTATUS[0]}
  set -e
  echo "demo took $(( $(date +%s) - STARTED )) s in all; this output in demo-out/studio.txt, the play's, the reports and the summary in demo-out/studio/"
  exit "$status"
fi
# ./run-demo.sh --unattended: the same machine and service, installed without a window or a
# question, as a deployment tool would run it; its standard output and report in demo-out/.
UNATTENDED=0
[ "${1:-}" = "--unattended" ] && UNATTENDED=1
ROOT=$(pwd)
STARTED=$(date +%s)

./tools/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tessinstaller_keyed_launcher
PROGRAM=build/keyed/bin/tessinstaller

OUT="$ROOT/demo-out"
rm -rf "$OUT"
mkdir -p "$OUT"
WORK=$(mktemp -d /tmp/tessdemo.XXXXXX)
SERVICE_PID=""
cleanup() {
  # Stop everything this demo started.
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# A private home for the demo user: the Downloads folder and the log live there.
export HOME="$WORK/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p "$HOME/Downloads" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

source tools/demo/common.sh
echo "== sample products"
demo_samples "$WORK"

echo "== a made-up machine: Maya 2024 and 2025, Houdini 20.0, Katana 6.0, Workserver 24.4 (older build)"
export TESSINSTALLER_ROOT="$WORK/machine"
python3 tools/machine/make-machine.py "$TESSINSTALLER_ROOT" --maya 2024 --maya 2025 \
    --houdini 20.0.547 --katana 6.0v1 --workserver 24.4:2210417

echo "== the stand-in web service"
demo_service "$WORK" "$OUT" build/keyed/demo-maker-key.pem

ARGS=(-manifestserver "127.0.0.1:$PORT" -user demo -pass demo-password)

if [ "$UNATTENDED" = 1 ]; then
  unattended() { # title, then the options of one run; its output goes to the terminal and OUT
    local title=$1 status
    shift
    echo "== $title" | tee -a "$OUT/unattended.txt"
    echo "\$ tessinstaller -unattended ${ARGS[*]} $*" | sed 's/-pass [^ ]*/-pass ****/' | tee -a "$OUT/unattended.txt"
    set +e
    "$PROGRAM" -unattended "${ARGS[@]}" "$@" 2>&1 | tee -a "$OUT/unattended.txt"
    status=${PIPESTATUS[0]}
    set -e
    echo "exit code $status" | tee -a "$OUT/unattended.txt"
  }
  unattended "what this machine would get" -list
  unattended "the install" -report "$OUT/report.json"
  unattended "again: nothing to do" -report "$OUT/report-again.json"
  echo "== what the runs made of the product list and the packages (from their logs)" | tee -a "$OUT/unattended.txt"
  grep -h -E "product list|Package checked" "$HOME"/Downloads/tessinstaller.*.txt \
      | sed 's/^tessinstaller //' | tee -a "$OUT/unattended.txt"
  cp "$HOME"/Downloads/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
  echo "demo took $(( $(date +%s) - STARTED )) s in all; output, reports and logs in demo-out/"
  exit 0
fi

if [ -n "${DISPLAY:-}" ] && [ -z "${TESS_DEMO_HEADLESS:-}" ]; then
  echo "Opening the wizard on $DISPLAY (signed in as demo / demo-password)."
  echo "Next on each page; the products that fit the made-up machine are checked."
  set +e
  "$PROGRAM" "${ARGS[@]}"
  status=$?
  set -e
  cp "$HOME"/Downloads/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
  echo "exit code: $status; the log is in demo-out/"
  exit $status
fi

echo "== no display: the wizard runs under Xvfb, driven with xdotool"
# The success page opens through xdg-open; here it is fetched, so the service sees the visit.
mkdir -p "$WORK/bin"
cat > "$WORK/bin/xdg-open" <<'SH'
#!/bin/sh
exec curl -s -o /dev/null "$1"
SH
chmod +x "$WORK/bin/xdg-open"
set +e
# demo.py starts a private Xvfb of its own.
PATH="$WORK/bin:$PATH" python3 tools/demo/demo.py --program "$PROGRAM" --out "$OUT" \
    --downloads "$HOME/Downloads" --root "$TESSINSTALLER_ROOT" -- "${ARGS[@]}"
status=$?
set -e
cp "$HOME"/Downloads/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
visits=$(curl -s "http://127.0.0.1:$PORT/debug/state" | python3 -c 'import json,sys; print(json.load(sys.stdin)["visits"])' 2>/dev/null || echo "?")
echo "success page visits seen by the service: $visits" | tee -a "$OUT/summary.txt"
echo "demo took $(( $(date +%s) - STARTED )) s in all; screenshots, log and summary in demo-out/"
exit $status
