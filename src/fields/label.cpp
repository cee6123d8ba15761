// SPDX-License-Identifier: MIT
// One label rule for every filesystem and for LUKS headers: tools differ in
// their own limits, so the helper checks only what no tool should ever see.
#include <cstddef>
#include <vector>

#include "fields/fields.hpp"
#include "text/text.hpp"

namespace tarnwick::fields {

namespace {

constexpr std::size_t kMaxLabelCharacters = 48;

constexpr bool is_control_character(char32_t c) noexcept {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::expected<void, std::string> validate_label(std::string_view label) {
  const auto refused = [] {
    return std::unexpected(
        std::string("filesystem label is too long or contains control characters"));
  };
  // Request text is valid UTF-8 by the time it gets here; anything else is
  // refused rather than counted by guesswork.
  const std::optional<std::vector<char32_t>> characters = text::decode_utf8(label);
  if (!characters || characters->size() > kMaxLabelCharacters) {
    return refused();
  }
  for (const char32_t c : *characters) {
    if (is_control_character(c)) {
      return refused();
    }
  }
  return {};
}

}  // namespace tarnwick::fields
