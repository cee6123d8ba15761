// SPDX-License-Identifier: MIT
#include "cli/io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace tarnwick::cli {

bool write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void say(std::string_view text) { write_text(STDOUT_FILENO, text); }

void complain(std::string_view text) {
  write_text(STDERR_FILENO, "tarnwick-drives: " + std::string(text) + "\n");
}

namespace {

std::atomic<int> g_interrupt{0};
// Written before the handler is installed, read only by it.
std::string g_interrupt_notice;
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The terminal settings CancelKey changed, to put back from a signal handler
// too: whoever takes the descriptor first restores them. Written before the
// descriptor is published.
termios g_key_saved{};
std::atomic<int> g_key_fd{-1};

void restore_key_terminal() {
  const int fd = g_key_fd.exchange(-1);
  if (fd >= 0) {
    ::tcsetattr(fd, TCSAFLUSH, &g_key_saved);
  }
}

extern "C" void restore_key_and_reraise(int signal) {
  restore_key_terminal();
  (void)::signal(signal, SIG_DFL);
  (void)::raise(signal);
}

extern "C" void note_interrupt(int signal) {
  // A person who signals the command gets their terminal back at once.
  restore_key_terminal();
  int none = 0;
  if (g_interrupt.compare_exchange_strong(none, signal)) {
    (void)!::write(STDERR_FILENO, g_interrupt_notice.data(), g_interrupt_notice.size());
  }
}

// Reads one byte, retrying interruptions other than InterruptWatch's: 1, 0
// at end of input, -1 on error.
int read_byte(int fd, unsigned char& byte) {
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR && g_interrupt.load() == 0) {
      continue;
    }
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

// The terminal settings to put back should a signal end the command while
// echo is off. Written before the handlers are installed, read only by them.
termios g_saved{};
std::atomic<int> g_saved_fd{-1};
constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restore_and_reraise(int signal) {
  const int fd = g_saved_fd.load();
  if (fd >= 0) {
    ::tcsetattr(fd, TCSAFLUSH, &g_saved);
    const char newline = '\n';
    (void)!::write(fd, &newline, 1);
  }
  (void)::signal(signal, SIG_DFL);
  (void)::raise(signal);
}

// Changes the terminal's local modes for its lifetime.
class ModeChange {
 public:
  ModeChange(int fd, tcflag_t clear_local, bool byte_at_a_time) : fd_(fd) {
    if (::tcgetattr(fd, &saved_) != 0) {
      return;
    }
    termios changed = saved_;
    changed.c_lflag &= ~clear_local;
    if (byte_at_a_time) {
      changed.c_lflag &= ~static_cast<tcflag_t>(ICANON);
      changed.c_cc[VMIN] = 1;
      changed.c_cc[VTIME] = 0;
    }
    g_saved = saved_;
    g_saved_fd.store(fd);
    struct sigaction action{};
    action.sa_handler = restore_and_reraise;
    ::sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) {
      ::sigaction(kRestoreSignals[i], &action, &previous_[i]);
    }
    active_ = ::tcsetattr(fd, TCSAFLUSH, &changed) == 0;
  }
  ~ModeChange() {
    if (g_saved_fd.load() != fd_) {
      return;
    }
    if (active_) {
      ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    g_saved_fd.store(-1);
    for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) {
      ::sigaction(kRestoreSignals[i], &previous_[i], nullptr);
    }
  }
  ModeChange(const ModeChange&) = delete;
  ModeChange& operator=(const ModeChange&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
  struct sigaction previous_[std::size(kRestoreSignals)]{};
};

}  // namespace

std::expected<client::SecretBytes, std::string> read_passphrase_line(int fd) {
  client::SecretBytes line;
  line.reserve(kLongestPassphrase);  // never grows, so never leaves a copy
  bool any = false;
  for (;;) {
    unsigned char byte = 0;
    const int got = read_byte(fd, byte);
    if (got < 0) {
      client::zeroize(line);
      // The command runs on one thread.
      return std::unexpected(std::string("cannot read the passphrase: ") +
                             std::strerror(errno));  // NOLINT(concurrency-mt-unsafe)
    }
    if (got == 0) {
      if (!any) {
        return std::unexpected(std::string("no passphrase: end of input"));
      }
      return line;
    }
    any = true;
    if (byte == '\n') {
      byte = 0;
      return line;
    }
    if (line.size() == kLongestPassphrase) {
      byte = 0;
      client::zeroize(line);
      return std::unexpected("passphrase longer than " + std::to_string(kLongestPassphrase) +
                             " bytes");
    }
    line.push_back(byte);
    byte = 0;
  }
}

