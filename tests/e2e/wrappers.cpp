// SPDX-License-Identifier: MIT
#include "e2e/wrappers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/layout.hpp"
#include "e2e/process.hpp"

extern char** environ;

namespace tdh_e2e {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

struct ScratchEntry {
  std::string path;
  dev_t dev;
};

struct Config {
  std::vector<ScratchEntry> scratch;
  json drives;
  json payloads;
  std::vector<std::string> loops;  // listed by lsblk as they are, beside the drives
};

Config load_config() {
  json doc = json::parse(read_file(std::string(layout::kConfig)));
  Config config;
  for (const auto& entry : doc.at("scratch")) {
    unsigned maj = 0;
    unsigned min = 0;
    std::string dev = entry.at("dev").get<std::string>();
    if (std::sscanf(dev.c_str(), "%u:%u", &maj, &min) != 2) {
      throw std::runtime_error("bad scratch entry " + dev);
    }
    config.scratch.push_back({entry.at("path").get<std::string>(), makedev(maj, min)});
  }
  config.drives = doc.at("drives");
  config.payloads = doc.at("payloads");
  config.loops = doc.at("loops").get<std::vector<std::string>>();
  return config;
}

std::vector<std::string> environment() {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  return env;
}

std::string real_tool(const std::string& tool) {
  return std::string(layout::kRealDir) + "/" + tool;
}

void log_call(const std::string& tool, const std::vector<std::string>& argv, json extra = {}) {
  // The environment too: no variable of the helper's client may reach a tool.
  json entry = {{"tool", tool}, {"argv", argv}, {"env", environment()}};
  if (extra.is_object()) {
    entry.update(extra);
  }
  append_line(std::string(layout::kCallLog), entry.dump());
}

// Keeps this wrapper (already the tool's process) running while the test asks.
void hold_if_asked(const std::string& key) {
  if (!try_read_file(std::string(layout::kHoldPrefix) + key)) {
    return;
  }
  write_file(std::string(layout::kHeldPrefix) + key, std::to_string(::getpid()));
  const std::string hold = std::string(layout::kHoldPrefix) + key;
  for (int step = 0; ::access(hold.c_str(), F_OK) == 0 && step < layout::kHoldSeconds * 50;
       ++step) {
    ::usleep(20'000);
  }
}

[[noreturn]] void refuse(const std::string& tool, const std::vector<std::string>& argv,
                         const std::string& reason) {
  log_call(tool, argv, {{"refused", reason}});
  std::string message = "tdh-e2e wrapper: refusing to run " + tool + ": " + reason + "\n";
  write_all(2, message);
  std::exit(layout::kRefusedExit);
}

[[noreturn]] void exec_real(const std::string& tool, const std::vector<std::string>& argv) {
  std::vector<char*> c_argv;
  for (const auto& arg : argv) {
    c_argv.push_back(const_cast<char*>(arg.c_str()));
  }
  c_argv.push_back(nullptr);
  std::string path = real_tool(tool);
  ::execv(path.c_str(), c_argv.data());
  write_all(2, errno_message("tdh-e2e wrapper: exec " + path, errno) + "\n");
  std::exit(127);
}

std::optional<dev_t> block_device_of(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
    return std::nullopt;
  }
  return st.st_rdev;
}

bool is_scratch_dev(const Config& config, dev_t dev) {
  return std::any_of(config.scratch.begin(), config.scratch.end(),
                     [&](const ScratchEntry& e) { return e.dev == dev; });
}

// A device-mapper device counts as scratch when everything under it is.
bool is_mapping_on_scratch(const Config& config, dev_t dev) {
  std::string sys =
      "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  if (!try_read_file(sys + "/dm/name")) {
    return false;
  }
  DIR* dir = ::opendir((sys + "/slaves").c_str());
  if (dir == nullptr) {
    return false;
  }
  bool any = false;
  bool all = true;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    auto text = try_read_file("/sys/class/block/" + name + "/dev");
    unsigned maj = 0;
    unsigned min = 0;
    if (!text || std::sscanf(text->c_str(), "%u:%u", &maj, &min) != 2) {
      all = false;
      continue;
    }
    any = true;
    all = all && is_scratch_dev(config, makedev(maj, min));
  }
  ::closedir(dir);
  return any && all;
}

