// SPDX-License-Identifier: MIT
// The session through the real binary, as a client drives it: what it
// answers (and does not answer) before any drive is touched.
#include <gtest/gtest.h>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

class SessionTest : public E2eTest {};

TEST_F(SessionTest, EmptyInputEndsTheSessionSilently) {
  Sandbox sandbox({drive("S")});
  auto helper = sandbox.start_helper();
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(), "");
  EXPECT_TRUE(sandbox.tool_log().empty());
}

TEST_F(SessionTest, BlankLinesAndShutdownGetNoAnswerAndNothingAfterShutdownRuns) {
  Sandbox sandbox({drive("S")});
  auto helper = sandbox.start_helper();
  helper->send_raw("\n\r\n \t \n");
  helper->send("{\"op\":\"shutdown\"}");
  helper->send(wipe_request(sandbox.drive(0).path(), "random"));
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(), "");
  EXPECT_TRUE(sandbox.tool_log().empty()) << "the request after shutdown was carried out";
  EXPECT_EQ(sandbox.read_drive(0, 0, 4096), pattern_block(0));
}

TEST_F(SessionTest, ErrorsDoNotEndTheSessionAndAnswersKeepTheirOrder) {
  Sandbox sandbox({drive("S")});
  auto helper = sandbox.start_helper();
  // Written in one go: the helper must still answer them one by one.
  helper->send_raw(
      "{\"op\":\"wipe\",\"device\":\"/dev/loop-none\"}\n"
      "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_x\"}\n" +
      wipe_request(sandbox.drive(0).path(), "none") + "\n");
  EXPECT_EQ(helper->next_line(), error_line("parse: missing field `mode`"));
  EXPECT_EQ(helper->next_line(),
            error_line("refusing to close a mapper not opened by this session"));
  EXPECT_EQ(helper->next_line(), kOk);
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
}

}  // namespace
}  // namespace tdh_e2e
