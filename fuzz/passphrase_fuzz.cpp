// SPDX-License-Identifier: MIT
// Passphrase Base64 and the label rule against small reference versions:
// same bytes or the one documented error for passphrases, the same verdict
// and the one documented error for labels.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fields/fields.hpp"
#include "fuzz_checks.hpp"

using namespace tarnwick;

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard Base64 with padding.
std::string encode(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[v >> shift & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    out += {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], '=', '='};
  } else if (rest == 2) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8;
    out += {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], kAlphabet[v >> 6 & 63], '='};
  }
  return out;
}

// The documented lenient reading: alphabet bytes carry six bits each,
// padding and ASCII layout bytes are skipped, anything else is an error, and
// bits short of a whole byte at the end are dropped.
std::optional<std::vector<std::uint8_t>> reference_decode(std::string_view text) {
  std::vector<bool> bits;
  for (const char c : text) {
    if (std::string_view("\t\n\f\r =").find(c) != std::string_view::npos) continue;
    const std::size_t value = kAlphabet.find(c);
    if (value == std::string_view::npos || c == '\0') return std::nullopt;
    for (int b = 5; b >= 0; --b) bits.push_back((value >> b & 1) != 0);
  }
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) {
    unsigned byte = 0;
    for (std::size_t b = 0; b < 8; ++b) byte = byte << 1 | (bits[i + b] ? 1u : 0u);
    out.push_back(static_cast<std::uint8_t>(byte));
  }
  return out;
}

// Strict UTF-8 to scalar values, written out independently of the text module.
std::optional<std::vector<char32_t>> reference_utf8(std::string_view s) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      n = 1, c = b0;
    } else if (b0 >= 0xC0 && b0 < 0xE0) {
      n = 2, c = b0 & 0x1Fu, min = 0x80;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
      n = 3, c = b0 & 0x0Fu, min = 0x800;
    } else if (b0 >= 0xF0 && b0 < 0xF8) {
      n = 4, c = b0 & 0x07u, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (s.size() - i < n) return std::nullopt;
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (b & 0x3Fu);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    out.push_back(c);
    i += n;
  }
  return out;
}

bool reference_label_ok(std::string_view label) {
  const auto chars = reference_utf8(label);
  if (!chars || chars->size() > 48) return false;
  for (const char32_t c : *chars) {
    if (c <= 0x1F || (c >= 0x7F && c <= 0x9F)) return false;
  }
  return true;
}

std::vector<std::uint8_t> plain(const secure::SecretBytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const auto decoded = fields::decode_passphrase(input);
  const auto reference = reference_decode(input);
  fuzz::require(decoded.has_value() == reference.has_value());
  if (!decoded) {
    fuzz::require(decoded.error() == "invalid base64 byte");
  } else {
    const std::vector<std::uint8_t> bytes = plain(*decoded);
    fuzz::require(bytes == *reference);
    // The standard encoding of what came out reads back to the same bytes.
    const auto again = fields::decode_passphrase(encode(bytes));
    fuzz::require(again.has_value() && plain(*again) == bytes);
  }

  const auto label = fields::validate_label(input);
  fuzz::require(label.has_value() == reference_label_ok(input));
  if (!label)
    fuzz::require(label.error() == "filesystem label is too long or contains control characters");
  return 0;
}
