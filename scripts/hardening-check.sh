#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that an ELF executable was built with the hardening the helper ships
# with, reading only what readelf shows:
#   PIE          ELF type DYN and DF_1_PIE in the dynamic section
#   BIND_NOW     DF_BIND_NOW or DF_1_NOW: every symbol bound at start-up
#   RELRO        a GNU_RELRO segment
#   NX stack     a GNU_STACK segment that is not executable
#   FORTIFY      calls to fortified libc functions (__*_chk)
#   SSP          calls to __stack_chk_fail
# Control-flow protection (IBT/SHSTK notes) is shown for information only: it
# is recorded only when every object linked in, crt files included, has it.
#
# A static binary (no interpreter, no NEEDED library) carries libc inside: its
# dynamic symbol table names no libc function, and libc's own objects call
# __stack_chk_fail whatever the program was built with. There FORTIFY and SSP
# look for calls from the program's own code, its C++ functions and main
# (libc has neither; libstdc++ is built without both), in the disassembly.
# That needs the symbol table, which stripping removes: for a stripped static
# binary, name the unstripped build with the same build ID as SYMBOLS.
#
# usage: scripts/hardening-check.sh BINARY [SYMBOLS]
set -euo pipefail

if (($# < 1 || $# > 2)); then
  echo "usage: $0 BINARY [SYMBOLS]" >&2
  exit 2
fi
binary=$1
symbols=${2:-$1}
for tool in readelf objdump; do
  if ! command -v "$tool" >/dev/null; then
    echo "hardening-check: $tool not found (Debian package binutils)" >&2
    exit 2
  fi
done
for file in "$binary" "$symbols"; do
  if [[ ! -r $file ]]; then
    echo "hardening-check: cannot read $file" >&2
    exit 2
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! LC_ALL=C readelf -W --file-header "$binary" >"$work/header" 2>"$work/err"; then
  echo "hardening-check: $binary is not an ELF file: $(cat "$work/err")" >&2
  exit 2
fi
LC_ALL=C readelf -W --dynamic "$binary" >"$work/dynamic"
LC_ALL=C readelf -W --program-headers "$binary" >"$work/segments"
LC_ALL=C readelf -W --dyn-syms "$binary" >"$work/symbols"
LC_ALL=C readelf -W --notes "$binary" >"$work/notes" 2>/dev/null || true

failures=0
check() {
  local name=$1 ok=$2 detail=$3
  if [[ $ok == yes ]]; then
    printf 'hardening-check: %-9s ok    %s\n' "$name" "$detail"
  else
    printf 'hardening-check: %-9s MISS  %s\n' "$name" "$detail"
    failures=$((failures + 1))
  fi
}
has() { grep -Eq "$1" "$2" && echo yes || echo no; }

# PIE: a DYN object that is an executable, not a shared library.
type_dyn=$(has '^ *Type: +DYN' "$work/header")
flag_pie=$(has '\(FLAGS_1\).*\bPIE\b' "$work/dynamic")
if [[ $type_dyn == yes && $flag_pie == yes ]]; then pie=yes; else pie=no; fi
check PIE "$pie" "type DYN: $type_dyn, DF_1_PIE: $flag_pie"

bind_now=no
if grep -Eq '\(BIND_NOW\)|\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' "$work/dynamic"; then
  bind_now=yes
fi
check BIND_NOW "$bind_now" "immediate binding (-z now)"

check RELRO "$(has '^ *GNU_RELRO ' "$work/segments")" "GNU_RELRO segment (-z relro)"

stack_line=$(grep -E '^ *GNU_STACK ' "$work/segments" || true)
if [[ -z $stack_line ]]; then
  check NX-stack no "no GNU_STACK segment: the stack would be executable"
else
  # The flags column sits before the alignment, e.g. "RW  0x10" or "RWE 0x10".
  flags=$(awk '{print $(NF-1)}' <<<"$stack_line")
  if [[ $flags == *E* ]]; then
    check NX-stack no "GNU_STACK flags $flags: executable stack"
  else
    check NX-stack yes "GNU_STACK flags $flags"
  fi
fi

build_id() { LC_ALL=C readelf -W --notes "$1" 2>/dev/null | grep -o 'Build ID: [0-9a-f]*' || true; }
if grep -Eq '^ *INTERP ' "$work/segments" || grep -q '(NEEDED)' "$work/dynamic"; then
  # Symbol names are the last column of the dynamic symbol table.
  awk 'NF >= 8 && $1 ~ /^[0-9]+:$/ {print $8}' "$work/symbols" | sed 's/@.*//' | sort -u >"$work/names"
  found="calls"
else
  if [[ $(build_id "$symbols") != "$(build_id "$binary")" ]]; then
    echo "hardening-check: $symbols is not an unstripped $binary (build IDs differ)" >&2
    exit 2
  fi
  LC_ALL=C readelf -W --sections "$symbols" >"$work/sections"
  if ! grep -q ' \.symtab ' "$work/sections"; then
    echo "hardening-check: $binary is static and stripped: name the unstripped build as SYMBOLS" >&2
    exit 2
  fi
  echo "hardening-check: static    info  libc linked in: calls from C++ functions and main count"
  # "  1234:	call   5678 <__snprintf_chk>" under "0000000000001000 <_ZN8tarnwick...>:";
  # a static libc may name the target by its internal alias (___snprintf_chk).
  LC_ALL=C objdump -d --no-show-raw-insn "$symbols" | awk '
    /^[0-9a-f]+ <[^>]*>:$/ { own = ($2 ~ /^<(_Z|main>)/) }
    own && /call.*<_*[A-Za-z0-9_]+_chk(_fail)?>$/ {
      match($0, /<[^>]*>$/); name = substr($0, RSTART + 1, RLENGTH - 2)
      sub(/^_+/, "__", name); print name }' | sort -u >"$work/names"
  found="calls from the program's own code"
fi
fortified=$(grep -E '^__[A-Za-z0-9_]+_chk$' "$work/names" | grep -v '^__stack_chk_fail$' || true)
if [[ -n $fortified ]]; then
  check FORTIFY yes "$(tr '\n' ' ' <<<"$fortified" | sed 's/ $//')"
else
  check FORTIFY no "no __*_chk $found: built without -D_FORTIFY_SOURCE or without optimisation"
fi
check SSP "$(has '^__stack_chk_fail$' "$work/names")" "__stack_chk_fail $found (-fstack-protector-strong)"

cet=$(grep -Eo 'x86 feature: .*' "$work/notes" | head -n 1 || true)
echo "hardening-check: CET       info  ${cet:-no x86 feature note}"

if ((failures)); then
  echo "hardening-check: $failures check(s) failed for $binary" >&2
  exit 1
fi
echo "hardening-check: all checks passed for $binary"
