// SPDX-License-Identifier: MIT
#include "support/support.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tarnwick::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tdh-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::write_file(const std::string& relative, const std::string& contents) const {
  const fs::path full = fs::path(path_) / relative;
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + full.string());
  }
  return full.string();
}

std::string TempDir::make_dir(const std::string& relative) const {
  const fs::path full = fs::path(path_) / relative;
  fs::create_directories(full);
  return full.string();
}

std::string TempDir::symlink(const std::string& target, const std::string& relative_link) const {
  const fs::path full = fs::path(path_) / relative_link;
  fs::create_directories(full.parent_path());
  fs::create_symlink(target, full);
  return full.string();
}

std::vector<std::string> RecordedCall::argv() const {
  std::vector<std::string> out{program};
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

std::expected<runner::ToolOutput, runner::HelperError> RecordingRunner::run(
    runner::ToolCommand command) {
  RecordedCall call{command.program, command.args, std::nullopt};
  if (command.stdin_bytes) {
    call.stdin_bytes = std::string(command.stdin_bytes->begin(), command.stdin_bytes->end());
    secure::zeroize(*command.stdin_bytes);
  }
  calls.push_back(call);
  if (respond) {
    return respond(calls.back());
  }
  if (!results_.empty()) {
    Result result = std::move(results_.front());
    results_.erase(results_.begin());
    return result;
  }
  return runner::ToolOutput{};
}

runner::HelperError command_failed(std::string command, int exit_code, std::string stderr_text) {
  return runner::HelperError{
      runner::HelperError::CommandFailed{std::move(command), std::move(stderr_text), exit_code}};
}

}  // namespace tarnwick::testing
