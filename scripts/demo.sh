#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wipes a scratch drive with the helper, the way the desktop client drives it.
#
#   scripts/demo.sh path/to/tarnwick-drives-helper
#
# A 256 MiB file is attached as a loop device and presented as a removable
# USB drive inside a private mount and pid namespace whose /dev holds nothing
# but that device (and null, zero, full, random, urandom). The helper gets
# one "random" wipe request on its standard input; every line it answers is
# printed as it arrives. The loop device, the file and the namespace are gone
# when the script ends, whichever way it ends. Needs root.
set -euo pipefail

readonly STATE=/run/tdh-demo
readonly SERIAL=DEMO0001
readonly BY_ID=/dev/disk/by-id/usb-Tarnwick_Demo_Drive_${SERIAL}-0:0
readonly SIZE_MIB=256
# The tools the helper may run; inside the namespace each is covered by a
# wrapper (lsblk by the drive's description).
readonly TOOLS=(lsblk dd blkdiscard cryptsetup mkfs.ext4 mkfs.xfs mkfs.btrfs)

die() {
  echo "demo: $*" >&2
  exit 1
}

# --- inside the private namespace ------------------------------------------------

find_tool() {
  local dir
  for dir in /usr/sbin /usr/bin /sbin /bin; do
    if [[ -e $dir/$1 ]]; then
      readlink -f -- "$dir/$1"
      return 0
    fi
  done
  return 1
}

