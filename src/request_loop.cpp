// SPDX-License-Identifier: MIT
#include "request_loop.hpp"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <new>
#include <optional>
#include <utility>

#include "luks/luks.hpp"
#include "mkfs/mkfs.hpp"
#include "probe/probe.hpp"
#include "secure/secure_memory.hpp"
#include "system/system.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view kStdinPrefix = "stdin: ";
constexpr std::string_view kParsePrefix = "parse: ";
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// A cancel ends only the operation it stopped; a signal ends the session.
bool stopped_by_signal(stop::StopSource* stop) {
  if (stop == nullptr || !stop->requested()) {
    return false;
  }
  const auto reason = stop->reason();
  return reason && reason->is_signal();
}

// The line buffer grows with the line instead of holding a whole read window
// from the start: a block that was never written holds no secret, yet wiping
// it on release faulted in all 257 pages of an idle session's 1 MiB window
// just to clear them. Growth copies are wiped by the buffer's allocator. The
// capacity doubles (as the string would) but jumps to exactly `limit` once
// doubling would pass its half, so the buffer never exceeds the read window.
void grow_line(secure::SecretString& line, std::size_t needed, std::size_t limit) {
  if (needed <= line.capacity()) {
    return;
  }
  std::size_t target = std::max(needed, 2 * line.capacity());
  if (target > limit / 2) {
    target = std::max(needed, limit);
  }
  line.reserve(target);
}

