// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstdint>
#include <string>
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

constexpr std::uint64_t kDeviceSectors = 2048;
const std::string kOutOfSpace = "dd: error writing: No space left on device\n";

struct WipeFixture {
  WipeFixture() {
    machine.add_node("sdb");
    device = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
    machine.set_size_bytes("sdb", kDeviceSectors * 512);
    machine.set_sectors_written("sdb", 500);
    for (int i = 0; i < 100; ++i) {
      key_source.push_back(static_cast<char>(i * 7 + 1));
    }
    machine.dir.write_file("dev/urandom", key_source);
  }

  std::expected<void, HelperError> wipe(WipeMode mode) {
    return wipe_device(runner, machine.paths, device, mode,
                       [this](std::uint64_t copied) { progress.push_back(copied); });
  }

  // The fake dd writes the whole device, as far as the kernel counter tells.
  RecordingRunner::Result fill_to_the_end(RecordingRunner::Result result) {
    machine.set_sectors_written("sdb", 500 + kDeviceSectors);
    return result;
  }

  FakeMachine machine;
  std::string key_source;
  std::string device;
  RecordingRunner runner;
  std::vector<std::uint64_t> progress;
};

Argv random_overwrite(const std::string& device) {
  return {"dd", "if=/dev/urandom", "of=" + device, "bs=4M", "conv=fsync", "status=none"};
}
Argv open_mapping(const std::string& device) {
  return {"cryptsetup", "open", "--type",     "plain", "--cipher", "aes-xts-plain64",
          "--key-size", "512",  "--key-file", "-",     device,     "tarnwick_wipe_tmp"};
}
const Argv kZeroOverwrite{"dd",    "if=/dev/zero", "of=/dev/mapper/tarnwick_wipe_tmp",
                          "bs=4M", "conv=fsync",   "status=none"};
const Argv kCloseMapping{"cryptsetup", "close", "tarnwick_wipe_tmp"};

std::vector<Argv> argvs(const std::vector<RecordedCall>& calls) {
  std::vector<Argv> out;
  for (const auto& call : calls) {
    out.push_back(call.argv());
  }
  return out;
}

TEST(WipeDevice, RunsExactlyTheCommandsOfEachMode) {
  struct Case {
    WipeMode mode;
    std::vector<Argv> (*expected)(const std::string& device);
  };
  const Case cases[] = {
      {WipeMode::Random,
       [](const std::string& d) { return std::vector<Argv>{random_overwrite(d)}; }},
      {WipeMode::SecureDiscard,
       [](const std::string& d) { return std::vector<Argv>{{"blkdiscard", "--secure", d}}; }},
      {WipeMode::EncryptedZero,
       [](const std::string& d) {
         return std::vector<Argv>{open_mapping(d), kZeroOverwrite, kCloseMapping};
       }},
      {WipeMode::None, [](const std::string&) { return std::vector<Argv>{}; }},
  };
  for (const Case& c : cases) {
    WipeFixture fixture;
    const auto result = fixture.wipe(c.mode);
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(argvs(fixture.runner.calls), c.expected(fixture.device));
    for (const auto& call : fixture.runner.calls) {
      // Only the open command carries standard input: the key, the first 64
      // bytes of the random source.
      if (call.args.front() == "open") {
        EXPECT_EQ(call.stdin_bytes, fixture.key_source.substr(0, 64));
      } else {
        EXPECT_FALSE(call.stdin_bytes.has_value()) << call.program;
      }
    }
    if (c.mode == WipeMode::None || c.mode == WipeMode::SecureDiscard) {
      EXPECT_TRUE(fixture.progress.empty());
    } else {
      EXPECT_FALSE(fixture.progress.empty());
    }
  }
}

TEST(WipeDevice, TwoEncryptedZeroWipesUseTwoFreshKeys) {
  WipeFixture fixture;
  fixture.machine.paths.dev_urandom = "/dev/urandom";
  ASSERT_TRUE(fixture.wipe(WipeMode::EncryptedZero));
  ASSERT_TRUE(fixture.wipe(WipeMode::EncryptedZero));
  ASSERT_EQ(fixture.runner.calls.size(), 6u);
  const auto& first = fixture.runner.calls[0].stdin_bytes;
  const auto& second = fixture.runner.calls[3].stdin_bytes;
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 64u);
  EXPECT_EQ(second->size(), 64u);
  EXPECT_NE(*first, *second);
}

TEST(WipeDevice, EncryptedZeroRunsAloneAcrossHelperProcesses) {
  WipeFixture fixture;
  const std::string lock_file = fixture.machine.paths.wipe_mapping_lock;
  // Held while the mapping may exist: from before the open to after the close.
  bool held_throughout = true;
  fixture.runner.respond = [&](const RecordedCall&) -> RecordingRunner::Result {
    const system::FileDescriptor probe(::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC));
    held_throughout = held_throughout && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0;
    return runner::ToolOutput{};
  };
  ASSERT_TRUE(fixture.wipe(WipeMode::EncryptedZero));
  EXPECT_TRUE(held_throughout);
  ASSERT_EQ(fixture.runner.calls.size(), 3u);

  // Another process's wipe holds it: refused before any tool.
  const system::FileDescriptor other(::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  const auto refused = fixture.wipe(WipeMode::EncryptedZero);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(),
            "refused destructive operation: another encrypted-zero wipe is running "
            "(tarnwick_wipe_tmp is in use)");
  EXPECT_EQ(fixture.runner.calls.size(), 3u);
  // The other modes do not use the mapping.
  EXPECT_TRUE(fixture.wipe(WipeMode::SecureDiscard));

  // No usable lock file: cryptsetup still guards the name itself.
  fixture.machine.paths.wipe_mapping_lock = fixture.machine.dir.file("absent/lock");
  EXPECT_TRUE(fixture.wipe(WipeMode::EncryptedZero));
}

