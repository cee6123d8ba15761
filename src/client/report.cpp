// SPDX-License-Identifier: MIT
// The record of a wipe: the drive's identity from lsblk, taken without
// privilege before the wipe, and the report's JSON form.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/base.hpp"
#include "client/answers.hpp"
#include "client/client.hpp"
#include "client/protocol.hpp"

namespace tarnwick::client {

namespace {

constexpr std::size_t kLongestLsblkOutput = std::size_t{1} << 20;

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

std::optional<std::string> canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
}

}  // namespace

namespace detail {

std::expected<std::pair<int, std::string>, std::string> run_lsblk(
    const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"lsblk"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return std::unexpected(std::string("cannot run lsblk: ") +
                           ::strerror(errno));  // NOLINT(concurrency-mt-unsafe)
  }
  base::ChildSetup setup;
  setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  setup.dup2(pipe_fds[1], STDOUT_FILENO);
  setup.dup2(pipe_fds[1], STDERR_FILENO);
  setup.close_others();
  pid_t pid = -1;
  const int spawned =
      setup.spawn(pid, argv[0], std::span(argv).subspan(1), base::ChildEnvironment::Tool);
  ::close(pipe_fds[1]);
  if (spawned != 0) {
    ::close(pipe_fds[0]);
    return std::unexpected(std::string("cannot run lsblk: ") +
                           ::strerror(spawned));  // NOLINT(concurrency-mt-unsafe)
  }
  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    if (output.size() < kLongestLsblkOutput) {
      output.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return std::unexpected(std::string("lsblk could not be waited for"));
    }
  }
  return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::move(output));
}

}  // namespace detail

namespace {

nlohmann::ordered_json text_or_null(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

}  // namespace

namespace detail {

std::string find_by_id_link(const std::string& device, const std::string& by_id_dir) {
  const auto node = canonical(device);
  const int fd = ::open(by_id_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!node || fd < 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    return {};
  }
  const std::unique_ptr<DIR, DirectoryCloser> directory(::fdopendir(fd));
  if (!directory) {
    ::close(fd);
    return {};
  }
  // The stream is this call's own.
  while (const dirent* entry = ::readdir(directory.get())) {  // NOLINT(concurrency-mt-unsafe)
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string link = by_id_dir;
    link += '/';
    link += name;
    if (canonical(link) == node) {
      return link;
    }
  }
  return {};
}

std::expected<DriveIdentity, std::string> parse_drive_identity(std::string_view device,
                                                               std::string_view lsblk_json) {
  const auto doc = nlohmann::json::parse(lsblk_json, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("blockdevices") ||
      !doc.at("blockdevices").is_array() || doc.at("blockdevices").empty() ||
      !doc.at("blockdevices").at(0).is_object()) {
    return std::unexpected(std::string("lsblk printed no device"));
  }
  const nlohmann::json& node = doc.at("blockdevices").at(0);
  DriveIdentity identity;
  identity.path = std::string(device);
  identity.model = detail::lsblk_text(node, "model");
  identity.serial = detail::lsblk_text(node, "serial");
  identity.vendor = detail::lsblk_text(node, "vendor");
  identity.transport = detail::lsblk_text(node, "tran");
  identity.size = detail::lsblk_size(node);
  return identity;
}

std::string host_name() {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) {
    return {};
  }
  return std::string(name.data());
}

std::string iso8601_utc(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) {
    return {};
  }
  std::array<char, 32> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text.data(), length);
}

