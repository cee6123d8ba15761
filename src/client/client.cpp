// SPDX-License-Identifier: MIT
// The session: one helper process, its pipes, and the request/response
// exchange over them.
#include "client/client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/base.hpp"
#include "client/answers.hpp"
#include "client/protocol.hpp"

#ifndef TDH_CLIENT_HELPER_PATH
#error "TDH_CLIENT_HELPER_PATH must name the installed helper"
#endif
#ifndef TDH_CLIENT_VERSION
#error "TDH_CLIENT_VERSION must give the version the helper ships with"
#endif

namespace tarnwick::client {

// --- errors and progress ---------------------------------------------------------

std::string ClientError::describe() const {
  if (kind == Kind::Helper || kind == Kind::Cancelled || helper_stderr.empty()) {
    return message;
  }
  std::string_view err = helper_stderr;
  while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) {
    err.remove_suffix(1);
  }
  return message + ": " + std::string(err);
}

std::optional<double> WipeProgress::fraction() const {
  if (!total || *total == 0) {
    return std::nullopt;
  }
  return std::min(1.0,
                  static_cast<double>(verified.value_or(written)) / static_cast<double>(*total));
}

std::optional<std::chrono::seconds> WipeProgress::remaining() const {
  if (!total || *total == 0 || !bytes_per_second || *bytes_per_second <= 0.0) {
    return std::nullopt;
  }
  const std::uint64_t done = verified.value_or(written);
  const std::uint64_t left = done >= *total ? 0 : *total - done;
  const double seconds = std::ceil(static_cast<double>(left) / *bytes_per_second);
  if (!(seconds < 1e9)) {  // also catches NaN
    return std::nullopt;
  }
  return std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

// --- the process -------------------------------------------------------------------

namespace {

constexpr std::size_t kStderrKept = std::size_t{64} * 1024;
// Longest response line accepted. The helper's own lines are far shorter;
// an error text carries at most a tool's standard error.
constexpr std::size_t kLongestLine = std::size_t{16} * 1024 * 1024;

using Fd = base::FileDescriptor;

// Moves a descriptor to 3 or above, so that placing it on 0, 1 or 2 in the
// child always goes through dup2 (which clears close-on-exec).
Fd above_stdio(int fd) {
  if (fd >= 3) {
    return Fd(fd);
  }
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return Fd(moved);
}

ClientError start_failed(std::string_view program, int error) {
  ClientError e;
  e.kind = ClientError::Kind::StartFailed;
  // glibc (2.32 on) keeps the buffer for unknown numbers per thread.
  e.message = "could not start the helper: " + std::string(program) + ": " +
              ::strerror(error);  // NOLINT(concurrency-mt-unsafe)
  e.os_error = error;
  return e;
}

bool is_pkexec(const std::string& program) {
  const std::size_t slash = program.rfind('/');
  return program.substr(slash == std::string::npos ? 0 : slash + 1) == "pkexec";
}

// The helper's exit statuses after a stop by signal: 128 + SIGHUP, SIGINT, SIGTERM.
std::optional<int> stopping_signal(int exit_code) {
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    if (exit_code == 128 + signal) {
      return signal;
    }
  }
  return std::nullopt;
}

// Writes the whole line to the helper's input; false when the helper is gone
// (EPIPE, ECONNRESET) or its input was closed already.
bool send_all(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    line.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The id of wipe_many()'s job `index` on the wire: "1", "2", ...
std::string job_id(std::size_t index) { return std::to_string(index + 1); }

std::string signal_name(int signal) {
  // glibc (2.32 on) keeps the buffer for unknown numbers per thread.
  const char* name = ::strsignal(signal);  // NOLINT(concurrency-mt-unsafe)
  return std::to_string(signal) + (name != nullptr ? std::string(" (") + name + ")" : "");
}

}  // namespace

struct Client::Impl {
  pid_t pid = -1;
  Fd pidfd;  // polled for the exit; signals never go through it
  // A socket: writes use MSG_NOSIGNAL, so SIGPIPE is never raised. Sent on
  // and closed only under `sending`, since cancel() may write from another
  // thread.
  Fd in;
  std::mutex sending;
  // Under `sending`: whether a wipe's answer is awaited, and how many cancel
  // requests it was sent.
  bool wipe_in_flight = false;
  std::size_t cancels_sent = 0;
  // Under `sending`: the jobs of the wipe_many() in flight (empty outside
  // one), and how many of the cancel requests sent them are unanswered.
  struct RunningJob {
    std::string id;
    bool running = false;  // sent, and its final answer not read yet
    bool cancel_sent = false;
  };
  std::vector<RunningJob> jobs;
  std::size_t job_cancels_owed = 0;
  Fd out;
  Fd err;
  bool via_pkexec = false;
  std::string pending;  // output read but not yet split into lines
  std::string stderr_text;
  // The last capacity check, for the report of a later wipe of that drive.
  std::optional<CapacityCheck> last_check;
  // Set once the session is over; every later call reports it.
  std::optional<std::expected<void, ClientError>> ended;

  ~Impl() { (void)finish(); }

  void keep_stderr(const char* data, std::size_t size) {
    stderr_text.append(data, size);
    if (stderr_text.size() > kStderrKept) {
      stderr_text.erase(0, stderr_text.size() - kStderrKept);
    }
  }

  // Reads what one descriptor offers; false at end of file or on error.
  bool read_into(Fd& fd, bool is_stderr) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n > 0) {
        if (is_stderr) {
          keep_stderr(buffer, static_cast<std::size_t>(n));
        } else {
          pending.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      fd.reset();
      return false;
    }
  }

  // The next complete output line (without its line feed), or nothing when
  // the output ended first. Standard error is collected meanwhile, so a
  // helper that writes much there never blocks.
  std::optional<std::string> next_line() {
    for (;;) {
      const std::size_t end = pending.find('\n');
      if (end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      if (!out.is_open() || pending.size() > kLongestLine) {
        return std::nullopt;
      }
      pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.is_open() ? err.get() : -1, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return std::nullopt;
      }
      if (fds[1].fd >= 0 && fds[1].revents != 0) {
        read_into(err, true);
      }
      if (fds[0].revents != 0) {
        read_into(out, false);
      }
    }
  }

  // Closes the input and waits for the process to end, collecting its
  // output until then. Returns the wait status (-1 when unknown).
  int reap() {
    {
      const std::lock_guard lock(sending);
      in.reset();
      wipe_in_flight = false;
      jobs.clear();
    }
    if (pid < 0) {
      return -1;
    }
    // Until the process is gone, keep both outputs drained: it may block
    // writing them otherwise.
    for (;;) {
      pollfd fds[3] = {{out.is_open() ? out.get() : -1, POLLIN, 0},
                       {err.is_open() ? err.get() : -1, POLLIN, 0},
                       {pidfd.is_open() ? pidfd.get() : -1, POLLIN, 0}};
      if (!out.is_open() && !err.is_open() && !pidfd.is_open()) {
        break;
      }
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      if (fds[0].fd >= 0 && fds[0].revents != 0) {
        read_into(out, false);
        pending.clear();  // nothing waits for these lines any more
      }
      if (fds[1].fd >= 0 && fds[1].revents != 0) {
        read_into(err, true);
      }
      if (fds[2].fd >= 0 && fds[2].revents != 0) {
        break;
      }
    }
    int status = -1;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) {
        status = -1;  // ECHILD: the application reaps children itself
        break;
      }
    }
    pid = -1;
    pidfd.reset();
    // What it wrote just before it ended is still in the pipes; a
    // descendant that kept them open must not hold us here.
    for (Fd* fd : {&out, &err}) {
      while (fd->is_open()) {
        pollfd p{fd->get(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !read_into(*fd, fd == &err)) {
          break;
        }
      }
      fd->reset();
    }
    pending.clear();
    return status;
  }

  // The error for a helper that ended while a request waited.
  ClientError ended_error(int status) const {
    ClientError e;
    e.helper_stderr = stderr_text;
    if (status != -1 && WIFEXITED(status)) {
      const int code = WEXITSTATUS(status);
      e.exit_status = code;
      if (via_pkexec && (code == 126 || code == 127)) {
        e.kind = ClientError::Kind::AuthorisationRefused;
        e.message = code == 126 ? "authorisation was dismissed: pkexec exited 126"
                                : "authorisation was refused or pkexec failed: pkexec exited 127";
        return e;
      }
      if (const auto signal = stopping_signal(code)) {
        e.kind = ClientError::Kind::Interrupted;
        e.signal = signal;
        e.message = "the helper was interrupted by signal " + signal_name(*signal) +
                    " and closed what it had opened";
        return e;
      }
      e.kind = ClientError::Kind::HelperExited;
      e.message = "the helper exited with status " + std::to_string(code) + " before answering";
    } else if (status != -1 && WIFSIGNALED(status)) {
      e.kind = ClientError::Kind::HelperExited;
      e.signal = WTERMSIG(status);
      e.message =
          "the helper was ended by signal " + signal_name(WTERMSIG(status)) + " before answering";
    } else {
      e.kind = ClientError::Kind::HelperExited;
      e.message = "the helper ended before answering";
    }
    return e;
  }

  ClientError end_mid_request() {
    ClientError e = ended_error(reap());
    ClientError later = e;
    later.message = "the helper is no longer running (" + e.message + ")";
    ended = std::unexpected(std::move(later));
    return e;
  }

  ClientError protocol_error(const std::string& what) {
    ClientError e;
    e.kind = ClientError::Kind::Protocol;
    e.message = "unexpected answer from the helper: " + what;
    (void)reap();
    e.helper_stderr = stderr_text;
    ended = std::unexpected(e);
    return e;
  }

  std::expected<void, ClientError> finish() {
    if (ended) {
      return *ended;
    }
    const int status = reap();
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      ended = std::expected<void, ClientError>{};
    } else {
      ClientError e = ended_error(status);
      if (e.kind == ClientError::Kind::HelperExited) {
        e.message = e.exit_status
                        ? "the helper exited with status " + std::to_string(*e.exit_status)
                        : (e.signal ? "the helper was ended by signal " + signal_name(*e.signal)
                                    : "the helper's exit status is unknown");
      }
      ended = std::unexpected(std::move(e));
    }
    return *ended;
  }

  bool cancel() {
    const std::lock_guard lock(sending);
    if (!jobs.empty()) {
      bool asked = false;
      for (std::size_t index = 0; index < jobs.size(); ++index) {
        asked = cancel_job(index) || asked;
      }
      return asked;
    }
    if (!wipe_in_flight || !send_all(in.get(), detail::kCancelRequest)) {
      return false;
    }
    ++cancels_sent;
    return true;
  }

  bool cancel(std::size_t index) {
    const std::lock_guard lock(sending);
    return cancel_job(index);
  }

  // Under `sending`.
  bool cancel_job(std::size_t index) {
    if (index >= jobs.size() || !jobs[index].running ||
        !send_all(in.get(), detail::cancel_request(jobs[index].id))) {
      return false;
    }
    jobs[index].cancel_sent = true;
    ++job_cancels_owed;
    return true;
  }

  // What a request gets once the session has ended.
  ClientError session_over() const {
    if (!ended || ended->has_value()) {
      ClientError e;
      e.kind = ClientError::Kind::HelperExited;
      e.message = "the session has ended";
      return e;
    }
    return ended->error();
  }

  // The next response line; a helper that ended or wrote something else ends
  // the session.
  std::expected<detail::Response, ClientError> next_response() {
    std::optional<std::string> text = next_line();
    if (!text) {
      if (pending.size() > kLongestLine) {
        return std::unexpected(protocol_error("a line longer than 16 MiB"));
      }
      return std::unexpected(end_mid_request());
    }
    auto response = detail::parse_response(*text);
    if (!response) {
      std::string shown = text->substr(0, 200);
      return std::unexpected(protocol_error(response.error() + ": " + shown));
    }
    return std::move(*response);
  }

  // Sends one request line and reads lines until its final answer. A
  // cancellable request (a wipe) may be sent cancel requests meanwhile; their
  // answers follow its own and are consumed here, so the next request gets
  // its own answer.
  std::expected<void, ClientError> transact(
      std::string_view line, const std::function<void(const detail::ProgressResponse&)>& progress,
      bool cancellable = false,
      const std::function<void(const detail::ProbeResponse&)>& probe_result = {}) {
    if (ended) {
      return std::unexpected(session_over());
    }
    bool sent = false;
    {
      const std::lock_guard lock(sending);
      sent = send_all(in.get(), line);
      wipe_in_flight = sent && cancellable;
      cancels_sent = 0;
    }
    if (!sent) {
      // The helper is gone; say how it ended.
      return std::unexpected(end_mid_request());
    }
    std::expected<void, ClientError> outcome;
    for (;;) {
      auto response = next_response();
      if (!response) {
        outcome = std::unexpected(std::move(response.error()));
        break;
      }
      if (std::holds_alternative<detail::OkResponse>(*response)) {
        break;
      }
      if (auto* error = std::get_if<detail::ErrorResponse>(&*response)) {
        // Interrupted: the helper is ending; its exit status comes with
        // finish(). Whether it was cancelled is told once the cancel
        // requests are counted, below.
        outcome = std::unexpected(wipe_error(std::move(error->text), /*cancel_sent=*/false));
        break;
      }
      if (auto* result = std::get_if<detail::ProbeResponse>(&*response)) {
        if (probe_result) {
          probe_result(*result);
        }
        continue;
      }
      if (progress) {
        progress(std::get<detail::ProgressResponse>(*response));
      }
    }
    std::size_t owed = 0;
    {
      const std::lock_guard lock(sending);
      wipe_in_flight = false;
      owed = std::exchange(cancels_sent, 0);
    }
    if (owed == 0 || ended) {
      return outcome;
    }
    if (!outcome) {
      if (outcome.error().kind == ClientError::Kind::Interrupted) {
        return outcome;  // a signalled helper answers nothing more
      }
      if (outcome.error().kind == ClientError::Kind::Helper &&
          detail::classify_answer(outcome.error().message).cancelled) {
        outcome.error().kind = ClientError::Kind::Cancelled;
      }
    }
    // Ok, or the unknown-op error when the wipe was over before the helper
    // read the request: either says nothing more about the wipe.
    for (; owed > 0; --owed) {
      auto answer = next_response();
      if (!answer) {
        break;  // the session is over; later calls say how
      }
      if (std::holds_alternative<detail::ProgressResponse>(*answer)) {
        (void)protocol_error("progress after the wipe's answer");
        break;
      }
    }
    return outcome;
  }

  // The helper's error answer to a wipe: Interrupted when a signal stopped
  // it, Cancelled when it says so and this client had asked for it.
  static ClientError wipe_error(std::string text, bool cancel_sent) {
    ClientError e;
    e.kind = ClientError::Kind::Helper;
    const detail::AnswerFacts facts = detail::classify_answer(text);
    if (facts.interrupted_by) {
      e.kind = ClientError::Kind::Interrupted;
      e.signal = facts.interrupted_by;
    } else if (cancel_sent && facts.cancelled) {
      e.kind = ClientError::Kind::Cancelled;
    }
    e.message = std::move(text);
    return e;
  }

  // wipe_many()'s exchange. Sends every line of `lines` (an empty one is a
  // job whose outcome is set already) and reads the interleaved lines until
  // every job sent has its final answer and every cancel request sent
  // meanwhile has its own, so that the next request gets its own answer.
  void run_many(const std::vector<std::string>& lines,
                const std::function<void(std::size_t, const detail::ProgressResponse&)>& progress,
                std::vector<std::expected<void, ClientError>>& outcomes) {
    std::vector<bool> settled(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      settled[i] = lines[i].empty();
    }
    if (ended) {
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!settled[i]) {
          outcomes[i] = std::unexpected(session_over());
        }
      }
      return;
    }
    std::size_t unfinished = 0;
    bool all_sent = true;
    {
      const std::lock_guard lock(sending);
      jobs.assign(lines.size(), RunningJob{});
      job_cancels_owed = 0;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        jobs[i].id = job_id(i);
        if (settled[i]) {
          continue;
        }
        // Once one could not be written, the helper is gone: none after it goes.
        all_sent = all_sent && send_all(in.get(), lines[i]);
        if (all_sent) {
          jobs[i].running = true;
          ++unfinished;
        }
      }
    }
    std::optional<ClientError> fatal;
    bool interrupted = false;
    for (;;) {
      std::size_t owed = 0;
      {
        const std::lock_guard lock(sending);
        owed = job_cancels_owed;
      }
      if (unfinished == 0 && owed == 0) {
        break;
      }
      std::optional<std::string> text = next_line();
      if (!text) {
        if (pending.size() > kLongestLine) {
          fatal = protocol_error("a line longer than 16 MiB");
        } else if (unfinished != 0 || !interrupted) {
          fatal = end_mid_request();
        }
        // A signalled helper ends without answering cancel requests it did not read.
        break;
      }
      const std::string shown = text->substr(0, 200);
      auto line = detail::parse_tagged_response(*text);
      if (!line) {
        fatal = protocol_error(line.error() + ": " + shown);
        break;
      }
      if (!line->id) {
        // The answer to the oldest unanswered cancel request: ok, or "no
        // wipe with this id is running" when that wipe had just ended.
        bool answers_cancel = std::holds_alternative<detail::OkResponse>(line->response) ||
                              std::holds_alternative<detail::ErrorResponse>(line->response);
        {
          const std::lock_guard lock(sending);
          answers_cancel = answers_cancel && job_cancels_owed > 0;
          if (answers_cancel) {
            --job_cancels_owed;
          }
        }
        if (!answers_cancel) {
          fatal = protocol_error("a line without id while wipes run: " + shown);
          break;
        }
        continue;
      }
      std::optional<std::size_t> index;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!settled[i] && jobs[i].id == *line->id) {
          index = i;
        }
      }
      if (!index) {
        fatal = protocol_error("a line for no wipe this client runs: " + shown);
        break;
      }
      if (auto* report = std::get_if<detail::ProgressResponse>(&line->response)) {
        progress(*index, *report);
        continue;
      }
      if (std::holds_alternative<detail::ProbeResponse>(line->response)) {
        fatal = protocol_error("a capacity check's result in a wipe: " + shown);
        break;
      }
      bool cancel_sent = false;
      {
        const std::lock_guard lock(sending);
        jobs[*index].running = false;
        cancel_sent = jobs[*index].cancel_sent;
      }
      if (auto* error = std::get_if<detail::ErrorResponse>(&line->response)) {
        outcomes[*index] = std::unexpected(wipe_error(std::move(error->text), cancel_sent));
        interrupted =
            interrupted || outcomes[*index].error().kind == ClientError::Kind::Interrupted;
      }
      settled[*index] = true;
      --unfinished;
    }
    if (!fatal && !all_sent) {
      fatal = end_mid_request();
    }
    {
      const std::lock_guard lock(sending);
      jobs.clear();
      job_cancels_owed = 0;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (fatal && !settled[i]) {
        outcomes[i] = std::unexpected(*fatal);
      }
    }
  }
};

