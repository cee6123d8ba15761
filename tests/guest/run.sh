#!/bin/bash
# SPDX-License-Identifier: MIT
# Tests of the real-kernel stage, run as PID 1's child inside the guest
# (scripts/guest-test.sh boots it). Every test drives the real helper or the
# real command against real dm-crypt, real udev and emulated USB sticks:
#
#   TDHSTICK  96 MiB, removable USB stick (most tests)
#   TDHSTICK2, TDHSTICK3  two more like it, for several wipes at once
#   TDHBIG    4 GiB stick: room for XFS, work long enough to interrupt or unplug
#   TDHBAD    64 MiB stick whose writes at 20 MiB fail (QEMU blkdebug)
#   TDHRO     32 MiB write-protected stick
#   TDHRBAD   32 MiB stick whose reads at 16 MiB fail (QEMU blkdebug)
#   /dev/vda  the guest's root disk, /dev/vdb a fixed virtio disk
#
#   run.sh --list            the test names, in running order
#   run.sh --check [NAME...] exits 2 if a name is unknown (used on the host)
#   run.sh                   runs the tests named in ./selected (all if empty)
#   run.sh --one NAME        runs one test (what the runner does per test)
#
# Output: "TDH-START NAME" and then one "TDH-RESULT ok|FAIL|xfail|XPASS NAME
# (S s)" line per test,
# failure details as "TDH-DETAIL" lines, and "TDH-SUMMARY N passed, N failed".
# Tests named in expected-to-fail.txt wait for behaviour still being built:
# their failure is reported as xfail (counted as skipped), their success as
# XPASS (counted as passed, with a reminder to drop them from the list).
set -u
P=$(cd "$(dirname "$0")" && pwd)
HELPER=$P/tarnwick-drives-helper
CLI=$P/tarnwick-drives
PASSPHRASE='guest stage passphrase'
PASS_B64=$(printf '%s' "$PASSPHRASE" | base64 -w0)

TESTS=(
  sticks-are-removable-usb-drives
  luks-format-open-mkfs-close
  session-end-closes-containers
  encrypted-zero-through-dm-crypt
  verified-encrypted-zero-reads-the-drive-back
  verified-wipe-catches-a-counterfeit-stick
  random-wipe-reaches-the-end
  guard-refuses-root-disk
  guard-refuses-fixed-disk
  guard-refuses-mounted-stick
  guard-refuses-active-swap
  guard-refuses-crypttab-entry
  guard-refuses-read-only-stick
  guard-refuses-partition-path
  guard-refuses-mounted-lvm-in-luks
  guard-refuses-raid-member
  guard-refuses-stick-behind-loop-device
  fault-io-error-random
  fault-io-error-encrypted-zero
  fault-read-error-during-verification
  signal-int-process-group-encrypted-zero
  signal-term-encrypted-zero
  signal-hup-encrypted-zero
  signal-term-open-container
  cancel-encrypted-zero-during-fill
  cancel-verified-wipe-during-read-back
  cli-wipe-under-terminal
  cli-encrypt-open-mkfs-close-under-terminal
  cli-ctrl-c-during-wipe
  fault-stick-pulled-during-wipe
  probe-genuine-stick-unchanged
  probe-counterfeit-gadget
  cli-check-and-encrypt-counterfeit-gadget
  many-sticks-wiped-at-once
  many-sticks-one-pulled-out
  cli-wipe-three-sticks-under-terminal
)

# ---------------------------------------------------------------- plumbing

T=                # the running test's scratch folder
SESSION_PID=      # perl's pid: the helper's parent
HELPER_PID=