std::optional<Terminal> Terminal::open() {
  if (::isatty(STDIN_FILENO) == 0) {
    return std::nullopt;
  }
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    // A /dev without a tty node (a container, a private namespace): the
    // terminal on standard input serves as well.
    fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  }
  if (fd < 0) {
    return std::nullopt;
  }
  return Terminal(fd);
}

Terminal::~Terminal() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Terminal::Terminal(Terminal&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

void Terminal::write(std::string_view text) const { write_text(fd_, text); }

std::optional<std::string> Terminal::read_line(std::string_view prompt) const {
  write(prompt);
  std::string line;
  for (;;) {
    unsigned char byte = 0;
    if (read_byte(fd_, byte) <= 0) {
      return line.empty() ? std::nullopt : std::optional<std::string>(line);
    }
    if (byte == '\n') {
      return line;
    }
    line.push_back(static_cast<char>(byte));
  }
}

std::optional<client::SecretBytes> Terminal::read_hidden(std::string_view prompt) const {
  std::expected<client::SecretBytes, std::string> line;
  {
    // Echo goes off before the prompt appears, so nothing typed in answer
    // to it can be shown.
    ModeChange no_echo(fd_, ECHO, false);
    write(prompt);
    line = read_passphrase_line(fd_);
  }
  // The line feed the person typed was not echoed either.
  write("\n");
  if (!line) {
    return std::nullopt;
  }
  return std::move(*line);
}

void Terminal::wait_for_key(std::string_view prompt) const {
  // Without ISIG, Ctrl-C and Ctrl-D arrive as bytes instead of ending the
  // command (and the helper with it, which shares the terminal).
  ModeChange raw(fd_, ECHO | ISIG, true);
  write(prompt);
  for (;;) {
    unsigned char byte = 0;
    if (read_byte(fd_, byte) <= 0 || byte == '\n' || byte == '\r' || byte == 0x03 || byte == 0x04) {
      return;
    }
  }
}

namespace {
struct sigaction g_previous_interrupt_actions[std::size(kInterruptSignals)]{};
}  // namespace

InterruptWatch::InterruptWatch(std::string notice) {
  g_interrupt_notice = std::move(notice);
  struct sigaction action{};
  action.sa_handler = note_interrupt;
  ::sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking read returns, so waits can look at the flag.
  for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) {
    ::sigaction(kInterruptSignals[i], &action, &g_previous_interrupt_actions[i]);
  }
}

InterruptWatch::~InterruptWatch() {
  for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) {
    ::sigaction(kInterruptSignals[i], &g_previous_interrupt_actions[i], nullptr);
  }
}

int InterruptWatch::signal() { return g_interrupt.load(); }

CancelKey::CancelKey(const std::optional<Terminal>& terminal)
    : fd_(terminal ? terminal->fd_ : -1) {}

CancelKey::~CancelKey() { restore(); }

bool CancelKey::usable() const { return fd_ >= 0 && !done_ && ::tcgetpgrp(fd_) == ::getpgrp(); }

void CancelKey::watch() {
  if (changed_ || !usable()) {
    return;
  }
  if (::tcgetattr(fd_, &g_key_saved) != 0) {
    done_ = true;
    return;
  }
  termios raw = g_key_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  // No signal may come between changing the terminal and publishing how to
  // put it back.
  sigset_t block;
  sigset_t previous_mask;
  ::sigemptyset(&block);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    ::sigaddset(&block, signal);
  }
  ::pthread_sigmask(SIG_BLOCK, &block, &previous_mask);
  struct sigaction action{};
  action.sa_handler = restore_key_and_reraise;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGQUIT, &action, &previous_quit_);
  changed_ = true;
  // TCSANOW: what was typed before stays to be read.
  if (::tcsetattr(fd_, TCSANOW, &raw) == 0) {
    g_key_fd.store(fd_);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
}

bool CancelKey::pressed() {
  if (!changed_ || !usable()) {
    return false;
  }
  for (;;) {
    // Once a signal put the terminal back, a read would wait for a line; a
    // poll first never does.
    pollfd ready{fd_, POLLIN, 0};
    if (g_key_fd.load() < 0 || ::poll(&ready, 1, 0) <= 0) {
      return false;
    }
    char typed[64];
    const ssize_t n = ::read(fd_, typed, sizeof typed);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    if (std::string_view(typed, static_cast<std::size_t>(n)).contains('\x03')) {
      restore();
      return true;
    }
  }
}

void CancelKey::restore() {
  if (changed_ && !done_) {
    restore_key_terminal();
    ::sigaction(SIGQUIT, &previous_quit_, nullptr);
  }
  done_ = true;
}

void wait_for_line_or_end(int fd) {
  for (;;) {
    unsigned char byte = 0;
    if (read_byte(fd, byte) <= 0 || byte == '\n') {
      return;
    }
  }
}

}  // namespace tarnwick::cli
