#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every libFuzzer target for the given number of seconds (default 60),
# starting from its checked-in seed corpus (fuzz/corpus/<name>/). Build the
# targets first: cmake --preset fuzz && cmake --build --preset fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shopt -s nullglob
targets=(build/fuzz/fuzz/*_fuzz)
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets built in build/fuzz/fuzz" >&2
  exit 1
fi
for target in "${targets[@]}"; do
  name=$(basename "$target" _fuzz)
  corpora=("$work/$name")
  mkdir -p "$work/$name"
  [[ -d fuzz/corpus/$name ]] && corpora+=("fuzz/corpus/$name")
  echo "fuzz: $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" "${corpora[@]}" >"$work/$name.log" 2>&1; then
    tail -n 60 "$work/$name.log" >&2
    echo "fuzz: $name failed" >&2
    exit 1
  fi
  tail -n 1 "$work/$name.log"
done
