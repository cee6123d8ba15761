// SPDX-License-Identifier: MIT
#include "system/system.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "text/text.hpp"

namespace tarnwick::system {
std::expected<std::string, int> read_file(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::unexpected(errno);
  }
  std::string contents;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(errno);
    }
    if (n == 0) {
      break;
    }
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  return contents;
}

std::expected<std::string, int> read_text_file(const std::string& path) {
  auto contents = read_file(path);
  if (contents && !text::is_valid_utf8(*contents)) {
    return std::unexpected(EILSEQ);
  }
  return contents;
}

std::optional<std::string> canonical_path(const std::string& path) {
  if (path.empty()) {
    return std::nullopt;
  }
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) {
    return std::nullopt;
  }
  return std::string(resolved.get());
}

std::string canonical_or_unchanged(const std::string& path) {
  auto canonical = canonical_path(path);
  return canonical ? *canonical : path;
}

bool write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string join_path(std::string_view directory, std::string_view name) {
  std::string out(directory);
  if (out.empty() || out.back() != '/') {
    out.push_back('/');
  }
  out.append(name);
  return out;
}

}  // namespace tarnwick::system
