// SPDX-License-Identifier: MIT
// The "luks-format", "luks-open" and "luks-close" requests, and the closing
// of a session's mappings. The session may close (and format) only what it
// opened itself, so the mapper record changes only after cryptsetup agreed.
#include <string>

#include "fields/fields.hpp"
#include "luks/luks.hpp"
#include "system/system.hpp"

namespace tarnwick::luks {

namespace {

constexpr std::string_view kSubsystem = "tarnwick";

std::expected<secure::SecretBytes, std::string> decode_request_passphrase(
    std::string_view passphrase_b64) {
  auto decoded = fields::decode_passphrase(passphrase_b64);
  if (!decoded) {
    return std::unexpected("passphrase base64: " + decoded.error());
  }
  return decoded;
}

std::expected<void, std::string> as_client_result(const std::expected<void, HelperError>& result) {
  if (!result) {
    return std::unexpected(result.error().display());
  }
  return {};
}

}  // namespace

std::expected<void, std::string> handle_luks_format(ToolRunner& runner,
                                                    const guard::GuardContext& guard,
                                                    std::string_view device, std::string_view label,
                                                    bool allow_discards,
                                                    std::string_view passphrase_b64) {
  // The drive stays locked until the request is answered.
  const auto target = guard::resolve_drive_target(guard, device);
  if (!target) {
    return std::unexpected(target.error());
  }
  if (auto valid = fields::validate_label(label); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  auto passphrase = decode_request_passphrase(passphrase_b64);
  if (!passphrase) {
    return std::unexpected(std::move(passphrase.error()));
  }
  const LuksFormatOptions options{std::string(label), std::string(kSubsystem), allow_discards};
  const auto result = luks_format(runner, target->stable_path, *passphrase, options);
  secure::zeroize(*passphrase);
  return as_client_result(result);
}

std::expected<void, std::string> handle_luks_open(
    ToolRunner& runner, const guard::GuardContext& guard, SessionMapperSet& mappers,
    std::string_view device, std::string_view mapper_name, std::string_view passphrase_b64,
    bool allow_discards) {
  // The drive stays locked until the request is answered.
  const auto target = guard::resolve_drive_or_partition_target(guard, device);
  if (!target) {
    return std::unexpected(target.error());
  }
  if (!is_valid_mapper_name(mapper_name)) {
    return std::unexpected(std::string("invalid Tarnwick mapper name"));
  }
  auto passphrase = decode_request_passphrase(passphrase_b64);
  if (!passphrase) {
    return std::unexpected(std::move(passphrase.error()));
  }
  const auto result =
      luks_open(runner, target->stable_path, mapper_name, *passphrase, allow_discards);
  secure::zeroize(*passphrase);
  if (result) {
    mappers.insert(std::string(mapper_name), target->drive_path);
  }
  return as_client_result(result);
}

std::expected<void, std::string> handle_luks_close(ToolRunner& runner, SessionMapperSet& mappers,
                                                   std::string_view mapper_name) {
  // Only names that passed the name rule can be in the set, so membership
  // is the whole check.
  if (!mappers.contains(mapper_name)) {
    return std::unexpected(std::string("refusing to close a mapper not opened by this session"));
  }
  const auto result = luks_close(runner, mapper_name);
  if (result) {
    mappers.remove(mapper_name);
  }
  return as_client_result(result);
}

void close_session_mappers(ToolRunner& runner, SessionMapperSet& mappers, int stderr_fd) {
  for (const std::string& name : mappers.take_all()) {
    // Runs to its end even when the session is being stopped.
    auto result = runner.run(luks_close_command(name).finish_despite_stop());
    if (!result) {
      const std::string line = "tarnwick-drives-helper: could not close " + name + ": " +
                               result.error().display() + "\n";
      // Standard error may be a closed pipe; a lost diagnostic must not stop
      // the remaining closes.
      (void)system::write_all(stderr_fd, line);
    }
  }
}

}  // namespace tarnwick::luks
