#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds (or finds) the Debian 12 guest of the real-kernel test stage: its
# kernel, its initramfs and an ext4 root image made from a debootstrap tree
# with `mkfs.ext4 -d`, so no image is ever mounted on the host.
#
#   scripts/guest-image.sh            prints the image folder, building it if needed
#
# The image lives in a cache folder outside the checkout
# (TDH_GUEST_CACHE, default /var/tmp/tarnwick-drives-guest), in a sub-folder
# named after a hash of its inputs: this script, tests/guest/packages.txt and
# tests/guest/init. Changing any of them builds a new image; older ones are
# removed. Packages come from the apt archive this machine is configured for
# (TDH_GUEST_MIRROR overrides it). Root only.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TDH_GUEST_CACHE:-/var/tmp/tarnwick-drives-guest}
suite=bookworm

die() {
  echo "guest-image: $*" >&2
  exit 1
}

[[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap, device nodes in the image)"
command -v debootstrap >/dev/null || die "debootstrap is missing (scripts/setup.sh installs it)"
command -v mkfs.ext4 >/dev/null || die "mkfs.ext4 is missing"

# Judged before anything is made there.
cache=$(realpath -m "$cache")
case "$cache/" in
  "$here"/*) die "the cache $cache lies inside the checkout $here; choose one outside (TDH_GUEST_CACHE)" ;;
esac
mkdir -p "$cache"

inputs=("$here/scripts/guest-image.sh" "$here/tests/guest/packages.txt" "$here/tests/guest/init")
key=$(cat "${inputs[@]}" | sha256sum | cut -c1-16)
image="$cache/$key"

complete() { [[ -f "$image/complete" ]]; }

if complete; then
  echo "$image"
  exit 0
fi

# One build at a time; a second caller waits and then finds the image.
exec 9>"$cache/.lock"
flock -w 3600 9 || die "timed out waiting for another build of the image"
if complete; then
  echo "$image"
  exit 0
fi

mirror=${TDH_GUEST_MIRROR:-}
if [[ -z $mirror ]]; then
  # The first archive URI that serves the suite, from deb822 or one-line sources.
  sources=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] && sources+=("$f")
  done
  mirror=$(awk -v s="$suite" '
    /^URIs:/ { uri = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s && uri != "" && !found) { print uri; found = 1 } }
    /^deb / { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { if ($(i + 1) == s && !found) { print $i; found = 1 } break } }
  ' "${sources[@]}" /dev/null | head -n1)
fi
[[ -n $mirror ]] || die "no apt archive for $suite found in /etc/apt; set TDH_GUEST_MIRROR"

work="$cache/build.$$"
tree="$work/tree"
# debootstrap mounts /proc and /sys inside the tree while it installs;
# release them (deepest first) before the tree goes.
release_mounts() {
  local m
  findmnt -rn -o TARGET | { grep -F "$tree/" || true; } | sort -r | while read -r m; do
    umount -l "$m" || true
  done
}
cleanup() {
  set +e
  [[ -d $tree ]] && release_mounts
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"

packages=$(grep -v '^[[:space:]]*\(#\|$\)' "$here/tests/guest/packages.txt" | tr -s ' \n' ',' | sed 's/,$//')
echo "guest-image: debootstrap $suite from $mirror with $packages" >&2
started=$SECONDS
# Downloaded packages are kept beside the images, so a change of inputs
# costs no second download.
mkdir -p "$cache/debs"
if ! debootstrap --variant=minbase --cache-dir="$cache/debs" --include="$packages" "$suite" "$tree" "$mirror" \
  >"$work/debootstrap.log" 2>&1; then
  tail -n 30 "$work/debootstrap.log" >&2
  [[ -f $tree/debootstrap/debootstrap.log ]] && tail -n 30 "$tree/debootstrap/debootstrap.log" >&2
  die "debootstrap failed"
fi

install -m 0755 "$here/tests/guest/init" "$tree/sbin/tdh-guest-init"
echo tdh-guest >"$tree/etc/hostname"
: >"$tree/etc/fstab"
: >"$tree/etc/crypttab"
rm -rf "$tree/var/cache/apt/archives"/*.deb "$tree/var/lib/apt/lists"/* "$tree/usr/share/doc" \
  "$tree/usr/share/man" "$tree/usr/share/locale"

kernel=$(basename "$(ls -d "$tree"/lib/modules/* | head -n1)")
cp "$tree/boot/vmlinuz-$kernel" "$work/vmlinuz"
cp "$tree/boot/initrd.img-$kernel" "$work/initrd.img"
# Drivers a disk-only guest never loads: dropping them halves the image.
for d in drivers/gpu drivers/media drivers/net/wireless drivers/net/ethernet drivers/infiniband \
  drivers/staging drivers/iio drivers/input/touchscreen sound net/wireless net/bluetooth; do
  rm -rf "$tree/lib/modules/$kernel/kernel/$d"
done
chroot "$tree" depmod "$kernel"
rm -rf "${tree:?}/boot"/*

used_mib=$(du -sm "$tree" | cut -f1)
size_mib=$((used_mib + used_mib / 3 + 256))
truncate -s "${size_mib}M" "$work/root.img"
mkfs.ext4 -q -F -L tdh-guest-root -d "$tree" "$work/root.img" ||
  die "mkfs.ext4 -d failed"
# The tree is only needed for the image; release its mounts and files now.
release_mounts
rm -rf "$tree"

{
  echo "suite=$suite"
  echo "kernel=$kernel"
  echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "seconds=$((SECONDS - started))"
} >"$work/complete"
rm -f "$work/debootstrap.log"
mv "$work" "$image"
# Older images (other inputs) are dead weight.
for old in "$cache"/*/; do
  old=${old%/}
  [[ $old == "$image" || $old == "$cache/debs" || ! -f $old/complete ]] || rm -rf "$old"
done
echo "guest-image: built $image in $((SECONDS - started)) s" >&2
echo "$image"