// --- Client ------------------------------------------------------------------------

namespace {
ClientError moved_from() {
  ClientError e;
  e.kind = ClientError::Kind::InvalidArgument;
  e.message = "this client was moved from";
  return e;
}
const std::string kNoText;

// Whether two names reach the same device node (a by-id link and the kernel
// name, say); names that cannot be resolved count only when equal.
bool same_drive(const std::string& a, std::string_view b) {
  const std::string other(b);
  if (a == other) {
    return true;
  }
  char first[PATH_MAX];
  char second[PATH_MAX];
  return ::realpath(a.c_str(), first) != nullptr && ::realpath(other.c_str(), second) != nullptr &&
         std::strcmp(first, second) == 0;
}
}  // namespace

std::string Client::installed_helper_path() { return TDH_CLIENT_HELPER_PATH; }

std::vector<std::string> Client::default_command() { return {"pkexec", installed_helper_path()}; }

std::expected<Client, ClientError> Client::start() { return start(default_command()); }

std::expected<Client, ClientError> Client::start(std::vector<std::string> argv) {
  if (argv.empty() || argv[0].empty()) {
    ClientError e;
    e.kind = ClientError::Kind::InvalidArgument;
    e.message = "no helper command given";
    return std::unexpected(e);
  }
  int stdin_pair[2];
  int out_pipe[2];
  int err_pipe[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stdin_pair) != 0) {
    return std::unexpected(start_failed(argv[0], errno));
  }
  Fd in_ours = above_stdio(stdin_pair[0]);
  Fd in_theirs = above_stdio(stdin_pair[1]);
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    return std::unexpected(start_failed(argv[0], errno));
  }
  Fd out_ours = above_stdio(out_pipe[0]);
  Fd out_theirs = above_stdio(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    return std::unexpected(start_failed(argv[0], errno));
  }
  Fd err_ours = above_stdio(err_pipe[0]);
  Fd err_theirs = above_stdio(err_pipe[1]);
  if (!in_ours.is_open() || !in_theirs.is_open() || !out_ours.is_open() || !out_theirs.is_open() ||
      !err_ours.is_open() || !err_theirs.is_open()) {
    return std::unexpected(start_failed(argv[0], EMFILE));
  }
  // Only the helper's end of the socket reads; ours only writes.
  ::shutdown(in_ours.get(), SHUT_RD);
  ::shutdown(in_theirs.get(), SHUT_WR);

  // Nothing else of the application's, neither descriptors nor signal
  // settings, reaches the (privileged) helper.
  base::ChildSetup setup;
  setup.dup2(in_theirs.get(), STDIN_FILENO);
  setup.dup2(out_theirs.get(), STDOUT_FILENO);
  setup.dup2(err_theirs.get(), STDERR_FILENO);
  setup.close_others();
  pid_t pid = -1;
  const int spawned =
      setup.spawn(pid, argv[0], std::span(argv).subspan(1), base::ChildEnvironment::Inherit);
  if (spawned != 0) {
    return std::unexpected(start_failed(argv[0], spawned));
  }

  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->pidfd = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (impl->pidfd.is_open()) {
    ::fcntl(impl->pidfd.get(), F_SETFD, FD_CLOEXEC);
  }
  impl->in = std::move(in_ours);
  impl->out = std::move(out_ours);
  impl->err = std::move(err_ours);
  impl->via_pkexec = is_pkexec(argv[0]);
  return Client(std::move(impl));
}

