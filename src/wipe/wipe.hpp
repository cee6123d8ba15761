// SPDX-License-Identifier: MIT
// Wiping whole drives: the four wipe methods, and the monitored `dd` fill
// that reports progress from the kernel's counters.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "guard/guard.hpp"
#include "runner/runner.hpp"
#include "system/system.hpp"

namespace tarnwick::wipe {

using runner::HelperError;
using runner::ToolCommand;
using runner::ToolOutput;
using runner::ToolRunner;

enum class WipeMode { EncryptedZero, SecureDiscard, Random, None };

using ProgressCallback = std::function<void(std::uint64_t copied)>;

// Read-back verification of "encrypted-zero", asked for with "verify":true.
// on_progress gets the bytes the fill wrote and the bytes read back so far.
struct Verification {
  bool requested = false;
  std::function<void(std::uint64_t copied, std::uint64_t verified)> on_progress;
};

// The read-back's own verdict on the drive's read count, taken once cmp found
// no difference: `bytes_read` is what the kernel counted as read from the
// drive since the read-back path was opened (absent when a counter could not
// be read), `size` what cmp compared. It passes only when the drive answered
// for every byte; otherwise a Failed "verification incomplete: ..." text.
std::expected<void, HelperError> read_back_complete(std::optional<std::uint64_t> bytes_read,
                                                    std::uint64_t size);

// The answer to "verify":true with any mode but "encrypted-zero".
inline constexpr std::string_view kVerifyNeedsEncryptedZero =
    "verification is only available for mode encrypted-zero";

// Kernel figures, read through the device's canonical kernel name.
std::optional<std::uint64_t> block_device_size(const system::SystemPaths& paths,
                                               std::string_view device);
std::optional<std::uint64_t> device_bytes_written(const system::SystemPaths& paths,
                                                  std::string_view device);
std::optional<std::uint64_t> device_bytes_read(const system::SystemPaths& paths,
                                               std::string_view device);

// Turns dd's out-of-space failure into success when the kernel's count shows
// the device was written (nearly) to its end.
std::expected<ToolOutput, HelperError> accept_device_full(
    std::expected<ToolOutput, HelperError> outcome, std::uint64_t last_copied,
    std::optional<std::uint64_t> size);

// Runs `command` on a worker thread. On the calling thread `poll` is called
// at once, every 200 ms while the command runs, and once after it ended.
std::expected<ToolOutput, HelperError> run_monitored(ToolRunner& runner, ToolCommand command,
                                                     const std::function<void()>& poll);

// Runs `dd_command` on a worker thread; polls the kernel counters of
// `device` every 200 ms on the calling thread, which alone calls on_progress.
std::expected<ToolOutput, HelperError> fill_device(ToolRunner& runner,
                                                   const system::SystemPaths& paths,
                                                   ToolCommand dd_command, std::string_view device,
                                                   const ProgressCallback& on_progress);

// Where an "encrypted-zero" wipe opens its temporary mapping, and the lock
// file that keeps the name to one wipe at a time.
struct TemporaryMapping {
  std::string name;
  std::string lock_file;

  // "tarnwick_wipe_tmp" under paths.wipe_mapping_lock: the wipe that holds
  // the session.
  static TemporaryMapping shared(const system::SystemPaths& paths);
  // "tarnwick_wipe_<kernel name>", with a lock file of that name beside the
  // shared one: wipes in the background run side by side, one per drive.
  static TemporaryMapping for_drive(const system::SystemPaths& paths, std::string_view kernel_name);
  // The path the tools are given.
  std::string device() const { return "/dev/mapper/" + name; }
};

enum class TemporaryMappingName { Shared, PerDrive };

// With verification requested (only for EncryptedZero), the mapping is
// closed once filled, opened again with the same key (so that nothing it
// cached can answer), read back and compared with zeros.
std::expected<void, HelperError> wipe_device(ToolRunner& runner, const system::SystemPaths& paths,
                                             std::string_view device, WipeMode mode,
                                             const ProgressCallback& on_progress,
                                             const Verification& verification = {},
                                             const std::optional<TemporaryMapping>& mapping = {});

// The "wipe" request: guard, then wipe the stable path. Error: the client's text.
std::expected<void, std::string> handle_wipe(
    ToolRunner& runner, const guard::GuardContext& guard, std::string_view device, WipeMode mode,
    const ProgressCallback& on_progress, const Verification& verification = {},
    TemporaryMappingName naming = TemporaryMappingName::Shared);

}  // namespace tarnwick::wipe
