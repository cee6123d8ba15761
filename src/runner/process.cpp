// SPDX-License-Identifier: MIT
// Starting tools: posix_spawnp (no shell), pipes for the outputs and the
// optional secret input, one poll loop that feeds and drains them, waitpid.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/runner.hpp"
#include "secure/secure_memory.hpp"
#include "system/system.hpp"
#include "text/text.hpp"

namespace tarnwick::runner {

namespace {

using system::FileDescriptor;
using Clock = std::chrono::steady_clock;

// How long a stopped tool gets to end after SIGTERM before SIGKILL.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kReapPollInterval = std::chrono::milliseconds(10);

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

struct Pipe {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

// Keeps our ends off 0, 1 and 2: if the helper runs with one of them closed,
// a pipe may land there and the child's dup2 calls would overwrite each other.
std::expected<void, HelperError> move_above_stdio(FileDescriptor& fd) {
  if (fd.get() > STDERR_FILENO) {
    return {};
  }
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) {
    return std::unexpected(HelperError::io_errno(errno));
  }
  fd.reset(moved);
  return {};
}

std::expected<Pipe, HelperError> make_pipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return std::unexpected(HelperError::io_errno(errno));
  }
  Pipe pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
  if (auto moved = move_above_stdio(pipe.read_end); !moved) {
    return std::unexpected(moved.error());
  }
  if (auto moved = move_above_stdio(pipe.write_end); !moved) {
    return std::unexpected(moved.error());
  }
  return pipe;
}

std::expected<FileDescriptor, HelperError> open_null_device() {
  FileDescriptor fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    return std::unexpected(HelperError::io_errno(errno));
  }
  if (auto moved = move_above_stdio(fd); !moved) {
    return std::unexpected(moved.error());
  }
  return fd;
}

// A started child. A run that gives up on it (poll, read or write failing)
// must not leave it running unobserved, nor as a zombie for the rest of the
// session: it is killed and reaped here.
class SpawnedChild {
 public:
  explicit SpawnedChild(pid_t pid) : pid_(pid) {}
  SpawnedChild(const SpawnedChild&) = delete;
  SpawnedChild& operator=(const SpawnedChild&) = delete;
  ~SpawnedChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }

  // The exit code, or -1 when a signal ended the child. With a deadline, a
  // child still running then is killed (it was asked to stop and would not).
  std::expected<std::int32_t, HelperError> wait(std::optional<Clock::time_point> deadline = {}) {
    int status = 0;
    while (deadline) {
      const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
      if (reaped == pid_) {
        return finished(status);
      }
      if (reaped < 0 && errno != EINTR) {
        break;  // reported by the blocking wait below
      }
      if (Clock::now() >= *deadline) {
        ::kill(pid_, SIGKILL);
        break;
      }
      ::poll(nullptr, 0, static_cast<int>(kReapPollInterval.count()));
    }
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) {
        const int error = errno;
        pid_ = -1;  // not ours to reap any more (ECHILD)
        return std::unexpected(HelperError::io_errno(error));
      }
    }
    return finished(status);
  }

 private:
  std::int32_t finished(int status) {
    pid_ = -1;
    if (WIFEXITED(status)) {
      return static_cast<std::int32_t>(WEXITSTATUS(status));
    }
    return -1;
  }

  pid_t pid_;
};

// Writing to a pipe whose reader is gone raises SIGPIPE in the writing
// thread. The helper ignores it, but the runner must not depend on that: the
// signal is blocked while we write and a SIGPIPE our write raised is taken
// off the thread before the old mask returns.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous_mask_);
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      ::sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        const timespec no_wait{0, 0};
        while (::sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t previous_mask_{};
  bool was_pending_ = false;
};

enum class ChildInput { Inherit, NullDevice, Bytes };

constexpr std::size_t kReadChunkSize = std::size_t{64} * 1024;

enum class InputDelivery { Complete, ReaderGone };

// A run's view of the session's stop source: once it fires, the child gets
// SIGTERM and a grace period, then SIGKILL.
struct StopWatch {
  stop::StopSource* source = nullptr;
  pid_t pid = -1;
  std::optional<Clock::time_point> kill_at;

  int fd() const { return source != nullptr && !kill_at ? source->fd() : -1; }
  // The session's input while an operation runs on this thread: a cancel
  // line must be heard while the tool works, not only after it ended.
  stop::CancelListener* listener() const {
    return source != nullptr && !kill_at ? source->cancel_listener() : nullptr;
  }
  void stop_child() {
    ::kill(pid, SIGTERM);
    kill_at = Clock::now() + kStopGrace;
  }
};

