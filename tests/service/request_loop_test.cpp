// SPDX-License-Identifier: MIT
// The request loop driven in-process: input from a file, answers read back
// from a file, a recording runner and no drives, so no root is needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "service/service.hpp"
#include "support/support.hpp"

namespace tarnwick {
namespace {

using testing::FixedDriveLister;
using testing::RecordingRunner;
using testing::TempDir;

const std::string kNotOwned =
    R"({"error":"refusing to close a mapper not opened by this session"})";
const std::string kTooLong = R"({"error":"stdin: request exceeds 1 MiB"})";
const std::string kNotUtf8 = R"({"error":"stdin: request is not UTF-8"})";
const std::string kClose = R"({"op":"luks-close","mapper_name":"tarnwick_x"})";

struct SessionRun {
  std::string output;
  std::string errors;
  SessionEnd end;
  std::size_t tool_runs;
};

// Feeds `input` to a fresh session and collects what it wrote.
SessionRun run_session(const std::string& input) {
  TempDir dir;
  const std::string in_path = dir.write_file("in", input);
  const std::string out_path = dir.write_file("out", "");
  const std::string err_path = dir.write_file("err", "");
  const int in = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CLOEXEC);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CLOEXEC);
  RecordingRunner runner;
  FixedDriveLister drives({});
  system::SystemPaths paths;
  paths.disk_by_id = dir.make_dir("by-id");
  Session session{runner, drives, paths, {}, err};
  const SessionEnd end = serve_requests(in, out, session);
  ::close(in);
  ::close(out);
  ::close(err);
  return {*system::read_file(out_path), *system::read_file(err_path), end, runner.calls.size()};
}

std::string lines(std::initializer_list<std::string> items) {
  std::string out;
  for (const auto& item : items) {
    out += item;
    out += '\n';
  }
  return out;
}

// A request padded with spaces to exactly `size` bytes of text.
std::string padded_request(std::size_t size) {
  std::string text = kClose;
  text.append(size - text.size(), ' ');
  return text;
}

struct LoopCase {
  const char* name;
  std::string input;
  std::string expected_output;
  SessionEnd end = SessionEnd::EndOfInput;
};

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

class RequestLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(RequestLoop, AnswersExactly) {
  const auto& c = GetParam();
  const auto result = run_session(c.input);
  EXPECT_EQ(result.output, c.expected_output);
  EXPECT_EQ(result.end, c.end);
  EXPECT_EQ(result.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Framing, RequestLoop,
    ::testing::Values(
        LoopCase{"EmptyInput", "", ""},
        LoopCase{"BlankLinesGetNoAnswer", "\n\r\n  \t \n\xC2\xA0\xE3\x80\x80\n" + kClose + "\n",
                 lines({kNotOwned})},
        LoopCase{"CrLfIsALineEnd", kClose + "\r\n" + kClose + "\n", lines({kNotOwned, kNotOwned})},
        LoopCase{"DoubleCrKeepsOneAsJsonWhiteSpace", kClose + "\r\r\n", lines({kNotOwned})},
        LoopCase{"LastLineWithoutLineFeed", kClose, lines({kNotOwned})},
        LoopCase{"LoneCrAtEndOfInputIsBlank", "\r", ""},
        LoopCase{"InvalidUtf8EvenWhenBlank", " \xFF \n" + kClose + "\n",
                 lines({kNotUtf8, kNotOwned})},
        LoopCase{"ParseErrorThenNextLine", "{}\n" + kClose + "\n",
                 lines({R"({"error":"parse: missing field `op` at line 1 column 2"})", kNotOwned})},
        // Outside a wipe there is nothing to cancel: the op is unknown, as it always was.
        LoopCase{
            "CancelOutsideAWipe",
            R"({"op":"cancel"})"
            "\n",
            lines(
                {R"({"error":"parse: unknown variant `cancel`, expected one of `luks-format`, `luks-open`, `luks-close`, `wipe`, `mkfs`, `shutdown` at line 1 column 14"})"})},
        LoopCase{"ShutdownStopsReading",
                 R"({"op":"shutdown"})"
                 "\n" +
                     kClose + "\n",
                 "", SessionEnd::Shutdown},
        LoopCase{"LargestLineIsDecoded", padded_request(1'048'575) + "\n", lines({kNotOwned})},
        LoopCase{"LargestCrLfLineIsDecoded", padded_request(1'048'574) + "\r\n",
                 lines({kNotOwned})},
        LoopCase{"OneByteTooManyIsRefusedOnce", padded_request(1'048'576) + "\n" + kClose + "\n",
                 lines({kTooLong, kNotOwned})},
        LoopCase{"FarTooLongLineIsSkippedWhole", padded_request(3'000'000) + "\n" + kClose + "\n",
                 lines({kTooLong, kNotOwned})},
        LoopCase{"LargestLastLineWithoutLineFeed", padded_request(1'048'576), lines({kNotOwned})},
        LoopCase{"OverLongLastLineWithoutLineFeed", padded_request(1'048'577), lines({kTooLong})}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(RequestLoop, AnswersInOrder) {
  const auto result = run_session(lines({"[", kClose, "nope", R"({"op":"Wipe"})"}));
  EXPECT_EQ(
      result.output,
      lines(
          {R"({"error":"parse: EOF while parsing a list at line 1 column 1"})", kNotOwned,
           R"({"error":"parse: expected value at line 1 column 2"})",
           R"({"error":"parse: unknown variant `Wipe`, expected one of `luks-format`, `luks-open`, `luks-close`, `wipe`, `mkfs`, `shutdown` at line 1 column 12"})"}));
  EXPECT_EQ(result.tool_runs, 0u);
}

// "verify" travels from the line to the wipe: refused with any mode but
// encrypted-zero before the guard or a tool; a bad value is a parse error.
TEST(RequestLoop, VerifyReachesTheWipe) {
  const auto result =
      run_session(lines({R"({"op":"wipe","device":"/dev/sdz","mode":"random","verify":true})",
                         R"({"op":"wipe","device":"/dev/sdz","mode":"none","verify":"yes"})",
                         R"({"op":"wipe","device":"/dev/sdz","mode":"none","verify":false})"}));
  EXPECT_EQ(result.output,
            lines({R"({"error":"verification is only available for mode encrypted-zero"})",
                   R"({"error":"parse: invalid type: string \"yes\", expected a boolean"})",
                   R"({"error":"refused destructive operation: device not found: /dev/sdz"})"}));
  EXPECT_EQ(result.tool_runs, 0u);
}

TEST(RequestLoop, ClosedOutputDoesNotEndTheSession) {
  ::signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  const std::string in_path = dir.write_file("in", lines({kClose, kClose, "{}"}));
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  ::close(pipe_fds[0]);
  const int in = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
  RecordingRunner runner;
  FixedDriveLister drives({});
  system::SystemPaths paths;
  Session session{runner, drives, paths, {}, 2};
  EXPECT_EQ(serve_requests(in, pipe_fds[1], session), SessionEnd::EndOfInput);
  ::close(in);
  ::close(pipe_fds[1]);
}

TEST(RequestLoop, ReadFailuresAreAnsweredAndBounded) {
  // A directory cannot be read: every read fails with EISDIR.
  TempDir dir;
  const int in = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::string out_path = dir.write_file("out", "");
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CLOEXEC);
  RecordingRunner runner;
  FixedDriveLister drives({});
  system::SystemPaths paths;
  Session session{runner, drives, paths, {}, 2};
  EXPECT_EQ(serve_requests(in, out, session), SessionEnd::InputFailed);
  ::close(in);
  ::close(out);
  std::string expected;
  for (int i = 0; i < kMaxConsecutiveReadFailures; ++i) {
    expected += R"x({"error":"stdin: Is a directory (os error 21)"})x"
                "\n";
  }
  EXPECT_EQ(*system::read_file(out_path), expected);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// A signal already taken when the loop looks for the next request: nothing
// more is read or answered, and the session's mappings are still closed.
TEST(RequestLoop, AStopBySignalEndsTheSessionAfterClosingItsMappings) {
  for (const bool input_waiting : {false, true}) {
    TempDir dir;
    int input[2] = {-1, -1};
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    if (input_waiting) {
      ASSERT_EQ(::write(input[1], kClose.data(), kClose.size()),
                static_cast<ssize_t>(kClose.size()));
      ASSERT_EQ(::write(input[1], "\n", 1), 1);
    }
    const std::string out_path = dir.write_file("out", "");
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CLOEXEC);
    RecordingRunner runner;
    FixedDriveLister drives({});
    system::SystemPaths paths;
    stop::StopSource stop;
    Session session{runner, drives, paths, {}, out, &stop};
    session.mappers.insert("tarnwick_x");
    stop.request(stop::StopReason::signal(SIGTERM));
    EXPECT_EQ(serve_requests(input[0], out, session), SessionEnd::Stopped);
    ::close(input[0]);
    ::close(input[1]);
    ::close(out);
    EXPECT_EQ(*system::read_file(out_path), "") << input_waiting;
    ASSERT_EQ(runner.calls.size(), 1u);
    EXPECT_EQ(runner.calls[0].argv(),
              (std::vector<std::string>{"cryptsetup", "close", "tarnwick_x"}));
  }
}

}  // namespace
}  // namespace tarnwick
