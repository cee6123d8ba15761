// SPDX-License-Identifier: MIT
// Running the probe: save every planned block, write every marker, read them
// all back, then restore and re-read every saved block. Only dd touches the
// drive, through the runner; saved user data lives in wiping buffers.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <utility>

#include "probe/probe.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::probe {
namespace {

using namespace std::chrono_literals;

// As often as a wipe reports.
constexpr auto kProgressInterval = 200ms;
constexpr std::uint64_t kDefaultLogicalBlock = 512;

constexpr std::string_view kCancelledBeforeWriting = "probe cancelled before anything was written";
constexpr std::string_view kCancelled = "probe cancelled";
constexpr std::string_view kDriveChanged =
    "probe: the drive disappeared or changed during the probe; no verdict";

// A failing drive is an answer; the tool itself missing, a stop or a helper
// fault is not.
bool drive_failed(const HelperError& error) {
  return std::holds_alternative<HelperError::CommandFailed>(error.value);
}

secure::SecretBytes secret_copy(std::span<const std::uint8_t> bytes) {
  secure::SecretBytes copy;
  copy.reserve(bytes.size());
  copy.assign(bytes.begin(), bytes.end());
  return copy;
}

// One block read through dd; the captured output is wiped once copied.
struct BlockRead {
  std::optional<secure::SecretBytes> bytes;  // nothing when the drive failed
};

std::expected<BlockRead, HelperError> read_block(ToolRunner& runner, const std::string& device,
                                                 std::uint64_t block, std::uint64_t index,
                                                 bool must_finish) {
  ToolCommand command = read_block_command(device, block, index);
  if (must_finish) {
    command.finish_despite_stop();
  }
  auto output = runner.run(std::move(command));
  if (!output) {
    if (drive_failed(output.error())) {
      return BlockRead{};
    }
    return std::unexpected(std::move(output.error()));
  }
  BlockRead read;
  if (output->stdout_bytes.size() == block) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(output->stdout_bytes.data());
    read.bytes = secret_copy({data, output->stdout_bytes.size()});
  }
  secure::zeroize(output->stdout_bytes);
  return read;
}

// Between two positions: the stop as the runner would have reported it.
HelperError stopped_error(const stop::StopSource& stop) {
  const auto reason = stop.reason();
  return HelperError{HelperError::Stopped{"dd", reason.value_or(stop::StopReason::cancelled())}};
}

std::string offsets_text(const std::vector<std::uint64_t>& offsets) {
  std::string out;
  for (const std::uint64_t offset : offsets) {
    if (!out.empty()) {
      out += ", ";
    }
    out += std::to_string(offset);
  }
  return out;
}

std::string unrestored_text(const std::vector<std::uint64_t>& offsets) {
  return (offsets.size() == 1 ? "the block at byte offset " : "the blocks at byte offsets ") +
         offsets_text(offsets) + " could not be restored";
}

// Throttles progress to the wipe's pace; the first and the forced reports
// always go out.
class Progress {
 public:
  explicit Progress(const ProgressCallback& callback) : callback_(callback) {}
  void add(std::uint64_t bytes) { written_ += bytes; }
  void report(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!callback_ || (!force && sent_ && now - last_ < kProgressInterval)) {
      return;
    }
    sent_ = true;
    last_ = now;
    callback_(written_);
  }

 private:
  const ProgressCallback& callback_;
  std::uint64_t written_ = 0;
  bool sent_ = false;
  std::chrono::steady_clock::time_point last_;
};

std::optional<std::uint64_t> logical_block_size(const system::SystemPaths& paths,
                                                std::string_view device) {
  const auto canonical = system::canonical_path(std::string(device));
  if (!canonical) {
    return std::nullopt;
  }
  const std::string name = canonical->substr(canonical->rfind('/') + 1);
  const auto contents = system::read_text_file(system::join_path(
      system::join_path(paths.sys_class_block, name), "queue/logical_block_size"));
  if (!contents) {
    return std::nullopt;
  }
  const std::string_view digits = text::trim_white_space(*contents);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc{} || end != digits.data() + digits.size() || value == 0) {
    return std::nullopt;
  }
  return value;
}

// What tells the drive behind the stable path apart from one plugged in
// after it: a pulled stick fails every dd, which must not read as a drive
// that stores nothing.
struct DriveIdentity {
  std::optional<std::string> node;
  std::optional<std::string> disk_sequence;
  std::optional<std::uint64_t> size;
  bool operator==(const DriveIdentity&) const = default;
};

