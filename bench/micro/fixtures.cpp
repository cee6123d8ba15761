// SPDX-License-Identifier: MIT
#include "fixtures.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tdh_bench {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A 24-byte passphrase as Base64: what a desktop client typically sends.
constexpr std::string_view kPassphraseB64 = "Y29ycmVjdCBob3JzZSBiYXR0ZXJ5IHN0YXBsZQ==";

// One lsblk record; nullopt prints as null.
struct Node {
  std::string name;
  std::string path;
  std::uint64_t size = 0;
  std::string type;
  bool rm = false;
  bool hotplug = false;
  bool ro = false;
  bool rota = false;
  std::optional<std::string> tran;
  std::optional<std::string> vendor;
  std::optional<std::string> model;
  std::optional<std::string> serial;
  std::optional<std::string> fstype;
  std::optional<std::uint64_t> fsused;
  std::optional<std::uint64_t> fssize;
  std::optional<std::string> mountpoint;
  std::optional<std::string> label;
  std::optional<std::string> pttype;
  std::vector<Node> children;
};

std::string quoted(const std::optional<std::string>& text) {
  return text ? "\"" + *text + "\"" : "null";
}

std::string number(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string flag(bool value) { return value ? "true" : "false"; }

void print(const Node& node, std::size_t depth, std::string& out) {
  const std::string pad(depth * 3, ' ');
  const std::string in = pad + "   ";
  out += pad + "{\n";
  out += in + "\"name\": " + quoted(node.name) + ",\n";
  out += in + "\"path\": " + quoted(node.path) + ",\n";
  out += in + "\"size\": " + std::to_string(node.size) + ",\n";
  out += in + "\"type\": " + quoted(node.type) + ",\n";
  out += in + "\"rm\": " + flag(node.rm) + ",\n";
  out += in + "\"hotplug\": " + flag(node.hotplug) + ",\n";
  out += in + "\"ro\": " + flag(node.ro) + ",\n";
  out += in + "\"rota\": " + flag(node.rota) + ",\n";
  out += in + "\"tran\": " + quoted(node.tran) + ",\n";
  out += in + "\"vendor\": " + quoted(node.vendor) + ",\n";
  out += in + "\"model\": " + quoted(node.model) + ",\n";
  out += in + "\"serial\": " + quoted(node.serial) + ",\n";
  out += in + "\"fstype\": " + quoted(node.fstype) + ",\n";
  out += in + "\"fsused\": " + number(node.fsused) + ",\n";
  out += in + "\"fssize\": " + number(node.fssize) + ",\n";
  out += in + "\"mountpoint\": " + quoted(node.mountpoint) + ",\n";
  out += in + "\"label\": " + quoted(node.label) + ",\n";
  out += in + "\"pttype\": " + quoted(node.pttype);
  if (!node.children.empty()) {
    out += ",\n" + in + "\"children\": [\n";
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      print(node.children[i], depth + 2, out);
      out += i + 1 < node.children.size() ? ",\n" : "\n";
    }
    out += in + "]";
  }
  out += "\n" + pad + "}";
}

Node partition_of(const Node& disk, int number, std::uint64_t size) {
  Node part;
  const bool nvme = disk.name.starts_with("nvme");
  part.name = disk.name + (nvme ? "p" : "") + std::to_string(number);
  part.path = "/dev/" + part.name;
  part.size = size;
  part.type = "part";
  part.rm = disk.rm;
  part.hotplug = disk.hotplug;
  part.rota = disk.rota;
  return part;
}

Node crypt_child(const std::string& name, std::uint64_t size) {
  Node crypt;
  crypt.name = name;
  crypt.path = "/dev/mapper/" + name;
  crypt.size = size;
  crypt.type = "crypt";
  return crypt;
}

