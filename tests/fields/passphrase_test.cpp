// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fields/fields.hpp"
#include "support/support.hpp"

namespace tarnwick::fields {
namespace {

// Names each parameterised case after its `name` member.
using Bytes = std::vector<std::uint8_t>;

std::optional<Bytes> decoded(std::string_view text) {
  auto result = decode_passphrase(text);
  if (!result) {
    return std::nullopt;
  }
  return Bytes(result->begin(), result->end());
}

struct DecodeCase {
  const char* name;
  std::string input;
  Bytes expected;
};

class DecodePassphrase : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodePassphrase, YieldsExpectedBytes) {
  const DecodeCase& c = GetParam();
  const auto result = decoded(c.input);
  ASSERT_TRUE(result.has_value()) << c.name;
  EXPECT_EQ(*result, c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Layout, DecodePassphrase,
    ::testing::Values(DecodeCase{"empty", "", {}},
                      DecodeCase{"only_skipped_bytes", "= \t\n\f\r==", {}},
                      DecodeCase{"one_char", "Q", {}}, DecodeCase{"two_chars", "QQ", {0x41}},
                      DecodeCase{"three_chars", "QUI", {0x41, 0x42}},
                      DecodeCase{"four_chars", "QUJD", {0x41, 0x42, 0x43}},
                      DecodeCase{"five_chars", "QUJDR", {0x41, 0x42, 0x43}},
                      DecodeCase{"two_chars_padded", "QQ==", {0x41}},
                      DecodeCase{"two_chars_split_by_space", "Q Q", {0x41}},
                      DecodeCase{"two_chars_one_pad_and_newline", "QQ=\n", {0x41}},
                      DecodeCase{"padding_in_the_middle", "QU=JD", {0x41, 0x42, 0x43}},
                      DecodeCase{"leading_padding", "==QUJD", {0x41, 0x42, 0x43}},
                      // "QQ==" and "Qg==" each stand for one byte, but the stream runs on
                      // across the padding: 24 bits, three bytes.
                      DecodeCase{
                          "two_padded_groups_form_one_stream", "QQ==Qg==", {0x41, 0x04, 0x20}},
                      DecodeCase{"every_white_space_kind", "\tQ\nU\fJ\rD ", {0x41, 0x42, 0x43}},
                      DecodeCase{"trailing_bits_not_zero_are_dropped", "QR", {0x41}},
                      DecodeCase{"line_feed_and_nul_in_passphrase", "CgBh", {0x0A, 0x00, 0x61}},
                      DecodeCase{"alphabet_edges", "+/+/", {0xFB, 0xFF, 0xBF}},
                      DecodeCase{"all_zero_bits", "AAAA", {0x00, 0x00, 0x00}}),
    testing::CaseName{});

struct InvalidCase {
  const char* name;
  std::string input;
};

class DecodePassphraseInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(DecodePassphraseInvalid, FailsWithTheOneText) {
  const auto result = decode_passphrase(GetParam().input);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "invalid base64 byte");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DecodePassphraseInvalid,
    ::testing::Values(InvalidCase{"url_safe_minus", "QU-D"},
                      InvalidCase{"url_safe_underscore", "_UJD"}, InvalidCase{"dot", "QUJD."},
                      InvalidCase{"vertical_tab_first", "\vQUJD"},
                      InvalidCase{"vertical_tab_last", "QUJD\v"},
                      InvalidCase{"nul_byte", std::string("QU\0JD", 5)},
                      InvalidCase{"byte_0x80", "QUJD\x80"}, InvalidCase{"byte_0xff", "\xffQUJD"},
                      InvalidCase{"utf8_letter", "QUJD\xc3\xa9"},
                      InvalidCase{"after_much_valid_output", std::string(4000, 'A') + "!"}),
    testing::CaseName{});

// A strict RFC 4648 coder, written independently, as the reference.
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string strict_encode(const Bytes& bytes) {
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                            std::uint32_t{bytes[i + 2]};
    for (int shift = 18; shift >= 0; shift -= 6) {
      out.push_back(kAlphabet[(v >> shift) & 0x3F]);
    }
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out += "==";
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out.push_back(kAlphabet[(v >> 6) & 0x3F]);
    out += "=";
  }
  return out;
}

// Accepts only canonical padded text; nullopt otherwise.
std::optional<Bytes> strict_decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  Bytes out;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::uint32_t v = 0;
    int pads = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[group + k];
      if (c == '=') {
        if (!last || k < 2) return std::nullopt;
        ++pads;
        v <<= 6;
        continue;
      }
      if (pads > 0) return std::nullopt;
      const auto pos = kAlphabet.find(c);
      if (pos == std::string_view::npos) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(pos);
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pads < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pads < 1) out.push_back(static_cast<std::uint8_t>(v));
    if ((pads == 2 && (v & 0xFFFF) != 0) || (pads == 1 && (v & 0xFF) != 0)) return std::nullopt;
  }
  return out;
}

TEST(DecodePassphraseProperty, AgreesWithStrictDecoderUnderAnyLayout) {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 70);
  constexpr std::string_view kLayout = "\t\n\f\r =";
  std::uniform_int_distribution<std::size_t> layout_pick(0, kLayout.size() - 1);
  std::uniform_int_distribution<int> chance(0, 3);

  for (int round = 0; round < 2000; ++round) {
    Bytes original(static_cast<std::size_t>(length(random)));
    for (auto& b : original) b = static_cast<std::uint8_t>(byte(random));

    const std::string padded = strict_encode(original);
    const auto reference = strict_decode(padded);
    ASSERT_TRUE(reference.has_value());
    ASSERT_EQ(*reference, original) << "reference coder broken";

    EXPECT_EQ(decoded(padded), reference) << padded;

    std::string unpadded = padded;
    std::erase(unpadded, '=');
    EXPECT_EQ(decoded(unpadded), reference) << unpadded;

    std::string spread;
    for (const char c : padded) {
      while (chance(random) == 0) spread.push_back(kLayout[layout_pick(random)]);
      spread.push_back(c);
    }
    while (chance(random) == 0) spread.push_back(kLayout[layout_pick(random)]);
    EXPECT_EQ(decoded(spread), reference) << spread;
  }
}

}  // namespace
}  // namespace tarnwick::fields
