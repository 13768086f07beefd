#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit (i386) programs, 1 when it does
# not; installs nothing. Where it cannot, Wine's 32-bit loader fails with "Exec
# format error" and adding the i386 architecture with wine32 breaks the 64-bit
# Wine as well, so the answer decides whether the 32-bit run may be set up.
#
# The probe is a static i386 program of one exit call, made with the binutils
# every machine here has: it exits with 42 exactly when 32-bit programs run.
set -uo pipefail
command -v as >/dev/null 2>&1 && command -v ld >/dev/null 2>&1 || exit 1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/probe.s" <<'ASM'
    .globl _start
_start:
    movl $1, %eax       # exit
    movl $42, %ebx      # status
    int $0x80
ASM
as --32 "$dir/probe.s" -o "$dir/probe.o" 2>/dev/null && ld -m elf_i386 "$dir/probe.o" -o "$dir/probe" 2>/dev/null || exit 1
"$dir/probe" 2>/dev/null
[[ $? -eq 42 ]]
