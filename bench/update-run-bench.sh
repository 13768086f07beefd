#!/usr/bin/env bash
# A whole updater run fetching and installing 200 MB (list fetch to main
# program started, the progress window shown), by the updater without keys
# and by the same sources built with list keys, which also fetch the
# signature, check it, and take the SHA-256 of the download before
# installing it. Both read the same signed list (an updater without keys
# ignores what signing adds). They take turns; the best of the rounds counts.
#
# Run alone: bench/update-run-bench.sh   (about two minutes; bench/run.sh runs
# it for its table). Prints "key value" lines: plain_s, plain_rss_kib,
# keyed_s, keyed_rss_kib.
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
out=$root/bench-out
serve=$out/serve-dl
files=$serve/software/Tallowfin

say() { echo "== $*" >&2; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a ? b : a) }'; }

source "$root/tools/wine-session.sh"
own_session=false
server_pid=""
cleanup() {
  [[ -n $server_pid ]] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
  # The serial the keyed runs accepted stays out of the prefix the tests use.
  "$WINE" reg delete 'HKCU\Software\Kestal\TallowfinUpdate' /v AcceptedListSerial /f </dev/null >/dev/null 2>&1 || true
  if $own_session; then end_session; fi
}
trap cleanup EXIT
if [[ -z ${WINEPREFIX:-} || -z ${DISPLAY:-} ]]; then
  say "Building"
  cmake --preset native >/dev/null && cmake --build --preset native --target tallowfin-publish tallowfin-test-server >/dev/null
  begin_session "$win/wineprefix" >/dev/null
  own_session=true
  cmake --preset win64-tests >/dev/null
  cmake --build --preset win64-tests --target TallowfinUpdate TallowfinUpdateSigned TallowfinMain >/dev/null
fi

# The release: one file of 200 MB, served under dl/, and its list signed with
# the tests' key "a", which the keyed updater holds.
mkdir -p "$files/dl"
big=$out/serve/software/Tallowfin/big.bin
[[ $(stat -c %s "$big" 2>/dev/null || echo 0) == 209715200 ]] || { mkdir -p "$(dirname "$big")"; head -c 209715200 /dev/urandom >"$big"; }
ln -f "$big" "$files/dl/big.bin"
rm -f "$files/filelist.xml" "$files/filelist.xml.sig"
"$native/publish/tallowfin-publish" make "$files/dl" -o "$files/filelist.xml" --url-prefix dl \
  --sign "$win/tests/win/keys/a.pem" --public "$win/tests/win/keys/builtin.pem" >/dev/null
"$native/tests/tallowfin-test-server" "$serve" >"$out/dl-port" &
server_pid=$!
for _ in $(seq 1 50); do [[ -s $out/dl-port ]] && break; sleep 0.1; done
proxy="http://127.0.0.1:$(head -n1 "$out/dl-port")"

# An installation of each updater, without the file.
for kind in plain keyed; do
  rm -rf "$out/dl-$kind"
  mkdir -p "$out/dl-$kind"
  cp "$win/tests/standin/TallowfinMain.exe" "$out/dl-$kind/"
done
cp "$win/app/TallowfinUpdate.exe" "$out/dl-plain/TallowfinUpdate.exe"
cp "$win/tests/win/TallowfinUpdateSigned.exe" "$out/dl-keyed/TallowfinUpdate.exe"

# One run in $1; prints its seconds, its peak memory into $1.rss.
run() {
  local dir=$1 start end
  rm -f "$dir/big.bin" "$dir/TallowfinMain.log"
  start=$(date +%s.%N)
  (cd "$dir" && http_proxy=$proxy timeout 600 /usr/bin/time -f "%M" -o "$dir.rss" "$WINE" TallowfinUpdate.exe \
     >/dev/null 2>&1 </dev/null) || { echo "the run in $dir did not end normally" >&2; return 1; }
  end=$(date +%s.%N)
  cmp -s "$dir/big.bin" "$big" || { echo "the run in $dir did not install the file" >&2; return 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

plain_s="" keyed_s=""
for round in $(seq "$repeat"); do
  took=$(run "$out/dl-plain") || exit 1
  plain_s=$(min "$plain_s" "$took")
  took=$(run "$out/dl-keyed") || exit 1
  keyed_s=$(min "$keyed_s" "$took")
  say "round $round: without keys $plain_s s, with keys $keyed_s s"
done
echo "plain_s $plain_s"
echo "plain_rss_kib $(cat "$out/dl-plain.rss")"
echo "keyed_s $keyed_s"
echo "keyed_rss_kib $(cat "$out/dl-keyed.rss")"
