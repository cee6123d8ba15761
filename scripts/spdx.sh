#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source file names its licence in an SPDX line near its top:
#   // SPDX-License-Identifier: MIT      C++ (.cpp, .hpp), as the first line
#   # SPDX-License-Identifier: MIT       CMake, YAML tool configurations, shell
#                                        and completion scripts: the first line,
#                                        or the second after a "#!" or
#                                        "#compdef" line
#   ; SPDX-License-Identifier: MIT       scdoc man sources, after the title line
#   <!-- SPDX-License-Identifier: MIT --> XML templates, after the declaration
# Data without comment syntax (JSON, fuzzing corpora, the Debian changelog and
# copyright, lintian overrides, whose comments are override reasons) carries
# none.
#
# usage: scripts/spdx.sh [--check | --fix] [FILE...]
#   --check  (default) list the source files without the line; exit 1 if any
#   --fix    add the line where it is missing
# Without FILEs: every file git tracks (every file under the tree outside a
# git checkout).
set -euo pipefail

mode=check
case ${1:-} in
  --check) shift ;;
  --fix) mode=fix; shift ;;
  -h | --help) sed -n '3,20s/^# \{0,1\}//p' "$0"; exit 0 ;;
  -*) echo "spdx: unknown option $1" >&2; exit 2 ;;
esac

readonly tag='SPDX-License-Identifier: MIT'
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if (($#)); then
  files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files)
else
  mapfile -t files < <(find . -path ./build -prune -o -path ./.git -prune -o -type f -print |
    sed 's|^\./||' | LC_ALL=C sort)
fi

# The comment line a file takes, and after how many leading lines it goes;
# nothing for files that carry none.
style_of() {
  local f=$1 name=${1##*/}
  case $f in
    fuzz/corpus/*) return ;;
  esac
  case $name in
    *.cpp | *.hpp) echo "0 // $tag" ;;
    *.scd) echo "1 ; $tag" ;;
    *.xml | *.policy.in) echo "1 <!-- $tag -->" ;;
    CMakeLists.txt | *.cmake | .clang-format | .clang-tidy | *.bash | *.fish) echo "0 # $tag" ;;
    *.sh | _*) echo "1 # $tag" ;;
    *)
      # Scripts without a suffix (.ci/run): known by their "#!" line.
      if [[ -f $f ]] && head -c 2 "$f" | grep -q '^#!'; then echo "1 # $tag"; fi
      ;;
  esac
}

missing=0
for f in "${files[@]}"; do
  [[ -f $f ]] || continue
  style=$(style_of "$f")
  [[ -n $style ]] || continue
  if head -n 3 "$f" | grep -qF "$tag"; then
    continue
  fi
  if [[ $mode == fix ]]; then
    after=${style%% *}
    line=${style#* }
    {
      head -n "$after" "$f"
      printf '%s\n' "$line"
      tail -n +"$((after + 1))" "$f"
    } >"$f.spdx.tmp"
    chmod --reference="$f" "$f.spdx.tmp"
    mv "$f.spdx.tmp" "$f"
    echo "spdx: added to $f"
  else
    echo "spdx: no '$tag' line in $f"
    missing=$((missing + 1))
  fi
done
if [[ $mode == check ]]; then
  if ((missing)); then
    echo "spdx: $missing source file(s) without a licence line (scripts/spdx.sh --fix adds it)"
    exit 1
  fi
  echo "spdx: every source file names its licence"
fi
