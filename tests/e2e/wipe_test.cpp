// SPDX-License-Identifier: MIT
// "wipe" through the real binary on scratch drives: the lines a client
// reads, the commands that ran, and what ended up on the device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

class WipeTest : public E2eTest {};

std::uint64_t end_tolerance(std::uint64_t size) {
  return size < 100 ? 1 : std::min<std::uint64_t>(size / 100, 8 * layout::kMiB);
}

// Progress is the kernel's count of bytes written to the drive: it never
// goes back, never passes the drive's size, and reaches its end.
void expect_progress_to_the_end(const Answer& answer, std::uint64_t size) {
  EXPECT_TRUE(answer.malformed.empty()) << answer.malformed.front();
  ASSERT_GE(answer.progress.size(), 2u) << "one report at the start and one after dd ended";
  EXPECT_TRUE(std::is_sorted(answer.progress.begin(), answer.progress.end()));
  EXPECT_LE(answer.progress.back(), size);
  EXPECT_GE(answer.progress.back(), size - end_tolerance(size));
}

TEST_F(WipeTest, RandomOverwritesEveryBlockAndReportsProgress) {
  Sandbox sandbox({drive("RANDOM")});
  const auto& target = sandbox.drive(0);
  auto helper = sandbox.start_helper();
  Answer answer = split_answer(helper->request(wipe_request(target.path(), "random")));
  EXPECT_EQ(answer.final_line, kOk);
  expect_progress_to_the_end(answer, target.size());

  EXPECT_THAT(argvs(changes_since(sandbox, 0)),
              ElementsAre(ElementsAre("dd", "if=/dev/urandom", "of=" + target.by_id, "bs=4M",
                                      "conv=fsync", "status=none")));
  std::size_t untouched = count_blocks(sandbox, 0, [](std::uint64_t offset, std::string_view b) {
    return b == pattern_block(offset) || is_zero_block(b);
  });
  EXPECT_EQ(untouched, 0u) << "of " << block_count(sandbox, 0) << " blocks";
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_EQ(helper->stderr_text(), "");
}

