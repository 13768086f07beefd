#!/usr/bin/env bash
# make bench: the updater's figures, each measured in the same run as the
# reference it is set beside, printed as one table (Markdown).
#
#   MD5 over about 1 GB in 1,000 files      vs openssl md5; also through the
#                                            hashing pool, a thread per processor
#   a whole no-change run over them          vs md5sum over the same files: with
#                                            nothing kept (a first run), then with
#                                            the digest cache and the kept list of
#                                            the run before; also by the shipped
#                                            i686 build, in a 32-bit prefix, where
#                                            32-bit programs run
#   the same run over a one-file list        what a run costs whatever the files
#   a download pass of 200 MB                vs curl from the same server; also
#                                            by the i686 build where it runs
#   a whole run installing 200 MB            vs curl; and by the updater built
#                                            with list keys vs the same run
#                                            without, and by the i686 build
#                                            (bench/update-run-bench.sh)
#   a 200 MB transfer cut after 150 MB, resumed by the next run: the bytes
#                                            the server sent for the rest, by
#                                            each build
#   reading a list of 10,000 matching files, without and with the digest cache
#   bytes nginx sends for a start with nothing changed, 10,000-entry list,
#                                            vs the start that fetches it whole
#   peak memory, and the release executables' sizes
#   binary patches: the patch of the shipped TallowfinUpdate.exe between two
#                                            commits vs the file; applying a
#                                            48 MiB patch under Wine vs copying
#                                            the result (bench/patch-bench.sh)
#
# Each row is the best of TALLOWFIN_BENCH_REPEAT rounds (default 3), the
# programs taking turns so that none is favoured by a quiet moment. Files are
# read from the page cache: the figures are of the programs, not the disk.
# The data lives in bench-out/ and is reused by later runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
repeat=${TALLOWFIN_BENCH_REPEAT:-3}
win=$root/build/win64-tests
release32=$root/build/win32-release
tests32=$root/build/win32-tests
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
cmake --preset win32-release >/dev/null && cmake --build --preset win32-release --target TallowfinUpdate tallowfin-publish >/dev/null
# The shipped i686 build runs too where the machine runs 32-bit programs: in a
# 32-bit prefix of its own beside the session's, with the i686 stand-in.
if tools/can-run-32bit.sh && [[ -x /usr/lib/wine/wine ]]; then run32=true; else run32=false; fi
prefix32=$tests32/bench-wineprefix
wine32() { WINEPREFIX=$prefix32 WINEARCH=win32 /usr/lib/wine/wine "$@"; }
source tools/wine-session.sh
server_pid=""
floor_pid=""
nginx_pid=""
cleanup() {
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
  [[ -n $floor_pid ]] && kill "$floor_pid" 2>/dev/null
  [[ -n $nginx_pid ]] && { kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; }
  $run32 && { WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -k </dev/null >/dev/null 2>&1 || true; }
  end_session
}
trap cleanup EXIT
begin_session "$win/wineprefix" >/dev/null
cmake --preset win64-tests >/dev/null
cmake --build --preset win64-tests --target TallowfinUpdate TallowfinUpdateSigned TallowfinMain hash_bench download_bench list_bench install_bench >/dev/null
if $run32; then
  cmake --preset win32-tests >/dev/null && cmake --build --preset win32-tests --target TallowfinMain download_bench >/dev/null
  mkdir -p "$prefix32"
  WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -p </dev/null >/dev/null 2>&1 || true
  [[ -f $prefix32/.tallowfin-ready ]] || { wine32 wineboot -u </dev/null >/dev/null 2>&1; touch "$prefix32/.tallowfin-ready"; }
fi

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

# The installed product around the data: the list of the data, as the publishing
# tool makes it, then the updater and the main program's stand-in beside the
# data (left out of the list, so that the builds of either width read the same
# list and find nothing to do).
rm -f "$data/TallowfinMain.log" "$data/TallowfinUpdate.exe" "$data/TallowfinMain.exe"
served=$out/serve
mkdir -p "$served/software/Tallowfin"
"$native/publish/tallowfin-publish" make "$data" -o "$served/software/Tallowfin/filelist.xml" >/dev/null
cp "$win/app/TallowfinUpdate.exe" "$win/tests/standin/TallowfinMain.exe" "$data/"
# The same files for the i686 build: hard links, so both read the same pages.
install32=$out/install32
if $run32; then
  rm -rf "$install32"
  cp -al "$data" "$install32"
  rm -f "$install32/TallowfinUpdate.exe" "$install32/TallowfinMain.exe"  # links to the x86-64 builds
  cp "$release32/app/TallowfinUpdate.exe" "$tests32/tests/standin/TallowfinMain.exe" "$install32/"
