// SPDX-License-Identifier: MIT
// Reading another process's writable memory and searching it for secrets,
// for the tests that prove no passphrase outlives its request.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

// A freed block loses its first bytes to the allocator's bookkeeping, so scans
// look for any run of this many bytes, not for whole strings.
inline constexpr std::size_t kSecretRunBytes = 16;

// One writable mapping of a process as it was read.
struct MemoryRegion {
  std::string mapping;  // its line in /proc/PID/maps
  std::uint64_t start = 0;
  std::string bytes;
};

// Every mapping with write permission, read through /proc/PID/mem (root).
std::vector<MemoryRegion> writable_memory(pid_t pid);

std::size_t total_size(const std::vector<MemoryRegion>& regions);

// Every place where some run of kSecretRunBytes bytes of `needle` lies, one
// entry per place (overlapping runs of one copy count once), each with its
// mapping, offset and printable context; empty when there is none.
std::vector<std::string> find_runs(const std::vector<MemoryRegion>& regions,
                                   const std::string& needle);

// The entries of find_runs, one per line, for a failure message.
std::string report(const std::vector<std::string>& found);

}  // namespace tarnwick::testing