write_wrappers() {
  local loop=$1 size=$2 name=${1#/dev/}
  # Every argument (or value after "=") naming a block device must name the
  # scratch drive, and at least one must: nothing else can be written to.
  cat >"$STATE/bin/guard" <<EOF
#!/bin/bash
set -u
tool=\${0##*/}
refuse() { echo "demo wrapper: refusing to run \$tool: \$1" >&2; exit 125; }
seen=0
for arg in "\$@"; do
  for candidate in "\$arg" "\${arg#*=}"; do
    if [[ -b \$candidate ]]; then
      [[ \$(readlink -f -- "\$candidate") == "$loop" ]] || refuse "\$candidate is not the scratch drive"
      seen=1
    fi
  done
  if [[ \$tool == dd && \$arg == of=* && \$(readlink -f -- "\${arg#of=}") != "$loop" ]]; then
    refuse "\$arg is not the scratch drive"
  fi
done
[[ \$seen == 1 ]] || refuse "no scratch drive among its arguments"
exec -a "\$tool" "$STATE/real/\$tool" "\$@"
EOF
  # What lsblk would say of a fresh, unmounted USB stick.
  cat >"$STATE/lsblk.json" <<EOF
{
   "blockdevices": [
      {
         "name": "$name",
         "path": "$loop",
         "size": $size,
         "type": "disk",
         "rm": true,
         "hotplug": true,
         "ro": false,
         "rota": false,
         "tran": "usb",
         "vendor": "Tarnwick",
         "model": "Demo Drive",
         "serial": "$SERIAL",
         "fstype": null,
         "fsused": null,
         "fssize": null,
         "mountpoint": null,
         "label": null,
         "pttype": null
      }
   ]
}
EOF
  printf '#!/bin/bash\nexec cat %s/lsblk.json\n' "$STATE" >"$STATE/bin/lsblk"
  chmod 0755 "$STATE/bin/guard" "$STATE/bin/lsblk"
}

cover_tools() {
  local tool real covered=()
  # Keep every real tool reachable first, then cover them all.
  for tool in "${TOOLS[@]}"; do
    real=$(find_tool "$tool") || continue
    touch "$STATE/real/$tool"
    mount --bind -- "$real" "$STATE/real/$tool"
    covered+=("$tool:$real")
  done
  for entry in "${covered[@]}"; do
    tool=${entry%%:*}
    real=${entry#*:}
    if [[ $tool == lsblk ]]; then
      mount --bind -- "$STATE/bin/lsblk" "$real"
    else
      mount --bind -- "$STATE/bin/guard" "$real"
    fi
  done
}

make_dev() {
  local loop=$1 name=${1#/dev/} node nodes=() maj min
  for node in null zero full random urandom; do
    nodes+=("$node $(stat -c '%Hr %Lr' "/dev/$node")")
  done
  IFS=: read -r maj min <"/sys/block/$name/dev"
  mount -t tmpfs -o mode=0755,nosuid,noexec tmpfs /dev
  for node in "${nodes[@]}"; do
    read -r node_name node_maj node_min <<<"$node"
    mknod -m 0666 "/dev/$node_name" c "$node_maj" "$node_min"
  done
  mknod -m 0660 "$loop" b "$maj" "$min"
  mkdir -p /dev/disk/by-id /dev/mapper
  ln -s "../../$name" "$BY_ID"
}

first_bytes() {
  od -An -tx1 -N16 -- "$1" | tr -s ' ' | sed 's/^ //'
}

inside() {
  local helper=$1 loop=$2 size
  size=$(blockdev --getsize64 "$loop")
  mount -t tmpfs -o mode=0755 tmpfs /run
  mkdir -p "$STATE/real" "$STATE/bin"
  write_wrappers "$loop" "$size"
  cover_tools
  make_dev "$loop"

  echo "Inside a private mount namespace, /dev holds:"
  find /dev -mindepth 1 | sort | sed 's/^/  /'
  echo "The drive is presented to the helper as a removable USB drive:"
  echo "  $BY_ID -> $(readlink "$BY_ID")"
  echo "First bytes before: $(first_bytes "$loop")"
  echo

  local request="{\"op\":\"wipe\",\"device\":\"$loop\",\"mode\":\"random\"}"
  echo "Session with $helper (standard input and output):"
  echo "  -> $request"
  local t0=${EPOCHREALTIME//[!0-9]/} us line status
  # A clean environment, as pkexec gives it: the helper sets PATH itself.
  printf '%s\n' "$request" | env -i LC_ALL=C "$helper" | while IFS= read -r line; do
    us=$((${EPOCHREALTIME//[!0-9]/} - t0))
    printf '  <- %s   (%d.%03d s)\n' "$line" $((us / 1000000)) $(((us / 1000) % 1000))
  done
  status=${PIPESTATUS[1]}
  echo "  (end of input: the session ends, helper exit status $status)"
  echo
  echo "First bytes after:  $(first_bytes "$loop")"
  return "$status"
}

# --- on the host ---------------------------------------------------------------

work=""
loop=""
bdi=""
bdi_max_ratio=""
bdi_strict=""

cleanup() {
  if [[ -n $bdi && -n $bdi_max_ratio ]]; then
    echo "$bdi_max_ratio" >"$bdi/max_ratio" 2>/dev/null || true
    echo "$bdi_strict" >"$bdi/strict_limit" 2>/dev/null || true
  fi
  if [[ -n $loop ]]; then
    losetup -d "$loop" 2>/dev/null || true
  fi
  if [[ -n $work ]]; then
    rm -rf -- "$work"
  fi
}

# With gigabytes of RAM the whole drive fits in the page cache and the
# kernel's write counter (the helper's progress) would stand still until
# dd's final fsync. Keep this device's dirty pages few, for the duration.
limit_writeback() {
  bdi=/sys/class/bdi/$(cat "/sys/block/${loop#/dev/}/dev")
  [[ -w $bdi/max_ratio ]] || return 0
  bdi_max_ratio=$(cat "$bdi/max_ratio")
  bdi_strict=$(cat "$bdi/strict_limit" 2>/dev/null || echo 0)
  echo 1 >"$bdi/strict_limit" 2>/dev/null || true
  if [[ -w $bdi/max_bytes ]]; then
    echo $((16 * 1024 * 1024)) >"$bdi/max_bytes"
  else
    echo 1 >"$bdi/max_ratio"
  fi
}

main() {
  [[ $# -eq 1 ]] || die "usage: $0 path/to/tarnwick-drives-helper"
  [[ $EUID -eq 0 ]] || die "must run as root (it attaches a loop device and makes a private mount namespace)"
  local helper
  helper=$(realpath -e -- "$1") || die "no such helper binary: $1"
  [[ -x $helper ]] || die "not executable: $helper"
  local tool
  for tool in losetup unshare mount mknod blockdev od stat; do
    command -v "$tool" >/dev/null || die "missing tool: $tool"
  done

  trap cleanup EXIT
  work=$(mktemp -d /var/tmp/tdh-demo.XXXXXX)
  local image=$work/drive.img
  truncate -s "${SIZE_MIB}M" -- "$image"
  # Something recognisable to overwrite.
  exec 3<>"$image"
  printf 'Tarnwick demo drive: old data.' >&3
  exec 3>&-
  loop=$(losetup --find --show -- "$image")
  [[ $(cat "/sys/block/${loop#/dev/}/loop/backing_file") == "$image" ]] ||
    die "$loop is not backed by $image"
  echo "Scratch drive: $loop, over the ${SIZE_MIB} MiB file $image"
  limit_writeback

  local self
  self=$(realpath -e -- "${BASH_SOURCE[0]}")
  unshare --mount --propagation private --pid --fork --mount-proc -- \
    bash "$self" --inside "$helper" "$loop"
}

if [[ ${1:-} == --inside ]]; then
  shift
  inside "$@"
else
  main "$@"
fi
