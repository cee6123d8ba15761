#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs every Debian package the helper needs to build, test and run.
# Only what is missing is installed; run as root on Debian 12 or later.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config
  nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev  # the tarnwick-drives command's argument parsing (header-only)
  # fuzzing and sanitizer runtimes
  clang-19 libclang-rt-19-dev
  # the tools the helper drives, and what the end-to-end tests inspect with
  util-linux coreutils cryptsetup-bin e2fsprogs xfsprogs btrfs-progs
  # a German locale: the tests start the helper as a German desktop would
  locales
  # shipping: the man page (scdoc, gzip), the polkit DTD and its validation
  # (polkitd, libxml2-utils), the Debian packages and their checks (dpkg-dev,
  # file, lintian), the hardening check (binutils), the completions' tests
  # (bash-completion; zsh and fish parse their own scripts), and the linters
  # (scripts/lint.sh)
  scdoc gzip polkitd libxml2-utils dpkg-dev file lintian binutils bash-completion
  zsh fish
  clang-tidy-19 clang-format-19
  # the real-kernel stage (scripts/guest-test.sh): the emulator, its image
  # tool, and what builds the guest's Debian image
  qemu-system-x86 qemu-utils debootstrap debian-archive-keyring
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if ! locale -a 2>/dev/null | grep -qx de_DE.utf8; then
  if [[ $(id -u) -eq 0 ]]; then
    echo "setup: generating the de_DE.UTF-8 locale"
    localedef -i de_DE -f UTF-8 de_DE.UTF-8
  else
    echo "setup: the de_DE.UTF-8 locale is missing; its test will be skipped" >&2
  fi
fi
echo "setup: all dependencies present"
