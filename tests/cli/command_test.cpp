// SPDX-License-Identifier: MIT
// The command as a person and a script meet it, against stand-ins: a fake
// lsblk on PATH that lists one removable drive (a plain file, so nothing can
// be harmed), and a fake helper that logs requests and answers them.
#include <gtest/gtest.h>
#include <termios.h>

#include "cli/runner.hpp"
#include "client/support.hpp"
#include "fields/fields.hpp"

namespace {

using tdh_client_test::read_file;
using tdh_client_test::TempDir;
using tdh_client_test::write_file;
using tdh_client_test::write_script;
using namespace tdh_cli_test;

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((dir_ / "bin").c_str(), 0755);
    device_ = dir_ / "sdz";
    write_file(device_, "");
    write_script(dir_ / "bin/lsblk",
                 "cat <<'EOF'\n"
                 "{\"blockdevices\":[\n"
                 " {\"name\":\"vda\",\"path\":\"/dev/vda\",\"size\":21474836480,\"type\":\"disk\","
                 "\"rm\":false,\"hotplug\":false,\"ro\":false,\"model\":null,\"serial\":null,"
                 "\"mountpoint\":null},\n"
                 " {\"name\":\"sdz\",\"path\":\"" +
                     device_ +
                     "\",\"size\":16005464064,"
                     "\"type\":\"disk\",\"rm\":true,\"hotplug\":true,\"ro\":false,\"tran\":\"usb\","
                     "\"vendor\":\"Fake    \",\"model\":\"Stick 16\",\"serial\":\"FS0042\","
                     "\"mountpoint\":null,\"children\":[{\"name\":\"sdz1\",\"path\":\"/dev/sdz1\","
                     "\"type\":\"part\",\"mountpoint\":\"/media/fake\"}]}\n"
                     "]}\n"
                     "EOF\n");
  }

  // A helper stand-in: logs every request; `answers` is a shell `case` body
  // on "$line".
  std::string helper(const std::string& answers = "*) echo '{\"ok\":true}';;\n") {
    return write_script(dir_ / "helper",
                        "while IFS= read -r line; do\n"
                        "  printf '%s\\n' \"$line\" >> '" +
                            log() +
                            "'\n"
                            "  case \"$line\" in\n" +
                            answers +
                            "  esac\n"
                            "done\n"
                            "echo ended >> '" +
                            log() + "'\n");
  }

  std::string log() const { return dir_ / "requests.log"; }
  std::string requests() const { return read_file(log()); }
  std::vector<std::string> env(std::vector<std::string> extra = {}) const {
    return environment_with_path(dir_ / "bin" + ":/usr/bin:/bin", std::move(extra));
  }

  TempDir dir_;
  std::string device_;
};

const std::string kCli = TDH_CLI_BINARY;