WipeReport::Verification judge_verification(bool requested, const std::string& error,
                                            std::optional<std::uint64_t> bytes_verified,
                                            std::optional<std::uint64_t> size) {
  using enum WipeReport::Verification;
  if (!requested) {
    return NotRequested;
  }
  // Passed means the drive answered for every byte: the helper's last
  // read-back figure reaches the drive's size (when the size is known to
  // the client; the helper checked it against the mapping's own size).
  const bool read_in_full =
      bytes_verified.has_value() && (!size.has_value() || *bytes_verified >= *size);
  if (error.empty()) {
    return read_in_full ? Passed : Failed;
  }
  const AnswerFacts facts = classify_answer(error);
  // Cancelled before the read-back reached the end, whatever it was doing
  // (had it finished, the wipe would have been answered ok).
  if (facts.cancelled) {
    return NotRun;
  }
  // The read-back's own failures: a difference, a drive that did not
  // answer for every byte, or its tools failing.
  if (facts.read_back_failed) {
    return Failed;
  }
  // Read back to the end, and then only the mapping failed to close.
  if (bytes_verified.has_value() && facts.close_failed) {
    return read_in_full ? Passed : Failed;
  }
  return NotRun;
}

}  // namespace detail

std::expected<DriveIdentity, std::string> identify_drive(std::string_view device) {
  const std::string path(device);
  auto ran = detail::run_lsblk(
      {"--json", "--bytes", "--nodeps", "--output", "PATH,SIZE,VENDOR,MODEL,SERIAL,TRAN", path});
  if (!ran) {
    return std::unexpected(std::move(ran.error()));
  }
  auto& [status, output] = *ran;
  if (status != 0) {
    while (!output.empty() && output.back() == '\n') {
      output.pop_back();
    }
    return std::unexpected("lsblk exited with status " + std::to_string(status) +
                           (output.empty() ? std::string() : ": " + output));
  }
  auto identity = detail::parse_drive_identity(device, output);
  if (identity) {
    identity->by_id = detail::find_by_id_link(path);
  }
  return identity;
}

std::string_view to_string(WipeReport::Verification verification) {
  switch (verification) {
    case WipeReport::Verification::NotRequested:
      return "not requested";
    case WipeReport::Verification::NotRun:
      return "not run";
    case WipeReport::Verification::Passed:
      return "passed";
    case WipeReport::Verification::Failed:
      return "failed";
  }
  return "not run";
}

std::string WipeReport::to_json() const {
  using nlohmann::ordered_json;
  ordered_json identity = {
      {"path", drive.path},
      {"model", text_or_null(drive.model)},
      {"serial", text_or_null(drive.serial)},
      {"vendor", text_or_null(drive.vendor)},
      {"size", drive.size ? ordered_json(*drive.size) : ordered_json(nullptr)},
      {"transport", text_or_null(drive.transport)},
      {"by_id", text_or_null(drive.by_id)},
  };
  if (!identity_error.empty()) {
    identity["error"] = identity_error;
  }
  const auto duration = std::chrono::duration<double>(ended - started).count();
  ordered_json record = {
      {"drive", identity},
      {"method", std::string(to_string(mode))},
      {"verification", std::string(to_string(verification))},
      {"bytes_written", bytes_written},
      {"bytes_verified", bytes_verified ? ordered_json(*bytes_verified) : ordered_json(nullptr)},
      {"started", detail::iso8601_utc(started)},
      {"ended", detail::iso8601_utc(ended)},
      {"duration_seconds", std::round(duration * 1000.0) / 1000.0},
      {"result", succeeded() ? "ok" : "failed"},
      {"error", text_or_null(error)},
      {"helper_version", helper_version},
      {"host", host_name},
  };
  if (capacity_check) {
    const CapacityCheck& check = *capacity_check;
    const auto optional_number = [](const std::optional<std::uint64_t>& n) {
      return n ? ordered_json(*n) : ordered_json(nullptr);
    };
    record["capacity_check"] = {
        {"result", check.genuine ? "genuine" : "counterfeit"},
        {"claimed", check.claimed},
        {"positions", check.positions},
        {"lowest_failing", optional_number(check.lowest_failing)},
        {"highest_good", optional_number(check.highest_good)},
        {"unrestored", check.unrestored},
        {"error", text_or_null(check.helper_error)},
    };
  }
  // Texts from the drive or the helper that are not UTF-8 are shown with
  // U+FFFD rather than making the report unwritable.
  return record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace tarnwick::client
