#!/usr/bin/env bash
# Binary patches, in figures:
#
#   1. The patch of the updater's own shipped executable between two commits:
#      the i686 release of TALLOWFIN_PATCH_BASE (default HEAD~10), built once
#      in a worktree of its own under bench-out/ and kept, against the release
#      of the sources as they are (build/win32-release); the patch made by
#      tallowfin-publish make --patches-from, as a vendor makes it. Goal: at
#      most 5% of the file. gzip -9 of the whole file is printed beside it.
#   2. How fast the updater's applier makes a file: a pair of 48 MiB files
#      (this machine's libraries, then the same with scattered edits, inserted
#      and removed bytes and a moved block), its patch made the same way, and
#      patch_bench.exe (the applier over Win32 file handles) applying it under
#      Wine, best of TALLOWFIN_BENCH_REPEAT (default 3): the x86-64 build, and
#      the i686 build (the shipped width) in a 32-bit prefix where the machine
#      runs 32-bit programs.
#      Goal: at least 100 MB/s of output. Beside it, the result file copied
#      through the same output in the same pieces.
#   3. The demo's release 2 (tools/demo.sh, with the two commits' updaters):
#      the bytes a client holding release 1 downloads, as the publisher counts
#      them, with and without patches.
#
# Run alone: bench/patch-bench.sh   (the first run builds the earlier release,
# several minutes; later runs take about one). bench/run.sh runs it for its
# table. Prints "key value" lines.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
repeat=${TALLOWFIN_BENCH_REPEAT:-3}
out=$root/bench-out
work=$out/patches
native=$root/build/native
release32=$root/build/win32-release
win=$root/build/win64-tests
publish=$native/publish/tallowfin-publish

say() { echo "== $*" >&2; }
# The <patch> of the single entry of a list: "size address".
listed_patch() { sed -n 's/.*<patch [^>]*size="\([0-9]*\)"[^>]*>\([^<]*\)<\/patch>.*/\1 \2/p' "$1" | head -n1; }

say "Building the publishing tool, the release and the applier's benchmark"
cmake --preset native >/dev/null && cmake --build --preset native --target tallowfin-publish >/dev/null
cmake --preset win32-release >/dev/null && cmake --build --preset win32-release --target TallowfinUpdate >/dev/null
cmake --preset win64-tests >/dev/null && cmake --build --preset win64-tests --target patch_bench TallowfinMain TestComServer >/dev/null
if tools/can-run-32bit.sh && [[ -x /usr/lib/wine/wine ]]; then run32=true; else run32=false; fi
tests32=$root/build/win32-tests
prefix32=$tests32/bench-wineprefix
if $run32; then
  cmake --preset win32-tests >/dev/null && cmake --build --preset win32-tests --target patch_bench >/dev/null
fi

# ---- 1. The updater between two commits ---------------------------------------
base_commit=$(git rev-parse --verify "${TALLOWFIN_PATCH_BASE:-HEAD~10}^{commit}")
tree=$out/patch-base
if [[ -e $tree/.git ]]; then
  [[ $(git -C "$tree" rev-parse HEAD) == "$base_commit" ]] || git -C "$tree" checkout -q --detach "$base_commit"
else
  mkdir -p "$out"
  git worktree add -q --detach "$tree" "$base_commit"
fi
say "Building the release of $(git log -1 --format='%h (%ad)' --date=short "$base_commit") in $tree"
(cd "$tree" && cmake --preset win32-release >/dev/null && cmake --build --preset win32-release --target TallowfinUpdate >/dev/null)

rm -rf "$work"
mkdir -p "$work/exe/v1" "$work/exe/v2" "$work/exe/served"
cp "$tree/build/win32-release/app/TallowfinUpdate.exe" "$work/exe/v1/"
cp "$release32/app/TallowfinUpdate.exe" "$work/exe/v2/"
cmp -s "$work/exe/v1/TallowfinUpdate.exe" "$work/exe/v2/TallowfinUpdate.exe" &&
  { echo "the two commits build the same TallowfinUpdate.exe; pick another TALLOWFIN_PATCH_BASE" >&2; exit 1; }
"$publish" make "$work/exe/v2" -o "$work/exe/served/filelist.xml" --patches-from "$work/exe/v1" >/dev/null 2>&1
cp "$work/exe/v2/TallowfinUpdate.exe" "$work/exe/served/"
"$publish" verify "$work/exe/served/filelist.xml" --dir "$work/exe/served" --bases "$work/exe/v1" >&2
read -r exe_patch_bytes _ < <(listed_patch "$work/exe/served/filelist.xml") ||
  { echo "no patch was listed for TallowfinUpdate.exe (not below half the file)" >&2; exit 1; }