// Feeds `input` (when the child reads bytes) and drains both outputs in one
// poll loop, so that no mix of full pipes can block us and the child at once.
std::expected<InputDelivery, HelperError> exchange(FileDescriptor& input_pipe,
                                                   std::span<const std::uint8_t> input,
                                                   FileDescriptor& stdout_pipe,
                                                   FileDescriptor& stderr_pipe,
                                                   ProcessResult& result, StopWatch& stop) {
  if (input_pipe.is_open()) {
    const int flags = ::fcntl(input_pipe.get(), F_GETFL);
    if (flags < 0 || ::fcntl(input_pipe.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
      return std::unexpected(HelperError::io_errno(errno));
    }
    if (input.empty()) {
      input_pipe.reset();
    }
  }
  std::array<char, kReadChunkSize> chunk{};
  std::size_t written = 0;
  InputDelivery delivery = InputDelivery::Complete;

  while (input_pipe.is_open() || stdout_pipe.is_open() || stderr_pipe.is_open()) {
    // A closed descriptor (-1) is skipped by poll.
    stop::CancelListener* const listener = stop.listener();
    std::array<pollfd, 5> watched{{
        {input_pipe.get(), POLLOUT, 0},
        {stdout_pipe.get(), POLLIN, 0},
        {stderr_pipe.get(), POLLIN, 0},
        {stop.fd(), POLLIN, 0},
        {listener != nullptr ? listener->fd() : -1, POLLIN, 0},
    }};
    const int timeout = stop.kill_at ? milliseconds_until(*stop.kill_at) : -1;
    if (::poll(watched.data(), watched.size(), timeout) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(HelperError::io_errno(errno));
    }
    if (watched[4].revents != 0) {
      listener->on_ready();  // a cancel it finds makes the stop readable
    }
    if (watched[3].revents != 0 && stop.source->requested()) {
      // Keep draining: the child's last words may explain how it ended.
      stop.stop_child();
      input_pipe.reset();
      continue;
    }
    if (stop.kill_at && Clock::now() >= *stop.kill_at) {
      // Whatever still holds the pipes, the run is over; the reaping wait
      // kills the child.
      break;
    }

    if (watched[0].revents != 0) {
      const ssize_t count =
          ::write(input_pipe.get(), input.data() + written, input.size() - written);
      if (count < 0) {
        if (errno == EPIPE) {
          // The child closed its input, usually because it is failing. Its
          // own exit status and message tell more than "Broken pipe", and
          // whether we see them must not depend on who was faster.
          delivery = InputDelivery::ReaderGone;
          input_pipe.reset();
        } else if (errno != EINTR && errno != EAGAIN) {
          return std::unexpected(HelperError::io_errno(errno));
        }
      } else {
        written += static_cast<std::size_t>(count);
        if (written == input.size()) {
          input_pipe.reset();  // end of input for the child
        }
      }
    }

    const std::array<std::pair<FileDescriptor*, std::string*>, 2> outputs{{
        {&stdout_pipe, &result.stdout_bytes},
        {&stderr_pipe, &result.stderr_bytes},
    }};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      if (watched[i + 1].revents == 0) {
        continue;
      }
      auto [pipe, sink] = outputs[i];
      const ssize_t count = ::read(pipe->get(), chunk.data(), chunk.size());
      if (count > 0) {
        sink->append(chunk.data(), static_cast<std::size_t>(count));
      } else if (count == 0) {
        pipe->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        return std::unexpected(HelperError::io_errno(errno));
      }
    }
  }
  return delivery;
}

