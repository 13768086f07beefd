#!/usr/bin/env bash
# The demo: an installed Tallowfin Beta and a newer release published on a real
# web server with a signed list, the updater (built with the publisher's
# public key) bringing the installation up to date under Wine, and then
# refusing what an attacker on the way to the server would serve.
#   tools/demo.sh            build, run, save a screenshot, print what happened
#   tools/demo.sh --check [WINDOWS_BUILD [64|32]]
#                            the same steps on an existing Windows build with
#                            the tests (default build/win64-tests; an i686 one,
#                            given with 32, runs in a 32-bit prefix), whose sibling native/
#                            holds the publishing tool; fast and quiet, for the
#                            test suite (no rate limit). It signs with the key
#                            the tests' build made, held by its keyed updater.
# Ends by itself within a few minutes and leaves no process running.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
check=false
[[ ${1:-} == --check ]] && check=true

win=$root/build/win64-tests
$check && [[ -n ${2:-} ]] && win=$(cd "$2" && pwd)
build=$(dirname "$win")
if $check; then out=$win/demo-check; else out=${DEMO_OUT:-$root/demo-out}; fi
# The loader follows the build: i686 programs run in a 32-bit prefix.
bits=64
$check && [[ ${3:-} == 32 ]] && bits=32
host=update.tallowfin.example
started=$(date +%s.%N)

say() { $check || echo "$@"; }
fail() { echo "demo: $*" >&2; exit 1; }

if ! $check; then
  echo "== Building"
  cmake --preset native >/dev/null && cmake --build --preset native --target tallowfin-publish >/dev/null \
    || fail "the native build failed"
fi
publish=$build/native/publish/tallowfin-publish
rm -rf "$out"
mkdir -p "$out"
if $check; then
  # The keyed updater of the tests' build, and its key "a".
  updater_exe=$win/tests/win/TallowfinUpdateSigned.exe
  private_key=$win/tests/win/keys/a.pem
  public_key=$win/tests/win/keys/builtin.pem
else
  # A key pair made for this demo, and an updater built with its public key
  # (a build of its own: the tests' builds keep theirs).
  echo "== A key pair for the demo, and the updater built with its public key"
  private_key=$out/keys/demo-private.pem
  public_key=$out/keys/demo-public.pem
  mkdir -p "$out/keys"
  "$publish" keygen "$private_key" "$public_key" >/dev/null || fail "tallowfin-publish keygen failed"
  keyed=$root/build/demo-keyed
  cmake -S "$root" -B "$keyed" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTALLOWFIN_TESTS=OFF -DTALLOWFIN_LIST_KEYS="$public_key" >"$out/keyed-build.log" 2>&1 \
    && cmake --build "$keyed" --target TallowfinUpdate -j2 >>"$out/keyed-build.log" 2>&1 \
    || fail "the updater with the demo's key could not be built: $(tail -n 5 "$out/keyed-build.log")"
  updater_exe=$keyed/app/TallowfinUpdate.exe
fi

