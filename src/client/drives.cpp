// SPDX-License-Identifier: MIT
// The removable drives anybody may see: lsblk's listing, without privilege,
// with their /dev/disk/by-id links.
#include <charconv>
#include <nlohmann/json.hpp>

#include "client/client.hpp"
#include "client/protocol.hpp"

namespace tarnwick::client {

namespace detail {

std::string lsblk_text(const nlohmann::json& node, const char* key) {
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

std::optional<std::uint64_t> lsblk_size(const nlohmann::json& node) {
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

}  // namespace detail

namespace {

using detail::lsblk_text;
using nlohmann::json;

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

void collect_mounts(const json& node, std::vector<RemovableDrive::Mount>& mounts) {
  std::string mountpoint = lsblk_text(node, "mountpoint");
  if (!mountpoint.empty()) {
    mounts.push_back({lsblk_text(node, "path"), std::move(mountpoint)});
  }
  auto children = node.find("children");
  if (children != node.end() && children->is_array()) {
    for (const auto& child : *children) {
      collect_mounts(child, mounts);
    }
  }
}

}  // namespace

namespace detail {

std::expected<std::vector<RemovableDrive>, std::string> parse_removable_drives(
    std::string_view lsblk_json) {
  const json doc = json::parse(lsblk_json, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    return std::unexpected(std::string("lsblk printed something that is not JSON"));
  }
  auto devices = doc.is_object() ? doc.find("blockdevices") : doc.end();
  if (!doc.is_object() || devices == doc.end() || !devices->is_array()) {
    return std::unexpected(std::string("lsblk printed no \"blockdevices\" list"));
  }
  std::vector<RemovableDrive> drives;
  for (const auto& node : *devices) {
    if (!node.is_object() || lsblk_text(node, "type") != "disk" ||
        !(flag_of(node, "rm") || flag_of(node, "hotplug"))) {
      continue;
    }
    RemovableDrive drive;
    drive.name = lsblk_text(node, "name");
    drive.path = lsblk_text(node, "path");
    if (drive.path.empty() && !drive.name.empty()) {
      drive.path = "/dev/" + drive.name;
    }
    if (drive.path.empty()) {
      continue;
    }
    drive.size = detail::lsblk_size(node);
    drive.vendor = lsblk_text(node, "vendor");
    drive.model = lsblk_text(node, "model");
    drive.serial = lsblk_text(node, "serial");
    drive.transport = lsblk_text(node, "tran");
    drive.read_only = flag_of(node, "ro");
    collect_mounts(node, drive.mounts);
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace detail

std::expected<std::vector<RemovableDrive>, std::string> list_removable_drives() {
  auto ran = detail::run_lsblk(
      {"-J", "-b", "-o", "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,TRAN,VENDOR,MODEL,SERIAL,MOUNTPOINT"});
  if (!ran) {
    return std::unexpected(std::move(ran.error()));
  }
  if (ran->first != 0) {
    return std::unexpected("lsblk failed (exit " + std::to_string(ran->first) +
                           "): " + ran->second);
  }
  auto drives = detail::parse_removable_drives(ran->second);
  if (drives) {
    for (auto& drive : *drives) {
      drive.by_id = detail::find_by_id_link(drive.path);
    }
  }
  return drives;
}

}  // namespace tarnwick::client