std::string passphrase_in(const std::string& request) {
  const std::string key = "\"passphrase_b64\":\"";
  const std::size_t at = request.find(key) + key.size();
  auto bytes = tarnwick::fields::decode_passphrase(request.substr(at, request.find('"', at) - at));
  return bytes ? std::string(bytes->begin(), bytes->end()) : "<invalid>";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

TEST_F(CommandTest, WipeShowsTheDriveAsksForItsNameAndDrawsProgress) {
  const std::string h = helper(
      "*'\"op\":\"wipe\"'*)\n"
      "  for n in 0 1048576 2097152; do echo "
      "\"{\\\"progress\\\":{\\\"copied\\\":$n,\\\"total\\\":0}}\"; done\n"
      "  echo '{\"ok\":true}';;\n");
  PtyRun run({kCli, "--helper", h, "wipe", device_, "--mode", "random"}, env());
  ASSERT_TRUE(run.wait_for("Type sdz to confirm: ")) << run.output();
  for (const char* shown : {"Fake Stick 16", "FS0042", "14.9 GiB", "by-id:    none",
                            "/media/fake (/dev/sdz1)", "wipe it (mode random)"}) {
    EXPECT_NE(run.output().find(shown), std::string::npos) << shown << " in\n" << run.output();
  }
  // Nothing starts before the answer.
  EXPECT_FALSE(std::ifstream(log()).good());
  run.type("sdz\n");
  ASSERT_TRUE(run.wait_for("wiped " + device_ + " (mode random): 2.0 MiB written in 0:0"))
      << run.output();
  EXPECT_EQ(run.finish(), 0);
  // The bar is redrawn in place; the size is unknown for a plain file, so
  // it counts bytes rather than percent.
  EXPECT_NE(run.output().find("\r2.0 MiB written\x1b[K"), std::string::npos) << run.output();
  EXPECT_EQ(requests(),
            "{\"op\":\"wipe\",\"device\":\"" + device_ + "\",\"mode\":\"random\"}\nended\n");
}

TEST_F(CommandTest, AnythingButTheKernelNameCancelsBeforeTheHelperStarts) {
  const std::string h = helper();
  for (const char* answer : {"sdy\n", "/dev/sdz\n", "\n", "\x04"}) {
    PtyRun run({kCli, "--helper", h, "encrypt", device_}, env());
    ASSERT_TRUE(run.wait_for("Type sdz to confirm: ")) << run.output();
    run.type(answer);
    EXPECT_EQ(run.finish(), 3) << run.output();
    EXPECT_NE(run.output().find("cancelled: " + device_ + " was not confirmed"), std::string::npos);
    EXPECT_FALSE(std::ifstream(log()).good()) << "the helper was started";
  }
}

TEST_F(CommandTest, PassphrasesAreTypedTwiceWithoutEchoAndSentIntact) {
  const std::string h = helper();
  const std::string passphrase = "correct horse \xc3\xa9 battery";
  PtyRun run(
      {kCli, "--helper", h, "encrypt", device_, "--no-check", "--label", "backup", "open", device_,
       "backup", "mkfs", "backup", "--fs", "xfs", "--label", "data", "close", "backup"},
      env());
  ASSERT_TRUE(run.wait_for("Type sdz to confirm: ")) << run.output();
  run.type("sdz\n");
  ASSERT_TRUE(run.wait_for("Passphrase for " + device_ + ": ")) << run.output();
  run.type(passphrase + "\n");
  ASSERT_TRUE(run.wait_for("Repeat the passphrase: ")) << run.output();
  run.type(passphrase + "\n");
  ASSERT_TRUE(run.wait_for("closed /dev/mapper/tarnwick_backup")) << run.output();
  EXPECT_EQ(run.finish(), 0);
  EXPECT_EQ(run.output().find("correct horse"), std::string::npos) << "echoed:\n" << run.output();
  for (const char* said : {"formatted", "opened",
                           "made an xfs filesystem on "
                           "/dev/mapper/tarnwick_backup labelled data"}) {
    EXPECT_NE(run.output().find(said), std::string::npos) << said;
  }
  // One confirmation covers the mkfs on the same drive; the open reuses the
  // passphrase rather than asking a third time.
  const auto sent = lines_of(requests());
  ASSERT_EQ(sent.size(), 5u) << requests();
  EXPECT_NE(sent[0].find("\"op\":\"luks-format\""), std::string::npos);
  EXPECT_NE(sent[0].find("\"label\":\"backup\""), std::string::npos);
  EXPECT_EQ(passphrase_in(sent[0]), passphrase);
  EXPECT_NE(sent[1].find("\"mapper_name\":\"tarnwick_backup\""), std::string::npos);
  EXPECT_EQ(passphrase_in(sent[1]), passphrase);
  EXPECT_EQ(sent[2],
            "{\"op\":\"mkfs\",\"mapped\":\"/dev/mapper/tarnwick_backup\",\"fs\":\"xfs\","
            "\"label\":\"data\"}");
  EXPECT_EQ(sent[3], "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_backup\"}");
  EXPECT_EQ(sent[4], "ended");
}

TEST_F(CommandTest, PassphrasesThatDifferAreRefused) {
  PtyRun run({kCli, "--helper", helper(), "--yes", "encrypt", device_}, env());
  ASSERT_TRUE(run.wait_for("Passphrase for " + device_ + ": ")) << run.output();
  run.type("one\n");
  ASSERT_TRUE(run.wait_for("Repeat the passphrase: "));
  run.type("two\n");
  EXPECT_EQ(run.finish(), 3);
  EXPECT_NE(run.output().find("the passphrases do not match"), std::string::npos);
  EXPECT_FALSE(std::ifstream(log()).good());
}

TEST_F(CommandTest, WithoutATerminalItRefusesUnlessToldYes) {
  const std::string h = helper();
  auto refused = run_plain({kCli, "--helper", h, "wipe", device_, "--mode", "none"}, env());
  EXPECT_EQ(refused.exit_code, 3);
  EXPECT_EQ(refused.err, "tarnwick-drives: not going on without confirmation for " + device_ +
                             ": there is no terminal to ask on (give --yes to go ahead without "
                             "asking)\n");
  EXPECT_FALSE(std::ifstream(log()).good());

  // --yes still shows the drive, for the record; the helper comes from the
  // environment variable this time.
  auto done = run_plain({kCli, "wipe", device_, "--mode", "none", "-y"},
                        env({"TARNWICK_DRIVES_HELPER=" + h}));
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_NE(done.out.find("FS0042"), std::string::npos);
  EXPECT_NE(done.out.find("wiped " + device_ + " (mode none)\n"), std::string::npos) << done.out;
}

TEST_F(CommandTest, PlainOutputGetsPeriodicLinesInsteadOfABar) {
  const std::string h = helper(
      "*'\"op\":\"wipe\"'*)\n"
      "  echo '{\"progress\":{\"copied\":0,\"total\":0}}'\n"
      "  echo '{\"progress\":{\"copied\":5,\"total\":0}}'\n"
      "  echo '{\"ok\":true}';;\n");
  auto result =
      run_plain({kCli, "--yes", "--helper", h, "wipe", device_, "--mode", "random"}, env());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.find('\r'), std::string::npos);
  // The first report is printed at once; the next comes ten seconds on.
  EXPECT_NE(result.out.find("wiping: 0 B written\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("wiped " + device_ + " (mode random): 5 B written in 0:0"),
            std::string::npos)
      << result.out;
}

TEST_F(CommandTest, ScriptsGiveOnePassphraseLinePerStepOnADescriptor) {
  const std::string h = helper();
  const std::string lines = std::string("first\0secret\nsecond\n", 20);
  auto result =
      run_plain({kCli, "--yes", "--passphrase-fd", "3", "--helper", h, "encrypt", device_,
                 "--no-check", "open", device_, "a", "open", "/dev/sdq1", "b", "close", "a"},
                env(), "", &lines);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const auto sent = lines_of(requests());
  ASSERT_EQ(sent.size(), 5u) << requests();
  EXPECT_EQ(passphrase_in(sent[0]), std::string("first\0secret", 12));
  EXPECT_EQ(passphrase_in(sent[1]), std::string("first\0secret", 12));  // same drive: reused
  EXPECT_EQ(passphrase_in(sent[2]), "second");
  // Mapping b is still open: without a terminal the command waited for the
  // end of its standard input (here at once), then the session ended.
  EXPECT_NE(result.out.find("/dev/mapper/tarnwick_b is open until this command ends."),
            std::string::npos);
  EXPECT_EQ(sent[4], "ended");

  auto missing =
      run_plain({kCli, "--yes", "--passphrase-fd", "3", "--helper", h, "encrypt", device_}, env(),
                "", nullptr);
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "tarnwick-drives: --passphrase-fd: descriptor 3 is not open\n");
}

