// SPDX-License-Identifier: MIT
// A private directory tree for the targets that read system files: every
// SystemPaths member points into it, so no target ever reads the machine's
// real tables or touches a real device node. Removed when the process exits
// normally; a crashing run leaves it in /tmp for inspection.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_checks.hpp"
#include "system/system.hpp"

namespace tarnwick::fuzz {

class TempTree {
 public:
  explicit TempTree(const char* tag) {
    std::string pattern = "/tmp/tdh-fuzz-" + std::string(tag) + "-XXXXXX";
    require(::mkdtemp(pattern.data()) != nullptr);
    root_ = pattern;
    for (const char* dir :
         {"proc", "etc", "dev/disk/by-id", "dev/disk/by-uuid", "sys/class/block"}) {
      std::filesystem::create_directories(path(dir));
    }
    paths_.proc_mounts = path("proc/mounts");
    paths_.proc_swaps = path("proc/swaps");
    paths_.etc_crypttab = path("etc/crypttab");
    paths_.disk_by_id = path("dev/disk/by-id");
    paths_.disk_by_uuid = path("dev/disk/by-uuid");
    paths_.proc_diskstats = path("proc/diskstats");
    paths_.sys_class_block = path("sys/class/block");
    paths_.dev_urandom = path("dev/urandom");
    write("dev/urandom", "not random: no target may ever read this as a key source");
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  const system::SystemPaths& paths() const { return paths_; }
  std::string path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  // Replaces the file with a new one holding `contents`. A new file rather
  // than a truncated one: on ext4 truncating a written file makes close()
  // flush it to disk, which would dominate every run.
  void write(std::string_view relative, std::string_view contents) const {
    const std::string file_path = path(relative);
    ::unlink(file_path.c_str());
    const system::FileDescriptor fd(
        ::open(file_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    require(fd.is_open());
    while (!contents.empty()) {
      const ssize_t n = ::write(fd.get(), contents.data(), contents.size());
      require(n > 0);
      contents.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void symlink(std::string_view target, std::string_view relative_link) const {
    require(::symlink(std::string(target).c_str(), path(relative_link).c_str()) == 0);
  }

 private:
  std::string root_;
  system::SystemPaths paths_;
};

}  // namespace tarnwick::fuzz
