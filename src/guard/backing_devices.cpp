// SPDX-License-Identifier: MIT
// Devices that use a drive without `lsblk` showing them below it: a loop
// device over the drive's node (or a partition's), or a zram device writing
// back to it, and whatever is stacked on those. The kernel names their
// backing device in sysfs; it is compared by device number, since the name
// written there may be a link or any other node of the same device.
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "guard/guard.hpp"

namespace tarnwick::guard {
namespace {

using inventory::Drive;
using inventory::Partition;
using inventory::StackedDevice;

// What a node is: a block device by its number. The tests' trees stand in
// plain files for device nodes, so those count by their inode; a plain file
// never equals a block device, so a loop device over an ordinary file is
// never taken for one over the drive.
struct NodeIdentity {
  bool block = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const NodeIdentity&) const = default;
};

std::optional<NodeIdentity> identity_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  if (S_ISBLK(st.st_mode)) {
    return NodeIdentity{true, st.st_rdev, 0};
  }
  if (S_ISREG(st.st_mode)) {
    return NodeIdentity{false, st.st_dev, st.st_ino};
  }
  return std::nullopt;
}

std::string kernel_name(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The sysfs file holds one path and a line feed; zram writes "none" when it
// has no backing device, and a deleted backing file gets " (deleted)"
// appended, which then simply resolves to nothing.
std::optional<std::string> read_backing_path(const std::string& file) {
  auto text = system::read_file(file);
  if (!text) {
    return std::nullopt;
  }
  if (text->ends_with('\n')) {
    text->pop_back();
  }
  if (!text->starts_with('/')) {
    return std::nullopt;
  }
  return std::move(*text);
}

std::string mapper_path(std::string_view name) { return "/dev/mapper/" + std::string(name); }

// Every node of a device's tree, the device first, in `lsblk` order.
std::vector<StackedDevice> tree_of(const Drive& device) {
  std::vector<StackedDevice> nodes{StackedDevice{device.path, device.mountpoint}};
  for (const Partition& partition : device.partitions) {
    nodes.push_back(StackedDevice{partition.path, partition.mountpoint});
    if (partition.mapped) {
      nodes.push_back(
          StackedDevice{mapper_path(partition.mapped->name), partition.mapped->mountpoint});
    }
  }
  nodes.insert(nodes.end(), device.stacked.begin(), device.stacked.end());
  return nodes;
}

void add_identities(const std::vector<StackedDevice>& nodes, std::vector<NodeIdentity>& out) {
  for (const StackedDevice& node : nodes) {
    if (auto identity = identity_of(node.path)) {
      out.push_back(*identity);
    }
  }
}

struct Candidate {
  const Drive* device;
  NodeIdentity backing;
  bool claimed = false;
};

}  // namespace

std::vector<StackedDevice> devices_backed_by(const system::SystemPaths& paths,
                                             const inventory::Snapshot& snapshot,
                                             const Drive& drive) {
  // Only devices that can have a backing device are read, one file each.
  std::vector<Candidate> candidates;
  auto consider = [&](const Drive& device, std::string_view file) {
    const std::string name = kernel_name(device.path);
    const auto backing =
        read_backing_path(system::join_path(system::join_path(paths.sys_class_block, name), file));
    if (!backing) {
      return;
    }
    if (auto identity = identity_of(*backing)) {
      candidates.push_back(Candidate{&device, *identity});
    }
  };
  for (const Drive& loop : snapshot.loop_devices) {
    consider(loop, "loop/backing_file");
  }
  for (const Drive& other : snapshot.drives) {
    if (&other != &drive && kernel_name(other.path).starts_with("zram")) {
      consider(other, "backing_dev");
    }
  }
  if (candidates.empty()) {
    return {};
  }

  std::vector<NodeIdentity> held;
  add_identities(tree_of(drive), held);
  // A loop device over a loop device over the drive uses the drive too:
  // repeat until no further device is found.
  std::vector<StackedDevice> backed;
  for (bool found = true; found;) {
    found = false;
    for (Candidate& candidate : candidates) {
      if (candidate.claimed || std::ranges::find(held, candidate.backing) == held.end()) {
        continue;
      }
      candidate.claimed = true;
      found = true;
      const std::vector<StackedDevice> nodes = tree_of(*candidate.device);
      add_identities(nodes, held);
      backed.insert(backed.end(), nodes.begin(), nodes.end());
    }
  }
  return backed;
}

}  // namespace tarnwick::guard