fi
[[ -f $served/software/Tallowfin/big.bin ]] || head -c 209715200 /dev/urandom >"$served/software/Tallowfin/big.bin"
"$native/tests/tallowfin-test-server" "$served" >"$out/port" &
server_pid=$!
for _ in $(seq 1 50); do [[ -s $out/port ]] && break; sleep 0.1; done
proxy="http://127.0.0.1:$(head -n1 "$out/port")"

# What the updater keeps between runs lives in the prefix's local application
# data; removing it makes the next run a first one.
forget_kept() { rm -rf "$1"/drive_c/users/*/AppData/Local/Kestal/Tallowfin/Update; }

# The smallest installation: a one-file list from a server of its own, for
# what a run costs whatever the files.
floor=$out/floor
rm -rf "$floor" "$out/serve-floor"
mkdir -p "$floor" "$out/serve-floor/software/Tallowfin"
echo same >"$floor/a.txt"
printf '<?xml version="1.0"?>\n<filelist><file><path>%%PROGRAM%%</path><name>a.txt</name><hash>%s</hash><downurl>a.txt</downurl></file></filelist>\n' \
  "$(md5sum <"$floor/a.txt" | cut -c1-32)" >"$out/serve-floor/software/Tallowfin/filelist.xml"
cp "$win/app/TallowfinUpdate.exe" "$win/tests/standin/TallowfinMain.exe" "$floor/"
"$native/tests/tallowfin-test-server" "$out/serve-floor" >"$out/port-floor" &
floor_pid=$!
for _ in $(seq 1 50); do [[ -s $out/port-floor ]] && break; sleep 0.1; done
floor_proxy="http://127.0.0.1:$(head -n1 "$out/port-floor")"

# A whole run that finds nothing to do, in folder $1, by the loader "${@:3}",
# its peak memory into file $2: the seconds from the list's request arriving at
# the server to the main program's first line in its log, 1,000 digests between.
# NOOP_SERVER names another server as "proxy address|its request log".
noop_run() {
  local dir=$1 rss=$2; shift 2
  local via=${NOOP_SERVER:-$proxy|$out/port}
  rm -f "$dir/TallowfinMain.log"
  (cd "$dir" && http_proxy=${via%%|*} timeout 300 /usr/bin/time -f "%M" -o "$rss" "$@" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) \
    || { echo "the no-change run in $dir did not end normally" >&2; return 1; }
  for _ in $(seq 1 200); do [[ -s $dir/TallowfinMain.log ]] && break; sleep 0.05; done
  local start end
  start=$(awk '$2 == "/software/Tallowfin/filelist.xml" { t = $1 } END { print t }' "${via#*|}")
  end=$(stat -c %.9Y "$dir/TallowfinMain.log")
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

# ---- Rounds -------------------------------------------------------------------
step "$repeat rounds"
hash_mbps="" pool_mbps="" openssl_s="" noop_s="" noop32_s="" cold_s="" cold32_s="" floor_s="" md5sum_s=""
worker_mbps="" worker32_mbps="" curl_mbps="" list_s="" list_cold_s="" list_warm_s=""
threads=$(( $(nproc) < 8 ? $(nproc) : 8 ))
for round in $(seq "$repeat"); do
  # MD5 through the updater's own code, one file after the other and through
  # the pool, and openssl over the same files.
  "$WINE" "$win/bench/hash_bench.exe" --repeat 1 --memory-mb 0 --threads "$threads" "Z:$data" >"$out/hash.txt" 2>&1 </dev/null
  hash_mbps=$(max "$hash_mbps" "$(value files_mbps "$out/hash.txt")")
  pool_mbps=$(max "$pool_mbps" "$(value pool_mbps "$out/hash.txt")")
  openssl_s=$(min "$openssl_s" "$(seconds_of sh -c "find '$data' -type f -name '*.bin' -print0 | xargs -0 openssl md5")")

  # The no-change run by the x86-64 build and, in turn, by the shipped one:
  # first with nothing kept, then again with what that run kept.
  forget_kept "$win/wineprefix"
  took=$(noop_run "$data" "$out/noop-cold.rss" "$WINE") || exit 1
  cold_s=$(min "$cold_s" "$took")
  cold_rss=$(cat "$out/noop-cold.rss")
  took=$(noop_run "$data" "$out/noop.rss" "$WINE") || exit 1
  noop_s=$(min "$noop_s" "$took")
  noop_rss=$(cat "$out/noop.rss")
  if $run32; then
    forget_kept "$prefix32"
    took=$(noop_run "$install32" "$out/noop32-cold.rss" env WINEPREFIX="$prefix32" WINEARCH=win32 /usr/lib/wine/wine) || exit 1
    cold32_s=$(min "$cold32_s" "$took")
    cold32_rss=$(cat "$out/noop32-cold.rss")
    took=$(noop_run "$install32" "$out/noop32.rss" env WINEPREFIX="$prefix32" WINEARCH=win32 /usr/lib/wine/wine) || exit 1
    noop32_s=$(min "$noop32_s" "$took")
    noop32_rss=$(cat "$out/noop32.rss")
  fi
  took=$(NOOP_SERVER="$floor_proxy|$out/port-floor" noop_run "$floor" "$out/floor.rss" "$WINE") || exit 1
  floor_s=$(min "$floor_s" "$took")
  # md5sum over the same files the run compares.
  md5sum_s=$(min "$md5sum_s" "$(seconds_of sh -c "find '$data' -type f ! -name TallowfinMain.log -print0 | xargs -0 md5sum")")

  # 200 MB through the worker, the main thread moving a progress bar for
  # every progress event as the controller does; by the i686 build too; curl
  # from the same server.
  http_proxy=$proxy "$WINE" "$win/bench/download_bench.exe" --base "http://$host/software/Tallowfin/" \
    --file big.bin --repeat 1 --round-trips 2000 >"$out/download.txt" 2>&1 </dev/null
  worker_mbps=$(max "$worker_mbps" "$(value worker_mbps "$out/download.txt")")
  if $run32; then
    http_proxy=$proxy wine32 "$tests32/bench/download_bench.exe" --base "http://$host/software/Tallowfin/" \
      --file big.bin --repeat 1 --round-trips 2000 >"$out/download32.txt" 2>&1 </dev/null
    worker32_mbps=$(max "$worker32_mbps" "$(value worker_mbps "$out/download32.txt")")
  fi
  curl_mbps=$(max "$curl_mbps" "$(curl -s -o /dev/null -x "$proxy" "http://$host/software/Tallowfin/big.bin" \
    -w '%{speed_download}' | awk '{ printf "%.1f", $1 / 1e6 }')")

  # A list of 10,000 entries whose files all match, without and with the cache.
  mkdir -p "$out/list-data" "$out/list-cache"
  "$WINE" "$win/bench/list_bench.exe" "Z:$out/list-data" --repeat 1 --cache "Z:$out/list-cache" >"$out/list.txt" 2>&1 </dev/null
  list_s=$(min "$list_s" "$(value seconds "$out/list.txt")")
  list_cold_s=$(min "$list_cold_s" "$(value seconds_cache_cold "$out/list.txt")")
  list_warm_s=$(min "$list_warm_s" "$(value seconds_cache_warm "$out/list.txt")")
  echo "   round $round: md5 $hash_mbps MB/s (pool $pool_mbps), no-change run $cold_s s then $noop_s s (floor $floor_s s)," \
    "worker $worker_mbps MB/s, list $list_s s (cache warm $list_warm_s s)" >&2
done

# ---- What the server sends for a start with nothing changed -------------------
# A real web server, whose access log counts the bytes it sent, serving the
# 10,000 files of the list benchmark with their list published as vendors do.
step "Bytes nginx sends: a start that fetches the 10,000-entry list, then one that finds it unchanged"
nginx_dir=$out/nginx
serve10k=$out/serve-10k/software/Tallowfin
install10k=$out/install-10k
rm -rf "$nginx_dir" "$out/serve-10k" "$install10k"
mkdir -p "$nginx_dir" "$serve10k"
"$native/publish/tallowfin-publish" make "$out/list-data" -o "$serve10k/filelist.xml" >/dev/null
cp -al "$out/list-data" "$install10k"
cp "$win/app/TallowfinUpdate.exe" "$win/tests/standin/TallowfinMain.exe" "$install10k/"
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -e "s#@DIR@#$nginx_dir#g" -e "s#@ROOT@#$out/serve-10k#g" -e "s#@PORT@#$nginx_port#g" \
    -e "s#@USER@#$(id -un) $(id -gn)#g" bench/nginx-bytes.conf.in >"$nginx_dir/nginx.conf"
/usr/sbin/nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" 2>"$nginx_dir/stderr.log" &
nginx_pid=$!
for _ in $(seq 1 50); do curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/software/Tallowfin/filelist.xml" && break; sleep 0.1; done
: >"$nginx_dir/access.log"
# One start of the updater; prints the requests' count, the bytes sent in all,
# the body bytes and the statuses, from the lines the start added to the log.
start_bytes() {
  local before
  before=$(wc -l <"$nginx_dir/access.log")
  (cd "$install10k" && http_proxy="http://127.0.0.1:$nginx_port" timeout 300 "$WINE" TallowfinUpdate.exe >/dev/null 2>&1 </dev/null) \
    || { echo "the start against nginx did not end normally" >&2; return 1; }
  sleep 0.5  # the line is written once the connection is done
  tail -n +"$((before + 1))" "$nginx_dir/access.log" |
    awk '{ n++; all += $4; body += $3; s = s (n > 1 ? "," : "") $2 } END { printf "%d %d %d %s\n", n, all, body, s }'
}
forget_kept "$win/wineprefix"
read -r whole_n whole_bytes whole_body whole_status < <(start_bytes) || exit 1
read -r kept_n kept_bytes kept_body kept_status < <(start_bytes) || exit 1
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""
list10k_bytes=$(stat -c %s "$serve10k/filelist.xml")

# Whole runs fetching and installing 200 MB, by the updater without keys, by
# the one built with list keys and by the i686 build, in turns; then a cut
# transfer resumed by each build (bench/update-run-bench.sh).
step "Whole runs fetching 200 MB, without and with list keys, and a cut transfer resumed"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true
server_pid=""
TALLOWFIN_BENCH_REPEAT=$repeat bench/update-run-bench.sh >"$out/update-runs.txt"
dl_s=$(value plain_s "$out/update-runs.txt")
dl_rss=$(value plain_rss_kib "$out/update-runs.txt")
keyed_s=$(value keyed_s "$out/update-runs.txt")
keyed_rss=$(value keyed_rss_kib "$out/update-runs.txt")
dl32_s=$(value plain32_s "$out/update-runs.txt")
dl32_rss=$(value plain32_rss_kib "$out/update-runs.txt")

# Binary patches: the updater's executable between two commits, and the
# applier's speed under Wine (bench/patch-bench.sh).
step "Binary patches"
TALLOWFIN_BENCH_REPEAT=$repeat bench/patch-bench.sh >"$out/patch-bench.txt"

# A release installed as one transaction beside the way it was installed
# before (bench/install_bench.cpp): one 200 MB file, and one changed file of
# 1,000 in one folder.
step "Installing a release as a transaction"
rm -rf "$out/install-bench" && mkdir -p "$out/install-bench"
"$WINE" "$win/bench/install_bench.exe" "Z:$out/install-bench" --size 209715200 --files 1000 --repeat "$repeat" \
  >"$out/install.txt" 2>&1 </dev/null || { cat "$out/install.txt" >&2; exit 1; }
rm -rf "$out/install-bench"
install_added=$(awk -v t="$(value large_transaction_s "$out/install.txt")" -v b="$(value large_before_s "$out/install.txt")" \
  -v r="$dl_s" 'BEGIN { printf "%.1f", 100 * (t - b) / r }')

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
echo "| the same through the hashing pool, $threads threads, as where the disk has no seek penalty | $pool_mbps MB/s | one thread: $hash_mbps MB/s | $(ratio "$pool_mbps" "$hash_mbps") | |"
echo "| whole no-change run over them (list fetch to main program started), x86-64 build, nothing kept (a first run) | $cold_s s | md5sum: $md5sum_s s | $(ratio "$cold_s" "$md5sum_s") (goal <= 0.6) | $cold_rss KiB RSS |"
echo "| the same run, files unchanged since the run before (digest cache and kept list) | $noop_s s | md5sum: $md5sum_s s | $(ratio "$noop_s" "$md5sum_s") (goal <= 0.1) | $noop_rss KiB RSS |"
if $run32; then
  echo "| the shipped i686 build (32-bit prefix), nothing kept | $cold32_s s | md5sum: $md5sum_s s | $(ratio "$cold32_s" "$md5sum_s") (goal <= 0.6) | $cold32_rss KiB RSS |"
  echo "| the shipped i686 build, files unchanged since the run before | $noop32_s s | md5sum: $md5sum_s s | $(ratio "$noop32_s" "$md5sum_s") (goal <= 0.1) | $noop32_rss KiB RSS |"
else
  echo "| the same runs by the shipped i686 build | not run: this machine cannot execute 32-bit programs | | | |"
fi
echo "| the same run over a one-file list: what any run costs here | $floor_s s | md5sum over the 1 GB: $md5sum_s s | $(ratio "$floor_s" "$md5sum_s") | $(cat "$out/floor.rss") KiB RSS |"
echo "| download pass, 200 MB, worker reading 256 KiB blocks on its reading thread, progress posted at most every 30 ms, x86-64 build | $worker_mbps MB/s | curl: $curl_mbps MB/s | $(ratio "$worker_mbps" "$curl_mbps") (goal >= 0.5) | $(value peak_working_set_kib "$out/download.txt") KiB working set |"
if $run32; then
  echo "| the same download pass by the i686 build (32-bit prefix) | $worker32_mbps MB/s | curl: $curl_mbps MB/s | $(ratio "$worker32_mbps" "$curl_mbps") (goal >= 0.5) | $(value peak_working_set_kib "$out/download32.txt") KiB working set |"
fi
dl_mbps=$(awk -v s="$dl_s" 'BEGIN { printf "%.1f", 209.7152 / s }')
echo "| a whole run of the updater fetching and installing 200 MB (window shown), x86-64 build | $dl_mbps MB/s ($dl_s s) | curl: $curl_mbps MB/s | $(ratio "$dl_mbps" "$curl_mbps") (goal >= 0.25) | $dl_rss KiB RSS |"
if $run32; then
  dl32_mbps=$(awk -v s="$dl32_s" 'BEGIN { printf "%.1f", 209.7152 / s }')
  echo "| the same run by the shipped i686 build (32-bit prefix) | $dl32_mbps MB/s ($dl32_s s) | curl: $curl_mbps MB/s | $(ratio "$dl32_mbps" "$curl_mbps") (goal >= 0.25) | $dl32_rss KiB RSS |"
fi
for width in resume resume32; do
  sent=$(value ${width}_sent_bytes "$out/update-runs.txt")
  [[ -n $sent ]] || continue
  label="x86-64 build"; [[ $width == resume32 ]] && label="shipped i686 build"
  echo "| a 200 MB file cut after $(value ${width}_cut_bytes "$out/update-runs.txt" | awk '{ printf "%\047d", $1 }') bytes sent, the next run resuming it ($label): bytes the server sent for the rest ($(value ${width}_status "$out/update-runs.txt")) | $(awk -v n="$sent" 'BEGIN { printf "%\047d", n }') bytes, run $(value ${width}_s "$out/update-runs.txt") s | the rest of the file: 52,428,800 bytes | $(ratio "$sent" 52428800) (goal <= 55 MB) | |"
done
echo "| the same run by an updater built with list keys (signature, serial and SHA-256 checked) | $keyed_s s | without keys: $dl_s s | $(ratio "$keyed_s" "$dl_s") (goal <= 1.10) | $keyed_rss KiB RSS |"
echo "| reading a list of 10,000 entries whose files all match, no cache | $list_s s | | | |"
echo "| the same, cache empty (every file read, the cache written) | $list_cold_s s | no cache: $list_s s | $(ratio "$list_cold_s" "$list_s") | |"
echo "| the same, cache warm | $list_warm_s s (goal <= 0.5 s) | no cache: $list_s s | $(ratio "$list_warm_s" "$list_s") | $(value peak_working_set_kib "$out/list.txt") KiB working set |"
echo "| the digest cache of those 10,000 files on disk | $(value cache_bytes "$out/list.txt" | awk '{ printf "%\047d", $1 }') bytes (goal < 2 MB) | | | |"
echo "| bytes nginx sent for a start with nothing changed, 10,000-entry list ($kept_n request: $kept_status) | $kept_bytes bytes, $kept_body of body (goal <= 1 KB) | the start that fetched it whole ($whole_n request: $whole_status): $whole_bytes bytes | $(ratio "$kept_bytes" "$whole_bytes") | |"
echo "| one hand-over to the main thread, waited for (start, completion and error events) | $(value door_us "$out/download.txt") us | sent message: $(value send_us "$out/download.txt") us | | |"
echo "| one progress report posted without waiting, what it costs the worker | $(value post_us "$out/download.txt") us | waited for: $(value door_us "$out/download.txt") us | | |"
install=$out/install.txt
echo "| installing one 200 MB file as a transaction (staged beside its target, digests read back, journal, renamed in) | $(value large_transaction_s "$install") s, $install_added% of the whole 200 MB run (goal <= 10%) | as before (checked in the temporary folder, copied beside, renamed): $(value large_before_s "$install") s | $(ratio "$(value large_transaction_s "$install")" "$(value large_before_s "$install")") | |"
echo "| installing one changed file of $(value one_of_many_files "$install") in one folder, as a transaction | $(value one_transaction_s "$install") s | as before: $(value one_before_s "$install") s | $(ratio "$(value one_transaction_s "$install")" "$(value one_before_s "$install")") | |"
patch=$out/patch-bench.txt
echo "| binary patch of the i686 TallowfinUpdate.exe from $(value base_commit "$patch") to $(value head_commit "$patch") | $(value exe_patch_bytes "$patch" | awk '{ printf "%\047d", $1 }') bytes ($(value exe_patch_percent "$patch")% of the file; goal <= 5%) | the file: $(value exe_bytes "$patch" | awk '{ printf "%\047d", $1 }') bytes, gzip -9: $(value exe_gzip_bytes "$patch" | awk '{ printf "%\047d", $1 }') | $(ratio "$(value exe_patch_bytes "$patch")" "$(value exe_bytes "$patch")") | |"
echo "| bytes a client holding the demo's release 1 downloads for release 2, with patches ($(value demo_patched_files "$patch") files through one) | $(value demo_patched_bytes "$patch" | awk '{ printf "%\047d", $1 }') bytes | without patches: $(value demo_whole_bytes "$patch" | awk '{ printf "%\047d", $1 }') bytes | $(ratio "$(value demo_patched_bytes "$patch")" "$(value demo_whole_bytes "$patch")") | |"
echo "| applying a patch through the updater's applier over Win32 files (x86-64 build), $(value big_bytes "$patch" | awk '{ printf "%.0f MB", $1 / 1e6 }') of output (patch $(value big_patch_bytes "$patch" | awk '{ printf "%\047d", $1 }') bytes, made in $(value big_make_s "$patch") s) | $(value apply_mbps "$patch") MB/s (goal >= 100) | copying the result through the same output: $(value copy_mbps "$patch") MB/s | $(ratio "$(value apply_mbps "$patch")" "$(value copy_mbps "$patch")") | $(value apply_peak_working_set_kib "$patch") KiB working set |"
if [[ -n $(value apply32_mbps "$patch") ]]; then
  echo "| the same by the i686 build (the shipped width), in a 32-bit prefix | $(value apply32_mbps "$patch") MB/s (goal >= 100) | copying the result: $(value copy32_mbps "$patch") MB/s | $(ratio "$(value apply32_mbps "$patch")" "$(value copy32_mbps "$patch")") | $(value apply32_peak_working_set_kib "$patch") KiB working set |"
fi
echo
echo "The 10,000-entry list is $(awk -v n="$list10k_bytes" 'BEGIN { printf "%\047d", n }') bytes."
echo "32-bit release executables: TallowfinUpdate.exe $(size "$release32/app/TallowfinUpdate.exe") bytes" \
  "(UpdateMgr.exe inside it, $(size "$release32/helper/UpdateMgr.exe") bytes), tallowfin-publish.exe $(size "$release32/publish/tallowfin-publish.exe") bytes."
