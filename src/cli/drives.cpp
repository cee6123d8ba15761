// SPDX-License-Identifier: MIT
#include "cli/drives.hpp"

#include <climits>
#include <cstdlib>
#include <optional>

#include "cli/format.hpp"

namespace tarnwick::cli {

namespace {

std::optional<std::string> canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
}

}  // namespace

const DriveInfo* find_drive(const std::vector<DriveInfo>& drives, const std::string& device) {
  const auto wanted = canonical(device);
  for (const auto& drive : drives) {
    if (drive.path == device || (wanted && canonical(drive.path) == wanted)) {
      return &drive;
    }
  }
  return nullptr;
}

std::string kernel_name(const std::string& device) {
  const std::string path = canonical(device).value_or(device);
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string describe_drive(const DriveInfo& drive) {
  std::string model = drive.vendor;
  if (!drive.model.empty()) {
    model += (model.empty() ? "" : " ") + drive.model;
  }
  std::string text = drive.path + "  " +
                     (drive.size ? format_bytes(*drive.size) : std::string("unknown size")) + "  " +
                     (model.empty() ? std::string("unknown model") : model) +
                     (drive.read_only ? "  (read-only)" : "") + "\n";
  text += "  serial:   " + (drive.serial.empty() ? std::string("none") : drive.serial) + "\n";
  text += "  by-id:    " + (drive.by_id.empty() ? std::string("none") : drive.by_id) + "\n";
  if (drive.mounts.empty()) {
    text += "  mounted:  nothing\n";
  }
  for (std::size_t i = 0; i < drive.mounts.size(); ++i) {
    text += (i == 0 ? "  mounted:  " : "            ") + drive.mounts[i].mountpoint + " (" +
            drive.mounts[i].device + ")\n";
  }
  return text;
}

}  // namespace tarnwick::cli
