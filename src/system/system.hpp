// SPDX-License-Identifier: MIT
// The fixed system locations the helper reads, and the small file-system
// services (whole-file reads, canonical paths) every module uses on them.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/base.hpp"

namespace tarnwick::system {

using base::FileDescriptor;

// Every fixed path the helper reads (and the one lock file it makes). The program always uses the
// defaults; tests point them into a fixture tree.
struct SystemPaths {
  std::string proc_mounts = "/proc/mounts";
  std::string proc_swaps = "/proc/swaps";
  std::string etc_crypttab = "/etc/crypttab";
  std::string disk_by_id = "/dev/disk/by-id";
  std::string disk_by_uuid = "/dev/disk/by-uuid";
  std::string proc_diskstats = "/proc/diskstats";
  std::string sys_class_block = "/sys/class/block";
  std::string dev_urandom = "/dev/urandom";
  // Locked while an "encrypted-zero" wipe may hold its temporary mapping,
  // whose name every helper process shares.
  std::string wipe_mapping_lock = "/run/tarnwick_wipe_tmp.lock";
  // Where device-mapper names live; only read from (the size of a mapping).
  std::string dev_mapper = "/dev/mapper";
};

// Reads a whole file as bytes. The error is the errno of the failing call.
std::expected<std::string, int> read_file(const std::string& path);

// Reads a whole file and requires valid UTF-8; invalid text is an error (EILSEQ).
std::expected<std::string, int> read_text_file(const std::string& path);

// realpath(3): every symbolic link resolved. nullopt when resolution fails.
std::optional<std::string> canonical_path(const std::string& path);

// canonical_path, or the text unchanged when it cannot be resolved.
std::string canonical_or_unchanged(const std::string& path);

// Writes all of `bytes`, retrying interrupted and partial writes. False when
// the descriptor refused them (a closed pipe, say); callers that must go on
// regardless ignore it.
bool write_all(int fd, std::string_view bytes) noexcept;

// Joins a directory and a name with one "/".
std::string join_path(std::string_view directory, std::string_view name);

}  // namespace tarnwick::system
