#!/usr/bin/env bash
# make bench: the updater's figures, each measured in the same run as the
# reference it is set beside, printed as one table (Markdown).
#
#   MD5 over about 1 GB in 1,000 files      vs openssl md5
#   a whole no-change run over them          vs md5sum over the same files
#   a download pass of 200 MB                vs curl from the same server
#   reading a list of 10,000 matching files
#   peak memory, and the release executables' sizes
#
# Each row is the best of TALLOWFIN_BENCH_REPEAT rounds (default 3), the
# programs taking turns so that none is favoured by a quiet moment. Files are
# read from the page cache: the figures are of the programs, not the disk.
# The data lives in bench-out/ and is reused by later runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
repeat=${TALLOWFIN_BENCH_REPEAT:-3}
win=$root/build/win64
native=$root/build/native
out=$root/bench-out
data=$out/hash-data
host=update.tallowfin.example

step() { echo "== $*" >&2; }
seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a ? b : a) }'; }
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b > a ? b : a) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
value() { tr -d '\r' <"$2" | awk -v k="$1" '$1 == k { print $2 }' | tail -n1; }

step "Building"
cmake --preset native >/dev/null && cmake --build --preset native --target tallowfin-publish tallowfin-test-server >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target TallowfinUpdate tallowfin-publish >/dev/null
source tools/wine-session.sh
server_pid=""
cleanup() { [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null; end_session; }
trap cleanup EXIT
begin_session "$win/wineprefix" >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target TallowfinUpdate TallowfinMain hash_bench download_bench list_bench >/dev/null

# ---- The installation: about 1 GB in 1,000 files (shared with hash-bench.sh) ---
if [[ ! -f $data.complete ]]; then
  step "Creating 1,000 files, about 1 GiB, in $data"
  rm -rf "$data"; mkdir -p "$data"
  awk -v n=1000 -v total=$((1 << 30)) 'BEGIN {
      srand(20240611); lo = log(256); hi = log(16 * 1024 * 1024)
      for (i = 0; i < n; i++) { s[i] = exp(lo + rand() * (hi - lo)); sum += s[i] }
      for (i = 0; i < n; i++) printf "%d %d\n", i, int(s[i] * total / sum) + 1 }' |
    while read -r i size; do
      dir=$data/dir$((i % 10))/sub$((i % 7)); mkdir -p "$dir"; head -c "$size" /dev/urandom >"$dir/file$i.bin"
    done
  touch "$data.complete"
fi
# Every folder holds a file of its own: the updater creates folders one level
# at a time, so a folder of folders could not be published.
for d in "$data"/dir*; do [[ -f $d/index.txt ]] || echo "${d##*/}" >"$d/index.txt"; done
bytes=$(find "$data" -type f -name '*.bin' -printf '%s\n' | awk '{ t += $1 } END { printf "%d", t }')
files=$(find "$data" -type f -name '*.bin' | wc -l)
find "$data" -type f -print0 | xargs -0 cat >/dev/null  # into the page cache

# The installed product around the data: the updater and the main program's
# stand-in beside it, and the list of everything, as the publishing tool makes it.
rm -f "$data/TallowfinMain.log"
cp "$win/app/TallowfinUpdate.exe" "$win/tests/standin/TallowfinMain.exe" "$data/"
served=$out/serve
mkdir -p "$served/software/Tallowfin"
"$native/publish/tallowfin-publish" make "$data" -o "$served/software/Tallowfin/filelist.xml" >/dev/null
[[ -f $served/software/Tallowfin/big.bin ]] || head -c 209715200 /dev/urandom >"$served/software/Tallowfin/big.bin"
"$native/tests/tallowfin-test-server" "$served" >"$out/port" &
server_pid=$!
for _ in $(seq 1 50); do [[ -s $out/port ]] && break; sleep 0.1; done
proxy="http://127.0.0.1:$(head -n1 "$out/port")"

