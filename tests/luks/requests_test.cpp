// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "luks/luks.hpp"
#include "support/drive_fixture.hpp"
#include "support/support.hpp"

namespace tarnwick::luks {
namespace {

using testing::command_failed;
using testing::DriveFixture;
using testing::RecordingRunner;

constexpr std::string_view kBadLabel = "two\nlines";
// "pa\0ss\n" in Base64, wrapped and padded the way a client might send it.
constexpr std::string_view kPassphraseB64 = "cGEA\nc3MK";
const std::string kPassphrase("pa\0ss\n", 6);

class LuksRequests : public ::testing::Test {
 protected:
  DriveFixture fixture;
  RecordingRunner runner;
  SessionMapperSet mappers;

  std::expected<void, std::string> format(std::string_view device, std::string_view label,
                                          std::string_view b64 = kPassphraseB64,
                                          bool allow_discards = false) {
    return handle_luks_format(runner, fixture.context(), device, label, allow_discards, b64);
  }
  std::expected<void, std::string> open(std::string_view device, std::string_view name,
                                        std::string_view b64 = kPassphraseB64,
                                        bool allow_discards = false) {
    return handle_luks_open(runner, fixture.context(), mappers, device, name, b64, allow_discards);
  }
  std::expected<void, std::string> close(std::string_view name) {
    return handle_luks_close(runner, mappers, name);
  }
};

std::string error_of(const std::expected<void, std::string>& result) {
  return result ? std::string("<success>") : result.error();
}

TEST_F(LuksRequests, FormatRunsOnTheStableLinkWithLabelSubsystemAndPassphrase) {
  ASSERT_TRUE(format(fixture.drive, "Backup"));
  ASSERT_EQ(runner.calls.size(), 1u);
  const auto& args = runner.calls[0].args;
  EXPECT_EQ(runner.calls[0].program, "cryptsetup");
  EXPECT_EQ(args.front(), "luksFormat");
  ASSERT_EQ(args.size(), 27u);
  EXPECT_EQ((std::vector<std::string>(args.end() - 5, args.end())),
            (std::vector<std::string>{"--label", "Backup", "--subsystem", "tarnwick",
                                      fixture.drive_link}));
  EXPECT_EQ(runner.calls[0].stdin_bytes, kPassphrase);
  EXPECT_TRUE(mappers.empty());
}

TEST_F(LuksRequests, FormatWithoutLabelStillNamesTheSubsystem) {
  ASSERT_TRUE(format(fixture.drive, "", kPassphraseB64, true));
  const auto& args = runner.calls.at(0).args;
  EXPECT_EQ((std::vector<std::string>(args.end() - 3, args.end())),
            (std::vector<std::string>{"--subsystem", "tarnwick", fixture.drive_link}));
}

struct StepCase {
  const char* name;
  // Which device to use: "drive", "partition", "fixed", "unlinked", "unknown".
  const char* device;
  std::string label;
  std::string b64;
  // The expected text, with "{drive}" etc. filled in by the test.
  std::string expected;
};

class LuksFormatSteps : public LuksRequests, public ::testing::WithParamInterface<StepCase> {
 protected:
  std::string device_path(std::string_view which) const {
    if (which == "drive") return fixture.drive;
    if (which == "partition") return fixture.partition;
    if (which == "fixed") return fixture.fixed_drive;
    if (which == "unlinked") return fixture.unlinked_drive;
    return fixture.dir.file("dev/nothing");
  }
  std::string fill(std::string text, std::string_view which) const {
    const std::string placeholder = "{device}";
    if (const auto at = text.find(placeholder); at != std::string::npos) {
      text.replace(at, placeholder.size(), device_path(which));
    }
    return text;
  }
};

TEST_P(LuksFormatSteps, FirstFailingStepAnswersAndNothingRuns) {
  const StepCase& c = GetParam();
  EXPECT_EQ(error_of(format(device_path(c.device), c.label, c.b64)), fill(c.expected, c.device));
  EXPECT_TRUE(runner.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Order, LuksFormatSteps,
    ::testing::Values(
        StepCase{"unknown_device_before_label", "unknown", std::string(kBadLabel), "!",
                 "refused destructive operation: device not found: {device}"},
        StepCase{"partition_is_not_a_whole_drive", "partition", "ok",
                 "QQ==", "refused destructive operation: device not found: {device}"},
        StepCase{"fixed_drive_refused_before_label", "fixed", std::string(kBadLabel), "QQ==",
                 "refused destructive operation: device is not removable or hotplug-capable"},
        StepCase{"no_stable_link", "unlinked", "ok",
                 "QQ==", "device has no stable /dev/disk/by-id path"},
        StepCase{"label_before_passphrase", "drive", std::string(kBadLabel), "!",
                 "filesystem label is too long or contains control characters"},
        StepCase{"label_too_long", "drive", std::string(49, 'x'),
                 "QQ==", "filesystem label is too long or contains control characters"},
        StepCase{"url_safe_passphrase", "drive", "ok", "QU-D",
                 "passphrase base64: invalid base64 byte"},
        StepCase{"empty_passphrase", "drive", "ok", "",
                 "refused destructive operation: refusing empty passphrase"},
        StepCase{"passphrase_of_padding_and_space", "drive", "ok",
                 "== \n=", "refused destructive operation: refusing empty passphrase"}),
    testing::CaseName{});

TEST_F(LuksRequests, FormatFailureIsTheCommandsDisplayText) {
  runner.push_result(std::unexpected(command_failed("cryptsetup luksFormat", 1, "no\n")));
  EXPECT_EQ(error_of(format(fixture.drive, "")),
            "command `cryptsetup luksFormat` failed (exit 1): no\n");
}

TEST_F(LuksRequests, OpenRecordsTheNameOnlyAfterSuccess) {
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a"));
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0].args,
            (std::vector<std::string>{"open", "--type", "luks2", "--key-file=-", fixture.drive_link,
                                      "tarnwick_a"}));
  EXPECT_EQ(runner.calls[0].stdin_bytes, kPassphrase);
  EXPECT_TRUE(mappers.contains("tarnwick_a"));