Client::Client(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Client::Client(Client&& other) noexcept = default;
Client& Client::operator=(Client&& other) noexcept = default;
Client::~Client() = default;

std::expected<void, ClientError> Client::finish() {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  return impl_->finish();
}

bool Client::cancel() { return impl_ && impl_->cancel(); }

bool Client::cancel(std::size_t index) { return impl_ && impl_->cancel(index); }

const std::string& Client::helper_stderr() const { return impl_ ? impl_->stderr_text : kNoText; }

std::expected<void, ClientError> Client::wipe(std::string_view device, WipeMode mode,
                                              const ProgressCallback& on_progress) {
  return wipe(device, mode, WipeOptions{}, on_progress);
}

namespace {

// What a report knows before the wipe: above all, the drive as it is now.
void begin_report(WipeReport& report, std::string_view device, WipeMode mode,
                  const std::optional<CapacityCheck>& last_check) {
  report = WipeReport{};
  report.mode = mode;
  if (auto identity = identify_drive(device)) {
    report.drive = std::move(*identity);
  } else {
    report.drive.path = std::string(device);
    report.identity_error = std::move(identity.error());
  }
  if (last_check && same_drive(last_check->device, device)) {
    report.capacity_check = last_check;
  }
  report.helper_version = TDH_CLIENT_VERSION;
  report.host_name = detail::host_name();
  report.started = std::chrono::system_clock::now();
}

void end_report(WipeReport& report, const std::expected<void, ClientError>& outcome, bool verify,
                std::optional<std::uint64_t> drive_size) {
  report.ended = std::chrono::system_clock::now();
  if (!outcome) {
    report.error = outcome.error().describe();
  }
  report.verification = detail::judge_verification(verify, report.error, report.bytes_verified,
                                                   drive_size ? drive_size : report.drive.size);
}

// One wipe's progress lines: its figures go to the report, and become the
// progress shown, with the rate of the current phase.
class WipeTracker {
 public:
  WipeTracker(WipeReport* report, std::optional<std::uint64_t> drive_size)
      : report_(report), drive_size_(drive_size), started_(std::chrono::steady_clock::now()) {}

  // Records the line; the progress only when `wanted` (the rate is measured
  // only then).
  std::optional<WipeProgress> add(const detail::ProgressResponse& response, bool wanted) {
    if (report_ != nullptr) {
      report_->bytes_written = response.copied;
      if (response.verified) {
        report_->bytes_verified = response.verified;
      }
    }
    if (!wanted) {
      return std::nullopt;
    }
    const auto now = std::chrono::steady_clock::now();
    WipeProgress progress;
    progress.written = response.copied;
    progress.verified = response.verified;
    progress.total = drive_size_;
    progress.bytes_per_second = response.verified ? read_meter_.add(now, *response.verified)
                                                  : write_meter_.add(now, response.copied);
    progress.elapsed = now - started_;
    return progress;
  }

 private:
  WipeReport* report_;
  std::optional<std::uint64_t> drive_size_;
  std::chrono::steady_clock::time_point started_;
  detail::RateMeter write_meter_;
  detail::RateMeter read_meter_;
};

}  // namespace

std::expected<void, ClientError> Client::wipe(std::string_view device, WipeMode mode,
                                              const WipeOptions& options,
                                              const ProgressCallback& on_progress) {
  WipeReport* const report = options.report;
  if (report != nullptr) {
    begin_report(*report, device, mode, impl_ ? impl_->last_check : std::nullopt);
  }
  // Read before the request: the device name is what the helper resolves
  // now, and the size does not change while it is written.
  const std::optional<std::uint64_t> drive_size = detail::device_size(device);
  const auto outcome = [&]() -> std::expected<void, ClientError> {
    if (!impl_) {
      return std::unexpected(moved_from());
    }
    auto line = detail::wipe_request(device, mode, options.verify);
    if (!line) {
      return std::unexpected(line.error());
    }
    WipeTracker tracker(report, drive_size);
    const auto on_response = [&](const detail::ProgressResponse& response) {
      const auto progress = tracker.add(response, static_cast<bool>(on_progress));
      if (!progress) {
        return;
      }
      try {
        on_progress(*progress);
      } catch (...) {  // NOLINT(bugprone-empty-catch)
        // The application's exception must not cut the exchange short: the
        // helper's remaining lines still belong to this request.
      }
    };
    return impl_->transact(*line, on_response, /*cancellable=*/true);
  }();
  if (report != nullptr) {
    end_report(*report, outcome, options.verify, drive_size);
  }
  return outcome;
}

std::vector<std::expected<void, ClientError>> Client::wipe_many(
    std::span<const WipeJob> jobs, const MultiProgressCallback& on_progress) {
  std::vector<std::expected<void, ClientError>> outcomes(jobs.size());
  std::vector<std::optional<std::uint64_t>> sizes;
  sizes.reserve(jobs.size());
  for (const WipeJob& job : jobs) {
    if (job.options.report != nullptr) {
      begin_report(*job.options.report, job.device, job.mode,
                   impl_ ? impl_->last_check : std::nullopt);
    }
    sizes.push_back(detail::device_size(job.device));
  }
  if (!impl_ || jobs.size() > kMaxConcurrentWipes) {
    ClientError refused = moved_from();
    if (impl_) {
      refused.message = "too many wipes at once: at most " + std::to_string(kMaxConcurrentWipes) +
                        " run in one session";
    }
    std::fill(outcomes.begin(), outcomes.end(), std::unexpected(refused));
  } else {
    std::vector<std::string> lines(jobs.size());
    std::vector<WipeTracker> trackers;
    trackers.reserve(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      auto line =
          detail::wipe_request(jobs[i].device, jobs[i].mode, jobs[i].options.verify, job_id(i));
      if (line) {
        lines[i] = std::move(*line);
      } else {
        outcomes[i] = std::unexpected(std::move(line.error()));
      }
      trackers.emplace_back(jobs[i].options.report, sizes[i]);
    }
    impl_->run_many(
        lines,
        [&](std::size_t index, const detail::ProgressResponse& response) {
          const auto progress = trackers[index].add(response, static_cast<bool>(on_progress));
          if (!progress) {
            return;
          }
          try {
            on_progress(index, *progress);
          } catch (...) {  // NOLINT(bugprone-empty-catch)
            // As for wipe(): the remaining lines still belong to the jobs.
          }
        },
        outcomes);
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i].options.report != nullptr) {
      end_report(*jobs[i].options.report, outcomes[i], jobs[i].options.verify, sizes[i]);
    }
  }
  return outcomes;
}

