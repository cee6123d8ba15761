// SPDX-License-Identifier: MIT
// Renderings of offending values, the message templates and the typed reads.

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "base/base.hpp"
#include "json/json_reader.hpp"
#include "text/text.hpp"

namespace tarnwick::json {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

}  // namespace

std::string float_text(double value) {
  const std::string sign = std::signbit(value) ? "-" : "";
  if (value == 0) return sign + "0.0";
  // Scientific form with the fewest digits that read back as `value`:
  // "[-]d[.ddd]e[+-]xx".
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                                    std::chars_format::scientific);
  const std::string_view scientific(buffer.data(),
                                    static_cast<std::size_t>(result.ptr - buffer.data()));
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  const std::string_view exponent_text = scientific.substr(e + 1);
  const char* exponent_begin = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
  std::from_chars(exponent_begin, exponent_text.data() + exponent_text.size(), exponent);

  // value = 0.d1...dn * 10^k
  const int k = exponent + 1;
  const auto n = static_cast<int>(digits.size());
  if (k > 0 && k <= 16) {
    if (n <= k) return sign + digits + std::string(static_cast<std::size_t>(k - n), '0') + ".0";
    return sign + digits.substr(0, static_cast<std::size_t>(k)) + "." +
           digits.substr(static_cast<std::size_t>(k));
  }
  if (k > -5 && k <= 0)
    return sign + "0." + std::string(static_cast<std::size_t>(-k), '0') + digits;
  std::string text = sign + digits.substr(0, 1);
  if (n > 1) text += "." + digits.substr(1);
  return text + "e" + std::to_string(k - 1);
}

std::string quote(std::string_view text) {
  std::string quoted = "\"";
  quoted.reserve(text.size() + 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\0':
        quoted += "\\0";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          quoted += "\\u{";
          if (byte >= 0x10) quoted += kHexDigits[byte >> 4];
          quoted += kHexDigits[byte & 0x0F];
          quoted += '}';
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

std::string describe(const Scalar& value) {
  return std::visit(
      base::Overloaded{
          [](std::nullptr_t) -> std::string { return "null"; },
          [](bool b) -> std::string { return b ? "boolean `true`" : "boolean `false`"; },
          [](std::uint64_t u) { return "integer `" + std::to_string(u) + "`"; },
          [](std::int64_t i) { return "integer `" + std::to_string(i) + "`"; },
          [](double d) { return "floating point `" + float_text(d) + "`"; },
          [](std::string* s) { return text::concat({"string ", quote(*s)}); },
      },
      value);
}

std::string_view describe(Container kind) { return kind == Container::Object ? "map" : "sequence"; }

std::string invalid_type(std::string_view unexpected, std::string_view expected) {
  return text::concat({"invalid type: ", unexpected, ", expected ", expected});
}

std::string invalid_value(std::string_view unexpected, std::string_view expected) {
  return text::concat({"invalid value: ", unexpected, ", expected ", expected});
}

std::string invalid_length(std::size_t length, std::string_view expected) {
  return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) {
  return text::concat({"missing field `", name, "`"});
}

std::string duplicate_field(std::string_view name) {
  return text::concat({"duplicate field `", name, "`"});
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants) {
  std::string expected;
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) expected += ", ";
    expected += "`" + std::string(variants[i]) + "`";
  }
  return text::concat({"unknown variant `", name, "`, expected one of ", expected});
}

std::expected<std::string, std::string> take_string(const Scalar& value,
                                                    std::string_view expected) {
  if (auto* const* text = std::get_if<std::string*>(&value)) return std::move(**text);
  return std::unexpected(invalid_type(describe(value), expected));
}

std::expected<bool, std::string> read_bool(const Scalar& value, std::string_view expected) {
  if (const bool* b = std::get_if<bool>(&value)) return *b;
  return std::unexpected(invalid_type(describe(value), expected));
}

std::expected<std::uint64_t, std::string> read_u64(const Scalar& value) {
  if (const auto* u = std::get_if<std::uint64_t>(&value)) return *u;
  if (std::holds_alternative<std::int64_t>(value)) {
    return std::unexpected(invalid_value(describe(value), kExpectU64));
  }
  return std::unexpected(invalid_type(describe(value), kExpectU64));
}

}  // namespace tarnwick::json
