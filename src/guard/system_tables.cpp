// SPDX-License-Identifier: MIT
#include "guard/system_tables.hpp"

#include "text/text.hpp"

namespace tarnwick::guard {
namespace {

std::optional<std::string> read_optional_table(const std::string& path) {
  auto contents = system::read_text_file(path);
  if (!contents) {
    return std::nullopt;
  }
  return std::move(*contents);
}

}  // namespace

std::expected<std::string, runner::HelperError> read_mount_table(const system::SystemPaths& paths) {
  auto contents = system::read_text_file(paths.proc_mounts);
  if (!contents) {
    return std::unexpected(runner::HelperError::io_errno(contents.error()));
  }
  return std::move(*contents);
}

std::optional<std::string> root_mount_source(std::string_view mounts) {
  for (const std::string_view line : text::split_lines(mounts)) {
    const std::vector<std::string_view> fields = text::split_fields(line);
    if (fields.size() >= 2 && fields[1] == "/") {
      return std::string(fields[0]);
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> read_swap_sources(const system::SystemPaths& paths) {
  const std::optional<std::string> contents = read_optional_table(paths.proc_swaps);
  if (!contents) {
    return std::nullopt;
  }
  return swap_sources(*contents);
}

std::vector<std::string> swap_sources(std::string_view swaps) {
  std::vector<std::string> sources;
  const std::vector<std::string_view> lines = text::split_lines(swaps);
  // The first line is the column header.
  for (std::size_t index = 1; index < lines.size(); ++index) {
    const std::vector<std::string_view> fields = text::split_fields(lines[index]);
    if (!fields.empty()) {
      sources.emplace_back(fields[0]);
    }
  }
  return sources;
}

std::optional<std::vector<std::string>> read_crypttab_sources(const system::SystemPaths& paths) {
  const std::optional<std::string> contents = read_optional_table(paths.etc_crypttab);
  if (!contents) {
    return std::nullopt;
  }
  return crypttab_sources(*contents, paths.disk_by_uuid);
}

std::vector<std::string> crypttab_sources(std::string_view crypttab, std::string_view by_uuid) {
  constexpr std::string_view uuid_prefix = "UUID=";
  constexpr std::string_view dev_prefix = "/dev/";
  std::vector<std::string> sources;
  for (const std::string_view raw_line : text::split_lines(crypttab)) {
    const std::string_view line = text::trim_white_space(raw_line);
    if (line.empty() || line.starts_with('#')) {
      continue;
    }
    const std::vector<std::string_view> fields = text::split_fields(line);
    if (fields.size() < 2 || fields[1].size() < 5) {
      continue;
    }
    const std::string_view source = fields[1];
    if (source.starts_with(uuid_prefix)) {
      sources.push_back(system::join_path(by_uuid, source.substr(uuid_prefix.size())));
    } else if (source.starts_with(dev_prefix)) {
      sources.emplace_back(source);
    }
    // PARTUUID=, LABEL= and other forms name nothing this check can resolve.
  }
  return sources;
}

}  // namespace tarnwick::guard
