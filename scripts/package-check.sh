#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the three Debian packages in a configured build directory and
# inspects them:
#   tarnwick-drives-helper         the helper under /usr/libexec (executable,
#                                  owned by root), the polkit action (checked
#                                  by policy-check.sh against the packaged
#                                  helper path), tarnwick-drives-helper(8), the
#                                  helper's hardening, its dependencies (the
#                                  shared libc6 and libstdc++6 among them)
#   tarnwick-drives                the command, tarnwick-drives(1), bash, zsh
#                                  and fish completion, its hardening, a
#                                  dependency on the helper of the same version
#   libtarnwick-drives-client-dev  the static library, its header and CMake
#                                  package; a small program is built against
#                                  the unpacked package with find_package()
# and in every package the copyright file (machine-readable format, MIT),
# changelog.Debian.gz of the package's version, a real maintainer, and
# lintian with no error and no warning that an override does not explain.
# Finally the packages are unpacked into one throw-away root and the command
# from it is run with a stand-in pkexec, which must be asked for the helper
# at the path where the package puts it.
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
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package-check: $tool not found (Debian packages cmake, dpkg-dev, lintian)" >&2
    exit 2
  fi
done

echo "== build ($build, -j$jobs)"
cmake --build "$build" -j "$jobs"

echo "== cpack"
log=$build/package-check.cpack.log
rm -f "$build"/*.deb
if ! (cd "$build" && cpack -G DEB) >"$log" 2>&1; then
  cat "$log" >&2
  echo "package-check: cpack failed" >&2
  exit 1
fi
mapfile -t debs < <(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log")

failures=0
fail() {
  echo "package-check: FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "package-check: ok: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root  # every package unpacked together, as installed
mkdir -p "$root"

helper_pkg=tarnwick-drives-helper
command_pkg=tarnwick-drives
dev_pkg=libtarnwick-drives-client-dev
declare -A deb_of=()
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  deb_of[$name]=$deb
done
for p in "$helper_pkg" "$command_pkg" "$dev_pkg"; do
  if [[ -z ${deb_of[$p]:-} ]]; then
    cat "$log" >&2
    echo "package-check: cpack made no package $p" >&2
    exit 1
  fi
  echo "package: ${deb_of[$p]}"
  dpkg-deb -c "${deb_of[$p]}" >"$work/$p.contents"
  dpkg-deb -I "${deb_of[$p]}" >"$work/$p.info"
  dpkg-deb -x "${deb_of[$p]}" "$root"
done
if ((${#debs[@]} != 3)); then
  fail "cpack made ${#debs[@]} packages, expected 3: ${debs[*]}"
fi
version=$(dpkg-deb -f "${deb_of[$helper_pkg]}" Version)

# "-rwxr-xr-x root/root 309736 2024-01-01 00:00 ./usr/libexec/tarnwick-drives-helper"
entry() { awk -v p=".$2" '$6 == p' "$work/$1.contents"; }
paths() { awk '{print $6}' "$work/$1.contents"; }
field() { dpkg-deb -f "${deb_of[$1]}" "$2"; }
has_item() {  # list item: a package name followed by nothing, a version or an alternative
  local list=$1 name=$2
  tr ',' '\n' <<<"$list" | sed 's/^ *//' | grep -Eq "^$name( |$|\|)"
}
expect_file() {  # package, path, mode
  local line mode owner
  line=$(entry "$1" "$2")
  if [[ -z $line ]]; then
    fail "no $2 in $1"
    return
  fi
  read -r mode owner _ <<<"$line"
  [[ $mode == "$3" && $owner == root/root ]] && pass "$1: $2 ($mode $owner)" ||
    fail "$1: $2 is $mode $owner, expected $3 root/root"
}
expect_man_page() {  # package, section, name
  local page
  page=$(paths "$1" | grep -E "^\./usr/share/man/man$2/$3\.$2\.gz$" || true)
  if [[ -z $page ]]; then
    fail "$1: no compressed $3($2) man page"
  # grep reads the whole page: with -q it would stop at the first line, and
  # gzip, still writing a long page, would fail the pipeline on SIGPIPE.
  elif gzip -dc "$root/${page#./}" | grep "^\.TH \"$3\" \"$2\"" >/dev/null; then
    pass "$1: man page ${page#.}"
  else
    fail "$1: ${page#.} is not the section $2 page of $3"
  fi
}

