// SPDX-License-Identifier: MIT
// The helper session: reads one request line at a time, hands it to the
// handler of its operation, and answers each with exactly one final line.
#pragma once

#include <cstdint>

#include "inventory/inventory.hpp"
#include "luks/luks.hpp"
#include "messages.hpp"
#include "runner/runner.hpp"
#include "stop/stop.hpp"
#include "system/system.hpp"

namespace tarnwick {

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
void write_response(int output_fd, const Response& response);

// Serves requests until end of input, "shutdown" or a signal through the
// session's stop source, then closes the session's mappers. Never throws.
SessionEnd serve_requests(int input_fd, int output_fd, Session& session);

}  // namespace tarnwick