// True when `arg` resolves to one of the sandbox's scratch block devices:
// the canonical path and the device number must both match.
bool is_scratch(const Config& config, const std::string& arg) {
  auto path = canonical(arg);
  if (!path) {
    return false;
  }
  auto dev = block_device_of(*path);
  if (!dev) {
    return false;
  }
  for (const auto& entry : config.scratch) {
    if (entry.path == *path && entry.dev == *dev) {
      return true;
    }
  }
  return is_mapping_on_scratch(config, *dev);
}

// Every argument (or the value after "=") that names a block device must
// name a scratch device, whatever the tool makes of it.
void refuse_foreign_devices(const Config& config, const std::string& tool,
                            const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    std::vector<std::string> candidates{argv[i]};
    auto eq = argv[i].find('=');
    if (eq != std::string::npos) {
      candidates.push_back(argv[i].substr(eq + 1));
    }
    for (const auto& candidate : candidates) {
      if (block_device_of(candidate) && !is_scratch(config, candidate)) {
        refuse(tool, argv, candidate + " is not a scratch device");
      }
    }
  }
}

void require_scratch(const Config& config, const std::string& tool,
                     const std::vector<std::string>& argv, const std::string& device) {
  if (!is_scratch(config, device)) {
    refuse(tool, argv, device + " is not a scratch device");
  }
}

// --- dd, blkdiscard, mkfs.* ------------------------------------------------------

// Runs the real dd to its end, then spoils 4 bytes of what it wrote, through
// the same device, as a failing or fake-capacity drive would.
int dd_then_corrupt(const std::vector<std::string>& argv, const std::string& output,
                    std::uint64_t offset) {
  ProcessResult ran = run_capture(real_tool("dd"), argv, environment(), "", std::chrono::hours(1),
                                  /*inherit_stderr=*/true);
  Fd fd(::open(output.c_str(), O_WRONLY | O_CLOEXEC));
  const char garbage[4] = {'\xA5', '\x5A', '\xA5', '\x5A'};
  if (!fd ||
      ::pwrite(fd.get(), garbage, sizeof garbage, static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(sizeof garbage) ||
      ::fsync(fd.get()) != 0) {
    write_all(2, errno_message("tdh-e2e wrapper: corrupting " + output, errno) + "\n");
    return 1;
  }
  return ran.exit_code;
}

int dd_tool(const Config& config, const std::vector<std::string>& argv) {
  std::optional<std::string> output;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg.rfind("of=", 0) == 0) {
      output = arg.substr(3);
      require_scratch(config, "dd", argv, *output);
    } else if (arg.rfind("if=", 0) == 0) {
      std::string input = arg.substr(3);
      if (input != "/dev/zero" && input != "/dev/urandom" && input != "/dev/random") {
        require_scratch(config, "dd", argv, input);
      }
    }
  }
  // Without of= dd writes to its standard output: a read of a scratch
  // device (checked above) is harmless; anything else is refused.
  const bool reads_scratch = std::any_of(argv.begin() + 1, argv.end(), [](const std::string& a) {
    return a.rfind("if=", 0) == 0 && a != "if=/dev/zero" && a != "if=/dev/urandom" &&
           a != "if=/dev/random";
  });
  if (!output && !reads_scratch) {
    refuse("dd", argv, "no of= operand");
  }
  refuse_foreign_devices(config, "dd", argv);
  log_call("dd", argv);
  hold_if_asked("dd");
  if (auto corrupt_at = try_read_file(std::string(layout::kCorruptAfterDd));
      corrupt_at && output && output->starts_with("/dev/mapper/")) {
    return dd_then_corrupt(argv, *output, std::stoull(*corrupt_at));
  }
  exec_real("dd", argv);
}

int blkdiscard_tool(const Config& config, const std::vector<std::string>& argv) {
  static const std::set<std::string> with_value = {"-o",       "--offset", "-l",
                                                   "--length", "-p",       "--step"};
  std::size_t devices = 0;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (with_value.contains(argv[i])) {
      ++i;
      continue;
    }
    if (!argv[i].starts_with("-")) {
      require_scratch(config, "blkdiscard", argv, argv[i]);
      ++devices;
    }
  }
  if (devices == 0) {
    refuse("blkdiscard", argv, "no device");
  }
  refuse_foreign_devices(config, "blkdiscard", argv);
  log_call("blkdiscard", argv);
  exec_real("blkdiscard", argv);
}