  runner.push_result(std::unexpected(command_failed("cryptsetup open", 2, "bad key\n")));
  EXPECT_EQ(error_of(open(fixture.drive, "tarnwick_b")),
            "command `cryptsetup open` failed (exit 2): bad key\n");
  EXPECT_FALSE(mappers.contains("tarnwick_b"));
  EXPECT_EQ(mappers.size(), 1u);
}

TEST_F(LuksRequests, OpenOfAPartitionGuardsItsDriveAndUsesThePartitionsLink) {
  ASSERT_TRUE(open(fixture.partition, "tarnwick_p", "QQ==", true));
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0].args,
            (std::vector<std::string>{"open", "--type", "luks2", "--key-file=-", "--allow-discards",
                                      fixture.partition_link, "tarnwick_p"}));
  EXPECT_EQ(runner.calls[0].stdin_bytes, std::string("A"));
}

TEST_F(LuksRequests, OpenWithEmptyPassphraseLeavesTheDecisionToCryptsetup) {
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a", ""));
  EXPECT_EQ(runner.calls.at(0).stdin_bytes, std::string());
}

TEST_F(LuksRequests, OpenStepOrder) {
  const std::string unknown = fixture.dir.file("dev/nothing");
  EXPECT_EQ(error_of(open(unknown, "bad name")),
            "device is not a detected removable drive or partition");
  EXPECT_EQ(error_of(open(fixture.fixed_drive, "bad name")),
            "refused destructive operation: device is not removable or hotplug-capable");
  EXPECT_EQ(error_of(open(fixture.drive, "tarnwick_a/b", "!")), "invalid Tarnwick mapper name");
  EXPECT_EQ(error_of(open(fixture.drive, "Tarnwick_a")), "invalid Tarnwick mapper name");
  EXPECT_EQ(error_of(open(fixture.drive, "tarnwick_a", "QUJD\v")),
            "passphrase base64: invalid base64 byte");
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_TRUE(mappers.empty());
}

