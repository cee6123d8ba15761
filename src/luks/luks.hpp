// SPDX-License-Identifier: MIT
// LUKS2 containers through `cryptsetup`: the fixed format profile, opening
// and closing under "tarnwick_" names, and the session's record of the
// names it opened.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "guard/guard.hpp"
#include "runner/runner.hpp"
#include "secure/secure_memory.hpp"

namespace tarnwick::luks {

using runner::HelperError;
using runner::ToolCommand;
using runner::ToolRunner;

// The device-mapper names this session opened and has not closed, each with
// the whole drive its container lies on (whose lock a "mkfs" on it takes).
class SessionMapperSet {
 public:
  // `drive` empty: not known.
  void insert(std::string name, std::string drive = {}) {
    names_.insert_or_assign(std::move(name), std::move(drive));
  }
  void remove(std::string_view name) { names_.erase(std::string(name)); }
  bool contains(std::string_view name) const { return names_.contains(std::string(name)); }
  // The drive recorded for `name`; empty when the name is not in the set or
  // its drive is not known.
  std::string drive_of(std::string_view name) const;
  bool empty() const { return names_.empty(); }
  std::size_t size() const { return names_.size(); }
  // Empties the set and hands over every name it held.
  std::vector<std::string> take_all();

 private:
  std::unordered_map<std::string, std::string> names_;
};

bool is_valid_mapper_name(std::string_view name);

struct LuksFormatOptions {
  std::string label;
  std::optional<std::string> subsystem;
  bool allow_discards = false;
};

ToolCommand luks_format_command(std::string_view device, const LuksFormatOptions& options);
ToolCommand luks_open_command(std::string_view device, std::string_view mapper_name,
                              bool allow_discards);
ToolCommand luks_close_command(std::string_view mapper_name);

std::expected<void, HelperError> luks_format(ToolRunner& runner, std::string_view device,
                                             const secure::SecretBytes& passphrase,
                                             const LuksFormatOptions& options);
std::expected<void, HelperError> luks_open(ToolRunner& runner, std::string_view device,
                                           std::string_view mapper_name,
                                           const secure::SecretBytes& passphrase,
                                           bool allow_discards);
std::expected<void, HelperError> luks_close(ToolRunner& runner, std::string_view mapper_name);

// Request handling. Errors are the client's final texts.
std::expected<void, std::string> handle_luks_format(ToolRunner& runner,
                                                    const guard::GuardContext& guard,
                                                    std::string_view device, std::string_view label,
                                                    bool allow_discards,
                                                    std::string_view passphrase_b64);
std::expected<void, std::string> handle_luks_open(
    ToolRunner& runner, const guard::GuardContext& guard, SessionMapperSet& mappers,
    std::string_view device, std::string_view mapper_name, std::string_view passphrase_b64,
    bool allow_discards);
std::expected<void, std::string> handle_luks_close(ToolRunner& runner, SessionMapperSet& mappers,
                                                   std::string_view mapper_name);

// End of session: closes every remaining name, also after a stop (the close
// commands ignore it); failures go to standard error as
// "tarnwick-drives-helper: could not close {}: {}".
void close_session_mappers(ToolRunner& runner, SessionMapperSet& mappers, int stderr_fd = 2);

}  // namespace tarnwick::luks
