#!/usr/bin/env bash
# The Linux package: made by cpack from this build folder, free of lintian errors, declaring
# its libraries, and its launcher runs from where the package puts it.
set -euo pipefail
build=$1 out=$2
rm -rf "$out" && mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log"
deb=$(echo "$out"/tessinstaller_*.deb)
fail() { echo "FAIL: $*"; exit 1; }
report=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian reports errors: $report"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5network5 libmsi0; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6, $7, $8}')
for path in ./opt/tessinstaller/bin/tessinstaller ./opt/tessinstaller/lib/libtessinstaller.so \
    ./opt/tessinstaller/lib/Resources/stylesheets/tessinstaller.qss \
    ./usr/share/applications/tessinstaller.desktop \
    ./usr/share/icons/hicolor/256x256/apps/tessinstaller.png \
    "./usr/bin/tessinstaller -> /opt/tessinstaller/bin/tessinstaller"; do
  grep -qxF -- "$path" <<<"$(sed 's/ *$//' <<<"$contents")" || fail "package lacks $path"
done
dpkg -x "$deb" "$out/root"
help=$(HOME="$out" "$out/root/opt/tessinstaller/bin/tessinstaller" -help) || fail "-help exited $?"
[[ $help == *"-unattended"* ]] || fail "the packaged launcher printed no usage: $help"
echo "package ok: $(basename "$deb")"
