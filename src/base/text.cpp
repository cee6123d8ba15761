// SPDX-License-Identifier: MIT
#include "base/base.hpp"

namespace tarnwick::base {

bool is_valid_utf8(std::string_view bytes) noexcept {
  const std::size_t n = bytes.size();
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  auto continuation = [&](std::size_t at, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return at < n && byte(at) >= low && byte(at) <= high;
  };
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      i += 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      if (!continuation(i + 1)) return false;
      i += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // No overlong forms (E0 A0..), no surrogates (ED ..9F).
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      if (!continuation(i + 1, low, high) || !continuation(i + 2)) return false;
      i += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // No overlong forms (F0 90..), nothing above U+10FFFF (F4 ..8F).
      const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
      if (!continuation(i + 1, low, high) || !continuation(i + 2) || !continuation(i + 3)) {
        return false;
      }
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

void append_json_string(std::string& out, std::string_view text) {
  constexpr std::string_view hex = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += hex[byte >> 4];
          out += hex[byte & 0x0F];
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

std::size_t json_string_size(std::string_view text) noexcept {
  std::size_t size = 2;
  for (const char c : text) {
    switch (c) {
      case '"':
      case '\\':
      case '\b':
      case '\t':
      case '\n':
      case '\f':
      case '\r':
        size += 2;
        break;
      default:
        size += static_cast<unsigned char>(c) < 0x20 ? 6 : 1;
    }
  }
  return size;
}

}  // namespace tarnwick::base
