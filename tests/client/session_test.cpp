// SPDX-License-Identifier: MIT
// A client session against stand-ins: scripts that play the helper (or
// pkexec) and answer, misbehave or die as the case needs. No root needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/client.hpp"
#include "client/support.hpp"
#include "fields/fields.hpp"

namespace tarnwick::client {
namespace {

using tdh_client_test::read_file;
using tdh_client_test::TempDir;
using tdh_client_test::write_script;

// A helper stand-in that logs each request line and answers with the
// script lines given for it (run in order for every request).
std::string fake_helper(const TempDir& dir, const std::string& answer_each_request,
                        const std::string& at_end = "") {
  return write_script(dir / "helper",
                      "while IFS= read -r line; do\n"
                      "  printf '%s\\n' \"$line\" >> '" +
                          (dir / "requests.log") + "'\n" + answer_each_request + "done\n" + at_end);
}

Client start(const std::vector<std::string>& argv) {
  auto client = Client::start(argv);
  if (!client) {
    throw std::runtime_error("start failed: " + client.error().describe());
  }
  return std::move(*client);
}

TEST(Session, AnswersReachTheCallerWithTheHelpersExactText) {
  TempDir dir;
  // Answers in turn: ok, then an error whose text needs every escape.
  const std::string helper = fake_helper(
      dir,
      "  n=$((n+1))\n"
      "  if [ $n = 1 ]; then echo '{\"ok\":true}'; else\n"
      "  printf '%s\\n' '{\"error\":\"refused destructive operation: device is read-only; "
      "q\\\"b\\\\s\\nline \\u00e9\"}'; fi\n");
  Client client = start({helper});
  EXPECT_TRUE(client.luks_close("tarnwick_a").has_value());
  auto refused = client.mkfs("/dev/mapper/tarnwick_a", Filesystem::Btrfs, "data");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, ClientError::Kind::Helper);
  const std::string text =
      "refused destructive operation: device is read-only; q\"b\\s\nline \xc3\xa9";
  EXPECT_EQ(refused.error().message, text);
  EXPECT_EQ(refused.error().describe(), text);
  EXPECT_TRUE(client.finish().has_value());
  EXPECT_EQ(read_file(dir / "requests.log"),
            "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_a\"}\n"
            "{\"op\":\"mkfs\",\"mapped\":\"/dev/mapper/tarnwick_a\",\"fs\":\"btrfs\","
            "\"label\":\"data\"}\n");
}

TEST(Session, PassphraseBytesArriveIntactAsBase64) {
  TempDir dir;
  const std::string helper = fake_helper(dir, "  echo '{\"ok\":true}'\n");
  const std::string passphrase("p\xe4ss\n\0w\xff rd", 11);
  {
    Client client = start({helper});
    ASSERT_TRUE(client.luks_format("/dev/sdb", "", passphrase_bytes(passphrase)).has_value());
    ASSERT_TRUE(
        client.luks_open("/dev/sdb", "tarnwick_b", passphrase_bytes(passphrase), true).has_value());
  }
  const std::string log = read_file(dir / "requests.log");
  std::size_t at = 0;
  int found = 0;
  while ((at = log.find("\"passphrase_b64\":\"", at)) != std::string::npos) {
    at += 18;
    const std::string text = log.substr(at, log.find('"', at) - at);
    auto decoded = fields::decode_passphrase(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), passphrase);
    ++found;
  }
  EXPECT_EQ(found, 2);
}

TEST(Session, WipeReportsProgressWithTheDevicesSizeAndEndsOk) {
  TempDir dir;
  const std::string helper = fake_helper(dir,
                                         "  echo '{\"progress\":{\"copied\":0,\"total\":0}}'\n"
                                         "  echo '{\"progress\":{\"copied\":4096,\"total\":0}}'\n"
                                         "  echo '{\"progress\":{\"copied\":8192,\"total\":0}}'\n"
                                         "  echo '{\"ok\":true}'\n");
  Client client = start({helper});
  std::vector<WipeProgress> seen;
  // /dev/null is a character device with no size: the total stays unknown.
  auto done =
      client.wipe("/dev/null", WipeMode::Random, [&](const WipeProgress& p) { seen.push_back(p); });
  ASSERT_TRUE(done.has_value()) << done.error().describe();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].written, 0u);
  EXPECT_EQ(seen[2].written, 8192u);
  EXPECT_EQ(seen[2].total, std::nullopt);
  EXPECT_LE(seen[0].elapsed, seen[2].elapsed);
  // A throwing callback does not cut the exchange short.
  auto again = client.wipe("/dev/null", WipeMode::EncryptedZero,
                           [](const WipeProgress&) { throw std::runtime_error("no"); });
  EXPECT_TRUE(again.has_value());
  // Nor does a missing one.
  EXPECT_TRUE(client.wipe("/dev/null", WipeMode::None).has_value());
  EXPECT_TRUE(client.finish().has_value());
}

