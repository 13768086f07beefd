#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each for a bounded
# time, then prints one line of figures per target. A benchmark-style run, not
# a test: it is not part of "make test".
#
#   FUZZ_SECONDS=N     seconds per target (default 60)
#   FUZZ_TARGETS="a b" run only these targets (default: all)
#   FUZZ_MERGE=1       add the inputs that found new coverage, minimised as a
#                      set, to the seed corpus in fuzz/corpus (to be committed)
#   FUZZ_BUILD_DIR=d   build directory (default build/fuzz)
#
# Each target starts from its seeds in fuzz/corpus/<target>, copied into a
# scratch corpus in the build directory so the run leaves the repository as it
# was. Inputs that crash are kept in <build>/crashes; the exit status is 1 when
# there is any, 2 when the build fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
[[ $build == /* ]] || build=$root/$build

# --- what the build needs
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
if ! command -v clang++ >/dev/null 2>&1; then
  missing+=(clang libclang-rt-14-dev)
else
  major=$(clang++ -dumpversion | cut -d. -f1)
  [[ -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]] || missing+=("libclang-rt-$major-dev")
fi
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q && $sudo apt-get install -y -q "${missing[@]}" || exit 2
fi

# --- build
echo "== Building the fuzz targets in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTALLOWFIN_FUZZ=ON -DTALLOWFIN_TESTS=OFF >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 2; }
cmake --build "$build" --target fuzz_targets -j "$(nproc)" >"$build/build.log" 2>&1 \
  || { tail -n 60 "$build/build.log"; exit 2; }

IFS=';' read -r -a targets <"$build/fuzz/fuzz_targets.txt"
if [[ -n ${FUZZ_TARGETS:-} ]]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
fi

crashes_dir=$build/crashes
logs=$build/logs
rm -rf "$build/tmp"
mkdir -p "$crashes_dir" "$logs" "$build/tmp"
# The targets that need files make their folders here, and a crashed run
# leaves them behind.
export TMPDIR=$build/tmp
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# One of libFuzzer's final figures ("stat::NAME:  value") from a log.
figure() { awk -v key="stat::$1:" '$1 == key { value = $2 } END { print value }' "$log"; }

rows=()
found=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  [[ -x $binary ]] || { echo "no fuzz target $target" >&2; exit 2; }
  seeds=$root/fuzz/corpus/$target
  work=$build/corpus/$target
  rm -rf "$work"
  mkdir -p "$work" "$seeds"
  cp -a "$seeds/." "$work/"
  before=$(find "$work" -type f | wc -l)
  rm -f "$crashes_dir/$target"-*

  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048
           -artifact_prefix="$crashes_dir/$target-")
  [[ -f $root/fuzz/dict/$target.dict ]] && options+=(-dict="$root/fuzz/dict/$target.dict")

  echo "== $target: $seconds s from $before seeds"
  "$binary" "${options[@]}" "$work" >"$logs/$target.log" 2>&1
  status=$?

  log=$logs/$target.log
  executions=$(figure number_of_executed_units)
  rate=$(figure average_exec_per_sec)
  added=$(figure new_units_added)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n1 | awk '{print $2 "/" $4}')
  crashes=$(find "$crashes_dir" -maxdepth 1 -type f -name "$target-*" | wc -l)
  if [[ $crashes -eq 0 && $status -ne 0 ]]; then
    # A failure that left no input behind (the runtime itself, a bad option).
    crashes="?(exit $status)"
  fi
  if [[ $crashes != 0 ]]; then
    found=1
    grep -m1 -E 'property broken|ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' "$log" \
      | sed "s/^/   $target: /"
    grep -A2 -m1 'property broken' "$log" | tail -n2 | sed "s/^/   $target: /"
  fi

  if [[ ${FUZZ_MERGE:-0} == 1 && $crashes == 0 ]]; then
    count_before=$(find "$seeds" -type f | wc -l)
    "$binary" -merge=1 -timeout=20 -rss_limit_mb=2048 "$seeds" "$work" >"$logs/$target.merge.log" 2>&1
    echo "   merged $(($(find "$seeds" -type f | wc -l) - count_before)) inputs into fuzz/corpus/$target"
  fi
  rows+=("$target|${executions:-0}|${rate:-0}|${coverage:-?}|${added:-0}|$crashes")
done

echo
printf '%-22s %12s %9s %14s %12s %8s\n' target executions exec/s cov/ft "new corpus" crashes
for row in "${rows[@]}"; do
  IFS='|' read -r t e r c n x <<<"$row"
  printf '%-22s %12s %9s %14s %12s %8s\n' "$t" "$e" "$r" "$c" "$n" "$x"
done
echo
echo "$seconds s per target; logs in $logs"
if [[ $found -ne 0 ]]; then
  echo "Crash inputs in $crashes_dir; reproduce one with: $build/fuzz/TARGET FILE"
  exit 1
fi
