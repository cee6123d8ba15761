// SPDX-License-Identifier: MIT
// Small process and file utilities shared by the end-to-end harness and by
// the tool wrappers that run inside its namespaces. Plain POSIX underneath:
// the wrappers run in a freshly forked, exec'd copy of the test program and
// must not depend on anything GoogleTest sets up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdh_e2e {

// An owned file descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Both ends of a pipe, O_CLOEXEC; throws std::runtime_error on failure.
struct Pipe {
  Fd read;
  Fd write;
  static Pipe make();
};

// "what: strerror(errno)"
std::string errno_message(std::string_view what, int error);

struct ProcessResult {
  int exit_code = -1;  // exit status, or 128 + signal number when killed
  std::string out;
  std::string err;
};

// The exit code convention above, from a wait status.
int exit_code_of(int wait_status);

// Runs `path` with `argv` (argv[0] as given) and `env`, feeding `input` on its
// standard input and capturing both outputs. When `inherit_stderr` is set the
// child writes to our own standard error instead. The child is killed (by its
// pid) if it outlives `timeout`; then std::runtime_error is thrown.
ProcessResult run_capture(const std::string& path, const std::vector<std::string>& argv,
                          const std::vector<std::string>& env, const std::string& input,
                          std::chrono::milliseconds timeout, bool inherit_stderr = false);

// Reads every byte of a file; throws std::runtime_error on failure.
std::string read_file(const std::string& path);
std::optional<std::string> try_read_file(const std::string& path);
// Creates or truncates; throws on failure.
void write_file(const std::string& path, std::string_view contents, mode_t mode = 0644);
// One write(2) with O_APPEND, so concurrent writers never interleave a line.
void append_line(const std::string& path, std::string_view line);

// realpath(3), or nullopt.
std::optional<std::string> canonical(const std::string& path);

// Writes all bytes, retrying partial writes and EINTR. False on failure.
bool write_all(int fd, std::string_view bytes);

std::string basename_of(std::string_view path);

}  // namespace tdh_e2e
