// SPDX-License-Identifier: MIT
// Faults and interruptions through the real binary: a drive whose writes
// fail, and SIGINT/SIGTERM/SIGHUP at the moments that used to leave a tool
// running or a mapping open behind the helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <ostream>
#include <string>

#include "e2e/fixture.hpp"
#include "support/support.hpp"

namespace tdh_e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class InterruptTest : public E2eTest {};

// The final line of the answer to the request just sent.
std::string final_line(HelperSession& helper) {
  for (;;) {
    std::string line = helper.next_line(60s);
    if (!progress_copied(line)) {
      return line;
    }
  }
}

void make_container(const Sandbox& sandbox, const std::string& device) {
  sandbox.run_ok({"cryptsetup", "luksFormat", "--type", "luks2", "--pbkdf", "pbkdf2",
                  "--pbkdf-force-iterations", "1000", "--batch-mode", "--key-file=-", device},
                 "pass");
}

std::string open_request(const std::string& device) {
  return "{\"op\":\"luks-open\",\"device\":" + json_string(device) +
         ",\"mapper_name\":\"tarnwick_e2e\",\"passphrase_b64\":\"" + base64("pass") + "\"}";
}

TEST_F(InterruptTest, WritesThatFailPastATmpfsAreAnErrorWithDdsText) {
  for (const std::string mode : {"random", "encrypted-zero"}) {
    // 256 MiB of drive over 64 MiB of memory: the kernel counts every write,
    // failed or not, so only dd's own report can tell.
    Sandbox sandbox({drive("FAILING").size_mib(256).on_tmpfs_mib(64)});
    auto helper = sandbox.start_helper();
    helper->send(wipe_request(sandbox.drive(0).path(), mode));
    const std::string answer = final_line(*helper);
    EXPECT_THAT(answer, StartsWith("{\"error\":\"command `dd if=")) << mode;
    EXPECT_THAT(answer, HasSubstr("failed (exit 1): dd: ")) << mode;
    EXPECT_EQ(helper->finish(), 0) << mode;
    if (mode == "encrypted-zero") {
      EXPECT_TRUE(closed(sandbox, "tarnwick_wipe_tmp"));
    }
  }
}

enum class Moment { RandomFill, EncryptedZeroFill, LuksOpen, IdleWithContainer };

struct SignalCase {
  const char* name;
  Moment moment;
  int signal_number;
  bool whole_group;  // as a terminal's Ctrl-C: the helper and its running tool
  friend void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }
};

class SignalTest : public E2eTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, StopsTheToolClosesEveryMappingAndExitsWith128PlusTheSignal) {
  const SignalCase& c = GetParam();
  const bool luks = c.moment == Moment::LuksOpen || c.moment == Moment::IdleWithContainer;
  DriveSpec described = drive("SIGNALLED");
  if (luks) {
    described.with_luks_payload().blank();
  }
  Sandbox sandbox({described});
  const std::string device = sandbox.drive(0).path();
  auto helper = sandbox.start_helper();

  pid_t tool = -1;
  switch (c.moment) {
    case Moment::RandomFill:
    case Moment::EncryptedZeroFill:
      sandbox.hold("dd");
      helper->send(
          wipe_request(device, c.moment == Moment::RandomFill ? "random" : "encrypted-zero"));
      tool = sandbox.held("dd");
      break;
    case Moment::LuksOpen:
      make_container(sandbox, device);
      sandbox.hold("cryptsetup-open");
      helper->send(open_request(device));
      tool = sandbox.held("cryptsetup-open");
      break;
    case Moment::IdleWithContainer:
      make_container(sandbox, device);
      helper->send(open_request(device));
      ASSERT_EQ(final_line(*helper), kOk);
      break;
  }
  ASSERT_EQ(::kill(c.whole_group ? -helper->pid() : helper->pid(), c.signal_number), 0);

  if (c.moment != Moment::IdleWithContainer) {
    const std::string answer = final_line(*helper);
    EXPECT_THAT(answer, StartsWith("{\"error\":\"command `"));
    EXPECT_THAT(answer, HasSubstr(std::string("` stopped: interrupted by SIG") +
                                  ::sigabbrev_np(c.signal_number)));
  }
  EXPECT_EQ(helper->wait_exit(60s), 128 + c.signal_number);
  EXPECT_THAT(helper->trailing_lines(), IsEmpty()) << "nothing after the last answer";
  if (tool > 0) {
    EXPECT_FALSE(sandbox.running_inside(tool)) << "the tool outlived the helper";
  }
  if (c.moment == Moment::EncryptedZeroFill) {
    EXPECT_TRUE(closed(sandbox, "tarnwick_wipe_tmp"));
  }
  if (c.moment == Moment::IdleWithContainer) {
    EXPECT_TRUE(closed(sandbox, "tarnwick_e2e"));
  }
  if (c.moment == Moment::LuksOpen) {
    EXPECT_FALSE(sandbox.mapper_target("tarnwick_e2e"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, SignalTest,
    ::testing::Values(
        SignalCase{"TermDuringRandomFill", Moment::RandomFill, SIGTERM, false},
        SignalCase{"CtrlCDuringRandomFill", Moment::RandomFill, SIGINT, true},
        SignalCase{"TermDuringEncryptedZero", Moment::EncryptedZeroFill, SIGTERM, false},
        SignalCase{"CtrlCDuringEncryptedZero", Moment::EncryptedZeroFill, SIGINT, true},
        SignalCase{"IntToHelperDuringEncryptedZero", Moment::EncryptedZeroFill, SIGINT, false},
        SignalCase{"TermDuringLuksOpen", Moment::LuksOpen, SIGTERM, false},
        SignalCase{"CtrlCDuringLuksOpen", Moment::LuksOpen, SIGINT, true},
        SignalCase{"TermWhileIdle", Moment::IdleWithContainer, SIGTERM, false},
        SignalCase{"HangUpWhileIdle", Moment::IdleWithContainer, SIGHUP, true}),
    tarnwick::testing::CaseName{});

}  // namespace
}  // namespace tdh_e2e
