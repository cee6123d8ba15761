// SPDX-License-Identifier: MIT
#include "json/syntax.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace tarnwick::json::syntax {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofString = "EOF while parsing a string";

using Outcome = std::optional<SyntaxError>;

// Scanning either fails, or succeeds and tells where the token ended.
struct Scan {
  Outcome error;
  std::size_t end = 0;
};

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t skip_white(std::string_view text, std::size_t at) {
  while (at < text.size() && is_white(text[at])) ++at;
  return at;
}

SyntaxError at_end(std::string_view text, std::string_view message) {
  return SyntaxError{message, text.size(), false};
}

SyntaxError refused(std::string_view message, std::size_t offset) {
  return SyntaxError{message, offset, true};
}

Scan fail(SyntaxError error) { return Scan{error, 0}; }

Scan scan_literal(std::string_view text, std::size_t at, std::string_view literal) {
  for (std::size_t k = 1; k < literal.size(); ++k) {
    const std::size_t j = at + k;
    if (j >= text.size()) return fail(at_end(text, kEofValue));
    if (text[j] != literal[k]) return fail(refused("expected value", j));
  }
  return Scan{std::nullopt, at + literal.size()};
}

Scan scan_number(std::string_view text, std::size_t at) {
  std::size_t j = at;
  const auto digits = [&] {
    while (j < text.size() && is_digit(text[j])) ++j;
  };
  // One or more digits must come at j.
  const auto need_digit = [&]() -> Outcome {
    if (j >= text.size()) return at_end(text, kEofValue);
    if (!is_digit(text[j])) return refused("invalid number", j);
    return std::nullopt;
  };

  if (text[j] == '-') ++j;
  if (auto error = need_digit()) return fail(*error);
  if (text[j] == '0') {
    ++j;
    if (j < text.size() && is_digit(text[j])) return fail(refused(kLeadingZeroMessage, j));
  } else {
    digits();
  }
  if (j < text.size() && text[j] == '.') {
    ++j;
    if (auto error = need_digit()) return fail(*error);
    digits();
  }
  if (j < text.size() && (text[j] == 'e' || text[j] == 'E')) {
    ++j;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (auto error = need_digit()) return fail(*error);
    digits();
  }
  return Scan{std::nullopt, j};
}

// Four hex digits at `at`; the code point or the error.
std::pair<Outcome, unsigned> scan_hex4(std::string_view text, std::size_t at) {
  unsigned value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t j = at + k;
    if (j >= text.size()) return {at_end(text, kEofString), 0};
    const int digit = hex_value(text[j]);
    if (digit < 0) return {refused("invalid escape", j), 0};
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return {std::nullopt, value};
}

// Length of the well-formed UTF-8 sequence at `at`, or the offset of the
// first byte that breaks it.
Scan scan_utf8(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return fail(refused("invalid unicode code point", at));
  }
  for (std::size_t k = 1; k < length; ++k) {
    const std::size_t j = at + k;
    if (j >= text.size()) return fail(at_end(text, kEofString));
    const std::uint8_t lo = k == 1 ? low : 0x80;
    const std::uint8_t hi = k == 1 ? high : 0xBF;
    if (byte(j) < lo || byte(j) > hi) return fail(refused("invalid unicode code point", j));
  }
  return Scan{std::nullopt, at + length};
}

Scan scan_string(std::string_view text, std::size_t at) {
  std::size_t j = at + 1;
  while (true) {
    if (j >= text.size()) return fail(at_end(text, kEofString));
    const auto c = static_cast<unsigned char>(text[j]);
    if (c == '"') return Scan{std::nullopt, j + 1};
    if (c < 0x20) {
      return fail(refused("control character (\\u0000-\\u001F) found while parsing a string", j));
    }
    if (c >= 0x80) {
      const Scan sequence = scan_utf8(text, j);
      if (sequence.error) return sequence;
      j = sequence.end;
      continue;
    }
    if (c != '\\') {
      ++j;
      continue;
    }
    ++j;
    if (j >= text.size()) return fail(at_end(text, kEofString));
    constexpr std::string_view simple = "\"\\/bfnrt";
    if (simple.find(text[j]) != std::string_view::npos) {
      ++j;
      continue;
    }
    if (text[j] != 'u') return fail(refused("invalid escape", j));
    const auto [error, code] = scan_hex4(text, j + 1);
    if (error) return fail(*error);
    j += 5;
    if (code >= 0xDC00 && code <= 0xDFFF)
      return fail(SyntaxError{"invalid unicode code point", j, false});
    if (code < 0xD800 || code > 0xDBFF) continue;
    // A leading surrogate must be followed by an escaped trailing one.
    constexpr std::string_view lone = "lone leading surrogate in hex escape";
    if (j >= text.size()) return fail(at_end(text, kEofString));
    if (text[j] != '\\') return fail(refused(lone, j));
    ++j;
    if (j >= text.size()) return fail(at_end(text, kEofString));
    if (text[j] != 'u') return fail(refused(lone, j));
    const auto [second_error, second] = scan_hex4(text, j + 1);
    if (second_error) return fail(*second_error);
    j += 5;
    if (second < 0xDC00 || second > 0xDFFF) return fail(SyntaxError{lone, j, false});
  }
}

