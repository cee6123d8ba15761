// SPDX-License-Identifier: MIT
// The request enumerations and their names in the protocol, defined once for
// the helper, the client library and the command. Installed with the
// client's header, which includes it, so it needs nothing but the standard
// library and is header-only (nothing to add to the client archive).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace tarnwick::requests {

enum class WipeMode { EncryptedZero, SecureDiscard, Random, None };
enum class Filesystem { Ext4, Btrfs, Xfs };

// The names the protocol uses, in the enumerators' order.
inline constexpr std::array<std::string_view, 4> kWipeModeNames = {
    "encrypted-zero", "secure-discard", "random", "none"};
inline constexpr std::array<std::string_view, 3> kFilesystemNames = {"ext4", "btrfs", "xfs"};

// A value outside the enumeration (a cast) reads as "none", or "ext4".
constexpr std::string_view to_string(WipeMode mode) {
  const auto index = static_cast<std::size_t>(mode);
  return index < kWipeModeNames.size() ? kWipeModeNames[index] : kWipeModeNames.back();
}
constexpr std::string_view to_string(Filesystem fs) {
  const auto index = static_cast<std::size_t>(fs);
  return index < kFilesystemNames.size() ? kFilesystemNames[index] : kFilesystemNames.front();
}

template <class Enum, std::size_t N>
constexpr std::optional<Enum> parse_name(std::string_view name,
                                         const std::array<std::string_view, N>& names) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) {
      return static_cast<Enum>(i);
    }
  }
  return std::nullopt;
}
constexpr std::optional<WipeMode> parse_wipe_mode(std::string_view name) {
  return parse_name<WipeMode>(name, kWipeModeNames);
}
constexpr std::optional<Filesystem> parse_filesystem(std::string_view name) {
  return parse_name<Filesystem>(name, kFilesystemNames);
}

}  // namespace tarnwick::requests
