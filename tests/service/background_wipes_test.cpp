// SPDX-License-Identifier: MIT
// Wipes in the background, driven in-process: the session reads from a pipe
// the test writes, and a fake runner holds every dd until the test lets it
// go or the wipe's stop source stops it, as the real runner does.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service.hpp"
#include "wipe/fake_machine.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using testing::FakeMachine;
using testing::FixedDriveLister;
using ::testing::IsSupersetOf;

// What every runner of one session shares: the calls and the gate.
struct Tools {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::vector<std::string>> calls;
  std::size_t dd_running = 0;
  bool open = false;

  void wait_for_dd(std::size_t count) {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return dd_running >= count; }))
        << dd_running << " of " << count << " dd running";
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

class GatedRunner final : public runner::ToolRunner {
 public:
  GatedRunner(Tools& tools, stop::StopSource* stop) : tools_(tools), stop_(stop) {}

  std::expected<runner::ToolOutput, runner::HelperError> run(runner::ToolCommand command) override {
    std::unique_lock lock(tools_.mutex);
    std::vector<std::string> argv{command.program};
    argv.insert(argv.end(), command.args.begin(), command.args.end());
    tools_.calls.push_back(argv);
    if (command.program != "dd") {
      return runner::ToolOutput{};
    }
    ++tools_.dd_running;
    tools_.changed.notify_all();
    while (!tools_.open) {
      if (stop_ != nullptr && stop_->requested()) {
        --tools_.dd_running;
        return std::unexpected(runner::HelperError{
            runner::HelperError::Stopped{command.command_text(), stop_->reason()}});
      }
      tools_.changed.wait_for(lock, 10ms);
    }
    --tools_.dd_running;
    return runner::ToolOutput{};
  }
  stop::StopSource* stop_source() const override { return stop_; }
  std::unique_ptr<ToolRunner> obeying(stop::StopSource* stop) const override {
    return std::make_unique<GatedRunner>(tools_, stop);
  }

 private:
  Tools& tools_;
  stop::StopSource* stop_;
};

// A session over `drives` removable drives sdb, sdc, ... served on a thread.
class BackgroundSession {
 public:
  explicit BackgroundSession(std::size_t drives) : runner_(tools, &stop) {
    std::vector<inventory::Drive> listed;
    for (std::size_t i = 0; i < drives; ++i) {
      const std::string name = "sd" + std::string(1, static_cast<char>('b' + i));
      inventory::Drive drive;
      drive.path = machine.add_node(name);
      drive.removable = true;
      machine.add_by_id_link("usb-Fake_" + name + "-0:0", name);
      machine.set_size_bytes(name, 1024 * 512);
      paths_.push_back(drive.path);
      listed.push_back(std::move(drive));
    }
    machine.set_diskstats("");
    machine.dir.write_file("proc/mounts", "proc /proc proc rw 0 0\n");
    machine.dir.write_file("proc/swaps", "Filename Type Size Used Priority\n");
    lister_.drives_ = std::move(listed);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    input_ = in[1];
    output_ = out[0];
    loop_ = std::thread([this, in_fd = in[0], out_fd = out[1]] {
      Session session{runner_, lister_, machine.paths, {}, -1, &stop};
      end = serve_requests(in_fd, out_fd, session);
      ::close(in_fd);
      ::close(out_fd);
    });
  }
  ~BackgroundSession() {
    tools.release();
    close_input();
    if (loop_.joinable()) loop_.join();
    ::close(output_);
  }

