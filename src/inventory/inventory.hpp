// SPDX-License-Identifier: MIT
// The helper's only view of the machine's block devices: one fresh `lsblk`
// snapshot per call, decoded strictly and reduced to drives, their
// partitions and the dm-crypt mappings opened on them.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/runner.hpp"

namespace tarnwick::inventory {

using runner::HelperError;

// One record of `lsblk -J` output.
struct LsblkNode {
  std::string name;
  std::string path;
  std::optional<std::uint64_t> size;
  std::optional<std::string> type;
  std::optional<bool> rm;
  std::optional<bool> hotplug;
  std::optional<bool> ro;
  std::optional<std::string> tran;
  std::optional<std::string> vendor;
  std::optional<std::string> model;
  std::optional<std::string> serial;
  std::optional<std::string> fstype;
  std::optional<std::string> mountpoint;
  std::optional<std::string> label;
  std::optional<bool> rota;
  std::optional<std::string> pttype;
  std::optional<std::uint64_t> fsused;
  std::optional<std::uint64_t> fssize;
  std::vector<LsblkNode> children;

  bool operator==(const LsblkNode&) const = default;
};

struct LsblkRoot {
  std::vector<LsblkNode> blockdevices;
  bool operator==(const LsblkRoot&) const = default;
};

struct MappedChild {
  std::string name;
  std::optional<std::string> mountpoint;
  bool operator==(const MappedChild&) const = default;
};

struct Partition {
  std::string path;
  std::optional<std::string> mountpoint;
  std::optional<MappedChild> mapped;
  bool operator==(const Partition&) const = default;
};

// A device stacked on a drive deeper than the levels above: a logical
// volume, a RAID array, a container inside a container or on a volume. Only
// what the guard's mount, root and swap checks need.
struct StackedDevice {
  std::string path;
  std::optional<std::string> mountpoint;
  bool operator==(const StackedDevice&) const = default;
};

struct Drive {
  std::string path;
  bool removable = false;
  bool hotplug = false;
  bool read_only = false;
  std::optional<std::string> mountpoint;
  std::vector<Partition> partitions;
  // Every other device below the drive, in `lsblk` tree order.
  std::vector<StackedDevice> stacked;
  bool operator==(const Drive&) const = default;
};

// One snapshot: the drives, and the loop devices `lsblk` lists beside them.
// A loop device over a drive is used through that drive, yet `lsblk` never
// shows it below the drive; the guard ties the two together.
struct Snapshot {
  Snapshot() = default;
  // Implicit: a snapshot of drives alone is what most callers and fixtures hold.
  Snapshot(std::vector<Drive> drives_in)  // NOLINT(google-explicit-constructor)
      : drives(std::move(drives_in)) {}
  Snapshot(std::vector<Drive> drives_in, std::vector<Drive> loop_devices_in)
      : drives(std::move(drives_in)), loop_devices(std::move(loop_devices_in)) {}

  std::vector<Drive> drives;
  // Top-level "loop" nodes, reduced the way drives are.
  std::vector<Drive> loop_devices;
  bool operator==(const Snapshot&) const = default;
};

// The exact `lsblk` argument list (after the program name).
const std::vector<std::string>& lsblk_arguments();

// Decodes `lsblk -J` output. The error is the reader's message with its
// position suffix, e.g. "missing field `name` at line 3 column 5".
std::expected<LsblkRoot, std::string> decode_lsblk(std::string_view json_text);

// Top-level "disk" nodes, their "part"/"crypt" children and one "crypt" level
// below; everything else under a drive is listed in its `stacked` devices.
std::vector<Drive> reduce_drives(const LsblkRoot& root);

// Top-level "loop" nodes, with what is stacked on them, reduced like drives.
std::vector<Drive> reduce_loop_devices(const LsblkRoot& root);

// Runs `lsblk` and returns the drives and loop devices in `lsblk` order.
std::expected<Snapshot, HelperError> list_drives();

// The seam through which the guard takes snapshots, so tests can hand it fixtures.
class DriveLister {
 public:
  virtual ~DriveLister() = default;
  virtual std::expected<Snapshot, HelperError> list_drives() const = 0;
};

class LsblkDriveLister final : public DriveLister {
 public:
  std::expected<Snapshot, HelperError> list_drives() const override;
};

// Component-wise path equality: repeated and trailing separators and
// interior "." components ignored, ".." ordinary, letters exact, no link
// followed.
bool paths_equal(std::string_view a, std::string_view b);

// The path's components under the same rules: a leading "/" is a component
// of its own ("/dev/sdb" is "/", "dev", "sdb"); empty and "." components are
// dropped, except a "." that begins a relative path.
std::vector<std::string_view> path_components(std::string_view path);

const Drive* find_drive_by_path(const std::vector<Drive>& drives, std::string_view path);
const Drive* find_drive_for_device(const std::vector<Drive>& drives, std::string_view path);

}  // namespace tarnwick::inventory
