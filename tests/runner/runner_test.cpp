// SPDX-License-Identifier: MIT
#include "runner/runner.hpp"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "secure/secure_memory.hpp"
#include "support/support.hpp"

namespace tarnwick::runner {
namespace {

using testing::TempDir;

secure::SecretBytes secret_from(const std::string& text) {
  return secure::SecretBytes(text.begin(), text.end());
}

// Small tools written as scripts into a directory placed at the front of PATH
// for the duration of one test.
class RunnerTest : public ::testing::Test {
 protected:
  RunnerTest() : bin_(tools_.make_dir("bin")) {
    const char* old = std::getenv("PATH");
    had_path_ = old != nullptr;
    old_path_ = had_path_ ? old : "";
    const std::string path = bin_ + ":" + (had_path_ ? old_path_ : "/usr/bin:/bin");
    ::setenv("PATH", path.c_str(), 1);
  }
  ~RunnerTest() override {
    if (had_path_) {
      ::setenv("PATH", old_path_.c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

  void script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string file = tools_.write_file("bin/" + name, "#!/bin/sh\n" + body + "\n");
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
  }

  static ToolCommand command(std::string program, std::vector<std::string> args = {}) {
    ToolCommand built(std::move(program));
    for (auto& a : args) {
      built.arg(std::move(a));
    }
    return built;
  }

  SystemToolRunner runner_;

 private:
  TempDir tools_;
  std::string bin_;
  std::string old_path_;
  bool had_path_ = false;
};

TEST(HelperErrorTest, DisplaysEachVariantExactly) {
  const struct {
    HelperError error;
    std::string text;
  } cases[] = {
      {HelperError::io_errno(13), "io: Permission denied (os error 13)"},
      {HelperError::io("failed to fill whole buffer"), "io: failed to fill whole buffer"},
      {HelperError{HelperError::LsblkParse{"missing field `name` at line 1 column 2"}},
       "failed to parse lsblk output: missing field `name` at line 1 column 2"},
      {HelperError{HelperError::ToolNotFound{"blkdiscard"}},
       "required tool not found in PATH: blkdiscard"},
      {HelperError{HelperError::CommandFailed{"dd if=/dev/zero", "a\r\nb\n", 1}},
       "command `dd if=/dev/zero` failed (exit 1): a\r\nb\n"},
      {HelperError::refused("device is read-only"),
       "refused destructive operation: device is read-only"},
      {HelperError::failed("verification failed: x"), "verification failed: x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.text);
  }
}

TEST(ToolCommandTest, CommandTextJoinsArgumentsUnquoted) {
  EXPECT_EQ(ToolCommand("lsblk").command_text(), "lsblk ");
  ToolCommand dd("dd");
  dd.arg("if=/dev/zero").arg("of=/dev/sd z").arg("bs=4M");
  EXPECT_EQ(dd.command_text(), "dd if=/dev/zero of=/dev/sd z bs=4M");
}

TEST(ToolCommandTest, SetStdinReplacesTheBuffer) {
  ToolCommand c("cryptsetup");
  c.set_stdin(secret_from("first"));
  c.set_stdin(secret_from("second"));
  ASSERT_TRUE(c.stdin_bytes.has_value());
  EXPECT_EQ(std::string(c.stdin_bytes->begin(), c.stdin_bytes->end()), "second");
}

TEST_F(RunnerTest, FailuresCarryCommandExitCodeAndStandardError) {
  script("lsblk", "printf 'x\\n' >&2; printf 'ignored'; exit 2");
  script("dd", "exit 1");
  script("selfkill", "printf 'dying\\n' >&2; kill -KILL $$");
  script("garble", "printf 'bad \\377 byte\\n' >&2; exit 255");
  const struct {
    ToolCommand command;
    std::string display;
  } cases[] = {
      {command("lsblk"), "command `lsblk ` failed (exit 2): x\n"},
      {command("dd", {"if=/dev/zero", "of=/dev/sdz", "bs=4M"}),
       "command `dd if=/dev/zero of=/dev/sdz bs=4M` failed (exit 1): "},
      {command("selfkill"), "command `selfkill ` failed (exit -1): dying\n"},
      {command("garble"), "command `garble ` failed (exit 255): bad \xEF\xBF\xBD byte\n"},
  };
  for (const auto& c : cases) {
    auto result = runner_.run(c.command);
    ASSERT_FALSE(result.has_value()) << c.display;
    EXPECT_EQ(result.error().display(), c.display);
  }
}

// A stop ends a running tool (SIGTERM; SIGKILL for one that ignores it) and
// the run fails; nothing starts once stopped, except what must finish.
TEST_F(RunnerTest, AStopEndsTheToolAndTheRunFails) {
  script("stubborn", "trap '' TERM; : > \"$1\"; exec sleep 60");
  script("polite", ": > \"$1\"; exec sleep 60");
  script("record", ": > \"$1\"");
  struct Case {
    const char* name;
    const char* program;
    bool stop_first;
    bool must_finish;
    bool succeeds;
  };
  const Case cases[] = {
      {"stopped while running", "polite", false, false, false},
      {"ignores SIGTERM", "stubborn", false, false, false},
      {"stopped before it starts", "record", true, false, false},
      {"cleanup runs despite the stop", "record", true, true, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string marker = dir.file("started");
    stop::StopSource stop;
    SystemToolRunner runner(&stop);
    if (c.stop_first) {
      stop.request(stop::StopReason::signal(SIGTERM));
    }
    std::jthread stopper([&] {
      if (c.stop_first) {
        return;
      }
      while (::access(marker.c_str(), F_OK) != 0) {
        std::this_thread::yield();
      }
      stop.request(stop::StopReason::cancelled());
    });
    ToolCommand tool = command(c.program, {marker});
    tool.must_finish = c.must_finish;
    const auto result = runner.run(std::move(tool));
    stopper.join();
    EXPECT_EQ(result.has_value(), c.succeeds) << c.name;
    EXPECT_EQ(::access(marker.c_str(), F_OK) == 0, !c.stop_first || c.must_finish) << c.name;
    if (!result) {
      const std::string reason = c.stop_first ? "interrupted by SIGTERM" : "cancelled";
      EXPECT_EQ(result.error().display(),
                "command `" + std::string(c.program) + " " + marker + "` stopped: " + reason)
          << c.name;
    }
  }
}

// cmp's 1 ("the inputs differ") is an answer the caller reads; every other
// non-zero code, and a signal, is still a failure.
TEST_F(RunnerTest, AnswerExitCodesSucceedWithTheirCode) {
  script("differ", "printf 'a b differ: byte 3, line 1\\n'; exit \"$1\"");
  for (const auto& [code, answered] :
       std::vector<std::pair<std::string, bool>>{{"0", true}, {"1", true}, {"2", false}}) {
    ToolCommand c = command("differ", {code});
    c.answer_exit_codes = {1};
    auto result = runner_.run(std::move(c));
    ASSERT_EQ(result.has_value(), answered) << code;
    if (answered) {
      EXPECT_EQ(result->exit_code, std::stoi(code));
      EXPECT_EQ(result->stdout_bytes, "a b differ: byte 3, line 1\n");
    } else {
      EXPECT_EQ(result.error().display(), "command `differ 2` failed (exit 2): ");
    }
  }
  // Without answer codes, 1 is the failure it always was.
  EXPECT_FALSE(runner_.run(command("differ", {"1"})).has_value());
}

TEST_F(RunnerTest, StartFailuresAreToolNotFoundOrIo) {
  script("not-executable", "exit 0", 0644);
  auto missing = runner_.run(command("tdh-no-such-tool", {"a"}));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), HelperError{HelperError::ToolNotFound{"tdh-no-such-tool"}});

  auto refused = runner_.run(command("not-executable"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(), "io: Permission denied (os error 13)");
}

TEST_F(RunnerTest, SuccessKeepsBothOutputs) {
  script("chatty", "printf 'out'; printf 'warning\\n' >&2; exit 0");
  auto result = runner_.run(command("chatty"));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->stdout_bytes, "out");
  EXPECT_EQ(result->stderr_bytes, "warning\n");
}

TEST_F(RunnerTest, DrainsBothPipesBeyondTheirCapacity) {
  // Standard error first: a runner that read standard output to its end
  // before looking at standard error would wait forever.
  script("flood",
         "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o");
  auto result = runner_.run(command("flood"));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->stdout_bytes, std::string(1 << 20, 'o'));
  EXPECT_EQ(result->stderr_bytes, std::string(1 << 20, 'e'));
}

TEST_F(RunnerTest, StandardInputBytesArriveExactly) {
  const struct {
    std::string name;
    std::string bytes;
  } cases[] = {
      {"with NUL, LF and high bytes", std::string("pass\0word\nline2\xff", 16)},
      {"empty", ""},
      // cat echoes as it reads: feeding and draining must go on together.
      {"larger than a pipe", std::string(3 << 20, 'k')},
  };
  for (const auto& c : cases) {
    ToolCommand cat("cat");
    cat.set_stdin(secret_from(c.bytes));
    auto result = runner_.run(std::move(cat));
    ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error().display();
    EXPECT_TRUE(result->stdout_bytes == c.bytes) << c.name;
  }
}

TEST_F(RunnerTest, StandardInputBufferIsZeroOverItsWholeCapacityOnEveryPath) {
  script("refuse", "printf 'no\\n' >&2; exit 1");
  script("ignore-input", "exit 0");
  script("not-executable", "exit 0", 0644);
  const struct {
    std::string program;
    std::size_t bytes;
    std::string expected;  // display of the failure; empty for success
  } cases[] = {
      {"cat", 100, ""},
      {"refuse", 100, "command `refuse ` failed (exit 1): no\n"},
      // More than a pipe holds, never read: the tool's own failure still
      // wins over the broken pipe...
      {"refuse", 1 << 20, "command `refuse ` failed (exit 1): no\n"},
      // ...but input left unread never passes for success.
      {"ignore-input", 1 << 20, "io: Broken pipe (os error 32)"},
      {"tdh-no-such-tool", 100, "required tool not found in PATH: tdh-no-such-tool"},
      {"not-executable", 100, "io: Permission denied (os error 13)"},
  };
  for (const auto& c : cases) {
    ToolCommand tool(c.program);
    secure::SecretBytes secret;
    secret.reserve(2 * c.bytes);
    secret.assign(c.bytes, 0xA5);
    const std::uint8_t* storage = secret.data();
    const std::size_t capacity = secret.capacity();
    tool.set_stdin(std::move(secret));

    auto result = run_tool(tool);
    if (c.expected.empty()) {
      EXPECT_TRUE(result.has_value()) << c.program << ": " << result.error().display();
    } else {
      ASSERT_FALSE(result.has_value()) << c.program;
      EXPECT_EQ(result.error().display(), c.expected);
    }
    ASSERT_TRUE(tool.stdin_bytes.has_value());
    EXPECT_TRUE(tool.stdin_bytes->empty());
    // Still the same allocation, so every byte of it can be read honestly.
    ASSERT_EQ(tool.stdin_bytes->data(), storage);
    ASSERT_EQ(tool.stdin_bytes->capacity(), capacity);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < capacity; ++i) {
      nonzero += storage[i] != 0 ? 1 : 0;
    }
    EXPECT_EQ(nonzero, 0u) << c.program << " with " << c.bytes << " bytes";
    // Whatever the path, no child of ours is left behind, not even a zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

// Redirects this process's standard input to a file for one scope.
class StandardInputFrom {
 public:
  explicit StandardInputFrom(const std::string& file) : saved_(::fcntl(0, F_DUPFD_CLOEXEC, 3)) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ::dup2(fd, 0);
    ::close(fd);
  }
  ~StandardInputFrom() {
    ::dup2(saved_, 0);
    ::close(saved_);
  }
  StandardInputFrom(const StandardInputFrom&) = delete;
  StandardInputFrom& operator=(const StandardInputFrom&) = delete;

 private:
  int saved_;
};

TEST_F(RunnerTest, WithoutBytesTheChildReadsOurStandardInputUnlessNullDeviceIsAsked) {
  TempDir files;
  const std::string input = files.write_file("input", "from the helper's stdin\n");
  std::string inherited;
  std::string from_null;
  std::int32_t null_exit = -2;
  {
    const StandardInputFrom redirect(input);
    auto result = runner_.run(command("cat"));
    if (result) {
      inherited = result->stdout_bytes;
    }
    auto null_result = run_process("cat", {}, StdinSource::NullDevice);
    if (null_result) {
      from_null = null_result->stdout_bytes;
      null_exit = null_result->exit_code;
    }
  }
  EXPECT_EQ(inherited, "from the helper's stdin\n");
  EXPECT_EQ(from_null, "");
  EXPECT_EQ(null_exit, 0);
}

TEST_F(RunnerTest, RunProcessReportsExitCodesWithoutJudgingThem) {
  script("lsblk", "printf 'json'; printf 'warn' >&2; exit 32");
  auto result = run_process("lsblk", {"-J"}, StdinSource::NullDevice);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->exit_code, 32);
  EXPECT_EQ(result->stdout_bytes, "json");
  EXPECT_EQ(result->stderr_bytes, "warn");
}

TEST_F(RunnerTest, ChildGetsOnlyTheStandardDescriptors) {
  // An inheritable descriptor of ours that a careless spawn would pass on.
  const int leaked = ::dup(1);
  ASSERT_GE(leaked, 3);
  ToolCommand with_input("sh");
  with_input.arg("-c").arg("cat >/dev/null; exec ls /proc/self/fd");
  with_input.set_stdin(secret_from("read, then listed"));
  std::vector<ToolCommand> commands{command("ls", {"/proc/self/fd"}), std::move(with_input)};
  for (auto& c : commands) {
    auto result = runner_.run(std::move(c));
    ASSERT_TRUE(result.has_value()) << result.error().display();
    // 3 is the directory ls itself opened to list.
    EXPECT_EQ(result->stdout_bytes, "0\n1\n2\n3\n");
  }
  ::close(leaked);
}

TEST_F(RunnerTest, ChildGetsOnlyTheFixedEnvironmentWhateverOursHolds) {
  // What a desktop session hands through pkexec: its language, and variables
  // that would steer a tool running as root.
  ::setenv("LANG", "de_DE.UTF-8", 1);
  ::setenv("LANGUAGE", "de", 1);
  ::setenv("MKE2FS_CONFIG", "/tmp/hostile.conf", 1);
  const std::string fixed = "LC_ALL=C.UTF-8\nPATH=/usr/sbin:/usr/bin:/sbin:/bin\n";
  auto tool = runner_.run(command("sh", {"-c", "exec env | LC_ALL=C sort"}));
  auto snapshot = run_process("sh", {"-c", "exec env | LC_ALL=C sort"}, StdinSource::NullDevice);
  for (const char* name : {"LANG", "LANGUAGE", "MKE2FS_CONFIG"}) {
    ::unsetenv(name);
  }
  ASSERT_TRUE(tool.has_value()) << tool.error().display();
  ASSERT_TRUE(snapshot.has_value()) << snapshot.error().display();
  // sh adds PWD of its own; nothing else may appear.
  for (const std::string& seen : {tool->stdout_bytes, snapshot->stdout_bytes}) {
    std::string without_pwd;
    std::size_t start = 0;
    while (start < seen.size()) {
      const std::size_t end = seen.find('\n', start) + 1;
      if (seen.compare(start, 4, "PWD=") != 0) {
        without_pwd += seen.substr(start, end - start);
      }
      start = end;
    }
    EXPECT_EQ(without_pwd, fixed);
  }
}

TEST_F(RunnerTest, TwoThreadsRunAtOnce) {
  script("tag", "printf \"$1\" >&2; cat");
  int mismatches[2] = {0, 0};
  auto work = [this](std::string tag, int& mismatch) {
    const std::string input(200000, tag[0]);
    for (int round = 0; round < 5; ++round) {
      ToolCommand c("tag");
      c.arg(tag);
      c.set_stdin(secret_from(input));
      auto result = runner_.run(std::move(c));
      if (!result || result->stdout_bytes != input || result->stderr_bytes != tag) {
        ++mismatch;
      }
    }
  };
  std::thread first(work, "first", std::ref(mismatches[0]));
  std::thread second(work, "second", std::ref(mismatches[1]));
  first.join();
  second.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
}

}  // namespace
}  // namespace tarnwick::runner
