#!/usr/bin/env bash
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
  # shipping: the man page (scdoc, gzip), the polkit DTD and its validation
  # (polkitd, libxml2-utils), the Debian package (dpkg-dev, file), the
  # hardening check (binutils), and the linters (scripts/lint.sh)
  scdoc gzip polkitd libxml2-utils dpkg-dev file binutils clang-tidy-19 clang-format-19
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
echo "setup: all dependencies present"
