// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "probe/probe.hpp"
#include "support/support.hpp"

namespace tarnwick::probe {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * 1024;
constexpr std::uint64_t kGiB = kMiB * 1024;

bool has(const std::vector<std::uint64_t>& plan, std::uint64_t offset) {
  return std::binary_search(plan.begin(), plan.end(), offset);
}

struct PlanCase {
  const char* name;
  std::uint64_t size;
  std::uint64_t block;
};

class PlanPositions : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanPositions, CoversBoundariesEndsAndTheMinimum) {
  const auto [name, size, block] = GetParam();
  const auto plan = plan_positions(size, block);
  const std::uint64_t blocks = size / block;
  ASSERT_FALSE(plan.empty());
  EXPECT_TRUE(std::is_sorted(plan.begin(), plan.end()));
  EXPECT_EQ(std::set<std::uint64_t>(plan.begin(), plan.end()).size(), plan.size());
  EXPECT_EQ(plan.size() >= kMinimumPositions, blocks >= kMinimumPositions);
  for (const std::uint64_t offset : plan) {
    EXPECT_EQ(offset % block, 0U) << offset;
    EXPECT_LE(offset + block, size) << offset;
  }
  const std::uint64_t last = (blocks - 1) * block;
  EXPECT_TRUE(has(plan, 0));
  EXPECT_TRUE(has(plan, last));
  if (blocks > kMinimumPositions) {
    EXPECT_TRUE(has(plan, std::min(kMiB - block, last)));
    for (std::uint64_t boundary = block; boundary <= last; boundary *= 2) {
      EXPECT_TRUE(has(plan, boundary)) << boundary;
      EXPECT_TRUE(has(plan, boundary - block)) << boundary;
    }
    // Grows with log2 of the size, not with the size.
    EXPECT_LE(plan.size(), 200U);
  } else {
    EXPECT_EQ(plan.size(), blocks);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PlanPositions,
    ::testing::Values(PlanCase{"SixtyFourGiB", 64 * kGiB, 4096},
                      PlanCase{"ClaimedNotPowerOfTwo", 62'008'590'336, 4096},
                      PlanCase{"FourGiB", 4 * kGiB, 4096},
                      PlanCase{"OddSizeWithPartialLastBlock", 100 * kMiB + 1000, 4096},
                      PlanCase{"LogicalBlockLargerThanFourKiB", 1 * kGiB, 8192},
                      PlanCase{"JustAboveTheMinimum", 65 * 4096, 4096},
                      PlanCase{"SmallerThanThePlan", 10 * 4096, 4096},
                      PlanCase{"OneBlock", 4096 + 100, 4096}),
    testing::CaseName{});

TEST(PlanPositions, NothingFitsInLessThanABlock) {
  EXPECT_TRUE(plan_positions(4095, 4096).empty());
  EXPECT_TRUE(plan_positions(0, 4096).empty());
  EXPECT_EQ(probe_block_size(512), 4096U);
  EXPECT_EQ(probe_block_size(8192), 8192U);
}

TEST(ProbeOrders, ReadsArePermutationsOfTheWritesInAnotherOrder) {
  for (const std::size_t count : {1U, 2U, 3U, 10U, 64U, 97U, 150U}) {
    const auto writes = write_order(count);
    const auto reads = read_order(count);
    ASSERT_EQ(writes.size(), count);
    EXPECT_EQ(writes.front(), count - 1) << "top down";
    EXPECT_TRUE(std::is_permutation(reads.begin(), reads.end(), writes.begin()));
    if (count >= 2) {
      EXPECT_NE(reads, writes) << count;
    }
    if (count >= 3) {
      // The last block written is not the first read (two blocks leave no choice).
      EXPECT_NE(reads.front(), writes.back()) << count;
    }
  }
}

TEST(Marker, DecodesOnlyAnIntactMarkerOfThisProbe) {
  const Nonce nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::uint64_t claimed = 64 * kGiB;
  const auto marker = make_marker(nonce, 8 * kGiB, claimed, 4096);
  ASSERT_EQ(marker.size(), 4096U);
  EXPECT_EQ(decode_marker(marker, nonce, claimed, 4096), 8 * kGiB);
  EXPECT_NE(marker, make_marker(nonce, 0, claimed, 4096));

  Nonce other = nonce;
  other[15] ^= 1;
  auto flipped_tail = marker;
  flipped_tail[4000] ^= 0x40;
  auto torn = marker;  // a drive that kept only the first sector
  std::fill(torn.begin() + 512, torn.end(), 0);
  const std::vector<std::uint8_t> zeros(4096, 0);
  EXPECT_EQ(decode_marker(marker, other, claimed, 4096), std::nullopt) << "another probe";
  EXPECT_EQ(decode_marker(marker, nonce, claimed / 2, 4096), std::nullopt) << "another size";
  EXPECT_EQ(decode_marker(flipped_tail, nonce, claimed, 4096), std::nullopt);
  EXPECT_EQ(decode_marker(torn, nonce, claimed, 4096), std::nullopt);
  EXPECT_EQ(decode_marker(zeros, nonce, claimed, 4096), std::nullopt);
  EXPECT_EQ(decode_marker(std::span(marker).first(2048), nonce, claimed, 4096), std::nullopt);
}

// How a simulated drive answers position p (its own marker, another one's,
// garbage, an error), and what the verdict must say.
struct VerdictCase {
  const char* name;
  std::uint64_t claimed;
  std::function<ReadBack(std::uint64_t position)> drive;
  std::optional<std::uint64_t> lowest_failing;
  std::optional<std::uint64_t> highest_good;
};

// What a drive that stores `real` bytes and maps every address above onto
// the address modulo `real` reads back, written from the top down: the
// lowest alias of each block was written last.
std::function<ReadBack(std::uint64_t)> wraps_at(std::uint64_t real) {
  return [real](std::uint64_t p) { return ReadBack::marker(p % real == p ? p : p % real); };
}

class Judge : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Judge, FromReadBacks) {
  const VerdictCase& c = GetParam();
  const auto positions = plan_positions(c.claimed, 4096);
  std::vector<ReadBack> reads;
  for (const std::uint64_t p : positions) {
    reads.push_back(c.drive(p));
  }
  const Verdict verdict = judge(c.claimed, positions, reads);
  EXPECT_EQ(verdict.checked, positions.size());
  EXPECT_EQ(verdict.lowest_failing, c.lowest_failing);
  EXPECT_EQ(verdict.highest_good, c.highest_good);
  EXPECT_EQ(verdict.genuine(), !c.lowest_failing.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Judge,
    ::testing::Values(
        VerdictCase{"Genuine", 16 * kGiB, [](std::uint64_t p) { return ReadBack::marker(p); },
                    std::nullopt, std::nullopt},
        VerdictCase{"WrapsAtHalf", 64 * kGiB, wraps_at(32 * kGiB), 32 * kGiB, 32 * kGiB - 4096},
        VerdictCase{"WrapsAtAnEighth", 64 * kGiB, wraps_at(8 * kGiB), 8 * kGiB, 8 * kGiB - 4096},
        // 7.5 GiB: bounded by the first planned position above it.
        VerdictCase{"WrapsAtANonPowerOfTwo", 64 * kGiB, wraps_at(7 * kGiB + 512 * kMiB),
                    8 * kGiB - 4096, 6 * kGiB},
        VerdictCase{"DropsWritesAboveItsCapacity", 32 * kGiB,
                    [](std::uint64_t p) {
                      return p < 4 * kGiB ? ReadBack::marker(p) : ReadBack::unrecognised();
                    },
                    4 * kGiB, 4 * kGiB - 4096},
        VerdictCase{
            "ReadErrorsAboveItsCapacity", 32 * kGiB,
            [](std::uint64_t p) { return p < 2 * kGiB ? ReadBack::marker(p) : ReadBack::failed(); },
            2 * kGiB, 2 * kGiB - 4096},
        VerdictCase{
            "FailsAtTheVeryFirstBlock", 1 * kGiB,
            [](std::uint64_t p) { return p == 0 ? ReadBack::failed() : ReadBack::marker(p); }, 0,
            std::nullopt},
        // Written bottom-up on such a drive the low block shows the high
        // one's marker: the high address is still the fake one.
        VerdictCase{"AliasSeenFromBelow", 16 * kGiB,
                    [](std::uint64_t p) {
                      return p == 0 ? ReadBack::marker(12 * kGiB) : ReadBack::marker(p);
                    },
                    12 * kGiB, 11 * kGiB + 512 * kMiB}),
    testing::CaseName{});

TEST(FormatSize, BinaryUnitsRoundedDown) {
  EXPECT_EQ(format_size(512), "512 B");
  EXPECT_EQ(format_size(64 * kGiB), "64.0 GiB");
  EXPECT_EQ(format_size(8 * kGiB - 4096), "7.9 GiB");
  EXPECT_EQ(format_size(62'008'590'336), "57.7 GiB");
  EXPECT_EQ(format_size(1536 * kKiB), "1.5 MiB");
}

}  // namespace
}  // namespace tarnwick::probe
