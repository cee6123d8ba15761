// SPDX-License-Identifier: MIT
// Lenient Base64: the client's encoder may wrap lines or pad each chunk, so
// layout bytes are skipped wherever they stand; only a byte outside the
// standard alphabet is an error.
#include <cstdint>

#include "fields/fields.hpp"

namespace tarnwick::fields {

namespace {

constexpr int kSkip = -1;
constexpr int kInvalid = -2;

// The 6-bit value of an alphabet byte, kSkip for padding and layout bytes,
// kInvalid for everything else (vertical tab, URL-safe "-" and "_", 0x80+).
constexpr int sextet_of(unsigned char byte) noexcept {
  if (byte >= 'A' && byte <= 'Z') return byte - 'A';
  if (byte >= 'a' && byte <= 'z') return byte - 'a' + 26;
  if (byte >= '0' && byte <= '9') return byte - '0' + 52;
  switch (byte) {
    case '+':
      return 62;
    case '/':
      return 63;
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case ' ':
    case '=':
      return kSkip;
    default:
      return kInvalid;
  }
}

}  // namespace

std::expected<secure::SecretBytes, std::string> decode_passphrase(std::string_view text) {
  secure::SecretBytes output;
  if (text.size() >= 4) {
    output.reserve(text.size() / 4 * 3);
  }

  // The accumulator holds passphrase bits; it is cleared on every way out.
  std::uint32_t accumulator = 0;
  unsigned pending_bits = 0;
  for (const char ch : text) {
    const int sextet = sextet_of(static_cast<unsigned char>(ch));
    if (sextet == kSkip) {
      continue;
    }
    if (sextet == kInvalid) {
      secure::zeroize(&accumulator, sizeof accumulator);
      secure::zeroize(output);
      return std::unexpected(std::string("invalid base64 byte"));
    }
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(sextet);
    if (pending_bits <= 1) {
      pending_bits += 6;
    } else {
      pending_bits -= 2;
      output.push_back(static_cast<std::uint8_t>((accumulator >> pending_bits) & 0xFFu));
    }
  }
  secure::zeroize(&accumulator, sizeof accumulator);
  return output;
}

}  // namespace tarnwick::fields
