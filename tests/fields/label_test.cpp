// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "fields/fields.hpp"
#include "support/support.hpp"

namespace tarnwick::fields {
namespace {

// Names each parameterised case after its `name` member.
std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

struct LabelCase {
  const char* name;
  std::string label;
  bool accepted;
};

class ValidateLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(ValidateLabel, AppliesTheRule) {
  const LabelCase& c = GetParam();
  const auto result = validate_label(c.label);
  EXPECT_EQ(result.has_value(), c.accepted);
  if (!result) {
    EXPECT_EQ(result.error(), "filesystem label is too long or contains control characters");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Length, ValidateLabel,
    ::testing::Values(LabelCase{"empty", "", true}, LabelCase{"ascii_48", repeat("a", 48), true},
                      LabelCase{"ascii_49", repeat("a", 49), false},
                      // Characters count, not bytes: 96 and 192 bytes pass.
                      LabelCase{"two_byte_48", repeat("\xc3\xa9", 48), true},
                      LabelCase{"two_byte_49", repeat("\xc3\xa9", 49), false},
                      LabelCase{"four_byte_48", repeat("\xf0\x9f\x94\x92", 48), true},
                      LabelCase{"four_byte_49", repeat("\xf0\x9f\x94\x92", 49), false},
                      LabelCase{"not_utf8", "ab\xff", false}),
    testing::CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Characters, ValidateLabel,
    ::testing::Values(
        LabelCase{"nul", std::string("a\0b", 3), false}, LabelCase{"tab", "my\tdisk", false},
        LabelCase{"line_feed", "disk\n", false}, LabelCase{"unit_separator_1f", "a\x1f", false},
        LabelCase{"delete_7f", "a\x7f", false}, LabelCase{"next_line_0085", "a\xc2\x85z", false},
        LabelCase{"c1_last_009f", "\xc2\x9f", false},
        LabelCase{"control_after_48_allowed_chars_still_too_long", repeat("a", 48) + "\n", false},
        LabelCase{"tilde_7e", "~", true}, LabelCase{"no_break_space_00a0", "a\xc2\xa0z", true},
        LabelCase{"spaces_and_slash", "My Backup / 2024", true},
        LabelCase{"non_latin", "\xd0\x94\xd0\xb8\xd1\x81\xd0\xba", true},
        LabelCase{"line_separator_2028", "a\xe2\x80\xa8z", true}),
    testing::CaseName{});

}  // namespace
}  // namespace tarnwick::fields
