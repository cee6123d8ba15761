#!/usr/bin/env bash
# Builds the Debian package of the helper in a configured build directory and
# inspects it: the helper under /usr/libexec (executable, owned by root), the
# polkit action (checked by policy-check.sh against the packaged helper path),
# the man page, the packaged helper's hardening (hardening-check.sh), and the
# control fields: runtime dependencies, shared-library dependencies found by
# dpkg-shlibdeps, and the recommended filesystem tools.
#
# usage: scripts/package-check.sh BUILD_DIR
# The build directory should be an optimised one (Release or RelWithDebInfo)
# with TDH_HARDEN on, or the hardening check fails. TDH_JOBS (default 2) sets
# the build's parallelism.
set -euo pipefail

if (($# != 1)); then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
jobs=${TDH_JOBS:-2}
if [[ ! -f $build/CMakeCache.txt || ! -f $build/CPackConfig.cmake ]]; then
  echo "package-check: $build is not a configured build directory" >&2
  exit 2
fi
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null; then
    echo "package-check: $tool not found (Debian packages cmake, dpkg-dev)" >&2
    exit 2
  fi
done

echo "== build ($build, -j$jobs)"
cmake --build "$build" -j "$jobs"

echo "== cpack"
log=$build/package-check.cpack.log
if ! (cd "$build" && cpack -G DEB) >"$log" 2>&1; then
  cat "$log" >&2
  echo "package-check: cpack failed" >&2
  exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)
if [[ -z $deb || ! -f $deb ]]; then
  cat "$log" >&2
  echo "package-check: cpack reported no .deb file" >&2
  exit 1
fi
echo "package: $deb"

failures=0
fail() {
  echo "package-check: FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "package-check: ok: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -c "$deb" >"$work/contents"
dpkg-deb -I "$deb" >"$work/info"
dpkg-deb -x "$deb" "$work/root"

echo "== contents"
cat "$work/contents"
echo "== control"
cat "$work/info"

helper_path=/usr/libexec/tarnwick-drives-helper
policy_path=/usr/share/polkit-1/actions/org.tarnwick.drives.helper.policy
man_regex='^\./usr/share/man/man8/tarnwick-drives-helper\.8(\.gz)?$'

# "-rwxr-xr-x root/root 309736 2024-01-01 00:00 ./usr/libexec/tarnwick-drives-helper"
entry() { awk -v p=".$1" '$6 == p' "$work/contents"; }
helper_entry=$(entry "$helper_path")
if [[ -z $helper_entry ]]; then
  fail "no $helper_path in the package"
else
  read -r mode owner _ <<<"$helper_entry"
  [[ $mode == -rwxr-xr-x ]] && pass "$helper_path, mode $mode" ||
    fail "$helper_path has mode $mode, expected -rwxr-xr-x (and never setuid)"
  [[ $owner == root/root ]] && pass "$helper_path owned by root/root" ||
    fail "$helper_path owned by $owner"
fi
if awk '{print $6}' "$work/contents" | grep -Eq '^\./usr/(bin|sbin)/'; then
  fail "something is installed in a PATH directory; the helper must only be started by path"
else
  pass "nothing installed in /usr/bin or /usr/sbin"
fi
if [[ -n $(entry "$policy_path") ]]; then
  pass "$policy_path"
  "$here/policy-check.sh" "$work/root$policy_path" "$helper_path" || fail "polkit action check failed"
else
  fail "no $policy_path in the package"
fi
man_entry=$(awk '{print $6}' "$work/contents" | grep -E "$man_regex" || true)
if [[ -z $man_entry ]]; then
  fail "no tarnwick-drives-helper(8) man page in the package"
else
  page=$work/root/${man_entry#./}
  if [[ $page == *.gz ]]; then text=$(gzip -dc "$page"); else text=$(cat "$page"); fi
  grep -q '^\.TH "tarnwick-drives-helper" "8"' <<<"$text" && pass "man page ${man_entry#.}" ||
    fail "${man_entry#.} is not a section 8 man page"
fi
if [[ -f $work/root$helper_path ]]; then
  echo "== hardening of the packaged helper"
  "$here/hardening-check.sh" "$work/root$helper_path" || fail "packaged helper is not fully hardened"
fi

field() { sed -n "s/^ $1: //p" "$work/info"; }
depends=$(field Depends)
recommends=$(field Recommends)
has_item() {  # list item: a package name followed by nothing, a version or an alternative
  local list=$1 name=$2
  tr ',' '\n' <<<"$list" | sed 's/^ *//' | grep -Eq "^$name( |$|\|)"
}
for p in util-linux coreutils cryptsetup-bin e2fsprogs pkexec; do
  has_item "$depends" "$p" && pass "Depends: $p" || fail "Depends lacks $p"
done
# dpkg-shlibdeps adds the C and C++ runtime libraries with their versions.
for p in libc6 libstdc\\+\\+6; do
  has_item "$depends" "$p" && pass "Depends: ${p//\\/} (shlibdeps)" || fail "Depends lacks ${p//\\/}: shlibdeps did not run"
done
for p in xfsprogs btrfs-progs; do
  has_item "$recommends" "$p" && pass "Recommends: $p" || fail "Recommends lacks $p"
done
[[ $(field Package) == tarnwick-drives-helper ]] && pass "Package: tarnwick-drives-helper" ||
  fail "Package is '$(field Package)'"

if command -v lintian >/dev/null; then
  echo "== lintian (informational)"
  lintian --no-tag-display-limit "$deb" || true
fi

if ((failures)); then
  echo "package-check: $failures check(s) failed for $deb" >&2
  exit 1
fi
echo "package-check: all checks passed for $deb"
