// SPDX-License-Identifier: MIT
// The command under a pseudo-terminal inside the end-to-end sandbox, with
// the real helper started directly (root) on scratch loop drives.
#include <gtest/gtest.h>

#include "cli/runner.hpp"
#include "e2e/fixture.hpp"

namespace {

using tdh_e2e::drive;
using tdh_e2e::Sandbox;
using namespace tdh_cli_test;

class CommandE2e : public tdh_e2e::E2eTest {};

// tarnwick-drives ARGS, run inside the sandbox so that it sees the sandbox's
// drives, by-id links and lsblk.
PtyRun command_in(const Sandbox& sandbox, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {
      "/usr/bin/nsenter", "--target", std::to_string(sandbox.init_pid()),
      "--mount",          "--pid",    "--",
      TDH_CLI_BINARY,     "--helper", TDH_HELPER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return PtyRun(argv, environment_with_path("/usr/sbin:/usr/bin:/sbin:/bin"));
}

TEST_F(CommandE2e, WipeConfirmsTheDriveAndDrawsAPercentageBar) {
  Sandbox sandbox({drive("CLIWIPE")});
  const auto& scratch = sandbox.drive(0);
  const std::string name = scratch.loop->name();
  PtyRun run = command_in(sandbox, {"wipe", scratch.path(), "--mode", "random"});
  ASSERT_TRUE(run.wait_for("Type " + name + " to confirm: ")) << run.output();
  for (const std::string& shown :
       {scratch.path() + "  64.0 MiB  Tarnwick E2E Scratch", std::string("serial:   CLIWIPE"),
        "by-id:    " + tdh_e2e::by_id_path("CLIWIPE"), std::string("mounted:  nothing")}) {
    EXPECT_NE(run.output().find(shown), std::string::npos) << shown << " in\n" << run.output();
  }
  EXPECT_TRUE(sandbox.tool_calls("dd").empty());
  run.type(name + "\n");
  ASSERT_TRUE(run.wait_for("wiped " + scratch.path() + " (mode random): ")) << run.output();
  EXPECT_EQ(run.finish(), 0) << run.output();
  EXPECT_NE(run.output().find("of 64.0 MiB"), std::string::npos) << run.output();
  EXPECT_NE(run.output().find("]  0%"), std::string::npos) << run.output();
  EXPECT_EQ(sandbox.tool_calls("dd").size(), 1u);
  EXPECT_NE(sandbox.read_drive(0, 0, 4096), tdh_e2e::pattern_block(0));
}

TEST_F(CommandE2e, VerifiedWipeWritesItsReport) {
  Sandbox sandbox({drive("CLIVERIFY")});
  const auto& scratch = sandbox.drive(0);
  const std::string report = "/run/tdh-e2e/report.json";
  PtyRun run = command_in(sandbox, {"--yes", "wipe", scratch.path(), "--mode", "encrypted-zero",
                                    "--verify", "--report", report});
  ASSERT_TRUE(run.wait_for("report written to " + report)) << run.output();
  EXPECT_EQ(run.finish(), 0) << run.output();
  EXPECT_NE(run.output().find("written and read back in"), std::string::npos) << run.output();
  EXPECT_NE(run.output().find("verified"), std::string::npos) << run.output();
  const auto doc = nlohmann::json::parse(tdh_e2e::read_file(sandbox.inside(report)));
  EXPECT_EQ(doc["drive"]["path"], scratch.path());
  EXPECT_EQ(doc["drive"]["serial"], "CLIVERIFY");
  EXPECT_EQ(doc["drive"]["size"], scratch.size());
  EXPECT_EQ(doc["drive"]["by_id"], tdh_e2e::by_id_path("CLIVERIFY"));
  EXPECT_EQ(doc["method"], "encrypted-zero");
  EXPECT_EQ(doc["verification"], "passed");
  EXPECT_EQ(doc["result"], "ok");
  EXPECT_TRUE(doc["error"].is_null());
  EXPECT_GE(doc["bytes_written"].get<std::uint64_t>(), scratch.size() - 8 * 1024 * 1024);

  // A failed wipe is reported too, with the helper's text.
  const std::string failed = "/run/tdh-e2e/failed.json";
  tdh_e2e::write_file(sandbox.inside(std::string(tdh_e2e::layout::kCorruptAfterDd)), "0");
  PtyRun bad = command_in(sandbox, {"--yes", "wipe", scratch.path(), "--mode", "encrypted-zero",
                                    "--verify", "--report", failed});
  EXPECT_EQ(bad.finish(), 1) << bad.output();
  const auto failure = nlohmann::json::parse(tdh_e2e::read_file(sandbox.inside(failed)));
  EXPECT_EQ(failure["verification"], "failed");
  EXPECT_EQ(failure["result"], "failed");
  EXPECT_EQ(failure["error"],
            "verification failed: the drive returned different data at byte offset 0");
}

TEST_F(CommandE2e, EncryptOpenMkfsCloseInOneSessionWithTypedPassphrases) {
  Sandbox sandbox({drive("CLILUKS").with_luks_payload()});
  const auto& scratch = sandbox.drive(0);
  const std::string name = scratch.loop->name();
  PtyRun run =
      command_in(sandbox, {"encrypt", scratch.path(), "--label", "cli", "open", scratch.path(),
                           "cli", "mkfs", "cli", "--label", "data", "close", "cli"});
  ASSERT_TRUE(run.wait_for("Type " + name + " to confirm: ")) << run.output();
  run.type(name + "\n");
  ASSERT_TRUE(run.wait_for("Passphrase for " + scratch.path() + ": ")) << run.output();
  run.type("typed secret\n");
  ASSERT_TRUE(run.wait_for("Repeat the passphrase: ")) << run.output();
  run.type("typed secret\n");
  ASSERT_TRUE(run.wait_for("closed /dev/mapper/tarnwick_cli")) << run.output();
  EXPECT_EQ(run.finish(), 0) << run.output();
  EXPECT_EQ(run.output().find("typed secret"), std::string::npos);

  const auto crypt = sandbox.tool_calls("cryptsetup");
  ASSERT_EQ(crypt.size(), 3u);
  EXPECT_EQ(crypt[0][1], "luksFormat");
  EXPECT_EQ(crypt[1][1], "open");
  EXPECT_EQ(crypt[2], (std::vector<std::string>{"cryptsetup", "close", "tarnwick_cli"}));
  EXPECT_EQ(sandbox.tool_calls("mkfs.ext4").at(0).back(), "/dev/mapper/tarnwick_cli");
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_cli").has_value());
}

// Ctrl-C as a signal during a wipe (as before the wipe's first progress, or
// after a cancel) reaches the command and the helper alike: the helper stops
// dd and ends, the command says what state the drive is in and ends with 130.
// (nsenter, which only waits here, ignores it.) Typed once progress has
// arrived, the first Ctrl-C is a key the command turns into a cancel request
// instead, so the signal is sent as the terminal would send it.
TEST_F(CommandE2e, CtrlCDuringAWipeSaysTheDriveIsOnlyPartlyWipedAndExits130) {
  Sandbox sandbox({drive("CLISTOP")});
  const auto& scratch = sandbox.drive(0);
  sandbox.hold("dd");
  const std::vector<std::string> argv = {"/usr/bin/env",
                                         "--ignore-signal=INT",
                                         "/usr/bin/nsenter",
                                         "--target",
                                         std::to_string(sandbox.init_pid()),
                                         "--mount",
                                         "--pid",
                                         "--",
                                         TDH_CLI_BINARY,
                                         "--helper",
                                         TDH_HELPER_BINARY,
                                         "--yes",
                                         "wipe",
                                         scratch.path(),
                                         "--mode",
                                         "encrypted-zero"};
  PtyRun run(argv, environment_with_path("/usr/sbin:/usr/bin:/sbin:/bin"));
  const pid_t dd = sandbox.held("dd");
  run.interrupt();
  EXPECT_EQ(run.finish(), 130) << run.output();
  for (const std::string& shown :
       {std::string("tarnwick-drives: stopping: closing what the helper opened…"),
        "tarnwick-drives: the wipe of " + scratch.path() +
            " was interrupted: the drive is only partly wiped"}) {
    EXPECT_NE(run.output().find(shown), std::string::npos) << shown << " in\n" << run.output();
  }
  EXPECT_FALSE(sandbox.running_inside(dd));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp").has_value());
}

// Typed once progress shows, the first Ctrl-C is a cancel on the protocol:
// the helper stops dd and closes its mapping, the command says so and ends 130.
TEST_F(CommandE2e, TypedCtrlCCancelsTheWipeThroughTheHelper) {
  Sandbox sandbox({drive("CLICANCEL")});
  const auto& scratch = sandbox.drive(0);
  sandbox.hold("dd");
  PtyRun run = command_in(sandbox, {"--yes", "wipe", scratch.path(), "--mode", "encrypted-zero"});
  const pid_t dd = sandbox.held("dd");
  ASSERT_TRUE(run.wait_for("%")) << run.output();
  run.type("\x03");
  EXPECT_EQ(run.finish(), 130) << run.output();
  sandbox.release("dd");
  for (const std::string& shown : {std::string("tarnwick-drives: cancelling the wipe…"),
                                   std::string("wipe cancelled: the drive is only partly wiped")}) {
    EXPECT_NE(run.output().find(shown), std::string::npos) << shown << " in\n" << run.output();
  }
  EXPECT_FALSE(sandbox.running_inside(dd));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp").has_value());
}

TEST_F(CommandE2e, AHelperRefusalIsPrintedVerbatimWithStatusOne) {
  Sandbox sandbox({drive("CLIRO").readonly()});
  PtyRun run = command_in(sandbox, {"--yes", "wipe", sandbox.drive(0).path(), "--mode", "none"});
  EXPECT_EQ(run.finish(), 1) << run.output();
  EXPECT_NE(run.output().find("tarnwick-drives: wipe of " + sandbox.drive(0).path() +
                              " failed: refused destructive operation: device is read-only"),
            std::string::npos)
      << run.output();
}

}  // namespace

namespace {

// Two scratch drives wiped at once by one command: one confirmation for
// both, one session, a row and a report per drive.
TEST_F(CommandE2e, TwoDrivesAreWipedInOneSessionWithAReportEach) {
  Sandbox sandbox({drive("CLIMANY1"), drive("CLIMANY2")});
  const auto& first = sandbox.drive(0);
  const auto& second = sandbox.drive(1);
  const std::string reports = "/run/tdh-e2e";
  PtyRun run = command_in(sandbox, {"wipe", first.path(), second.path(), "--mode", "encrypted-zero",
                                    "--verify", "--report", reports});
  ASSERT_TRUE(run.wait_for("Type 2 to confirm: ")) << run.output();
  run.type("2\n");
  ASSERT_TRUE(run.wait_for("reports written to " + reports)) << run.output();
  EXPECT_EQ(run.finish(), 0) << run.output();
  for (const auto* scratch : {&first, &second}) {
    EXPECT_NE(run.output().find(scratch->path() + "  ok  "), std::string::npos) << run.output();
    const auto doc = nlohmann::json::parse(
        tdh_e2e::read_file(sandbox.inside(reports + "/" + scratch->loop->name() + ".json")));
    EXPECT_EQ(doc["drive"]["path"], scratch->path());
    EXPECT_EQ(doc["verification"], "passed");
    EXPECT_EQ(doc["result"], "ok");
  }
  EXPECT_EQ(sandbox.tool_calls("dd").size(), 2u);
}

}  // namespace
