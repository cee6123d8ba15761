// SPDX-License-Identifier: MIT
// Words a syntax error. The library only tells us that (and roughly where)
// it stopped; we re-read the text from the end of the last token it
// accepted, the way its parser would, and name the first byte that breaks
// the grammar. This keeps our messages and positions independent of the
// library's wording.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "json/json_reader.hpp"

namespace tarnwick::json::syntax {

// What the parser was about to read after the last token it accepted.
enum class Expect {
  Value,         // at the start, after ':' or after ',' in an array
  FirstMember,   // after '{': a key or '}'
  Colon,         // after a key: ':' and then a value
  FirstElement,  // after '[': a value or ']'
  AfterMember,   // after a member's value: ',' or '}'
  AfterElement,  // after an element: ',' or ']'
  End,           // after the document: white space only
};

struct SyntaxError {
  std::string_view message;
  std::size_t offset = 0;
  // Peeked: the byte at `offset` was looked at and refused. Otherwise the
  // position is the consumed one, just before `offset`.
  bool peeked = true;
};

inline constexpr std::string_view kLeadingZeroMessage = "invalid number";

// The first grammar violation at or after `from`, or nothing when the text
// from there on is well formed as far as `expect` reaches.
std::optional<SyntaxError> diagnose(std::string_view text, std::size_t from, Expect expect);

Position consumed_position(std::string_view text, std::size_t offset);
Position peeked_position(std::string_view text, std::size_t offset);
Position error_position(std::string_view text, const SyntaxError& error);

}  // namespace tarnwick::json::syntax