DriveIdentity drive_identity(const system::SystemPaths& paths, std::string_view device) {
  DriveIdentity identity;
  identity.node = system::canonical_path(std::string(device));
  if (!identity.node) {
    return identity;
  }
  const std::string name = identity.node->substr(identity.node->rfind('/') + 1);
  if (const auto sequence = system::read_text_file(
          system::join_path(system::join_path(paths.sys_class_block, name), "diskseq"))) {
    identity.disk_sequence = std::string(text::trim_white_space(*sequence));
  }
  identity.size = wipe::block_device_size(paths, device);
  return identity;
}

std::expected<Nonce, HelperError> read_nonce(const std::string& source) {
  const system::FileDescriptor fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    return std::unexpected(HelperError::io_errno(errno));
  }
  Nonce nonce{};
  std::size_t filled = 0;
  while (filled < nonce.size()) {
    const ssize_t n = ::read(fd.get(), nonce.data() + filled, nonce.size() - filled);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return std::unexpected(HelperError::io_errno(errno));
    }
    if (n == 0) {
      return std::unexpected(HelperError::io("failed to fill whole buffer"));
    }
    filled += static_cast<std::size_t>(n);
  }
  return nonce;
}

}  // namespace

ToolCommand read_block_command(const std::string& device, std::uint64_t block,
                               std::uint64_t index) {
  ToolCommand command("dd");
  command.arg("if=" + device)
      .arg("bs=" + std::to_string(block))
      .arg("skip=" + std::to_string(index))
      .arg("count=1")
      .arg("iflag=direct")
      .arg("status=none");
  return command;
}

// fullblock: a pipe may hand dd less than a block per read, and a short
// direct write would fail.
ToolCommand write_block_command(const std::string& device, std::uint64_t block, std::uint64_t index,
                                secure::SecretBytes contents) {
  ToolCommand command("dd");
  command.arg("of=" + device)
      .arg("bs=" + std::to_string(block))
      .arg("seek=" + std::to_string(index))
      .arg("count=1")
      .arg("iflag=fullblock")
      .arg("oflag=direct,dsync")
      .arg("conv=notrunc")
      .arg("status=none");
  command.set_stdin(std::move(contents));
  return command;
}

std::expected<ProbeResult, HelperError> probe_device(ToolRunner& runner, std::string_view device,
                                                     std::uint64_t size,
                                                     std::uint64_t logical_block,
                                                     const Nonce& nonce,
                                                     const ProgressCallback& on_progress) {
  ProbeResult result;
  result.block = probe_block_size(logical_block);
  const std::uint64_t block = result.block;
  const std::vector<std::uint64_t> positions = plan_positions(size, block);
  result.verdict.claimed = size;
  if (positions.empty()) {
    return std::unexpected(HelperError::failed("probe: the drive is smaller than one block of " +
                                               std::to_string(block) + " bytes"));
  }
  const std::string path = text::decode_utf8_lossy(device);
  const std::size_t count = positions.size();
  stop::StopSource* const stop = runner.stop_source();
  const auto stop_requested = [stop] { return stop != nullptr && stop->requested(); };
  Progress progress(on_progress);
  progress.report(true);

  // 1. Save. A block that cannot be read is not written either: it could
  // not be put back. Nothing has been written if this fails.
  std::vector<std::optional<secure::SecretBytes>> saved(count);
  std::vector<ReadBack> reads(count, ReadBack::unrecognised());
  for (std::size_t i = 0; i < count; ++i) {
    if (stop_requested()) {
      return std::unexpected(stopped_error(*stop));
    }
    auto read = read_block(runner, path, block, positions[i] / block, false);
    if (!read) {
      return std::unexpected(std::move(read.error()));
    }
    saved[i] = std::move(read->bytes);
    if (!saved[i]) {
      reads[i] = ReadBack::failed();
    }
  }

  // 2. Mark, from the top down, one pass. `touched`: a write was attempted,
  // so the block must be restored.
  std::vector<bool> touched(count, false);
  std::vector<bool> written(count, false);
  const std::vector<std::size_t> writes = write_order(count);
  const std::vector<std::size_t> read_sequence = read_order(count);
  for (const std::size_t i : writes) {
    if (!saved[i]) {
      continue;
    }
    if (stop_requested()) {
      result.stopped = stopped_error(*stop);
      break;
    }
    const auto marker = make_marker(nonce, positions[i], size, block);
    touched[i] = true;
    auto done = runner.run(write_block_command(path, block, positions[i] / block,
                                               secure::SecretBytes(marker.begin(), marker.end())));
    if (!done && !drive_failed(done.error())) {
      result.stopped = std::move(done.error());
      break;
    }
    written[i] = done.has_value();
    if (!written[i]) {
      reads[i] = ReadBack::failed();
    }
    progress.add(block);
    progress.report(false);
  }
  progress.report(true);

  // 3. Read every marker back, in another order.
  if (!result.stopped) {
    for (const std::size_t i : read_sequence) {
      if (!written[i]) {
        continue;
      }
      if (stop_requested()) {
        result.stopped = stopped_error(*stop);
        break;
      }
      auto read = read_block(runner, path, block, positions[i] / block, false);
      if (!read) {
        result.stopped = std::move(read.error());
        break;
      }
      if (!read->bytes) {
        reads[i] = ReadBack::failed();
      } else if (const auto position = decode_marker(*read->bytes, nonce, size, block)) {
        reads[i] = ReadBack::marker(*position);
      } else {
        reads[i] = ReadBack::unrecognised();
      }
    }
  }
  if (!result.stopped) {
    result.verdict = judge(size, positions, reads);
  }

  // 4. Restore, in the writes' order, so that on a drive that wraps the
  // real lower block gets its own data last; then read each back. These
  // run to the end even after a stop: the person's data comes first.
  for (const std::size_t i : writes) {
    const auto& kept = saved[i];
    if (!touched[i] || !kept) {
      continue;
    }
    ToolCommand restore =
        write_block_command(path, block, positions[i] / block, secret_copy(*kept));
    restore.finish_despite_stop();
    auto restored = runner.run(std::move(restore));
    if (!restored) {
      // Without dd no block can be put back; the read-back below names them.
      if (!drive_failed(restored.error()) && !result.stopped) {
        result.stopped = restored.error();
      }
    }
    progress.add(block);
    progress.report(false);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto& kept = saved[i];
    if (!touched[i] || !kept) {
      continue;
    }
    auto read = read_block(runner, path, block, positions[i] / block, true);
    if (!read || !read->bytes || *read->bytes != *kept) {
      result.unrestored.push_back(positions[i]);
    }
  }
  for (auto& bytes : saved) {
    if (bytes) {
      secure::zeroize(*bytes);
    }
  }
  progress.report(true);
  return result;
}

