// SPDX-License-Identifier: MIT
// Where things live inside a sandbox namespace. The harness writes these
// files when it builds the namespace; the tool wrappers read them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tdh_e2e::layout {

// A private tmpfs mounted over /run inside the namespace; nothing here is
// visible on the host.
inline constexpr std::string_view kStateDir = "/run/tdh-e2e";
// {"scratch":[{"path","dev"}], "drives":[{"path","rm","hotplug",...}],
//  "payloads":[{"device","payload","offset"}], "loops":["/dev/loopN"]}
inline constexpr std::string_view kConfig = "/run/tdh-e2e/config.json";
// One JSON object per wrapper call: {"tool","argv","stdin"?,"refused"?}.
inline constexpr std::string_view kCallLog = "/run/tdh-e2e/calls.log";
// The real tools, bind-mounted here before the wrappers cover their paths.
inline constexpr std::string_view kRealDir = "/run/tdh-e2e/real";
inline constexpr std::string_view kMountDir = "/run/tdh-e2e/mnt";

// The tools replaced by the test program itself (dispatching on argv[0]).
inline constexpr std::array<std::string_view, 9> kWrappedTools = {
    "lsblk",    "dd",         "blkdiscard", "cryptsetup", "mkfs.ext4",
    "mkfs.xfs", "mkfs.btrfs", "mkswap",     "cmp"};

// A test that needs a tool to be running when something happens (a signal,
// say) creates hold-<key>; the wrapper then writes its pid to held-<key> and
// waits while hold-<key> exists (at most kHoldSeconds) before it goes on.
// Keys: "dd", "cryptsetup-open", "cmp".
inline constexpr std::string_view kHoldPrefix = "/run/tdh-e2e/hold-";
inline constexpr std::string_view kHeldPrefix = "/run/tdh-e2e/held-";
inline constexpr int kHoldSeconds = 120;

// When this file exists, the dd wrapper, after a dd onto a /dev/mapper
// device, overwrites 4 bytes at the offset the file names (decimal): a drive
// that returns other data than was written to it.
inline constexpr std::string_view kCorruptAfterDd = "/run/tdh-e2e/corrupt-after-dd";

// Exit status of a wrapper that refused to run its tool.
inline constexpr int kRefusedExit = 125;

inline constexpr std::uint64_t kMiB = 1024 * 1024;
// Where the data segment of a LUKS2 container made with the default header
// size starts; a drive's simulated mapping exposes its image from here on.
inline constexpr std::uint64_t kLuksDataOffset = 16 * kMiB;

}  // namespace tdh_e2e::layout
