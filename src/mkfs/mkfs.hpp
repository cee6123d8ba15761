// SPDX-License-Identifier: MIT
// Filesystems on containers this session opened: one mkfs tool run with a
// fixed option set per filesystem.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "luks/luks.hpp"
#include "requests/requests.hpp"
#include "runner/runner.hpp"

namespace tarnwick::mkfs {

using runner::HelperError;
using runner::ToolCommand;
using runner::ToolRunner;

using requests::Filesystem;

ToolCommand mkfs_command(Filesystem fs, std::string_view device, std::string_view label);

std::expected<void, HelperError> make_filesystem(ToolRunner& runner, std::string_view device,
                                                 Filesystem fs, std::string_view label);

// The "mkfs" request; "mapped" is passed on exactly as the client wrote it.
std::expected<void, std::string> handle_mkfs(ToolRunner& runner,
                                             const luks::SessionMapperSet& mappers,
                                             std::string_view mapped, Filesystem fs,
                                             std::string_view label);

}  // namespace tarnwick::mkfs