std::expected<CapacityCheck, ClientError> Client::probe(std::string_view device,
                                                        const CheckProgressCallback& on_progress) {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  auto line = detail::probe_request(device);
  if (!line) {
    return std::unexpected(line.error());
  }
  std::optional<CapacityCheck> check;
  auto outcome = impl_->transact(
      *line,
      [&](const detail::ProgressResponse& response) {
        if (!on_progress) {
          return;
        }
        try {
          on_progress(response.copied);
        } catch (...) {  // NOLINT(bugprone-empty-catch)
          // As for a wipe: the helper's remaining lines belong to this request.
        }
      },
      /*cancellable=*/true, [&](const detail::ProbeResponse& response) { check = response.check; });
  // The result line comes before the final answer; without it there is no
  // result, whatever the answer.
  if (!check) {
    if (outcome) {
      return std::unexpected(impl_->protocol_error("a check answered without its result line"));
    }
    return std::unexpected(std::move(outcome.error()));
  }
  if (!outcome) {
    if (outcome.error().kind != ClientError::Kind::Helper) {
      return std::unexpected(std::move(outcome.error()));
    }
    check->helper_error = outcome.error().message;
  }
  check->device = std::string(device);
  impl_->last_check = check;
  return std::move(*check);
}

std::expected<void, ClientError> Client::luks_format(std::string_view device,
                                                     std::string_view label,
                                                     std::span<const std::byte> passphrase) {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  auto line = detail::luks_format_request(device, label, passphrase);
  if (!line) {
    return std::unexpected(line.error());
  }
  return impl_->transact(line->view(), {});
}

std::expected<void, ClientError> Client::luks_open(std::string_view device,
                                                   std::string_view mapper_name,
                                                   std::span<const std::byte> passphrase,
                                                   bool allow_discards) {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  auto line = detail::luks_open_request(device, mapper_name, passphrase, allow_discards);
  if (!line) {
    return std::unexpected(line.error());
  }
  return impl_->transact(line->view(), {});
}

std::expected<void, ClientError> Client::luks_close(std::string_view mapper_name) {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  auto line = detail::luks_close_request(mapper_name);
  if (!line) {
    return std::unexpected(line.error());
  }
  return impl_->transact(*line, {});
}

std::expected<void, ClientError> Client::mkfs(std::string_view mapped, Filesystem fs,
                                              std::string_view label) {
  if (!impl_) {
    return std::unexpected(moved_from());
  }
  auto line = detail::mkfs_request(mapped, fs, label);
  if (!line) {
    return std::unexpected(line.error());
  }
  return impl_->transact(*line, {});
}

}  // namespace tarnwick::client