std::vector<Node> workstation(std::size_t drives) {
  constexpr std::uint64_t kGiB = 1024ULL * 1024 * 1024;
  std::vector<Node> nodes;

  Node nvme;
  nvme.name = "nvme0n1";
  nvme.path = "/dev/nvme0n1";
  nvme.size = 1024 * kGiB;
  nvme.type = "disk";
  nvme.tran = "nvme";
  nvme.model = "Tarnwick NVMe SSD 1TB";
  nvme.serial = "TW2231A0001234";
  nvme.pttype = "gpt";
  Node efi = partition_of(nvme, 1, kGiB / 2);
  efi.fstype = "vfat";
  efi.fsused = 6 * 1024 * 1024;
  efi.fssize = kGiB / 2;
  efi.mountpoint = "/boot/efi";
  efi.label = "EFI";
  Node root = partition_of(nvme, 2, 100 * kGiB);
  root.fstype = "ext4";
  root.fsused = 41 * kGiB;
  root.fssize = 98 * kGiB;
  root.mountpoint = "/";
  Node home = partition_of(nvme, 3, 900 * kGiB);
  home.fstype = "crypto_LUKS";
  Node home_crypt =
      crypt_child("luks-5f3c1a2e-9b7d-4c1e-8a6f-0d2b3c4e5f60", 900 * kGiB - 16 * 1024 * 1024);
  home_crypt.fstype = "ext4";
  home_crypt.fsused = 412 * kGiB;
  home_crypt.fssize = 885 * kGiB;
  home_crypt.mountpoint = "/home";
  home.children.push_back(home_crypt);
  nvme.children = {efi, root, home};
  nodes.push_back(nvme);

  Node sata;
  sata.name = "sda";
  sata.path = "/dev/sda";
  sata.size = 4000 * kGiB;
  sata.type = "disk";
  sata.rota = true;
  sata.tran = "sata";
  sata.vendor = "ATA     ";
  sata.model = "Tarnwick HDD 4TB";
  sata.serial = "WD-TW4000000042";
  sata.pttype = "gpt";
  Node data = partition_of(sata, 1, 4000 * kGiB);
  data.fstype = "xfs";
  data.fsused = 2100 * kGiB;
  data.fssize = 3990 * kGiB;
  data.mountpoint = "/srv/data";
  data.label = "data";
  sata.children = {data};
  nodes.push_back(sata);

  for (std::size_t i = 2; i < drives; ++i) {
    Node usb;
    usb.name = "sd" + std::string(1, static_cast<char>('a' + i - 1));
    usb.path = "/dev/" + usb.name;
    usb.size = (8ULL << (i % 5)) * kGiB;
    usb.type = "disk";
    usb.rm = true;
    usb.hotplug = true;
    usb.tran = "usb";
    usb.vendor = "Tarnwick";
    usb.model = "Flash Drive " + std::to_string(i);
    usb.serial = "0401" + std::to_string(100000 + i * 7919);
    usb.pttype = i % 3 == 0 ? "gpt" : "dos";
    Node first = partition_of(usb, 1, usb.size / 2);
    Node second = partition_of(usb, 2, usb.size / 2 - 1024 * 1024);
    switch (i % 4) {
      case 0: {  // an opened container, mounted by the desktop
        first.fstype = "crypto_LUKS";
        Node crypt =
            crypt_child("tarnwick_backup" + std::to_string(i), first.size - 16 * 1024 * 1024);
        crypt.fstype = "ext4";
        crypt.fsused = first.size / 3;
        crypt.fssize = first.size - 64 * 1024 * 1024;
        crypt.mountpoint = "/media/user/backup" + std::to_string(i);
        crypt.label = "backup" + std::to_string(i);
        first.children.push_back(crypt);
        break;
      }
      case 1:  // a plain stick, mounted
        first.fstype = "vfat";
        first.fsused = first.size / 5;
        first.fssize = first.size;
        first.mountpoint = "/media/user/STICK" + std::to_string(i);
        first.label = "STICK" + std::to_string(i);
        break;
      case 2: {  // an opened container, not mounted
        first.fstype = "crypto_LUKS";
        first.children.push_back(
            crypt_child("tarnwick_vault" + std::to_string(i), first.size - 16 * 1024 * 1024));
        break;
      }
      default:  // a closed container
        first.fstype = "crypto_LUKS";
        break;
    }
    second.fstype = "exfat";
    second.label = "SHARE";
    usb.children = {first, second};
    nodes.push_back(usb);
  }
  return nodes;
}

std::string request_with_padding(std::string_view head, std::string_view tail,
                                 std::size_t line_bytes, char fill) {
  std::string line(head);
  line.append(line_bytes - head.size() - tail.size(), fill);
  line.append(tail);
  return line;
}

}  // namespace

std::string wipe_request() { return R"({"op":"wipe","device":"/dev/sdb","mode":"random"})"; }

std::string luks_format_request() {
  return R"({"op":"luks-format","device":"/dev/sdb","label":"backup","passphrase_b64":")" +
         std::string(kPassphraseB64) + "\"}";
}

std::string luks_open_request() {
  return R"({"op":"luks-open","device":"/dev/sdb","mapper_name":"tarnwick_backup","passphrase_b64":")" +
         std::string(kPassphraseB64) + R"(","allow_discards":true})";
}

std::string luks_close_request() {
  return R"({"op":"luks-close","mapper_name":"tarnwick_backup"})";
}

std::string mkfs_request() {
  return R"({"op":"mkfs","mapped":"/dev/mapper/tarnwick_backup","fs":"ext4","label":"backup"})";
}

std::string shutdown_request() { return R"({"op":"shutdown"})"; }

std::string large_passphrase_request(std::size_t line_bytes) {
  const std::string head =
      R"({"op":"luks-format","device":"/dev/sdb","label":"backup","passphrase_b64":")";
  const std::string tail = "\"}";
  std::string line = head + base64_text((line_bytes - head.size() - tail.size()) / 4 * 4) + tail;
  // Pad with Base64 padding, which the lenient decoder skips, to the exact size.
  line.insert(line.size() - tail.size(), line_bytes - line.size(), '=');
  return line;
}

std::string large_ignored_member_request(std::size_t line_bytes) {
  const std::string head = R"({"op":"wipe","device":"/dev/sdb","mode":"random","extra":[)";
  const std::string tail = "]}";
  std::string body;
  for (unsigned n = 0; head.size() + body.size() + tail.size() + 8 < line_bytes; ++n) {
    if (!body.empty()) {
      body += ',';
    }
    body += std::to_string(n % 100000);
  }
  return request_with_padding(head + body, tail, line_bytes, ' ');
}

std::string base64_text(std::size_t bytes) {
  std::string text;
  text.reserve(bytes);
  std::uint32_t state = 2463534242U;
  while (text.size() < bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    text.push_back(kAlphabet[state % 64]);
  }
  return text;
}

std::string lsblk_document(std::size_t drives) {
  const std::vector<Node> nodes = workstation(drives);
  std::string out = "{\n   \"blockdevices\": [\n";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    print(nodes[i], 2, out);
    out += i + 1 < nodes.size() ? ",\n" : "\n";
  }
  out += "   ]\n}\n";
  return out;
}

}  // namespace tdh_bench
