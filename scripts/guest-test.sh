#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real-kernel test stage: boots the Debian 12 guest (scripts/guest-image.sh)
# under QEMU with emulated drives and runs tests/guest/run.sh in it against
# the helper and the command of a build of this tree, with real dm-crypt,
# real udev and a real USB stick that can fail and be pulled out.
#
#   scripts/guest-test.sh [--build DIR] [TEST...]
#
# DIR defaults to build/ci. TEST names select tests (all when none; see
# `tests/guest/run.sh --list`). Prints every test's result and a closing
# "guest: N passed, N failed" line; exits 0 only when nothing failed.
#
# Skips (exit 0, saying why) where QEMU cannot run: not root, or no
# qemu-system-x86_64. With TDH_GUEST_REQUIRED=1 (CI) those are failures.
#
# Nothing here touches a host device: the guest's disks are files in a
# temporary folder, its root disk a throw-away overlay of the cached image.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/ci"
tests=()
while (($#)); do
  case $1 in
    --build)
      build=$(realpath "$2")
      shift 2
      ;;
    -h | --help)
      sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    -*)
      echo "guest: unknown option $1" >&2
      exit 2
      ;;
    *)
      tests+=("$1")
      shift
      ;;
  esac
done

boot_timeout=${TDH_GUEST_BOOT_TIMEOUT:-240}  # seconds from start to the init's first line
run_timeout=${TDH_GUEST_RUN_TIMEOUT:-1500}   # seconds for the whole run after boot
boot_tries=3

skip() {
  if [[ ${TDH_GUEST_REQUIRED:-0} == 1 ]]; then
    echo "guest: cannot run: $*" >&2
    exit 1
  fi
  echo "guest: skipped: $*"
  exit 0
}
[[ $(id -u) -eq 0 ]] || skip "not root (the image build needs root)"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (scripts/setup.sh)"
command -v qemu-img >/dev/null || skip "qemu-img is not installed (scripts/setup.sh)"
for f in tarnwick-drives-helper tarnwick-drives; do
  [[ -x $build/$f ]] || { echo "guest: $build/$f is missing; build first" >&2; exit 1; }
done

"$here/tests/guest/run.sh" --check "${tests[@]}" || exit 2

image=$("$here/scripts/guest-image.sh")

work=$(mktemp -d /var/tmp/tdh-guest-run.XXXXXX)
qemu_pid=
watch_pid=
drain_pid=
cleanup() {
  local pid
  for pid in $qemu_pid $watch_pid $drain_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $qemu_pid $watch_pid $drain_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The payload: what the guest runs, as a tar archive on a raw disk.
mkdir "$work/payload"
cp "$build/tarnwick-drives-helper" "$build/tarnwick-drives" "$work/payload/"
cp "$here/tests/guest/run.sh" "$here/tests/guest/expected-to-fail.txt" "$work/payload/"
printf '%s\n' "${tests[@]}" >"$work/payload/selected"
tar -C "$work/payload" -cf "$work/payload.tar" .
truncate -s %1M "$work/payload.tar"

# Drives. Sizes are small: every byte written costs emulated time.
qemu-img create -q -f qcow2 -F raw -b "$image/root.img" "$work/root.qcow2"
truncate -s 64M "$work/fixed.img"
truncate -s 96M "$work/stick.img"
truncate -s 96M "$work/stick2.img"
truncate -s 96M "$work/stick3.img"
truncate -s 32M "$work/ro.img"
truncate -s 64M "$work/bad.img"
truncate -s 4G "$work/big.img"
truncate -s 32M "$work/rbad.img"
# The failing stick: every write that touches sector 40960 (20 MiB in) fails
# with EIO, as a worn-out flash cell does; reads still work.
cat >"$work/blkdebug.conf" <<'EOF'
[inject-error]
event = "none"
iotype = "write"
errno = "5"
sector = "40960"
once = "off"
EOF
# Its opposite: writes all succeed, but every read that touches sector 32768
# (16 MiB in, away from where partition scans and probes look) fails, so a
# wipe's fill completes and only its read-back meets the error.
cat >"$work/blkdebug-read.conf" <<'EOF'
[inject-error]
event = "none"
iotype = "read"
errno = "5"
sector = "32768"
once = "off"
EOF

mkfifo "$work/ctl.in" "$work/ctl.out" "$work/mon.in" "$work/mon.out"

usb_stick() {  # ID SERIAL NODE
  echo "usb-storage,bus=xhci.0,id=$1,drive=$3,serial=$2,removable=on"
}

# shellcheck disable=SC2054 # commas belong to QEMU's option syntax
qemu_args=(
  -nodefaults -no-user-config -display none -no-reboot
  -machine pc -accel tcg,thread=multi -cpu max -smp 2 -m 2048
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img"
  -append "console=ttyS0 root=LABEL=tdh-guest-root rw init=/sbin/tdh-guest-init panic=-1 quiet loglevel=1 net.ifnames=0"
  -serial "file:$work/console.log"
  -chardev "pipe,id=ctl,path=$work/ctl" -serial chardev:ctl
  -chardev "pipe,id=mon,path=$work/mon" -mon chardev=mon,mode=readline
  -blockdev "driver=qcow2,node-name=root,file.driver=file,file.filename=$work/root.qcow2"
  -device virtio-blk-pci,drive=root,serial=tdh-root
  -blockdev "driver=raw,node-name=fixed,file.driver=file,file.filename=$work/fixed.img"
  -device virtio-blk-pci,drive=fixed,serial=tdh-fixed
  -blockdev "driver=raw,node-name=payload,read-only=on,file.driver=file,file.filename=$work/payload.tar"
  -device virtio-blk-pci,drive=payload,serial=tdh-payload
  -device qemu-xhci,id=xhci
  -blockdev "driver=raw,node-name=stick,file.driver=file,file.filename=$work/stick.img"
  -device "$(usb_stick stick TDHSTICK stick)"
  -blockdev "driver=raw,node-name=ro,read-only=on,file.driver=file,file.filename=$work/ro.img"
  -device "$(usb_stick ro TDHRO ro)"
  -blockdev "driver=raw,node-name=bad,file.driver=blkdebug,file.config=$work/blkdebug.conf,file.image.driver=file,file.image.filename=$work/bad.img"
  -device "$(usb_stick bad TDHBAD bad)"
  -blockdev "driver=raw,node-name=big,file.driver=file,file.filename=$work/big.img"
  -device "$(usb_stick big TDHBIG big)"
  -blockdev "driver=raw,node-name=rbad,file.driver=blkdebug,file.config=$work/blkdebug-read.conf,file.image.driver=file,file.image.filename=$work/rbad.img"
  -device "$(usb_stick rbad TDHRBAD rbad)"
  -blockdev "driver=raw,node-name=stick2,file.driver=file,file.filename=$work/stick2.img"
  -device "$(usb_stick stick2 TDHSTICK2 stick2)"
  -blockdev "driver=raw,node-name=stick3,file.driver=file,file.filename=$work/stick3.img"
  -device "$(usb_stick stick3 TDHSTICK3 stick3)"
)

# The guest asks for hardware changes on its second serial port, one line
# each: "pull ID" removes USB device ID, "plug ID" puts it back; the answer
# is "done ID" (or "failed ID").
watch_requests() {
  exec 7<"$work/ctl.out" 8>"$work/ctl.in" 9>"$work/mon.in"
  local verb id
  while read -r verb id <&7; do
    id=${id%$'\r'}
    case "$verb:$id" in
      pull:stick | pull:stick2 | pull:stick3 | pull:big | pull:bad)
        echo "device_del $id" >&9
        ;;
      plug:stick | plug:stick2 | plug:stick3 | plug:big | plug:bad)
        local serial=TDH${id^^}
        echo "device_add $(usb_stick "$id" "$serial" "$id")" >&9
        ;;
      *)
        echo "failed $id" >&8
        continue
        ;;
    esac
    echo "guest: host: $verb $id" >>"$work/host.log"
    sleep 1
    echo "done $id" >&8
  done
}

