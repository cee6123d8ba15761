// The destructive-operation guard: proves a target is a removable, writable
// drive the running system does not use, and names it by its stable
// /dev/disk/by-id link.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/inventory.hpp"
#include "runner/runner.hpp"
#include "system/system.hpp"

namespace tarnwick::guard {

using runner::HelperError;

// Given alone, and only when nothing else refused the drive, so that a
// drive refused for a reason of its own keeps that text.
inline constexpr std::string_view kInUseReason = "device is in use by the system";

// The kernel's word on what `lsblk` cannot show: true when an exclusive
// open of the device fails with EBUSY, because a mount, device-mapper, RAID,
// swap or another program holds it. The descriptor is closed at once; any
// other failure says nothing, and the tool that follows meets it itself.
bool held_by_kernel(std::string_view device);

struct GuardReport {
  std::string stable_path;
  std::vector<std::string> reasons;
  bool allowed = false;
};

// What the guard reads: the snapshot source and the system tables.
struct GuardContext {
  const inventory::DriveLister& drives;
  const system::SystemPaths& paths;
};

std::expected<GuardReport, HelperError> guard_drive(const GuardContext& context,
                                                    std::string_view device);

// Refused with the reasons joined by "; " unless the report is allowed.
std::expected<void, HelperError> require_allowed(const GuardReport& report);

std::optional<std::string> stable_by_id_path(const system::SystemPaths& paths,
                                             std::string_view device);

// For whole-drive operations ("wipe", "luks-format"): judges the drive, asks
// the kernel, and returns the stable path, or the final error text for the
// client.
std::expected<std::string, std::string> resolve_drive_target(const GuardContext& context,
                                                             std::string_view device);

// For "luks-open": a drive or one of its partitions; the whole drive is
// judged, the kernel is asked about the target itself (so that a container
// open on a sibling partition does not count against it).
std::expected<std::string, std::string> resolve_drive_or_partition_target(
    const GuardContext& context, std::string_view device);

}  // namespace tarnwick::guard
