#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, and nothing when all is
# there already. Debian packages through apt-get, as root (or through sudo).
set -euo pipefail

# "what to look for|package": a command on the PATH, or an absolute path.
needs=(
  "x86_64-w64-mingw32-g++-posix|g++-mingw-w64-x86-64-posix"
  "i686-w64-mingw32-g++-posix|g++-mingw-w64-i686-posix"
  "x86_64-w64-mingw32-windres|binutils-mingw-w64-x86-64"
  "/usr/lib/wine/wine64|wine64"
  "/usr/lib/wine/wineserver64|wine64"
  "/usr/share/wine/wine.inf|wine"
  "Xvfb|xvfb"
  "xauth|xauth"
  "cmake|cmake"
  "ninja|ninja-build"
  "/usr/src/googletest/CMakeLists.txt|googletest"
  "g++|g++"
  "/usr/bin/curl-config|libcurl4-openssl-dev"
  "/usr/bin/xml2-config|libxml2-dev"
  # OpenSSL's libcrypto: the Linux publishing tool signs with it, and the
  # configuration checks the keys an updater is built with.
  "/usr/include/openssl/evp.h|libssl-dev"
  # Binary patches: zlib in the updater (static, for both MinGW widths) and
  # in the tool, libdivsufsort for the Linux tool's suffix sort.
  "/usr/i686-w64-mingw32/lib/libz.a|libz-mingw-w64-dev"
  "/usr/include/zlib.h|zlib1g-dev"
  "/usr/include/x86_64-linux-gnu/divsufsort.h|libdivsufsort-dev"
  "curl|curl"
  "openssl|openssl"
  "/usr/bin/python3|python3"
  "/usr/sbin/nginx|nginx-light"
  "xwd|x11-apps"
  # Debian's ImageMagick: a "convert" elsewhere on the PATH may be a stand-in.
  "/usr/bin/convert|imagemagick"
  "xwininfo|x11-utils"
  "/usr/bin/time|time"
)
missing=()
for entry in "${needs[@]}"; do
  what=${entry%%|*}
  package=${entry##*|}
  if [[ $what == /* ]]; then [[ -e $what ]] && continue; else command -v "$what" >/dev/null 2>&1 && continue; fi
  [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
done
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"

# The Korean tests run Wine under ko_KR.UTF-8: without the Linux locale, Wine
# still reports code page 949 but cannot give Korean names to files.
if ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
  command -v localedef >/dev/null 2>&1 || missing+=("locales")
fi

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q "${missing[@]}"
fi

# The 32-bit run of the Windows tests needs Wine's 32-bit loader, from the i386
# architecture. Only where the kernel runs 32-bit programs: elsewhere wine32
# cannot run and adding i386 breaks the 64-bit Wine too.
if "$(dirname "$0")/can-run-32bit.sh" && [[ ! -x /usr/lib/wine/wine || ! -x /usr/lib/wine/wineserver32 ]]; then
  echo "Installing Wine's 32-bit loader (this machine runs 32-bit programs)"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
  $sudo apt-get install -y -q wine32:i386
fi
if ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
  echo "Generating the ko_KR.UTF-8 locale"
  $sudo localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
fi
