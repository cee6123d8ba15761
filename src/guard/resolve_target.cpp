// SPDX-License-Identifier: MIT
// The two entries request handling uses: each returns the stable by-id path
// to operate on with the drive's lock, or the text the client is shown.
// The lock comes first, so that no cooperating program starts on the drive
// between the checks and the tool; the kernel is asked last, so that a drive
// refused for a reason of its own keeps that text.
#include <algorithm>
#include <ranges>

#include "guard/guard.hpp"

namespace tarnwick::guard {
namespace {

constexpr std::string_view kNoStablePath = "device has no stable /dev/disk/by-id path";

// Operations must address the drive under the by-id directory only. The
// directory is the configured one, "/dev/disk/by-id" in the program.
bool is_under_by_id(const system::SystemPaths& paths, std::string_view path) {
  const auto prefix = inventory::path_components(paths.disk_by_id);
  const auto components = inventory::path_components(path);
  return components.size() >= prefix.size() &&
         std::ranges::equal(prefix, components | std::views::take(prefix.size()));
}

// The guard's verdict on a whole drive, as the client's text on refusal.
std::expected<GuardReport, std::string> allowed_report(const GuardContext& context,
                                                       std::string_view drive_path,
                                                       const DriveLock& lock) {
  auto report = guard_drive(context, drive_path);
  if (!report) {
    return std::unexpected(report.error().display());
  }
  if (lock.busy()) {
    report->reasons.emplace_back(kBusyReason);
    report->allowed = false;
  }
  if (auto allowed = require_allowed(*report); !allowed) {
    return std::unexpected(allowed.error().display());
  }
  return std::move(*report);
}

// A loop device over the drive holds it as a mount would, but the kernel
// may not say so: it is reported with the kernel's text.
std::expected<GuardedTarget, std::string> unless_held(GuardedTarget target,
                                                      const GuardReport& report) {
  if (report.used_through_backing || held_by_kernel(target.stable_path)) {
    return std::unexpected(HelperError::refused(std::string(kInUseReason)).display());
  }
  return target;
}

}  // namespace

std::expected<GuardedTarget, std::string> resolve_drive_target(const GuardContext& context,
                                                               std::string_view device) {
  // Whatever the text names, anything but a drive is refused below.
  DriveLock lock = DriveLock::take(device);
  auto report = allowed_report(context, device, lock);
  if (!report) {
    return std::unexpected(std::move(report.error()));
  }
  if (!is_under_by_id(context.paths, report->stable_path)) {
    return std::unexpected(std::string(kNoStablePath));
  }
  std::string stable = std::move(report->stable_path);
  return unless_held(GuardedTarget{std::move(stable), std::string(device), std::move(lock)},
                     *report);
}

std::expected<GuardedTarget, std::string> resolve_drive_or_partition_target(
    const GuardContext& context, std::string_view device) {
  const auto drives = context.drives.list_drives();
  if (!drives) {
    return std::unexpected(drives.error().display());
  }
  const inventory::Drive* drive = inventory::find_drive_for_device(drives->drives, device);
  if (drive == nullptr) {
    return std::unexpected(std::string("device is not a detected removable drive or partition"));
  }
  // The whole drive is locked and judged, also when the request names one
  // partition.
  std::string drive_path = drive->path;
  DriveLock lock = DriveLock::take(drive_path);
  auto report = allowed_report(context, drive_path, lock);
  if (!report) {
    return std::unexpected(std::move(report.error()));
  }
  std::optional<std::string> stable = stable_by_id_path(context.paths, device);
  if (!stable || !is_under_by_id(context.paths, *stable)) {
    return std::unexpected(std::string(kNoStablePath));
  }
  return unless_held(GuardedTarget{std::move(*stable), std::move(drive_path), std::move(lock)},
                     *report);
}

}  // namespace tarnwick::guard