// Reads request lines with read(2) into buffers of our own, so that no
// library buffer keeps a copy of request text (passphrases travel in it).
// The read buffer comes from malloc, not operator new: neither zero-filled
// up front nor cleared over its whole size by the zeroing operator delete,
// its pages are only faulted in when input arrives, and it is cleared up to
// the furthest byte a read ever stored in it.
//
// While an operation runs, collect() takes what arrives without blocking:
// complete lines are held, in order, and handed out by read_line() after it.
class LineReader {
 public:
  LineReader(int fd, stop::StopSource* stop)
      : fd_(fd), stop_(stop), buffer_(static_cast<char*>(::malloc(kReadChunk))) {
    if (buffer_ == nullptr) {
      throw std::bad_alloc();
    }
  }
  ~LineReader() {
    secure::wipe(buffer_, high_water_);
    ::free(buffer_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // TooLongDropped: a line over the limit whose rest was already dropped.
  enum class Status { Line, EndOfInput, TooLong, TooLongDropped, ReadError, Stopped };
  struct Outcome {
    Status status;
    int error_number = 0;
  };

  int fd() const { return fd_; }

  // Appends up to and including the next line feed to `line`, never more
  // than `limit` bytes in all. Lines held during an operation come first.
  Outcome read_line(secure::SecretString& line, std::size_t limit) {
    if (!held_.empty()) {
      Held next = std::move(held_.front());
      held_.pop_front();
      held_bytes_ -= next.line.size();
      line.swap(next.line);
      return next.outcome;
    }
    if (!partial_.empty()) {
      line.swap(partial_);  // `line` is empty here: the swap loses nothing
    }
    if (dropping_) {
      dropping_ = false;
      const auto rest = discard_line();
      return rest.status == Status::Line ? Outcome{Status::TooLongDropped} : rest;
    }
    if (ended_) {
      return {line.empty() ? Status::EndOfInput : Status::Line};
    }
    for (;;) {
      if (start_ == end_) {
        const auto refill = fill();
        if (refill.status == Status::ReadError || refill.status == Status::Stopped) {
          return refill;
        }
        if (refill.status == Status::EndOfInput) {
          return {line.empty() ? Status::EndOfInput : Status::Line};
        }
      }
      if (take_line_part(line, limit)) {
        return {Status::Line};
      }
      if (line.size() == limit) {
        return {Status::TooLong};
      }
    }
  }

  // Drops everything up to and including the next line feed, or to end of input.
  Outcome discard_line() {
    for (;;) {
      if (start_ == end_) {
        const auto refill = fill();
        if (refill.status != Status::Line) {
          return refill.status == Status::EndOfInput ? Outcome{Status::Line} : refill;
        }
      }
      if (drop_line_part()) {
        return {Status::Line};
      }
    }
  }

  // For use while an operation runs: splits what is buffered into lines,
  // after at most one read(2) when `may_read` (poll found the input
  // readable). A line that `take` accepts is not held (a cancel).
  template <typename Take>
  void collect(bool may_read, Take&& take) {
    for (;;) {
      if (start_ == end_) {
        if (!may_read || !listening()) {
          return;
        }
        may_read = false;
        const ssize_t n = ::read(fd_, buffer_, kReadChunk);
        if (n < 0) {
          if (errno != EINTR && errno != EAGAIN) {
            // Answered in turn after the operation; nothing more is read
            // meanwhile, so a broken input cannot keep the wait busy.
            hold(Outcome{Status::ReadError, errno}, {});
            failed_ = true;
          }
          return;
        }
        if (n == 0) {
          ended_ = true;
          if (dropping_) {
            dropping_ = false;
            hold(Outcome{Status::TooLongDropped}, {});
          } else if (!partial_.empty()) {
            hold(Outcome{Status::Line}, std::move(partial_));
            partial_ = secure::SecretString{};
          }
          return;
        }
        start_ = 0;
        end_ = static_cast<std::size_t>(n);
        high_water_ = std::max(high_water_, end_);
      }
      if (dropping_) {
        if (drop_line_part()) {
          dropping_ = false;
          hold(Outcome{Status::TooLongDropped}, {});
        }
        continue;
      }
      if (take_line_part(partial_, kReadWindow)) {
        secure::SecretString line = std::move(partial_);
        partial_ = secure::SecretString{};
        if (!take(line)) {
          hold(Outcome{Status::Line}, std::move(line));
        }
      } else if (partial_.size() == kReadWindow) {
        secure::wipe(partial_.data(), partial_.size());
        partial_.clear();
        dropping_ = true;
      }
    }
  }

  // Whether collect() should still be offered input: not after its end or
  // a failure, nor while the held lines fill a read window (the rest waits
  // in the pipe until the operation is over).
  bool listening() const { return !ended_ && !failed_ && held_bytes_ < kReadWindow; }

  // Called once the operation is over: reads block again.
  void operation_ended() { failed_ = false; }

 private:
  struct Held {
    Outcome outcome;
    secure::SecretString line;
  };

  void hold(Outcome outcome, secure::SecretString line) {
    held_bytes_ += line.size();
    held_.push_back(Held{outcome, std::move(line)});
  }

  // Moves buffered bytes up to the next line feed into `line` (at most up to
  // `limit` bytes in all); true when the line feed was among them.
  bool take_line_part(secure::SecretString& line, std::size_t limit) {
    const std::size_t room = limit - line.size();
    const std::size_t available = std::min(end_ - start_, room);
    const char* begin = buffer_ + start_;
    const void* lf = ::memchr(begin, '\n', available);
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1
                      : available;
    consume_into(line, take, limit);
    return lf != nullptr;
  }

  // Drops buffered bytes up to the next line feed; true when it was among them.
  bool drop_line_part() {
    const char* begin = buffer_ + start_;
    const void* lf = ::memchr(begin, '\n', end_ - start_);
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1
                      : end_ - start_;
    secure::wipe(buffer_ + start_, take);
    start_ += take;
    return lf != nullptr;
  }

  Outcome fill() {
    start_ = 0;
    end_ = 0;
    for (;;) {
      if (stop_ != nullptr && !wait_for_input()) {
        return {Status::Stopped};
      }
      const ssize_t n = ::read(fd_, buffer_, kReadChunk);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        return {Status::ReadError, errno};
      }
      if (n == 0) {
        return {Status::EndOfInput};
      }
      end_ = static_cast<std::size_t>(n);
      high_water_ = std::max(high_water_, end_);
      return {Status::Line};
    }
  }

  // False when the session is stopped by a signal (which wins over waiting input).
  bool wait_for_input() {
    for (;;) {
      std::array<pollfd, 2> watched{{{fd_, POLLIN, 0}, {stop_->fd(), POLLIN, 0}}};
      if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
        return true;  // let read(2) report the trouble
      }
      if (stopped_by_signal(stop_)) {
        return false;
      }
      if (watched[0].revents != 0) {
        return true;
      }
    }
  }

  void consume_into(secure::SecretString& line, std::size_t count, std::size_t limit) {
    grow_line(line, line.size() + count, limit);
    line.append(buffer_ + start_, count);
    secure::wipe(buffer_ + start_, count);
    start_ += count;
  }

  int fd_;
  stop::StopSource* stop_;
  char* buffer_;                // kReadChunk bytes, owned
  std::size_t high_water_ = 0;  // bytes of buffer_ that a read ever wrote
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  // Input taken while an operation ran.
  std::deque<Held> held_;
  std::size_t held_bytes_ = 0;
  secure::SecretString partial_;  // a line not yet complete
  bool dropping_ = false;         // partial_ passed the limit; its rest is dropped
  bool ended_ = false;            // end of input was read
  bool failed_ = false;           // a read failed during the operation
};