int mkfs_tool(const Config& config, const std::string& tool, const std::vector<std::string>& argv) {
  if (argv.size() < 2) {
    refuse(tool, argv, "no device");
  }
  require_scratch(config, tool, argv, argv.back());
  refuse_foreign_devices(config, tool, argv);
  log_call(tool, argv);
  if (tool == "mkfs.xfs") {
    // mkfs.xfs refuses filesystems under 300 MB unless it believes it runs
    // under the filesystem test suite; the scratch drives are smaller.
    ::setenv("TEST_DIR", "/nonexistent", 1);
    ::setenv("TEST_DEV", "/nonexistent", 1);
    ::setenv("QA_CHECK_FS", "1", 1);
  }
  exec_real(tool, argv);
}

// --- cryptsetup ------------------------------------------------------------------

struct CryptArgs {
  std::string action;
  std::vector<std::string> positionals;       // after the action
  std::map<std::string, std::string> values;  // long option name -> value
  std::set<std::string> flags;
};

CryptArgs parse_cryptsetup(const std::vector<std::string>& argv) {
  static const std::map<std::string, std::string> short_names = {
      {"-M", "--type"}, {"-c", "--cipher"},    {"-s", "--key-size"},     {"-d", "--key-file"},
      {"-h", "--hash"}, {"-i", "--iter-time"}, {"-o", "--offset"},       {"-p", "--skip"},
      {"-b", "--size"}, {"-S", "--key-slot"},  {"-l", "--keyfile-size"}, {"-t", "--timeout"},
      {"-T", "--tries"}};
  static const std::set<std::string> with_value = {"--type",
                                                   "--cipher",
                                                   "--key-size",
                                                   "--key-file",
                                                   "--hash",
                                                   "--pbkdf",
                                                   "--iter-time",
                                                   "--pbkdf-memory",
                                                   "--pbkdf-parallel",
                                                   "--sector-size",
                                                   "--label",
                                                   "--subsystem",
                                                   "--offset",
                                                   "--skip",
                                                   "--size",
                                                   "--header",
                                                   "--key-slot",
                                                   "--keyfile-size",
                                                   "--keyfile-offset",
                                                   "--uuid",
                                                   "--priority",
                                                   "--token-id",
                                                   "--timeout",
                                                   "--tries",
                                                   "--luks2-metadata-size",
                                                   "--luks2-keyslots-size",
                                                   "--align-payload",
                                                   "--volume-key-file",
                                                   "--master-key-file",
                                                   "--new-keyfile-size",
                                                   "--new-keyfile-offset",
                                                   "--integrity",
                                                   "--header-backup-file",
                                                   "--json-file",
                                                   "--key-description",
                                                   "--token-type",
                                                   "--device-size",
                                                   "--resilience",
                                                   "--hotzone-size",
                                                   "--reduce-device-size",
                                                   "--pbkdf-force-iterations",
                                                   "--keyslot-cipher",
                                                   "--keyslot-key-size",
                                                   "--new-key-slot"};
  CryptArgs parsed;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (arg.starts_with("-") && arg != "-") {
      auto eq = arg.find('=');
      std::string name = arg.substr(0, eq);
      if (auto it = short_names.find(name); it != short_names.end()) {
        name = it->second;
      }
      if (eq != std::string::npos) {
        parsed.values[name] = arg.substr(eq + 1);
      } else if (with_value.contains(name) && i + 1 < argv.size()) {
        parsed.values[name] = argv[++i];
      } else {
        parsed.flags.insert(name);
      }
    } else if (parsed.action.empty()) {
      parsed.action = arg;
    } else {
      parsed.positionals.push_back(arg);
    }
  }
  return parsed;
}