TEST_F(CommandTest, CheckSaysGenuineOrCounterfeitAndEncryptRefusesACounterfeit) {
  const std::string genuine =
      "*'\"op\":\"probe\"'*) echo '{\"probe\":{\"claimed\":16005464064,\"block\":4096,"
      "\"positions\":72,\"genuine\":true,\"unrestored\":[]}}'; echo '{\"ok\":true}';;\n"
      "*) echo '{\"ok\":true}';;\n";
  auto checked = run_plain({kCli, "--helper", helper(genuine), "check", device_}, env());
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_EQ(checked.out, device_ + ": genuine: 72 positions across 14.9 GiB held their data\n");

  const std::string fake =
      "*'\"op\":\"probe\"'*) echo '{\"probe\":{\"claimed\":68719476736,\"block\":4096,"
      "\"positions\":110,\"genuine\":false,\"lowest_failing\":8589934592,\"unrestored\":[]}}';"
      " echo '{\"error\":\"probe: the drive stores at most 8.0 GiB of the 64.0 GiB it "
      "claims\"}';;\n"
      "*) echo '{\"ok\":true}';;\n";
  const std::string line =
      device_ + ": COUNTERFEIT: only the first 8.0 GiB of the claimed 64.0 GiB store data\n";
  auto counterfeit = run_plain({kCli, "--helper", helper(fake), "check", device_}, env());
  EXPECT_EQ(counterfeit.exit_code, 1);
  EXPECT_EQ(counterfeit.out, line);
  EXPECT_EQ(counterfeit.err, "");

  ::unlink(log().c_str());
  const std::string pass = "pw\n";
  auto refused = run_plain({kCli, "--yes", "--passphrase-fd", "3", "--helper", helper(fake),
                            "encrypt", device_, "open", device_, "a"},
                           env(), "", &pass);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.out.find(line), std::string::npos) << refused.out;
  EXPECT_NE(refused.err.find("refusing to encrypt a drive that does not store what it claims"),
            std::string::npos)
      << refused.err;
  const auto sent = lines_of(requests());
  ASSERT_EQ(sent.size(), 2u) << requests();
  EXPECT_EQ(sent[0], "{\"op\":\"probe\",\"device\":\"" + device_ + "\"}");
  EXPECT_EQ(sent[1], "ended") << "nothing formatted, nothing opened";
}

