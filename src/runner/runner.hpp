// SPDX-License-Identifier: MIT
// The one way external tools are started (no shell, ever), and HelperError,
// the error value every operation of the helper returns.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/spawn.hpp"
#include "secure/secure_memory.hpp"
#include "stop/stop.hpp"

namespace tarnwick::runner {

// Where the helper and every tool it starts look for programs, and the
// whole environment of every tool it starts: nothing of the client's
// reaches a program running as root.
using base::kToolEnvironment;
using base::kToolSearchPath;

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
  // The session's stop source ended the tool (or kept it from starting).
  struct Stopped {
    std::string command;
    std::optional<stop::StopReason> reason;  // none: stopped for a reason no longer known
    bool operator==(const Stopped&) const = default;
  };
  // A failure the helper found itself, not a tool (a drive that read back
  // other data than was written); shown as its text alone.
  struct Failed {
    std::string text;
    bool operator==(const Failed&) const = default;
  };

  std::variant<Io, LsblkParse, ToolNotFound, CommandFailed, Refused, Stopped, Failed> value;

  // "io: {}", "failed to parse lsblk output: {}", "required tool not found in
  // PATH: {}", "command `{}` failed (exit {}): {}", "refused destructive
  // operation: {}", "command `{}` stopped: {}", and a Failed text as it is.
  std::string display() const;

  // A client's cancel ended the tool (or kept it from starting); a signal
  // is not a cancel.
  bool cancelled() const;

  static HelperError io_errno(int error_number);
  static HelperError io(std::string text);
  static HelperError refused(std::string reason);
  static HelperError failed(std::string text);

  bool operator==(const HelperError&) const = default;
};

// One tool invocation: a bare program name found through PATH, its further
// arguments, and optional standard-input bytes (secrets travel only here).
struct ToolCommand {
  std::string program;
  std::vector<std::string> args;
  std::optional<secure::SecretBytes> stdin_bytes;
  // Cleanup (closing mappings) must complete even after a stop: such a tool
  // ignores the stop source and runs in its own process group, out of reach
  // of a terminal's further Ctrl-C.
  bool must_finish = false;
  // Exit codes besides 0 that are an answer rather than a failure (cmp's 1,
  // "the inputs differ"); the run then succeeds with the code in ToolOutput.
  std::vector<std::int32_t> answer_exit_codes;

  explicit ToolCommand(std::string program_name) : program(std::move(program_name)) {}
  ToolCommand& arg(std::string value) {
    args.push_back(std::move(value));
    return *this;
  }
  ToolCommand& finish_despite_stop() {
    must_finish = true;
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
  // 0, or one of the command's answer_exit_codes.
  std::int32_t exit_code = 0;
};

class ToolRunner {
 public:
  virtual ~ToolRunner() = default;
  // Runs the tool to completion. The command's standard-input buffer is
  // wiped over its whole capacity before this returns, on every path.
  virtual std::expected<ToolOutput, HelperError> run(ToolCommand command) = 0;
  // The stop source this runner obeys, so that other waits beside a run can
  // watch the same one; nullptr when nothing stops it.
  virtual stop::StopSource* stop_source() const { return nullptr; }
  // The same kind of runner, obeying `stop` instead: what an operation
  // running beside others is given. nullptr when this runner cannot serve
  // two threads at once.
  virtual std::unique_ptr<ToolRunner> obeying(stop::StopSource* /*stop*/) const { return nullptr; }
  // A client's cancel is pending (a signal is not a cancel): an operation
  // asks before its first write.
  bool cancel_requested() const {
    const stop::StopSource* stop = stop_source();
    const auto reason = stop != nullptr ? stop->reason() : std::nullopt;
    return reason && !reason->is_signal();
  }
};

// Real processes. Holds no state of its own, so one instance may be used
// from several threads at once. With a stop source, a stop ends the running
// tool (SIGTERM, then SIGKILL after a grace) and the run fails as Stopped;
// a tool that exited 0 before it could be stopped still succeeds, since what
// it did (a mapping opened, say) must be known to be undone.
class SystemToolRunner final : public ToolRunner {
 public:
  explicit SystemToolRunner(stop::StopSource* stop = nullptr) : stop_(stop) {}
  std::expected<ToolOutput, HelperError> run(ToolCommand command) override;
  stop::StopSource* stop_source() const override { return stop_; }
  std::unique_ptr<ToolRunner> obeying(stop::StopSource* stop) const override {
    return std::make_unique<SystemToolRunner>(stop);
  }

 private:
  stop::StopSource* stop_;
};

// What SystemToolRunner::run does, on a command the caller keeps: when this
// returns, by any path, the standard-input buffer is empty and its whole
// allocation is zero, while the allocation itself stays with the command.
std::expected<ToolOutput, HelperError> run_tool(ToolCommand& command,
                                                stop::StopSource* stop = nullptr);

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
  // A stop was requested while the child ran (it was signalled, or the
  // terminal's signal reached it first).
  bool stopped = false;
};

// Starts `program` (searched in PATH) with `args`, captures both outputs and
// waits. ENOENT while starting is ToolNotFound, other failures Io.
std::expected<ProcessResult, HelperError> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      StdinSource source);

}  // namespace tarnwick::runner
