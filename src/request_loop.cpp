// SPDX-License-Identifier: MIT
#include "request_loop.hpp"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <optional>
#include <utility>

#include "luks/luks.hpp"
#include "mkfs/mkfs.hpp"
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

  enum class Status { Line, EndOfInput, TooLong, ReadError, Stopped };
  struct Outcome {
    Status status;
    int error_number = 0;
  };

  // Appends up to and including the next line feed to `line`, never more
  // than `limit` bytes in all.
  Outcome read_line(secure::SecretString& line, std::size_t limit) {
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
      const std::size_t room = limit - line.size();
      const std::size_t available = std::min(end_ - start_, room);
      const char* begin = buffer_ + start_;
      const void* lf = ::memchr(begin, '\n', available);
      const std::size_t take =
          lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1
                        : available;
      consume_into(line, take, limit);
      if (lf != nullptr) {
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
      const char* begin = buffer_ + start_;
      const void* lf = ::memchr(begin, '\n', end_ - start_);
      const std::size_t take =
          lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1
                        : end_ - start_;
      secure::wipe(buffer_ + start_, take);
      start_ += take;
      if (lf != nullptr) {
        return {Status::Line};
      }
    }
  }

 private:
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
bool handle_line(secure::SecretString& line, int output_fd, Session& session) {
  std::string_view text(line);
  if (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
    }
  }
  if (!text::is_valid_utf8(text)) {
    write_error(output_fd, kStdinPrefix, "request is not UTF-8");
    return true;
  }
  if (text::is_blank(text)) {
    return true;
  }
  std::optional<Outcome> outcome;
  {
    auto request = decode_request(text);
    if (!request) {
      std::string error = std::move(request.error());
      forget_request_text(line);
      write_error(output_fd, kParsePrefix, error);
      return true;
    }
    outcome = dispatch(*request, output_fd, session);
    wipe_request(*request);
  }
  forget_request_text(line);
  if (!outcome) {
    return false;
  }
  write_outcome(output_fd, std::move(*outcome));
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
      case LineReader::Status::Line:
        break;
    }
    consecutive_read_failures = 0;
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
    if (!handle_line(line, output_fd, session)) {
      return end_session(session, SessionEnd::Shutdown);
    }
  }
}

}  // namespace tarnwick
