#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite: dependencies, a warnings-as-errors build with every
# test (unit, process and end-to-end), the same build's real-kernel stage in
# a QEMU guest (scripts/guest-test.sh), the linters (clang-format and
# clang-tidy, scripts/lint.sh), the AddressSanitizer build, the
# ThreadSanitizer run of the fill, the shipped build's package checks, and a
# short fuzzing smoke.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
fuzz_seconds=${TDH_FUZZ_SECONDS:-20}

scripts/setup.sh

echo "== build and test (warnings as errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

# The same build in a QEMU guest with a real kernel: dm-crypt, udev, USB
# sticks that fail and get pulled out. Under CI a guest that cannot run fails.
echo "== real-kernel stage (QEMU guest)"
if [[ ${CI:-} == true ]]; then export TDH_GUEST_REQUIRED=1; fi
scripts/guest-test.sh --build build/ci

# The ci build directory's compile_commands.json gives clang-tidy the flags.
echo "== lint"
scripts/lint.sh -j "$jobs" build/ci

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --preset asan -j "$jobs" --label-exclude e2e

echo "== ThreadSanitizer (the monitored fill, wipes in the background, stop sources)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target test_wipe test_service test_stop
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_wipe --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_stop --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_service --gtest_brief=1 \
  --gtest_filter='BackgroundWipes.*:RequestLoop*'


echo "== shipped build: hardening, polkit policy, man page and Debian package"
cmake --preset package >/dev/null
TDH_JOBS=$jobs scripts/package-check.sh build/package

echo "== fuzzing smoke (${fuzz_seconds} s per target)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
scripts/fuzz.sh "$fuzz_seconds"

echo "== all tests passed"
