// SPDX-License-Identifier: MIT
// After a request is answered, no run of 16 or more bytes of its passphrase
// text may remain anywhere in the helper's writable memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/memory_scan.hpp"

extern char** environ;

namespace tarnwick {
namespace {

class HelperChild {
 public:
  HelperChild() {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(TDH_HELPER_BINARY), nullptr};
    if (posix_spawn(&pid_, TDH_HELPER_BINARY, &actions, nullptr, argv, environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
  }
  ~HelperChild() {
    if (to_child_ >= 0) ::close(to_child_);
    if (from_child_ >= 0) ::close(from_child_);
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;

  pid_t pid() const { return pid_; }
  bool send(const std::string& bytes) {
    return ::write(to_child_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  std::string read_line() {
    std::string line;
    char c = 0;
    while (::read(from_child_, &c, 1) == 1 && c != '\n') {
      line.push_back(c);
    }
    return line;
  }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
};

TEST(SecretMemory, NoPassphraseTextSurvivesARequest) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "reading another process's memory and serving requests need root";
  }
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an AddressSanitizer build quarantines freed blocks and maps terabytes of "
                  "shadow memory; the shipped allocator is what this test is about";
#endif
  ::signal(SIGPIPE, SIG_IGN);
  // Base64 of a distinctive 48-byte passphrase; the guard refuses the device,
  // so this proves the request text itself (line, reader, decoded request) is gone.
  const std::string passphrase_b64 =
      "dGRoLXNlY3JldC1wYXNzcGhyYXNlLW5ldmVyLXRvLWJlLWZvdW5kLWluLW1lbW9yeSE=";
  HelperChild helper;
  ASSERT_GT(helper.pid(), 0);
  ASSERT_TRUE(helper.send(
      R"({"op":"luks-format","device":"/dev/tdh-no-such-drive","label":"x","passphrase_b64":")" +
      passphrase_b64 + "\"}\n"));
  EXPECT_EQ(
      helper.read_line(),
      R"({"error":"refused destructive operation: device not found: /dev/tdh-no-such-drive"})");
  ASSERT_TRUE(helper.send(
      R"({"op":"luks-open","device":"/dev/tdh-no-such-drive","mapper_name":"tarnwick_a","passphrase_b64":")" +
      passphrase_b64 + "\"}\n"));
  EXPECT_EQ(helper.read_line(),
            R"({"error":"device is not a detected removable drive or partition"})");

  const auto regions = testing::writable_memory(helper.pid());
  ASSERT_FALSE(regions.empty());
  const auto found = testing::find_runs(regions, passphrase_b64);
  EXPECT_TRUE(found.empty()) << "passphrase Base64 text remains:" << testing::report(found);
}

}  // namespace
}  // namespace tarnwick
