// SPDX-License-Identifier: MIT
// The destructive-operation guard: proves a target is a removable, writable
// drive the running system does not use, and names it by its stable
// /dev/disk/by-id link.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "inventory/inventory.hpp"
#include "runner/runner.hpp"
#include "system/system.hpp"

namespace tarnwick::guard {

using runner::HelperError;

// Joins the six checks' reasons in the last place.
inline constexpr std::string_view kBusyReason = "device is busy: another operation is using it";
// Given alone, and only when nothing else refused the drive, so that a
// drive refused for a reason of its own keeps that text.
inline constexpr std::string_view kInUseReason = "device is in use by the system";

// An exclusive BSD lock (flock) on a whole drive's device node: the
// convention by which udev and disk tools keep off a drive that another
// program is writing. Taken without waiting; released with the object, or
// by the kernel when the process dies.
class DriveLock {
 public:
  enum class State { Held, Busy, NotTaken };

  DriveLock() = default;
  // NotTaken when the path names no block device (nor, for test trees, a
  // plain file) that can be opened; whatever it names is then left to the
  // guard, which refuses anything that is not a drive.
  static DriveLock take(std::string_view drive_path);

  State state() const { return state_; }
  bool busy() const { return state_ == State::Busy; }

 private:
  DriveLock(system::FileDescriptor fd, State state) : fd_(std::move(fd)), state_(state) {}

  system::FileDescriptor fd_;
  State state_ = State::NotTaken;
};

// The kernel's word on what `lsblk` cannot show: true when an exclusive
// open of the device fails with EBUSY, because a mount, device-mapper, RAID,
// swap or another program holds it. The descriptor is closed at once; any
// other failure says nothing, and the tool that follows meets it itself.
bool held_by_kernel(std::string_view device);

// What a request operates on once the guard accepted it.
struct GuardedTarget {
  std::string stable_path;  // the target's /dev/disk/by-id link
  std::string drive_path;   // the whole drive judged, as the inventory names it
  DriveLock lock;           // on that drive, held until the request is answered
};

struct GuardReport {
  std::string stable_path;
  std::vector<std::string> reasons;
  bool allowed = false;
  // A loop device (or another device with a backing device of its own)
  // uses the drive. Its mounts, root and swap count among the reasons; that
  // it holds the drive at all is reported like the kernel's word, alone and
  // only when nothing else refused the drive.
  bool used_through_backing = false;
};

// What the guard reads: the snapshot source and the system tables.
struct GuardContext {
  const inventory::DriveLister& drives;
  const system::SystemPaths& paths;
};

std::expected<GuardReport, HelperError> guard_drive(const GuardContext& context,
                                                    std::string_view device);

// The devices in the snapshot that use `drive` through a backing device of
// their own (a loop device's backing file, zram's writeback device), to any
// depth, each followed by what is stacked on it; empty when none does.
// `drive` is one of the snapshot's drives.
std::vector<inventory::StackedDevice> devices_backed_by(const system::SystemPaths& paths,
                                                        const inventory::Snapshot& snapshot,
                                                        const inventory::Drive& drive);

// Refused with the reasons joined by "; " unless the report is allowed.
std::expected<void, HelperError> require_allowed(const GuardReport& report);

std::optional<std::string> stable_by_id_path(const system::SystemPaths& paths,
                                             std::string_view device);

// For whole-drive operations ("wipe", "luks-format"): locks the drive,
// judges it, asks the kernel, and returns the target with its lock, or the
// final error text for the client.
std::expected<GuardedTarget, std::string> resolve_drive_target(const GuardContext& context,
                                                               std::string_view device);

// For "luks-open": a drive or one of its partitions. The whole drive is
// locked and judged; the kernel is asked about the target itself (so that a
// container open on a sibling partition does not count against it).
std::expected<GuardedTarget, std::string> resolve_drive_or_partition_target(
    const GuardContext& context, std::string_view device);

}  // namespace tarnwick::guard
