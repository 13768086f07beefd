#!/usr/bin/env bash
# Builds the configurations and runs every test: the portable unit tests
# natively under the sanitizers, the Windows tests under Wine on a private
# display: against the x86-64 build always, and a second time against the i686
# build (the architecture that ships) wherever this machine can run 32-bit
# programs. Ends with CTest's summary of each run and the architectures that
# ran; exits non-zero when anything fails.
#
# Arguments are passed to every ctest run (for example -R InstallTest).
# TALLOWFIN_TEST_RUNS picks runs among "native win64 win32" (default: all of
# them that this machine can run); asking for win32 where 32-bit programs cannot
# run is an error.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

started=$SECONDS
step() { echo; echo "== $* (at $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s)"; }
fail=0

if tools/can-run-32bit.sh; then can32=true; else can32=false; fi
runs=${TALLOWFIN_TEST_RUNS:-native win64 win32}
want() { [[ " $runs " == *" $1 "* ]]; }
if want win32 && ! $can32; then
  if [[ -n ${TALLOWFIN_TEST_RUNS:-} ]]; then
    echo "The 32-bit tests cannot run here: this machine cannot execute 32-bit programs." >&2
    exit 1
  fi
  runs=${runs/win32/}
fi

# Logs of an earlier run must not stand in for a run that failed to build.
mkdir -p build && rm -f build/native-ctest.log build/win64-tests-ctest.log build/win32-tests-ctest.log

step "Native build (sanitizers)"
cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs" || exit 1

step "32-bit Windows release build, collected and checked as make release does"
cmake --preset win32-release >/dev/null && cmake --build --preset win32-release -j "$jobs" || exit 1
TALLOWFIN_DIST=build/dist-check tools/release.sh >build/release-check.log 2>&1 || {
  cat build/release-check.log; echo "the release checks failed"; exit 1; }
grep -E "checks, [0-9]+ failed" build/release-check.log
$can32 || echo "The i686 build was built and inspected but not run: this machine cannot execute 32-bit programs."

source tools/wine-session.sh

# name of the run | what ran, for the last line
ran=()
summaries=()
# ctest in a build directory, its output kept for the summary at the end.
run_ctest() {
  local name=$1 dir=$2; shift 2
  local log=$root/build/$name-ctest.log
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# One Windows run: its build, then its tests, in a Wine session of its own
# (a prefix, a server and an X display), so that two runs can go side by side.
run_windows() {
  local bits=$1; shift
  local preset=win$bits-tests
  trap end_session EXIT
  begin_session "$root/build/$preset/wineprefix" "$bits" || return 1
  step "$bits-bit Windows build with the tests ($preset; tests are listed under Wine)"
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" || return 1
  step "Windows tests under Wine, $([[ $bits == 64 ]] && echo x86-64 build, 64-bit loader || echo i686 build, 32-bit prefix and loader)"
  run_ctest "$preset" "build/$preset" "$@"
}

if want native; then
  step "Native tests"
  run_ctest native build/native "$@" || fail=1
  summaries+=("native")
  ran+=("native x86-64 (Linux, sanitizers)")
fi

# The i686 run goes beside the x86-64 one: each spends most of its time
# waiting for Wine to start programs and for the tests' deadlines, so the two
# together take little longer than one (measured: see the README). Its output
# is shown once it is done.
pid32=""
if want win32; then
  (run_windows 32 "$@") >"$root/build/win32-run.log" 2>&1 &
  pid32=$!
fi
if want win64; then
  (run_windows 64 "$@") || fail=1
  summaries+=("win64-tests")
  ran+=("Windows x86-64 (Wine, 64-bit)")
fi
if [[ -n $pid32 ]]; then
  wait "$pid32" || fail=1
  step "The i686 run (beside the x86-64 one)"
  cat "$root/build/win32-run.log"
  summaries+=("win32-tests")
  ran+=("Windows i686 (Wine, 32-bit prefix)")
fi

step "Summary"
for name in "${summaries[@]}"; do
  echo "-- $name"
  # CTest's own summary: the pass rate, the tests that failed, the time.
  log=$root/build/$name-ctest.log
  if [[ -f $log ]]; then sed -n '/tests passed, /,$p' "$log"; else echo "no tests ran (the build failed)"; fi
done
echo
joined=$(printf '%s, ' "${ran[@]}")
echo "Architectures run: ${joined%, }$($can32 || echo "; i686 built and inspected only (no 32-bit programs on this machine)")"
exit $fail