std::string read_all_stdin() {
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return data;
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

bool kernel_has_device_mapper() {
  auto misc = try_read_file("/proc/misc");
  return misc && misc->find(" device-mapper\n") != std::string::npos;
}

void fail_like_cryptsetup(const std::string& message, int code) {
  write_all(2, message + "\n");
  std::exit(code);
}

// Without device-mapper no mapping can exist; the open is checked for real
// (the passphrase with `cryptsetup open --test-passphrase`) and the mapping
// stands in as a link: for a LUKS2 container to a loop device over its data
// segment (so the header stays intact, as under a real mapping, but the data
// is not encrypted), for a plain mapping to the device itself.
int simulated_open(const Config& config, const std::vector<std::string>& argv,
                   const CryptArgs& args) {
  if (args.positionals.size() != 2) {
    fail_like_cryptsetup("Command requires device and mapped name as arguments.", 1);
  }
  const std::string& device = args.positionals[0];
  const std::string& name = args.positionals[1];
  std::string type = args.values.contains("--type") ? args.values.at("--type")
                     : args.action == "plainOpen"   ? "plain"
                                                    : "luks";
  std::string link = "/dev/mapper/" + name;
  struct stat st{};
  if (name.find('/') != std::string::npos || name.empty()) {
    fail_like_cryptsetup("Device " + name + " is not valid.", 1);
  }
  if (::lstat(link.c_str(), &st) == 0) {
    log_call("cryptsetup", argv, {{"simulated", true}});
    fail_like_cryptsetup("Device " + name + " already exists.", 5);
  }
  std::string key_file = args.values.contains("--key-file") ? args.values.at("--key-file") : "-";
  std::string key = key_file == "-" ? read_all_stdin() : std::string();
  log_call("cryptsetup", argv, {{"simulated", true}, {"stdin", key.size()}});
  std::string target = *canonical(device);

  if (type == "plain") {
    std::size_t key_bits =
        args.values.contains("--key-size") ? std::stoul(args.values.at("--key-size")) : 256;
    if (key_file == "-" && key.size() < key_bits / 8) {
      fail_like_cryptsetup("Cannot read requested amount of data.", 1);
    }
    // A fresh mapping has no cached pages; neither should its stand-in, the
    // device itself, which a verified wipe opens again to read it back.
    Fd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) {
      ::ioctl(fd.get(), BLKFLSBUF, 0);
    }
  } else if (type == "luks" || type == "luks2") {
    std::vector<std::string> test = {"cryptsetup", "open", "--test-passphrase",
                                     "--type",     type,   "--key-file=" + key_file,
                                     device};
    ProcessResult checked = run_capture(real_tool("cryptsetup"), test, environment(), key,
                                        std::chrono::minutes(5), true);
    std::fill(key.begin(), key.end(), '\0');
    if (checked.exit_code != 0) {
      std::exit(checked.exit_code);
    }
    for (const auto& payload : config.payloads) {
      if (canonical(payload.at("device").get<std::string>()) != target) {
        continue;
      }
      ProcessResult dump = run_capture(real_tool("cryptsetup"),
                                       {"cryptsetup", "luksDump", "--dump-json-metadata", device},
                                       environment(), "", std::chrono::minutes(1), true);
      std::string offset;
      if (dump.exit_code == 0) {
        offset = json::parse(dump.out).at("segments").at("0").at("offset").get<std::string>();
      }
      if (offset != std::to_string(payload.at("offset").get<std::uint64_t>())) {
        fail_like_cryptsetup("tdh-e2e simulated open: data segment at \"" + offset +
                                 "\" does not match the sandbox's payload device",
                             1);
      }
      target = payload.at("payload").get<std::string>();
      // A fresh mapping has no cached pages; neither should its stand-in.
      Fd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
      if (fd) {
        ::ioctl(fd.get(), BLKFLSBUF, 0);
      }
      break;
    }
  } else {
    fail_like_cryptsetup("tdh-e2e simulated open: unsupported type " + type, 1);
  }
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    fail_like_cryptsetup(errno_message("tdh-e2e simulated open: symlink " + link, errno), 1);
  }
  return 0;
}

