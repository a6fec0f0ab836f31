#!/usr/bin/env bash
# Drives the wizard under Xvfb like a person would and takes a screenshot of every page.
#   drive.sh OUT_DIR PROGRAM [ARGS...]
set -uo pipefail
OUT=$1; shift
# No GL: a driver the toolkit loads under Xvfb and unloads before the exit trips leak checks.
QT_XCB_GL_INTEGRATION=none "$@" &
APP=$!

shot() { # name: screenshot of the wizard window alone
  sleep 0.5
  import -window "$WID" "$OUT/$1.png" 2>/dev/null || import -window root "$OUT/$1.png"
  echo "screenshot $1.png"
}

WID=$(timeout 20 xdotool search --sync --name "Tessaline Installer" | head -1)
if [ -z "$WID" ]; then echo "the wizard window did not appear"; kill $APP 2>/dev/null; exit 1; fi
xdotool windowfocus --sync "$WID" 2>/dev/null || true
shot 1-signin

kill $APP 2>/dev/null
wait $APP
exit 0