for p in "$helper_pkg" "$command_pkg" "$dev_pkg"; do
  echo "== $p: control"
  cat "$work/$p.info"
  echo "== $p: contents"
  cat "$work/$p.contents"
  [[ $(field "$p" Version) == "$version" ]] && pass "$p: version $version" ||
    fail "$p: version $(field "$p" Version), the helper's is $version"
  maintainer=$(field "$p" Maintainer)
  if [[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ && ! $maintainer =~ (\.invalid|\.example|example\.(com|org)|localhost)\> ]]; then
    pass "$p: maintainer $maintainer"
  else
    fail "$p: maintainer '$maintainer' is no real address"
  fi
  doc=/usr/share/doc/$p
  expect_file "$p" "$doc/copyright" -rw-r--r--
  if [[ -f $root$doc/copyright ]]; then
    head -n 1 "$root$doc/copyright" |
      grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
      grep -qx 'License: MIT' "$root$doc/copyright" &&
      pass "$p: machine-readable copyright, MIT" ||
      fail "$p: $doc/copyright is not a machine-readable copyright file naming the MIT licence"
  fi
  expect_file "$p" "$doc/changelog.Debian.gz" -rw-r--r--
  if [[ -f $root$doc/changelog.Debian.gz ]]; then
    first=$(gzip -dc "$root$doc/changelog.Debian.gz" | head -n 1)
    [[ $first == "tarnwick-drives-helper ($version) "* ]] && pass "$p: changelog entry $version" ||
      fail "$p: changelog starts '$first', expected version $version"
  fi
done

echo "== $helper_pkg"
helper_path=/usr/libexec/tarnwick-drives-helper
policy_path=/usr/share/polkit-1/actions/org.tarnwick.drives.helper.policy
expect_file "$helper_pkg" "$helper_path" -rwxr-xr-x
if paths "$helper_pkg" | grep -Eq '^\./usr/(bin|sbin)/'; then
  fail "$helper_pkg installs into a PATH directory; the helper must only be started by path"
else
  pass "$helper_pkg: nothing in /usr/bin or /usr/sbin"
fi
expect_file "$helper_pkg" "$policy_path" -rw-r--r--
if [[ -f $root$policy_path ]]; then
  "$here/policy-check.sh" "$root$policy_path" "$helper_path" || fail "polkit action check failed"
fi
expect_man_page "$helper_pkg" 8 tarnwick-drives-helper
if [[ -f $root$helper_path ]]; then
  echo "-- hardening of the packaged helper"
  "$here/hardening-check.sh" "$root$helper_path" ||
    fail "packaged helper is not fully hardened"
fi
depends=$(field "$helper_pkg" Depends)
# lsblk, blkdiscard (util-linux) and dd (coreutils) come from Essential
# packages, which a package does not name.
for p in cryptsetup-bin e2fsprogs pkexec; do
  has_item "$depends" "$p" && pass "$helper_pkg: Depends $p" || fail "$helper_pkg: Depends lacks $p"
done
# The helper links the system's libc and libstdc++, so that their security
# updates reach it: shlibdeps must have named both.
for p in libc6 'libstdc\+\+6'; do
  has_item "$depends" "$p" && pass "$helper_pkg: Depends ${p//\\/} (shlibdeps)" ||
    fail "$helper_pkg: Depends lacks ${p//\\/}: the helper is not linked to the shared library"
done
for p in xfsprogs btrfs-progs; do
  has_item "$(field "$helper_pkg" Recommends)" "$p" && pass "$helper_pkg: Recommends $p" ||
    fail "$helper_pkg: Recommends lacks $p"
done

echo "== $command_pkg"
command_path=/usr/bin/tarnwick-drives
expect_file "$command_pkg" "$command_path" -rwxr-xr-x
expect_man_page "$command_pkg" 1 tarnwick-drives
expect_file "$command_pkg" /usr/share/bash-completion/completions/tarnwick-drives -rw-r--r--
expect_file "$command_pkg" /usr/share/zsh/vendor-completions/_tarnwick-drives -rw-r--r--
expect_file "$command_pkg" /usr/share/fish/vendor_completions.d/tarnwick-drives.fish -rw-r--r--
if [[ -f $root$command_path ]]; then
  echo "-- hardening of the packaged command"
  "$here/hardening-check.sh" "$root$command_path" || fail "packaged command is not fully hardened"
fi
depends=$(field "$command_pkg" Depends)
has_item "$depends" "$helper_pkg \\(= ${version//./\\.}\\)" &&
  pass "$command_pkg: Depends $helper_pkg (= $version)" ||
  fail "$command_pkg: Depends lacks $helper_pkg (= $version): '$depends'"
for p in libc6 'libstdc\+\+6'; do
  has_item "$depends" "$p" && pass "$command_pkg: Depends ${p//\\/} (shlibdeps)" ||
    fail "$command_pkg: Depends lacks ${p//\\/}: shlibdeps did not run"
done

