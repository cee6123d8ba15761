// SPDX-License-Identifier: MIT
#include "guard_fixture.hpp"

#include <filesystem>

namespace tarnwick::guard::fixture {

GuardTree::GuardTree() {
  // Device paths are compared after link resolution, so the tree must be
  // named by its canonical path.
  root_ = std::filesystem::canonical(tree_.path()).string();
  paths_.proc_mounts = root_ + "/proc/mounts";
  paths_.proc_swaps = root_ + "/proc/swaps";
  paths_.etc_crypttab = root_ + "/etc/crypttab";
  paths_.disk_by_id = root_ + "/dev/disk/by-id";
  paths_.disk_by_uuid = root_ + "/dev/disk/by-uuid";
  paths_.sys_class_block = root_ + "/sys/class/block";
  tree_.make_dir("dev/disk/by-id");
  tree_.make_dir("dev/disk/by-uuid");
  write_mounts("sysfs /sys sysfs rw 0 0\n/dev/vda1 / ext4 rw 0 0\n");
  write_swaps("Filename\tType\tSize\tUsed\tPriority\n");
  write_crypttab("# <target name> <source device> <key file> <options>\n");
  lister_.drives_ = {usb_drive()};
}

std::string GuardTree::dev(const std::string& name) const {
  const std::string path = root_ + "/dev/" + name;
  if (!std::filesystem::exists(path)) {
    tree_.write_file("dev/" + name, "");
  }
  return path;
}

std::string GuardTree::by_id(const std::string& name, const std::string& device) const {
  dev(device);
  tree_.symlink("../../" + device, "dev/disk/by-id/" + name);
  return root_ + "/dev/disk/by-id/" + name;
}

std::string GuardTree::by_uuid(const std::string& uuid, const std::string& device) const {
  dev(device);
  tree_.symlink("../../" + device, "dev/disk/by-uuid/" + uuid);
  return root_ + "/dev/disk/by-uuid/" + uuid;
}

inventory::Drive GuardTree::usb_drive() const {
  inventory::Drive drive;
  drive.path = dev("sdb");
  drive.removable = true;
  drive.partitions = {inventory::Partition{dev("sdb1"), std::nullopt, std::nullopt},
                      inventory::Partition{dev("sdb2"), std::nullopt, std::nullopt}};
  return drive;
}

}  // namespace tarnwick::guard::fixture
