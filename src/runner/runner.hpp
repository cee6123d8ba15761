// SPDX-License-Identifier: MIT
// The one way external tools are started (no shell, ever), and HelperError,
// the error value every operation of the helper returns.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "secure/secure_memory.hpp"

namespace tarnwick::runner {

struct HelperError {
  // An operating-system I/O error, already rendered: "Permission denied (os error 13)".
  struct Io {
    std::string text;
    bool operator==(const Io&) const = default;
  };
  struct LsblkParse {
    std::string message;
    bool operator==(const LsblkParse&) const = default;
  };
  struct ToolNotFound {
    std::string program;
    bool operator==(const ToolNotFound&) const = default;
  };
  struct CommandFailed {
    std::string command;
    std::string stderr_text;
    std::int32_t exit_code = 0;
    bool operator==(const CommandFailed&) const = default;
  };
  struct Refused {
    std::string reason;
    bool operator==(const Refused&) const = default;
  };

  std::variant<Io, LsblkParse, ToolNotFound, CommandFailed, Refused> value;

  // "io: {}", "failed to parse lsblk output: {}", "required tool not found in
  // PATH: {}", "command `{}` failed (exit {}): {}", "refused destructive operation: {}".
  std::string display() const;

  static HelperError io_errno(int error_number);
  static HelperError io(std::string text);
  static HelperError refused(std::string reason);

  bool operator==(const HelperError&) const = default;
};

// One tool invocation: a bare program name found through PATH, its further
// arguments, and optional standard-input bytes (secrets travel only here).
struct ToolCommand {
  std::string program;
  std::vector<std::string> args;
  std::optional<secure::SecretBytes> stdin_bytes;

  explicit ToolCommand(std::string program_name) : program(std::move(program_name)) {}
  ToolCommand& arg(std::string value) {
    args.push_back(std::move(value));
    return *this;
  }
  // Attaches (or replaces) the standard-input bytes.
  void set_stdin(secure::SecretBytes bytes);
  // "program arg1 arg2"; with no arguments "program " (trailing space).
  std::string command_text() const;
};

struct ToolOutput {
  std::string stdout_bytes;
  std::string stderr_bytes;
};

class ToolRunner {
 public:
  virtual ~ToolRunner() = default;
  // Runs the tool to completion. The command's standard-input buffer is
  // wiped over its whole capacity before this returns, on every path.
  virtual std::expected<ToolOutput, HelperError> run(ToolCommand command) = 0;
};

// Real processes. Stateless, so one instance may be used from several
// threads at once.
class SystemToolRunner final : public ToolRunner {
 public:
  std::expected<ToolOutput, HelperError> run(ToolCommand command) override;
};

// What SystemToolRunner::run does, on a command the caller keeps: when this
// returns, by any path, the standard-input buffer is empty and its whole
// allocation is zero, while the allocation itself stays with the command.
std::expected<ToolOutput, HelperError> run_tool(ToolCommand& command);

// Lower-level spawning shared with the lsblk snapshot, which must not inherit
// the helper's standard input.
enum class StdinSource {
  Inherit,    // the helper's own standard input
  NullDevice  // /dev/null
};

struct ProcessResult {
  std::string stdout_bytes;
  std::string stderr_bytes;
  // Exit code when the child exited normally, -1 when a signal ended it.
  std::int32_t exit_code = 0;
};

// Starts `program` (searched in PATH) with `args`, captures both outputs and
// waits. ENOENT while starting is ToolNotFound, other failures Io.
std::expected<ProcessResult, HelperError> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      StdinSource source);

}  // namespace tarnwick::runner
