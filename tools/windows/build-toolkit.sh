#!/usr/bin/env bash
# Puts Qt 5.15 for x86_64-w64-mingw32 into $TESS_WINDOWS_TOOLKIT (default
# ~/.cache/tessinstaller/qt5-mingw). Idempotent: nothing to do when it is there. It unpacks the
# copy kept beside the project (../shared/toolchains/qt5.15.8-mingw64.tar.xz) when present, and
# otherwise builds it from Debian's own qtbase source package (about 25 minutes on two cores).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
toolkit=${TESS_WINDOWS_TOOLKIT:-$HOME/.cache/tessinstaller/qt5-mingw}
kept=${TESS_WINDOWS_TOOLKIT_ARCHIVE:-$root/../shared/toolchains/qt5.15.8-mingw64.tar.xz}

if [ -f "$toolkit/lib/cmake/Qt5/Qt5Config.cmake" ]; then
  exit 0
fi
parent=$(dirname "$toolkit")
mkdir -p "$parent"
if [ -f "$kept" ]; then
  echo "build-toolkit: unpacking $kept"
  scratch=$(mktemp -d "$parent/.unpack.XXXXXX")
  tar -C "$scratch" -xJf "$kept"
  rm -rf "$toolkit"
  mv "$scratch/qt5-mingw" "$toolkit"
  rmdir "$scratch"
  exit 0
fi

echo "build-toolkit: no kept copy; building Qt 5.15 for mingw-w64 from Debian's source (long)"
work=${TESS_WINDOWS_TOOLKIT_WORK:-$HOME/.cache/tessinstaller/qt5-mingw-build}
mkdir -p "$work" && cd "$work"
if ! ls qtbase-opensource-src_*.orig.tar.xz >/dev/null 2>&1; then
  if ! grep -rqs '^Types: deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      > /etc/apt/sources.list.d/debian-src.sources
  fi
  apt-get update -qq
  apt-get source --download-only qtbase-opensource-src
fi
src=$(tar tJf qtbase-opensource-src_*.orig.tar.xz | head -1 | cut -d/ -f1)
[ -d "$src" ] || tar xJf qtbase-opensource-src_*.orig.tar.xz
cd "$src"
# mingw-w64 on Linux names its import libraries in lower case; the file system is case-sensitive.
sed -i 's/"-lSecur32" "-lCrypt32"/"-lsecur32" "-lcrypt32"/' src/network/ssl/ssl.pri
# The toolkit's test library needs std::mutex: the posix threading variant of the compilers.
mkdir -p "$work/posix-bin"
for tool in gcc g++; do
  ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$work/posix-bin/x86_64-w64-mingw32-$tool"
done
export PATH="$work/posix-bin:$PATH"
# The source package lacks src/3rdparty/wintab and iaccessible2, hence the two -no- options.
./configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -prefix "$toolkit" -opensource -confirm-license -release -shared -strip \
  -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
  -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
  -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
  -no-feature-tabletevent -no-accessibility -schannel -no-openssl
make -j"$(nproc)"
make install
echo "build-toolkit: installed into $toolkit"
