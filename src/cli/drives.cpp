// SPDX-License-Identifier: MIT
#include "cli/drives.hpp"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli/format.hpp"
#include "runner/runner.hpp"

namespace tarnwick::cli {

namespace {

using nlohmann::json;

std::optional<std::string> canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
}

std::string text_of(const json& node, const char* key) {
  auto it = node.find(key);
  if (it == node.end() || !it->is_string()) {
    return {};
  }
  std::string text = it->get<std::string>();
  // lsblk pads some columns (model, vendor) with spaces.
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool flag_of(const json& node, const char* key) {
  auto it = node.find(key);
  if (it == node.end()) {
    return false;
  }
  if (it->is_boolean()) {
    return it->get<bool>();
  }
  return it->is_string() && it->get<std::string>() == "1";
}

std::optional<std::uint64_t> size_of(const json& node) {
  auto it = node.find("size");
  if (it == node.end()) {
    return std::nullopt;
  }
  if (it->is_number_unsigned()) {
    return it->get<std::uint64_t>();
  }
  if (it->is_string()) {
    const std::string text = it->get<std::string>();
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) {
      return value;
    }
  }
  return std::nullopt;
}

void collect_mounts(const json& node, std::vector<Mount>& mounts) {
  std::string mountpoint = text_of(node, "mountpoint");
  if (!mountpoint.empty()) {
    mounts.push_back({text_of(node, "path"), std::move(mountpoint)});
  }
  auto children = node.find("children");
  if (children != node.end() && children->is_array()) {
    for (const auto& child : *children) {
      collect_mounts(child, mounts);
    }
  }
}

}  // namespace

std::vector<std::string> lsblk_arguments() {
  return {"-J", "-b", "-o",
          "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,TRAN,VENDOR,MODEL,SERIAL,MOUNTPOINT"};
}

std::expected<std::vector<DriveInfo>, std::string> parse_lsblk(std::string_view json_text) {
  const json doc = json::parse(json_text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    return std::unexpected(std::string("lsblk printed something that is not JSON"));
  }
  auto devices = doc.is_object() ? doc.find("blockdevices") : doc.end();
  if (!doc.is_object() || devices == doc.end() || !devices->is_array()) {
    return std::unexpected(std::string("lsblk printed no \"blockdevices\" list"));
  }
  std::vector<DriveInfo> drives;
  for (const auto& node : *devices) {
    if (!node.is_object() || text_of(node, "type") != "disk" ||
        !(flag_of(node, "rm") || flag_of(node, "hotplug"))) {
      continue;
    }
    DriveInfo drive;
    drive.name = text_of(node, "name");
    drive.path = text_of(node, "path");
    if (drive.path.empty() && !drive.name.empty()) {
      drive.path = "/dev/" + drive.name;
    }
    if (drive.path.empty()) {
      continue;
    }
    drive.size = size_of(node);
    drive.vendor = text_of(node, "vendor");
    drive.model = text_of(node, "model");
    drive.serial = text_of(node, "serial");
    drive.transport = text_of(node, "tran");
    drive.read_only = flag_of(node, "ro");
    collect_mounts(node, drive.mounts);
    drives.push_back(std::move(drive));
  }
  return drives;
}

std::expected<std::vector<DriveInfo>, std::string> list_removable_drives() {
  auto result = runner::run_process("lsblk", lsblk_arguments(), runner::StdinSource::NullDevice);
  if (!result) {
    return std::unexpected(result.error().display());
  }
  if (result->exit_code != 0) {
    return std::unexpected("lsblk failed (exit " + std::to_string(result->exit_code) +
                           "): " + result->stderr_bytes);
  }
  auto drives = parse_lsblk(result->stdout_bytes);
  if (drives) {
    for (auto& drive : *drives) {
      drive.by_id = find_by_id_link(drive.path);
    }
  }
  return drives;
}

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
