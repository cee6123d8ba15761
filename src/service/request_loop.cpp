// SPDX-License-Identifier: MIT
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "luks/luks.hpp"
#include "mkfs/mkfs.hpp"
#include "probe/probe.hpp"
#include "secure/secure_memory.hpp"
#include "service/background_wipes.hpp"
#include "service/line_reader.hpp"
#include "service/service.hpp"
#include "system/system.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick {
namespace {

using service::BackgroundWipes;
using service::grow_line;
using service::LineReader;
using service::stopped_by_signal;

constexpr std::string_view kStdinPrefix = "stdin: ";
constexpr std::string_view kParsePrefix = "parse: ";
constexpr std::string_view kInvalidWipeId = "invalid wipe id: 1 to 64 printable ASCII characters";

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
// through the stop source, every other line (a cancel naming a wipe in the
// background too) is held for after it. Cancels are answered once the wipe is.
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
    if (!text::is_valid_utf8(text)) {
      return false;
    }
    const auto cancel = decode_cancel(text);
    if (!cancel || cancel->id) {
      return false;
    }
    secure::zeroize(line.data(), line.size());
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
  secure::zeroize(line.data(), line.size());
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
bool handle_line(secure::SecretString& line, LineReader& reader, int output_fd, Session& session,
                 BackgroundWipes& background) {
  const std::string_view text = request_text(line);
  if (!text::is_valid_utf8(text)) {
    write_error(output_fd, kStdinPrefix, "request is not UTF-8");
    return true;
  }
  if (text::is_blank(text)) {
    return true;
  }
  if (const auto cancel = decode_cancel(text); cancel && cancel->id) {
    write_response(output_fd, background.cancel(*cancel->id));
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
    if (auto* wipe = std::get_if<Request::Wipe>(&request->value); wipe != nullptr && wipe->id) {
      if (is_wipe_id(*wipe->id)) {
        std::string id = *wipe->id;
        background.start(std::move(id), std::move(*wipe));
      } else {
        write_error(output_fd, {}, kInvalidWipeId);
      }
      forget_request_text(line);
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
    zeroize_request(*request);
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

// The wipes in the background end first (at end of input or "shutdown" by
// themselves, after a signal stopped by it), so no mapping is closed under one.
SessionEnd end_session(Session& session, BackgroundWipes& background, SessionEnd how) {
  background.wait_all();
  luks::close_session_mappers(session.runner, session.mappers, session.stderr_fd);
  return how;
}

}  // namespace

void write_response(int output_fd, const Response& response) {
  std::string line = encode_response(response);
  line.push_back('\n');
  // Wipes in the background write from threads of their own: one line at a
  // time, whole, whatever its length (a pipe keeps only short writes whole).
  static std::mutex one_writer;
  const std::lock_guard lock(one_writer);
  // A client that stopped reading loses the line; the session goes on.
  (void)system::write_all(output_fd, line);
}

SessionEnd serve_requests(int input_fd, int output_fd, Session& session) {
  LineReader reader(input_fd, session.stop);
  BackgroundWipes background(session, output_fd);
  secure::SecretString line;  // grows with the longest line (grow_line)
  int consecutive_read_failures = 0;

  for (;;) {
    // The stack was cleared when the last decoded request was answered; the
    // other lines (blank, over-long, not UTF-8) never reached the decoder.
    secure::zeroize(line.data(), line.size());
    line.clear();
    // Checked before the buffer too: no request is read after a signal.
    if (stopped_by_signal(session.stop)) {
      return end_session(session, background, SessionEnd::Stopped);
    }
    const auto outcome = reader.read_line(line, kReadWindow);
    switch (outcome.status) {
      case LineReader::Status::Stopped:
        return end_session(session, background, SessionEnd::Stopped);
      case LineReader::Status::EndOfInput:
        return end_session(session, background, SessionEnd::EndOfInput);
      case LineReader::Status::ReadError:
        write_error(output_fd, kStdinPrefix, text::os_error_text(outcome.error_number));
        if (++consecutive_read_failures >= kMaxConsecutiveReadFailures) {
          return end_session(session, background, SessionEnd::InputFailed);
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
        return end_session(session, background, SessionEnd::Stopped);
      }
      if (discarded.status == LineReader::Status::ReadError) {
        write_error(output_fd, kStdinPrefix, text::os_error_text(discarded.error_number));
      } else {
        write_error(output_fd, kStdinPrefix, "request exceeds 1 MiB");
      }
      continue;
    }
    if (!handle_line(line, reader, output_fd, session, background)) {
      return end_session(session, background, SessionEnd::Shutdown);
    }
  }
}

}  // namespace tarnwick