  const std::string& drive(std::size_t index) const { return paths_.at(index); }
  std::string wipe(std::size_t index, const std::string& id,
                   const std::string& mode = "random") const {
    return R"({"op":"wipe","device":")" + drive(index) + R"(","mode":")" + mode + R"(","id":")" +
           id + R"("})";
  }
  void send(const std::string& line) const {
    const std::string bytes = line + "\n";
    ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void close_input() {
    if (input_ >= 0) ::close(std::exchange(input_, -1));
  }
  // The next `count` lines that are not progress lines.
  std::vector<std::string> answers(std::size_t count) {
    std::vector<std::string> found;
    while (found.size() < count) {
      const std::string line = next_line();
      if (line.empty()) break;
      lines.push_back(line);
      if (line.find(R"("progress")") == std::string::npos) found.push_back(line);
    }
    return found;
  }
  // Every line until the session ends.
  void drain() {
    for (std::string line = next_line(); !line.empty(); line = next_line()) lines.push_back(line);
    loop_.join();
  }

  Tools tools;
  FakeMachine machine;
  stop::StopSource stop;
  std::vector<std::string> lines;
  SessionEnd end = SessionEnd::EndOfInput;

 private:
  std::string next_line() {
    for (;;) {
      if (const auto at = pending_.find('\n'); at != std::string::npos) {
        std::string line = pending_.substr(0, at);
        pending_.erase(0, at + 1);
        return line;
      }
      pollfd ready{output_, POLLIN, 0};
      if (::poll(&ready, 1, 30'000) != 1) return {};
      char chunk[4096];
      const ssize_t n = ::read(output_, chunk, sizeof chunk);
      if (n <= 0) return {};
      pending_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  GatedRunner runner_;
  FixedDriveLister lister_{{}};
  std::vector<std::string> paths_;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  std::thread loop_;
};

const std::string kNotOwned =
    R"({"error":"refusing to close a mapper not opened by this session"})";
const std::string kClose = R"({"op":"luks-close","mapper_name":"tarnwick_x"})";

// The session keeps serving while wipes run, refuses a running id and the
// seventeenth wipe, and a cancel by id ends that wipe alone.
TEST(BackgroundWipes, RunBesideTheSessionAndAreCancelledById) {
  BackgroundSession session(17);
  session.send(session.wipe(0, "A"));
  session.send(session.wipe(1, "B"));
  session.tools.wait_for_dd(2);
  session.send(kClose);
  session.send(session.wipe(2, "A"));
  EXPECT_THAT(session.answers(2),
              ::testing::ElementsAre(
                  kNotOwned, R"({"id":"A","error":"a wipe with this id is already running"})"));

  session.send(R"({"op":"cancel","id":"B"})");
  EXPECT_THAT(session.answers(2),
              ::testing::UnorderedElementsAre(
                  R"({"ok":true})",
                  R"({"id":"B","error":"wipe cancelled: the drive is only partly wiped"})"));
  session.send(R"({"op":"cancel","id":"B"})");
  EXPECT_THAT(session.answers(1),
              ::testing::ElementsAre(R"({"error":"no wipe with this id is running"})"));

  // A and fifteen more fill the session; the next is one too many.
  for (std::size_t i = 1; i <= 15; ++i) session.send(session.wipe(i, "W" + std::to_string(i)));
  session.tools.wait_for_dd(16);
  session.send(session.wipe(16, "X"));
  EXPECT_THAT(session.answers(1),
              ::testing::ElementsAre(
                  R"({"id":"X","error":"too many wipes at once: at most 16 run in one session"})"));

  // End of input waits for the wipes, whose answers all come.
  session.close_input();
  session.tools.release();
  session.drain();
  EXPECT_EQ(session.end, SessionEnd::EndOfInput);
  std::vector<std::string> finished{R"({"id":"A","ok":true})"};
  for (std::size_t i = 1; i <= 15; ++i)
    finished.push_back(R"({"id":"W)" + std::to_string(i) + R"(","ok":true})");
  EXPECT_THAT(session.lines, IsSupersetOf(finished));
}

// Side by side, "encrypted-zero" wipes each open a mapping named after their
// drive; the wipe that holds the session keeps the shared name.
TEST(BackgroundWipes, EncryptedZeroWipesUseAMappingOfTheirOwn) {
  BackgroundSession session(3);
  session.machine.dir.write_file("dev/urandom", std::string(64, 'k'));
  session.send(session.wipe(0, "A", "encrypted-zero"));
  session.send(session.wipe(1, "B", "encrypted-zero"));
  session.tools.wait_for_dd(2);
  session.tools.release();
  session.send(R"({"op":"wipe","device":")" + session.drive(2) + R"(","mode":"encrypted-zero"})");
  session.close_input();
  session.drain();
  const auto& calls = session.tools.calls;
  for (const std::string name : {"tarnwick_wipe_sdb", "tarnwick_wipe_sdc", "tarnwick_wipe_tmp"}) {
    EXPECT_THAT(calls, Contains(Contains(name))) << name << " never opened";
    EXPECT_THAT(calls, Contains(std::vector<std::string>{"cryptsetup", "close", name}));
    EXPECT_THAT(calls, Contains(Contains("of=/dev/mapper/" + name)));
  }
  EXPECT_THAT(session.lines, IsSupersetOf({R"({"id":"A","ok":true})", R"({"id":"B","ok":true})",
                                           R"({"ok":true})"}));
}

// A signal stops every wipe in the background: each answers with its id,
// and the session then ends as it does for one.
TEST(BackgroundWipes, ASignalStopsEveryWipe) {
  BackgroundSession session(3);
  for (std::size_t i = 0; i < 3; ++i) session.send(session.wipe(i, std::to_string(i)));
  session.tools.wait_for_dd(3);
  session.stop.request(stop::StopReason::signal(SIGTERM));
  session.drain();
  EXPECT_EQ(session.end, SessionEnd::Stopped);
  ASSERT_EQ(session.lines.size(), 3u);
  for (const std::string& line : session.lines) {
    EXPECT_THAT(
        line, ::testing::MatchesRegex(
                  R"(\{"id":"[012]","error":"command `dd .*` stopped: interrupted by SIGTERM"\})"));
  }
}

}  // namespace
}  // namespace tarnwick
