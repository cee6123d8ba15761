// SPDX-License-Identifier: MIT
// Filesystems go only onto mappings this session opened: the request names
// a "/dev/mapper/" path, never a raw drive, so the guard is not needed here.
#include "mkfs/mkfs.hpp"

#include <optional>
#include <string>
#include <vector>

#include "fields/fields.hpp"
#include "guard/guard.hpp"
#include "inventory/inventory.hpp"

namespace tarnwick::mkfs {

namespace {

constexpr std::string_view kMapperDirectory = "/dev/mapper/";

void append_label(ToolCommand& command, std::string_view label) {
  if (!label.empty()) {
    command.arg("-L").arg(std::string(label));
  }
}

// The final name of a path, ignoring a trailing "/" or "/."; nothing when
// the path has no name ("", "/", ".") or ends in "..".
std::optional<std::string_view> final_component(std::string_view path) {
  const std::vector<std::string_view> components = inventory::path_components(path);
  if (components.empty()) {
    return std::nullopt;
  }
  // The root and a leading "." are components too, but not names.
  const std::string_view last = components.back();
  if (last == "/" || last == "." || last == "..") {
    return std::nullopt;
  }
  return last;
}

}  // namespace

ToolCommand mkfs_command(Filesystem fs, std::string_view device, std::string_view label) {
  switch (fs) {
    case Filesystem::Ext4: {
      ToolCommand command("mkfs.ext4");
      command.arg("-F").arg("-m").arg("0").arg("-E").arg("lazy_itable_init=1,lazy_journal_init=1");
      append_label(command, label);
      command.arg(std::string(device));
      return command;
    }
    case Filesystem::Btrfs:
    case Filesystem::Xfs: {
      ToolCommand command(fs == Filesystem::Btrfs ? "mkfs.btrfs" : "mkfs.xfs");
      command.arg("-f");
      append_label(command, label);
      command.arg(std::string(device));
      return command;
    }
  }
  // Unreachable for a valid enumerator; a tool name that exists nowhere
  // fails safely as "not found" rather than formatting with a guess.
  ToolCommand command("mkfs.unknown");
  command.arg(std::string(device));
  return command;
}

std::expected<void, HelperError> make_filesystem(ToolRunner& runner, std::string_view device,
                                                 Filesystem fs, std::string_view label) {
  auto result = runner.run(mkfs_command(fs, device, label));
  if (!result) {
    return std::unexpected(std::move(result.error()));
  }
  return {};
}

std::expected<void, std::string> handle_mkfs(ToolRunner& runner,
                                             const luks::SessionMapperSet& mappers,
                                             std::string_view mapped, Filesystem fs,
                                             std::string_view label) {
  const std::optional<std::string_view> name = final_component(mapped);
  if (!name) {
    return std::unexpected(std::string("invalid mapper path"));
  }
  const std::string expected_path = std::string(kMapperDirectory) + std::string(*name);
  if (!inventory::paths_equal(mapped, expected_path) || !mappers.contains(*name)) {
    return std::unexpected(std::string("refusing to format a mapper not opened by this session"));
  }
  if (auto valid = fields::validate_label(label); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  // The container's drive is locked like a drive that is wiped or formatted,
  // so that no other operation (nor udev) is on it meanwhile.
  std::optional<guard::DriveLock> lock;
  if (const std::string drive = mappers.drive_of(*name); !drive.empty()) {
    lock = guard::DriveLock::take(drive);
    if (lock->busy()) {
      return std::unexpected(HelperError::refused(std::string(guard::kBusyReason)).display());
    }
  }
  // The client's own spelling of the path goes to the tool, not the rebuilt one.
  if (auto made = make_filesystem(runner, mapped, fs, label); !made) {
    return std::unexpected(made.error().display());
  }
  return {};
}

}  // namespace tarnwick::mkfs