TEST_F(LuksRequests, CloseOnlyWhatThisSessionOpened) {
  const std::string refusal = "refusing to close a mapper not opened by this session";
  EXPECT_EQ(error_of(close("tarnwick_a")), refusal);  // nothing opened yet
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a"));
  EXPECT_EQ(error_of(close("tarnwick_b")), refusal);  // valid, but not ours
  EXPECT_EQ(runner.calls.size(), 1u);                 // only the open ran

  ASSERT_TRUE(close("tarnwick_a"));
  EXPECT_EQ(runner.calls.back().args, (std::vector<std::string>{"close", "tarnwick_a"}));
  EXPECT_FALSE(runner.calls.back().stdin_bytes.has_value());
  EXPECT_TRUE(mappers.empty());
  EXPECT_EQ(error_of(close("tarnwick_a")), refusal);  // closed already
  EXPECT_EQ(runner.calls.size(), 2u);
}

TEST_F(LuksRequests, FailedCloseKeepsTheNameForALaterAttempt) {
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a"));
  runner.push_result(std::unexpected(command_failed("cryptsetup close tarnwick_a", 5, "busy\n")));
  EXPECT_EQ(error_of(close("tarnwick_a")),
            "command `cryptsetup close tarnwick_a` failed (exit 5): busy\n");
  EXPECT_TRUE(mappers.contains("tarnwick_a"));

  ASSERT_TRUE(close("tarnwick_a"));
  EXPECT_EQ(runner.calls.size(), 3u);
  EXPECT_FALSE(mappers.contains("tarnwick_a"));
}

// Runs close_session_mappers with standard error on a pipe and returns what
// was written there.
std::string close_at_end_of_session(RecordingRunner& runner, SessionMapperSet& mappers) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  close_session_mappers(runner, mappers, fds[1]);
  ::close(fds[1]);
  std::string written;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
    written.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  return written;
}

TEST_F(LuksRequests, EndOfSessionClosesEveryNameAndReportsEachFailure) {
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a"));
  ASSERT_TRUE(open(fixture.partition, "tarnwick_b"));
  ASSERT_TRUE(open(fixture.drive, "tarnwick_c"));
  runner.calls.clear();
  runner.respond = [](const testing::RecordedCall& call) -> RecordingRunner::Result {
    if (call.args.at(1) == "tarnwick_a") {
      return runner::ToolOutput{};
    }
    return std::unexpected(command_failed("cryptsetup close " + call.args.at(1), 4, "busy\n"));
  };

  const std::string written = close_at_end_of_session(runner, mappers);

  EXPECT_TRUE(mappers.empty());
  std::vector<std::string> closed;
  for (const auto& call : runner.calls) {
    EXPECT_EQ(call.args.at(0), "close");
    closed.push_back(call.args.at(1));
  }
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(closed, (std::vector<std::string>{"tarnwick_a", "tarnwick_b", "tarnwick_c"}));

  // One line per failure, in the order the closes ran; no retry.
  std::string expected;
  for (const auto& call : runner.calls) {
    const std::string& name = call.args.at(1);
    if (name != "tarnwick_a") {
      expected += "tarnwick-drives-helper: could not close " + name +
                  ": command `cryptsetup close " + name + "` failed (exit 4): busy\n\n";
    }
  }
  EXPECT_EQ(written, expected);
}

TEST_F(LuksRequests, EndOfSessionRetriesANameWhoseCloseFailedEarlier) {
  ASSERT_TRUE(open(fixture.drive, "tarnwick_a"));
  runner.push_result(std::unexpected(command_failed("cryptsetup close tarnwick_a", 5, "busy")));
  ASSERT_FALSE(close("tarnwick_a"));

  EXPECT_EQ(close_at_end_of_session(runner, mappers), "");
  EXPECT_EQ(runner.calls.size(), 3u);
  EXPECT_EQ(runner.calls.back().args, (std::vector<std::string>{"close", "tarnwick_a"}));
  EXPECT_TRUE(mappers.empty());
}

TEST(CloseSessionMappers, ClosedStandardErrorIsIgnored) {
  RecordingRunner runner;
  runner.push_result(std::unexpected(command_failed("cryptsetup close tarnwick_a", 4, "")));
  SessionMapperSet mappers;
  mappers.insert("tarnwick_a");
  mappers.insert("tarnwick_b");
  close_session_mappers(runner, mappers, -1);
  EXPECT_EQ(runner.calls.size(), 2u);
  EXPECT_TRUE(mappers.empty());
}

}  // namespace
}  // namespace tarnwick::luks