TEST(Session, VerifiedWipeReportsTheReadBackAndFillsTheReport) {
  TempDir dir;
  const std::string helper = fake_helper(
      dir,
      "  echo '{\"progress\":{\"copied\":8192,\"total\":0}}'\n"
      "  echo '{\"progress\":{\"copied\":8192,\"total\":0,\"verified\":0}}'\n"
      "  echo '{\"progress\":{\"copied\":8192,\"total\":0,\"verified\":4096}}'\n"
      "  echo '{\"error\":\"verification failed: the drive returned different data at byte "
      "offset 4096\"}'\n");
  Client client = start({helper});
  std::vector<WipeProgress> seen;
  WipeReport report;
  auto done = client.wipe("/dev/null", WipeMode::EncryptedZero, WipeOptions{true, &report},
                          [&](const WipeProgress& p) { seen.push_back(p); });
  ASSERT_FALSE(done.has_value());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].verified, std::nullopt);
  EXPECT_EQ(seen[2].written, 8192u);
  EXPECT_EQ(seen[2].verified, 4096u);
  EXPECT_EQ(report.mode, WipeMode::EncryptedZero);
  EXPECT_EQ(report.verification, WipeReport::Verification::Failed);
  EXPECT_EQ(report.bytes_written, 8192u);
  EXPECT_EQ(report.bytes_verified, 4096u);
  EXPECT_EQ(report.error, done.error().message);
  EXPECT_EQ(report.drive.path, "/dev/null");
  EXPECT_FALSE(report.helper_version.empty());
  EXPECT_LE(report.started, report.ended);
  EXPECT_TRUE(client.finish().has_value());
  EXPECT_EQ(read_file(dir / "requests.log"),
            "{\"op\":\"wipe\",\"device\":\"/dev/null\",\"mode\":\"encrypted-zero\","
            "\"verify\":true}\n");
  // A report is filled in also when the helper is gone before the request.
  WipeReport after;
  EXPECT_FALSE(client.wipe("/dev/null", WipeMode::Random, WipeOptions{false, &after}));
  EXPECT_FALSE(after.succeeded());
  EXPECT_EQ(after.verification, WipeReport::Verification::NotRequested);
}

TEST(Session, AHelperThatAddsMembersToEveryLineIsStillUnderstood) {
  TempDir dir;
  // A newer helper: every kind of line carries members this client never
  // heard of, before and after the ones it needs.
  const std::string helper = fake_helper(
      dir,
      "  case \"$line\" in\n"
      "  *wipe*) echo '{\"seq\":1,\"progress\":{\"phase\":\"write\",\"copied\":4096,"
      "\"total\":0,\"rate\":9.5}}'\n"
      "    echo '{\"ok\":true,\"took\":{\"ms\":3}}';;\n"
      "  *) echo '{\"code\":\"refused\",\"error\":\"refusing to close a mapper not opened by "
      "this session\",\"hint\":null}';;\n"
      "  esac\n");
  Client client = start({helper});
  std::vector<std::uint64_t> written;
  auto wiped = client.wipe("/dev/null", WipeMode::Random,
                           [&](const WipeProgress& p) { written.push_back(p.written); });
  ASSERT_TRUE(wiped.has_value()) << wiped.error().describe();
  EXPECT_EQ(written, std::vector<std::uint64_t>{4096});
  auto refused = client.luks_close("tarnwick_a");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, ClientError::Kind::Helper);
  EXPECT_EQ(refused.error().message, "refusing to close a mapper not opened by this session");
  EXPECT_TRUE(client.finish().has_value());
}

