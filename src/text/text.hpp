// SPDX-License-Identifier: MIT
// Text rules shared by every module: strict UTF-8 validation, lossy decoding,
// the Unicode White_Space set, line and field splitting of kernel tables, and
// the rendering of operating-system errors.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.hpp"

namespace tarnwick::text {

// Strict UTF-8 (the one rule the client library applies too).
using base::is_valid_utf8;

// Decodes UTF-8, replacing each maximal ill-formed subpart with one U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// Decodes valid UTF-8 into code points; nullopt when the text is not valid.
std::optional<std::vector<char32_t>> decode_utf8(std::string_view bytes);

// The Unicode White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// True when valid UTF-8 text is empty or holds only White_Space characters.
// Text that is not valid UTF-8 is never blank.
bool is_blank(std::string_view utf8) noexcept;

// Splits a table into lines at "\n"; a "\r" right before "\n" is dropped, a
// last line without "\n" counts, and no empty line follows a final "\n".
std::vector<std::string_view> split_lines(std::string_view text);

// Fields: maximal runs of non-White_Space characters (UTF-8 text).
std::vector<std::string_view> split_fields(std::string_view line);

// Removes White_Space characters at both ends (UTF-8 text).
std::string_view trim_white_space(std::string_view text) noexcept;

// "Permission denied (os error 13)".
std::string os_error_text(int error_number);

// The parts joined in one allocation of exactly their total size. Messages
// that echo a request's text (up to 1 MiB) are built with it: `"a" + s`
// would hold the copy of `s` and a doubled buffer at once.
std::string concat(std::initializer_list<std::string_view> parts);

}  // namespace tarnwick::text
