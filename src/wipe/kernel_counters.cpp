// SPDX-License-Identifier: MIT
// The two kernel figures a fill is measured by: the device's capacity from
// /sys/class/block and its written-sectors counter from /proc/diskstats.
// Both are addressed by the kernel name of the node the path resolves to, so
// a /dev/disk/by-id link is measured as the drive it points at.

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "system/system.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

// Both kernel files count in 512-byte units, whatever the device's own
// sector size.
constexpr std::uint64_t kSectorBytes = 512;

// diskstats: field 3 is the name, field 6 the sectors read, field 10 the
// sectors written.
constexpr std::size_t kDiskstatsNameField = 2;
constexpr std::size_t kDiskstatsSectorsReadField = 5;
constexpr std::size_t kDiskstatsSectorsWrittenField = 9;
constexpr std::size_t kDiskstatsFewestFields = 10;

std::optional<std::string> kernel_name(std::string_view device) {
  const auto canonical = system::canonical_path(std::string(device));
  if (!canonical) {
    return std::nullopt;
  }
  const std::size_t slash = canonical->rfind('/');
  std::string name = slash == std::string::npos ? *canonical : canonical->substr(slash + 1);
  if (name.empty() || !text::is_valid_utf8(name)) {
    return std::nullopt;
  }
  return name;
}

// Plain unsigned decimal with at most one leading "+"; no sign otherwise, no
// white space, nothing beyond the 64-bit range.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view digits) {
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const char* const begin = digits.data();
  const char* const end = begin + digits.size();
  const auto [ptr, ec] = std::from_chars(begin, end, value, 10);
  if (ec != std::errc{} || ptr != end) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> sectors_to_bytes(std::uint64_t sectors) {
  if (sectors > std::numeric_limits<std::uint64_t>::max() / kSectorBytes) {
    return std::nullopt;
  }
  return sectors * kSectorBytes;
}

// One sector counter of the device's own line, in bytes.
std::optional<std::uint64_t> diskstats_bytes(const system::SystemPaths& paths,
                                             std::string_view device, std::size_t field) {
  const auto name = kernel_name(device);
  if (!name) {
    return std::nullopt;
  }
  const auto contents = system::read_text_file(paths.proc_diskstats);
  if (!contents) {
    return std::nullopt;
  }
  for (const std::string_view line : text::split_lines(*contents)) {
    const auto fields = text::split_fields(line);
    if (fields.size() < kDiskstatsFewestFields || fields[kDiskstatsNameField] != *name) {
      continue;
    }
    // The device's own line decides, even when its counter is unreadable:
    // a later line with the same name is not a second opinion.
    const auto sectors = parse_decimal_u64(fields[field]);
    if (!sectors) {
      return std::nullopt;
    }
    return sectors_to_bytes(*sectors);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> block_device_size(const system::SystemPaths& paths,
                                               std::string_view device) {
  const auto name = kernel_name(device);
  if (!name) {
    return std::nullopt;
  }
  const auto contents = system::read_text_file(
      system::join_path(system::join_path(paths.sys_class_block, *name), "size"));
  if (!contents) {
    return std::nullopt;
  }
  const auto sectors = parse_decimal_u64(text::trim_white_space(*contents));
  if (!sectors) {
    return std::nullopt;
  }
  return sectors_to_bytes(*sectors);
}

std::optional<std::uint64_t> device_bytes_written(const system::SystemPaths& paths,
                                                  std::string_view device) {
  return diskstats_bytes(paths, device, kDiskstatsSectorsWrittenField);
}

std::optional<std::uint64_t> device_bytes_read(const system::SystemPaths& paths,
                                               std::string_view device) {
  return diskstats_bytes(paths, device, kDiskstatsSectorsReadField);
}

}  // namespace tarnwick::wipe
