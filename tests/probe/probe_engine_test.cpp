// SPDX-License-Identifier: MIT
// The probe against a simulated drive: a runner that carries out the dd
// commands on blocks in memory, with an address map that may wrap around.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "probe/probe.hpp"
#include "support/support.hpp"

namespace tarnwick::probe {
namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kMiB = 1024 * 1024;

// Only the probe's two dd shapes are understood; anything else fails the test.
class SimulatedDrive final : public ToolRunner {
 public:
  explicit SimulatedDrive(std::uint64_t claimed, stop::StopSource* stop = nullptr)
      : claimed_(claimed), stop_(stop) {}

  // Where a claimed block really lands; nullopt: the drive drops the write
  // and reads zeros.
  std::function<std::optional<std::uint64_t>(std::uint64_t block)> map = [](std::uint64_t b) {
    return std::optional<std::uint64_t>(b);
  };
  // Called before each marker-or-restore write with the count so far.
  std::function<void(std::size_t writes)> before_write;

  std::expected<runner::ToolOutput, HelperError> run(ToolCommand command) override {
    EXPECT_EQ(command.program, "dd");
    if (stop_ != nullptr && stop_->requested() && !command.must_finish) {
      return std::unexpected(
          HelperError{HelperError::Stopped{command.command_text(), stop::StopReason::cancelled()}});
    }
    std::map<std::string, std::string> args;
    for (const auto& arg : command.args) {
      const auto eq = arg.find('=');
      args[arg.substr(0, eq)] = arg.substr(eq + 1);
    }
    EXPECT_EQ(args["bs"], std::to_string(kBlock));
    EXPECT_EQ(args["count"], "1");
    EXPECT_EQ(args["status"], "none");
    if (args.contains("if")) {
      EXPECT_EQ(args["iflag"], "direct");
      EXPECT_FALSE(command.stdin_bytes.has_value());
      const std::uint64_t index = std::stoull(args["skip"]);
      return runner::ToolOutput{block_at(index), {}, 0};
    }
    EXPECT_EQ(args["oflag"], "direct,dsync");
    EXPECT_EQ(args["conv"], "notrunc");
    EXPECT_EQ(args["iflag"], "fullblock");
    if (before_write) {
      before_write(writes);
    }
    ++writes;
    const std::uint64_t index = std::stoull(args["seek"]);
    EXPECT_TRUE(command.stdin_bytes.has_value());
    EXPECT_EQ(command.stdin_bytes->size(), kBlock);
    if (const auto physical = map(index)) {
      stored[*physical].assign(command.stdin_bytes->begin(), command.stdin_bytes->end());
    }
    return runner::ToolOutput{};
  }
  stop::StopSource* stop_source() const override { return stop_; }

  std::string block_at(std::uint64_t index) {
    const auto physical = map(index);
    if (!physical) {
      return std::string(kBlock, '\0');
    }
    auto& bytes = stored[*physical];
    if (bytes.empty()) {
      // What the person had there: unique per physical block.
      bytes.assign(kBlock, static_cast<std::uint8_t>(*physical * 7 + 1));
      bytes[0] = static_cast<std::uint8_t>(*physical >> 8);
    }
    return {bytes.begin(), bytes.end()};
  }

  std::map<std::uint64_t, std::vector<std::uint8_t>> stored;
  std::size_t writes = 0;

