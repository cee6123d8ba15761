// SPDX-License-Identifier: MIT
// Reading the kernel's mount and swap tables and /etc/crypttab. The tables
// are taken as the kernel writes them: no unescaping, so an escaped path
// simply never matches a device.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/runner.hpp"
#include "system/system.hpp"

namespace tarnwick::guard {

// The whole mount table; unreadable or not UTF-8 is an Io error, since the
// root-filesystem check cannot be skipped.
std::expected<std::string, runner::HelperError> read_mount_table(const system::SystemPaths& paths);

// The mounted source of the first line whose mount point is exactly "/".
std::optional<std::string> root_mount_source(std::string_view mounts);

// The first field of every line after the header, in order; nullopt when the
// swap table cannot be read.
std::optional<std::vector<std::string>> read_swap_sources(const system::SystemPaths& paths);
std::vector<std::string> swap_sources(std::string_view swaps);

// The device paths named by crypttab sources in the "UUID=" or "/dev/" form,
// in order; nullopt when the file cannot be read.
std::optional<std::vector<std::string>> read_crypttab_sources(const system::SystemPaths& paths);
std::vector<std::string> crypttab_sources(std::string_view crypttab, std::string_view by_uuid);

}  // namespace tarnwick::guard
