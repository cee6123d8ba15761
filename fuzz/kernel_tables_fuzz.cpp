// SPDX-License-Identifier: MIT
// The kernel and system tables the guard and the fill read, written into a
// private tree from the fuzz input, then read through the real entry points:
// the guard reports only its six reasons, in order, and fails only when the
// mount table cannot be read; the kernel figures agree with a plain reading
// wherever the text is plain ASCII, and agree between the drive's node and
// its by-id link.
//
// Input: one selector byte (which fake drive), then up to six parts split by
// 0x1E: /proc/mounts, /proc/swaps, /etc/crypttab, /proc/diskstats, and the
// sysfs "size" of sdb and of sdb1. A missing part leaves its file absent.
// "%R" in a part stands for the tree's root, so that table entries can name
// the tree's own nodes.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "fuzz_tree.hpp"
#include "guard/guard.hpp"
#include "inventory/inventory.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

using namespace tarnwick;

namespace {

constexpr char kSeparator = '\x1e';
constexpr std::string_view kByIdLink = "usb-Maker_Stick_0123456789-0:0";
constexpr std::string_view kByIdPartLink = "usb-Maker_Stick_0123456789-0:0-part1";

constexpr std::array<std::string_view, 6> kPartFiles = {"proc/mounts",
                                                        "proc/swaps",
                                                        "etc/crypttab",
                                                        "proc/diskstats",
                                                        "sys/class/block/sdb/size",
                                                        "sys/class/block/sdb1/size"};

void populate(const fuzz::TempTree& t) {
  for (const char* node : {"dev/sdb", "dev/sdb1", "dev/sdb2"}) t.write(node, "");
  std::filesystem::create_directories(t.path("sys/class/block/sdb"));
  std::filesystem::create_directories(t.path("sys/class/block/sdb1"));
  t.symlink("../../sdb", "dev/disk/by-id/" + std::string(kByIdLink));
  t.symlink("../../sdb1", "dev/disk/by-id/" + std::string(kByIdPartLink));
  t.symlink("../../sdb1", "dev/disk/by-uuid/0b5c7f3e-1d2a-4e6f-9a8b-7c6d5e4f3a21");
  t.symlink("../../sdb2", "dev/disk/by-uuid/1234-ABCD");
}

// Plain files named like kernel nodes stand in for the devices.
fuzz::TempTree& tree() {
  static fuzz::TempTree instance("kernel-tables");
  static const bool populated = (populate(instance), true);
  (void)populated;
  return instance;
}

struct FakeDrive {
  inventory::Drive drive;
  std::optional<std::string> mount_reason;  // the mount point check 3 must report
};

FakeDrive fake_drive(unsigned selector) {
  const fuzz::TempTree& t = tree();
  inventory::Drive d;
  d.path = t.path("dev/sdb");
  inventory::Partition p1{t.path("dev/sdb1"), std::nullopt, std::nullopt};
  switch (selector % 4) {
    case 0:
      d.removable = true;
      d.partitions = {p1};
      return {d, std::nullopt};
    case 1:
      d.read_only = true;
      p1.mountpoint = "/media/stick";
      d.partitions = {p1};
      return {d, "/media/stick"};
    case 2:
      d.hotplug = true;
      d.mountpoint = "";  // an empty mount point is still one
      p1.mapped = inventory::MappedChild{"tarnwick_x", "/mnt/x y"};
      d.partitions = {p1};
      return {d, ""};
    default:
      d.removable = true;
      p1.mapped = inventory::MappedChild{"tarnwick_backup", std::nullopt};
      d.partitions = {p1, inventory::Partition{t.path("dev/sdb2"), std::nullopt, std::nullopt}};
      return {d, std::nullopt};
  }
}

class FixedDrives final : public inventory::DriveLister {
 public:
  explicit FixedDrives(inventory::Drive drive) : drive_(std::move(drive)) {}
  std::expected<inventory::Snapshot, runner::HelperError> list_drives() const override {
    return std::vector<inventory::Drive>{drive_};
  }

 private:
  inventory::Drive drive_;
};

std::string with_root(std::string_view part) {
  std::string out;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part[i] == '%' && i + 1 < part.size() && part[i + 1] == 'R') {
      out += tree().root();
      ++i;
    } else {
      out.push_back(part[i]);
    }
  }
  return out;
}

bool is_ascii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// In ASCII text the Unicode White_Space characters are exactly these.
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
  return s;
}

// The documented count syntax: decimal digits with at most one leading "+".
std::optional<std::uint64_t> plain_count(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v > std::numeric_limits<std::uint64_t>::max() / 512) return std::nullopt;
  return v * 512;
}

// The size file of an ASCII sysfs entry, read plainly.
std::optional<std::uint64_t> reference_size(const std::optional<std::string>& contents) {
  if (!contents) return std::nullopt;
  return plain_count(trim_ascii(*contents));
}