 private:
  std::uint64_t claimed_;
  stop::StopSource* stop_;
};

const Nonce kNonce{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

// The drive's contents at every planned position, as a person would read them.
std::vector<std::string> contents(SimulatedDrive& drive, std::uint64_t claimed) {
  std::vector<std::string> out;
  for (const std::uint64_t p : plan_positions(claimed, kBlock)) {
    out.push_back(drive.block_at(p / kBlock));
  }
  return out;
}

struct DriveCase {
  const char* name;
  std::uint64_t claimed;
  std::function<std::optional<std::uint64_t>(std::uint64_t)> map;
  std::optional<std::uint64_t> lowest_failing;
  std::optional<std::string> error;
};

class ProbeDevice : public ::testing::TestWithParam<DriveCase> {};

TEST_P(ProbeDevice, JudgesAndLeavesTheDataAsItWas) {
  const DriveCase& c = GetParam();
  SimulatedDrive drive(c.claimed);
  drive.map = c.map;
  const auto before = contents(drive, c.claimed);
  std::vector<std::uint64_t> progress;
  const auto result = probe_device(drive, "/dev/disk/by-id/usb-X", c.claimed, 512, kNonce,
                                   [&](std::uint64_t written) { progress.push_back(written); });
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_FALSE(result->stopped.has_value());
  EXPECT_EQ(result->verdict.lowest_failing, c.lowest_failing);
  EXPECT_EQ(result_error(*result), c.error);
  EXPECT_GE(result->verdict.checked, kMinimumPositions);
  EXPECT_TRUE(result->unrestored.empty());
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), 0U);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  // Restored in the writes' order, the real lower block gets its own data
  // last, so even a drive that wraps is left as it was.
  EXPECT_EQ(contents(drive, c.claimed), before);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, ProbeDevice,
    ::testing::Values(
        DriveCase{"Genuine", 256 * kMiB, [](std::uint64_t b) { return std::optional(b); },
                  std::nullopt, std::nullopt},
        DriveCase{"WrapsAtHalf", 256 * kMiB,
                  [](std::uint64_t b) { return std::optional(b % (128 * kMiB / kBlock)); },
                  128 * kMiB,
                  "probe: the drive stores at most 128.0 MiB of the 256.0 MiB it claims"},
        DriveCase{"DropsWritesAboveCapacity", 256 * kMiB,
                  [](std::uint64_t b) {
                    return b < 64 * kMiB / kBlock ? std::optional(b) : std::nullopt;
                  },
                  64 * kMiB,
                  "probe: the drive stores at most 64.0 MiB of the 256.0 MiB it claims"}),
    testing::CaseName{});

TEST(ProbeDevice, ACancelWhileMarkingRestoresWhatWasWritten) {
  stop::StopSource stop;
  ASSERT_TRUE(stop.valid());
  const std::uint64_t claimed = 256 * kMiB;
  SimulatedDrive drive(claimed, &stop);
  const auto before = contents(drive, claimed);
  drive.before_write = [&](std::size_t writes) {
    if (writes == 10) {
      stop.request(stop::StopReason::cancelled());
    }
  };
  const auto result = probe_device(drive, "/dev/x", claimed, 512, kNonce, {});
  ASSERT_TRUE(result.has_value());
  ASSERT_TRUE(result->stopped.has_value());
  EXPECT_TRUE(result->verdict.genuine()) << "no verdict without the read-back";
  EXPECT_TRUE(result->unrestored.empty());
  EXPECT_EQ(contents(drive, claimed), before);
  // The eleventh marker was on its way when the cancel came; then only the
  // eleven restores, which ignore the stop.
  EXPECT_EQ(drive.writes, 22U);
}

TEST(ProbeDevice, ABlockThatDoesNotComeBackIsNamed) {
  const std::uint64_t claimed = 64 * kMiB;
  SimulatedDrive drive(claimed);
  std::size_t marker_writes = 0;
  const std::size_t positions = plan_positions(claimed, kBlock).size();
  // After the markers, the drive stops taking writes at block 0.
  drive.map = [&](std::uint64_t b) -> std::optional<std::uint64_t> { return b; };
  drive.before_write = [&](std::size_t writes) {
    marker_writes = writes;
    if (writes == positions) {
      drive.map = [](std::uint64_t b) -> std::optional<std::uint64_t> {
        return b == 0 ? std::nullopt : std::optional(b);
      };
    }
  };
  const auto result = probe_device(drive, "/dev/x", claimed, 512, kNonce, {});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->verdict.genuine());
  EXPECT_EQ(result->unrestored, std::vector<std::uint64_t>{0});
  EXPECT_EQ(result_error(*result), "probe: the block at byte offset 0 could not be restored");
  EXPECT_EQ(marker_writes + 1, 2 * positions);
}

TEST(ProbeDevice, ADriveSmallerThanABlockIsRefused) {
  SimulatedDrive drive(100);
  const auto result = probe_device(drive, "/dev/x", 100, 512, kNonce, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "probe: the drive is smaller than one block of 4096 bytes");
  EXPECT_EQ(drive.writes, 0U);
}

}  // namespace
}  // namespace tarnwick::probe
