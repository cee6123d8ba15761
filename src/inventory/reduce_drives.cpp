// SPDX-License-Identifier: MIT
// Reduction of the raw `lsblk` tree to the three levels the guard judges:
// drives, their partitions (or a container opened on the whole drive), and
// one dm-crypt mapping per partition.
#include "inventory/inventory.hpp"

namespace tarnwick::inventory {
namespace {

bool has_type(const LsblkNode& node, std::string_view type) {
  return node.type.has_value() && *node.type == type;
}

std::optional<MappedChild> first_mapping(const LsblkNode& partition) {
  for (const LsblkNode& child : partition.children) {
    if (has_type(child, "crypt")) {
      return MappedChild{child.name, child.mountpoint};
    }
  }
  return std::nullopt;
}

Drive drive_from(const LsblkNode& node) {
  Drive drive;
  drive.path = node.path;
  drive.removable = node.rm.value_or(false);
  drive.hotplug = node.hotplug.value_or(false);
  drive.read_only = node.ro.value_or(false);
  drive.mountpoint = node.mountpoint;
  for (const LsblkNode& child : node.children) {
    if (has_type(child, "part") || has_type(child, "crypt")) {
      drive.partitions.push_back(Partition{child.path, child.mountpoint, first_mapping(child)});
    }
  }
  return drive;
}

}  // namespace

std::vector<Drive> reduce_drives(const LsblkRoot& root) {
  std::vector<Drive> drives;
  for (const LsblkNode& node : root.blockdevices) {
    if (has_type(node, "disk")) {
      drives.push_back(drive_from(node));
    }
  }
  return drives;
}

}  // namespace tarnwick::inventory
