// SPDX-License-Identifier: MIT
#include "e2e/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tdh_e2e {

void Fd::reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

Pipe Pipe::make() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(errno_message("pipe2", errno));
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::string errno_message(std::string_view what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

int exit_code_of(int wait_status) {
  if (WIFEXITED(wait_status)) {
    return WEXITSTATUS(wait_status);
  }
  if (WIFSIGNALED(wait_status)) {
    return 128 + WTERMSIG(wait_status);
  }
  return -1;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) {
    out.push_back(const_cast<char*>(s.c_str()));
  }
  out.push_back(nullptr);
  return out;
}

}  // namespace

ProcessResult run_capture(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& env, const std::string& input,
                          std::chrono::milliseconds timeout, bool inherit_stderr) {
  Pipe in = Pipe::make();
  Pipe out = Pipe::make();
  Pipe err = Pipe::make();
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_env = c_strings(env);

  pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error(errno_message("fork", errno));
  }
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in.read.get(), 0);
    ::dup2(out.write.get(), 1);
    if (!inherit_stderr) {
      ::dup2(err.write.get(), 2);
    }
    ::execve(path.c_str(), c_argv.data(), c_env.data());
    const char msg[] = "exec failed\n";
    (void)!::write(2, msg, sizeof msg - 1);
    ::_exit(127);
  }
  in.read.reset();
  out.write.reset();
  err.write.reset();

  // Feed the input first: every caller passes small inputs (a passphrase, a
  // key) that fit in the pipe, so this cannot dead-lock against our reads.
  ::signal(SIGPIPE, SIG_IGN);
  (void)write_all(in.write.get(), input);
  in.write.reset();

  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool out_open = true;
  bool err_open = !inherit_stderr;
  if (inherit_stderr) {
    err.read.reset();
  }
  bool timed_out = false;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[2] = {{out_open ? out.read.get() : -1, POLLIN, 0},
                     {err_open ? err.read.get() : -1, POLLIN, 0}};
    int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  if (timed_out) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    throw std::runtime_error("timed out running " + path);
  }
  result.exit_code = exit_code_of(status);
  return result;
}

std::optional<std::string> try_read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return std::nullopt;
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (n == 0) {
      return data;
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string read_file(const std::string& path) {
  auto data = try_read_file(path);
  if (!data) {
    throw std::runtime_error(errno_message("read " + path, errno));
  }
  return *data;
}

void write_file(const std::string& path, std::string_view contents, mode_t mode) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd || !write_all(fd.get(), contents)) {
    throw std::runtime_error(errno_message("write " + path, errno));
  }
}

void append_line(const std::string& path, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (fd) {
    (void)!::write(fd.get(), text.data(), text.size());
  }
}

std::optional<std::string> canonical(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    return std::nullopt;
  }
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string basename_of(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace tdh_e2e