TEST_F(CommandTest, HelperErrorsReachStandardErrorVerbatimAndStopTheRest) {
  const std::string h = helper(
      "*luks-open*) printf '%s\\n' '{\"error\":\"command `cryptsetup open --type luks2 "
      "--key-file=- /dev/disk/by-id/x tarnwick_a` failed (exit 2): No key available with this "
      "passphrase.\\n\"}';;\n"
      "*) echo '{\"ok\":true}';;\n");
  const std::string pass = "pw\n";
  auto result =
      run_plain({kCli, "--passphrase-fd", "3", "--helper", h, "open", device_, "a", "close", "a"},
                env(), "", &pass);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarnwick-drives: opening " + device_ +
                            " as tarnwick_a failed: command `cryptsetup open --type luks2 "
                            "--key-file=- /dev/disk/by-id/x tarnwick_a` failed (exit 2): No key "
                            "available with this passphrase.\n\n");
  // The close after the failed open was not sent.
  EXPECT_EQ(lines_of(requests()).size(), 2u) << requests();
}

TEST_F(CommandTest, AHelperThatCannotRunEndsWithStatusFour) {
  struct Case {
    std::string pkexec_body;  // empty: no pkexec on PATH at all
    std::string error;
  };
  const Case cases[] = {
      {"exit 126\n", " failed: authorisation was dismissed: pkexec exited 126\n"},
      {"echo 'Not authorized.' >&2\nexit 127\n",
       " failed: authorisation was refused or pkexec failed: pkexec exited 127: "
       "Not authorized.\n"},
      {"", "tarnwick-drives: could not start the helper: pkexec: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    std::remove((dir_ / "bin/pkexec").c_str());
    if (!c.pkexec_body.empty()) {
      write_script(dir_ / "bin/pkexec", c.pkexec_body);
    }
    const std::string pass = "pw\n";
    // Only the test's own directories on PATH: the real pkexec is never run.
    auto result = run_plain({kCli, "--passphrase-fd", "3", "open", device_, "a"},
                            environment_with_path(dir_ / "bin"), "", &pass);
    EXPECT_EQ(result.exit_code, 4) << result.err;
    EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
  }
  auto missing = run_plain(
      {kCli, "--yes", "--helper", dir_ / "no-helper", "wipe", device_, "--mode", "none"}, env());
  EXPECT_EQ(missing.exit_code, 4);
  EXPECT_NE(missing.err.find("could not start the helper: " + dir_ / "no-helper" +
                             ": No such file or directory"),
            std::string::npos)
      << missing.err;
}

TEST_F(CommandTest, OnATerminalAnOpenMappingIsHeldUntilAKeyIsPressed) {
  const std::string h = helper();
  PtyRun run({kCli, "--helper", h, "open", device_, "tarnwick_keep"}, env());
  ASSERT_TRUE(run.wait_for("Passphrase for " + device_ + ": ")) << run.output();
  run.type("pw\n");
  ASSERT_TRUE(run.wait_for("Press Enter to close it and end.")) << run.output();
  EXPECT_EQ(lines_of(requests()).size(), 1u) << "the session ended before the key";
  // Ctrl-C ends the wait, not the command: the session still ends cleanly.
  run.type("\x03");
  EXPECT_EQ(run.finish(), 0) << run.output();
  EXPECT_EQ(lines_of(requests()).back(), "ended");
}

TEST_F(CommandTest, TheFirstCtrlCDuringAWipeCancelsItAndKeepsTheSession) {
  // Progress until the next line (the cancel) arrives; then the answers.
  const std::string h = helper(
      "*'\"op\":\"wipe\"'*)\n"
      "  (i=0; while [ $i -lt 600 ]; do i=$((i+1));\n"
      "     echo '{\"progress\":{\"copied\":4096,\"total\":0}}'; sleep 0.1; done) &\n"
      "  IFS= read -r next; printf '%s\\n' \"$next\" >> '" +
      log() +
      "'\n"
      "  { kill $!; wait $!; } 2>/dev/null\n"
      "  printf '%s\\n' '{\"error\":\"wipe cancelled: the drive is only partly wiped\"}' "
      "'{\"ok\":true}';;\n");
  PtyRun run({kCli, "--helper", h, "wipe", device_, "--mode", "random", "--report", dir_ / "r.json",
              "close", "a"},
             env());
  const auto modes = [&] { return run.local_modes() & (ISIG | ICANON | ECHO); };
  ASSERT_TRUE(run.wait_for("Type sdz to confirm: ")) << run.output();
  run.type("sdz\n");
  // Only once progress arrived (before, pkexec may need the terminal): the
  // second report is read after the first changed the terminal.
  ASSERT_TRUE(run.wait_for("4.0 KiB written") && run.wait_for("4.0 KiB written"));
  EXPECT_EQ(modes(), 0u);
  run.type("x\x03");
  ASSERT_TRUE(run.wait_for("tarnwick-drives: cancelling the wipe…")) << run.output();
  EXPECT_EQ(modes(), ISIG | ICANON | ECHO) << "the terminal was not put back";
  EXPECT_EQ(run.finish(), 130) << run.output();
  EXPECT_NE(run.output().find("tarnwick-drives: " + device_ +
                              ": wipe cancelled: the drive is only partly wiped"),
            std::string::npos)
      << run.output();
  // Not the close; the session ended as usual once the cancel's answer was read.
  EXPECT_EQ(requests(), "{\"op\":\"wipe\",\"device\":\"" + device_ +
                            "\",\"mode\":\"random\"}\n{\"op\":\"cancel\"}\nended\n");
  EXPECT_NE(read_file(dir_ / "r.json").find("\"error\": \"wipe cancelled: the drive is only"),
            std::string::npos);
}

TEST_F(CommandTest, DrivesListsOnlyRemovableDrives) {
  auto result = run_plain({kCli, "drives"}, env());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, device_ +
                            "  14.9 GiB  Fake Stick 16\n"
                            "  serial:   FS0042\n"
                            "  by-id:    none\n"
                            "  mounted:  /media/fake (/dev/sdz1)\n");
}

