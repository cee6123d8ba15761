#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Many drives at once: four scratch loop drives, each held to the same write
# speed by the block layer's throttle, wiped by one drive alone, one after
# another in one session, and at once in one session (id'd wipes). Root
# only; a few minutes.
#
#   scripts/bench-many.sh [tdh-bench-many options]
#
# Options go to tdh-bench-many (bench/many): --drives N (4), --mib N (160),
# --mib-per-s N (24), --rounds N (3), --modes random,encrypted-zero.
#
# The throttle is cgroup v2's io.max where the io controller is on the
# unified hierarchy, otherwise cgroup v1 blkio's write_bps_device (the same
# block-layer throttle). This script makes the cgroup and removes it on
# every path; the drives live inside the end-to-end sandbox (loop devices
# over files the benchmark creates, in a private mount namespace whose /dev
# holds nothing else) and are released by the benchmark, also on Ctrl-C.
# Nothing here is a test: figures are printed, never judged by an exit status.
set -euo pipefail

cd "$(dirname "$0")/.."
readonly BUILD_DIR=${TDH_BENCH_BUILD_DIR:-build/bench}

if [[ $(id -u) -ne 0 ]]; then
  echo "bench-many: needs root (cgroups, mount namespaces, loop devices)" >&2
  exit 1
fi

# Where the throttle lives: a cgroup2 mount whose root hands the io
# controller to its children, or the v1 blkio hierarchy.
cgroup_parent=
while read -r mount_point; do
  if grep -qw io "$mount_point/cgroup.subtree_control" 2>/dev/null; then
    cgroup_parent=$mount_point
    break
  fi
done < <(awk '$3 == "cgroup2" { print $2 }' /proc/mounts)
if [[ -z $cgroup_parent ]]; then
  cgroup_parent=$(awk '$3 == "cgroup" && $4 ~ /(^|,)blkio(,|$)/ { print $2; exit }' /proc/mounts)
fi
if [[ -z $cgroup_parent ]]; then
  echo "bench-many: no cgroup with the io (v2) or blkio (v1) controller to throttle with" >&2
  exit 1
fi

cmake --preset bench -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target tarnwick-drives-helper tdh-bench-many

cgroup=$cgroup_parent/tdh-bench-many.$$
bench_pid=
cleanup() {
  local i
  if [[ -n $bench_pid ]]; then
    kill -TERM "$bench_pid" 2>/dev/null || true
    wait "$bench_pid" 2>/dev/null || true
  fi
  # A cgroup goes once its last process has: the benchmark's helpers and
  # their tools end with it.
  for ((i = 0; i < 50; i++)); do
    [[ -d $cgroup ]] || break
    rmdir "$cgroup" 2>/dev/null && break
    sleep 0.2
  done
  [[ -d $cgroup ]] && echo "bench-many: could not remove $cgroup" >&2
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$cgroup"

echo "== machine"
echo "nproc: $(nproc)"
echo "cpu: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "kernel: $(uname -r)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$BUILD_DIR/bench/tdh-bench-many" --cgroup "$cgroup" "$@" &
bench_pid=$!
status=0
wait "$bench_pid" || status=$?
bench_pid=
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "bench-many: loop devices still attached from our images: $(losetup -a | grep -c 'tdh-e2e\.' || true) (other sandboxes' included)"
exit "$status"
