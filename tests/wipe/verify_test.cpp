// SPDX-License-Identifier: MIT
// Read-back verification of "encrypted-zero": the commands it adds between
// the fill and the close (the mapping closed and opened again with the same
// key, then cmp), how cmp's answers and the drive's read count become the
// client's text, and the progress it reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_machine.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

using testing::command_failed;
using testing::FakeMachine;
using testing::RecordedCall;
using testing::RecordingRunner;
using Argv = std::vector<std::string>;

constexpr std::uint64_t kSectors = 2048;
constexpr std::uint64_t kBytes = kSectors * 512;
const std::string kMapping = "/dev/mapper/tarnwick_wipe_tmp";

// A diskstats line for sdb with both counters given (read: field 6).
std::string sdb_counters(std::uint64_t sectors_read, std::uint64_t sectors_written) {
  return "   8      16 sdb 4012 11 " + std::to_string(sectors_read) + " 1540 77 0 " +
         std::to_string(sectors_written) + " 310 0 1780 1850 0 0 0 0 0 0\n";
}

struct VerifyFixture {
  VerifyFixture() {
    machine.add_node("sdb");
    device = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
    machine.set_size_bytes("sdb", kBytes);
    machine.set_diskstats(sdb_counters(100, 500));
    machine.dir.write_file("dev/urandom", std::string(64, 'k'));
    // The mapping: a node of its own with the same size as the drive.
    machine.add_node("dm-0");
    machine.dir.symlink("../dm-0", "dev/mapper/tarnwick_wipe_tmp");
    machine.paths.dev_mapper = machine.dir.file("dev/mapper");
    machine.set_size_bytes("dm-0", kBytes);
  }

  // dd writes the drive to its end; the second open (udev's probe of the
  // new mapping) reads `probed` sectors of the drive, cmp the rest of
  // `read_back` and answers `compared`. `close_error` answers the last close.
  void answer(RecordingRunner::Result compared,
              std::optional<runner::HelperError> close_error = std::nullopt,
              std::uint64_t read_back = kSectors, std::uint64_t probed = 0) {
    runner.respond = [this, compared = std::move(compared), close_error, read_back,
                      probed](const RecordedCall& call) -> RecordingRunner::Result {
      if (call.program == "dd") {
        machine.set_diskstats(sdb_counters(100, 500 + kSectors));
        return std::unexpected(
            command_failed("dd", 1, "dd: error writing: No space left on device\n"));
      }
      if (call.program == "cryptsetup" && call.args.front() == "open" && ++opens == 2) {
        machine.set_diskstats(sdb_counters(100 + probed, 500 + kSectors));
      }
      if (call.program == "cmp") {
        machine.set_diskstats(sdb_counters(100 + read_back, 500 + kSectors));
        return compared;
      }
      if (call.program == "cryptsetup" && call.args.front() == "close" && ++closes == 2 &&
          close_error) {
        return std::unexpected(*close_error);
      }
      return runner::ToolOutput{};
    };
  }

  std::expected<void, HelperError> wipe(WipeMode mode = WipeMode::EncryptedZero) {
    Verification verification{true, [this](std::uint64_t copied, std::uint64_t verified) {
                                verify_progress.emplace_back(copied, verified);
                              }};
    return wipe_device(
        runner, machine.paths, device, mode,
        [this](std::uint64_t copied) { progress.push_back(copied); }, verification);
  }

  std::vector<std::string> programs() const {
    std::vector<std::string> out;
    for (const auto& call : runner.calls) {
      out.push_back(call.program + (call.program == "cryptsetup" ? " " + call.args.front() : ""));
    }
    return out;
  }

  FakeMachine machine;
  std::string device;
  RecordingRunner runner;
  std::vector<std::uint64_t> progress;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> verify_progress;
  int opens = 0;
  int closes = 0;
};

const std::vector<std::string> kReadBackPrograms = {"cryptsetup open", "dd",  "cryptsetup close",
                                                    "cryptsetup open", "cmp", "cryptsetup close"};