TEST(WipeDevice, UnusableRandomSourceFailsBeforeAnyTool) {
  struct Case {
    const char* name;
    bool exists;
    std::string contents;
    std::string message;
  };
  const Case cases[] = {
      {"short", true, std::string(63, 'k'), "io: failed to fill whole buffer"},
      {"empty", true, "", "io: failed to fill whole buffer"},
      {"missing", false, "", "io: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    WipeFixture fixture;
    if (c.exists) {
      fixture.machine.dir.write_file("dev/urandom", c.contents);
    } else {
      std::filesystem::remove(fixture.machine.paths.dev_urandom);
    }
    const auto result = fixture.wipe(WipeMode::EncryptedZero);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().display(), c.message) << c.name;
    EXPECT_TRUE(fixture.runner.calls.empty()) << c.name;
  }
}

TEST(WipeDevice, FailedOpenRunsNothingElse) {
  WipeFixture fixture;
  // What a leftover mapping of the same name makes cryptsetup say.
  const HelperError busy =
      command_failed("cryptsetup open", 5, "Device tarnwick_wipe_tmp already exists.\n");
  fixture.runner.push_result(std::unexpected(busy));
  const auto result = fixture.wipe(WipeMode::EncryptedZero);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), busy);
  EXPECT_EQ(fixture.runner.calls.size(), 1u);
  EXPECT_TRUE(fixture.progress.empty());
}

TEST(WipeDevice, EncryptedZeroCombinesFillAndCloseOutcomes) {
  const HelperError dd_failed = command_failed("dd", 1, "dd: error writing: Input/output error\n");
  const HelperError dd_full = command_failed("dd", 1, kOutOfSpace);
  const HelperError close_failed =
      command_failed("cryptsetup close tarnwick_wipe_tmp", 5, "busy\n");
  struct Case {
    const char* name;
    HelperError dd_error;
    bool reaches_end;
    std::optional<HelperError> close_error;
    std::optional<HelperError> expected;
  };
  const Case cases[] = {
      {"dd fails, close fails: the dd failure", dd_failed, true, close_failed, dd_failed},
      {"dd fails, close works: the dd failure", dd_failed, true, std::nullopt, dd_failed},
      {"verified end, close fails: the close failure", dd_full, true, close_failed, close_failed},
      {"verified end, close works: success", dd_full, true, std::nullopt, std::nullopt},
      {"out of space short of the end: the dd failure", dd_full, false, std::nullopt, dd_full},
  };
  for (const Case& c : cases) {
    WipeFixture fixture;
    fixture.runner.respond = [&](const RecordedCall& call) -> RecordingRunner::Result {
      if (call.program == "dd") {
        if (c.reaches_end) {
          return fixture.fill_to_the_end(std::unexpected(c.dd_error));
        }
        return std::unexpected(c.dd_error);
      }
      if (call.args.front() == "close" && c.close_error) {
        return std::unexpected(*c.close_error);
      }
      return ToolOutput{};
    };
    const auto result = fixture.wipe(WipeMode::EncryptedZero);
    // The mapping is closed on every path once it was opened.
    EXPECT_EQ(argvs(fixture.runner.calls),
              (std::vector<Argv>{open_mapping(fixture.device), kZeroOverwrite, kCloseMapping}))
        << c.name;
    if (c.expected) {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error(), *c.expected) << c.name;
    } else {
      EXPECT_TRUE(result.has_value()) << c.name;
    }
  }
}

TEST(WipeDevice, RandomOverwriteReportsTheDrivesCounterAndAcceptsItsEnd) {
  WipeFixture fixture;
  fixture.runner.respond = [&](const RecordedCall&) -> RecordingRunner::Result {
    return fixture.fill_to_the_end(std::unexpected(command_failed("dd", 1, kOutOfSpace)));
  };
  const auto result = fixture.wipe(WipeMode::Random);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  ASSERT_FALSE(fixture.progress.empty());
  EXPECT_EQ(fixture.progress.back(), kDeviceSectors * 512);
}

TEST(WipeDevice, SecureDiscardFailureIsFinal) {
  WipeFixture fixture;
  fixture.runner.push_result(std::unexpected(command_failed(
      "blkdiscard --secure " + fixture.device, 1, "blkdiscard: Operation not supported\n")));
  const auto result = fixture.wipe(WipeMode::SecureDiscard);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(),
            "command `blkdiscard --secure " + fixture.device +
                "` failed (exit 1): blkdiscard: Operation not supported\n");
  // No weaker method stands in for the one asked for.
  EXPECT_EQ(fixture.runner.calls.size(), 1u);
}

TEST(WipeDevice, PathThatIsNotUtf8ReachesToolsAsReplacementText) {
  WipeFixture fixture;
  fixture.machine.add_node("sdc");
  const std::string odd = fixture.machine.add_by_id_link("usb-Odd\xff", "sdc");
  ASSERT_TRUE(wipe_device(fixture.runner, fixture.machine.paths, odd, WipeMode::SecureDiscard,
                          [](std::uint64_t) {}));
  const std::string shown = odd.substr(0, odd.size() - 1) + "\xEF\xBF\xBD";
  EXPECT_EQ(fixture.runner.calls.at(0).argv(), (Argv{"blkdiscard", "--secure", shown}));
}

}  // namespace
}  // namespace tarnwick::wipe
