// SPDX-License-Identifier: MIT
// The stable name of a target: the first /dev/disk/by-id link, in the order
// the directory lists them, that resolves to the same node as the device.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "guard/guard.hpp"

namespace tarnwick::guard {
namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

Directory open_directory(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    return nullptr;
  }
  DIR* directory = fdopendir(descriptor);
  if (directory == nullptr) {
    close(descriptor);
  }
  return Directory(directory);
}

}  // namespace

std::optional<std::string> stable_by_id_path(const system::SystemPaths& paths,
                                             std::string_view device) {
  const Directory directory = open_directory(paths.disk_by_id);
  if (!directory) {
    return std::nullopt;
  }
  const std::optional<std::string> canonical_device = system::canonical_path(std::string(device));
  if (!canonical_device) {
    return std::nullopt;
  }
  // The stream is this call's own, and the helper reads directories on one thread.
  while (const dirent* entry = readdir(directory.get())) {  // NOLINT(concurrency-mt-unsafe)
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string link = system::join_path(paths.disk_by_id, name);
    const std::optional<std::string> target = system::canonical_path(link);
    if (target && *target == *canonical_device) {
      return link;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick::guard