exe_bytes=$(stat -c %s "$work/exe/v2/TallowfinUpdate.exe")
exe_gzip_bytes=$(gzip -9 -c "$work/exe/v2/TallowfinUpdate.exe" | wc -c)

# ---- 2. Applying a patch of 48 MiB ---------------------------------------------
say "Making a pair of 48 MiB files and their patch"
mkdir -p "$work/big/v1" "$work/big/v2" "$work/big/served"
python3 - "$work/big/v1/data.bin" "$work/big/v2/data.bin" <<'EOF'
import glob, os, random, sys
# The base: this machine's libraries one after the other, up to 48 MiB.
size = 48 << 20
base = bytearray()
for path in sorted(glob.glob('/usr/lib/x86_64-linux-gnu/*.so*')):
    if len(base) >= size:
        break
    if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) > 100000:
        base += open(path, 'rb').read()
base = bytes(base[:size])
open(sys.argv[1], 'wb').write(base)
r = random.Random(20261208)
pieces, at = [], 0
# 3,000 edits in order: bytes changed, bytes inserted, bytes removed.
for position in sorted(r.randrange(len(base)) for _ in range(3000)):
    if position < at:
        continue
    pieces.append(base[at:position])
    kind = r.randrange(3)
    if kind == 0:
        pieces.append(bytes(r.randrange(256) for _ in range(r.randint(1, 8)))); at = position + r.randint(1, 8)
    elif kind == 1:
        pieces.append(bytes(r.randrange(256) for _ in range(r.randint(1, 200)))); at = position
    else:
        at = position + r.randint(1, 200)
pieces.append(base[at:])
result = b''.join(pieces)
# A block moved from the middle to the end.
middle = len(result) // 2
result = result[:middle] + result[middle + (1 << 20):] + result[middle:middle + (1 << 20)]
open(sys.argv[2], 'wb').write(result)
EOF
start=$(date +%s.%N)
"$publish" make "$work/big/v2" -o "$work/big/served/filelist.xml" --patches-from "$work/big/v1" >/dev/null 2>&1
make_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
read -r big_patch_bytes big_patch_address < <(listed_patch "$work/big/served/filelist.xml") ||
  { echo "no patch was listed for the 48 MiB file" >&2; exit 1; }

# ---- 3. The demo's release 2 for a client holding release 1 ------------------
# The demo's two releases (tools/demo.sh), with the updater of the two commits
# above in place of one build and the same build marked: release 1 published
# first, then release 2 over it, with and without --patches-from; the
# publisher counts the bytes a client holding release 1 downloads.
say "The demo's releases, published with and without patches"
demo=$work/demo
mkdir -p "$demo/v1/data" "$demo/v2/data" "$demo/v2/skins/default"
cp "$tree/build/win32-release/app/TallowfinUpdate.exe" "$demo/v1/"
cp "$win/tests/standin/TallowfinMain.exe" "$win/tests/standin/TestComServer.dll" "$demo/v1/"
mv "$demo/v1/TestComServer.dll" "$demo/v1/TallowfinCom.dll"
printf 'Tallowfin Beta 1.0\r\n' >"$demo/v1/data/readme.txt"
printf '[main]\r\nversion=1\r\n' >"$demo/v1/data/settings.ini"
random_bytes() { python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(int(sys.argv[2])).randbytes(int(sys.argv[1])))' "$@"; }
random_bytes 1048576 1 >"$demo/v1/data/catalog.dat"
cp -r "$demo/v1/." "$demo/v2/"
cp "$release32/app/TallowfinUpdate.exe" "$demo/v2/"
printf 'build 2' >>"$demo/v2/TallowfinCom.dll"
printf 'Tallowfin Beta 2.0\r\n' >"$demo/v2/data/readme.txt"
printf '[main]\r\nversion=2\r\n' >"$demo/v2/data/settings.ini"
random_bytes 3145728 2 >"$demo/v2/data/catalog.dat"
printf 'skin=default\r\n' >"$demo/v2/skins/skins.ini"
random_bytes 65536 3 >"$demo/v2/skins/default/theme.dat"
printf 'Tallowfin Beta 2.0 \xec\x84\xa4\xeb\xaa\x85\xec\x84\x9c\r\n' >"$demo/v2/manual.txt"
# "downloads 6 files, 3285423 bytes (2 through a patch; ...)": the bytes.
previous_bytes() { sed -n 's/^a client holding the previous list downloads [0-9]* files\{0,1\}, \([0-9]*\) bytes.*/\1/p' "$1"; }
for kind in whole patched; do
  rm -rf "$demo/served-$kind" && mkdir -p "$demo/served-$kind"
  "$publish" make "$demo/v1" -o "$demo/served-$kind/filelist.xml" >/dev/null 2>&1
  if [[ $kind == patched ]]; then
    "$publish" make "$demo/v2" -o "$demo/served-$kind/filelist.xml" --patches-from "$demo/v1" >"$demo/$kind.txt" 2>/dev/null
  else
    "$publish" make "$demo/v2" -o "$demo/served-$kind/filelist.xml" >"$demo/$kind.txt" 2>/dev/null
  fi
