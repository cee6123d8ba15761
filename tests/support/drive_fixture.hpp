// SPDX-License-Identifier: MIT
// A fixture tree for request handlers that go through the guard: device
// nodes are plain files, "/dev/disk/by-id" links point at them, and the
// kernel tables say nothing is mounted or swapped.
#pragma once

#include <string>
#include <vector>

#include "guard/guard.hpp"
#include "inventory/inventory.hpp"
#include "support/support.hpp"
#include "system/system.hpp"

namespace tarnwick::testing {

class DriveFixture {
 public:
  DriveFixture()
      : drive(dir.write_file("dev/sdx", "")),
        partition(dir.write_file("dev/sdx1", "")),
        fixed_drive(dir.write_file("dev/vdz", "")),
        unlinked_drive(dir.write_file("dev/sdy", "")),
        drive_link(dir.symlink(drive, "dev/disk/by-id/usb-Tarnwick_Stick_0001-0:0")),
        partition_link(dir.symlink(partition, "dev/disk/by-id/usb-Tarnwick_Stick_0001-0:0-part1")),
        fixed_link(dir.symlink(fixed_drive, "dev/disk/by-id/virtio-internal")),
        lister(drives()) {
    dir.write_file("proc/mounts", "rootfs-source / ext4 rw 0 0\nproc /proc proc rw 0 0\n");
    dir.write_file("proc/swaps", "Filename\tType\tSize\tUsed\tPriority\n");
    paths.proc_mounts = dir.file("proc/mounts");
    paths.proc_swaps = dir.file("proc/swaps");
    paths.etc_crypttab = dir.file("etc/crypttab");  // absent: the check is skipped
    paths.disk_by_id = dir.file("dev/disk/by-id");
    paths.disk_by_uuid = dir.file("dev/disk/by-uuid");
    paths.wipe_mapping_lock = dir.file("run/tarnwick_wipe_tmp.lock");
    dir.make_dir("run");
  }

  guard::GuardContext context() const { return guard::GuardContext{lister, paths}; }

  TempDir dir;
  system::SystemPaths paths;
  // A removable drive with one partition, both with by-id links.
  const std::string drive;
  const std::string partition;
  // A fixed, non-removable internal disk (refused by the guard).
  const std::string fixed_drive;
  // A removable drive without any by-id link.
  const std::string unlinked_drive;
  const std::string drive_link;
  const std::string partition_link;
  const std::string fixed_link;
  FixedDriveLister lister;

 private:
  std::vector<inventory::Drive> drives() const {
    inventory::Drive removable;
    removable.path = drive;
    removable.removable = true;
    removable.partitions.push_back(inventory::Partition{partition, std::nullopt, std::nullopt});

    inventory::Drive fixed;
    fixed.path = fixed_drive;

    inventory::Drive unlinked;
    unlinked.path = unlinked_drive;
    unlinked.hotplug = true;
    return {removable, fixed, unlinked};
  }
};

}  // namespace tarnwick::testing
