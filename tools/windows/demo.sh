#!/usr/bin/env bash
# ./run-demo.sh --windows: the demo with the Windows build under Wine. A fresh Wine prefix of
# its own is the made-up machine (Maya 2024 and 2025 and Houdini 20.0 in its registry); the
# stand-in service on 127.0.0.1 serves the sample products built as Windows programs. With a
# display the wizard opens for you; without one it runs under Xvfb, driven through every page,
# and leaves screenshots, the log and a summary in demo-out/windows/.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$(pwd)
STARTED=$(date +%s)

./tools/setup-deps.sh
tools/windows/build.sh build-win

OUT="$ROOT/demo-out/windows"
rm -rf "$OUT"
mkdir -p "$OUT"
WORK=$(mktemp -d /tmp/tessdemo-win.XXXXXX)
SERVICE_PID=""
export HOME="$WORK/home" WINEPREFIX="$WORK/prefix" TESS_WINEPREFIX="$WORK/prefix" WINEDEBUG=-all
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$HOME" "$WORK/bin"

source tools/demo/common.sh
echo "== sample products, built as Windows programs"
demo_samples "$WORK" --platform windows

echo "== a Windows machine in a Wine prefix: Maya 2024 and 2025, Houdini 20.0"
tools/windows/wine-run cmd /c exit >/dev/null 2>&1
for key in 'HKLM\SOFTWARE\Autodesk\Maya\2024' 'HKLM\SOFTWARE\Autodesk\Maya\2025' \
           'HKLM\SOFTWARE\Side Effects Software\Houdini 20.0.547'; do
  tools/windows/wine-run reg add "$key" /f >/dev/null 2>&1
done
DOWNLOADS=$(echo "$WINEPREFIX"/drive_c/users/*/Downloads)
# Wine's desktop takes its display from the first program of a server, and a server lingers a
# few seconds after its last program. The set-up above may have run without a display: a wizard
# started while that server lingers gets no window ("CreateWindowEx failed"). Let it end first.
timeout 60 wineserver -w || wineserver -k

echo "== the stand-in web service"
demo_service "$WORK" "$OUT"
ARGS=(build-win/bin/tessinstaller.exe -manifestserver "127.0.0.1:$PORT" -user demo -pass demo-password)
# Wine's browser hands the success page to xdg-open; this one fetches it, so the service counts it.
printf '#!/bin/sh\nexec curl -s -o /dev/null "$1"\n' > "$WORK/bin/xdg-open"
chmod +x "$WORK/bin/xdg-open"
export PATH="$WORK/bin:$PATH" QT_QPA_PLATFORM=windows

if [ -n "${DISPLAY:-}" ] && [ -z "${TESS_DEMO_HEADLESS:-}" ]; then
  echo "Opening the Windows wizard under Wine on $DISPLAY (signed in as demo / demo-password)."
  set +e
  tools/windows/wine-run "${ARGS[@]}"
  status=$?
  set -e
  cp "$DOWNLOADS"/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
  echo "exit code: $status; the log is in demo-out/windows/"
  exit $status
fi

echo "== no display: the wizard runs under Wine in a private Xvfb, driven with xdotool"
set +e
python3 tools/demo/demo.py --program tools/windows/wine-run --out "$OUT" --downloads "$DOWNLOADS" \
    --installed "$WINEPREFIX/drive_c/Program Files/Orrel" --time-limit 240 -- "${ARGS[@]}"
status=$?
set -e
cp "$DOWNLOADS"/tessinstaller.*.txt "$OUT"/ 2>/dev/null || true
visits=$(curl -s "http://127.0.0.1:$PORT/debug/state" | python3 -c 'import json,sys; print(json.load(sys.stdin)["visits"])' 2>/dev/null || echo "?")
echo "success page visits seen by the service: $visits" | tee -a "$OUT/summary.txt"
echo "demo took $(( $(date +%s) - STARTED )) s in all; screenshots, log and summary in demo-out/windows/"
exit $status