done
demo_whole_bytes=$(previous_bytes "$demo/whole.txt")
demo_patched_bytes=$(previous_bytes "$demo/patched.txt")
demo_patched_files=$(sed -n 's/.*(\([0-9]*\) through a patch.*/\1/p' "$demo/patched.txt")
[[ -n $demo_whole_bytes && -n $demo_patched_bytes ]] ||
  { echo "the publisher did not say what a client holding release 1 downloads" >&2; cat "$demo/patched.txt" >&2; exit 1; }

source "$root/tools/wine-session.sh"
own_session=false
cleanup() {
  if $own_session; then end_session; fi
  $run32 && { WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -k </dev/null >/dev/null 2>&1 || true; }
}
trap cleanup EXIT
if [[ -z ${WINEPREFIX:-} || -z ${DISPLAY:-} ]]; then
  begin_session "$win/wineprefix" >/dev/null
  own_session=true
fi
say "Applying it under Wine, best of $repeat"
"$WINE" "$win/bench/patch_bench.exe" --base "Z:$work/big/v1/data.bin" --patch "Z:$work/big/served/$big_patch_address" \
  --expect "Z:$work/big/v2/data.bin" --repeat "$repeat" >"$work/apply.txt" 2>&1 </dev/null ||
  { cat "$work/apply.txt" >&2; exit 1; }
if $run32; then
  # The shipped width, in the 32-bit prefix bench/run.sh uses too.
  mkdir -p "$prefix32"
  WINEPREFIX=$prefix32 /usr/lib/wine/wineserver32 -p </dev/null >/dev/null 2>&1 || true
  [[ -f $prefix32/.tallowfin-ready ]] ||
    { WINEPREFIX=$prefix32 WINEARCH=win32 /usr/lib/wine/wine wineboot -u </dev/null >/dev/null 2>&1; touch "$prefix32/.tallowfin-ready"; }
  WINEPREFIX=$prefix32 WINEARCH=win32 /usr/lib/wine/wine "$tests32/bench/patch_bench.exe" --base "Z:$work/big/v1/data.bin" \
    --patch "Z:$work/big/served/$big_patch_address" --expect "Z:$work/big/v2/data.bin" --repeat "$repeat" \
    >"$work/apply32.txt" 2>&1 </dev/null || { cat "$work/apply32.txt" >&2; exit 1; }
fi
value() { tr -d '\r' <"${2:-$work/apply.txt}" | awk -v k="$1" '$1 == k { print $2 }'; }

echo "base_commit $(git rev-parse --short "$base_commit")"
echo "head_commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench-out' || echo '+changes')"
echo "exe_bytes $exe_bytes"
echo "exe_patch_bytes $exe_patch_bytes"
echo "exe_patch_percent $(awk -v p="$exe_patch_bytes" -v f="$exe_bytes" 'BEGIN { printf "%.2f", 100 * p / f }')"
echo "exe_gzip_bytes $exe_gzip_bytes"
echo "demo_whole_bytes $demo_whole_bytes"
echo "demo_patched_bytes $demo_patched_bytes"
echo "demo_patched_files ${demo_patched_files:-0}"
echo "big_bytes $(value result_bytes)"
echo "big_patch_bytes $big_patch_bytes"
echo "big_make_s $make_s"
echo "apply_mbps $(value apply_mbps)"
echo "copy_mbps $(value copy_mbps)"
echo "apply_peak_working_set_kib $(value peak_working_set_kib)"
if $run32; then
  echo "apply32_mbps $(value apply_mbps "$work/apply32.txt")"
  echo "copy32_mbps $(value copy_mbps "$work/apply32.txt")"
  echo "apply32_peak_working_set_kib $(value peak_working_set_kib "$work/apply32.txt")"
fi
