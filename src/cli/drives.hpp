// SPDX-License-Identifier: MIT
// The removable drives the command shows and confirms: found by path, named
// by their kernel name, described in a few lines.
#pragma once

#include <string>
#include <vector>

#include "client/client.hpp"

namespace tarnwick::cli {

using DriveInfo = client::RemovableDrive;
using client::list_removable_drives;

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
