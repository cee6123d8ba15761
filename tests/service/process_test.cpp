// SPDX-License-Identifier: MIT
// The built helper as a child process, the way a client starts it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/support.hpp"
#include "system/system.hpp"

extern char** environ;

namespace tarnwick {
namespace {

struct ChildResult {
  std::string out;
  std::string err;
  int status = -1;
  long minor_faults = -1;  // pages the child faulted in (ru_minflt)
};

// Runs argv with `input` on standard input and collects both outputs.
ChildResult run_child(const std::vector<std::string>& argv, const std::string& input) {
  testing::TempDir dir;
  const std::string in_path = dir.write_file("in", input);
  const std::string out_path = dir.file("out");
  const std::string err_path = dir.file("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  ChildResult result;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    struct rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.status = status;
    result.minor_faults = usage.ru_minflt;
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = system::read_file(out_path).value_or("");
  result.err = system::read_file(err_path).value_or("");
  return result;
}

bool have_setpriv() { return ::access("/usr/bin/setpriv", X_OK) == 0; }

TEST(HelperProcess, RefusesToRunWithoutRoot) {
  if (::geteuid() == 0) {
    if (!have_setpriv()) {
      GTEST_SKIP() << "setpriv is needed to drop privileges";
    }
    const auto r = run_child(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TDH_HELPER_BINARY},
        R"({"op":"shutdown"})"
        "\n");
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 2);
    EXPECT_EQ(r.err, "tarnwick-drives-helper: must run as root (via pkexec)\n");
    EXPECT_EQ(r.out, "");
  } else {
    const auto r = run_child({TDH_HELPER_BINARY}, "");
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 2);
    EXPECT_EQ(r.err, "tarnwick-drives-helper: must run as root (via pkexec)\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(HelperProcess, AnswersProtocolLinesAsRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper only serves requests as root";
  }
  const auto r = run_child(
      {TDH_HELPER_BINARY, "--ignored-argument"},
      "\n{}\n"
      R"({"op":"luks-close","mapper_name":"tarnwick_x"})"
      "\n"
      R"({"op":"mkfs","mapped":"/","fs":"ext4","label":""})"
      "\n"
      R"({"op":"luks-open","device":"/dev/tdh-no-such-drive","mapper_name":"bad","passphrase_b64":""})"
      "\n"
      R"({"op":"shutdown"})"
      "\n"
      R"({"op":"luks-close","mapper_name":"tarnwick_x"})"
      "\n");
  ASSERT_TRUE(WIFEXITED(r.status));
  EXPECT_EQ(WEXITSTATUS(r.status), 0);
  EXPECT_EQ(r.out, R"({"error":"parse: missing field `op` at line 1 column 2"})"
                   "\n"
                   R"({"error":"refusing to close a mapper not opened by this session"})"
                   "\n"
                   R"({"error":"invalid mapper path"})"
                   "\n"
                   R"({"error":"device is not a detected removable drive or partition"})"
                   "\n");
  EXPECT_EQ(r.err, "");
}

TEST(HelperProcess, EndOfInputEndsTheSessionCleanly) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper only serves requests as root";
  }
  const auto r = run_child({TDH_HELPER_BINARY}, "");
  ASSERT_TRUE(WIFEXITED(r.status));
  EXPECT_EQ(WEXITSTATUS(r.status), 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// A session's buffers take pages only as input fills them: the 1 MiB line
// window is 256 pages, and clearing it untouched at the end of an idle
// session used to fault in every one of them (and a 64 KiB read buffer was
// zero-filled up front). Each session here stays below that whole window.
TEST(HelperProcess, BuffersTakePagesOnlyForTheInputTheyHold) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper only serves requests as root";
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer runtimes fault in shadow memory of their own";
#endif
  constexpr long kWindowPages = 1'048'577 / 4096;
  const std::string longer_line = std::string(20'000, ' ') + "{}\n";
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"empty input", ""},
      {"one blank line", "\n"},
      {"one malformed request", "{}\n"},
      {"a 20 kB line", longer_line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = run_child({TDH_HELPER_BINARY}, c.input);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_GT(r.minor_faults, 0);
    EXPECT_LT(r.minor_faults, kWindowPages);
    std::cout << c.name << ": " << r.minor_faults << " pages faulted in\n";
  }
}

}  // namespace
}  // namespace tarnwick