# ---- Rounds -------------------------------------------------------------------
step "$repeat rounds"
hash_mbps="" openssl_s="" noop_s="" md5sum_s="" worker_mbps="" curl_mbps="" list_s=""
for round in $(seq "$repeat"); do
  # MD5 through the updater's own code, and openssl over the same files.
  "$WINE" "$win/bench/hash_bench.exe" --repeat 1 --memory-mb 0 "Z:$data" >"$out/hash.txt" 2>&1 </dev/null
  hash_mbps=$(max "$hash_mbps" "$(value files_mbps "$out/hash.txt")")
  openssl_s=$(min "$openssl_s" "$(seconds_of sh -c "find '$data' -type f -name '*.bin' -print0 | xargs -0 openssl md5")")

  # A whole run that finds nothing to do, from the list's request arriving
  # at the server to the main program's first line in its log: 1,000
  # digests between them. Its peak memory from the system's accounting.
  rm -f "$data/TallowfinMain.log"
  (cd "$data" && http_proxy=$proxy timeout 300 /usr/bin/time -f "%M" -o "$out/noop.rss" "$WINE" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) \
    || { echo "the no-change run did not end normally" >&2; exit 1; }
  for _ in $(seq 1 200); do [[ -s $data/TallowfinMain.log ]] && break; sleep 0.05; done
  start=$(awk '$2 == "/software/Tallowfin/filelist.xml" { t = $1 } END { print t }' "$out/port")
  end=$(stat -c %.9Y "$data/TallowfinMain.log")
  noop_s=$(min "$noop_s" "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
  noop_rss=$(cat "$out/noop.rss")
  # md5sum over the same files the run compares.
  md5sum_s=$(min "$md5sum_s" "$(seconds_of sh -c "find '$data' -type f ! -name TallowfinMain.log -print0 | xargs -0 md5sum")")

  # 200 MB through the worker, the main thread moving a progress bar for
  # every 4 KiB as the controller does; curl from the same server.
  http_proxy=$proxy "$WINE" "$win/bench/download_bench.exe" --base "http://$host/software/Tallowfin/" \
    --file big.bin --repeat 1 --round-trips 2000 >"$out/download.txt" 2>&1 </dev/null
  worker_mbps=$(max "$worker_mbps" "$(value worker_mbps "$out/download.txt")")
  curl_mbps=$(max "$curl_mbps" "$(curl -s -o /dev/null -x "$proxy" "http://$host/software/Tallowfin/big.bin" \
    -w '%{speed_download}' | awk '{ printf "%.1f", $1 / 1e6 }')")

  # A list of 10,000 entries whose files all match.
  mkdir -p "$out/list-data"
  "$WINE" "$win/bench/list_bench.exe" "Z:$out/list-data" --repeat 1 >"$out/list.txt" 2>&1 </dev/null
  list_s=$(min "$list_s" "$(value seconds "$out/list.txt")")
  echo "   round $round: md5 $hash_mbps MB/s, no-change run $noop_s s, worker $worker_mbps MB/s, list $list_s s" >&2
done

# The updater's own memory in a download pass: a real run fetching 200 MB.
step "A download pass of 200 MB by the updater itself"
dl=$out/download-install
rm -rf "$dl" "$out/serve-dl"
mkdir -p "$dl" "$out/serve-dl/software/Tallowfin/dl"
cp "$win/app/TallowfinUpdate.exe" "$win/tests/standin/TallowfinMain.exe" "$dl/"
ln -f "$served/software/Tallowfin/big.bin" "$out/serve-dl/software/Tallowfin/dl/big.bin"
printf '<?xml version="1.0"?>\n<filelist><file><path>%%PROGRAM%%</path><name>big.bin</name><hash>%s</hash><downurl>dl/big.bin</downurl></file></filelist>\n' \
  "$(md5sum <"$served/software/Tallowfin/big.bin" | cut -c1-32)" >"$out/serve-dl/software/Tallowfin/filelist.xml"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true
"$native/tests/tallowfin-test-server" "$out/serve-dl" >"$out/port" &
server_pid=$!
for _ in $(seq 1 50); do [[ -s $out/port ]] && break; sleep 0.1; done
proxy="http://127.0.0.1:$(head -n1 "$out/port")"
start=$(date +%s.%N)
(cd "$dl" && http_proxy=$proxy timeout 600 /usr/bin/time -f "%M" -o "$out/dl.rss" "$WINE" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) \
    || { echo "the download run did not end normally" >&2; exit 1; }
end=$(date +%s.%N)
dl_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
dl_rss=$(cat "$out/dl.rss")
cmp -s "$dl/big.bin" "$served/software/Tallowfin/big.bin" || { echo "the updater's download differs" >&2; exit 1; }

openssl_mbps=$(awk -v b="$bytes" -v s="$openssl_s" 'BEGIN { printf "%.1f", b / 1e6 / s }')
size() { stat -c %s "$1" | awk '{ printf "%\047d", $1 }'; }

echo
echo "Measured on $(date +%Y-%m-%d), $(nproc) cores, $(awk -F: '/model name/ { sub(/^ /, "", $2); print $2; exit }' /proc/cpuinfo)," \
  "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); Windows programs under $(/usr/lib/wine/wine64 --version)." \
  "Best of $repeat rounds; MB = 10^6 bytes."
echo
echo "| measure | updater | reference | ratio | updater's peak memory |"
echo "|---|---|---|---|---|"
echo "| MD5 over $files files, $((bytes / 1000000)) MB | $hash_mbps MB/s | openssl md5: $openssl_mbps MB/s | $(ratio "$hash_mbps" "$openssl_mbps") (goal >= 0.9) | $(value peak_working_set_kib "$out/hash.txt") KiB working set |"
echo "| whole no-change run over them (list fetch to main program started) | $noop_s s | md5sum: $md5sum_s s | $(ratio "$noop_s" "$md5sum_s") (goal <= 1.2) | $noop_rss KiB RSS |"
echo "| download pass, 200 MB, worker with a progress event per 4 KiB | $worker_mbps MB/s | curl: $curl_mbps MB/s | $(ratio "$worker_mbps" "$curl_mbps") | $(value peak_working_set_kib "$out/download.txt") KiB working set |"
dl_mbps=$(awk -v s="$dl_s" 'BEGIN { printf "%.1f", 209.7152 / s }')
echo "| a whole run of the updater fetching and installing 200 MB (window shown) | $dl_mbps MB/s ($dl_s s) | curl: $curl_mbps MB/s | $(ratio "$dl_mbps" "$curl_mbps") | $dl_rss KiB RSS |"
echo "| reading a list of 10,000 entries whose files all match | $list_s s | | | $(value peak_working_set_kib "$out/list.txt") KiB working set |"
echo "| one hand-over to the main thread | $(value door_us "$out/download.txt") us | sent message: $(value send_us "$out/download.txt") us | | |"
echo
echo "32-bit release executables: TallowfinUpdate.exe $(size build/win32/app/TallowfinUpdate.exe) bytes" \
  "(UpdateMgr.exe inside it, $(size build/win32/helper/UpdateMgr.exe) bytes), tallowfin-publish.exe $(size build/win32/publish/tallowfin-publish.exe) bytes."