// diskstats, ASCII only: the first line naming the device with ten or more
// fields decides.
std::optional<std::uint64_t> reference_written(const std::optional<std::string>& contents,
                                               std::string_view name) {
  if (!contents) return std::nullopt;
  std::string_view rest = *contents;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && is_ascii_space(line[i])) ++i;
      const std::size_t start = i;
      while (i < line.size() && !is_ascii_space(line[i])) ++i;
      if (i > start) fields.push_back(line.substr(start, i - start));
    }
    if (fields.size() >= 10 && fields[2] == name) return plain_count(fields[9]);
  }
  return std::nullopt;
}

constexpr std::array<std::string_view, 6> kReasons = {"device is not removable or hotplug-capable",
                                                      "device is read-only",
                                                      "partition currently mounted at ",
                                                      "device hosts the running root filesystem",
                                                      "device holds an active swap area",
                                                      "device is referenced in /etc/crypttab"};

std::size_t reason_index(std::string_view reason) {
  for (std::size_t i = 0; i < kReasons.size(); ++i) {
    if (i == 2 ? reason.starts_with(kReasons[i]) : reason == kReasons[i]) return i;
  }
  fuzz::require(false);
  return 0;
}

void check_guard(const FakeDrive& fake, const std::optional<std::string>& mounts) {
  const FixedDrives drives(fake.drive);
  const guard::GuardContext context{drives, tree().paths()};
  const auto report = guard::guard_drive(context, fake.drive.path);
  // Only an unreadable mount table stops the guard.
  const bool mounts_readable = mounts && text::is_valid_utf8(*mounts);
  fuzz::require(report.has_value() == mounts_readable);
  if (!report) {
    fuzz::require(std::holds_alternative<runner::HelperError::Io>(report.error().value));
    fuzz::require(report.error().display().starts_with("io: "));
    return;
  }
  std::optional<std::size_t> previous;
  std::optional<std::string> mount_point;
  for (const std::string& reason : report->reasons) {
    const std::size_t index = reason_index(reason);
    fuzz::require(!previous || index > *previous);  // check order, one reason per check
    previous = index;
    if (index == 2) mount_point = reason.substr(kReasons[2].size());
  }
  const inventory::Drive& d = fake.drive;
  const auto has = [&](std::size_t index) {
    for (const std::string& reason : report->reasons) {
      if (reason_index(reason) == index) return true;
    }
    return false;
  };
  // The inventory alone decides the first three checks.
  fuzz::require(has(0) == (!d.removable && !d.hotplug));
  fuzz::require(has(1) == d.read_only);
  fuzz::require(mount_point == fake.mount_reason);
  fuzz::require(report->allowed == report->reasons.empty());
  fuzz::require(report->stable_path == tree().path("dev/disk/by-id/" + std::string(kByIdLink)));
  fuzz::require(guard::require_allowed(*report).has_value() == report->allowed);
}

void check_figures(std::string_view name, const std::string& node, const std::string& link,
                   const std::optional<std::string>& size,
                   const std::optional<std::string>& stats) {
  const system::SystemPaths& paths = tree().paths();
  const auto bytes = wipe::block_device_size(paths, node);
  const auto written = wipe::device_bytes_written(paths, node);
  // A link is measured as the node it points at.
  fuzz::require(wipe::block_device_size(paths, link) == bytes);
  fuzz::require(wipe::device_bytes_written(paths, link) == written);
  if (bytes) fuzz::require(*bytes % 512 == 0);
  if (written) fuzz::require(*written % 512 == 0);
  if (!size || !text::is_valid_utf8(*size)) fuzz::require(!bytes);
  if (!stats || !text::is_valid_utf8(*stats)) fuzz::require(!written);
  if (size && is_ascii(*size)) fuzz::require(bytes == reference_size(size));
  if (stats && is_ascii(*stats)) fuzz::require(written == reference_written(stats, name));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  const fuzz::TempTree& t = tree();
  const FakeDrive fake = fake_drive(data[0]);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  std::array<std::optional<std::string>, kPartFiles.size()> parts;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t cut = rest.find(kSeparator);
    parts[i] = with_root(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    if (cut == std::string_view::npos) break;
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i]) {
      t.write(kPartFiles[i], *parts[i]);
    } else {
      ::unlink(t.path(kPartFiles[i]).c_str());
    }
  }

  check_guard(fake, parts[0]);
  check_figures("sdb", t.path("dev/sdb"), t.path("dev/disk/by-id/" + std::string(kByIdLink)),
                parts[4], parts[3]);
  check_figures("sdb1", t.path("dev/sdb1"), t.path("dev/disk/by-id/" + std::string(kByIdPartLink)),
                parts[5], parts[3]);
  return 0;
}
