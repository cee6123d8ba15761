// SPDX-License-Identifier: MIT
#include <string>
#include <utility>

#include "base/base.hpp"
#include "runner/runner.hpp"
#include "secure/secure_memory.hpp"
#include "text/text.hpp"

namespace tarnwick::runner {

std::string HelperError::display() const {
  return std::visit(
      base::Overloaded{
          [](const Io& e) { return "io: " + e.text; },
          [](const LsblkParse& e) { return "failed to parse lsblk output: " + e.message; },
          [](const ToolNotFound& e) { return "required tool not found in PATH: " + e.program; },
          [](const CommandFailed& e) {
            return "command `" + e.command + "` failed (exit " + std::to_string(e.exit_code) +
                   "): " + e.stderr_text;
          },
          [](const Refused& e) { return "refused destructive operation: " + e.reason; },
          [](const Stopped& e) {
            return "command `" + e.command +
                   "` stopped: " + (e.reason ? e.reason->text() : std::string("stopped"));
          },
          [](const Failed& e) { return e.text; },
      },
      value);
}

HelperError HelperError::io_errno(int error_number) {
  return HelperError{Io{text::os_error_text(error_number)}};
}

HelperError HelperError::io(std::string text) { return HelperError{Io{std::move(text)}}; }

HelperError HelperError::refused(std::string reason) {
  return HelperError{Refused{std::move(reason)}};
}

HelperError HelperError::failed(std::string text) { return HelperError{Failed{std::move(text)}}; }

void ToolCommand::set_stdin(secure::SecretBytes bytes) {
  if (stdin_bytes) {
    secure::zeroize(*stdin_bytes);
  }
  stdin_bytes = std::move(bytes);
}

std::string ToolCommand::command_text() const {
  // Shown to the client as is: no quoting, one space after the program even
  // when no argument follows.
  std::string text = program + " ";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) {
      text += ' ';
    }
    text += args[i];
  }
  return text;
}

bool HelperError::cancelled() const {
  const auto* stopped = std::get_if<Stopped>(&value);
  return stopped != nullptr && stopped->reason && !stopped->reason->is_signal();
}

}  // namespace tarnwick::runner