TEST(Session, HelperDyingMidWipeGivesItsStatusAndStandardError) {
  TempDir dir;
  const std::string helper =
      fake_helper(dir,
                  "  echo '{\"progress\":{\"copied\":1048576,\"total\":0}}'\n"
                  "  echo 'dd: writing: Input/output error' >&2\n"
                  "  exit 3\n");
  Client client = start({helper});
  int reports = 0;
  auto result = client.wipe("/dev/null", WipeMode::Random, [&](const WipeProgress&) { ++reports; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(reports, 1);
  const ClientError& e = result.error();
  EXPECT_EQ(e.kind, ClientError::Kind::HelperExited);
  EXPECT_EQ(e.exit_status, 3);
  EXPECT_EQ(e.signal, std::nullopt);
  EXPECT_EQ(e.helper_stderr, "dd: writing: Input/output error\n");
  EXPECT_EQ(e.describe(),
            "the helper exited with status 3 before answering: dd: writing: Input/output error");

  // Every later call says the session is over, without a new process.
  auto later = client.luks_close("tarnwick_a");
  ASSERT_FALSE(later.has_value());
  EXPECT_EQ(later.error().kind, ClientError::Kind::HelperExited);
  EXPECT_EQ(later.error().exit_status, 3);
  EXPECT_FALSE(client.finish().has_value());
  EXPECT_EQ(read_file(dir / "requests.log"),
            "{\"op\":\"wipe\",\"device\":\"/dev/null\",\"mode\":\"random\"}\n");
}

TEST(Session, HelperKilledBySignalNamesTheSignal) {
  TempDir dir;
  const std::string helper = fake_helper(dir, "  kill -KILL $$\n");
  Client client = start({helper});
  auto result = client.wipe("/dev/null", WipeMode::Random);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ClientError::Kind::HelperExited);
  EXPECT_EQ(result.error().signal, SIGKILL);
  EXPECT_EQ(result.error().exit_status, std::nullopt);
}

TEST(Session, PkexecStatusesMeanAuthorisationOnlyFromPkexec) {
  struct Case {
    std::string program;
    int status;
    ClientError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"pkexec", 126, ClientError::Kind::AuthorisationRefused,
       "authorisation was dismissed: pkexec exited 126"},
      {"pkexec", 127, ClientError::Kind::AuthorisationRefused,
       "authorisation was refused or pkexec failed: pkexec exited 127"},
      {"pkexec", 2, ClientError::Kind::HelperExited,
       "the helper exited with status 2 before answering"},
      {"other", 126, ClientError::Kind::HelperExited,
       "the helper exited with status 126 before answering"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    // Like pkexec, it reads nothing before deciding.
    const std::string program = write_script(dir / c.program,
                                             "echo 'Error executing command as another user' >&2\n"
                                             "exit " +
                                                 std::to_string(c.status) + "\n");
    Client client = start({program, "/usr/libexec/tarnwick-drives-helper"});
    auto result = client.luks_close("tarnwick_a");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, c.kind) << c.program << " " << c.status;
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_EQ(result.error().exit_status, c.status);
    EXPECT_EQ(result.error().helper_stderr, "Error executing command as another user\n");
  }
}

TEST(Session, AProgramThatCannotBeStartedIsAStartFailure) {
  TempDir dir;
  tdh_client_test::write_file(dir / "not-executable", "#!/bin/sh\n", 0644);
  const std::pair<std::string, int> cases[] = {
      {dir / "missing-helper", ENOENT},
      {"tarnwick-drives-no-such-program", ENOENT},
      {dir / "not-executable", EACCES},
  };
  for (const auto& [program, error] : cases) {
    auto client = Client::start({program});
    ASSERT_FALSE(client.has_value()) << program;
    EXPECT_EQ(client.error().kind, ClientError::Kind::StartFailed);
    EXPECT_EQ(client.error().os_error, error);
    EXPECT_NE(client.error().message.find(program), std::string::npos);
  }
  EXPECT_EQ(Client::start({}).error().kind, ClientError::Kind::InvalidArgument);
}

TEST(Session, ALineThatIsNoResponseEndsTheSession) {
  TempDir dir;
  const std::string helper = fake_helper(dir, "  echo 'Password: '\n");
  Client client = start({helper});
  auto result = client.luks_close("tarnwick_a");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ClientError::Kind::Protocol);
  EXPECT_EQ(result.error().message, "unexpected answer from the helper: not JSON: Password: ");
  EXPECT_EQ(client.luks_close("tarnwick_a").error().kind, ClientError::Kind::Protocol);
}

