#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the helper's fixed cost on the real host, side by side with
# references started the same way (perf stat, which forks and execs each run):
#   idle   CPU of one start and end with empty input (task-clock), and the
#          pages faulted in, against /bin/true;
#   refused  CPU and wall time of one start, one refused "wipe" request and
#          end, against one bare lsblk with the helper's arguments and tool
#          environment (the refusal costs one lsblk snapshot). The request
#          names a device that does not exist, so nothing but lsblk ever runs.
#          Beside them runs the floor (bench/start/spawn_floor.cpp): a
#          program that only starts that lsblk, drains it and answers, the
#          least any helper asking lsblk can cost on this machine. It is
#          built as the helper is by default: a hardened PIE with immediate
#          binding that loads the same shared libraries as the first HELPER
#          (its NEEDED entries), so that the difference is the helper's own
#          work, not the loading of the C++ runtime; with --libc-floor it
#          loads libc alone, and with --static-floor it is a static PIE, to
#          set a static helper build against.
# Batches of each program alternate; the figures are the medians of the batch
# means. Nothing is judged: the figures are printed. Root only (the helper
# serves nobody else).
#
# usage: scripts/bench-start.sh [--rounds N] [--runs N] [--drives N] [--static-floor]
#                              HELPER [HELPER...]
#   --rounds N  batches of each program (default 7)
#   --runs N    runs in one batch (default 40)
#   --drives N  attach N read-only loop drives (64 MiB sparse files in a
#               temporary folder, detached at the end) for the runs, so that
#               lsblk lists as many drives as a desktop has; nothing writes
#               to them
#   --libc-floor    link the floor against libc alone
#   --static-floor  link the floor as a static PIE
# Several helpers (for example the builds before and after a change) are
# measured in the same rounds, so that their figures compare directly.
set -euo pipefail

rounds=7
runs=40
drives=0
floor_link=(-pie -Wl,-z,now -Wl,-z,relro)
floor_libraries=helper
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --drives) drives=$2; shift 2 ;;
    --static-floor) floor_link=(-static-pie -Wl,-z,now -Wl,-z,relro); floor_libraries=none; shift ;;
    --libc-floor) floor_libraries=none; shift ;;
    -h | --help) sed -n '3,31s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "bench-start: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if (($# == 0)); then
  echo "usage: $0 [--rounds N] [--runs N] HELPER [HELPER...]" >&2
  exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "bench-start: needs root (the helper refuses to serve anyone else)" >&2
  exit 1
fi
if ! command -v perf >/dev/null; then
  echo "bench-start: installing linux-perf"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends linux-perf
fi
for helper in "$@"; do
  [[ -x $helper ]] || { echo "bench-start: $helper is not executable" >&2; exit 2; }
done

work=$(mktemp -d)
loops=()
cleanup() {
  for loop in "${loops[@]}"; do losetup -d "$loop" || true; done
  rm -rf "$work"
}
trap cleanup EXIT
for ((d = 0; d < drives; d++)); do
  truncate -s 64M "$work/drive$d"
  loops+=("$(losetup --read-only --find --show "$work/drive$d")")