// The line without its line feed (and a carriage return before it).
std::string_view request_text(const secure::SecretString& line) {
  std::string_view text(line);
  if (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
    }
  }
  return text;
}

// Hears the session's input while a wipe runs: a cancel line stops the wipe
// through the stop source, every other line is held for after it. Cancels
// are answered once the wipe is.
class InputDuringWipe final : public stop::CancelListener {
 public:
  InputDuringWipe(LineReader& reader, stop::StopSource& stop) : reader_(reader), stop_(stop) {
    stop_.listen_for_cancel(this);
    // Lines that came with the wipe's own read are already here.
    reader_.collect(false, [this](secure::SecretString& line) { return take_cancel(line); });
  }
  ~InputDuringWipe() {
    stop_.listen_for_cancel(nullptr);
    reader_.operation_ended();
  }
  InputDuringWipe(const InputDuringWipe&) = delete;
  InputDuringWipe& operator=(const InputDuringWipe&) = delete;

  int fd() const override { return reader_.listening() ? reader_.fd() : -1; }
  void on_ready() override {
    reader_.collect(true, [this](secure::SecretString& line) { return take_cancel(line); });
  }

  std::size_t cancels() const { return cancels_; }

 private:
  bool take_cancel(secure::SecretString& line) {
    const std::string_view text = request_text(line);
    if (!text::is_valid_utf8(text) || !is_cancel_request(text)) {
      return false;
    }
    secure::wipe(line.data(), line.size());
    ++cancels_;
    stop_.request(stop::StopReason::cancelled());
    return true;
  }

  LineReader& reader_;
  stop::StopSource& stop_;
  std::size_t cancels_ = 0;
};

void write_error(int output_fd, std::string_view prefix, std::string_view text) {
  std::string message(prefix);
  message.append(text);
  write_response(output_fd, Response{Response::Error{std::move(message)}});
}

void write_outcome(int output_fd, std::expected<void, std::string>&& outcome) {
  if (outcome) {
    write_response(output_fd, Response{Response::Ok{}});
  } else {
    // Moved, not copied: an error may echo a request field of up to 1 MiB.
    write_response(output_fd, Response{Response::Error{std::move(outcome.error())}});
  }
}

// Clears the stack below the loop, where the frames of the last request's
// decoding and handling left copies of its text (passphrases included).
[[gnu::noinline]] void scrub_stack() {
  volatile char area[64 * 1024];
  explicit_bzero(const_cast<char*>(area), sizeof area);
}

using Outcome = std::expected<void, std::string>;

void forget_request_text(secure::SecretString& line) {
  secure::wipe(line.data(), line.size());
  line.clear();
  scrub_stack();
}

// Runs one decoded request; nullopt when it ends the session.
std::optional<Outcome> dispatch(Request& request, int output_fd, Session& session) {
  const guard::GuardContext guard{session.drives, session.paths};
  const wipe::ProgressCallback progress = [output_fd](std::uint64_t copied) {
    write_response(output_fd, Response{Response::Progress{copied, 0}});
  };
  return std::visit(
      [&](auto& r) -> std::optional<Outcome> {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, Request::Shutdown>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<T, Request::Wipe>) {
          const wipe::Verification verification{
              r.verify, [output_fd](std::uint64_t copied, std::uint64_t verified) {
                write_response(output_fd, Response{Response::Progress{copied, 0, verified}});
              }};
          return wipe::handle_wipe(session.runner, guard, r.device, r.mode, progress, verification);
        } else if constexpr (std::is_same_v<T, Request::Probe>) {
          return probe::handle_probe(session.runner, guard, r.device, progress,
                                     [output_fd](const probe::ProbeResult& result) {
                                       write_response(output_fd,
                                                      Response{Response::ProbeResult{result}});
                                     });
        } else if constexpr (std::is_same_v<T, Request::LuksFormat>) {
          return luks::handle_luks_format(session.runner, guard, r.device, r.label,
                                          r.allow_discards, r.passphrase_b64);
        } else if constexpr (std::is_same_v<T, Request::LuksOpen>) {
          return luks::handle_luks_open(session.runner, guard, session.mappers, r.device,
                                        r.mapper_name, r.passphrase_b64, r.allow_discards);
        } else if constexpr (std::is_same_v<T, Request::LuksClose>) {
          return luks::handle_luks_close(session.runner, session.mappers, r.mapper_name);
        } else {
          static_assert(std::is_same_v<T, Request::Mkfs>);
          return mkfs::handle_mkfs(session.runner, session.mappers, r.mapped, r.fs, r.label);
        }
      },
      request.value);
}

