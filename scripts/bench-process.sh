#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the helper's overhead against the tools it drives and prints the
# figures with the machine they came from. Root only; a few minutes.
#
#   scripts/bench-process.sh [--no-micro] [tdh-bench-process options]
#
# 1. installs what the benchmarks need (Debian packages), if missing;
# 2. builds the helper and the benchmarks in build/bench (Release, -j2);
# 3. runs the microbenchmarks (Google Benchmark, 3 repetitions, medians),
#    with the ordinary allocator and with the helper's zeroing operator
#    delete, unless --no-micro;
# 4. runs the whole-process benchmark: the helper against bare lsblk and dd
#    on scratch loop drives inside the end-to-end sandbox (a private mount
#    and pid namespace whose /dev holds only those drives). Options after
#    --no-micro go to it: --wipe-mib N (1024), --wipe-rounds N (5),
#    --guard-rounds N (40), --burst N (100000), --starts N (40).
#
# Nothing here is a test: the figures are printed, never judged by an exit
# status. Other load on the machine shows in wall times; the script prints
# the load average with them, and CPU times and the time the helper adds
# around its own dd are the figures to trust on a busy machine.
set -euo pipefail

cd "$(dirname "$0")/.."
readonly BUILD_DIR=${TDH_BENCH_BUILD_DIR:-build/bench}

micro=1
if [[ ${1:-} == --no-micro ]]; then
  micro=0
  shift
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "bench-process: needs root (mount namespaces, loop devices)" >&2
  exit 1
fi

packages=(g++ cmake ninja-build nlohmann-json3-dev libbenchmark-dev util-linux coreutils)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "bench-process: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTDH_BUILD_TESTS=OFF \
  -DTDH_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target tarnwick-drives-helper tdh-bench-helper-plain-delete \
  tdh-bench-micro tdh-bench-micro-zeroizing tdh-bench-process

echo
echo "== machine"
echo "nproc: $(nproc)"
echo "cpu: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "kernel: $(uname -r)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

if ((micro)); then
  for program in tdh-bench-micro tdh-bench-micro-zeroizing; do
    echo
    echo "== $program (medians of 3 repetitions)"
    "$BUILD_DIR/bench/$program" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
      --benchmark_min_time=0.2 2>/dev/null | grep -E '^(Benchmark|-+$|BM_.*_median)'
  done
fi

echo
echo "== whole process"
"$BUILD_DIR/bench/tdh-bench-process" "$@"
echo
echo "bench-process: loop devices still attached from our images: $(losetup -a | grep -c 'tdh-e2e\.' || true) (other sandboxes' included)"
