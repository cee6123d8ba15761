// SPDX-License-Identifier: MIT
// Running the command as a person or a script would: under a pseudo-terminal
// (typing at its prompts, reading what it draws), or with plain pipes.
// Deadlines only stop a hung test; nothing asserts on durations.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace tdh_cli_test {

using namespace std::chrono_literals;

inline std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) {
    out.push_back(s.data());
  }
  out.push_back(nullptr);
  return out;
}

inline int exit_code_of(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The environment of the tests' own process, with PATH replaced.
inline std::vector<std::string> environment_with_path(const std::string& path,
                                                      std::vector<std::string> extra = {}) {
  std::vector<std::string> env = {"PATH=" + path, "LC_ALL=C", "HOME=/nonexistent"};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

class PtyRun {
 public:
  PtyRun(std::vector<std::string> argv, std::vector<std::string> env, int columns = 100) {
    winsize size{};
    size.ws_row = 30;
    size.ws_col = static_cast<unsigned short>(columns);
    auto c_argv = c_strings(argv);
    auto c_env = c_strings(env);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) {
      throw std::runtime_error("forkpty failed");
    }
    if (pid_ == 0) {
      ::close_range(3, ~0U, 0);
      ::execve(c_argv[0], c_argv.data(), c_env.data());
      ::_exit(127);
    }
  }
  ~PtyRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);  // our own child, not yet reaped
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (master_ >= 0) {
      ::close(master_);
    }
  }
  PtyRun(const PtyRun&) = delete;
  PtyRun& operator=(const PtyRun&) = delete;

  // Reads until `text` appears after what earlier waits consumed.
  bool wait_for(const std::string& text, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const std::size_t at = output_.find(text, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      if (closed_ || !pump(deadline)) {
        return false;
      }
    }
  }

  // The terminal's local modes as the command set them (the master reports
  // the slave's).
  tcflag_t local_modes() const {
    termios modes{};
    return ::tcgetattr(master_, &modes) == 0 ? modes.c_lflag : 0;
  }

  // What the terminal does with a typed Ctrl-C while ISIG is on: SIGINT to
  // its foreground process group (the master reports the slave's).
  void interrupt() const {
    const pid_t group = ::tcgetpgrp(master_);
    if (group > 0) {
      ::kill(-group, SIGINT);
    }
  }

  void type(const std::string& text) {
    if (::write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("writing to the terminal failed");
    }
  }

  // Reads to the end and returns the exit status (-1 on timeout).
  int finish(std::chrono::seconds limit = 120s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!closed_ && pump(deadline)) {
    }
    if (!closed_) {
      return -1;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return exit_code_of(status);
  }

  const std::string& output() const { return output_; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return true;
    }
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<std::size_t>(n));
    } else {
      closed_ = true;  // EIO once the child and its descendants let go of it
    }
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
  std::size_t consumed_ = 0;
  bool closed_ = false;
};

struct PlainResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs with pipes: `input` on standard input (then closed), and, when given,
// `fd3` readable on descriptor 3.
inline PlainResult run_plain(std::vector<std::string> argv, std::vector<std::string> env,
                             const std::string& input = "", const std::string* fd3 = nullptr) {
  int in[2], out[2], err[2], extra[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC) ||
      (fd3 != nullptr && ::pipe2(extra, O_CLOEXEC))) {
    throw std::runtime_error("pipe failed");
  }
  auto c_argv = c_strings(argv);
  auto c_env = c_strings(env);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();  // no controlling terminal: the command must find none
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (fd3 != nullptr) {
      if (extra[0] == 3) {
        ::fcntl(3, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
      } else {
        ::dup2(extra[0], 3);
      }
    }
    // Whatever the test runner left open must not reach the command: a test
    // relies on descriptor 3 being closed when no input is given there.
    ::close_range(fd3 != nullptr ? 4 : 3, ~0U, 0);
    ::execve(c_argv[0], c_argv.data(), c_env.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::signal(SIGPIPE, SIG_IGN);
  if (fd3 != nullptr) {
    ::close(extra[0]);
    (void)!::write(extra[1], fd3->data(), fd3->size());
    ::close(extra[1]);
  }
  (void)!::write(in[1], input.data(), input.size());
  ::close(in[1]);
  PlainResult result;
  int fds[2] = {out[0], err[0]};
  bool open[2] = {true, true};
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while ((open[0] || open[1]) && std::chrono::steady_clock::now() < deadline) {
    pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
    if (::poll(p, 2, 1000) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else {
        open[i] = false;
      }
    }
  }
  if (open[0] || open[1]) {
    ::kill(pid, SIGKILL);  // our own child
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_code = exit_code_of(status);
  return result;
}

}  // namespace tdh_cli_test