// Handles one complete line; false when it ends the session. Every copy of
// the request's text is wiped before the answer goes out, so a client that
// has its answer can rely on the passphrase being gone.
bool handle_line(secure::SecretString& line, LineReader& reader, int output_fd, Session& session) {
  const std::string_view text = request_text(line);
  if (!text::is_valid_utf8(text)) {
    write_error(output_fd, kStdinPrefix, "request is not UTF-8");
    return true;
  }
  if (text::is_blank(text)) {
    return true;
  }
  std::optional<Outcome> outcome;
  std::size_t cancels = 0;
  {
    auto request = decode_request(text);
    if (!request) {
      std::string error = std::move(request.error());
      forget_request_text(line);
      write_error(output_fd, kParsePrefix, error);
      return true;
    }
    {
      std::optional<InputDuringWipe> listening;
      // A probe is stopped as a wipe is.
      if (session.stop != nullptr && (std::holds_alternative<Request::Wipe>(request->value) ||
                                      std::holds_alternative<Request::Probe>(request->value))) {
        listening.emplace(reader, *session.stop);
      }
      outcome = dispatch(*request, output_fd, session);
      if (listening) {
        cancels = listening->cancels();
        listening.reset();
        // The wipe is over: its cancel must not stop what comes next.
        session.stop->reset();
      }
    }
    wipe_request(*request);
  }
  forget_request_text(line);
  if (!outcome) {
    return false;
  }
  write_outcome(output_fd, std::move(*outcome));
  // Each cancel is answered after the wipe it stopped, in the order read.
  for (std::size_t i = 0; i < cancels; ++i) {
    write_response(output_fd, Response{Response::Ok{}});
  }
  return true;
}

SessionEnd end_session(Session& session, SessionEnd how) {
  luks::close_session_mappers(session.runner, session.mappers, session.stderr_fd);
  return how;
}

}  // namespace

void write_response(int output_fd, const Response& response) {
  std::string line = encode_response(response);
  line.push_back('\n');
  // A client that stopped reading loses the line; the session goes on.
  (void)system::write_all(output_fd, line);
}

SessionEnd serve_requests(int input_fd, int output_fd, Session& session) {
  LineReader reader(input_fd, session.stop);
  secure::SecretString line;  // grows with the longest line (grow_line)
  int consecutive_read_failures = 0;

  for (;;) {
    // The stack was cleared when the last decoded request was answered; the
    // other lines (blank, over-long, not UTF-8) never reached the decoder.
    secure::wipe(line.data(), line.size());
    line.clear();
    // Checked before the buffer too: no request is read after a signal.
    if (stopped_by_signal(session.stop)) {
      return end_session(session, SessionEnd::Stopped);
    }
    const auto outcome = reader.read_line(line, kReadWindow);
    switch (outcome.status) {
      case LineReader::Status::Stopped:
        return end_session(session, SessionEnd::Stopped);
      case LineReader::Status::EndOfInput:
        return end_session(session, SessionEnd::EndOfInput);
      case LineReader::Status::ReadError:
        write_error(output_fd, kStdinPrefix, text::os_error_text(outcome.error_number));
        if (++consecutive_read_failures >= kMaxConsecutiveReadFailures) {
          return end_session(session, SessionEnd::InputFailed);
        }
        continue;
      case LineReader::Status::TooLong:
      case LineReader::Status::TooLongDropped:
      case LineReader::Status::Line:
        break;
    }
    consecutive_read_failures = 0;
    if (outcome.status == LineReader::Status::TooLongDropped) {
      write_error(output_fd, kStdinPrefix, "request exceeds 1 MiB");
      continue;
    }
    if (line.size() > kMaxRequestLine) {
      // Only the rest of this line is dropped, so the next line is read cleanly.
      const auto discarded = line.back() == '\n' ? LineReader::Outcome{LineReader::Status::Line}
                                                 : reader.discard_line();
      if (discarded.status == LineReader::Status::Stopped) {
        return end_session(session, SessionEnd::Stopped);
      }
      if (discarded.status == LineReader::Status::ReadError) {
        write_error(output_fd, kStdinPrefix, text::os_error_text(discarded.error_number));
      } else {
        write_error(output_fd, kStdinPrefix, "request exceeds 1 MiB");
      }
      continue;
    }
    if (!handle_line(line, reader, output_fd, session)) {
      return end_session(session, SessionEnd::Shutdown);
    }
  }
}

}  // namespace tarnwick
