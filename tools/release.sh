#!/usr/bin/env bash
# Builds the release and collects it in dist/: the 32-bit Windows updater (with
# the helper inside it), the helper itself for reference, and the publishing
# tool for Windows and for Linux. Then checks the Windows files' headers and
# resources, and fails when a check fails.
#
# TALLOWFIN_BUILD_ROOT  where the win32-release and native builds live (default: build)
# TALLOWFIN_DIST        where the release is collected (default: dist)
# TALLOWFIN_EXECUTION_LEVEL  asInvoker or requireAdministrator, for the updater's
#                       manifest; kept in the build's cache once given
# TALLOWFIN_LIST_KEYS   PEM file of the public keys file lists must be signed
#                       with (README, "Signing your updates"); kept likewise
# TALLOWFIN_LIST_SERIAL_FLOOR  with keys: the lowest serial of a list the updater
#                       takes, the served list's when the release is built:
#                       TALLOWFIN_LIST_SERIAL_FLOOR=$(tallowfin-publish serial BASE);
#                       kept likewise
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TALLOWFIN_BUILD_ROOT:-build}
dist=${TALLOWFIN_DIST:-dist}
jobs=$(nproc)

step() { echo; echo "== $*"; }

level_option=()
[[ -n ${TALLOWFIN_EXECUTION_LEVEL:-} ]] && level_option=("-DTALLOWFIN_EXECUTION_LEVEL=$TALLOWFIN_EXECUTION_LEVEL")
[[ -n ${TALLOWFIN_LIST_KEYS:-} ]] && level_option+=("-DTALLOWFIN_LIST_KEYS=$(realpath "$TALLOWFIN_LIST_KEYS")")
[[ -n ${TALLOWFIN_LIST_SERIAL_FLOOR:-} ]] && level_option+=("-DTALLOWFIN_LIST_SERIAL_FLOOR=$TALLOWFIN_LIST_SERIAL_FLOOR")

step "32-bit Windows release build ($build/win32-release)"
cmake --preset win32-release -B "$build/win32-release" "${level_option[@]}" >/dev/null
cmake --build "$build/win32-release" -j "$jobs" --target TallowfinUpdate tallowfin-publish

# The shipped Linux tool is an optimised build without the sanitizers that the
# test build carries; the checker is a build tool and comes from the test build.
step "Native publishing tool ($build/native-release) and release checker ($build/native)"
cmake --preset native-release -B "$build/native-release" >/dev/null
cmake --build "$build/native-release" -j "$jobs" --target tallowfin-publish
cmake --preset native -B "$build/native" >/dev/null
cmake --build "$build/native" -j "$jobs" --target tallowfin-pecheck

# Collected afresh: a file left from an earlier release must not ship.
step "Collecting $dist/"
rm -rf "$dist"
mkdir -p "$dist"
cp "$build/win32-release/app/TallowfinUpdate.exe" \
   "$build/win32-release/helper/UpdateMgr.exe" \
   "$build/win32-release/publish/tallowfin-publish.exe" \
   "$build/native-release/publish/tallowfin-publish" \
   "$dist/"

step "Checks"
checker=$build/native/tools/pe/tallowfin-pecheck
# The embedded helper is compared with the file the build made, not with the
# copy just taken of it.
"$checker" --helper "$build/win32-release/helper/UpdateMgr.exe" "$dist"

step "Release $("$checker" --project-version)"
level=$(sed -n 's/^TALLOWFIN_EXECUTION_LEVEL:[A-Z]*=//p' "$build/win32-release/CMakeCache.txt")
echo "Execution level of the updater: $level"
keys=$(sed -n 's/^TALLOWFIN_LIST_KEYS:[A-Z]*=//p' "$build/win32-release/CMakeCache.txt")
echo "File lists signed with the keys of: ${keys:-(none: lists are not signed)}"
if [[ -n $keys ]]; then
  floor=$(sed -n 's/^TALLOWFIN_LIST_SERIAL_FLOOR:[A-Z]*=//p' "$build/win32-release/CMakeCache.txt")
  echo "Lowest list serial taken: ${floor:-0}"
  # A fresh installation of this updater would otherwise take any older
  # publication signed with the same keys.
  if [[ ${floor:-0} == 0 ]]; then
    echo "  set it to the served list's serial: make release TALLOWFIN_LIST_SERIAL_FLOOR=\$($dist/tallowfin-publish serial BASE_URL)"
  fi
fi
for file in TallowfinUpdate.exe UpdateMgr.exe tallowfin-publish.exe tallowfin-publish; do
  printf '  %-24s %9d bytes\n' "$file" "$(stat -c %s "$dist/$file")"
done
