#!/usr/bin/env bash
# How fast the updater hashes an installation, against openssl md5 and md5sum
# over the same files on the same machine: builds hash_bench.exe, makes (once)
# a folder of about 1 GB in 1,000 files of varied sizes, checks that every
# digest agrees with md5sum's, and prints a table. Each figure is the best of
# several passes over files already in the page cache, so it measures hashing
# and the file layer, not the disk.
#
# Run: bench/hash-bench.sh    (about 4 minutes; the folder takes a minute more the first time)
#
# Environment: TALLOWFIN_BENCH_BUILD  build directory (default build/win64-tests)
#              TALLOWFIN_BENCH_DATA   the scratch installation (default bench-out/hash-data)
#              TALLOWFIN_BENCH_REPEAT rounds, and passes per read size (default 7)
#              TALLOWFIN_BENCH_CHUNKS read sizes in KiB to compare (default 16,32,...,1024)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TALLOWFIN_BENCH_BUILD:-build/win64-tests}
data=${TALLOWFIN_BENCH_DATA:-bench-out/hash-data}
repeat=${TALLOWFIN_BENCH_REPEAT:-7}
chunks=${TALLOWFIN_BENCH_CHUNKS:-16,32,64,128,256,512,1024}
[[ $build == /* ]] || build=$root/$build
[[ $data == /* ]] || data=$root/$data
files=1000
target_bytes=$((1 << 30))

echo "== Building hash_bench.exe in $build"
[[ -f $build/CMakeCache.txt ]] || cmake --preset win64-tests -B "$build" >/dev/null
cmake --build "$build" --target hash_bench >/dev/null
exe=$build/bench/hash_bench.exe

# Sizes spread evenly on a log scale from 256 bytes to 16 MiB, then scaled to
# the target total: mostly small files and a few large ones, as in a real
# installation. Fixed seed, so the folder is the same on every machine.
make_data() {
  echo "== Creating $files files, about $((target_bytes >> 20)) MiB, in $data"
  rm -rf "$data" "$data.complete"
  mkdir -p "$data"
  awk -v n="$files" -v total="$target_bytes" 'BEGIN {
      srand(20240611)
      lo = log(256); hi = log(16 * 1024 * 1024)
      for (i = 0; i < n; i++) { s[i] = exp(lo + rand() * (hi - lo)); sum += s[i] }
      for (i = 0; i < n; i++) printf "%d %d\n", i, int(s[i] * total / sum) + 1
    }' | while read -r i size; do
      dir=$data/dir$((i % 10))/sub$((i % 7))
      mkdir -p "$dir"
      head -c "$size" /dev/urandom >"$dir/file$i.bin"
    done
  touch "$data.complete"
}
[[ -f $data.complete ]] || make_data
list=$(mktemp)
digests=$(mktemp)
out=$(mktemp)
trap 'rm -f "$list" "$digests" "$digests.wine" "$digests.sorted" "$out"' EXIT
(cd "$data" && find . -type f -name '*.bin' -print0 | sort -z) >"$list"
count=$(tr -cd '\0' <"$list" | wc -c)
bytes=$(cd "$data" && xargs -0 stat -c %s <"$list" | awk '{ t += $1 } END { printf "%d", t }')
echo "   $count files, $bytes bytes"
(cd "$data" && xargs -0 cat <"$list" >/dev/null)  # into the page cache

seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }'
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a ? b : a) }'; }
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b > a ? b : a) }'; }
mbps() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
# Peak resident memory in KiB of one run of a command.
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n1; }
# Windows text output ends its lines with CR LF.
value() { tr -d '\r' <"$2" | awk -v k="$1" '$1 == k { print $2 }'; }

run_openssl() { (cd "$data" && xargs -0 openssl md5 <"$list" >/dev/null); }
run_md5sum() { (cd "$data" && xargs -0 md5sum <"$list" >"$digests"); }
# Output through a file: Wine's background processes can hold a pipe open.
run_hash_bench() { "$WINE" "$exe" "$@" "Z:$data" >"$out" 2>&1 </dev/null || { cat "$out" >&2; exit 1; }; }

source "$root/tools/wine-session.sh"
trap 'end_session; rm -f "$list" "$digests" "$digests.wine" "$digests.sorted" "$out"' EXIT
begin_session "$build/wineprefix"

# The machine is shared, so its load comes and goes: the three programs take
# turns, round after round, and each keeps its best, so that none of them is
# favoured by a quiet moment the others did not get.
echo "== $repeat rounds of openssl md5, md5sum, hash_bench.exe under Wine and openssl speed"
openssl_s="" md5sum_s="" files_mbps="" memory_mbps="" speed_mbps=""
for round in $(seq "$repeat"); do
  openssl_s=$(min "$openssl_s" "$(seconds_of run_openssl)")
  md5sum_s=$(min "$md5sum_s" "$(seconds_of run_md5sum)")
  if [[ $round == 1 ]]; then
    run_hash_bench --repeat 1 --digests "Z:$digests.wine"
    ws_before=$(value peak_working_set_before_kib "$out")
    ws=$(value peak_working_set_kib "$out")
    pf_before=$(value peak_pagefile_before_kib "$out")
    pf=$(value peak_pagefile_kib "$out")
  else
    run_hash_bench --repeat 1
  fi
  files_mbps=$(max "$files_mbps" "$(value files_mbps "$out")")
  memory_mbps=$(max "$memory_mbps" "$(value memory_mbps "$out")")
  # openssl's own figure for hashing in memory, to set beside Md5::Update's.
  speed_mbps=$(max "$speed_mbps" "$(openssl speed -evp md5 -bytes 16384 -seconds 1 2>/dev/null |
    awk '$1 == "md5" { sub(/k$/, "", $2); printf "%.1f", $2 / 1000 }')")
  echo "   round $round, best so far in MB/s: files: openssl $(mbps "$openssl_s"), md5sum $(mbps "$md5sum_s")," \
    "hash_bench $files_mbps; memory: hash_bench $memory_mbps, openssl $speed_mbps"
done
openssl_peak=$( (cd "$data" && peak_kib xargs -0 -a "$list" openssl md5) || echo "?")
md5sum_peak=$( (cd "$data" && peak_kib xargs -0 -a "$list" md5sum) || echo "?")

echo "== Read sizes: hash_bench.exe"
run_hash_bench --repeat "$repeat" --chunks "$chunks" --memory-mb 0
end_session
tr -d '\r' <"$out" | sed 's/^/   /'

# md5sum writes "./dir0/..." for the names it was given; hash_bench writes
# paths relative to the folder.
sed 's#  \./#  #' "$digests" | sort >"$digests.sorted"
if ! sort "$digests.wine" | cmp -s - "$digests.sorted"; then
  echo "hash_bench's digests differ from md5sum's:" >&2
  sort "$digests.wine" | diff - "$digests.sorted" | head >&2
  exit 1
fi
echo "   all $count digests agree with md5sum"

openssl_mbps=$(mbps "$openssl_s")
md5sum_mbps=$(mbps "$md5sum_s")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '| %-40s | %7s | %10s | %-40s |\n' "$@"; }

echo
echo "Hashing $count files, $bytes bytes ($(nproc) cores; best of $repeat rounds; MB = 10^6 bytes)"
row "over the files" "MB/s" "vs openssl" "peak memory"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..42})" "$(printf -- '-%.0s' {1..9})" \
  "$(printf -- '-%.0s' {1..12})" "$(printf -- '-%.0s' {1..42})"
row "updater, FileDigestText under Wine" "$files_mbps" "$(ratio "$files_mbps" "$openssl_mbps")" \
  "WS $ws KiB (+$((ws - ws_before))), PF $pf KiB (+$((pf - pf_before)))"
row "openssl md5 $(openssl version | awk '{ print $2 }')" "$openssl_mbps" "1.00" "RSS $openssl_peak KiB"
row "md5sum" "$md5sum_mbps" "$(ratio "$md5sum_mbps" "$openssl_mbps")" "RSS $md5sum_peak KiB"
row "in memory" "" "" ""
row "updater, Md5::Update of 256 MB, Wine" "$memory_mbps" "$(ratio "$memory_mbps" "$speed_mbps")" ""
row "openssl speed -evp md5, 16 KiB blocks" "$speed_mbps" "1.00" ""
echo
echo "WS: peak working set, PF: peak pagefile usage (GetProcessMemoryInfo), in brackets the rise"
echo "while hashing; RSS: maximum resident set (/usr/bin/time)."
echo "FileDigestText by read size (KiB: MB/s):$(tr -d '\r' <"$out" | awk '$1 == "chunk_kib" { printf " %s: %s", $2, $4 }')"