int simulated_close(const std::vector<std::string>& argv, const CryptArgs& args) {
  log_call("cryptsetup", argv, {{"simulated", true}});
  if (args.positionals.size() != 1) {
    fail_like_cryptsetup("Command requires device as argument.", 1);
  }
  const std::string& name = args.positionals[0];
  std::string link = "/dev/mapper/" + name;
  struct stat st{};
  if (name.find('/') != std::string::npos || ::lstat(link.c_str(), &st) != 0 ||
      !S_ISLNK(st.st_mode)) {
    fail_like_cryptsetup("Device " + name + " is not active.", 4);
  }
  // The kernel refuses an exclusive open while the device is mounted or
  // swapped on: the same condition that keeps a real mapping from closing.
  Fd busy(::open(link.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
  if (!busy && errno == EBUSY) {
    fail_like_cryptsetup("Device " + name + " is still in use.", 5);
  }
  busy.reset();
  if (::unlink(link.c_str()) != 0) {
    fail_like_cryptsetup(errno_message("tdh-e2e simulated close: unlink " + link, errno), 1);
  }
  return 0;
}

int cryptsetup_tool(const Config& config, const std::vector<std::string>& argv) {
  static const std::set<std::string> device_actions = {
      "luksFormat", "open",         "luksOpen",   "plainOpen",        "luksDump",
      "isLuks",     "luksUUID",     "luksAddKey", "luksRemoveKey",    "luksKillSlot",
      "erase",      "luksErase",    "repair",     "luksHeaderBackup", "config",
      "token",      "luksChangeKey"};
  static const std::set<std::string> name_actions = {"close", "luksClose", "remove", "status"};
  CryptArgs args = parse_cryptsetup(argv);
  refuse_foreign_devices(config, "cryptsetup", argv);
  if (device_actions.contains(args.action)) {
    // "token" and "config" put a sub-command before the device.
    std::size_t at = (args.action == "token") ? 1 : 0;
    if (args.positionals.size() <= at) {
      refuse("cryptsetup", argv, "no device");
    }
    require_scratch(config, "cryptsetup", argv, args.positionals[at]);
  } else if (!name_actions.contains(args.action)) {
    refuse("cryptsetup", argv, "action `" + args.action + "` is not allowed in the sandbox");
  }
  bool opens = args.action == "open" || args.action == "luksOpen" || args.action == "plainOpen";
  bool closes = args.action == "close" || args.action == "luksClose" || args.action == "remove";
  if (opens) {
    hold_if_asked("cryptsetup-open");
  }
  if (kernel_has_device_mapper()) {
    log_call("cryptsetup", argv);
    // Nothing runs udev in the sandbox: let libdevmapper make its own nodes.
    ::setenv("DM_DISABLE_UDEV", "1", 1);
    exec_real("cryptsetup", argv);
  }
  if (opens && !args.flags.contains("--test-passphrase")) {
    return simulated_open(config, argv, args);
  }
  if (closes) {
    return simulated_close(argv, args);
  }
  log_call("cryptsetup", argv);
  exec_real("cryptsetup", argv);
}

// --- lsblk -----------------------------------------------------------------------

ordered_json* find_node(ordered_json& nodes, const std::string& path) {
  for (auto& node : nodes) {
    if (node.contains("path") && node["path"] == path) {
      return &node;
    }
    if (node.contains("children")) {
      if (auto* found = find_node(node["children"], path)) {
        return found;
      }
    }
  }
  return nullptr;
}

void set_if_present(ordered_json& node, const char* key, const ordered_json& value) {
  if (node.contains(key)) {
    node[key] = value;
  }
}

// The real lsblk, limited to the sandbox's drives, with its answer dressed as
// removable USB drives; mappings the simulated cryptsetup made appear as
// their "crypt" children, as real ones would.
int lsblk_tool(const Config& config, const std::vector<std::string>& argv) {
  bool json_output = std::any_of(argv.begin() + 1, argv.end(),
                                 [](const std::string& a) { return a == "-J" || a == "--json"; });
  std::vector<std::string> real_argv = argv;
  for (const auto& drive : config.drives) {
    real_argv.push_back(drive.at("path").get<std::string>());
  }
  real_argv.insert(real_argv.end(), config.loops.begin(), config.loops.end());
  log_call("lsblk", argv);
  if (!json_output) {
    exec_real("lsblk", real_argv);
  }
  std::map<std::string, std::string> payload_owner;  // payload path -> device path
  for (const auto& payload : config.payloads) {
    real_argv.push_back(payload.at("payload").get<std::string>());
    payload_owner[payload.at("payload").get<std::string>()] =
        payload.at("device").get<std::string>();
  }
  ProcessResult real =
      run_capture(real_tool("lsblk"), real_argv, environment(), "", std::chrono::minutes(1), true);
  if (real.exit_code != 0) {
    write_all(1, real.out);
    return real.exit_code;
  }
  ordered_json doc = ordered_json::parse(real.out);
  ordered_json drives = ordered_json::array();
  std::map<std::string, ordered_json> payload_nodes;
  std::map<std::string, ordered_json> drive_nodes;
  for (auto& node : doc.at("blockdevices")) {
    std::string path = node.at("path").get<std::string>();
    (payload_owner.contains(path) ? payload_nodes : drive_nodes)[path] = node;
  }
  // In the sandbox's order of drives, whatever order lsblk chose.
  for (auto drive = config.drives.begin(); drive != config.drives.end(); ++drive) {
    auto found = drive_nodes.find(drive->at("path").get<std::string>());
    if (found == drive_nodes.end()) {
      continue;
    }
    ordered_json& node = found->second;
    set_if_present(node, "type", "disk");
    set_if_present(node, "rm", drive->at("rm").get<bool>());
    set_if_present(node, "hotplug", drive->at("hotplug").get<bool>());
    set_if_present(node, "rota", false);
    set_if_present(node, "tran", drive->at("tran").get<std::string>());
    set_if_present(node, "vendor", drive->at("vendor").get<std::string>());
    set_if_present(node, "model", drive->at("model").get<std::string>());
    set_if_present(node, "serial", drive->at("serial").get<std::string>());
    if (node.contains("children")) {
      for (auto& child : node["children"]) {
        set_if_present(child, "rm", drive->at("rm").get<bool>());
        set_if_present(child, "hotplug", drive->at("hotplug").get<bool>());
        set_if_present(child, "rota", false);
      }
    }
    drives.push_back(node);
  }
  // Loop devices stand beside the drives, as on a real system.
  for (const std::string& loop : config.loops) {
    if (auto found = drive_nodes.find(loop); found != drive_nodes.end()) {
      drives.push_back(found->second);
    }
  }

  if (!kernel_has_device_mapper()) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/dev/mapper")) {
      while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "control") {
          names.push_back(name);
        }
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      auto target = canonical("/dev/mapper/" + name);
      if (!target) {
        continue;
      }
      std::string parent_path = payload_owner.contains(*target) ? payload_owner[*target] : *target;
      ordered_json* parent = find_node(drives, parent_path);
      if (parent == nullptr) {
        continue;
      }
      ordered_json child = payload_nodes.contains(*target) ? payload_nodes[*target] : *parent;
      child.erase("children");
      for (auto& [key, value] : child.items()) {
        if (key != "size" && key != "ro" &&
            (!payload_nodes.contains(*target) ||
             (key != "fstype" && key != "fsused" && key != "fssize" && key != "mountpoint" &&
              key != "label"))) {
          value = nullptr;
        }
      }
      set_if_present(child, "name", name);
      set_if_present(child, "path", "/dev/mapper/" + name);
      set_if_present(child, "type", "crypt");
      set_if_present(child, "rm", false);
      set_if_present(child, "hotplug", false);
      set_if_present(child, "rota", false);
      (*parent)["children"].push_back(child);
    }
  }
  doc["blockdevices"] = drives;
  write_all(1, doc.dump(3) + "\n");
  return 0;
}

}  // namespace

