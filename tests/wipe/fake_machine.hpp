// SPDX-License-Identifier: MIT
// A fixture tree standing in for the kernel files a wipe reads: device nodes
// as plain files, /dev/disk/by-id links, /sys/class/block sizes and
// /proc/diskstats.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/support.hpp"
#include "system/system.hpp"

namespace tarnwick::testing {

// A diskstats line of the current 20-field layout; field 10 is sectors written.
inline std::string diskstats_line(const std::string& name, std::uint64_t sectors_written) {
  return "   8      16 " + name + " 4012 11 289033 1540 77 0 " + std::to_string(sectors_written) +
         " 310 0 1780 1850 0 0 0 0 0 0\n";
}

class FakeMachine {
 public:
  FakeMachine() {
    paths.proc_mounts = dir.file("proc/mounts");
    paths.proc_swaps = dir.file("proc/swaps");
    paths.etc_crypttab = dir.file("etc/crypttab");
    paths.disk_by_id = dir.file("dev/disk/by-id");
    paths.disk_by_uuid = dir.file("dev/disk/by-uuid");
    paths.proc_diskstats = dir.file("proc/diskstats");
    paths.sys_class_block = dir.file("sys/class/block");
    paths.dev_urandom = dir.file("dev/urandom");
    paths.wipe_mapping_lock = dir.file("run/tarnwick_wipe_tmp.lock");
    dir.make_dir("dev/disk/by-id");
    dir.make_dir("run");
    dir.make_dir("proc");
  }

  // A device node (a plain file) named `name`; returns its path.
  std::string add_node(const std::string& name) const { return dir.write_file("dev/" + name, ""); }

  // A by-id link pointing at ../../<name>; returns the link path.
  std::string add_by_id_link(const std::string& link, const std::string& name) const {
    return dir.symlink("../../" + name, "dev/disk/by-id/" + link);
  }

  void set_size_text(const std::string& name, const std::string& contents) const {
    dir.write_file("sys/class/block/" + name + "/size", contents);
  }
  void set_size_bytes(const std::string& name, std::uint64_t bytes) const {
    set_size_text(name, std::to_string(bytes / 512) + "\n");
  }

  // Replaced by rename, so a reader on another thread never sees half a file.
  void set_diskstats(const std::string& contents) const {
    const std::string staging = dir.write_file("proc/diskstats.staging", contents);
    std::filesystem::rename(staging, paths.proc_diskstats);
  }
  void set_sectors_written(const std::string& name, std::uint64_t sectors) const {
    set_diskstats(diskstats_line(name + "1", 99) + diskstats_line(name, sectors) +
                  diskstats_line("dm-0", 7));
  }

  TempDir dir;
  system::SystemPaths paths;
};

}  // namespace tarnwick::testing
