// SPDX-License-Identifier: MIT
// The JSON reader shared by the request decoder and the `lsblk` decoder: a
// layer over nlohmann/json's SAX parser that hands typed events to a
// decoder, keeps exact positions, enforces the nesting limit and words every
// error itself. No document tree is built: memory stays proportional to what
// the decoder chooses to keep.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace tarnwick::json {

// Arrays and objects may nest this deep, the outermost counting as level 1.
inline constexpr std::size_t kMaxDepth = 127;

// Line counted from 1; column = bytes consumed on that line.
struct Position {
  std::size_t line = 1;
  std::size_t column = 0;
  bool operator==(const Position&) const = default;
};

// " at line L column C".
std::string position_suffix(Position position);

// One scalar as the reader delivers it. A string refers to the reader's own
// buffer, valid only during the call: move it out, or copy it and wipe the
// buffer when it is secret.
using Scalar =
    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string*>;

enum class Container { Object, Array };

// What a decoder wants after an event. Skip after a key: the member's value
// is read and validated but not delivered. Skip after the start of an array
// or object: its content and its end are read and validated but not
// delivered. Elsewhere Skip means Continue.
enum class Flow { Continue, Skip };

// A decoder's refusal. Errors found while reading carry the reader's
// position; errors about values a decoder set aside earlier carry none.
struct Failure {
  std::string message;
  bool positioned = true;
};

using Reaction = std::expected<Flow, Failure>;

// Receives the events of one document in order. The first Failure stops
// the reader; nothing after it is looked at.
class Handler {
 public:
  virtual ~Handler() = default;
  // Position of a refusal: just after the scalar.
  virtual Reaction on_scalar(const Scalar& value) = 0;
  // Position: just before the bracket (the reader does not enter it).
  virtual Reaction on_begin(Container kind) = 0;
  // Position: just after the key's closing quote. `key` may be moved from.
  virtual Reaction on_key(std::string& key) = 0;
  // Position: just after the closing bracket.
  virtual Reaction on_end(Container kind) = 0;
};

// Reads exactly one JSON value, optionally surrounded by JSON white space,
// and feeds its events to the handler. The error is the first problem found
// while reading, with its position suffix unless the handler said otherwise.
std::expected<void, std::string> read_document(std::string_view text, Handler& handler);

// ---- Renderings of an offending value ("invalid type: {}, expected {}") ----

// "null", "boolean `true`", "integer `-5`", "floating point `1.5`",
// "string \"a\\\"b\"".
std::string describe(const Scalar& value);
// "map" or "sequence".
std::string_view describe(Container kind);
// The text after "string ": quoted, with `"`, `\`, tab, CR, LF and NUL
// escaped by a backslash and other control characters as \u{XX}.
std::string quote(std::string_view text);
// Shortest decimal that reads back as the same double: "2500.0", "0.001234",
// "1e16", "1.5e-7", "-0.0".
std::string float_text(double value);

// ---- Message templates ----

std::string invalid_type(std::string_view unexpected, std::string_view expected);
std::string invalid_value(std::string_view unexpected, std::string_view expected);
std::string invalid_length(std::size_t length, std::string_view expected);
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// "unknown variant `x`, expected one of `a`, `b`".
std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants);

// ---- Typed reads of a scalar ----

// Expected kinds of the typed reads.
inline constexpr std::string_view kExpectString = "a string";
inline constexpr std::string_view kExpectBool = "a boolean";
inline constexpr std::string_view kExpectU64 = "u64";

// A string (moved out of the reader's buffer); anything else is an invalid
// type against `expected`.
std::expected<std::string, std::string> take_string(const Scalar& value,
                                                    std::string_view expected = kExpectString);
std::expected<bool, std::string> read_bool(const Scalar& value,
                                           std::string_view expected = kExpectBool);
// Negative integers are an invalid value, fractions and strings an invalid type.
std::expected<std::uint64_t, std::string> read_u64(const Scalar& value);

inline bool is_null(const Scalar& value) { return std::holds_alternative<std::nullptr_t>(value); }

// ---- Member bookkeeping ----

// The fields of one object: which names are listed, which were met.
template <std::size_t N>
class FieldSet {
 public:
  explicit constexpr FieldSet(const std::array<std::string_view, N>& names) : names_(names) {}

  // The field's index, or nothing for a name that is not listed.
  std::optional<std::size_t> find(std::string_view name) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (names_[i] == name) return i;
    }
    return std::nullopt;
  }
  // Records that the field was met; "duplicate field" when it was before.
  std::expected<void, std::string> mark(std::size_t index) {
    if (seen_.test(index)) return std::unexpected(duplicate_field(names_[index]));
    seen_.set(index);
    return {};
  }
  bool seen(std::size_t index) const { return seen_.test(index); }
  // "missing field" for the first of `required` (in list order) not met.
  std::expected<void, std::string> require(std::span<const std::size_t> required) const {
    for (const std::size_t index : required) {
      if (!seen_.test(index)) return std::unexpected(missing_field(names_[index]));
    }
    return {};
  }

 private:
  const std::array<std::string_view, N>& names_;
  std::bitset<N> seen_;
};

}  // namespace tarnwick::json
