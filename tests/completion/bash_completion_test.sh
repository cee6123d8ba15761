#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion of tarnwick-drives, driven as bash-completion drives it:
# each case gives the words on the command line (the last one being completed)
# and the words offered. lsblk is a stand-in that names two fixed drives.
#
# usage: bash_completion_test.sh BASH_COMPLETION_LIBRARY COMPLETION_SCRIPT
set -uo pipefail

if (($# != 2)); then
  echo "usage: $0 BASH_COMPLETION_LIBRARY COMPLETION_SCRIPT" >&2
  exit 2
fi
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
cat >"$stubs/lsblk" <<'STUB'
#!/bin/sh
# -d: whole drives only; otherwise their partitions too.
case " $* " in
  *" -dpnro "*) printf '/dev/sdx\n/dev/sdy\n' ;;
  *) printf '/dev/sdx\n/dev/sdx1\n/dev/sdy\n' ;;
esac
STUB
chmod +x "$stubs/lsblk"
PATH=$stubs:$PATH

# shellcheck disable=SC1090
source "$1"
# shellcheck disable=SC1090
source "$2"

passed=0
failed=0
# expect "OFFERED WORDS" WORD...
expect() {
  local want=$1
  shift
  COMP_WORDS=(tarnwick-drives "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _tarnwick_drives
  local got="${COMPREPLY[*]}"
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: tarnwick-drives $* -> '$got', expected '$want'"
  fi
}

expect "drives wipe encrypt open mkfs close" ""
expect "wipe" w
expect "--yes --helper --passphrase-fd --help" --
expect "/dev/sdx /dev/sdy" wipe ""
expect "/dev/sdx /dev/sdy" encrypt ""
expect "/dev/sdx /dev/sdx1 /dev/sdy" open ""
expect "--mode --verify --report" wipe /dev/sdx --
expect "random encrypted-zero secure-discard none" wipe /dev/sdx --mode ""
expect "secure-discard" wipe /dev/sdx --mode s
expect "ext4 btrfs xfs" open /dev/sdx n mkfs n --fs ""
expect "--fs --label" open /dev/sdx n mkfs n --
expect "--allow-discards" open /dev/sdx n --a
# Commands chain: after one command's arguments the next command is offered.
expect "open" wipe /dev/sdx --mode none op
# A wipe takes more drives, before or after its options.
expect "/dev/sdy" wipe /dev/sdx /dev/sdy
expect "/dev/sdx /dev/sdy" wipe /dev/sdx --mode none /dev/sd
expect "" encrypt /dev/sdx --label ""

echo "$passed passed, $failed failed"
((failed == 0))