TEST_F(CommandTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {kCli},
      {kCli, "wipe", device_},
      {kCli, "wipe", device_, "--mode", "zero"},
      {kCli, "mkfs", "a", "--fs", "vfat"},
      {kCli, "open", device_},
      {kCli, "--passphrase-fd", "-1", "close", "a"},
  };
  for (const auto& argv : cases) {
    EXPECT_EQ(run_plain(argv, env()).exit_code, 2) << argv.back();
  }
}

// Several drives in one wipe: a stand-in lsblk that lists sdy and sdz, and a
// helper stand-in that answers each id'd wipe with lines carrying its id
// (refusing the read-only sdy when `refuse_sdy`).
class ManyDrivesTest : public CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    second_ = dir_ / "sdy";
    write_file(second_, "");
    write_script(
        dir_ / "bin/lsblk",
        "cat <<'EOF'\n{\"blockdevices\":[\n"
        " {\"name\":\"sdy\",\"path\":\"" +
            second_ +
            "\",\"size\":1000,\"type\":\"disk\",\"rm\":true,\"model\":\"Y\",\"serial\":\"SY\"},"
            "\n {\"name\":\"sdz\",\"path\":\"" +
            device_ +
            "\",\"size\":2000,\"type\":\"disk\",\"rm\":true,\"model\":\"Z\",\"serial\":\"SZ\"}"
            "\n]}\nEOF\n");
  }
  std::string many_helper(bool refuse_sdy) {
    return helper(
        "*'\"op\":\"wipe\"'*'\"id\":'*)\n"
        "  id=${line##*\\\"id\\\":\\\"}; id=${id%%\\\"*}\n"
        "  case \"$line\" in\n"
        "    *sdy*'\"id\"'*) " +
        std::string(refuse_sdy
                        ? "echo \"{\\\"id\\\":\\\"$id\\\",\\\"error\\\":\\\"refused destructive "
                          "operation: device is read-only\\\"}\";;\n"
                        : "echo \"{\\\"id\\\":\\\"$id\\\",\\\"ok\\\":true}\";;\n") +
        "    *) echo \"{\\\"id\\\":\\\"$id\\\",\\\"progress\\\":{\\\"copied\\\":1048576,"
        "\\\"total\\\":0}}\"; echo \"{\\\"id\\\":\\\"$id\\\",\\\"ok\\\":true}\";;\n"
        "  esac;;\n"
        "*) echo '{\"ok\":true}';;\n");
  }
  std::string second_;
};

