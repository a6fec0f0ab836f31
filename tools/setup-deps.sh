#!/usr/bin/env bash
# Installs every Debian package the build, the demo, the tests and the benchmarks need.
# Idempotent: when everything is present it only runs dpkg-query and returns at once.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5network5 libqt5xml5
  libmsi-dev libgcab-dev wixl msitools osslsigncode
  openssl libssl-dev ca-certificates python3 curl
  tinyproxy
  xvfb xauth xdotool imagemagick
  clang clang-format libclang-rt-dev
  nginx-light
  lintian ansible-core
  qemu-user
  fonts-dejavu-core
  mingw-w64 wine wine64 xz-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx-light and tinyproxy start system services on install; the benchmarks and tests run
# their own instances.
for service in nginx tinyproxy; do
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now "$service" >/dev/null 2>&1 || true; fi
  $SUDO service "$service" stop >/dev/null 2>&1 || true
done
echo "setup-deps: done"
