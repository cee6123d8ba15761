// SPDX-License-Identifier: MIT
// The cryptsetup command lines and the operations that run them. Every
// container gets the same profile; only the label and subsystem vary.
#include <algorithm>
#include <string>

#include "luks/luks.hpp"
#include "text/text.hpp"

namespace tarnwick::luks {

namespace {

constexpr std::string_view kMapperPrefix = "tarnwick_";
constexpr std::size_t kMaxMapperNameBytes = 96;

bool is_mapper_name_byte(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         c == '-';
}

// Arguments are text; a path with bytes that are not UTF-8 is shown to the
// tool the way it would be shown to the user.
std::string device_argument(std::string_view device) { return text::decode_utf8_lossy(device); }

std::expected<void, HelperError> run_dropping_output(ToolRunner& runner, ToolCommand command) {
  auto result = runner.run(std::move(command));
  if (!result) {
    return std::unexpected(std::move(result.error()));
  }
  return {};
}

}  // namespace

std::vector<std::string> SessionMapperSet::take_all() {
  std::vector<std::string> taken;
  taken.reserve(names_.size());
  while (!names_.empty()) {
    taken.push_back(std::move(names_.extract(names_.begin()).key()));
  }
  return taken;
}

std::string SessionMapperSet::drive_of(std::string_view name) const {
  const auto found = names_.find(std::string(name));
  return found == names_.end() ? std::string() : found->second;
}

bool is_valid_mapper_name(std::string_view name) {
  if (name.size() < kMapperPrefix.size() || name.size() > kMaxMapperNameBytes) {
    return false;
  }
  if (!name.starts_with(kMapperPrefix)) {
    return false;
  }
  return std::ranges::all_of(name, is_mapper_name_byte);
}

ToolCommand luks_format_command(std::string_view device, const LuksFormatOptions& options) {
  ToolCommand command("cryptsetup");
  command.arg("luksFormat")
      .arg("--type")
      .arg("luks2")
      .arg("--cipher")
      .arg("aes-xts-plain64")
      .arg("--key-size")
      .arg("512")
      .arg("--hash")
      .arg("sha256")
      .arg("--pbkdf")
      .arg("argon2id")
      .arg("--iter-time")
      .arg("2000")
      .arg("--pbkdf-memory")
      .arg("1048576")
      .arg("--pbkdf-parallel")
      .arg("4")
      .arg("--sector-size")
      .arg("4096")
      .arg("--use-random")
      .arg("--batch-mode")
      .arg("--key-file=-");
  if (!options.label.empty()) {
    command.arg("--label").arg(options.label);
  }
  if (options.subsystem) {
    command.arg("--subsystem").arg(*options.subsystem);
  }
  command.arg(device_argument(device));
  return command;
}

ToolCommand luks_open_command(std::string_view device, std::string_view mapper_name,
                              bool allow_discards) {
  ToolCommand command("cryptsetup");
  command.arg("open").arg("--type").arg("luks2").arg("--key-file=-");
  if (allow_discards) {
    command.arg("--allow-discards");
  }
  command.arg(device_argument(device)).arg(std::string(mapper_name));
  return command;
}

ToolCommand luks_close_command(std::string_view mapper_name) {
  ToolCommand command("cryptsetup");
  command.arg("close").arg(std::string(mapper_name));
  return command;
}

std::expected<void, HelperError> luks_format(ToolRunner& runner, std::string_view device,
                                             const secure::SecretBytes& passphrase,
                                             const LuksFormatOptions& options) {
  if (passphrase.empty()) {
    return std::unexpected(HelperError::refused("refusing empty passphrase"));
  }
  ToolCommand command = luks_format_command(device, options);
  // The copy reserves exactly its size, so it never reallocates; the runner
  // wipes it when the call ends.
  command.set_stdin(secure::SecretBytes(passphrase.begin(), passphrase.end()));
  return run_dropping_output(runner, std::move(command));
}

std::expected<void, HelperError> luks_open(ToolRunner& runner, std::string_view device,
                                           std::string_view mapper_name,
                                           const secure::SecretBytes& passphrase,
                                           bool allow_discards) {
  ToolCommand command = luks_open_command(device, mapper_name, allow_discards);
  // An empty passphrase still runs: cryptsetup decides, and its refusal is
  // reported like any other failure.
  command.set_stdin(secure::SecretBytes(passphrase.begin(), passphrase.end()));
  return run_dropping_output(runner, std::move(command));
}

std::expected<void, HelperError> luks_close(ToolRunner& runner, std::string_view mapper_name) {
  return run_dropping_output(runner, luks_close_command(mapper_name));
}

}  // namespace tarnwick::luks
