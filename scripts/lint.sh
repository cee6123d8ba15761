#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lints the sources: every source file names its licence (scripts/spdx.sh),
# clang-format over src/, tests/, bench/ and fuzz/ (the checked-in
# .clang-format, dry run, nothing is changed) and clang-tidy over src/ (the
# checked-in .clang-tidy, with the compile commands of a configured build
# directory). Tests stay out of clang-tidy: much of what it reports
# there concerns the gtest macros, and they would double the run's length.
# Prints every finding, then a summary by file and by check, and exits 1 when
# there is any finding.
#
# usage: scripts/lint.sh [-j JOBS] [--format-only | --tidy-only] BUILD_DIR
#   -j JOBS        clang-tidy processes at once (default 2)
# Fixing is left to a deliberate run: `clang-format-19 -i FILES` for the
# format, `clang-tidy-19 -p BUILD_DIR --fix FILE` for the fixes tidy offers.
set -euo pipefail

jobs=2
run_format=1
run_tidy=1
while (($#)); do
  case $1 in
    -j) jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    --format-only) run_tidy=0; shift ;;
    --tidy-only) run_format=0; shift ;;
    -h | --help) sed -n '3,16s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "lint: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if (($# != 1)) && ((run_tidy)); then
  echo "usage: $0 [-j JOBS] [--format-only | --tidy-only] BUILD_DIR" >&2
  exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
clang_format=${CLANG_FORMAT:-clang-format-19}
clang_tidy=${CLANG_TIDY:-clang-tidy-19}
cd "$root"
mapfile -t sources < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.hpp' \) |
  LC_ALL=C sort)
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '^src/.*\.cpp$')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
format_findings=0
tidy_findings=0
spdx_findings=0

# Files added later must carry the licence line too; scripts/spdx.sh --fix adds it.
echo "== licence lines (scripts/spdx.sh)"
if ! "$root/scripts/spdx.sh" --check >"$work/spdx"; then
  spdx_findings=$(grep -c "^spdx: no " "$work/spdx" || true)
fi
cat "$work/spdx"

if ((run_format)); then
  command -v "$clang_format" >/dev/null || { echo "lint: $clang_format not found (Debian package clang-format-19)" >&2; exit 2; }
  echo "== $clang_format --dry-run --Werror (${#sources[@]} files)"
  : >"$work/format"
  for f in "${sources[@]}"; do
    "$clang_format" --style=file --dry-run --Werror "$f" >>"$work/format" 2>&1 || true
  done
  grep -E '^[^ ].*: (error|warning): ' "$work/format" | sed 's/: error: /: format: /' >"$work/format.findings" || true
  cat "$work/format.findings"
  format_findings=$(wc -l <"$work/format.findings")
  format_files=$(cut -d: -f1 "$work/format.findings" | sort -u | wc -l)
  echo "-- clang-format: $format_findings places in $format_files of ${#sources[@]} files need formatting"
fi

if ((run_tidy)); then
  command -v "$clang_tidy" >/dev/null || { echo "lint: $clang_tidy not found (Debian package clang-tidy-19)" >&2; exit 2; }
  build=$(cd "$1" && pwd)
  if [[ ! -f $build/compile_commands.json ]]; then
    echo "lint: $build/compile_commands.json not found: configure the build directory first" >&2
    exit 2
  fi
  # Only the translation units the build knows; headers come in through them.
  mapfile -t known < <(for u in "${units[@]}"; do
    grep -qF "\"$root/$u\"" "$build/compile_commands.json" && echo "$u"
  done)
  missing=$(comm -23 <(printf '%s\n' "${units[@]}") <(printf '%s\n' "${known[@]}"))
  [[ -z $missing ]] || echo "lint: not in compile_commands.json, skipped: $(tr '\n' ' ' <<<"$missing")"
  echo "== $clang_tidy (${#known[@]} translation units, $jobs at a time)"
  mkdir "$work/tidy"
  export clang_tidy build work
  # The build's flags are g++'s; clang would call the ones it lacks (-Wno-restrict) errors.
  printf '%s\n' "${known[@]}" | xargs -P "$jobs" -I{} sh -c \
    '"$clang_tidy" -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option "$1" \
      >"$work/tidy/$(echo "$1" | tr / _).log" 2>&1 || true' sh {}
  # A header's finding is reported once, however many units include it.
  cat "$work/tidy"/*.log | grep -E '^/.*:[0-9]+:[0-9]+: (warning|error): ' | sed "s|^$root/||" |
    LC_ALL=C sort -u >"$work/tidy.findings" || true
  if grep -q ': error: ' "$work/tidy.findings"; then
    echo "lint: clang-tidy could not compile some units (errors below count as findings)"
  fi
  cat "$work/tidy.findings"
  tidy_findings=$(wc -l <"$work/tidy.findings")
  echo "-- clang-tidy: $tidy_findings findings"
  if ((tidy_findings)); then
    echo "   by check:"
    grep -oE '\[[a-z0-9.,-]+\]$' "$work/tidy.findings" | sort | uniq -c | sort -rn | sed 's/^/   /'
    echo "   by file:"
    cut -d: -f1 "$work/tidy.findings" | sort | uniq -c | sort -rn | sed 's/^/   /'
  fi
fi

total=$((format_findings + tidy_findings + spdx_findings))
echo "== lint: $spdx_findings licence, $format_findings format, $tidy_findings tidy findings"
((total == 0))
