// SPDX-License-Identifier: MIT
#include "support/memory_scan.hpp"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "system/system.hpp"

namespace tarnwick::testing {
namespace {

std::string printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7f) ? c : '.';
  }
  return out;
}

}  // namespace

std::vector<MemoryRegion> writable_memory(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const system::FileDescriptor mem(::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (!mem.is_open()) {
    throw std::runtime_error("open " + proc + "/mem: " + ::strerror(errno));
  }
  const auto maps_text = system::read_file(proc + "/maps");
  if (!maps_text) {
    throw std::runtime_error("read " + proc + "/maps: " + ::strerror(maps_text.error()));
  }
  std::vector<MemoryRegion> regions;
  std::istringstream maps(*maps_text);
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range;
    std::string perms;
    fields >> range >> perms;
    if (perms.size() < 2 || perms[1] != 'w') {
      continue;
    }
    const auto dash = range.find('-');
    MemoryRegion region;
    region.mapping = line;
    region.start = std::stoull(range.substr(0, dash), nullptr, 16);
    const auto end = std::stoull(range.substr(dash + 1), nullptr, 16);
    region.bytes.resize(end - region.start);
    std::size_t done = 0;
    while (done < region.bytes.size()) {
      const ssize_t n = ::pread(mem.get(), region.bytes.data() + done, region.bytes.size() - done,
                                static_cast<off_t>(region.start + done));
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    region.bytes.resize(done);
    if (done > 0) {
      regions.push_back(std::move(region));
    }
  }
  return regions;
}

std::size_t total_size(const std::vector<MemoryRegion>& regions) {
  std::size_t total = 0;
  for (const auto& region : regions) {
    total += region.bytes.size();
  }
  return total;
}

std::vector<std::string> find_runs(const std::vector<MemoryRegion>& regions,
                                   const std::string& needle) {
  std::vector<std::string> found;
  std::set<std::pair<std::size_t, std::uint64_t>> copies;  // region, address of needle[0]
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const std::string& bytes = regions[r].bytes;
    for (std::size_t i = 0; i + kSecretRunBytes <= needle.size(); ++i) {
      std::size_t from = 0;
      while (from < bytes.size()) {
        const void* hit =
            ::memmem(bytes.data() + from, bytes.size() - from, needle.data() + i, kSecretRunBytes);
        if (hit == nullptr) {
          break;
        }
        const auto offset = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
        from = offset + 1;
        if (!copies.insert({r, regions[r].start + offset - i}).second) {
          continue;
        }
        std::size_t length = kSecretRunBytes;
        while (i + length < needle.size() && offset + length < bytes.size() &&
               bytes[offset + length] == needle[i + length]) {
          ++length;
        }
        const std::size_t before = std::min<std::size_t>(offset, 64);
        const std::size_t after = std::min<std::size_t>(bytes.size() - offset, length + 64);
        std::ostringstream entry;
        entry << "bytes " << i << ".." << i + length << " of " << needle.size() << " at offset 0x"
              << std::hex << offset << " (address 0x" << regions[r].start + offset << std::dec
              << ") of " << regions[r].mapping << "\n    ["
              << printable(std::string_view(bytes).substr(offset - before, before + after)) << "]";
        found.push_back(entry.str());
      }
    }
  }
  return found;
}

std::string report(const std::vector<std::string>& found) {
  std::string text;
  for (const auto& entry : found) {
    text += "\n  " + entry;
  }
  return text;
}

}  // namespace tarnwick::testing
