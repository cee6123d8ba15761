// SPDX-License-Identifier: MIT
// Checks shared by the fuzz targets. A failed check traps, which libFuzzer
// reports with the input that caused it.
#pragma once

#include <array>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::fuzz {

inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

// The reader's own syntax messages: only these may be reported for text
// the library itself refuses.
inline bool is_syntax_message(std::string_view message) {
  static constexpr std::array<std::string_view, 18> syntax = {
      "EOF while parsing a value",
      "EOF while parsing an object",
      "EOF while parsing a list",
      "EOF while parsing a string",
      "expected value",
      "expected `:`",
      "expected `,` or `}`",
      "expected `,` or `]`",
      "key must be a string",
      "trailing comma",
      "invalid escape",
      "invalid number",
      "number out of range",
      "invalid unicode code point",
      "lone leading surrogate in hex escape",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "trailing characters",
      "recursion limit exceeded"};
  for (const std::string_view known : syntax) {
    if (message.starts_with(known) && message.substr(known.size()).starts_with(" at line "))
      return true;
  }
  return false;
}

// " at line L column C" at the end, L >= 1; returns L, or 0 when absent.
inline std::size_t suffix_line(std::string_view message) {
  const std::size_t at = message.rfind(" at line ");
  if (at == std::string_view::npos) return 0;
  std::string_view rest = message.substr(at + 9);
  std::size_t line = 0;
  std::size_t i = 0;
  for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i)
    line = line * 10 + static_cast<std::size_t>(rest[i] - '0');
  if (i == 0 || !rest.substr(i).starts_with(" column ")) return 0;
  rest = rest.substr(i + 8);
  if (rest.empty()) return 0;
  for (const char c : rest) {
    if (c < '0' || c > '9') return 0;
  }
  return line;
}

// Whether the library's own strict parser accepts the text. It takes a NUL
// byte for the end of input and skips a byte-order mark, which JSON text
// does not have; such inputs are not compared.
inline std::optional<bool> library_accepts(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!text.empty() && static_cast<unsigned char>(text.front()) == 0xEF) return std::nullopt;
  return nlohmann::json::accept(text);
}

// Our verdict on syntax agrees with the library's: we never accept what it
// refuses, and never call well-formed text a syntax error (the nesting
// limit, which the library lacks, aside).
inline void check_against_library(std::string_view text, bool decoded, std::string_view error) {
  const auto accepts = library_accepts(text);
  if (!accepts) return;
  if (decoded) require(*accepts);
  if (!*accepts) require(!decoded);
  if (*accepts && !decoded && is_syntax_message(error))
    require(error.starts_with("recursion limit exceeded"));
}

}  // namespace tarnwick::fuzz