std::optional<int> run_as_tool(int argc, char** argv) {
  if (argc < 1) {
    return std::nullopt;
  }
  std::string tool = basename_of(argv[0]);
  if (std::find(layout::kWrappedTools.begin(), layout::kWrappedTools.end(), tool) ==
      layout::kWrappedTools.end()) {
    return std::nullopt;
  }
  std::vector<std::string> args(argv, argv + argc);
  try {
    if (::access(std::string(layout::kConfig).c_str(), R_OK) != 0) {
      write_all(2, "tdh-e2e wrapper: " + tool + " runs only inside an end-to-end sandbox\n");
      return layout::kRefusedExit;
    }
    Config config = load_config();
    if (tool == "lsblk") {
      return lsblk_tool(config, args);
    }
    if (tool == "dd") {
      return dd_tool(config, args);
    }
    if (tool == "blkdiscard") {
      return blkdiscard_tool(config, args);
    }
    if (tool == "cryptsetup") {
      return cryptsetup_tool(config, args);
    }
    if (tool == "cmp") {
      // Only reads; wrapped so that a test can catch a wipe while it reads back.
      log_call("cmp", args);
      hold_if_asked("cmp");
      exec_real("cmp", args);
    }
    return mkfs_tool(config, tool, args);
  } catch (const std::exception& e) {
    write_all(2, "tdh-e2e wrapper: " + tool + ": " + e.what() + "\n");
    return layout::kRefusedExit;
  }
}

}  // namespace tdh_e2e
