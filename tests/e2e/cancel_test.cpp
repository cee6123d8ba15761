// SPDX-License-Identifier: MIT
// Cancelling a running wipe from the client: the tool is stopped and reaped,
// the temporary mapping closed, the wipe and the cancel answered in that
// order, and every other line sent meanwhile handled afterwards, in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/fixture.hpp"
#include "support/support.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string kCancel = R"({"op":"cancel"})";
const std::string kPartly = error_line("wipe cancelled: the drive is only partly wiped");
const std::string kNotOwned = error_line("refusing to close a mapper not opened by this session");
const std::string kTooLong = error_line("stdin: request exceeds 1 MiB");

// Every line up to `count` lines that are not progress reports.
std::vector<std::string> answers(HelperSession& helper, std::size_t count) {
  std::vector<std::string> out;
  while (out.size() < count) {
    std::string line = helper.next_line(60s);
    if (!progress_copied(line) && !progress_verified(line)) {
      out.push_back(std::move(line));
    }
  }
  return out;
}

struct CancelCase {
  const char* name;
  std::string mode;
  bool verify;
  std::string held;  // the tool running when the cancel arrives
  std::string answer;
  friend void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }
};

class CancelTest : public E2eTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelTest, StopsTheToolClosesTheMappingAndTheSessionGoesOn) {
  const CancelCase& c = GetParam();
  Sandbox sandbox({drive("CANCELLED")});
  const std::string device = sandbox.drive(0).path();
  auto helper = sandbox.start_helper();
  sandbox.hold(c.held);
  helper->send(c.verify ? verified_wipe_request(device, c.mode) : wipe_request(device, c.mode));
  const pid_t tool = sandbox.held(c.held);

  helper->send(kCancel);
  EXPECT_THAT(answers(*helper, 2), ElementsAre(c.answer, kOk));
  EXPECT_FALSE(sandbox.running_inside(tool)) << c.held << " outlived the cancel";
  sandbox.release(c.held);
  if (c.mode == "encrypted-zero") {
    EXPECT_TRUE(closed(sandbox, "tarnwick_wipe_tmp"));
  }
  // Only the wipe ended: the next wipe runs to its end, and a cancel after
  // it has nothing to stop.
  const Answer again = split_answer(helper->request(wipe_request(device, "random")));
  EXPECT_EQ(again.final_line, kOk);
  EXPECT_THAT(helper->request(kCancel),
              ElementsAre(::testing::StartsWith(R"({"error":"parse: unknown variant `cancel`)")));
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_THAT(helper->trailing_lines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Moments, CancelTest,
    ::testing::Values(
        CancelCase{"RandomFill", "random", false, "dd", kPartly},
        CancelCase{"EncryptedZeroFill", "encrypted-zero", false, "dd", kPartly},
        CancelCase{"OpeningTheTemporaryMapping", "encrypted-zero", false, "cryptsetup-open",
                   error_line("wipe cancelled before anything was written")},
        CancelCase{"ReadingBack", "encrypted-zero", true, "cmp",
                   error_line("wipe cancelled during verification: the drive was written in "
                              "full but not read back")}),
    tarnwick::testing::CaseName{});

class CancelQueueTest : public E2eTest {};

// Lines sent during a wipe wait for it, keep their order and their framing
// (the line limit included); the cancel among them is answered first.
TEST_F(CancelQueueTest, OtherLinesWaitInOrderBehindTheWipe) {
  Sandbox sandbox({drive("QUEUED")});
  auto helper = sandbox.start_helper();
  sandbox.hold("dd");
  helper->send(wipe_request(sandbox.drive(0).path(), "random"));
  (void)sandbox.held("dd");

  const std::string over_long = close_request("tarnwick_x") + std::string(1'100'000, ' ');
  helper->send_raw(close_request("tarnwick_a") + "\n" + over_long + "\n" + "nope\n" + "  \n" +
                   kCancel + "\r\n" + close_request("tarnwick_b"));
  // The partial last line is finished only after the cancel was heard.
  EXPECT_THAT(answers(*helper, 2), ElementsAre(kPartly, kOk));
  helper->send_raw("\n");
  EXPECT_THAT(
      answers(*helper, 4),
      ElementsAreArray({kNotOwned, kTooLong, error_line("parse: expected value at line 1 column 2"),
                        kNotOwned}));
  EXPECT_EQ(helper->finish(), 0);
}

// A cancel sent together with the wipe stops it before any tool writes.
TEST_F(CancelQueueTest, ACancelThatCameWithTheWipeStopsItBeforeWriting) {
  Sandbox sandbox({drive("EARLY")});
  auto helper = sandbox.start_helper();
  helper->send_raw(wipe_request(sandbox.drive(0).path(), "random") + "\n" + kCancel + "\n");
  EXPECT_THAT(answers(*helper, 2),
              ElementsAre(error_line("wipe cancelled before anything was written"), kOk));
  EXPECT_THAT(sandbox.tool_calls("dd"), IsEmpty());
  EXPECT_EQ(helper->finish(), 0);
}

// Clients pipe their requests and close their input: that is no cancel.
TEST_F(CancelQueueTest, EndOfInputDuringAWipeLetsItFinish) {
  Sandbox sandbox({drive("PIPED")});
  auto helper = sandbox.start_helper();
  sandbox.hold("dd");
  helper->send_raw(wipe_request(sandbox.drive(0).path(), "random") + "\n" +
                   close_request("tarnwick_a"));
  (void)sandbox.held("dd");
  std::thread release([&sandbox] {
    std::this_thread::sleep_for(1s);
    sandbox.release("dd");
  });
  EXPECT_EQ(helper->finish(), 0);
  release.join();
  const Answer answer = split_answer(helper->trailing_lines());
  EXPECT_THAT(answer.malformed, ElementsAre(kOk)) << "the wipe's answer, then the held line's";
  EXPECT_EQ(answer.final_line, kNotOwned);
}

}  // namespace
}  // namespace tdh_e2e