echo "== $dev_pkg"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
libdir=$(paths "$dev_pkg" | sed -n 's|^\.\(/usr/lib/.*\)/libtarnwick-drives-client\.a$|\1|p')
if [[ -z $libdir ]]; then
  fail "$dev_pkg: no libtarnwick-drives-client.a"
else
  expect_file "$dev_pkg" "$libdir/libtarnwick-drives-client.a" -rw-r--r--
  [[ $libdir == "/usr/lib/$multiarch" || $libdir == /usr/lib ]] && pass "$dev_pkg: library in $libdir" ||
    fail "$dev_pkg: library in $libdir"
  expect_file "$dev_pkg" "$libdir/cmake/TarnwickDrivesClient/TarnwickDrivesClientConfig.cmake" -rw-r--r--
fi
expect_file "$dev_pkg" /usr/include/tarnwick-drives/client.hpp -rw-r--r--
expect_file "$dev_pkg" /usr/include/tarnwick-drives/requests/requests.hpp -rw-r--r--
expect_file "$dev_pkg" /usr/include/tarnwick-drives/secure/secure_memory.hpp -rw-r--r--
if paths "$dev_pkg" | grep -Eq '^\./usr/(bin|sbin|libexec)/'; then
  fail "$dev_pkg holds programs"
fi
# A program built against the unpacked package alone, as an application would.
consumer=$work/consumer
mkdir -p "$consumer"
cat >"$consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
find_package(TarnwickDrivesClient REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE TarnwickDrives::Client)
EOF
cat >"$consumer/main.cpp" <<'EOF'
#include <tarnwick-drives/client.hpp>

#include <cstdio>

int main() {
  std::puts(tarnwick::client::Client::installed_helper_path().c_str());
  return 0;
}
EOF
if cmake -S "$consumer" -B "$consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$consumer/log" 2>&1 &&
  cmake --build "$consumer/build" >>"$consumer/log" 2>&1; then
  printed=$("$consumer/build/consumer")
  [[ $printed == "$helper_path" ]] && pass "$dev_pkg: a program built with find_package() names $printed" ||
    fail "$dev_pkg: the library names the helper '$printed', the package puts it at $helper_path"
else
  cat "$consumer/log" >&2
  fail "$dev_pkg: a program using find_package(TarnwickDrivesClient) does not build"
fi

echo "== lintian"
# Overridden tags are shown (O:) with their reasons; errors (E:) and
# warnings (W:) that no override explains fail the check.
if ! lintian --tag-display-limit 0 --show-overrides "${deb_of[$helper_pkg]}" \
  "${deb_of[$command_pkg]}" "${deb_of[$dev_pkg]}" >"$work/lintian" 2>&1; then
  cat "$work/lintian"
  fail "lintian did not run"
else
  cat "$work/lintian"
  if grep -Eq '^[EW]: ' "$work/lintian"; then
    fail "lintian reported errors or warnings"
  else
    pass "lintian: no error, no warning without an explained override"
  fi
fi
overrides=$(grep -c '^O: ' "$work/lintian" || true)
echo "lintian: $overrides overridden tag(s), each explained in data/debian/*.lintian-overrides"

echo "== the command finds the packaged helper"
# A stand-in pkexec records what it was asked to start and starts that
# program from the unpacked tree (as root; otherwise the helper refuses).
mkdir -p "$work/bin"
cat >"$work/bin/pkexec" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >"$work/pkexec.args"
exec "$root\$1"
EOF
chmod +x "$work/bin/pkexec"
# "close" of a mapping this session never opened: the helper refuses it
# without touching any device.
status=0
env -u TARNWICK_DRIVES_HELPER PATH="$work/bin:$PATH" "$root$command_path" close tarnwick_package_check \
  >"$work/close.out" 2>"$work/close.err" </dev/null || status=$?
asked=$(cat "$work/pkexec.args" 2>/dev/null || true)
if [[ $asked == "$helper_path" && -x $root$asked ]]; then
  pass "the command starts pkexec $asked, where $helper_pkg puts the helper"
else
  cat "$work/close.err" >&2
  fail "the command asked pkexec for '$asked', the package puts the helper at $helper_path"
fi
refusal="refusing to close a mapper not opened by this session"
if [[ $(id -u) -eq 0 ]]; then
  if ((status != 0)) && grep -qF "$refusal" "$work/close.err"; then
    pass "the packaged helper answered the command: $refusal"
  else
    cat "$work/close.out" "$work/close.err" >&2
    fail "no answer of the packaged helper reached the command (exit $status)"
  fi
else
  echo "package-check: not root: the packaged helper refuses to serve, so only the path is checked"
fi

if ((failures)); then
  echo "package-check: $failures check(s) failed" >&2
  exit 1
fi
echo "package-check: all checks passed for ${debs[*]}"
