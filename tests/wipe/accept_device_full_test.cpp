// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include "support/support.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

using testing::command_failed;

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr std::uint64_t kMiB = 1024ull * 1024;
const std::string kOutOfSpace =
    "dd: error writing '/dev/disk/by-id/usb-Fake': No space left on device\n";

struct Case {
  const char* name;
  std::int32_t exit_code;
  std::string stderr_text;
  std::uint64_t last_copied;
  std::optional<std::uint64_t> size;
  bool accepted;
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class AcceptDeviceFullTest : public ::testing::TestWithParam<Case> {};

TEST_P(AcceptDeviceFullTest, DecidesTheEndOfTheDevice) {
  const Case& c = GetParam();
  const HelperError failure = command_failed("dd if=/dev/urandom of=x", c.exit_code, c.stderr_text);
  const auto result = accept_device_full(std::unexpected(failure), c.last_copied, c.size);
  if (c.accepted) {
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_TRUE(result->stdout_bytes.empty());
    EXPECT_TRUE(result->stderr_bytes.empty());
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), failure);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, AcceptDeviceFullTest,
    ::testing::Values(
        // 1 GiB: the tolerance is capped at 8 MiB.
        Case{"GiBAtThreshold", 1, kOutOfSpace, 1065353216, kGiB, true},
        Case{"GiBOneBelow", 1, kOutOfSpace, 1065353215, kGiB, false},
        // 500 MiB: one hundredth, 5 MiB.
        Case{"FiveHundredMiBAtThreshold", 1, kOutOfSpace, 519045120, 500 * kMiB, true},
        Case{"FiveHundredMiBOneBelow", 1, kOutOfSpace, 519045119, 500 * kMiB, false},
        Case{"NinetyNineBytesAt", 1, kOutOfSpace, 98, 99, true},
        Case{"NinetyNineBytesBelow", 1, kOutOfSpace, 97, 99, false},
        Case{"HundredBytesAt", 1, kOutOfSpace, 99, 100, true},
        Case{"HundredBytesBelow", 1, kOutOfSpace, 98, 100, false},
        Case{"ZeroSize", 1, kOutOfSpace, 0, 0, true},
        Case{"OneByteDevice", 1, kOutOfSpace, 0, 1, true},
        Case{"LargestSize", 1, kOutOfSpace, std::numeric_limits<std::uint64_t>::max() - 8 * kMiB,
             std::numeric_limits<std::uint64_t>::max(), true},
        Case{"BeyondTheSize", 1, kOutOfSpace, 2 * kGiB, kGiB, true},
        Case{"UpperCaseMarker", 1, "dd: error writing: NO SPACE LEFT on device\n", kGiB, kGiB,
             true},
        Case{"MixedCaseMarker", 1, "No Space Left", kGiB, kGiB, true},
        // Only a verified, out-of-space exit 1 is an end of device.
        Case{"SizeUnknown", 1, kOutOfSpace, kGiB, std::nullopt, false},
        Case{"OtherExitCode", 2, kOutOfSpace, kGiB, kGiB, false},
        Case{"KilledBySignal", -1, kOutOfSpace, kGiB, kGiB, false},
        Case{"InputOutputError", 1, "dd: error writing: Input/output error\n", kGiB, kGiB, false},
        Case{"EmptyStandardError", 1, "", kGiB, kGiB, false},
        Case{"MarkerSplitByLineEnd", 1, "no space\nleft", kGiB, kGiB, false},
        // The counter includes failed writes: any other report means a failing drive.
        Case{"FsyncFailedAfterOutOfSpace", 1,
             kOutOfSpace + "dd: fsync failed for '/dev/sdb': Input/output error\n", kGiB, kGiB,
             false},
        Case{"ReadErrorBeforeOutOfSpace", 1, "dd: error reading '/dev/urandom'\n" + kOutOfSpace,
             kGiB, kGiB, false},
        Case{"BlankLinesAroundOutOfSpace", 1, "\n" + kOutOfSpace + " \r\n\n", kGiB, kGiB, true},
        Case{"OnlyBlankLines", 1, "\n \n", kGiB, kGiB, false}),
    testing::CaseName{});

TEST(AcceptDeviceFull, PassesSuccessAndOtherErrorsThroughUnchanged) {
  const auto success = accept_device_full(ToolOutput{"out", "err"}, 0, std::nullopt);
  ASSERT_TRUE(success.has_value());
  EXPECT_EQ(success->stdout_bytes, "out");
  EXPECT_EQ(success->stderr_bytes, "err");

  const HelperError not_found{HelperError::ToolNotFound{"dd"}};
  const auto missing = accept_device_full(std::unexpected(not_found), 10, 10);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), not_found);
}

}  // namespace
}  // namespace tarnwick::wipe
