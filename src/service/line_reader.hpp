// SPDX-License-Identifier: MIT
// The session's input: request lines read with read(2) into buffers of the
// session's own, and the lines that arrive while an operation runs.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <deque>
#include <new>
#include <optional>
#include <utility>

#include "secure/secure_memory.hpp"
#include "service/service.hpp"
#include "stop/stop.hpp"

namespace tarnwick::service {

inline constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// A cancel ends only the operation it stopped; a signal ends the session.
inline bool stopped_by_signal(stop::StopSource* stop) {
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
inline void grow_line(secure::SecretString& line, std::size_t needed, std::size_t limit) {
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
    secure::zeroize(buffer_, high_water_);
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
        secure::zeroize(partial_.data(), partial_.size());
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
    secure::zeroize(buffer_ + start_, take);
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
    secure::zeroize(buffer_ + start_, count);
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

}  // namespace tarnwick::service