TEST_F(ManyDrivesTest, OneSessionOneTablePerDriveResultsAndReports) {
  struct Case {
    std::string name;
    bool refuse_sdy;
    bool reports;
    int exit_code;
    std::vector<std::string> out;  // each found on standard output
    std::string err;               // standard error, whole
  };
  const Case cases[] = {
      {"both wiped", false, true, 0, {"drive     ", "ok      -     -\n", "reports written to"}, ""},
      {"one refused",
       true,
       false,
       1,
       {"failed  -     -\n", " ok      0:0"},
       "tarnwick-drives: wipe of " + dir_ / "sdy" +
           " failed: refused destructive operation: device is read-only\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(log().c_str());
    const std::string reports = dir_ / ("reports-" + std::to_string(c.exit_code));
    ::mkdir(reports.c_str(), 0755);
    std::vector<std::string> argv = {kCli,    "--yes", "--helper", many_helper(c.refuse_sdy),
                                     "wipe",  second_, device_,    "--mode",
                                     "random"};
    if (c.reports) {
      argv.insert(argv.end(), {"--report", reports});
    }
    auto result = run_plain(argv, env());
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_EQ(result.err, c.err);
    for (const auto& shown : c.out) {
      EXPECT_NE(result.out.find(shown), std::string::npos) << shown << " in\n" << result.out;
    }
    // Both drives were listed, and both wipes went to one session.
    EXPECT_NE(result.out.find("serial:   SY"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("serial:   SZ"), std::string::npos) << result.out;
    const auto sent = lines_of(requests());
    ASSERT_EQ(sent.size(), 3u) << requests();
    EXPECT_EQ(sent[0],
              "{\"op\":\"wipe\",\"device\":\"" + second_ + "\",\"mode\":\"random\",\"id\":\"1\"}");
    EXPECT_EQ(sent[1],
              "{\"op\":\"wipe\",\"device\":\"" + device_ + "\",\"mode\":\"random\",\"id\":\"2\"}");
    if (c.reports) {
      EXPECT_NE(read_file(reports + "/sdy.json").find("\"result\": \"ok\""), std::string::npos);
      EXPECT_NE(read_file(reports + "/sdz.json").find("\"result\": \"ok\""), std::string::npos);
    }
  }
}

TEST_F(ManyDrivesTest, ConfirmedOnceByTypingHowManyDrives) {
  for (const auto& [typed, exit_code] : {std::pair<std::string, int>{"sdy\n", 3}, {"2\n", 0}}) {
    PtyRun run({kCli, "--helper", many_helper(false), "wipe", second_, device_, "--mode", "none"},
               env());
    ASSERT_TRUE(
        run.wait_for("This will wipe these 2 drives (mode none): everything on them will "
                     "be lost.\r\nType 2 to confirm: "))
        << run.output();
    run.type(typed);
    EXPECT_EQ(run.finish(), exit_code) << run.output();
    EXPECT_EQ(run.output().find("cancelled: the 2 drives were not confirmed") == std::string::npos,
              exit_code == 0)
        << run.output();
  }
}

TEST_F(ManyDrivesTest, CommandLinesRefusedBeforeAnythingIsAsked) {
  std::vector<std::string> seventeen = {kCli, "--yes", "--helper", helper(), "wipe"};
  for (int i = 0; i < 17; ++i) {
    seventeen.push_back(dir_ / ("d" + std::to_string(i)));
  }
  seventeen.insert(seventeen.end(), {"--mode", "none"});
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{kCli, "--yes", "--helper", helper(), "wipe", device_, second_, device_, "--mode", "none"},
       "tarnwick-drives: wipe: " + device_ + " is named twice\n"},
      {{kCli, "--yes", "--helper", helper(), "wipe", device_, second_, "--mode", "random",
        "--verify"},
       "tarnwick-drives: --verify: verification is only available for mode encrypted-zero\n"},
      {seventeen, "tarnwick-drives: wipe: at most 16 drives are wiped at once\n"},
  };
  for (const auto& [argv, err] : cases) {
    auto result = run_plain(argv, env());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, err);
  }
  EXPECT_FALSE(std::ifstream(log()).good()) << "the helper was started";
  // A command after the drives is a command, not one more drive.
  auto chained = run_plain(
      {kCli, "--yes", "--helper", helper(), "wipe", device_, "--mode", "none", "close", "a"},
      env());
  EXPECT_EQ(chained.exit_code, 0) << chained.err;
  EXPECT_EQ(lines_of(requests()).at(1), "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_a\"}");
}