std::optional<std::string> result_error(const ProbeResult& result) {
  if (const auto& lowest = result.verdict.lowest_failing) {
    return "probe: the drive stores at most " + format_size(*lowest) + " of the " +
           format_size(result.verdict.claimed) + " it claims";
  }
  if (!result.unrestored.empty()) {
    return "probe: " + unrestored_text(result.unrestored);
  }
  return std::nullopt;
}

std::expected<void, std::string> handle_probe(ToolRunner& runner, const guard::GuardContext& guard,
                                              std::string_view device,
                                              const ProgressCallback& on_progress,
                                              const ResultCallback& on_result) {
  // The probe writes: the same guard as a wipe, and the drive stays locked
  // until the request is answered.
  auto target = guard::resolve_drive_target(guard, device);
  if (!target) {
    return std::unexpected(std::move(target.error()));
  }
  if (runner.cancel_requested()) {
    return std::unexpected(std::string(kCancelledBeforeWriting));
  }
  const DriveIdentity before = drive_identity(guard.paths, target->stable_path);
  const auto size = before.size;
  if (!size) {
    return std::unexpected(std::string("probe: the size of the drive cannot be read"));
  }
  const std::uint64_t logical =
      logical_block_size(guard.paths, target->stable_path).value_or(kDefaultLogicalBlock);
  const auto nonce = read_nonce(guard.paths.dev_urandom);
  if (!nonce) {
    return std::unexpected(nonce.error().display());
  }
  auto result = probe_device(runner, target->stable_path, *size, logical, *nonce, on_progress);
  if (!result) {
    if (result.error().cancelled()) {
      return std::unexpected(std::string(kCancelledBeforeWriting));
    }
    return std::unexpected(result.error().display());
  }
  if (drive_identity(guard.paths, target->stable_path) != before) {
    return std::unexpected(std::string(kDriveChanged));
  }
  if (result->stopped) {
    // No verdict: say what became of the blocks it wrote.
    const std::string state = result->unrestored.empty() ? "every block it wrote was restored"
                                                         : unrestored_text(result->unrestored);
    if (result->stopped->cancelled()) {
      return std::unexpected(std::string(kCancelled) + ": " + state);
    }
    return std::unexpected(result->stopped->display() + "; " + state);
  }
  if (on_result) {
    on_result(*result);
  }
  if (auto error = result_error(*result)) {
    return std::unexpected(std::move(*error));
  }
  return {};
}

}  // namespace tarnwick::probe
