// SPDX-License-Identifier: MIT
#include "text/text.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace tarnwick::text {
namespace {

struct Utf8Case {
  std::string bytes;
  bool valid;
  std::string lossy;
};

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, AgreesWithTheStandard) {
  const auto& c = GetParam();
  EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  EXPECT_EQ(decode_utf8_lossy(c.bytes), c.lossy);
  EXPECT_EQ(decode_utf8(c.bytes).has_value(), c.valid);
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Utf8Validation,
    ::testing::Values(
        Utf8Case{"", true, ""}, Utf8Case{"plain ascii", true, "plain ascii"},
        Utf8Case{"\xC2\x80", true, "\xC2\x80"},                  // smallest two-byte
        Utf8Case{"\xC1\xBF", false, kFffd + kFffd},              // overlong lead
        Utf8Case{"\xE0\x9F\xBF", false, kFffd + kFffd + kFffd},  // overlong three-byte
        Utf8Case{"\xE0\xA0\x80", true, "\xE0\xA0\x80"},
        Utf8Case{"\xED\xA0\x80", false, kFffd + kFffd + kFffd},  // surrogate
        Utf8Case{"\xED\x9F\xBF", true, "\xED\x9F\xBF"},
        Utf8Case{"\xF0\x8F\xBF\xBF", false, kFffd + kFffd + kFffd + kFffd},
        Utf8Case{"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        Utf8Case{"\xF4\x90\x80\x80", false, kFffd + kFffd + kFffd + kFffd},
        Utf8Case{"\xF5", false, kFffd}, Utf8Case{"\xFF", false, kFffd},
        Utf8Case{"\x80", false, kFffd},                    // stray continuation
        Utf8Case{"\xF0\x9F\x98\x41", false, kFffd + "A"},  // truncated, then fresh byte
        Utf8Case{"ab\xE2\x82", false, "ab" + kFffd},       // truncated at end
        Utf8Case{"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"}));

TEST(WhiteSpace, BlankLinesUseTheUnicodeProperty) {
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank(" \t\r\v\f"));
  EXPECT_TRUE(is_blank("\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x8A\xE2\x80\xA8\xE3\x80\x80"));
  EXPECT_FALSE(is_blank("\xE2\x80\x8B"));  // zero width space is not White_Space
  EXPECT_FALSE(is_blank(" x "));
  EXPECT_FALSE(is_blank("\xFF"));
}

TEST(Tables, LinesAndFields) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_lines("a\r\nb\n\nc"), (V{"a", "b", "", "c"}));
  EXPECT_EQ(split_lines("a\n"), (V{"a"}));
  EXPECT_EQ(split_lines(""), (V{}));
  EXPECT_EQ(split_lines("a\r\r\n"), (V{"a\r"}));
  EXPECT_EQ(split_fields("  /dev/sdb1 \t /\xC2\xA0"
                         "ext4  "),
            (V{"/dev/sdb1", "/", "ext4"}));
  EXPECT_EQ(split_fields(""), (V{}));
  EXPECT_EQ(trim_white_space("\xE3\x80\x80 # x \t"), "# x");
  EXPECT_EQ(trim_white_space(" \t"), "");
}

TEST(OsErrors, CarryTheNumber) {
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

TEST(Concat, JoinsInOneBufferOfTheExactSize) {
  EXPECT_EQ(concat({}), "");
  EXPECT_EQ(concat({"device not found: ", "", "/dev/sdb"}), "device not found: /dev/sdb");
  // A request's text echoed in a message: no second, doubled buffer, which
  // for a 1 MiB name is what pushed the helper's peak memory up.
  const std::string name(1U << 20U, 'x');
  const std::string joined = concat({"invalid type: ", name, ", expected a string"});
  EXPECT_EQ(joined.size(), name.size() + 33);
  EXPECT_EQ(joined.capacity(), joined.size());
  EXPECT_TRUE(joined.ends_with("x, expected a string"));
}

}  // namespace
}  // namespace tarnwick::text