source tools/wine-session.sh
nginx_pid=""
cleanup() {
  [[ -n $nginx_pid ]] && { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
  end_session
}
trap cleanup EXIT
# A prefix of the demo's own: ending it must not touch the test suite's.
begin_session "$win/demo-wineprefix" "$bits" >/dev/null
# Window captions draw their buttons with Wine's symbol font, which Wine of this
# Debian release does not load from its own data folder (measured: "Marlett"
# comes out as Liberation Sans, and the close button as the letter "r", in any
# code page). A copy in the prefix's font folder is loaded.
wine_fonts=$WINEPREFIX/drive_c/windows/Fonts
if [[ ! -f $wine_fonts/marlett.ttf && -f /usr/share/wine/fonts/marlett.ttf ]]; then
  mkdir -p "$wine_fonts" && cp /usr/share/wine/fonts/marlett.ttf "$wine_fonts/"
fi
if ! $check; then
  cmake --preset win64-tests >/dev/null && \
    cmake --build --preset win64-tests --target TallowfinMain TestComServer >/dev/null \
    || fail "the Windows build failed"
fi
for f in "$publish" "$updater_exe" "$private_key" "$public_key" "$win/tests/standin/TallowfinMain.exe" \
         "$win/tests/standin/TestComServer.dll"; do
  [[ -f $f ]] || fail "missing $f (build first)"
done

# Korean Windows: code page 949, and file names in Korean.
export LC_ALL=ko_KR.UTF-8

installed=$out/installed
release=$out/release
served=$out/server/software/Tallowfin
mkdir -p "$installed/data" "$release" "$served" "$out/nginx" "$out/tmp"

say "== The installed product (version 1)"
cp "$updater_exe" "$installed/TallowfinUpdate.exe"
cp "$win/tests/standin/TallowfinMain.exe" "$installed/TallowfinMain.exe"
cp "$win/tests/standin/TestComServer.dll" "$installed/TallowfinCom.dll"
printf 'Tallowfin Beta 1.0\r\n' > "$installed/data/readme.txt"
printf '[main]\r\nversion=1\r\n' > "$installed/data/settings.ini"
head -c 1048576 /dev/urandom > "$installed/data/catalog.dat"

say "== The new release (version 2)"
cp -r "$installed/." "$release/"
printf 'Tallowfin Beta 2.0\r\n' > "$release/data/readme.txt"
printf '[main]\r\nversion=2\r\n' > "$release/data/settings.ini"
head -c 3145728 /dev/urandom > "$release/data/catalog.dat"
# A new version of the COM server, a new folder tree, a Korean file name, and
# a new build of the updater itself (the same program with a build mark).
printf 'build 2' >> "$release/TallowfinCom.dll"
mkdir -p "$release/skins/default"
printf 'skin=default\r\n' > "$release/skins/skins.ini"
head -c 65536 /dev/urandom > "$release/skins/default/theme.dat"
printf 'Tallowfin Beta 2.0 설명서\r\n' > "$release/설명서.txt"
printf 'tallowfin build 2' >> "$release/TallowfinUpdate.exe"

# The same installation once more, for the attacks at the end, and version 1
# as its publisher kept it, to diff the new release against.
attacked=$out/attacked
cp -r "$installed" "$attacked"
cp -r "$installed" "$out/release-1"

say "== Publishing, signed, with patches from version 1"
cp -r "$release/." "$served/"
"$publish" make "$release" -o "$served/filelist.xml" --sign "$private_key" --public "$public_key" \
  --patches-from "$out/release-1" >"$out/publish.log" 2>&1 \
  || fail "tallowfin-publish make failed: $(tail -n 3 "$out/publish.log")"
"$publish" verify "$served/filelist.xml" --dir "$served" --key "$public_key" --bases "$out/release-1" >"$out/verify.log" 2>&1 \
  || fail "the published list does not verify: $(tail -n 5 "$out/verify.log")"
$check || grep -E '^(wrote|diffed)' "$out/publish.log" | sed 's/^/   /'

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
rate=$($check && echo 0 || echo 600k)
# nginx's workers run as the user who runs the demo: as another user they could
# not enter a checkout in a private folder (a home of mode 0700) and would
# answer 404 for every file.
sed -e "s#@DEMO@#$out#g" -e "s#@PORT@#$port#g" -e "s#@RATE@#$rate#g" \
    -e "s#@USER@#$(id -un) $(id -gn)#g" demo/nginx.conf.in > "$out/nginx/nginx.conf"
/usr/sbin/nginx -p "$out/nginx" -c "$out/nginx/nginx.conf" 2>"$out/nginx/stderr.log" &
nginx_pid=$!
for _ in $(seq 1 50); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/software/Tallowfin/filelist.xml" && break
  sleep 0.1
done
"$publish" verify "$served/filelist.xml" --url "http://127.0.0.1:$port/software/Tallowfin/" --key "$public_key" \
  >"$out/verify.log" 2>&1 || fail "the served files do not verify: $(tail -n 5 "$out/verify.log")"
say "   nginx serves the release on 127.0.0.1:$port; tallowfin-publish verify --key: no problems"

declare -A before
while IFS= read -r -d '' f; do before[${f#$installed/}]=$(md5sum < "$f" | cut -c1-32); done \
  < <(find "$installed" -type f -print0)

say "== Running the updater (as on a machine where the main program is not running)"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
run_started=$(date +%s.%N)
(cd "$installed" && http_proxy="http://127.0.0.1:$port" TMP="$(winpath "$out/tmp")" TEMP="$(winpath "$out/tmp")" \
  TALLOWFIN_REGISTRATION_LOG="$(winpath "$out")" exec "$WINE" TallowfinUpdate.exe >/dev/null 2>&1) &
updater=$!

screenshot=""
if ! $check; then
  # ImageMagick's convert: another program of that name may come first on the PATH.
  converter=""
  for candidate in /usr/bin/convert "$(command -v convert || true)"; do
    [[ -x $candidate ]] && "$candidate" -version 2>/dev/null | grep -q "^Version: ImageMagick" && { converter=$candidate; break; }
  done
  # The progress window, once it shows and the bar has moved.
  for _ in $(seq 1 300); do
    line=$(xwininfo -root -tree 2>/dev/null | grep '"Tallowfin Beta - Auto Update"' | grep -v ' 0x0+' | \
           awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) { split($i, s, "x"); if (s[1] > 100) print $1 } }' | head -n1 || true)
    [[ -n $line ]] && break
    kill -0 "$updater" 2>/dev/null || break
    sleep 0.1
  done
  # Each step that fails says why, in the closing lines.
  if [[ -z ${line:-} ]]; then
    screenshot="not taken (the progress window did not show before the updater ended)"
  elif [[ -z $converter ]]; then
    screenshot="not taken (no ImageMagick convert to turn the window's picture into PNG: apt-get install imagemagick)"
  else
    sleep 2
    if ! xwd -id "$line" -silent >"$out/progress-window.xwd" 2>"$out/screenshot.log"; then
      screenshot="not taken (xwd could not read the window: $(head -n1 "$out/screenshot.log"))"
    elif ! "$converter" xwd:"$out/progress-window.xwd" "$out/progress-window.png" 2>>"$out/screenshot.log"; then
      screenshot="not taken ($converter failed: $(head -n1 "$out/screenshot.log"))"
    else
      screenshot=$out/progress-window.png
    fi
    rm -f "$out/progress-window.xwd"
  fi
fi

for _ in $(seq 1 1200); do kill -0 "$updater" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$updater" 2>/dev/null; then kill "$updater"; fail "the updater did not end within two minutes"; fi
wait "$updater" && code=0 || code=$?
run_ended=$(date +%s.%N)
[[ $code -eq 0 ]] || fail "the updater ended with exit code $code"

# The helper replaces the updater once it has ended.
want=$(md5sum < "$release/TallowfinUpdate.exe" | cut -c1-32)
for _ in $(seq 1 200); do
  [[ $(md5sum < "$installed/TallowfinUpdate.exe" | cut -c1-32) == "$want" && ! -e "$installed/TallowfinUpdate.Update" ]] && break
  sleep 0.1
done
for _ in $(seq 1 100); do grep -q '^start' "$installed/TallowfinMain.log" 2>/dev/null && break; sleep 0.1; done

problems=0
report() {
  printf '%-28s %-34s %-34s %s\n' "$@"
}
$check || { echo; echo "== What happened"; report "file" "before" "after" ""; }
while IFS= read -r -d '' f; do
  rel=${f#$release/}
  new=$(md5sum < "$f" | cut -c1-32)
  old=${before[$rel]:--}
  now=$( [[ -f $installed/$rel ]] && md5sum < "$installed/$rel" | cut -c1-32 || echo missing)
  if [[ $now != "$new" ]]; then state="NOT UPDATED"; problems=$((problems + 1))
  elif [[ $old == "$new" ]]; then state="unchanged"
  elif [[ $old == - ]]; then state="new"
  else state="updated"; fi
  $check || report "$rel" "$old" "$now" "$state"
done < <(find "$release" -type f -print0 | sort -z)

registered=$(grep -a '^register' "$out/registrations.log" 2>/dev/null || true)
started_with=$(grep -a '^start' "$installed/TallowfinMain.log" 2>/dev/null | head -n1 | cut -d' ' -f2- | tr -d '\r' || true)
[[ -n $registered ]] || { echo "demo: the COM server was not registered" >&2; problems=$((problems + 1)); }
[[ $started_with == "-K:qbzmwrtaxnle" ]] || { echo "demo: the main program was not started with its launch key" >&2; problems=$((problems + 1)); }
[[ -f $installed/UpdateMgr.exe ]] || { echo "demo: the helper was not written" >&2; problems=$((problems + 1)); }
left=$(find "$out/tmp" -name '~wu*' | wc -l)
# What came through patches: the bytes nginx sent for them, and the files
# they stand for (a patch is named "<file name>-<base MD5>-<result MD5>.patch").
patched_files=0 patch_bytes=0 whole_bytes=0
while read -r path bytes; do
  name=$(basename "$path" .patch); name=${name%-*}; name=${name%-*}
  patched_files=$((patched_files + 1)) patch_bytes=$((patch_bytes + bytes))
  whole_bytes=$((whole_bytes + $(find "$release" -name "$name" -printf '%s\n' | head -n1)))
done < <(awk '$7 ~ /^http:\/\/.*\/patches\// && $9 == 200 { print $7, $10 }' "$out/nginx/access.log")
[[ $patched_files -gt 0 ]] || { echo "demo: no file came through a patch" >&2; problems=$((problems + 1)); }
[[ $left -eq 0 ]] || { echo "demo: $left temporary files were left" >&2; problems=$((problems + 1)); }

if ! $check; then
  echo
  echo "DLL registered:        ${registered:-none}"
  echo "Self-update:           TallowfinUpdate.exe ${before[TallowfinUpdate.exe]} -> $(md5sum < "$installed/TallowfinUpdate.exe" | cut -c1-32) (by UpdateMgr.exe after the updater ended)"
  echo "Main program started:  TallowfinMain.exe $started_with"
  echo "Updater's requests:    $(grep -c '"GET http://' "$out/nginx/access.log") through the proxy setting (nginx log: $out/nginx/access.log)"
  echo "Temporary files left:  $left"
  echo "Through patches:       $patched_files files, $patch_bytes bytes sent for $whole_bytes bytes of new files"
  awk -v a="$run_started" -v b="$run_ended" -v s="$started" -v n="$(date +%s.%N)" \
    'BEGIN { printf "Update run:            %.1f s (whole demo %.1f s)\n", b - a, n - s }'
  echo "Screenshot:            $screenshot"
fi

# ---- Attacks: what someone on the way to the server could serve -------------
# The second installation still holds version 1. Whoever sits between it and
# the server (a shared Wi-Fi, a rogue proxy) serves the release with
# TallowfinCom.dll swapped for a DLL of their own: the updater would run its
# DllRegisterServer. The signed list's digests do not match it.
say
say "== Attack 1: TallowfinCom.dll swapped on the server after the release was signed"
{ cat "$win/tests/standin/TestComServer.dll"; printf 'attacker build'; } >"$served/TallowfinCom.dll"
# And its patch: the updater gives up on a patch that is not as listed and
# fetches the whole file, which is the attacker's.
for p in "$served"/patches/TallowfinCom.dll-*.patch; do [[ -f $p ]] && printf 'attacker patch' >"$p"; done
# The updater's requests come through its proxy setting, in absolute form;
# the demo's own (curl, verify) do not.
updater_requests() { grep -c '"GET http://' "$out/nginx/access.log" || true; }
requests_per_run=$(updater_requests)
requests_before=$requests_per_run
mkdir -p "$out/tmp-attack" "$out/attack-log"
start_attacked() {
  (cd "$attacked" && http_proxy="http://127.0.0.1:$port" TMP="$(winpath "$out/tmp-attack")" TEMP="$(winpath "$out/tmp-attack")" \
    TALLOWFIN_REGISTRATION_LOG="$(winpath "$out/attack-log")" exec "$WINE" TallowfinUpdate.exe >/dev/null 2>&1) &
  attacker=$!
}
unchanged() {  # whether the attacked installation still holds exactly version 1
  local f rel count=0
  while IFS= read -r -d '' f; do
    rel=${f#$attacked/}
    # The main program's log, and the updater's record of the serial it
    # accepted (attack 1 serves the genuine signed list) are not the product.
    [[ $rel == TallowfinMain.log || $rel == TallowfinUpdate.serial ]] && continue
    [[ ${before[$rel]:-} == "$(md5sum <"$f" | cut -c1-32)" ]] || return 1
    count=$((count + 1))
  done < <(find "$attacked" -type f -print0)
  [[ $count -eq ${#before[@]} ]]
}
start_attacked
# Every file the release changes is fetched, then checked before anything is
# installed; the pass fails, and its downloads are deleted.
for _ in $(seq 1 1200); do
  (( $(updater_requests) >= requests_before + requests_per_run )) && break
  kill -0 "$attacker" 2>/dev/null || break
  sleep 0.1
done
for _ in $(seq 1 100); do [[ -z $(find "$out/tmp-attack" -name '~wu*') ]] && break; sleep 0.1; done
sleep 2
attack1="refused"
if ! kill -0 "$attacker" 2>/dev/null; then attack1="NOT REFUSED: the updater ended"; fi
unchanged || attack1="NOT REFUSED: the installation was changed"
[[ -f $attacked/TallowfinMain.log ]] && attack1="NOT REFUSED: the main program was started"
grep -aq '^register' "$out/attack-log/registrations.log" 2>/dev/null && attack1="NOT REFUSED: a DLL was registered"
[[ -n $(find "$out/tmp-attack" -name '~wu*') ]] && attack1="NOT REFUSED: its downloads were left behind"
waiting=$(kill -0 "$attacker" 2>/dev/null && echo yes || echo no)
# The updater waits in the notification area for its user; the demo ends it.
kill "$attacker" 2>/dev/null || true
wait "$attacker" 2>/dev/null || true
[[ $attack1 == refused ]] || problems=$((problems + 1))

say "== Attack 2: the list edited to name the swapped DLL's digests"
genuine_md5=$(md5sum <"$release/TallowfinCom.dll" | cut -c1-32)
genuine_sha=$(sha256sum <"$release/TallowfinCom.dll" | cut -c1-64)
sed -i -e "s/$genuine_md5/$(md5sum <"$served/TallowfinCom.dll" | cut -c1-32)/" \
       -e "s/$genuine_sha/$(sha256sum <"$served/TallowfinCom.dll" | cut -c1-64)/" "$served/filelist.xml"
requests_before=$(updater_requests)
start_attacked
for _ in $(seq 1 600); do kill -0 "$attacker" 2>/dev/null || break; sleep 0.1; done
attack2="refused"
if kill -0 "$attacker" 2>/dev/null; then
  kill "$attacker"; attack2="NOT REFUSED: the updater did not end"
fi
wait "$attacker" 2>/dev/null || true
for _ in $(seq 1 100); do grep -q '^start' "$attacked/TallowfinMain.log" 2>/dev/null && break; sleep 0.1; done
fetched=$(( $(updater_requests) - requests_before ))
[[ $fetched -eq 2 ]] || attack2="NOT REFUSED: $fetched requests, more than the list and its signature"
unchanged || attack2="NOT REFUSED: the installation was changed"
grep -q '^start' "$attacked/TallowfinMain.log" 2>/dev/null || attack2="NOT REFUSED: the main program was not started"
[[ $attack2 == refused ]] || problems=$((problems + 1))

if ! $check; then
  echo "Attack 1, a DLL swapped after signing: $attack1 (its digests differ from the signed list's: a failed"
  echo "                                       download pass, nothing installed or registered; the updater was"
  echo "                                       still waiting in the notification area: $waiting; ended by the demo)"
  echo "Attack 2, the list edited to match:    $attack2 (the signature does not verify: only the list and its"
  echo "                                       signature fetched, nothing installed, the main program started)"
fi
[[ $problems -eq 0 ]] || fail "$problems problem(s)"
$check && echo "demo: the installation was brought up to date, and both attacks were refused"
exit 0