std::expected<ProcessResult, HelperError> run_child(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    ChildInput input_mode,
                                                    std::span<const std::uint8_t> input,
                                                    stop::StopSource* stop = nullptr,
                                                    bool own_process_group = false) {
  if (stop != nullptr && stop->requested()) {
    // Nothing new starts once the session is stopping.
    return ProcessResult{{}, {}, -1, true};
  }
  Pipe stdout_pipe;
  Pipe stderr_pipe;
  Pipe stdin_pipe;
  FileDescriptor null_device;
  if (auto made = make_pipe()) {
    stdout_pipe = std::move(*made);
  } else {
    return std::unexpected(made.error());
  }
  if (auto made = make_pipe()) {
    stderr_pipe = std::move(*made);
  } else {
    return std::unexpected(made.error());
  }
  if (input_mode == ChildInput::Bytes) {
    if (auto made = make_pipe()) {
      stdin_pipe = std::move(*made);
    } else {
      return std::unexpected(made.error());
    }
  } else if (input_mode == ChildInput::NullDevice) {
    if (auto opened = open_null_device()) {
      null_device = std::move(*opened);
    } else {
      return std::unexpected(opened.error());
    }
  }

  base::ChildSetup setup;
  const int child_stdin =
      input_mode == ChildInput::Bytes ? stdin_pipe.read_end.get() : null_device.get();
  if (child_stdin >= 0) {
    setup.dup2(child_stdin, STDIN_FILENO);
  }
  setup.dup2(stdout_pipe.write_end.get(), STDOUT_FILENO);
  setup.dup2(stderr_pipe.write_end.get(), STDERR_FILENO);
  // Nothing of ours beyond the three standard streams reaches the tool,
  // whatever another thread opened without O_CLOEXEC. Neither do the
  // helper's ignored SIGPIPE and blocked stop signals, so a terminal's
  // Ctrl-C reaches the tool as it reaches any program.
  setup.close_others();
  if (own_process_group) {
    setup.own_process_group();
  }
  if (setup.status() != 0) {
    return std::unexpected(HelperError::io_errno(setup.status()));
  }

  // posix_spawnp searches the helper's own PATH; the child gets only the fixed environment.
  pid_t pid = -1;
  const int status = setup.spawn(pid, program, args, base::ChildEnvironment::Tool);
  if (status == ENOENT) {
    return std::unexpected(HelperError{HelperError::ToolNotFound{program}});
  }
  if (status != 0) {
    return std::unexpected(HelperError::io_errno(status));
  }
  SpawnedChild child(pid);

  // The child holds its own copies now; ours would keep the pipes open.
  stdout_pipe.write_end.reset();
  stderr_pipe.write_end.reset();
  stdin_pipe.read_end.reset();
  null_device.reset();

  ProcessResult result;
  InputDelivery delivery = InputDelivery::Complete;
  StopWatch stop_watch{stop, pid, std::nullopt};
  {
    std::optional<SigpipeBlock> sigpipe_block;
    if (stdin_pipe.write_end.is_open()) {
      sigpipe_block.emplace();
    }
    auto exchanged = exchange(stdin_pipe.write_end, input, stdout_pipe.read_end,
                              stderr_pipe.read_end, result, stop_watch);
    if (!exchanged) {
      stdin_pipe.write_end.reset();
      stdout_pipe.read_end.reset();
      stderr_pipe.read_end.reset();
      return std::unexpected(exchanged.error());
    }
    delivery = *exchanged;
  }

  auto exit_code = child.wait(stop_watch.kill_at);
  if (!exit_code) {
    return std::unexpected(exit_code.error());
  }
  // A terminal's Ctrl-C may have ended the child before we saw the stop.
  result.stopped =
      stop_watch.kill_at.has_value() || (stop != nullptr && *exit_code != 0 && stop->requested());
  if (delivery == InputDelivery::ReaderGone && *exit_code == 0) {
    // A tool that stopped reading part-way cannot count as having done its job.
    return std::unexpected(HelperError::io_errno(EPIPE));
  }
  result.exit_code = *exit_code;
  return result;
}

// Wipes the command's standard-input buffer however the run ends.
class StdinZeroize {
 public:
  explicit StdinZeroize(ToolCommand& command) : command_(command) {}
  ~StdinZeroize() {
    if (command_.stdin_bytes) {
      secure::zeroize(*command_.stdin_bytes);
    }
  }
  StdinZeroize(const StdinZeroize&) = delete;
  StdinZeroize& operator=(const StdinZeroize&) = delete;

 private:
  ToolCommand& command_;
};

}  // namespace

std::expected<ProcessResult, HelperError> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      StdinSource source) {
  return run_child(program, args,
                   source == StdinSource::NullDevice ? ChildInput::NullDevice : ChildInput::Inherit,
                   {});
}

std::expected<ToolOutput, HelperError> run_tool(ToolCommand& command, stop::StopSource* stop) {
  const StdinZeroize zeroize_on_return(command);
  stop::StopSource* const obeyed = command.must_finish ? nullptr : stop;
  auto finished = command.stdin_bytes
                      ? run_child(command.program, command.args, ChildInput::Bytes,
                                  std::span<const std::uint8_t>(*command.stdin_bytes), obeyed,
                                  command.must_finish)
                      : run_child(command.program, command.args, ChildInput::Inherit, {}, obeyed,
                                  command.must_finish);
  if (!finished) {
    return std::unexpected(std::move(finished.error()));
  }
  if (finished->stopped && finished->exit_code != 0) {
    return std::unexpected(
        HelperError{HelperError::Stopped{command.command_text(), obeyed->reason()}});
  }
  if (finished->exit_code != 0 &&
      std::ranges::find(command.answer_exit_codes, finished->exit_code) ==
          command.answer_exit_codes.end()) {
    return std::unexpected(HelperError{HelperError::CommandFailed{
        command.command_text(), text::decode_utf8_lossy(finished->stderr_bytes),
        finished->exit_code}});
  }
  return ToolOutput{std::move(finished->stdout_bytes), std::move(finished->stderr_bytes),
                    finished->exit_code};
}

std::expected<ToolOutput, HelperError> SystemToolRunner::run(ToolCommand command) {
  return run_tool(command, stop_);
}

}  // namespace tarnwick::runner
