#!/usr/bin/env bash
# Builds all three configurations and runs every test: the portable unit tests
# natively under the sanitizers, the Windows tests under Wine on a private
# display. Ends with CTest's summary; exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

step() { echo; echo "== $*"; }
fail=0

step "Native build (sanitizers)"
cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs" || exit 1

step "32-bit Windows release build, collected and checked as make release does"
cmake --preset win32 >/dev/null && cmake --build --preset win32 -j "$jobs" || exit 1
TALLOWFIN_DIST=build/dist-check tools/release.sh >build/release-check.log 2>&1 || {
  cat build/release-check.log; echo "the release checks failed"; exit 1; }
grep -E "checks, [0-9]+ failed" build/release-check.log

source tools/wine-session.sh
trap end_session EXIT
begin_session "$root/build/win64/wineprefix" || exit 1

step "64-bit Windows build (tests are listed under Wine)"
cmake --preset win64 >/dev/null && cmake --build --preset win64 -j "$jobs" || exit 1

step "Native tests"
(cd build/native && ctest --output-on-failure -j "$jobs" "$@") || fail=1

step "Windows tests under Wine"
(cd build/win64 && ctest --output-on-failure -j "$jobs" "$@") || fail=1

exit $fail
