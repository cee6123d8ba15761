// SPDX-License-Identifier: MIT
// The helper session: the wire protocol (request lines in, response lines
// out), and the loop that reads one request at a time, hands it to the
// handler of its operation and answers each with exactly one final line.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "inventory/inventory.hpp"
#include "luks/luks.hpp"
#include "mkfs/mkfs.hpp"
#include "probe/probe.hpp"
#include "runner/runner.hpp"
#include "secure/secure_memory.hpp"
#include "stop/stop.hpp"
#include "system/system.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick {

using mkfs::Filesystem;
using wipe::WipeMode;

struct Request {
  struct LuksFormat {
    std::string device;
    std::string label;
    bool allow_discards = false;
    secure::SecretString passphrase_b64;
  };
  struct LuksOpen {
    std::string device;
    std::string mapper_name;
    secure::SecretString passphrase_b64;
    bool allow_discards = false;
  };
  struct LuksClose {
    std::string mapper_name;
  };
  struct Wipe {
    std::string device;
    WipeMode mode = WipeMode::None;
    // "verify": read the drive back after an "encrypted-zero" wipe.
    bool verify = false;
    // "id": the wipe runs in the background and its lines carry this id.
    // Any string as decoded; is_wipe_id() says whether it is a valid one.
    std::optional<std::string> id;
  };
  struct Mkfs {
    std::string mapped;
    Filesystem fs = Filesystem::Ext4;
    std::string label;
  };
  struct Shutdown {};
  // The capacity check, an extension: not named in the unknown-op text.
  struct Probe {
    std::string device;
  };

  std::variant<LuksFormat, LuksOpen, LuksClose, Wipe, Mkfs, Shutdown, Probe> value;
};

// Decodes one line (valid UTF-8, terminator removed). The error text is sent
// after "parse: ".
std::expected<Request, std::string> decode_request(std::string_view line);

// The line {"op":"cancel"} (or ["cancel"]), with the string "id" it names,
// if any; decode_request knows no such op, since a cancel means something
// only while a wipe runs.
struct CancelRequest {
  std::optional<std::string> id;  // none: the wipe that holds the session
};
std::optional<CancelRequest> decode_cancel(std::string_view line);

// A wipe id: 1 to 64 printable ASCII characters.
inline constexpr std::size_t kMaxWipeIdLength = 64;
bool is_wipe_id(std::string_view id);
// Wipes in the background at once, in one session.
inline constexpr std::size_t kMaxBackgroundWipes = 16;

// Wipes the request's secret-bearing strings over their whole capacity.
void zeroize_request(Request& request) noexcept;

struct Response {
  struct Ok {};
  struct Error {
    std::string text;
  };
  struct Progress {
    Progress() = default;
    Progress(std::uint64_t copied_bytes, std::uint64_t total_bytes,
             std::optional<std::uint64_t> verified_bytes = std::nullopt)
        : copied(copied_bytes), total(total_bytes), verified(verified_bytes) {}

    std::uint64_t copied = 0;
    std::uint64_t total = 0;
    // Bytes read back so far; sent only while a wipe is verified.
    std::optional<std::uint64_t> verified;
  };
  // The line a "probe" sends before its final answer.
  struct ProbeResult {
    probe::ProbeResult result;
  };
  using Value = std::variant<Ok, Error, Progress, ProbeResult>;
  // Built in place from one of the alternatives: no temporary variant.
  template <class Alternative>
    requires std::is_constructible_v<Value, Alternative&&>
  Response(Alternative&& alternative,  // NOLINT(google-explicit-constructor)
           std::optional<std::string> wipe_id = std::nullopt)
      : value(std::forward<Alternative>(alternative)), id(std::move(wipe_id)) {}

  Value value;
  // The wipe in the background the line belongs to; written first.
  std::optional<std::string> id;
};

// Compact single-line JSON, no line terminator.
std::string encode_response(const Response& response);

// Largest request line, counted with its line feed.
inline constexpr std::size_t kMaxRequestLine = 1'048'576;
// One byte more, so an over-long line is recognised without reading further.
inline constexpr std::size_t kReadWindow = kMaxRequestLine + 1;
// Consecutive read failures after which the session gives up on its input.
inline constexpr int kMaxConsecutiveReadFailures = 16;

// What the handlers share for the whole session.
struct Session {
  runner::ToolRunner& runner;
  const inventory::DriveLister& drives;
  const system::SystemPaths& paths;
  luks::SessionMapperSet mappers;
  int stderr_fd = 2;
  // Watched while waiting for input; the runner obeys the same one. A signal
  // ends the session after the running request is answered.
  stop::StopSource* stop = nullptr;
};

enum class SessionEnd { EndOfInput, Shutdown, InputFailed, Stopped };

// Writes the response and a line feed, then flushes; failures are ignored.
// Safe from any thread: each line is written whole, never interleaved.
void write_response(int output_fd, const Response& response);

// Serves requests until end of input, "shutdown" or a signal through the
// session's stop source, then closes the session's mappers. Never throws.
SessionEnd serve_requests(int input_fd, int output_fd, Session& session);

}  // namespace tarnwick