TEST(Session, EndingTheClientClosesTheHelpersInputAndWaitsForIt) {
  TempDir dir;
  // On end of input it takes a moment (closing mappings), then leaves a mark.
  const std::string helper =
      fake_helper(dir, "  echo '{\"ok\":true}'\n",
                  "sleep 1\necho 'tarnwick-drives-helper: could not close tarnwick_a: busy' >&2\n"
                  "echo done > '" +
                      (dir / "ended") + "'\n");
  {
    Client client = start({helper});
    ASSERT_TRUE(client.luks_close("tarnwick_a").has_value());
  }
  EXPECT_EQ(read_file(dir / "ended"), "done\n");

  Client client = start({helper});
  auto finished = client.finish();
  EXPECT_TRUE(finished.has_value());
  EXPECT_EQ(client.helper_stderr(), "tarnwick-drives-helper: could not close tarnwick_a: busy\n");
  // A finished session answers nothing more.
  EXPECT_EQ(client.luks_close("tarnwick_a").error().kind, ClientError::Kind::HelperExited);
}

// What the application has set up must not reach what the library starts:
// a descriptor it left inheritable, a signal it ignores or blocks, and (for
// lsblk, a system tool) its environment.
TEST(Session, ChildrenGetNoInheritedDescriptorSignalSettingOrToolEnvironment) {
  TempDir dir;
  // Records its own state: fd 50 open or not, SigIgn and SigBlk, environment.
  // Builtins only until env: the shell blocks signals around a fork.
  const std::string record =
      "{ [ -e /proc/$$/fd/50 ] && echo fd50\n"
      "  while read -r l; do case $l in Sig[IB]*) echo \"$l\";; esac; done < /proc/$$/status\n"
      "  env; } > \"$0.seen\"\n";
  const std::string helper = write_script(dir / "helper", record);
  write_script(dir / "lsblk", record);
  const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
  ASSERT_EQ(::dup2(leaked, 50), 50);
  struct sigaction ignore{};
  struct sigaction before{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGUSR1, &ignore, &before);
  sigset_t blocked;
  sigset_t old_mask;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, SIGUSR2);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  const std::string old_path = ::getenv("PATH");
  ::setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);
  ::setenv("TDH_APPLICATION_ONLY", "1", 1);

  (void)identify_drive("/dev/null");
  (void)start({helper}).finish();

  ::setenv("PATH", old_path.c_str(), 1);
  ::unsetenv("TDH_APPLICATION_ONLY");
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGUSR1, &before, nullptr);
  ::close(50);
  ::close(leaked);

  const auto mask_has = [](const std::string& seen, const char* line, int signal) {
    const std::size_t at = seen.find(line);
    return at != std::string::npos &&
           ((std::stoull(seen.substr(at + std::strlen(line)), nullptr, 16) >> (signal - 1)) & 1) !=
               0;
  };
  for (const std::string name : {"lsblk", "helper"}) {
    const std::string seen = read_file(dir / (name + ".seen"));
    ASSERT_NE(seen.find("SigIgn:"), std::string::npos) << name << " did not run";
    EXPECT_EQ(seen.find("fd50"), std::string::npos) << name;
    EXPECT_FALSE(mask_has(seen, "SigIgn:", SIGUSR1)) << name;
    EXPECT_FALSE(mask_has(seen, "SigBlk:", SIGUSR2)) << name;
    // Only the system tool runs in the fixed environment.
    EXPECT_EQ(seen.find("TDH_APPLICATION_ONLY=1") == std::string::npos, name == "lsblk") << seen;
  }
  EXPECT_NE(read_file(dir / "lsblk.seen").find("LC_ALL=C.UTF-8\n"), std::string::npos);
}

TEST(Session, AMovedFromClientRefusesPolitely) {
  TempDir dir;
  Client first = start({fake_helper(dir, "  echo '{\"ok\":true}'\n")});
  Client second = std::move(first);
  EXPECT_EQ(
      first.wipe("/dev/null", WipeMode::None).error().kind,  // NOLINT(bugprone-use-after-move)
      ClientError::Kind::InvalidArgument);
  EXPECT_TRUE(second.wipe("/dev/null", WipeMode::None).has_value());
}

}  // namespace
}  // namespace tarnwick::client