detail() { echo "TDH-DETAIL $*" >&2; }
# Ends the test, also from inside a command substitution: the subshell tells
# the test's shell, whose USR1 trap exits.
fail() {
  detail "$*"
  kill -USR1 "$TEST_SHELL" 2>/dev/null
  exit 1
}
# Cleanups of a test, run in reverse order when it ends however it ends.
CLEANUPS=()
on_exit() { CLEANUPS+=("$1"); }
run_cleanups() {
  local i
  kill_session
  for ((i = ${#CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${CLEANUPS[i]}"; done
  CLEANUPS=()
  restore_guest
}
settle() { udevadm settle --timeout=30 || true; }

by_id() {  # SERIAL -> the stick's /dev/disk/by-id link
  local link
  for link in /dev/disk/by-id/usb-*_"$1"-0:0; do
    [[ -e $link ]] && { echo "$link"; return 0; }
  done
  return 1
}
kdev() {  # SERIAL -> /dev/sdX
  local link
  link=$(by_id "$1") || fail "no by-id link for stick $1"
  readlink -f "$link"
}
sectors_read() { awk '{ print $3 }' "/sys/class/block/$(basename "$1")/stat"; }
sectors_written() { awk '{ print $7 }' "/sys/class/block/$(basename "$1")/stat"; }
size_bytes() { echo $(($(cat "/sys/class/block/$(basename "$1")/size") * 512)); }

expect_eq() {  # ACTUAL EXPECTED WHAT
  [[ $1 == "$2" ]] || fail "$3: got [$1], expected [$2]"
}
expect_prefix() {  # ACTUAL PREFIX WHAT
  [[ $1 == "$2"* ]] || fail "$3: got [$1], expected it to begin with [$2]"
}

# The host changes hardware on request over the second serial port.
host() {  # pull|plug ID
  local reply
  printf '%s %s\n' "$1" "$2" >/dev/ttyS1
  read -r -t 60 reply </dev/ttyS1 || fail "host did not answer '$1 $2'"
  reply=${reply%$'\r'}
  expect_eq "$reply" "done $2" "host answer to '$1 $2'"
}

# A helper session: the helper reads a FIFO that fd 5 keeps open, writes to
# $T/out; perl waits for it and records "exit N" or "signal N" in $T/status.
# The helper leads its own process group, as under a terminal's job control,
# and gets the default SIGINT and SIGQUIT back: a non-interactive shell's
# background commands ignore them, and exec would pass that on.
start_session() {
  rm -f "$T/in" "$T/out" "$T/err" "$T/status" "$T/pid"
  mkfifo "$T/in"
  : >"$T/out"
  STATUS=$T/status PIDFILE=$T/pid perl -e '
    my $pid = fork() // die "fork: $!";
    if (!$pid) { setpgrp(0, 0); $SIG{INT} = $SIG{QUIT} = "DEFAULT"; exec(@ARGV) or exit 127; }
    open(my $f, ">", "$ENV{PIDFILE}.tmp") or die; print $f "$pid\n"; close($f);
    rename("$ENV{PIDFILE}.tmp", $ENV{PIDFILE});
    waitpid($pid, 0);
    my $s = $?;
    open($f, ">", "$ENV{STATUS}.tmp") or die;
    print $f (($s & 127) ? "signal " . ($s & 127) : "exit " . ($s >> 8)), "\n";
    close($f);
    rename("$ENV{STATUS}.tmp", $ENV{STATUS});
  ' -- "$HELPER" <"$T/in" >"$T/out" 2>"$T/err" &
  SESSION_PID=$!
  exec 5>"$T/in"
  local i
  for ((i = 0; i < 100; i++)); do
    [[ -s $T/pid ]] && break
    sleep 0.1
  done
  HELPER_PID=$(cat "$T/pid")
}
finals() { grep -v '^{"progress"' "$T/out" || true; }
final_count() { finals | grep -c '' || true; }
send() { printf '%s\n' "$1" >&5; }
# Sends one request and prints its final answer (waits up to $2 s, default 300).
ask() {
  local before i limit=$((${2:-300} * 10))
  before=$(final_count)
  send "$1"
  for ((i = 0; i < limit; i++)); do
    if (($(final_count) > before)); then
      finals | tail -n1
      return 0
    fi
    [[ -s $T/status ]] && break
    sleep 0.1
  done
  echo "(no answer)"
}
ask_ok() {  # REQUEST [TIMEOUT]
  local answer
  answer=$(ask "$@")
  expect_eq "$answer" '{"ok":true}' "answer to $1"
}
last_copied() {
  grep '^{"progress"' "$T/out" | tail -n1 | sed -n 's/.*"copied":\([0-9]*\).*/\1/p'
}
wait_copied() {  # BYTES TIMEOUT
  local i copied
  for ((i = 0; i < $2 * 10; i++)); do
    copied=$(last_copied)
    [[ -n $copied ]] && ((copied >= $1)) && return 0
    [[ -s $T/status ]] && fail "the helper ended before writing $1 bytes: $(finals | tail -n1)"
    (($(final_count) > 0)) && fail "answered before writing $1 bytes: $(finals | tail -n1)"
    sleep 0.1
  done
  fail "fewer than $1 bytes written after $2 s (last progress ${copied:-none})"
}
end_input() { exec 5>&-; }
wait_status() {  # TIMEOUT -> prints "exit N" or "signal N"
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    [[ -s $T/status ]] && { cat "$T/status"; return 0; }
    sleep 0.1
  done
  echo "(still running after $1 s)"
}
end_session() {  # closes input, expects exit 0 and nothing on standard error
  end_input
  expect_eq "$(wait_status 120)" "exit 0" "helper exit at end of input"
  [[ ! -s $T/err ]] || fail "standard error: $(head -c 500 "$T/err")"
}
# Kills whatever a failed test left running, by the pids it started.
kill_session() {
  exec 5>&- 2>/dev/null
  [[ -n $HELPER_PID ]] && kill -KILL -- "-$HELPER_PID" 2>/dev/null
  [[ -n $SESSION_PID ]] && wait "$SESSION_PID" 2>/dev/null
  HELPER_PID='' SESSION_PID=''
}
# What a helper that failed its promises leaves behind must not spoil the
# next test: tools still running (everything in the guest is ours), and
# mappings still open.
restore_guest() {
  local pid name
  for pid in $(ps -eo pid=,comm= | awk '$2 ~ /^(dd|cmp|cryptsetup|blkdiscard|mkfs\.)/ { print $1 }'); do
    kill -KILL "$pid" 2>/dev/null
  done
  sleep 0.5
  for name in /dev/mapper/tarnwick_*; do
    [[ -e $name ]] && cryptsetup close "${name#/dev/mapper/}" 2>/dev/null
  done
  settle
}

no_tarnwick_mappings() {  # WHAT
  settle
  local left
  left=$(find /dev/mapper -maxdepth 1 -name 'tarnwick_*' -printf '%f ')
  [[ -z $left ]] || fail "$1: mappings left: $left"
  left=$(dmsetup ls 2>/dev/null | grep '^tarnwick_' || true)
  [[ -z $left ]] || fail "$1: device-mapper still has: $left"
}
no_tools_running() {  # WHAT
  local left
  left=$(ps -eo pid=,comm=,args= | awk '$2 ~ /^(dd|cmp|cryptsetup|blkdiscard|mkfs\.)/' || true)
  [[ -z $left ]] || fail "$1: tools still running: $left"
}

# Removes every trace of earlier use from a stick: mappings, signatures, the
# first and last MiB.
scrub() {  # /dev/sdX
  local dev=$1 size
  size=$(size_bytes "$dev")
  wipefs -q -a "$dev" 2>/dev/null
  dd if=/dev/zero of="$dev" bs=1M count=1 oflag=direct status=none
  dd if=/dev/zero of="$dev" bs=1M seek=$((size / 1048576 - 1)) count=1 oflag=direct status=none
  reread_partitions "$dev"
}
# udev's probe after every write holds the drive open for a moment, and the
# kernel refuses to re-read a table while it is open: settle first, then fall
# back to partx, which updates partitions one by one.
reread_partitions() {  # /dev/sdX
  local i
  for ((i = 0; i < 5; i++)); do
    settle
    blockdev --rereadpt "$1" 2>/dev/null && break
    partx -u "$1" 2>/dev/null && break
    sleep 1
  done
  settle
}
# An MBR with one Linux partition from 1 MiB to the end (no fdisk in the guest).
partition() {  # /dev/sdX -> /dev/sdX1
  local dev=$1 sectors
  sectors=$(($(cat "/sys/class/block/$(basename "$dev")/size") - 2048))
  le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
  local entry
  entry="\\x00\\x00\\x00\\x00\\x83\\x00\\x00\\x00$(le32 2048)$(le32 "$sectors")"
  { head -c 446 /dev/zero; printf "$entry"; head -c 48 /dev/zero; printf '\x55\xaa'; } |
    dd of="$dev" bs=512 count=1 iflag=fullblock conv=notrunc oflag=direct status=none
  reread_partitions "$dev"
  [[ -b ${dev}1 ]] || fail "no partition appeared on $dev"
  echo "${dev}1"
}
fill_pattern() {  # DEV OFFSET_MIB COUNT_MIB
  tr '\0' '\245' </dev/zero | dd of="$1" bs=1M seek="$2" count="$3" iflag=fullblock oflag=direct status=none
}
is_pattern() {  # DEV OFFSET_MIB -> true if that MiB still holds the pattern
  cmp -s <(dd if="$1" bs=1M skip="$2" count=1 iflag=direct status=none) <(tr '\0' '\245' </dev/zero | head -c 1048576)
}
is_zero() {  # DEV OFFSET_MIB
  cmp -s <(dd if="$1" bs=1M skip="$2" count=1 iflag=direct status=none) <(head -c 1048576 /dev/zero)
}
# The first and last MiB of DEV get the pattern, for a wipe to overwrite.
mark_ends() {  # DEV
  fill_pattern "$1" 0 1
  fill_pattern "$1" $(($(size_bytes "$1") / 1048576 - 1)) 1
}
# After an encrypted-zero wipe: zeros encrypted under a random key that is
# gone, so neither the old data nor zeros, at both ends of the drive.
expect_ends_encrypted() {  # DEV
  local mib
  for mib in 0 $(($(size_bytes "$1") / 1048576 - 1)); do
    is_pattern "$1" "$mib" && fail "MiB $mib still holds the old data"
    is_zero "$1" "$mib" && fail "MiB $mib reads as plaintext zeros"
  done
}

# ---------------------------------------------------------------- tests

t_sticks-are-removable-usb-drives() {
  local serial dev
  for serial in TDHSTICK TDHSTICK2 TDHSTICK3 TDHBIG TDHBAD TDHRO TDHRBAD; do
    dev=$(kdev "$serial")
    expect_eq "$(lsblk -dn -o RM,HOTPLUG,TRAN "$dev" | tr -s ' ' | sed 's/^ //')" "1 1 usb" "lsblk RM HOTPLUG TRAN of $serial"
  done
  expect_eq "$(lsblk -dn -o RO "$(kdev TDHRO)" | tr -d ' ')" "1" "lsblk RO of the write-protected stick"
  expect_eq "$(lsblk -dn -o RM,HOTPLUG /dev/vdb | tr -s ' ' | sed 's/^ //')" "0 0" "lsblk RM HOTPLUG of the fixed disk"
}

t_luks-format-open-mkfs-close() {
  local dev fs
  dev=$(kdev TDHBIG)  # XFS wants at least 300 MiB
  scrub "$dev"
  start_session
  ask_ok '{"op":"luks-format","device":"'"$dev"'","label":"tdh-guest","passphrase_b64":"'"$PASS_B64"'"}' 600
  settle
  cryptsetup isLuks "$dev" || fail "no LUKS header on $dev"
  expect_eq "$(blkid -p -s TYPE -o value "$dev")" "crypto_LUKS" "blkid TYPE of $dev"
  expect_eq "$(blkid -p -s LABEL -o value "$dev")" "tdh-guest" "blkid LABEL of $dev"
  ask_ok '{"op":"luks-open","device":"'"$dev"'","mapper_name":"tarnwick_guest","passphrase_b64":"'"$PASS_B64"'"}' 600
  settle
  [[ -b /dev/mapper/tarnwick_guest ]] || fail "no /dev/mapper/tarnwick_guest"
  expect_eq "$(lsblk -n -o TYPE /dev/mapper/tarnwick_guest | tr -d ' ')" "crypt" "lsblk TYPE of the mapping"
  for fs in ext4 xfs btrfs; do
    ask_ok '{"op":"mkfs","mapped":"/dev/mapper/tarnwick_guest","fs":"'"$fs"'","label":"tdh-'"$fs"'"}' 600
    expect_eq "$(blkid -p -s TYPE -o value /dev/mapper/tarnwick_guest)" "$fs" "blkid TYPE after mkfs $fs"
    expect_eq "$(blkid -p -s LABEL -o value /dev/mapper/tarnwick_guest)" "tdh-$fs" "blkid LABEL after mkfs $fs"
  done
  # The last filesystem is usable: mount it, write, read back.
  mkdir -p /mnt/tdh
  mount /dev/mapper/tarnwick_guest /mnt/tdh || fail "the btrfs filesystem does not mount"
  echo written-in-the-guest >/mnt/tdh/file
  umount /mnt/tdh
  mount -o ro /dev/mapper/tarnwick_guest /mnt/tdh || fail "the btrfs filesystem does not mount again"
  expect_eq "$(cat /mnt/tdh/file)" "written-in-the-guest" "file read back"
  umount /mnt/tdh
  ask_ok '{"op":"luks-close","mapper_name":"tarnwick_guest"}'
  no_tarnwick_mappings "after luks-close"
  end_session
}

t_session-end-closes-containers() {
  local dev way
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  start_session
  ask_ok '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' 600
  end_session
  for way in end-of-input shutdown; do
    start_session
    ask_ok '{"op":"luks-open","device":"'"$dev"'","mapper_name":"tarnwick_end","passphrase_b64":"'"$PASS_B64"'"}' 600
    settle
    [[ -b /dev/mapper/tarnwick_end ]] || fail "$way: no /dev/mapper/tarnwick_end"
    [[ $way == shutdown ]] && send '{"op":"shutdown"}'
    end_session
    no_tarnwick_mappings "after $way"
    expect_eq "$(finals | grep -c '')" "1" "$way: answers (shutdown gets none)"
  done
}

t_encrypted-zero-through-dm-crypt() {
  local dev size before written
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  size=$(size_bytes "$dev")
  mark_ends "$dev"
  before=$(sectors_written "$dev")
  start_session
  ask_ok '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero"}' 900
  written=$((($(sectors_written "$dev") - before) * 512))
  ((written >= size)) || fail "the kernel wrote $written of $size bytes"
  grep -q '^{"progress":{"copied":[0-9]*,"total":0}}$' "$T/out" || fail "no progress line"
  grep -q '"verified"' "$T/out" && fail "a wipe without \"verify\" reports a read-back"
  no_tarnwick_mappings "after the wipe"
  expect_ends_encrypted "$dev"
  end_session
}

# The read-back must come from the drive, every byte of it: the helper
# closes the filled mapping and opens it again with the same key, so that
# nothing cached can answer cmp, and answers ok only when the drive's read
# count since the reopening covers the whole size. Several runs, since what
# udev's probes do between the steps varies from run to run (the fault this
# guards against left 1 to 16 KiB unread in each of four runs). The count
# exceeds the size by udev's probe of the new mapping (about 1 MiB): the
# kernel drops a block device's cache when its last opener closes it, so
# cmp reads those sectors from the drive again.
t_verified-encrypted-zero-reads-the-drive-back() {
  local dev size run
  dev=$(kdev TDHSTICK)
  size=$(size_bytes "$dev")
  for run in 1 2 3; do
    verified_wipe_of_stick "$dev" "$size" "run $run"
  done
}
verified_wipe_of_stick() {  # /dev/sdX SIZE WHAT
  local dev=$1 size=$2 before kernel_read lines copied verified last=0 answer
  scrub "$dev"
  mark_ends "$dev"
  before=$(sectors_read "$dev")
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero","verify":true}' 900)
  expect_eq "$answer" '{"ok":true}' "$3: answer to the verified wipe"
  kernel_read=$((($(sectors_read "$dev") - before) * 512))
  lines=$(grep '^{"progress"' "$T/out")
  grep -v -x -E '\{"progress":\{"copied":[0-9]+,"total":0(,"verified":[0-9]+)?\}\}' <<<"$lines" >"$T/odd" &&
    fail "$3: malformed progress lines: $(head -c 300 "$T/odd")"
  # Filling first, then reading back: no plain progress after the first
  # read-back figure, and the read-back figures never go down.
  sed -n '/"verified"/,$p' <<<"$lines" | grep -v -q '"verified"' && fail "$3: fill progress during the read-back"
  while read -r copied verified; do
    ((copied >= size)) || fail "$3: read-back began after only $copied of $size bytes were written"
    ((verified >= last)) || fail "$3: the verified figure went down from $last to $verified"
    last=$verified
  done < <(sed -n 's/.*"copied":\([0-9]*\),"total":0,"verified":\([0-9]*\)}}$/\1 \2/p' <<<"$lines")
  # No tolerance: the drive answered for every byte, and the kernel agrees
  # (it counts udev's probe of the new mapping too, so it may read more).
  expect_eq "$last" "$size" "$3: the last verified figure"
  ((kernel_read >= size)) || fail "$3: verified $last bytes, but the kernel read only $kernel_read from $dev"
  detail "$3: verified $last of $size bytes"
  no_tarnwick_mappings "$3: after the verified wipe"
  expect_ends_encrypted "$dev"
  end_session
}

# A counterfeit stick: it claims twice HALF MiB but stores HALF, its upper
# half wrapping onto its lower half, as fake-capacity sticks do. It is a USB
# mass-storage gadget (configfs, dummy_hcd) whose backing device is a
# dm-linear mapping of both halves onto one 16 MiB loop device. Every write
# succeeds, so the fill ends as on a genuine stick; only the read-back can
# tell. The gadget reads and writes its backing device through that
# device's page cache, where the two halves are still apart: a flusher drops
# it every 20 ms, so once what was written is synced the wrap shows through.
FAKE_GADGET=/sys/kernel/config/usb_gadget/tdhfake
FAKE_IMAGE=/tmp/tdh-fake-lower-half.img
counterfeit_stick() {  # HALF_MIB: sets FAKE_DEV to the counterfeit stick's /dev/sdX
  local half=$(($1 * 1048576)) loop udc i m
  for m in loop dummy_hcd libcomposite usb_f_mass_storage; do
    modprobe "$m" || fail "modprobe $m"
  done
  mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config ||
    fail "configfs does not mount"
  truncate -s "$half" "$FAKE_IMAGE"
  loop=$(losetup --find --show "$FAKE_IMAGE") || fail "losetup $FAKE_IMAGE"
  on_exit "remove_counterfeit $loop"
  printf '0 %d linear %s 0\n%d %d linear %s 0\n' $((half / 512)) "$loop" $((half / 512)) $((half / 512)) "$loop" |
    dmsetup create tdhfake || fail "dmsetup create tdhfake"
  # The wrap itself, below every cache: the upper half's first MiB is the
  # lower half's first MiB.
  fill_pattern /dev/mapper/tdhfake "$1" 1
  is_pattern /dev/mapper/tdhfake 0 || fail "the counterfeit's upper half does not wrap onto its lower half"
  dd if=/dev/zero of=/dev/mapper/tdhfake bs=1M count=1 oflag=direct status=none
  mkdir "$FAKE_GADGET" "$FAKE_GADGET/strings/0x409" "$FAKE_GADGET/configs/c.1" \
    "$FAKE_GADGET/functions/mass_storage.0" || fail "the gadget cannot be made in configfs"
  echo 0x1d6b >"$FAKE_GADGET/idVendor"
  echo 0x0104 >"$FAKE_GADGET/idProduct"
  echo TDHFAKE >"$FAKE_GADGET/strings/0x409/serialnumber"
  echo Tarnwick >"$FAKE_GADGET/strings/0x409/manufacturer"
  echo Counterfeit >"$FAKE_GADGET/strings/0x409/product"
  echo 1 >"$FAKE_GADGET/functions/mass_storage.0/lun.0/removable"
  echo /dev/mapper/tdhfake >"$FAKE_GADGET/functions/mass_storage.0/lun.0/file" ||
    fail "the gadget does not take /dev/mapper/tdhfake"
  ln -s "$FAKE_GADGET/functions/mass_storage.0" "$FAKE_GADGET/configs/c.1/"
  udc=$(find /sys/class/udc -mindepth 1 -maxdepth 1 -printf '%f\n' | head -n1)
  [[ -n $udc ]] || fail "no USB device controller (dummy_hcd)"
  echo "$udc" >"$FAKE_GADGET/UDC" || fail "the gadget does not bind to $udc"
  for ((i = 0; i < 60; i++)); do
    settle
    by_id TDHFAKE >/dev/null && break
    sleep 1
  done
  FAKE_DEV=$(kdev TDHFAKE)
  expect_eq "$(size_bytes "$FAKE_DEV")" $((2 * half)) "the size the counterfeit stick claims"
  while :; do blockdev --flushbufs /dev/mapper/tdhfake 2>/dev/null; sleep 0.02; done &
  FLUSHER_PID=$!
}
remove_counterfeit() {  # LOOP
  [[ -n ${FLUSHER_PID:-} ]] && kill "$FLUSHER_PID" 2>/dev/null && wait "$FLUSHER_PID" 2>/dev/null
  FLUSHER_PID=
  if [[ -d $FAKE_GADGET ]]; then
    echo >"$FAKE_GADGET/UDC" 2>/dev/null
    rm -f "$FAKE_GADGET/configs/c.1/mass_storage.0"
    rmdir "$FAKE_GADGET/configs/c.1" "$FAKE_GADGET/functions/mass_storage.0" \
      "$FAKE_GADGET/strings/0x409" "$FAKE_GADGET" 2>/dev/null
  fi
  settle
  dmsetup remove tdhfake 2>/dev/null
  losetup -d "$1" 2>/dev/null
  rm -f "$FAKE_IMAGE"
}

t_verified-wipe-catches-a-counterfeit-stick() {
  local dev answer
  counterfeit_stick 16
  dev=$FAKE_DEV
  expect_eq "$(lsblk -dn -o RM,HOTPLUG,TRAN "$dev" | tr -s ' ' | sed 's/^ //')" "1 1 usb" "lsblk RM HOTPLUG TRAN of the counterfeit stick"
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero","verify":true}' 900)
  expect_prefix "$answer" '{"error":"verification failed: the drive returned different data at byte offset ' \
    "answer to a verified wipe of a counterfeit stick"
  expect_eq "$(last_copied)" $((32 * 1048576)) "bytes the fill wrote (every write succeeds)"
  grep -q '"verified"' "$T/out" || fail "the read-back never began"
  no_tools_running "after the failed verification"
  no_tarnwick_mappings "after the failed verification"
  end_session
}

t_random-wipe-reaches-the-end() {
  local dev size before written
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  size=$(size_bytes "$dev")
  fill_pattern "$dev" $((size / 1048576 - 1)) 1
  before=$(sectors_written "$dev")
  start_session
  ask_ok '{"op":"wipe","device":"'"$dev"'","mode":"random"}' 900
  written=$((($(sectors_written "$dev") - before) * 512))
  ((written >= size)) || fail "the kernel wrote $written of $size bytes"
  is_pattern "$dev" $((size / 1048576 - 1)) && fail "the last MiB still holds the old data"
  end_session
}

# One refusal: REQUEST EXPECTED-ANSWER-TEXT. The text must be exact; the
# only thing allowed after it is one further reason of the kernel's
# exclusive-open backstop, which by its nature also sees mounts and swap.
expect_refusal() {
  local answer
  start_session
  answer=$(ask "$1")
  local exact="{\"error\":\"$2\"}" rest
  rest=${answer#"{\"error\":\"$2; "}
  if [[ $answer != "$exact" && ($rest == "$answer" || $rest == *";"* || $rest != *'"}') ]]; then
    fail "answer to $1: got [$answer], expected [$exact]"
  fi
  end_session
}

t_guard-refuses-root-disk() {
  local source
  source=$(awk '$2 == "/" { print $1; exit }' /proc/mounts)
  expect_eq "$source" /dev/vda "root file system source"
  expect_refusal '{"op":"wipe","device":"/dev/vda","mode":"none"}' \
    "refused destructive operation: device is not removable or hotplug-capable; partition currently mounted at /; device hosts the running root filesystem"
}

t_guard-refuses-fixed-disk() {
  expect_refusal '{"op":"wipe","device":"/dev/vdb","mode":"random"}' \
    "refused destructive operation: device is not removable or hotplug-capable"
}

t_guard-refuses-mounted-stick() {
  local dev part
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  part=$(partition "$dev")
  mkfs.ext4 -q -F "$part" >/dev/null
  mkdir -p /mnt/tdh
  mount "$part" /mnt/tdh || fail "mount $part"
  on_exit 'umount /mnt/tdh 2>/dev/null'
  expect_refusal '{"op":"wipe","device":"'"$dev"'","mode":"random"}' \
    "refused destructive operation: partition currently mounted at /mnt/tdh"
}

t_guard-refuses-active-swap() {
  local dev part
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  part=$(partition "$dev")
  mkswap -q "$part" >/dev/null
  swapon "$part" || fail "swapon $part"
  on_exit "swapoff $part 2>/dev/null"
  # A real lsblk shows active swap as the mount point "[SWAP]", so check 3
  # fires too, with that text.
  expect_refusal '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' \
    "refused destructive operation: partition currently mounted at [SWAP]; device holds an active swap area"
}

t_guard-refuses-crypttab-entry() {
  local dev uuid
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  start_session
  ask_ok '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' 600
  end_session
  settle
  uuid=$(blkid -p -s UUID -o value "$dev")
  [[ -e /dev/disk/by-uuid/$uuid ]] || fail "udev made no by-uuid link for $uuid"
  cp /etc/crypttab "$T/crypttab"
  on_exit 'cp "$T/crypttab" /etc/crypttab'
  echo "backup UUID=$uuid none luks" >>/etc/crypttab
  expect_refusal '{"op":"luks-open","device":"'"$dev"'","mapper_name":"tarnwick_ct","passphrase_b64":"'"$PASS_B64"'"}' \
    "refused destructive operation: device is referenced in /etc/crypttab"
  no_tarnwick_mappings "after the refusal"
}

t_guard-refuses-read-only-stick() {
  expect_refusal '{"op":"wipe","device":"'"$(kdev TDHRO)"'","mode":"random"}' \
    "refused destructive operation: device is read-only"
}

t_guard-refuses-partition-path() {
  local dev part
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  part=$(partition "$dev")
  expect_refusal '{"op":"wipe","device":"'"$part"'","mode":"random"}' \
    "refused destructive operation: device not found: $part"
  expect_refusal '{"op":"luks-format","device":"'"$part"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' \
    "refused destructive operation: device not found: $part"
}

t_guard-refuses-mounted-lvm-in-luks() {
  local dev part answer
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  part=$(partition "$dev")
  on_exit 'umount /mnt/ext 2>/dev/null; vgchange -q -an extvg >/dev/null 2>&1; cryptsetup close extluks 2>/dev/null'
  printf '%s' "$PASSPHRASE" | cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 \
    --key-file=- "$part" || fail "luksFormat $part"
  printf '%s' "$PASSPHRASE" | cryptsetup open --key-file=- "$part" extluks || fail "open $part"
  pvcreate -q /dev/mapper/extluks >/dev/null && vgcreate -q extvg /dev/mapper/extluks >/dev/null &&
    lvcreate -q -y -l 100%FREE -n data extvg >/dev/null || fail "LVM inside LUKS"
  mkfs.ext4 -q -F /dev/extvg/data >/dev/null
  mkdir -p /mnt/ext
  mount /dev/extvg/data /mnt/ext || fail "mount the logical volume"
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"none"}')
  expect_prefix "$answer" '{"error":"refused destructive operation: partition currently mounted at /mnt/ext' "wipe of a drive with a mounted LV"
  answer=$(ask '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}')
  expect_prefix "$answer" '{"error":"refused destructive operation: partition currently mounted at /mnt/ext' "luks-format of a drive with a mounted LV"
  end_session
}

t_guard-refuses-raid-member() {
  local dev part answer
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  part=$(partition "$dev")
  on_exit "mdadm --stop /dev/md/tdh >/dev/null 2>&1; wipefs -q -a $part 2>/dev/null"
  mdadm --create /dev/md/tdh --run --quiet --level=1 --raid-devices=1 --force --metadata=1.2 "$part" >/dev/null 2>&1 ||
    fail "mdadm --create on $part"
  settle
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"none"}')
  expect_prefix "$answer" '{"error":"refused destructive operation: ' "wipe of a drive whose partition is an active RAID member"
  end_session
}

# A loop device over the stick: lsblk shows it beside the stick, and this
# kernel does not claim the stick for it, so only sysfs ties them together.
t_guard-refuses-stick-behind-loop-device() {
  local dev loop
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  modprobe loop 2>/dev/null || true
  loop=$(losetup --find --show "$dev" 2>"$T/losetup.err") || fail "losetup over $dev: $(cat "$T/losetup.err")"
  on_exit "losetup -d $loop 2>/dev/null"
  expect_refusal '{"op":"wipe","device":"'"$dev"'","mode":"random"}' \
    "refused destructive operation: device is in use by the system"
  mkfs.ext4 -q -F "$loop" >/dev/null
  mkdir -p /mnt/tdh
  mount "$loop" /mnt/tdh || fail "mount $loop"
  on_exit 'umount /mnt/tdh 2>/dev/null'
  echo kept >/mnt/tdh/kept
  sync
  expect_refusal '{"op":"wipe","device":"'"$dev"'","mode":"random"}' \
    "refused destructive operation: partition currently mounted at /mnt/tdh"
  expect_refusal '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' \
    "refused destructive operation: partition currently mounted at /mnt/tdh"
  expect_eq "$(cat /mnt/tdh/kept)" kept "the file on the loop device's filesystem"
  umount /mnt/tdh || fail "umount /mnt/tdh"
  e2fsck -fn "$loop" >/dev/null 2>&1 || fail "the loop device's filesystem is damaged"
}

fault_io_error() {  # MODE
  local dev answer
  dev=$(kdev TDHBAD)
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"'"$1"'"}' 900)
  expect_prefix "$answer" '{"error":"' "wipe ($1) of a stick whose writes fail"
  [[ $answer == *"Input/output error"* ]] || fail "the answer does not carry dd's I/O error: $answer"
  no_tarnwick_mappings "after the failed wipe"
  end_session
}
t_fault-io-error-random() { fault_io_error random; }
t_fault-io-error-encrypted-zero() { fault_io_error encrypted-zero; }

# Every write succeeds; the read-back meets the drive's I/O error. The wipe
# must fail with cmp's own words, not pass as verified nor as a mismatch,
# and still close the mapping.
t_fault-read-error-during-verification() {
  local dev size answer
  dev=$(kdev TDHRBAD)
  size=$(size_bytes "$dev")
  start_session
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero","verify":true}' 900)
  expect_eq "$answer" '{"error":"command `cmp -n '"$size"' /dev/mapper/tarnwick_wipe_tmp /dev/zero` failed (exit 2): cmp: /dev/mapper/tarnwick_wipe_tmp: Input/output error\n"}' \
    "answer to a verified wipe whose read-back fails"
  expect_eq "$(final_count)" 1 "answers"
  grep -q '"verified"' "$T/out" || fail "the read-back never began"
  no_tools_running "after the failed read-back"
  no_tarnwick_mappings "after the failed read-back"
  end_session
}

# A signal in the middle of an encrypted-zero wipe of the big stick.
signal_during_wipe() {  # SIGNAL NUMBER TARGET(helper|group)
  local dev answer
  dev=$(kdev TDHBIG)
  start_session
  send '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero"}'
  wait_copied $((16 * 1048576)) 300
  if [[ $3 == group ]]; then
    kill -s "$1" -- "-$HELPER_PID"
  else
    kill -s "$1" "$HELPER_PID"
  fi
  expect_eq "$(wait_status 120)" "exit $((128 + $2))" "helper status after SIG$1"
  answer=$(finals | tail -n1)
  expect_prefix "$answer" '{"error":"' "answer to the interrupted wipe"
  sleep 1
  no_tools_running "after SIG$1"
  no_tarnwick_mappings "after SIG$1"
}
t_signal-int-process-group-encrypted-zero() { signal_during_wipe INT 2 group; }
t_signal-term-encrypted-zero() { signal_during_wipe TERM 15 helper; }
t_signal-hup-encrypted-zero() { signal_during_wipe HUP 1 helper; }

t_signal-term-open-container() {
  local dev
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  start_session
  ask_ok '{"op":"luks-format","device":"'"$dev"'","label":"","passphrase_b64":"'"$PASS_B64"'"}' 600
  ask_ok '{"op":"luks-open","device":"'"$dev"'","mapper_name":"tarnwick_sig","passphrase_b64":"'"$PASS_B64"'"}' 600
  settle
  [[ -b /dev/mapper/tarnwick_sig ]] || fail "no /dev/mapper/tarnwick_sig"
  kill -TERM "$HELPER_PID"
  expect_eq "$(wait_status 120)" "exit 143" "helper status after SIGTERM"
  no_tools_running "after SIGTERM"
  no_tarnwick_mappings "after SIGTERM"
}

# A cancel line in the middle of an encrypted-zero wipe: the wipe is
# answered with exactly the cancelled text and then the cancel with ok, at
# once; the tool was reaped and the mapping closed before those answers; the
# kernel's write count bears out what the text says of the drive; and the
# session goes on with the drive free again (a mapping left on it would hold
# it, and the guard would refuse it as busy).
cancel_during_wipe() {  # SERIAL EXTRA-MEMBERS ANSWER-TEXT
  local dev size before written at i
  dev=$(kdev "$1")
  size=$(size_bytes "$dev")
  before=$(sectors_written "$dev")
  start_session
  send '{"op":"wipe","device":"'"$dev"'","mode":"encrypted-zero"'"$2"'}'
  if [[ $2 == *verify* ]]; then
    for ((i = 0; i < 6000; i++)); do
      grep -q '"verified"' "$T/out" && break
      (($(final_count) > 0)) && fail "answered before the read-back began: $(finals | tail -n1)"
      sleep 0.1
    done
    grep -q '"verified"' "$T/out" || fail "no read-back progress after 600 s"
  else
    wait_copied $((8 * 1048576)) 300
  fi
  at=$(grep '^{"progress"' "$T/out" | tail -n1)
  send '{"op":"cancel"}'
  for ((i = 0; i < 600; i++)); do
    (($(final_count) >= 2)) && break
    sleep 0.1
  done
  expect_eq "$(finals | tr '\n' ' ')" "{\"error\":\"$3\"} {\"ok\":true} " \
    "answers to the wipe and the cancel sent after $at"
  no_tools_running "when the cancel was answered"
  no_tarnwick_mappings "after the cancel"
  written=$((($(sectors_written "$dev") - before) * 512))
  if [[ $2 == *verify* ]]; then
    ((written >= size)) || fail "said written in full, but the kernel wrote $written of $size bytes"
  else
    ((written < size)) || fail "said partly wiped, but the kernel wrote $written of $size bytes"
  fi
  expect_eq "$(ask '{"op":"wipe","device":"'"$dev"'","mode":"none"}')" '{"ok":true}' "a wipe after the cancel"
  expect_prefix "$(ask '{"op":"cancel"}')" '{"error":"parse: unknown variant `cancel`' "a cancel with no wipe running"
  end_session
}
t_cancel-encrypted-zero-during-fill() {
  cancel_during_wipe TDHBIG '' "wipe cancelled: the drive is only partly wiped"
}
t_cancel-verified-wipe-during-read-back() {
  cancel_during_wipe TDHSTICK ',"verify":true' "wipe cancelled during verification: the drive was written in full but not read back"
}

# The command under a pseudo-terminal made by script(1). What a person
# types goes in through fd 6 only once the prompt for it is on the screen,
# so the terminal's echo settings at that moment apply as they would.
under_terminal() {  # COMMAND...
  rm -f "$T/tty-in" "$T/typescript"
  mkfifo "$T/tty-in"
  : >"$T/typescript"
  timeout -k 5 600 perl -e '$SIG{INT} = $SIG{QUIT} = "DEFAULT"; exec(@ARGV) or exit 127' -- \
    script -q -e -f -c "$(printf '%q ' "$@")" "$T/typescript" <"$T/tty-in" >/dev/null 2>&1 &
  TERM_PID=$!
  exec 6>"$T/tty-in"
  on_exit 'exec 6>&-; kill "$TERM_PID" 2>/dev/null; wait "$TERM_PID" 2>/dev/null'
}
# Answers every confirmation with the drive's name and every passphrase
# prompt with $PASSPHRASE until the command ends; sets TERM_STATUS to its
# exit status (not run in a subshell: it waits for the command).
answer_terminal() {  # NAME TIMEOUT
  local i confirms=0 secrets=0 c q
  for ((i = 0; i < $2 * 10; i++)); do
    if ! kill -0 "$TERM_PID" 2>/dev/null; then
      exec 6>&-
      wait "$TERM_PID"
      TERM_STATUS=$?
      return 0
    fi
    c=$(grep -c 'to confirm: ' "$T/typescript")
    q=$(grep -c -E 'Passphrase for |Repeat the passphrase' "$T/typescript")
    if ((c > confirms)); then
      printf '%s\n' "$1" >&6
      confirms=$c
    elif ((q > secrets)); then
      printf '%s\n' "$PASSPHRASE" >&6
      secrets=$q
    fi
    sleep 0.1
  done
  TERM_STATUS="(still running after $2 s)"
}
screen() { tr -d '\r' <"$T/typescript"; }
# The last lines the command wrote, on one line, for failure texts.
screen_end() { screen | grep -v -e '^$' -e '^Script ' | tail -n "${1:-4}" | tr '\n' '|' | tail -c 400; }

t_cli-wipe-under-terminal() {
  local dev name status
  dev=$(kdev TDHSTICK)
  name=$(basename "$dev")
  under_terminal "$CLI" --helper "$HELPER" wipe "$dev" --mode random
  answer_terminal "$name" 600
  status=$TERM_STATUS
  screen | grep -q "Type $name to confirm" || fail "no confirmation question: $(screen_end)"
  screen | grep -q "by-id: *$(by_id TDHSTICK)" || fail "the drive's by-id link is not shown"
  expect_eq "$status" 0 "exit status ($(screen_end 6))"
  screen | grep -q "wiped $dev (mode random)" || fail "no closing line: $(screen_end)"
}

t_cli-encrypt-open-mkfs-close-under-terminal() {
  local dev name status
  dev=$(kdev TDHSTICK)
  scrub "$dev"
  name=$(basename "$dev")
  under_terminal "$CLI" --helper "$HELPER" encrypt "$dev" --label tdh-cli open "$dev" cli mkfs cli --fs ext4 --label tdh-cli close cli
  answer_terminal "$name" 600
  status=$TERM_STATUS
  expect_eq "$status" 0 "exit status ($(screen_end 6))"
  screen | grep -q "made an ext4 filesystem on /dev/mapper/tarnwick_cli labelled tdh-cli" ||
    fail "no mkfs line: $(screen_end)"
  screen | grep -q "$PASSPHRASE" && fail "the passphrase was echoed on the terminal"
  no_tarnwick_mappings "after the command"
  printf '%s' "$PASSPHRASE" | cryptsetup open --key-file=- "$dev" tdhcheck || fail "the container does not open"
  expect_eq "$(blkid -p -s TYPE -o value /dev/mapper/tdhcheck)" ext4 "filesystem in the container"
  cryptsetup close tdhcheck
}

t_cli-ctrl-c-during-wipe() {
  local dev name status i
  dev=$(kdev TDHBIG)
  name=$(basename "$dev")
  under_terminal "$CLI" --helper "$HELPER" wipe "$dev" --mode encrypted-zero
  for ((i = 0; i < 600; i++)); do
    grep -q 'to confirm: ' "$T/typescript" && break
    sleep 0.1
  done
  printf '%s\n' "$name" >&6
  for ((i = 0; i < 600; i++)); do
    [[ -b /dev/mapper/tarnwick_wipe_tmp ]] && break
    kill -0 "$TERM_PID" 2>/dev/null || fail "the command ended before the wipe began: $(screen_end)"
    sleep 0.5
  done
  sleep 5
  kill -0 "$TERM_PID" 2>/dev/null || fail "the command ended before Ctrl-C: $(screen_end)"
  # Ctrl-C typed once progress shows: the command reads it as a key and
  # cancels the wipe through the helper, which stops dd and closes its mapping.
  printf '\003' >&6
  answer_terminal "$name" 120
  status=$TERM_STATUS
  expect_eq "$status" 130 "exit status after Ctrl-C ($(screen_end 6))"
  screen | grep -q "cancelling the wipe" || fail "the command does not say it cancels: $(screen_end)"
  screen | grep -q "wipe cancelled: the drive is only partly wiped" ||
    fail "the command does not say the wipe was cancelled: $(screen_end)"
  no_tools_running "after Ctrl-C"
  no_tarnwick_mappings "after Ctrl-C"
}

t_fault-stick-pulled-during-wipe() {
  local dev answer
  dev=$(kdev TDHBIG)
  start_session
  send '{"op":"wipe","device":"'"$dev"'","mode":"random"}'
  wait_copied $((64 * 1048576)) 300
  on_exit 'plug_back big'
  host pull big
  for ((i = 0; i < 1200; i++)); do
    (($(final_count) > 0)) && break
    sleep 0.1
  done
  answer=$(finals | tail -n1)
  expect_prefix "$answer" '{"error":"' "answer to the wipe of a pulled stick"
  answer=$(ask '{"op":"wipe","device":"'"$dev"'","mode":"none"}')
  expect_eq "$answer" "{\"error\":\"refused destructive operation: device not found: $dev\"}" "a wipe after the pull"
  end_session
}
plug_back() {  # ID: after a pull, on every path
  local i
  by_id "TDH${1^^}" >/dev/null && return 0
  printf 'plug %s\n' "$1" >/dev/ttyS1
  read -r -t 60 _ </dev/ttyS1
  for ((i = 0; i < 60; i++)); do
    settle
    by_id "TDH${1^^}" >/dev/null && return 0
    sleep 1
  done
  detail "stick $1 did not come back"
}

# ---------------------------------------------------------------- capacity check

probe_request() { echo '{"op":"probe","device":"'"$1"'"}'; }
# The result line of the last probe.
probe_result() { grep '^{"probe"' "$T/out" | tail -n1; }

t_probe-genuine-stick-unchanged() {
  local dev before after answer
  dev=$(kdev TDHSTICK)
  # Every block different, so a block restored to the wrong place shows.
  dd if=/dev/urandom of="$dev" bs=1M count=96 oflag=direct status=none
  before=$(sha256sum <"$dev")
  start_session
  answer=$(ask "$(probe_request "$dev")" 120)
  expect_eq "$answer" '{"ok":true}' "answer to the probe"
  probe_result | grep -q '"claimed":100663296,"block":4096,"positions":[0-9]*,"genuine":true,"unrestored":\[\]}}$' ||
    fail "result line: $(probe_result)"
  end_session
  echo 3 >/proc/sys/vm/drop_caches
  after=$(sha256sum <"$dev")
  expect_eq "$after" "$before" "checksum of the whole stick after the probe"
}

t_probe-counterfeit-gadget() {
  local answer
  counterfeit_stick 64
  start_session
  answer=$(ask "$(probe_request "$FAKE_DEV")" 300)
  expect_eq "$answer" \
    '{"error":"probe: the drive stores at most 64.0 MiB of the 128.0 MiB it claims"}' \
    "answer to the probe of the counterfeit"
  probe_result | grep -q '"claimed":134217728,.*"genuine":false,"lowest_failing":67108864,"highest_good":67104768,' ||
    fail "result line: $(probe_result)"
  end_session
}

t_cli-check-and-encrypt-counterfeit-gadget() {
  local out status
  counterfeit_stick 64
  out=$("$CLI" --helper "$HELPER" check "$FAKE_DEV" 2>&1)
  status=$?
  expect_eq "$status" 1 "exit status of check ($out)"
  expect_eq "$out" "$FAKE_DEV: COUNTERFEIT: only the first 64.0 MiB of the claimed 128.0 MiB store data" "check line"
  out=$(printf '%s\n' "$PASSPHRASE" | "$CLI" --yes --passphrase-fd 0 --helper "$HELPER" encrypt "$FAKE_DEV" 2>&1)
  status=$?
  expect_eq "$status" 1 "exit status of encrypt ($out)"
  grep -q 'refusing to encrypt a drive that does not store what it claims' <<<"$out" ||
    fail "encrypt did not refuse: $out"
  cryptsetup isLuks "$FAKE_DEV" && fail "a LUKS header was written to the counterfeit"
  out=$("$CLI" --helper "$HELPER" check "$(kdev TDHSTICK)" 2>&1)
  expect_eq "$?" 0 "exit status of check on the genuine stick ($out)"
  grep -q ': genuine: [0-9]* positions across 96.0 MiB held their data$' <<<"$out" || fail "check line: $out"
}

# ---------------------------------------------------------------- many drives at once

# Several id'd wipes in one session: every line of wipe ID begins {"id":"ID",.
id_wipe() {  # ID DEV MODE [EXTRA-MEMBERS]
  send '{"op":"wipe","device":"'"$2"'","mode":"'"$3"'"'"${4:-}"',"id":"'"$1"'"}'
}
id_lines() { grep -F "{\"id\":\"$1\"," "$T/out" || true; }
id_final() { id_lines "$1" | grep -v '^{"id":"[^"]*","progress"' | tail -n1; }
id_final_count() { grep -c -v '^{"id":"[^"]*","progress"' "$T/out" || true; }
id_last() {  # ID FIELD: the last progress figure of wipe ID
  id_lines "$1" | grep "\"$2\":" | tail -n1 | sed -n "s/.*\"$2\":\\([0-9]*\\).*/\\1/p"
}
# Waits for COUNT final answers, running POLL (if given) every tenth of a second.
wait_id_finals() {  # COUNT TIMEOUT [POLL]
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    (($(id_final_count) >= $1)) && return 0
    [[ -s $T/status ]] && fail "the helper ended with $(id_final_count) of $1 answers: $(tail -n 3 "$T/out" | tr '\n' ' ')"
    [[ -n ${3:-} ]] && "$3"
    sleep 0.1
  done
  fail "$(id_final_count) of $1 answers after $2 s: $(tail -n 3 "$T/out" | tr '\n' ' ')"
}
wait_id_copied() {  # ID BYTES TIMEOUT
  local i copied
  for ((i = 0; i < $3 * 10; i++)); do
    copied=$(id_last "$1" copied)
    [[ -n $copied ]] && ((copied >= $2)) && return 0
    [[ -n $(id_final "$1") ]] && fail "wipe $1 ended before writing $2 bytes: $(id_final "$1")"
    [[ -s $T/status ]] && fail "the helper ended before wipe $1 wrote $2 bytes"
    sleep 0.1
  done
  fail "wipe $1 wrote fewer than $2 bytes after $3 s (last progress ${copied:-none})"
}
# Every output line is whole, names one of the wipes first, and is a
# progress line or a final answer.
expect_id_lines() {  # ID...
  local ids bad
  ids=$(IFS='|' && echo "$*")
  bad=$(grep -v -E '^\{"id":"('"$ids"')",("progress":\{"copied":[0-9]+,"total":0(,"verified":[0-9]+)?\}|"ok":true|"error":".*")\}$' "$T/out" | head -n 3)
  [[ -z $bad ]] || fail "lines that are not whole lines of wipes $*: $bad"
}
# Poll for wait_id_finals: whether the temporary mappings of the two drives
# named in TOGETHER were ever open at the same moment.
TOGETHER=() SEEN_TOGETHER=no
note_mappings() {
  [[ -e /dev/mapper/tarnwick_wipe_${TOGETHER[0]} && -e /dev/mapper/tarnwick_wipe_${TOGETHER[1]} ]] &&
    SEEN_TOGETHER=yes
  return 0
}

t_many-sticks-wiped-at-once() {
  local a b c dev size before=() i mib
  a=$(kdev TDHSTICK)
  b=$(kdev TDHSTICK2)
  c=$(kdev TDHSTICK3)
  for dev in "$a" "$b" "$c"; do
    scrub "$dev"
    mark_ends "$dev"
    before+=("$(sectors_written "$dev")")
  done
  size=$(size_bytes "$a")
  TOGETHER=("$(basename "$b")" "$(basename "$c")")
  start_session
  id_wipe A "$a" random
  id_wipe B "$b" encrypted-zero ',"verify":true'
  id_wipe C "$c" encrypted-zero ',"verify":true'
  wait_id_finals 3 900 note_mappings
  for i in A B C; do
    expect_eq "$(id_final "$i")" '{"id":"'"$i"'","ok":true}' "answer to wipe $i"
    [[ -n $(id_last "$i" copied) ]] || fail "no progress line of wipe $i"
  done
  expect_eq "$(id_final_count)" 3 "final answers"
  expect_id_lines A B C
  expect_eq "$(id_last B verified)" "$size" "last verified figure of wipe B"
  expect_eq "$(id_last C verified)" "$size" "last verified figure of wipe C"
  id_lines A | grep -q '"verified"' && fail "the random wipe reports a read-back"
  expect_eq "$SEEN_TOGETHER" yes \
    "tarnwick_wipe_${TOGETHER[0]} and tarnwick_wipe_${TOGETHER[1]} open at the same time"
  no_tools_running "after the wipes"
  no_tarnwick_mappings "after the wipes"
  i=0
  for dev in "$a" "$b" "$c"; do
    (((($(sectors_written "$dev") - before[i]) * 512) >= size)) ||
      fail "the kernel wrote less than the whole of $dev"
    i=$((i + 1))
  done
  for mib in 0 $((size / 1048576 - 1)); do
    is_pattern "$a" "$mib" && fail "MiB $mib of the randomly wiped stick still holds the old data"
  done
  expect_ends_encrypted "$b"
  expect_ends_encrypted "$c"
  end_session
}

# The big stick is pulled out while its wipe and two others run: only its
# wipe fails, the other two end well, and its mapping goes with it.
t_many-sticks-one-pulled-out() {
  local a b c
  a=$(kdev TDHSTICK2)
  b=$(kdev TDHSTICK3)
  c=$(kdev TDHBIG)
  start_session
  id_wipe A "$a" random
  id_wipe B "$b" encrypted-zero
  id_wipe C "$c" encrypted-zero
  wait_id_copied C $((16 * 1048576)) 300
  [[ -z $(id_final A)$(id_final B) ]] || fail "a wipe ended before the pull: $(id_final A) $(id_final B)"
  [[ -e /dev/mapper/tarnwick_wipe_$(basename "$c") ]] || fail "no temporary mapping on the big stick"
  on_exit 'plug_back big'
  host pull big
  wait_id_finals 3 900
  expect_prefix "$(id_final C)" '{"id":"C","error":"' "answer to the wipe of the pulled stick"
  expect_eq "$(id_final A)" '{"id":"A","ok":true}' "answer to wipe A"
  expect_eq "$(id_final B)" '{"id":"B","ok":true}' "answer to wipe B"
  expect_id_lines A B C
  no_tools_running "after the pull"
  no_tarnwick_mappings "after the pull"
  end_session
}

# The screen as lines: carriage returns and cursor movements break lines.
screen_lines() { sed -e $'s/\x1b\\[[0-9;?]*[A-Za-z]/\\n/g' -e 's/\r/\n/g' "$T/typescript" | grep -v '^$'; }
is_bar() { grep -E '\[[#-]{10,}\]'; }

t_cli-wipe-three-sticks-under-terminal() {
  local serial devs=() dev name status summary report last_bar
  for serial in TDHSTICK TDHSTICK2 TDHSTICK3; do devs+=("$(kdev "$serial")"); done
  mkdir "$T/reports"
  under_terminal "$CLI" --helper "$HELPER" wipe "${devs[@]}" --mode random --report "$T/reports"
  answer_terminal 3 900
  status=$TERM_STATUS
  expect_eq "$(grep -c 'to confirm: ' "$T/typescript")" 1 "confirmation questions ($(screen_end))"
  screen | grep -q 'Type 3 to confirm' || fail "the question does not ask for the number of drives: $(screen_end)"
  expect_eq "$status" 0 "exit status ($(screen_end 8))"
  # The summary: what the command wrote after its last progress bar.
  last_bar=$(screen_lines | grep -n -E '\[[#-]{10,}\]' | tail -n1 | cut -d: -f1)
  summary=$(screen_lines | tail -n "+$((${last_bar:-0} + 1))")
  for dev in "${devs[@]}"; do
    name=$(basename "$dev")
    screen_lines | is_bar | grep -q -w "$name" || fail "no progress bar names $name: $(screen_end)"
    expect_eq "$(grep -w "$name" <<<"$summary" | grep -c '/s')" 1 "summary rows of $name with a speed ($(screen_end 8))"
    report=$(grep -l -F "\"$dev\"" "$T/reports"/* 2>/dev/null)
    expect_eq "$(grep -c '' <<<"$report")" 1 "reports naming $dev ($(find "$T/reports" -type f -printf '%f '))"
    grep -q -E '"result": ?"ok"' "$report" || fail "the report of $dev does not say ok: $(head -c 300 "$report")"
  done
  expect_eq "$(find "$T/reports" -type f | grep -c '')" 3 "files in the report folder"
}

# ---------------------------------------------------------------- runner

known() {
  local t
  for t in "${TESTS[@]}"; do [[ $t == "$1" ]] && return 0; done
  return 1
}

case ${1:-} in
  --list)
    printf '%s\n' "${TESTS[@]}"
    exit 0
    ;;
  --check)
    shift
    for name in "$@"; do
      known "$name" || { echo "guest: unknown test $name (see tests/guest/run.sh --list)" >&2; exit 2; }
    done
    exit 0
    ;;
  --one)
    known "${2:-}" || { echo "unknown test ${2:-}"; exit 2; }
    T=$(mktemp -d /tmp/tdh-test.XXXXXX)
    TEST_SHELL=$$
    trap 'exit 1' USR1
    trap '' PIPE  # a command that ended early shows as a failed check, not a dead test
    trap 'run_cleanups' EXIT
    "t_$2"
    exit 0
    ;;
esac

stty -F /dev/ttyS1 raw -echo -echoe -echok 115200 2>/dev/null
# Little dirty page cache: a killed writer's leftovers flush in seconds, not
# minutes, under emulation, and progress follows what reached the drive.
echo $((16 * 1048576)) >/proc/sys/vm/dirty_bytes
echo $((4 * 1048576)) >/proc/sys/vm/dirty_background_bytes
mapfile -t selected < <(grep -v '^$' "$P/selected" 2>/dev/null)
((${#selected[@]})) || selected=("${TESTS[@]}")
mapfile -t xfail < <(grep -v '^[[:space:]]*\(#\|$\)' "$P/expected-to-fail.txt" | awk '{ print $1 }')
is_xfail() {
  local x
  for x in "${xfail[@]}"; do [[ $x == "$1" ]] && return 0; done
  return 1
}

passed=0 failed=0 skipped=0 xpassed=()
for name in "${TESTS[@]}"; do
  printf '%s\n' "${selected[@]}" | grep -qxF "$name" || continue
  start=$SECONDS
  echo "TDH-START $name"
  log=$(mktemp /tmp/tdh-log.XXXXXX)
  timeout -k 10 900 "$0" --one "$name" >"$log" 2>&1
  status=$?
  took=$((SECONDS - start))
  if ((status == 0)); then
    if is_xfail "$name"; then
      echo "TDH-RESULT XPASS $name (${took} s): passes now; drop it from expected-to-fail.txt"
      xpassed+=("$name")
    else
      echo "TDH-RESULT ok $name (${took} s)"
    fi
    passed=$((passed + 1))
  else
    ((status == 124)) && echo "TDH-DETAIL timed out after 900 s" >>"$log"
    if is_xfail "$name"; then
      echo "TDH-RESULT xfail $name (${took} s)"
      grep -m2 '^TDH-DETAIL' "$log"
      skipped=$((skipped + 1))
    else
      echo "TDH-RESULT FAIL $name (${took} s)"
      grep '^TDH-DETAIL' "$log" || tail -n 20 "$log" | sed 's/^/TDH-DETAIL /'
      dmesg | tail -n 8 | sed 's/^/TDH-DETAIL kernel: /'
      failed=$((failed + 1))
    fi
  fi
  rm -f "$log"
done
echo "TDH-SUMMARY $passed passed, $failed failed, $skipped skipped"
((failed == 0))
