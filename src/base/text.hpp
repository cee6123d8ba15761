// SPDX-License-Identifier: MIT
// The text rules that the helper and the client library must apply alike:
// what counts as UTF-8, and how a JSON string is written. Compiled once, as
// objects that the helper's modules and the installed client archive both
// take in (the archive links nothing of the helper's).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick::base {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated or stray bytes.
bool is_valid_utf8(std::string_view bytes) noexcept;

// Appends `text` as a JSON string literal: `"` and `\` escaped by a
// backslash, the five short control escapes, \u00xx for the other control
// characters, and every other byte (U+007F and "/" included) as it is.
void append_json_string(std::string& out, std::string_view text);

// The bytes append_json_string writes for `text`, quotes included.
std::size_t json_string_size(std::string_view text) noexcept;

}  // namespace tarnwick::base