TEST_F(ManyDrivesTest, TheFirstCtrlCCancelsEveryWipe) {
  // Each wipe reports progress until its cancel arrives, then ends with the
  // helper's cancel text.
  const std::string h = helper(
      "*'\"op\":\"wipe\"'*)\n"
      "  id=${line##*\\\"id\\\":\\\"}; id=${id%%\\\"*}\n"
      "  (i=0; while [ $i -lt 600 ]; do i=$((i+1)); echo \"{\\\"id\\\":\\\"$id\\\","
      "\\\"progress\\\":{\\\"copied\\\":4096,\\\"total\\\":0}}\"; sleep 0.1; done) &\n"
      "  eval \"loop_$id=$!\";;\n"
      "*'\"op\":\"cancel\"'*)\n"
      "  id=${line##*\\\"id\\\":\\\"}; id=${id%%\\\"*}\n"
      "  eval \"{ kill \\$loop_$id; wait \\$loop_$id; } 2>/dev/null\"\n"
      "  echo '{\"ok\":true}'\n"
      "  echo \"{\\\"id\\\":\\\"$id\\\",\\\"error\\\":\\\"wipe cancelled: the drive is only partly "
      "wiped\\\"}\";;\n");
  PtyRun run({kCli, "--helper", h, "wipe", second_, device_, "--mode", "random", "close", "a"},
             env());
  ASSERT_TRUE(run.wait_for("Type 2 to confirm: ")) << run.output();
  run.type("2\n");
  ASSERT_TRUE(run.wait_for("4.0 KiB written") && run.wait_for("4.0 KiB written"));
  run.type("\x03");
  ASSERT_TRUE(run.wait_for("tarnwick-drives: cancelling the wipes…")) << run.output();
  EXPECT_EQ(run.finish(), 130) << run.output();
  for (const std::string& drive : {second_, device_}) {
    EXPECT_NE(run.output().find("tarnwick-drives: " + drive +
                                ": wipe cancelled: the drive is only partly wiped"),
              std::string::npos)
        << run.output();
  }
  EXPECT_NE(run.output().find(" cancelled  0:0"), std::string::npos) << run.output();
  // Both cancelled, not the close; the session ended as usual.
  const auto sent = lines_of(requests());
  ASSERT_EQ(sent.size(), 5u) << requests();
  EXPECT_TRUE(sent[2].starts_with("{\"op\":\"cancel\",\"id\":\"")) << requests();
  EXPECT_TRUE(sent[3].starts_with("{\"op\":\"cancel\",\"id\":\"")) << requests();
  EXPECT_EQ(sent[4], "ended");
}

}  // namespace
