// SPDX-License-Identifier: MIT
// Read-back verification of "encrypted-zero": the commands it adds between
// the fill and the close (the mapping closed and opened again with the same
// key, then cmp), how cmp's answers and the drive's read count become the
// client's text, and the progress it reports.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(Verify, PassesOnlyWhenTheDriveAnsweredForEveryByte) {
  const std::string incomplete = "verification incomplete: only ";
  const std::string unreadable = "verification incomplete: the drive's read count cannot be read";
  const struct {
    std::optional<std::uint64_t> read;
    std::string expected;  // empty: passes
  } cases[] = {
      {kBytes, ""},
      // Another reader of the drive: every byte compared was still read.
      {kBytes + 4096, ""},
      {kBytes - 512, incomplete + "1048064 of 1048576 bytes were read back from the drive"},
      {kBytes - 1, incomplete + "1048575 of 1048576 bytes were read back from the drive"},
      {std::nullopt, unreadable},
  };
  for (const auto& c : cases) {
    const auto verdict = read_back_complete(c.read, kBytes);
    EXPECT_EQ(verdict ? std::string() : verdict.error().display(), c.expected)
        << c.read.value_or(0);
  }
}

// cmp finds no difference; what else happened decides.
TEST(Verify, ReadCountsAndTheReopeningDecide) {
  const HelperError busy = command_failed("cryptsetup close tarnwick_wipe_tmp", 5,
                                          "Device tarnwick_wipe_tmp is still in use.\n");
  const HelperError taken =
      command_failed("cryptsetup open", 5, "Device tarnwick_wipe_tmp already exists.\n");
  const std::vector<std::string> closed_after_fill = {"cryptsetup open", "dd", "cryptsetup close"};
  enum class Fault { None, CountGoneAfterCmp, CountGoneBeforeReopen, StillHeld, NameTaken };
  const struct {
    const char* name;
    std::uint64_t read_back;  // sectors the drive delivers, probe included
    std::uint64_t probed;     // of which udev's probe of the new mapping
    Fault fault;
    std::string expected;  // empty: passes
    std::vector<std::string> programs;
  } cases[] = {
      {"pages served from memory", kSectors - 1, 0, Fault::None,
       "verification incomplete: only 1048064 of 1048576 bytes were read back from the drive",
       kReadBackPrograms},
      {"the probe's reads count", kSectors, 8, Fault::None, "", kReadBackPrograms},
      {"sectors read twice show once", kSectors + 8, 8, Fault::None, "", kReadBackPrograms},
      {"no count once cmp ended", kSectors, 0, Fault::CountGoneAfterCmp,
       "verification incomplete: the drive's read count cannot be read", kReadBackPrograms},
      {"no count to start from: the drive is not opened again", kSectors, 0,
       Fault::CountGoneBeforeReopen,
       "verification incomplete: the drive's read count cannot be read", closed_after_fill},
      {"held after the fill: nothing its cache could answer is read", kSectors, 0, Fault::StillHeld,
       busy.display(), closed_after_fill},
      {"the name taken meanwhile: not ours to close",
       kSectors,
       0,
       Fault::NameTaken,
       "verification incomplete: the temporary mapping could not be opened again: " +
           taken.display(),
       {"cryptsetup open", "dd", "cryptsetup close", "cryptsetup open"}},
  };
  for (const auto& c : cases) {
    VerifyFixture fixture;
    fixture.answer(runner::ToolOutput{}, std::nullopt, c.read_back, c.probed);
    auto respond = fixture.runner.respond;
    fixture.runner.respond = [&](const RecordedCall& call) -> RecordingRunner::Result {
      const bool close = call.program == "cryptsetup" && call.args.front() == "close";
      if (close && c.fault == Fault::StillHeld) {
        return std::unexpected(busy);
      }
      auto result = respond(call);
      if ((close && c.fault == Fault::CountGoneBeforeReopen) ||
          (call.program == "cmp" && c.fault == Fault::CountGoneAfterCmp)) {
        std::filesystem::remove(fixture.machine.paths.proc_diskstats);
      }
      if (call.program == "cryptsetup" && call.args.front() == "open" && fixture.opens == 2 &&
          c.fault == Fault::NameTaken) {
        return std::unexpected(taken);
      }
      return result;
    };
    const auto result = fixture.wipe();
    EXPECT_EQ(result ? std::string() : result.error().display(), c.expected) << c.name;
    EXPECT_EQ(fixture.programs(), c.programs) << c.name;
    if (c.fault == Fault::None) {
      EXPECT_EQ(fixture.verify_progress.back().second, std::min(c.read_back, kSectors) * 512)
          << c.name;
    }
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
