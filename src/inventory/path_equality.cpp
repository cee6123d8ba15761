// SPDX-License-Identifier: MIT
// Device paths are compared by their components, never by following links:
// the guard must judge the name the kernel reports, not where it points.
#include <algorithm>

#include "inventory/inventory.hpp"

namespace tarnwick::inventory {

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t position = 0;
  if (path.starts_with('/')) {
    // The root is a component of its own, so an absolute path never equals
    // the relative one with the same names.
    components.push_back(path.substr(0, 1));
    position = 1;
  }
  while (position < path.size()) {
    std::size_t end = path.find('/', position);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    const std::string_view component = path.substr(position, end - position);
    // A leading "." of a relative path is kept; only interior ones are noise.
    const bool leading = position == 0;
    if (!component.empty() && (component != "." || leading)) {
      components.push_back(component);
    }
    position = end + 1;
  }
  return components;
}

bool paths_equal(std::string_view a, std::string_view b) {
  return std::ranges::equal(path_components(a), path_components(b));
}

const Drive* find_drive_by_path(const std::vector<Drive>& drives, std::string_view path) {
  const auto found = std::ranges::find_if(
      drives, [&](const Drive& drive) { return paths_equal(drive.path, path); });
  return found == drives.end() ? nullptr : &*found;
}

const Drive* find_drive_for_device(const std::vector<Drive>& drives, std::string_view path) {
  for (const Drive& drive : drives) {
    if (paths_equal(drive.path, path)) {
      return &drive;
    }
    for (const Partition& partition : drive.partitions) {
      if (paths_equal(partition.path, path)) {
        return &drive;
      }
    }
  }
  return nullptr;
}

}  // namespace tarnwick::inventory
