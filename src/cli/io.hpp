// SPDX-License-Identifier: MIT
// Terminal and descriptor input/output of the command: prompts, hidden
// passphrase entry, passphrases from a descriptor, and waiting for a key.
#pragma once

#include <signal.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "client/client.hpp"

namespace tarnwick::cli {

// Writes everything, retrying interrupted and partial writes.
bool write_text(int fd, std::string_view text);

// To standard output, as it is.
void say(std::string_view text);
// To standard error, as one line beginning "tarnwick-drives: ".
void complain(std::string_view text);

// Longest passphrase accepted, from a terminal or a descriptor.
inline constexpr std::size_t kLongestPassphrase = std::size_t{64} * 1024;

// Reads one line from `fd`: the bytes up to the first line feed (not
// included) or the end of input, one byte at a time so that nothing after
// the line is consumed. The error says what went wrong, without the bytes.
std::expected<client::SecretBytes, std::string> read_passphrase_line(int fd);

// The controlling terminal, opened for prompts. Absent without one.
class Terminal {
 public:
  // A terminal is used only when standard input is one: a command whose
  // input is redirected is not asking a person.
  static std::optional<Terminal> open();
  ~Terminal();
  Terminal(Terminal&& other) noexcept;
  Terminal& operator=(Terminal&&) = delete;
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void write(std::string_view text) const;
  // A visible line, without its line feed; nothing at end of input.
  std::optional<std::string> read_line(std::string_view prompt) const;
  // A line typed without echo. Echo is restored on every way out, a
  // terminating signal included. Nothing at end of input.
  std::optional<client::SecretBytes> read_hidden(std::string_view prompt) const;
  // Shows `prompt` and waits for Enter, Ctrl-C or Ctrl-D, none of which ends
  // the command, so that what follows (closing mappings) still happens.
  void wait_for_key(std::string_view prompt) const;

 private:
  friend class CancelKey;
  explicit Terminal(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Without a terminal: waits until a line or the end of standard input (or
// an interruption, see InterruptWatch).
void wait_for_line_or_end(int fd);

// While the helper runs: SIGINT, SIGTERM and SIGHUP no longer end the
// command. A terminal's Ctrl-C reaches the helper as well (it shares the
// process group, and runs as root, so the command could not signal it
// itself); the helper stops its tool, closes its mappings and ends, and the
// command must live to read its last lines and say what state the drive is
// in. The first such signal writes `notice` to standard error at once.
class InterruptWatch {
 public:
  explicit InterruptWatch(std::string notice);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // The first signal received while a watch was active, or 0.
  static int signal();
};

// During a wipe, while an InterruptWatch is active: Ctrl-C as a key the
// command reads, so that it can ask the helper to cancel the wipe instead of
// the signal ending the helper's whole session. The terminal loses ISIG,
// ICANON and ECHO, and its reads stop waiting (VMIN and VTIME 0); it is put
// back when a Ctrl-C is read (so that the next one is a signal again), when
// the CancelKey ends, and on a signal (InterruptWatch's, or SIGQUIT, which
// then ends the command). Without a terminal it does nothing.
class CancelKey {
 public:
  explicit CancelKey(const std::optional<Terminal>& terminal);
  ~CancelKey();
  CancelKey(const CancelKey&) = delete;
  CancelKey& operator=(const CancelKey&) = delete;

  // Changes the terminal, the first time: called once the wipe reports
  // progress, when pkexec's authentication (which may read the terminal) is
  // over. Nothing happens while the command is not in the foreground.
  void watch();
  // Whether a Ctrl-C was typed since the last call, while watching; other
  // keys are dropped.
  bool pressed();

 private:
  bool usable() const;
  void restore();

  int fd_ = -1;
  bool changed_ = false;
  bool done_ = false;
  struct sigaction previous_quit_{};
};

}  // namespace tarnwick::cli
