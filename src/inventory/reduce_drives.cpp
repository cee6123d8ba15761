// SPDX-License-Identifier: MIT
// Reduction of the raw `lsblk` tree to the three levels the guard judges:
// drives, their partitions (or a container opened on the whole drive), and
// one dm-crypt mapping per partition. What is stacked deeper is kept as a
// flat list, so that nothing mounted or swapped on a drive escapes the guard.
#include "inventory/inventory.hpp"

namespace tarnwick::inventory {
namespace {

bool has_type(const LsblkNode& node, std::string_view type) {
  return node.type.has_value() && *node.type == type;
}

const LsblkNode* first_mapping_node(const LsblkNode& partition) {
  for (const LsblkNode& child : partition.children) {
    if (has_type(child, "crypt")) {
      return &child;
    }
  }
  return nullptr;
}

std::optional<MappedChild> first_mapping(const LsblkNode& partition) {
  if (const LsblkNode* mapping = first_mapping_node(partition)) {
    return MappedChild{mapping->name, mapping->mountpoint};
  }
  return std::nullopt;
}

bool is_partition(const LsblkNode& node) {
  return has_type(node, "part") || has_type(node, "crypt");
}

// Pre-order, as `lsblk` prints the tree; the nodes the reduced records
// already stand for are skipped, but not what lies below them.
void collect_stacked(const LsblkNode& node, const LsblkNode* represented,
                     std::vector<StackedDevice>& out) {
  if (&node != represented) {
    out.push_back(StackedDevice{node.path, node.mountpoint});
  }
  for (const LsblkNode& child : node.children) {
    collect_stacked(child, nullptr, out);
  }
}

Drive drive_from(const LsblkNode& node) {
  Drive drive;
  drive.path = node.path;
  drive.removable = node.rm.value_or(false);
  drive.hotplug = node.hotplug.value_or(false);
  drive.read_only = node.ro.value_or(false);
  drive.mountpoint = node.mountpoint;
  for (const LsblkNode& child : node.children) {
    if (is_partition(child)) {
      drive.partitions.push_back(Partition{child.path, child.mountpoint, first_mapping(child)});
    }
  }
  for (const LsblkNode& child : node.children) {
    if (!is_partition(child)) {
      collect_stacked(child, nullptr, drive.stacked);
      continue;
    }
    const LsblkNode* mapping = first_mapping_node(child);
    for (const LsblkNode& grandchild : child.children) {
      collect_stacked(grandchild, mapping, drive.stacked);
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

std::vector<Drive> reduce_loop_devices(const LsblkRoot& root) {
  std::vector<Drive> loops;
  for (const LsblkNode& node : root.blockdevices) {
    if (has_type(node, "loop")) {
      loops.push_back(drive_from(node));
    }
  }
  return loops;
}

}  // namespace tarnwick::inventory