TEST(Verify, ReadsTheDriveBackThroughTheMappingOpenedAgain) {
  VerifyFixture fixture;
  fixture.answer(runner::ToolOutput{});
  const auto result = fixture.wipe();
  ASSERT_TRUE(result.has_value()) << result.error().display();
  ASSERT_EQ(fixture.programs(), kReadBackPrograms);
  const auto& calls = fixture.runner.calls;
  // The filled mapping goes, with its cache; the same key opens a new one.
  EXPECT_EQ(calls[2].argv(), (Argv{"cryptsetup", "close", "tarnwick_wipe_tmp"}));
  EXPECT_EQ(calls[3].argv(), calls[0].argv());
  ASSERT_TRUE(calls[0].stdin_bytes.has_value());
  EXPECT_EQ(calls[0].stdin_bytes->size(), 64u);
  EXPECT_EQ(calls[3].stdin_bytes, calls[0].stdin_bytes);
  EXPECT_EQ(calls[4].argv(), (Argv{"cmp", "-n", std::to_string(kBytes), kMapping, "/dev/zero"}));
  EXPECT_EQ(calls[5].argv(), (Argv{"cryptsetup", "close", "tarnwick_wipe_tmp"}));
  // Reads counted on the drive from the reopening; the written figure stays
  // at what the fill reported last.
  ASSERT_FALSE(fixture.verify_progress.empty());
  EXPECT_EQ(fixture.verify_progress.back(), std::make_pair(kBytes, kBytes));
  for (const auto& [copied, verified] : fixture.verify_progress) {
    EXPECT_EQ(copied, fixture.progress.back());
    EXPECT_LE(verified, kBytes);
  }
}

TEST(Verify, WithoutVerificationTheKeyOpensOneMappingOnly) {
  VerifyFixture fixture;
  fixture.answer(runner::ToolOutput{});
  const auto result = wipe_device(fixture.runner, fixture.machine.paths, fixture.device,
                                  WipeMode::EncryptedZero, [](std::uint64_t) {});
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(fixture.programs(),
            (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close"}));
}

TEST(Verify, PassesOnlyWhenTheDriveAnsweredForEveryByte) {
  EXPECT_TRUE(read_back_complete(kBytes, kBytes).has_value());
  // More than the size: another reader of the drive; every byte was still read.
  EXPECT_TRUE(read_back_complete(kBytes + 4096, kBytes).has_value());
  EXPECT_TRUE(read_back_complete(0, 0).has_value());
  const auto short_by_a_sector = read_back_complete(kBytes - 512, kBytes);
  ASSERT_FALSE(short_by_a_sector.has_value());
  EXPECT_EQ(short_by_a_sector.error().display(),
            "verification incomplete: only 1048064 of 1048576 bytes were read back from the drive");
  const auto short_by_a_byte = read_back_complete(kBytes - 1, kBytes);
  ASSERT_FALSE(short_by_a_byte.has_value());
  EXPECT_EQ(short_by_a_byte.error().display(),
            "verification incomplete: only 1048575 of 1048576 bytes were read back from the drive");
  const auto unreadable = read_back_complete(std::nullopt, kBytes);
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error().display(),
            "verification incomplete: the drive's read count cannot be read");
}

TEST(Verify, ReadCountsDecideAfterCmpFoundNoDifference) {
  {
    // Pages served from memory leave the drive's count short: a failure,
    // and the last figure sent is that count.
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{}, std::nullopt, kSectors - 1);
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "verification incomplete: only 1048064 of 1048576 bytes were read back from the "
              "drive");
    EXPECT_EQ(fixture.verify_progress.back().second, kBytes - 512);
    EXPECT_EQ(fixture.programs(), kReadBackPrograms);
  }
  {
    // udev's probe of the new mapping reads the drive too, and counts.
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{}, std::nullopt, kSectors, 8);
    const auto result = fixture.wipe();
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(fixture.verify_progress.back().second, kBytes);
  }
  {
    // The count is gone once cmp ended: no figure, no pass.
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{});
    auto respond = fixture.runner.respond;
    fixture.runner.respond = [&fixture, respond](const RecordedCall& call) {
      auto result = respond(call);
      if (call.program == "cmp") {
        fixture.machine.set_diskstats("   8      17 sdb1 1 2 3 4 5 6 7 8 9 10 11\n");
      }
      return result;
    };
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "verification incomplete: the drive's read count cannot be read");
    EXPECT_EQ(fixture.programs(), kReadBackPrograms);
  }
  {
    // No count before the reopening: nothing could be measured, so the
    // drive is not opened again.
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{});
    auto respond = fixture.runner.respond;
    fixture.runner.respond = [&fixture, respond](const RecordedCall& call) {
      auto result = respond(call);
      if (call.program == "cryptsetup" && call.args.front() == "close") {
        std::filesystem::remove(fixture.machine.paths.proc_diskstats);
      }
      return result;
    };
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "verification incomplete: the drive's read count cannot be read");
    EXPECT_EQ(fixture.programs(),
              (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close"}));
  }
}