TEST_F(WipeTest, EncryptedZeroWritesThroughATemporaryPlainMappingAndClosesIt) {
  Sandbox sandbox({drive("EZERO")});
  const auto& target = sandbox.drive(0);
  auto helper = sandbox.start_helper();
  Answer answer = split_answer(helper->request(wipe_request(target.path(), "encrypted-zero")));
  EXPECT_EQ(answer.final_line, kOk);
  // Measured on the drive under the mapping, not on the mapping.
  expect_progress_to_the_end(answer, target.size());

  auto changes = changes_since(sandbox, 0);
  EXPECT_THAT(argvs(changes),
              ElementsAre(ElementsAre("cryptsetup", "open", "--type", "plain", "--cipher",
                                      "aes-xts-plain64", "--key-size", "512", "--key-file", "-",
                                      target.by_id, "tarnwick_wipe_tmp"),
                          ElementsAre("dd", "if=/dev/zero", "of=/dev/mapper/tarnwick_wipe_tmp",
                                      "bs=4M", "conv=fsync", "status=none"),
                          ElementsAre("cryptsetup", "close", "tarnwick_wipe_tmp")));
  if (!changes.empty() && changes[0].contains("stdin")) {
    EXPECT_EQ(changes[0]["stdin"], 64) << "the key is 64 bytes, nothing added";
  }
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp")) << "the mapping was left open";

  if (kernel_has_device_mapper()) {
    // Ciphertext under a forgotten key: neither the old data nor zeros.
    EXPECT_EQ(count_blocks(sandbox, 0,
                           [](std::uint64_t offset, std::string_view b) {
                             return b == pattern_block(offset) || is_zero_block(b);
                           }),
              0u);
  } else {
    // Without device-mapper the plain mapping is a link to the drive itself,
    // so the zeros reach it unencrypted: every block must be zero.
    EXPECT_EQ(count_blocks(sandbox, 0,
                           [](std::uint64_t, std::string_view b) { return !is_zero_block(b); }),
              0u);
  }
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(WipeTest, VerifiedEncryptedZeroReadsTheWholeDriveBack) {
  Sandbox sandbox({drive("VERIFY")});
  const auto& target = sandbox.drive(0);
  auto helper = sandbox.start_helper();
  Answer answer =
      split_answer(helper->request(verified_wipe_request(target.path(), "encrypted-zero")));
  EXPECT_EQ(answer.final_line, kOk);
  expect_progress_to_the_end(answer, target.size());
  // The read-back follows the writing, counted on the drive from its start.
  ASSERT_GE(answer.verified.size(), 2u);
  std::vector<std::uint64_t> read_back;
  for (const auto& [copied, verified] : answer.verified) {
    EXPECT_EQ(copied, answer.progress.back());
    read_back.push_back(verified);
  }
  EXPECT_TRUE(std::is_sorted(read_back.begin(), read_back.end()));
  // "ok" now means the drive answered for every byte: no tolerance.
  EXPECT_EQ(read_back.back(), target.size());
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp")) << "the mapping was left open";
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(WipeTest, VerificationFailsWhenTheDriveReturnsOtherData) {
  Sandbox sandbox({drive("BADREAD")});
  const auto& target = sandbox.drive(0);
  write_file(sandbox.inside(std::string(layout::kCorruptAfterDd)), "5242880");
  auto helper = sandbox.start_helper();
  Answer answer =
      split_answer(helper->request(verified_wipe_request(target.path(), "encrypted-zero")));
  EXPECT_EQ(
      answer.final_line,
      error_line("verification failed: the drive returned different data at byte offset 5242880"));
  EXPECT_FALSE(answer.verified.empty());
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp")) << "the mapping was left open";

  // Any other mode with "verify" is refused before any tool runs.
  const std::size_t mark = sandbox.tool_log().size();
  EXPECT_THAT(helper->request(verified_wipe_request(target.path(), "random")),
              ElementsAre(error_line("verification is only available for mode encrypted-zero")));
  EXPECT_TRUE(changes_since(sandbox, mark).empty());
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(WipeTest, EncryptedZeroStopsAtALeftoverMappingWithoutTouchingTheDrive) {
  Sandbox sandbox({drive("EZERO"), drive("OTHER")});
  const auto& target = sandbox.drive(0);
  // A mapping of that name left behind by an earlier, killed helper.
  sandbox.run_ok(
      {"cryptsetup", "open", "--type", "plain", "--cipher", "aes-xts-plain64", "--key-size", "512",
       "--key-file", "-", sandbox.drive(1).path(), "tarnwick_wipe_tmp"},
      std::string(64, 'k'));
  const std::size_t mark = sandbox.tool_log().size();
  auto helper = sandbox.start_helper();
  auto lines = helper->request(wipe_request(target.path(), "encrypted-zero"));
  std::string open_command =
      "cryptsetup open --type plain --cipher aes-xts-plain64 --key-size 512 --key-file - " +
      target.by_id + " tarnwick_wipe_tmp";
  // The simulated open answers in cryptsetup's own words and status.
  EXPECT_THAT(lines, ElementsAre(error_line("command `" + open_command +
                                            "` failed (exit 5): Device tarnwick_wipe_tmp "
                                            "already exists.\n")));
  // Neither an overwrite nor a close of somebody else's mapping.
  EXPECT_EQ(changes_since(sandbox, mark).size(), 1u);
  EXPECT_TRUE(sandbox.mapper_target("tarnwick_wipe_tmp"));
  EXPECT_EQ(count_blocks(sandbox, 0,
                         [](std::uint64_t offset, std::string_view b) {
                           return b != pattern_block(offset);
                         }),
            0u);
  sandbox.run_ok({"cryptsetup", "close", "tarnwick_wipe_tmp"});
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(WipeTest, SecureDiscardOnADriveWithoutItFailsWithBlkdiscardsOwnWords) {
  Sandbox sandbox({drive("SECDISCARD")});
  const auto& target = sandbox.drive(0);
  auto helper = sandbox.start_helper();
  auto lines = helper->request(wipe_request(target.path(), "secure-discard"));
  // What the same command says when run directly: loop devices offer no
  // secure discard, and the helper falls back to nothing.
  ProcessResult direct = sandbox.run({"blkdiscard", "--secure", target.by_id});
  ASSERT_NE(direct.exit_code, 0);
  ASSERT_NE(direct.err, "");
  EXPECT_THAT(lines, ElementsAre(error_line("command `blkdiscard --secure " + target.by_id +
                                            "` failed (exit " + std::to_string(direct.exit_code) +
                                            "): " + direct.err)));
  EXPECT_THAT(argvs(changes_since(sandbox, 0)),
              ElementsAre(ElementsAre("blkdiscard", "--secure", target.by_id),
                          ElementsAre("blkdiscard", "--secure", target.by_id)));
  EXPECT_EQ(count_blocks(sandbox, 0,
                         [](std::uint64_t offset, std::string_view b) {
                           return b != pattern_block(offset);
                         }),
            0u);
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(WipeTest, NoneAnswersOkAndRunsNothingButTheGuard) {
  Sandbox sandbox({drive("NONE")});
  auto helper = sandbox.start_helper();
  EXPECT_THAT(helper->request(wipe_request(sandbox.drive(0).path(), "none")), ElementsAre(kOk));
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  // The guard's view of the drives came from lsblk, found on the helper's
  // own PATH (the session was started with one that finds nothing).
  EXPECT_FALSE(sandbox.tool_calls("lsblk").empty());
  EXPECT_EQ(sandbox.read_drive(0, 0, 4096), pattern_block(0));
  EXPECT_EQ(helper->finish(), 0);
}

}  // namespace
}  // namespace tdh_e2e
