#!/usr/bin/env bash
# How fast the download worker fetches 200 MB from a local server under Wine,
# beside curl fetching the same file from the same server in the same run.
# The worker reads 256 KiB at a time (what has arrived of it) and posts its
# progress at most every 30 ms without waiting; the library's own pace in the
# same reads is printed beside it, and what a hand-over costs: under Wine each
# one goes through the Wine server, which no door between threads can avoid.
#
# Run: bench/download-bench.sh   (about a minute)
# Environment: TALLOWFIN_BENCH_BUILD  win64 build directory (default build/win64-tests)
#              TALLOWFIN_BENCH_NATIVE native build directory (default build/native)
#              TALLOWFIN_BENCH_REPEAT passes, best kept (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TALLOWFIN_BENCH_BUILD:-build/win64-tests}
native=${TALLOWFIN_BENCH_NATIVE:-build/native}
repeat=${TALLOWFIN_BENCH_REPEAT:-3}
[[ $build == /* ]] || build=$root/$build
[[ $native == /* ]] || native=$root/$native
serve=$root/bench-out/serve
files=$serve/software/Tallowfin
host=update.tallowfin.example

echo "== Building download_bench.exe and the test server"
[[ -f $native/CMakeCache.txt ]] || cmake --preset native -B "$native" >/dev/null
cmake --build "$native" --target tallowfin-test-server >/dev/null
source "$root/tools/wine-session.sh"
out=$(mktemp)
server_pid=""
cleanup() { [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null; end_session; rm -f "$out" "$out.port"; }
trap cleanup EXIT
begin_session "$build/wineprefix"
[[ -f $build/CMakeCache.txt ]] || cmake --preset win64-tests -B "$build" >/dev/null
cmake --build "$build" --target download_bench >/dev/null

mkdir -p "$files"
[[ $(stat -c %s "$files/big.bin" 2>/dev/null || echo 0) == 209715200 ]] || head -c 209715200 /dev/urandom >"$files/big.bin"
[[ $(stat -c %s "$files/small.bin" 2>/dev/null || echo 0) == 20971520 ]] || head -c 20971520 /dev/urandom >"$files/small.bin"

"$native/tests/tallowfin-test-server" "$serve" >"$out.port" &
server_pid=$!
for _ in $(seq 1 50); do [[ -s $out.port ]] && break; sleep 0.1; done
port=$(head -n1 "$out.port")

echo "== curl, $repeat passes through the same server (as a proxy, like the updater)"
curl_best=0
for _ in $(seq "$repeat"); do
  speed=$(curl -s -o /dev/null -x "http://127.0.0.1:$port" "http://$host/software/Tallowfin/big.bin" -w '%{speed_download}')
  curl_best=$(awk -v a="$curl_best" -v b="$speed" 'BEGIN { print (b / 1e6 > a ? b / 1e6 : a) }')
done

echo "== The worker under Wine, $repeat passes"
http_proxy="http://127.0.0.1:$port" "$WINE" "$build/bench/download_bench.exe" --base "http://$host/software/Tallowfin/" \
  --file big.bin --small small.bin --repeat "$repeat" >"$out" 2>&1 </dev/null || { cat "$out" >&2; exit 1; }
value() { tr -d '\r' <"$out" | awk -v k="$1" '$1 == k { print $2 }'; }

worker=$(value worker_mbps)
door=$(value door_us)
row() { printf '| %-52s | %10s | %-28s |\n' "$@"; }
echo
echo "Fetching 200 MB (209,715,200 bytes) from a local server ($(nproc) cores; best of $repeat; MB = 10^6 bytes)"
row "what" "MB/s" "note"
row "worker, 256 KiB reads, progress posted" "$worker" "$(value events) events"
row "curl (same server, same run)" "$(printf '%.1f' "$curl_best")" "worker / curl = $(awk -v a="$worker" -v b="$curl_best" 'BEGIN { printf "%.3f", a / b }')"
row "the library alone, 256 KiB reads, nothing written" "$(value raw_mbps)" "Wine's internet library"
row "the same, taking only what has arrived" "$(value arrived_mbps)" "$(value arrived_reads) reads"
row "the worker's internet layer alone, one thread" "$(value layer_mbps)" "$(value layer_reads) reads"
echo
echo "One hand-over, median: the worker's door (posted call, condition variable) $door us;"
echo "a sent message $(value send_us) us; posting a progress report costs the worker $(value post_us) us."
echo "Peak working set: $(value peak_working_set_start_kib) KiB at start, $(value peak_working_set_small_kib) KiB after 20 MB," \
  "$(value peak_working_set_kib) KiB after 200 MB (peak pagefile $(value peak_pagefile_small_kib) -> $(value peak_pagefile_kib) KiB)."
