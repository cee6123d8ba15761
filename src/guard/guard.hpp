// SPDX-License-Identifier: MIT
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

// For whole-drive operations ("wipe", "luks-format"): the stable path, or the
// final error text for the client.
std::expected<std::string, std::string> resolve_drive_target(const GuardContext& context,
                                                             std::string_view device);

// For "luks-open": a drive or one of its partitions; the whole drive is judged.
std::expected<std::string, std::string> resolve_drive_or_partition_target(
    const GuardContext& context, std::string_view device);

}  // namespace tarnwick::guard