// A value starting at `at` (white space already skipped). A well-formed
// number the library refused can only be out of range.
Outcome value_error(std::string_view text, std::size_t at) {
  if (at >= text.size()) return at_end(text, kEofValue);
  switch (text[at]) {
    case '"':
      return scan_string(text, at).error;
    case 't':
      return scan_literal(text, at, "true").error;
    case 'f':
      return scan_literal(text, at, "false").error;
    case 'n':
      return scan_literal(text, at, "null").error;
    case '[':
    case '{':
      return std::nullopt;
    default:
      break;
  }
  if (text[at] == '-' || is_digit(text[at])) {
    const Scan number = scan_number(text, at);
    if (number.error) return number.error;
    return SyntaxError{"number out of range", number.end, false};
  }
  return refused("expected value", at);
}

// A key starting at `at`, then its colon and value.
Outcome member_error(std::string_view text, std::size_t at) {
  const Scan key = scan_string(text, at);
  if (key.error) return key.error;
  return diagnose(text, key.end, Expect::Colon);
}

}  // namespace

std::optional<SyntaxError> diagnose(std::string_view text, std::size_t from, Expect expect) {
  const std::size_t i = skip_white(text, std::min(from, text.size()));
  const bool end = i >= text.size();
  switch (expect) {
    case Expect::Value:
      return value_error(text, i);
    case Expect::FirstMember:
      if (end) return at_end(text, kEofObject);
      if (text[i] == '}') return std::nullopt;
      if (text[i] == '"') return member_error(text, i);
      return refused("key must be a string", i);
    case Expect::Colon:
      if (end) return at_end(text, kEofObject);
      if (text[i] != ':') return refused("expected `:`", i);
      return value_error(text, skip_white(text, i + 1));
    case Expect::FirstElement:
      if (end) return at_end(text, kEofList);
      if (text[i] == ']') return std::nullopt;
      return value_error(text, i);
    case Expect::AfterMember: {
      if (end) return at_end(text, kEofObject);
      if (text[i] == '}') return std::nullopt;
      if (text[i] != ',') return refused("expected `,` or `}`", i);
      const std::size_t next = skip_white(text, i + 1);
      if (next >= text.size()) return at_end(text, kEofValue);
      if (text[next] == '"') return member_error(text, next);
      if (text[next] == '}') return refused("trailing comma", next);
      return refused("key must be a string", next);
    }
    case Expect::AfterElement: {
      if (end) return at_end(text, kEofList);
      if (text[i] == ']') return std::nullopt;
      if (text[i] != ',') return refused("expected `,` or `]`", i);
      const std::size_t next = skip_white(text, i + 1);
      if (next < text.size() && text[next] == ']') return refused("trailing comma", next);
      return value_error(text, next);
    }
    case Expect::End:
      if (end) return std::nullopt;
      return refused("trailing characters", i);
  }
  return std::nullopt;
}

Position consumed_position(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  const auto lines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_feed = before.rfind('\n');
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  return Position{lines + 1, before.size() - line_start};
}

Position peeked_position(std::string_view text, std::size_t offset) {
  if (offset >= text.size()) return consumed_position(text, text.size());
  Position position = consumed_position(text, offset);
  ++position.column;
  return position;
}

Position error_position(std::string_view text, const SyntaxError& error) {
  return error.peeked ? peeked_position(text, error.offset) : consumed_position(text, error.offset);
}

}  // namespace tarnwick::json::syntax
