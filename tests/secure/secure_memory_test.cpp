// SPDX-License-Identifier: MIT
#include "secure/secure_memory.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarnwick::secure {
namespace {

TEST(SecureZeroize, ZeroesTheWholeCapacity) {
  SecretBytes bytes;
  bytes.reserve(64);
  bytes.assign(10, 0xAB);
  const std::uint8_t* storage = bytes.data();
  const std::size_t capacity = bytes.capacity();
  zeroize(bytes);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(bytes.capacity(), capacity);
  EXPECT_TRUE(std::all_of(storage, storage + capacity, [](std::uint8_t b) { return b == 0; }));

  SecretString text(40, 'p');
  const char* chars = text.data();
  zeroize(text);
  EXPECT_TRUE(std::all_of(chars, chars + 40, [](char c) { return c == 0; }));
}

}  // namespace
}  // namespace tarnwick::secure
