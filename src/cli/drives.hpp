// SPDX-License-Identifier: MIT
// The removable drives the command can see, read from lsblk without
// privilege, with their /dev/disk/by-id links.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/protocol.hpp"

namespace tarnwick::cli {

struct Mount {
  std::string device;  // the drive, a partition, or a mapping on it
  std::string mountpoint;
};

struct DriveInfo {
  std::string name;  // kernel name, e.g. sdb
  std::string path;  // e.g. /dev/sdb
  std::optional<std::uint64_t> size;
  std::string vendor;
  std::string model;
  std::string serial;
  std::string transport;
  bool read_only = false;
  std::vector<Mount> mounts;  // everything mounted on it, at any depth
  std::string by_id;          // its /dev/disk/by-id link, or empty
};

// The lsblk arguments of the listing.
std::vector<std::string> lsblk_arguments();

// The removable or hot-pluggable disks of lsblk's JSON output, in its order.
// Lenient about what older lsblk versions print ("0"/"1" for flags, sizes as
// strings); the error names what is missing.
std::expected<std::vector<DriveInfo>, std::string> parse_lsblk(std::string_view json_text);

// The drive's /dev/disk/by-id link, found as the library finds it for a
// wipe report.
using client::detail::find_by_id_link;

// Runs lsblk, parses it and looks up the by-id links.
std::expected<std::vector<DriveInfo>, std::string> list_removable_drives();

// The drive that `device` names, comparing canonical paths (so a by-id link
// finds its drive), or nothing.
const DriveInfo* find_drive(const std::vector<DriveInfo>& drives, const std::string& device);

// The last component of the device's canonical path: what the person types
// to confirm.
std::string kernel_name(const std::string& device);

// The block the listing and the confirmation show for one drive:
//   /dev/sdb  14.3 GiB  SanDisk Cruzer Blade
//     serial:   4C530001230
//     by-id:    /dev/disk/by-id/usb-SanDisk_Cruzer_Blade_4C530001230-0:0
//     mounted:  /media/stick (/dev/sdb1)
std::string describe_drive(const DriveInfo& drive);

}  // namespace tarnwick::cli