started=$SECONDS
booted=no
for ((try = 1; try <= boot_tries; try++)); do
  : >"$work/console.log"
  qemu-system-x86_64 "${qemu_args[@]}" </dev/null >"$work/qemu.log" 2>&1 &
  qemu_pid=$!
  cat "$work/mon.out" >"$work/monitor.log" &
  drain_pid=$!
  watch_requests &
  watch_pid=$!
  deadline=$((SECONDS + boot_timeout))
  while ((SECONDS < deadline)) && kill -0 "$qemu_pid" 2>/dev/null; do
    if grep -q '^TDH-GUEST-BOOTED' "$work/console.log"; then
      booted=yes
      break
    fi
    sleep 1
  done
  [[ $booted == yes ]] && break
  echo "guest: boot $try of $boot_tries did not reach the init in ${boot_timeout} s; last console lines:"
  tail -n 15 "$work/console.log" | sed 's/^/guest:   /'
  sed 's/^/guest:   qemu: /' "$work/qemu.log"
  for pid in $qemu_pid $watch_pid $drain_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $qemu_pid $watch_pid $drain_pid; do wait "$pid" 2>/dev/null || true; done
  qemu_pid='' watch_pid='' drain_pid=''
done
if [[ $booted != yes ]]; then
  echo "guest: the guest did not boot"
  echo "0 passed, 1 failed"
  exit 1
fi
boot_seconds=$((SECONDS - started))

# Results are read from the console as they come.
deadline=$((SECONDS + run_timeout))
shown=0
finished=no
while :; do
  lines=$(grep -a -E '^(TDH-RESULT|TDH-DETAIL|tdh-guest:)' "$work/console.log" | tr -d '\r' || true)
  count=$(printf '%s' "$lines" | grep -c '' || true)
  if ((count > shown)); then
    printf '%s\n' "$lines" | tail -n "+$((shown + 1))" | sed -e 's/^TDH-RESULT /guest: /' -e 's/^TDH-DETAIL /guest:     /'
    shown=$count
  fi
  if grep -q -a '^TDH-GUEST-END' "$work/console.log"; then
    finished=yes
    break
  fi
  kill -0 "$qemu_pid" 2>/dev/null || break
  if ((SECONDS >= deadline)); then
    running=$(grep -a '^TDH-START ' "$work/console.log" | tail -n1 | tr -d '\r')
    echo "guest: the run did not finish in ${run_timeout} s (running: ${running#TDH-START }); last console lines:"
    tail -n 40 "$work/console.log" | sed 's/^/guest:   /'
    break
  fi
  sleep 1
done
# The guest powers itself off; give it a moment, then end QEMU ourselves.
for _ in $(seq 20); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.5; done

summary=$(grep -a -E '^TDH-SUMMARY ' "$work/console.log" | tail -n1 | tr -d '\r' || true)
summary=${summary#TDH-SUMMARY }
echo "guest: boot ${boot_seconds} s, whole run $((SECONDS - started)) s"
if [[ $finished != yes || -z $summary ]]; then
  [[ $finished == yes ]] && tail -n 40 "$work/console.log" | sed 's/^/guest:   /'
  echo "guest: ${summary:-0 passed, 1 failed} (run incomplete)"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "guest: $summary"
[[ $summary =~ ^[0-9]+\ passed,\ 0\ failed ]]
