// SPDX-License-Identifier: MIT
// Request-field rules that need no device: Base64 passphrases and labels.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "secure/secure_memory.hpp"

namespace tarnwick::fields {

// Lenient Base64 (standard alphabet; padding and white space skipped anywhere,
// trailing bits dropped). Error: "invalid base64 byte".
std::expected<secure::SecretBytes, std::string> decode_passphrase(std::string_view text);

// At most 48 Unicode scalar values, none in U+0000..U+001F or U+007F..U+009F.
// Error: "filesystem label is too long or contains control characters".
std::expected<void, std::string> validate_label(std::string_view label);

}  // namespace tarnwick::fields
