// SPDX-License-Identifier: MIT
// The wire protocol: request lines in, response lines out.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mkfs/mkfs.hpp"
#include "probe/probe.hpp"
#include "secure/secure_memory.hpp"
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

// True for the line {"op":"cancel"} (or ["cancel"]); decode_request knows
// no such op, since a cancel means something only while a wipe runs.
bool is_cancel_request(std::string_view line);

// Wipes the request's secret-bearing strings over their whole capacity.
void wipe_request(Request& request) noexcept;

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
  std::variant<Ok, Error, Progress, ProbeResult> value;
};

// Compact single-line JSON, no line terminator.
std::string encode_response(const Response& response);

}  // namespace tarnwick
