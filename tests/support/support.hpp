// SPDX-License-Identifier: MIT
// Test helpers shared by the suites: temporary trees, a recording fake of
// the tool runner, and a fixed list of drives.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "inventory/inventory.hpp"
#include "runner/runner.hpp"
#include "system/system.hpp"

namespace tarnwick::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Creates parent folders as needed.
  std::string write_file(const std::string& relative, const std::string& contents) const;
  std::string make_dir(const std::string& relative) const;
  std::string symlink(const std::string& target, const std::string& relative_link) const;
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// One recorded `run` call: what a test compares against.
struct RecordedCall {
  std::string program;
  std::vector<std::string> args;
  std::optional<std::string> stdin_bytes;  // a copy of what the tool would have read

  std::vector<std::string> argv() const;  // program followed by args
};

// Records every command; answers from a queue of results (success when empty)
// or from a function.
class RecordingRunner final : public runner::ToolRunner {
 public:
  using Result = std::expected<runner::ToolOutput, runner::HelperError>;
  std::expected<runner::ToolOutput, runner::HelperError> run(runner::ToolCommand command) override;

  void push_result(Result result) { results_.push_back(std::move(result)); }
  std::function<Result(const RecordedCall&)> respond;

  std::vector<RecordedCall> calls;

 private:
  std::vector<Result> results_;
};

class FixedDriveLister final : public inventory::DriveLister {
 public:
  explicit FixedDriveLister(std::vector<inventory::Drive> drives) : drives_(std::move(drives)) {}
  std::expected<inventory::Snapshot, runner::HelperError> list_drives() const override {
    ++calls;
    return inventory::Snapshot{drives_, loop_devices_};
  }
  std::vector<inventory::Drive> drives_;
  std::vector<inventory::Drive> loop_devices_;
  mutable std::atomic<int> calls{0};  // listed from several wipes at once
};

// Names each case of a parameterised test after its `name` member.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& param_info) const {
    return std::string(param_info.param.name);
  }
};

runner::HelperError command_failed(std::string command, int exit_code, std::string stderr_text);

}  // namespace tarnwick::testing
