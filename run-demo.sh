#!/usr/bin/env bash
# README command 1: set up, build, and run the wizard.
# With a display it is interactive; without one it runs under Xvfb, walks through the pages
# with xdotool and leaves screenshots and the log in demo-out/.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

./tools/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tessinstaller_launcher

OUT="$ROOT/demo-out"
rm -rf "$OUT"
mkdir -p "$OUT"
WORK=$(mktemp -d /tmp/tessdemo.XXXXXX)
cleanup() {
  # Stop everything this demo started.
  if [ -n "${DEMO_PIDS:-}" ]; then kill $DEMO_PIDS 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# A private home for the demo user: the Downloads folder and the log live there.
export HOME="$WORK/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p "$HOME/Downloads" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export TESSINSTALLER_ROOT="$WORK/machine"
mkdir -p "$TESSINSTALLER_ROOT"

ARGS=(-user demo -pass demo-password)

if [ -n "${DISPLAY:-}" ]; then
  echo "Opening the wizard on $DISPLAY. Sign in as: demo / demo-password"
  set +e
  build/bin/tessinstaller "${ARGS[@]}"
  status=$?
  set -e
else
  echo "No display: running under Xvfb and driving the wizard with xdotool"
  set +e
  xvfb-run -a -s "-screen 0 1280x800x24" tools/demo/drive.sh "$OUT" build/bin/tessinstaller "${ARGS[@]}"
  status=$?
  set -e
fi
cp "$HOME"/Downloads/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
echo "exit code: $status"
echo "demo-out: $(ls "$OUT" | tr '\n' ' ')"
