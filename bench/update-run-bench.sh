#!/usr/bin/env bash
# Whole updater runs fetching and installing 200 MB (list fetch to main
# program started, the progress window shown):
#   plain    the updater without keys (x86-64 build)
#   keyed    the same sources built with list keys, which also fetch the
#            signature, check it, and take the SHA-256 of the download
#   plain32  the shipped i686 build, in a 32-bit prefix, where the machine
#            runs 32-bit programs
# All read the same signed list (an updater without keys ignores what signing
# adds). They take turns; the best of the rounds counts.
# Then a resumed transfer, by each width: the server cuts the 200 MB file
# after 150 MB, the run that met the cut is ended once its pass has failed,
# and the next run asks for the rest. The server counts what it sent.
#
# Run alone: bench/update-run-bench.sh   (a few minutes; bench/run.sh runs it
# for its table). Prints "key value" lines: plain_s, plain_rss_kib, keyed_s,
# keyed_rss_kib, plain32_s, plain32_rss_kib, and for the resumed runs
# resume_cut_bytes, resume_sent_bytes, resume_status, resume_s (and the same
# with resume32_).
# Environment: TALLOWFIN_BENCH_BUILD  win64 build directory (default build/win64-tests)
#              TALLOWFIN_BENCH_NATIVE native build directory (default build/native)
#              TALLOWFIN_BENCH_REPEAT rounds (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=${TALLOWFIN_BENCH_BUILD:-build/win64-tests}
native=${TALLOWFIN_BENCH_NATIVE:-build/native}
repeat=${TALLOWFIN_BENCH_REPEAT:-3}
[[ $win == /* ]] || win=$root/$win
[[ $native == /* ]] || native=$root/$native
release32=$root/build/win32-release
tests32=$root/build/win32-tests
prefix32=$tests32/bench-wineprefix
out=$root/bench-out
serve=$out/serve-dl
files=$serve/software/Tallowfin
big_path=/software/Tallowfin/dl/big.bin
cut_at=157286400  # 150 MiB of the 200 MiB

say() { echo "== $*" >&2; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a ? b : a) }'; }

source "$root/tools/wine-session.sh"
own_session=false
server_pid=""
cut_pid=""
if tools/can-run-32bit.sh && [[ -x /usr/lib/wine/wine ]]; then run32=true; else run32=false; fi
cleanup() {
  [[ -n $server_pid ]] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
  [[ -n $cut_pid ]] && { kill "$cut_pid" 2>/dev/null; wait "$cut_pid" 2>/dev/null || true; }
  # The serial the keyed runs accepted stays out of the prefix the tests use.
  "$WINE" reg delete 'HKCU\Software\Kestal\TallowfinUpdate' /v AcceptedListSerial /f </dev/null >/dev/null 2>&1 || true
  if $own_session; then
    $run32 && { WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -k </dev/null >/dev/null 2>&1 || true; }
    end_session
  fi
}
trap cleanup EXIT
if [[ -z ${WINEPREFIX:-} || -z ${DISPLAY:-} ]]; then
  say "Building"
  cmake --preset native >/dev/null && cmake --build --preset native --target tallowfin-publish tallowfin-test-server >/dev/null
  begin_session "$win/wineprefix" >/dev/null
  own_session=true
  cmake --preset win64-tests >/dev/null
  cmake --build --preset win64-tests --target TallowfinUpdate TallowfinUpdateSigned TallowfinMain >/dev/null
  if $run32; then
    cmake --preset win32-release >/dev/null && cmake --build --preset win32-release --target TallowfinUpdate >/dev/null
    cmake --preset win32-tests >/dev/null && cmake --build --preset win32-tests --target TallowfinMain >/dev/null
    mkdir -p "$prefix32"
    WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -p </dev/null >/dev/null 2>&1 || true
    [[ -f $prefix32/.tallowfin-ready ]] || {
      WINEPREFIX=$prefix32 WINEARCH=win32 /usr/lib/wine/wine wineboot -u </dev/null >/dev/null 2>&1
      touch "$prefix32/.tallowfin-ready"
    }
  fi
fi
loader64=("$WINE")
loader32=(env WINEPREFIX="$prefix32" WINEARCH=win32 /usr/lib/wine/wine)

# The release: one file of 200 MB, served under dl/, and its list signed with
# the tests' key "a", which the keyed updater holds.
mkdir -p "$files/dl"
big=$out/serve/software/Tallowfin/big.bin
[[ $(stat -c %s "$big" 2>/dev/null || echo 0) == 209715200 ]] || { mkdir -p "$(dirname "$big")"; head -c 209715200 /dev/urandom >"$big"; }
ln -f "$big" "$files/dl/big.bin"
rm -f "$files/filelist.xml" "$files/filelist.xml.sig"
"$native/publish/tallowfin-publish" make "$files/dl" -o "$files/filelist.xml" --url-prefix dl \
  --sign "$win/tests/win/keys/a.pem" --public "$win/tests/win/keys/builtin.pem" >/dev/null
# Starts a test server on $serve with the arguments given, its log into $1;
# sets the variable named $2 to its pid and the one named $3 to its address.
start_server() {
  local log=$1 pid_var=$2 address_var=$3; shift 3
  "$native/tests/tallowfin-test-server" "$serve" "$@" >"$log" &
  printf -v "$pid_var" '%s' "$!"
  for _ in $(seq 1 50); do [[ -s $log ]] && break; sleep 0.1; done
  printf -v "$address_var" '%s' "http://127.0.0.1:$(head -n1 "$log")"
}
proxy=""
start_server "$out/dl-port" server_pid proxy

# An installation of each updater, without the file.
kinds="plain keyed"
$run32 && kinds="$kinds plain32"
for kind in $kinds; do
  rm -rf "$out/dl-$kind"
  mkdir -p "$out/dl-$kind"
done
cp "$win/tests/standin/TallowfinMain.exe" "$out/dl-plain/"
cp "$win/tests/standin/TallowfinMain.exe" "$out/dl-keyed/"
cp "$win/app/TallowfinUpdate.exe" "$out/dl-plain/TallowfinUpdate.exe"
cp "$win/tests/win/TallowfinUpdateSigned.exe" "$out/dl-keyed/TallowfinUpdate.exe"
if $run32; then
  cp "$tests32/tests/standin/TallowfinMain.exe" "$out/dl-plain32/"
  cp "$release32/app/TallowfinUpdate.exe" "$out/dl-plain32/TallowfinUpdate.exe"
fi
loader_of() { if [[ $1 == *32 ]]; then echo 32; else echo 64; fi; }
# What the updater keeps per user lives in the prefix; removing it makes the
# next run a first one (no kept list, digests or parts).
forget_kept() {
  local prefix=$WINEPREFIX
  [[ $(loader_of "$1") == 32 ]] && prefix=$prefix32
  rm -rf "$prefix"/drive_c/users/*/AppData/Local/Kestal/Tallowfin/Update
}

# One run of kind $1 through proxy $2; prints its seconds, its peak memory
# into its folder's .rss file.
run() {
  local kind=$1 via=$2 dir=$out/dl-$1 start end
  local -a loader=("${loader64[@]}")
  [[ $(loader_of "$kind") == 32 ]] && loader=("${loader32[@]}")
  rm -f "$dir/big.bin" "$dir/TallowfinMain.log"
  start=$(date +%s.%N)
  (cd "$dir" && http_proxy=$via timeout 600 /usr/bin/time -f "%M" -o "$dir.rss" "${loader[@]}" TallowfinUpdate.exe \
     >/dev/null 2>&1 </dev/null) || { echo "the run in $dir did not end normally" >&2; return 1; }
  end=$(date +%s.%N)
  cmp -s "$dir/big.bin" "$big" || { echo "the run in $dir did not install the file" >&2; return 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

plain_s="" keyed_s="" plain32_s=""
for round in $(seq "$repeat"); do
  for kind in $kinds; do
    forget_kept "$kind"
    took=$(run "$kind" "$proxy") || exit 1
    best=${kind}_s
    printf -v "$best" '%s' "$(min "${!best}" "$took")"
  done
  say "round $round: without keys $plain_s s, with keys $keyed_s s$($run32 && echo ", i686 $plain32_s s")"
done
echo "plain_s $plain_s"
echo "plain_rss_kib $(cat "$out/dl-plain.rss")"
echo "keyed_s $keyed_s"
echo "keyed_rss_kib $(cat "$out/dl-keyed.rss")"
if $run32; then
  echo "plain32_s $plain32_s"
  echo "plain32_rss_kib $(cat "$out/dl-plain32.rss")"
fi

# A transfer cut after 150 MB, then resumed by the next run of the same
# updater ($1: plain or plain32). Prints "<key prefix>_..." lines.
resume() {
  local kind=$1 key=$2 dir=$out/dl-$1 log=$out/dl-cut.log via=""
  local -a loader=("${loader64[@]}")
  [[ $(loader_of "$kind") == 32 ]] && loader=("${loader32[@]}")
  forget_kept "$kind"
  rm -f "$dir/big.bin" "$dir/TallowfinMain.log"
  start_server "$log" cut_pid via --cut-once "$big_path=$cut_at"
  # The run that meets the cut fails its pass and waits in the notification
  # area; it is ended once the server has sent its answer and the pass is over.
  (cd "$dir" && http_proxy=$via exec "${loader[@]}" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) &
  local first=$!
  for _ in $(seq 1 600); do grep -q "^answer .* $big_path\$" "$log" && break; sleep 0.2; done
  sleep 2
  kill -KILL "$first" 2>/dev/null || true
  wait "$first" 2>/dev/null || true
  local cut_bytes part
  cut_bytes=$(awk -v p="$big_path" '$1 == "answer" && $4 == p { print $3; exit }' "$log")
  part=$(find "$([[ $(loader_of "$kind") == 32 ]] && echo "$prefix32" || echo "$WINEPREFIX")/drive_c/users" \
    -path '*Kestal/Tallowfin/Update/*/parts/*.part' -printf '%s\n' 2>/dev/null | head -n1)
  local start end
  start=$(date +%s.%N)
  (cd "$dir" && http_proxy=$via timeout 600 "${loader[@]}" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) ||
    { echo "the resumed run in $dir did not end normally" >&2; return 1; }
  end=$(date +%s.%N)
  cmp -s "$dir/big.bin" "$big" || { echo "the resumed run in $dir did not install the file" >&2; return 1; }
  sleep 0.5  # the answer's line is written once the connection is done
  echo "${key}_cut_bytes $cut_bytes"
  echo "${key}_part_bytes ${part:-0}"
  awk -v p="$big_path" -v k="$key" '$1 == "answer" && $4 == p { n++; if (n == 2) { print k "_sent_bytes " $3; print k "_status " $2 } }' "$log"
  awk -v a="$start" -v b="$end" -v k="$key" 'BEGIN { printf "%s_s %.2f\n", k, b - a }'
  kill "$cut_pid" 2>/dev/null; wait "$cut_pid" 2>/dev/null || true
  cut_pid=""
}
say "A transfer cut after 150 MB, resumed by the next run"
resume plain resume || exit 1
if $run32; then resume plain32 resume32 || exit 1; fi