TEST(Verify, TheMappingThatCannotBeClosedOrOpenedAgainIsNoVerification) {
  {
    // Still held after the fill: its cache could answer, so nothing is read.
    VerifyFixture fixture;
    const HelperError busy = command_failed("cryptsetup close tarnwick_wipe_tmp", 5,
                                            "Device tarnwick_wipe_tmp is "
                                            "still in use.\n");
    fixture.answer(runner::ToolOutput{});
    auto respond = fixture.runner.respond;
    fixture.runner.respond = [&, respond](const RecordedCall& call) -> RecordingRunner::Result {
      if (call.program == "cryptsetup" && call.args.front() == "close") {
        return std::unexpected(busy);
      }
      return respond(call);
    };
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), busy.display());
    EXPECT_EQ(fixture.programs(),
              (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close"}));
    EXPECT_TRUE(fixture.verify_progress.empty());
  }
  {
    // The name was taken meanwhile: not ours to close.
    VerifyFixture fixture;
    const HelperError taken =
        command_failed("cryptsetup open", 5, "Device tarnwick_wipe_tmp already exists.\n");
    fixture.answer(runner::ToolOutput{});
    auto respond = fixture.runner.respond;
    fixture.runner.respond = [&, respond](const RecordedCall& call) -> RecordingRunner::Result {
      auto result = respond(call);
      if (call.program == "cryptsetup" && call.args.front() == "open" && fixture.opens == 2) {
        return std::unexpected(taken);
      }
      return result;
    };
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "verification incomplete: the temporary mapping could not be opened again: " +
                  taken.display());
    EXPECT_EQ(
        fixture.programs(),
        (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close", "cryptsetup open"}));
  }
}

TEST(Verify, OutcomesOfTheReadBack) {
  const std::string cmp_text = "cmp -n " + std::to_string(kBytes) + " " + kMapping + " /dev/zero";
  const auto differs = [](std::string report) {
    return RecordingRunner::Result{runner::ToolOutput{std::move(report), "", 1}};
  };
  struct Case {
    const char* name;
    RecordingRunner::Result compared;
    std::optional<HelperError> close_error;
    std::string expected;
  };
  const HelperError close_failed =
      command_failed("cryptsetup close tarnwick_wipe_tmp", 5, "busy\n");
  const Case cases[] = {
      {"first byte differs", differs(kMapping + " /dev/zero differ: byte 1, line 1\n"),
       std::nullopt, "verification failed: the drive returned different data at byte offset 0"},
      {"a later byte, POSIX wording",
       differs(kMapping + " /dev/zero differ: char 1048577, line 1\n"), std::nullopt,
       "verification failed: the drive returned different data at byte offset 1048576"},
      {"a difference outranks a failed close",
       differs(kMapping + " /dev/zero differ: byte 513, line 1\n"), close_failed,
       "verification failed: the drive returned different data at byte offset 512"},
      {"read error: cmp's own text",
       std::unexpected(command_failed(cmp_text, 2, "cmp: " + kMapping + ": Input/output error\n")),
       std::nullopt,
       "command `" + cmp_text + "` failed (exit 2): cmp: " + kMapping + ": Input/output error\n"},
      {"the mapping ended early",
       RecordingRunner::Result{
           runner::ToolOutput{"", "cmp: EOF on " + kMapping + " after byte 4096\n", 1}},
       std::nullopt,
       "command `" + cmp_text + "` failed (exit 1): cmp: EOF on " + kMapping +
           " after byte 4096\n"},
      {"verified, but the close failed", runner::ToolOutput{}, close_failed,
       close_failed.display()},
  };
  for (const Case& c : cases) {
    VerifyFixture fixture;
    fixture.answer(c.compared, c.close_error);
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().display(), c.expected) << c.name;
    EXPECT_EQ(fixture.programs(), kReadBackPrograms) << c.name;
  }
}

TEST(Verify, NothingIsReadBackWhenItCannotMeanAnything) {
  {
    // The fill failed: the error is the fill's, and the mapping still closes.
    VerifyFixture fixture;
    fixture.runner.respond = [](const RecordedCall& call) -> RecordingRunner::Result {
      if (call.program == "dd") {
        return std::unexpected(command_failed("dd", 1, "dd: Input/output error\n"));
      }
      return runner::ToolOutput{};
    };
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "command `dd` failed (exit 1): dd: Input/output error\n");
    EXPECT_EQ(fixture.programs(),
              (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close"}));
    EXPECT_TRUE(fixture.verify_progress.empty());
  }
  {
    // No size to compare: a failure, never a "verified" drive.
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{});
    std::filesystem::remove(fixture.machine.dir.file("sys/class/block/dm-0/size"));
    const auto result = fixture.wipe();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "verification failed: the size of /dev/mapper/tarnwick_wipe_tmp cannot be read");
    EXPECT_EQ(fixture.programs(),
              (std::vector<std::string>{"cryptsetup open", "dd", "cryptsetup close",
                                        "cryptsetup open", "cryptsetup close"}));
  }
  for (const WipeMode mode : {WipeMode::Random, WipeMode::SecureDiscard, WipeMode::None}) {
    VerifyFixture fixture;
    const auto result = fixture.wipe(mode);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "verification is only available for mode encrypted-zero");
    EXPECT_TRUE(fixture.runner.calls.empty());
  }
}

}  // namespace
}  // namespace tarnwick::wipe