done
# Built like the shipped helper: optimised, PIE, immediate binding, and the
# helper's own shared libraries loaded (kept even though the floor calls
# nothing in them).
if [[ $floor_libraries == helper ]]; then
  mapfile -t needed < <(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[lib\([^].]*\)\.so.*/\1/p')
  floor_link+=(-Wl,--no-as-needed)
  for library in "${needed[@]}"; do floor_link+=("-l$library"); done
fi
"${CXX:-c++}" -std=c++23 -O2 -fPIE -o "$work/spawn-floor" \
  "$(dirname "$0")/../bench/start/spawn_floor.cpp" "${floor_link[@]}"
: >"$work/empty"
printf '%s\n' '{"op":"wipe","device":"/dev/tdh-bench-no-such-drive","mode":"none"}' >"$work/refused"
lsblk_args=(-J -b -o NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,ROTA,TRAN,VENDOR,MODEL,SERIAL,FSTYPE,FSUSED,FSSIZE,MOUNTPOINT,LABEL,PTTYPE)
lsblk=$(command -v lsblk)

answer=$("$1" <"$work/refused")
echo "refused request answered: $answer"

# An idle batch: "CPU ms, page faults", means over the batch (perf stat).
idle_batch() {
  LC_ALL=C perf stat -r "$runs" -e task-clock,page-faults -o "$work/stat" -- "$@" <"$work/empty" >/dev/null
  LC_ALL=C awk '
    $3 == "task-clock" { cpu = $1 }
    $2 == "page-faults" { faults = $1 }
    END { printf "%s %s\n", cpu, faults }' "$work/stat"
}
# A batch of requests: "CPU ms, wall ms", means over the batch. The CPU is
# the user and system time of the finished children that the shell's
# `times` reports, so the helper's own lsblk counts (perf stat's counters
# do not follow it through posix_spawn).
request_batch() {
  local input=$1
  shift
  (
    # Every program runs in the environment the helper gives its tools (PATH
    # and LC_ALL=C.UTF-8 only), so that bare lsblk does exactly the work of
    # the helper's lsblk, loading the same locale.
    while read -r name; do unset "$name" 2>/dev/null || true; done < <(compgen -e)
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
    t0=$(date +%s%N)
    for ((i = 0; i < runs; i++)); do "$@" <"$input" >/dev/null; done
    t1=$(date +%s%N)
    # times: the shell's user/system line, then its children's: "0m0.120s 0m0.200s".
    times >"$work/times"
    children=$(tail -n 1 "$work/times")
    awk -v a="$t0" -v b="$t1" -v n="$runs" -v c="$children" 'BEGIN {
      split(c, t, " ")
      cpu = 0
      for (k = 1; k <= 2; k++) { split(t[k], ms, "m"); cpu += ms[1] * 60 + ms[2] + 0 }
      printf "%.3f %.3f\n", cpu * 1000 / n, (b - a) / 1e6 / n }'
  )
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

names=(true lsblk "$@")
for ((r = 0; r < rounds; r++)); do
  idle_batch /bin/true >>"$work/0.idle"
  request_batch "$work/empty" "$lsblk" "${lsblk_args[@]}" >>"$work/1"
  request_batch "$work/refused" "$work/spawn-floor" "$lsblk" "${lsblk_args[@]}" >>"$work/floor"
  for ((h = 2; h < ${#names[@]}; h++)); do
    idle_batch "${names[h]}" >>"$work/$h.idle"
    request_batch "$work/refused" "${names[h]}" >>"$work/$h"
  done
done
column() { awk -v c="$2" '{ print $c }' "$work/$1" | median; }

echo
((drives == 0)) || echo "attached for the runs: ${loops[*]} (read-only)"
echo "machine: $(nproc) CPUs, $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "floor linked with: ${floor_link[*]}"
echo "medians of $rounds batches of $runs runs; a request's CPU includes the helper's lsblk"
printf '%-36s %19s %29s\n' "" "start and end, idle" "one refused request"
printf '%-36s %10s %8s %10s %10s %8s\n' program CPU faults CPU wall "wall vs"
printf '%-36s %7.3f ms %8.0f %10s %10s %8s\n' /bin/true "$(column 0.idle 1)" "$(column 0.idle 2)" - - -
lsblk_wall=$(column 1 2)
printf '%-36s %10s %8s %7.3f ms %7.3f ms %7.2fx\n' "lsblk (the helper's arguments)" - - \
  "$(column 1 1)" "$lsblk_wall" 1
floor_wall=$(column floor 2)
printf '%-36s %10s %8s %7.3f ms %7.3f ms %7.2fx\n' "floor (only spawns that lsblk)" - - \
  "$(column floor 1)" "$floor_wall" "$(awk -v a="$floor_wall" -v b="$lsblk_wall" 'BEGIN { print a / b }')"
for ((h = 2; h < ${#names[@]}; h++)); do
  wall=$(column "$h" 2)
  printf '%-36s %7.3f ms %8.0f %7.3f ms %7.3f ms %7.2fx\n' "${names[h]}" "$(column "$h.idle" 1)" \
    "$(column "$h.idle" 2)" "$(column "$h" 1)" "$wall" "$(awk -v a="$wall" -v b="$lsblk_wall" 'BEGIN { print a / b }')"
done
