// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "json/json_reader.hpp"

namespace tarnwick::json {
namespace {

// Records every event as a short token; can refuse the n-th event, and
// skips members named "skip" and containers right after a key "skipbox".
class Recorder final : public Handler {
 public:
  std::vector<std::string> events;
  std::optional<std::size_t> refuse_at;  // index of the event to refuse
  bool refuse_unpositioned = false;

  Reaction on_scalar(const Scalar& value) override {
    std::string token;
    if (const auto* s = std::get_if<std::string*>(&value)) {
      token = "s:" + **s;
    } else if (const auto* d = std::get_if<double>(&value)) {
      token = "f:" + float_text(*d);
    } else {
      token = describe(value);
    }
    return record(token);
  }
  Reaction on_begin(Container kind) override {
    return record(kind == Container::Object ? "{" : "[");
  }
  Reaction on_key(std::string& key) override {
    auto reaction = record("k:" + key);
    if (reaction && key == "skip") return Flow::Skip;
    return reaction;
  }
  Reaction on_end(Container kind) override { return record(kind == Container::Object ? "}" : "]"); }

 private:
  Reaction record(std::string token) {
    events.push_back(std::move(token));
    if (refuse_at && events.size() - 1 == *refuse_at) {
      return std::unexpected(Failure{"refused " + events.back(), !refuse_unpositioned});
    }
    return Flow::Continue;
  }
};

std::string read_error(std::string_view text) {
  Recorder recorder;
  const auto result = read_document(text, recorder);
  return result ? std::string("ok") : result.error();
}

struct SyntaxCase {
  std::string text;
  std::string message;
};

TEST(ReadDocument, SyntaxErrorsNameTheFirstBadByte) {
  const std::vector<SyntaxCase> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\n\n  ", "EOF while parsing a value at line 3 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"{\"ab", "EOF while parsing a string at line 1 column 4"},
      {"\"a\\", "EOF while parsing a string at line 1 column 3"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"x", "expected value at line 1 column 1"},
      {"  }", "expected value at line 1 column 3"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"tRue", "expected value at line 1 column 2"},
      {"nul!", "expected value at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1, ]", "trailing comma at line 1 column 5"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1eX", "invalid number at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"[-012]", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400 ]", "number out of range at line 1 column 7"},
      {"\"\\uDC00\"", "invalid unicode code point at line 1 column 7"},
      {"\"\\uD800x\"", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"a\0b\"", 5),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xC3\x28\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 2"},
      {"{} {}", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{}\n\n  x", "trailing characters at line 3 column 3"},
      {std::string("{}\0", 3), "trailing characters at line 1 column 3"},
      {std::string("[1,\0]", 5), "expected value at line 1 column 4"},
      {std::string("{\"a\":1\0}", 8), "expected `,` or `}` at line 1 column 7"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"{\n  \"a\": [1,\n    tru\n", "expected value at line 3 column 8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_error(c.text), c.message) << "input: " << c.text;
  }
}

TEST(ReadDocument, AcceptsSurroundingWhiteSpaceAndEscapes) {
  Recorder recorder;
  ASSERT_TRUE(
      read_document(" \t\r\n{\"a\\u00e9\\ud83d\\ude00\":[true,null,\"x\\n\"]}\r\n ", recorder));
  const std::vector<std::string> expected = {
      "{", "k:a\xC3\xA9\xF0\x9F\x98\x80", "[", "boolean `true`", "null", "s:x\n", "]", "}"};
  EXPECT_EQ(recorder.events, expected);
}

struct NumberCase {
  std::string text;
  std::string event;
};

TEST(ReadDocument, ClassifiesNumbers) {
  const std::vector<NumberCase> cases = {
      {"0", "integer `0`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"18446744073709551616", "f:1.8446744073709552e19"},
      {"-5", "integer `-5`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"-9223372036854775809", "f:-9.223372036854776e18"},
      {"-0", "f:-0.0"},
      {"-0.0", "f:-0.0"},
      {"0.0", "f:0.0"},
      {"1.5", "f:1.5"},
      {"25e2", "f:2500.0"},
      {"1e-400", "f:0.0"},
  };
  for (const auto& c : cases) {
    Recorder recorder;
    ASSERT_TRUE(read_document(c.text, recorder)) << c.text;
    ASSERT_EQ(recorder.events.size(), 1u) << c.text;
    EXPECT_EQ(recorder.events[0], c.event) << c.text;
  }
}

struct RefusalCase {
  std::string text;
  std::size_t event;
  std::string message;
};

// Where a decoder's refusal is placed, event by event.
TEST(ReadDocument, PlacesRefusalsAfterScalarsBeforeBracketsAfterKeysAndEnds) {
  const std::vector<RefusalCase> cases = {
      {"{\"op\":5}", 2, "refused integer `5` at line 1 column 7"},
      {"{\"op\":5", 2, "refused integer `5` at line 1 column 7"},
      {"5", 0, "refused integer `5` at line 1 column 1"},
      {"  -12.5e1  ", 0, "refused f:-125.0 at line 1 column 9"},
      {"{\"op\":true}", 2, "refused boolean `true` at line 1 column 10"},
      {"{\"op\":\"x\"}", 2, "refused s:x at line 1 column 9"},
      {"{\"op\": {}}", 2, "refused { at line 1 column 7"},
      {"{\"op\":[1]}", 2, "refused [ at line 1 column 6"},
      {"{\"op\" :1}", 1, "refused k:op at line 1 column 5"},
      {"{}", 1, "refused } at line 1 column 2"},
      {"{\"a\":[]  }", 4, "refused } at line 1 column 10"},
      {"{\n\"a\":\n[1,\n2]}", 4, "refused integer `2` at line 4 column 1"},
  };
  for (const auto& c : cases) {
    Recorder recorder;
    recorder.refuse_at = c.event;
    const auto result = read_document(c.text, recorder);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error(), c.message) << c.text;
  }
}

TEST(ReadDocument, UnpositionedRefusalCarriesNoSuffix) {
  Recorder recorder;
  recorder.refuse_at = 1;
  recorder.refuse_unpositioned = true;
  EXPECT_EQ(read_document("{} trailing", recorder).error(), "refused }");
}

TEST(ReadDocument, FirstErrorFoundWins) {
  // A refusal beats a later syntax error and later trailing text ...
  Recorder recorder;
  recorder.refuse_at = 2;
  EXPECT_EQ(read_document("{\"a\":1,,,", recorder).error(),
            "refused integer `1` at line 1 column 6");
  Recorder trailing;
  trailing.refuse_at = 1;
  EXPECT_EQ(read_document("{} x", trailing).error(), "refused } at line 1 column 2");
  // ... and a syntax error before the refused event wins over it.
  Recorder early;
  early.refuse_at = 3;
  EXPECT_EQ(read_document("{\"a\":1 2}", early).error(), "expected `,` or `}` at line 1 column 8");
}

TEST(ReadDocument, SkippedValuesAreValidatedButNotDelivered) {
  Recorder recorder;
  ASSERT_TRUE(read_document(R"({"skip":{"a":[1,{"b":null}]},"c":1,"skip":7})", recorder));
  const std::vector<std::string> expected = {"{", "k:skip", "k:c", "integer `1`", "k:skip", "}"};
  EXPECT_EQ(recorder.events, expected);

  EXPECT_EQ(read_error(R"({"skip":[1,2,]})"), "trailing comma at line 1 column 14");
  EXPECT_EQ(read_error(R"({"skip":"\q"})"), "invalid escape at line 1 column 11");
  EXPECT_EQ(read_error(R"({"skip":01})"), "invalid number at line 1 column 10");
}

// Looks at the reader's string buffer after the string event is over.
class BufferInspector final : public Handler {
 public:
  std::string* buffer = nullptr;
  bool wiped = false;
  Reaction on_scalar(const Scalar& value) override {
    buffer = std::get<std::string*>(value);
    return Flow::Continue;
  }
  Reaction on_begin(Container) override { return Flow::Continue; }
  Reaction on_key(std::string&) override { return Flow::Skip; }
  Reaction on_end(Container) override {
    if (buffer == nullptr) return Flow::Continue;
    const std::string_view bytes(buffer->data(), buffer->capacity());
    wiped = buffer->empty() && bytes.find_first_not_of('\0') == std::string_view::npos;
    return Flow::Continue;
  }
};

TEST(ReadDocument, StringBufferIsWipedAfterEachString) {
  BufferInspector inspector;
  ASSERT_TRUE(read_document(R"(["a passphrase longer than the inline buffer"])", inspector));
  EXPECT_TRUE(inspector.wiped);
}

std::string nested(std::size_t depth, std::string_view open, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ReadDocument, NestingStopsAt127Levels) {
  EXPECT_EQ(read_error(nested(127, "[", "]")), "ok");
  EXPECT_EQ(read_error(nested(128, "[", "]")), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 126; ++i) objects += "{\"a\":";
  objects += "{}" + std::string(126, '}');
  EXPECT_EQ(read_error(objects), "ok");
  EXPECT_EQ(read_error("{\"a\":" + objects + "}"), "recursion limit exceeded at line 1 column 636");
  // Skipped content counts too: the object is level 1, the skipped value level 2.
  EXPECT_EQ(read_error("{\"skip\":" + nested(126, "[", "]") + "}"), "ok");
  EXPECT_EQ(read_error("{\"skip\":" + nested(127, "[", "]") + "}"),
            "recursion limit exceeded at line 1 column 135");
  // The limit is checked where the bracket is met, before the rest is read.
  EXPECT_EQ(read_error(std::string(200, '[')), "recursion limit exceeded at line 1 column 128");
}

struct FloatCase {
  double value;
  std::string text;
};

TEST(FloatText, ShortestRoundTripWithFixedLayout) {
  const std::vector<FloatCase> cases = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.5, "1.5"},
      {-1.5, "-1.5"},
      {2500.0, "2500.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1.5e-7, "1.5e-7"},
      {0.001234, "0.001234"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {1e300, "1e300"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {1234567890123456.7, "1234567890123456.8"},
      {12345678901234567.0, "1.2345678901234568e16"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text);
}

TEST(Describe, RendersEveryKind) {
  std::string text = "a\"b\\c\td\re\nf";
  text.push_back('\0');
  text += "\x1b\x7f\x01/\xC3\xA9";
  EXPECT_EQ(describe(Scalar{&text}), R"(string "a\"b\\c\td\re\nf\0\u{1b}\u{7f}\u{1}/)"
                                     "\xC3\xA9\"");
  EXPECT_EQ(describe(Scalar{nullptr}), "null");
  EXPECT_EQ(describe(Scalar{false}), "boolean `false`");
  EXPECT_EQ(describe(Scalar{std::uint64_t{7}}), "integer `7`");
  EXPECT_EQ(describe(Scalar{std::int64_t{-7}}), "integer `-7`");
  EXPECT_EQ(describe(Scalar{0.5}), "floating point `0.5`");
  EXPECT_EQ(describe(Container::Object), "map");
  EXPECT_EQ(describe(Container::Array), "sequence");
}

TEST(TypedReads, ExpectedKindsAndRenderings) {
  std::string text = "123";
  EXPECT_EQ(read_u64(Scalar{&text}).error(), "invalid type: string \"123\", expected u64");
  EXPECT_EQ(read_u64(Scalar{std::int64_t{-5}}).error(),
            "invalid value: integer `-5`, expected u64");
  EXPECT_EQ(read_u64(Scalar{1.5}).error(), "invalid type: floating point `1.5`, expected u64");
  EXPECT_EQ(read_u64(Scalar{std::uint64_t{9}}).value(), 9u);
  EXPECT_EQ(read_bool(Scalar{std::uint64_t{1}}).error(),
            "invalid type: integer `1`, expected a boolean");
  EXPECT_EQ(read_bool(Scalar{nullptr}).error(), "invalid type: null, expected a boolean");
  EXPECT_EQ(take_string(Scalar{true}, "path string").error(),
            "invalid type: boolean `true`, expected path string");
  EXPECT_EQ(take_string(Scalar{&text}).value(), "123");
}

TEST(FieldSet, DetectsDuplicatesAndTheFirstMissingField) {
  static constexpr std::array<std::string_view, 3> names = {"name", "path", "size"};
  FieldSet<3> fields(names);
  EXPECT_EQ(fields.find("path"), 1u);
  EXPECT_EQ(fields.find("Path"), std::nullopt);
  ASSERT_TRUE(fields.mark(2));
  EXPECT_EQ(fields.mark(2).error(), "duplicate field `size`");
  const std::array<std::size_t, 2> required = {0, 1};
  EXPECT_EQ(fields.require(required).error(), "missing field `name`");
  ASSERT_TRUE(fields.mark(0));
  EXPECT_EQ(fields.require(required).error(), "missing field `path`");
}

TEST(Messages, Templates) {
  const std::array<std::string_view, 3> names = {"ext4", "btrfs", "xfs"};
  EXPECT_EQ(unknown_variant("zfs", names),
            "unknown variant `zfs`, expected one of `ext4`, `btrfs`, `xfs`");
  EXPECT_EQ(invalid_length(1, "struct variant Request::Wipe with 2 elements"),
            "invalid length 1, expected struct variant Request::Wipe with 2 elements");
  EXPECT_EQ(position_suffix(Position{3, 5}), " at line 3 column 5");
}

}  // namespace
}  // namespace tarnwick::json
