// SPDX-License-Identifier: MIT
// The six checks a drive must pass before anything destroys or unlocks it.
// Every failed check is collected, so the user learns all reasons at once.
#include <algorithm>
#include <iterator>
#include <ranges>
#include <string>
#include <vector>

#include "guard/guard.hpp"
#include "guard/system_tables.hpp"
#include "text/text.hpp"

namespace tarnwick::guard {
namespace {

using inventory::Drive;
using inventory::Partition;
using inventory::paths_equal;

using inventory::StackedDevice;

std::optional<std::string> first_mount_point(const Drive& drive) {
  if (drive.mountpoint) {
    return drive.mountpoint;
  }
  for (const Partition& partition : drive.partitions) {
    if (partition.mountpoint) {
      return partition.mountpoint;
    }
    if (partition.mapped && partition.mapped->mountpoint) {
      return partition.mapped->mountpoint;
    }
  }
  // Deeper devices come last, so a drive refused before they were looked at
  // keeps its text.
  for (const StackedDevice& stacked : drive.stacked) {
    if (stacked.mountpoint) {
      return stacked.mountpoint;
    }
  }
  return std::nullopt;
}

// Stacked devices are usually named by a link ("/dev/mapper/vg-root" leads
// to "/dev/dm-3") while the tables hold either form: compare both.
bool is_stacked_device(const Drive& drive, std::string_view canonical_path) {
  return std::ranges::any_of(drive.stacked, [&](const StackedDevice& stacked) {
    return paths_equal(canonical_path, stacked.path) ||
           paths_equal(canonical_path, system::canonical_or_unchanged(stacked.path));
  });
}

bool is_drive_or_partition(const Drive& drive, std::string_view path) {
  if (paths_equal(path, drive.path)) {
    return true;
  }
  return std::ranges::any_of(drive.partitions, [&](const Partition& partition) {
    return paths_equal(path, partition.path);
  });
}

std::string mapper_path(std::string_view name) { return "/dev/mapper/" + std::string(name); }

// The mounted source is canonical, while the mapper candidate is a link name
// (udev makes /dev/mapper entries links to dm-N): compare it both as written
// and resolved, or a root filesystem inside an opened container would never
// be recognised.
bool is_root_source(const Drive& drive, std::string_view canonical_source) {
  if (paths_equal(canonical_source, drive.path)) {
    return true;
  }
  const bool on_partition = std::ranges::any_of(drive.partitions, [&](const Partition& partition) {
    if (paths_equal(canonical_source, partition.path)) {
      return true;
    }
    if (!partition.mapped) {
      return false;
    }
    const std::string candidate = mapper_path(partition.mapped->name);
    return paths_equal(canonical_source, candidate) ||
           paths_equal(canonical_source, system::canonical_or_unchanged(candidate));
  });
  return on_partition || is_stacked_device(drive, canonical_source);
}

std::expected<bool, HelperError> hosts_root_filesystem(const system::SystemPaths& paths,
                                                       const Drive& drive) {
  auto mounts = read_mount_table(paths);
  if (!mounts) {
    return std::unexpected(std::move(mounts.error()));
  }
  const std::optional<std::string> source = root_mount_source(*mounts);
  if (!source) {
    return false;
  }
  return is_root_source(drive, system::canonical_or_unchanged(*source));
}

bool holds_active_swap(const system::SystemPaths& paths, const Drive& drive) {
  const std::optional<std::vector<std::string>> swaps = read_swap_sources(paths);
  if (!swaps) {
    return false;
  }
  return std::ranges::any_of(*swaps, [&](const std::string& source) {
    const std::string canonical = system::canonical_or_unchanged(source);
    return is_drive_or_partition(drive, canonical) || is_stacked_device(drive, canonical);
  });
}

bool referenced_in_crypttab(const system::SystemPaths& paths, const Drive& drive) {
  const std::optional<std::vector<std::string>> sources = read_crypttab_sources(paths);
  if (!sources) {
    return false;
  }
  std::vector<std::string> candidates{system::canonical_or_unchanged(drive.path)};
  for (const Partition& partition : drive.partitions) {
    candidates.push_back(system::canonical_or_unchanged(partition.path));
  }
  return std::ranges::any_of(*sources, [&](const std::string& source) {
    const std::string canonical = system::canonical_or_unchanged(source);
    return std::ranges::any_of(candidates, [&](const std::string& candidate) {
      return paths_equal(canonical, candidate);
    });
  });
}

}  // namespace

std::expected<GuardReport, HelperError> guard_drive(const GuardContext& context,
                                                    std::string_view device) {
  auto drives = context.drives.list_drives();
  if (!drives) {
    return std::unexpected(std::move(drives.error()));
  }
  const Drive* found = inventory::find_drive_by_path(drives->drives, device);
  if (found == nullptr) {
    return std::unexpected(HelperError::refused(text::concat({"device not found: ", device})));
  }

  GuardReport report;
  // What uses the drive through a loop device counts as stacked on it, after
  // what `lsblk` shows below it.
  std::vector<StackedDevice> backed = devices_backed_by(context.paths, *drives, *found);
  report.used_through_backing = !backed.empty();
  Drive judged = *found;
  judged.stacked.insert(judged.stacked.end(), std::make_move_iterator(backed.begin()),
                        std::make_move_iterator(backed.end()));
  const Drive* drive = &judged;
  if (!drive->removable && !drive->hotplug) {
    report.reasons.emplace_back("device is not removable or hotplug-capable");
  }
  if (drive->read_only) {
    report.reasons.emplace_back("device is read-only");
  }
  if (const std::optional<std::string> mount_point = first_mount_point(*drive)) {
    report.reasons.push_back("partition currently mounted at " + *mount_point);
  }
  const auto hosts_root = hosts_root_filesystem(context.paths, *drive);
  if (!hosts_root) {
    return std::unexpected(hosts_root.error());
  }
  if (*hosts_root) {
    report.reasons.emplace_back("device hosts the running root filesystem");
  }
  if (holds_active_swap(context.paths, *drive)) {
    report.reasons.emplace_back("device holds an active swap area");
  }
  if (referenced_in_crypttab(context.paths, *drive)) {
    report.reasons.emplace_back("device is referenced in /etc/crypttab");
  }

  report.stable_path = stable_by_id_path(context.paths, device).value_or(std::string(device));
  report.allowed = report.reasons.empty();
  return report;
}

std::expected<void, HelperError> require_allowed(const GuardReport& report) {
  if (report.allowed) {
    return {};
  }
  std::string joined;
  for (const std::string& reason : report.reasons) {
    if (!joined.empty()) {
      joined += "; ";
    }
    joined += reason;
  }
  return std::unexpected(HelperError::refused(std::move(joined)));
}

}  // namespace tarnwick::guard
