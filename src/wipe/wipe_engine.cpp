// SPDX-License-Identifier: MIT
// The four wipe methods and the "wipe" request. Every tool runs through the
// runner; the only secret, the throw-away key of "encrypted-zero", lives in
// one wiping buffer until the open command's standard input carries it (with
// verification, until the read-back opens the mapping again).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "secure/secure_memory.hpp"
#include "system/system.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

constexpr std::string_view kSharedMapperName = "tarnwick_wipe_tmp";
constexpr std::string_view kMapperNamePrefix = "tarnwick_wipe_";
// 512 bits for aes-xts-plain64: two 256-bit keys.
constexpr std::size_t kWipeKeyBytes = 64;
// cmp's exit code for "the inputs differ"; 2 is trouble (a read error).
constexpr std::int32_t kCmpDiffer = 1;

using system::FileDescriptor;

// What a cancelled wipe leaves, as far as the helper knows it.
constexpr std::string_view kCancelled = "wipe cancelled: the drive is only partly wiped";
constexpr std::string_view kCancelledBeforeWriting = "wipe cancelled before anything was written";
constexpr std::string_view kCancelledWhileVerifying =
    "wipe cancelled during verification: the drive was written in full but not read back";

// The read-back's own texts beyond cmp's (see docs/verification.md).
constexpr std::string_view kReadCountUnreadable =
    "verification incomplete: the drive's read count cannot be read";
constexpr std::string_view kReopenFailed =
    "verification incomplete: the temporary mapping could not be opened again: ";

ToolCommand overwrite_command(std::string_view source, std::string_view target) {
  ToolCommand command("dd");
  command.arg("if=" + std::string(source))
      .arg("of=" + std::string(target))
      .arg("bs=4M")
      .arg("conv=fsync")
      .arg("status=none");
  return command;
}

ToolCommand secure_discard_command(const std::string& device) {
  ToolCommand command("blkdiscard");
  command.arg("--secure").arg(device);
  return command;
}

ToolCommand open_mapping_command(const TemporaryMapping& mapping, const std::string& device,
                                 secure::SecretBytes key) {
  ToolCommand command("cryptsetup");
  command.arg("open")
      .arg("--type")
      .arg("plain")
      .arg("--cipher")
      .arg("aes-xts-plain64")
      .arg("--key-size")
      .arg(std::to_string(kWipeKeyBytes * 8))
      .arg("--key-file")
      .arg("-")
      .arg(device)
      .arg(mapping.name);
  command.set_stdin(std::move(key));
  return command;
}

// cmp answers 1 when the inputs differ: that is a result, not a failure.
ToolCommand compare_with_zeros_command(const TemporaryMapping& mapping, std::uint64_t size) {
  ToolCommand command("cmp");
  command.arg("-n").arg(std::to_string(size)).arg(mapping.device()).arg("/dev/zero");
  command.answer_exit_codes = {kCmpDiffer};
  return command;
}

// Must finish even when the wipe was stopped: the mapping would otherwise
// outlive the helper and block the next "encrypted-zero".
ToolCommand close_mapping_command(const TemporaryMapping& mapping) {
  ToolCommand command("cryptsetup");
  command.arg("close").arg(mapping.name).finish_despite_stop();
  return command;
}

// Exactly kWipeKeyBytes from the random source, or an error; a short source
// is an error, never a shorter key.
std::expected<secure::SecretBytes, HelperError> read_wipe_key(const std::string& source) {
  const FileDescriptor fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::unexpected(HelperError::io_errno(errno));
  }
  // Sized once up front so the key never moves to a second block.
  secure::SecretBytes key(kWipeKeyBytes, 0);
  std::size_t filled = 0;
  while (filled < key.size()) {
    const ssize_t n = ::read(fd.get(), key.data() + filled, key.size() - filled);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(HelperError::io_errno(errno));
    }
    if (n == 0) {
      return std::unexpected(HelperError::io("failed to fill whole buffer"));
    }
    filled += static_cast<std::size_t>(n);
  }
  return key;
}

std::expected<void, HelperError> without_output(std::expected<ToolOutput, HelperError> outcome) {
  if (!outcome) {
    return std::unexpected(std::move(outcome.error()));
  }
  return {};
}

// The temporary mapping's name is the same in every helper process (for a
// wipe in the background, in every wipe of that drive), so a second
// "encrypted-zero" wipe under that name must wait for the first. A lock
// on a fixed file under /run (root's alone, emptied at boot, never removed:
// removing a lock file races with its next user) tells the second one at
// once. Should the file be unusable the wipe goes on: cryptsetup still
// refuses a name that is taken, only with its own words.
std::expected<FileDescriptor, HelperError> lock_temporary_mapping(const TemporaryMapping& mapping) {
  FileDescriptor fd(::open(mapping.lock_file.c_str(),
                           O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!fd.is_open()) {
    return FileDescriptor{};
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno == EWOULDBLOCK) {
      return std::unexpected(HelperError::refused("another encrypted-zero wipe is running (" +
                                                  mapping.name + " is in use)"));
    }
    return FileDescriptor{};
  }
  return fd;
}

// The offset of the first differing byte in cmp's report, which it prints
// as "A B differ: byte N, line L" (N counted from 1; "char" instead of
// "byte" in its POSIX mode). The tools run with LC_ALL=C.UTF-8, so the
// report is in English; only the first number after "differ:" is read.
std::optional<std::uint64_t> first_difference(std::string_view report) {
  const std::size_t marker = report.find("differ:");
  if (marker == std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t digits = report.find_first_of("0123456789", marker);
  if (digits == std::string_view::npos) {
    return std::nullopt;
  }
  std::uint64_t position = 0;
  const char* const begin = report.data() + digits;
  const auto [end, error] = std::from_chars(begin, report.data() + report.size(), position);
  if (error != std::errc{} || position == 0) {
    return std::nullopt;
  }
  return position - 1;
}

// Reads the whole mapping back and compares it with zeros. Every sector
// decrypts to zeros only if the drive stored, at that very sector, the
// ciphertext written for it; and only bytes the drive was asked for count:
// `baseline` is the drive's read count from before the mapping was opened.
std::expected<void, HelperError> verify_mapping(ToolRunner& runner,
                                                const system::SystemPaths& paths,
                                                const TemporaryMapping& temporary,
                                                std::string_view device, std::uint64_t baseline,
                                                std::uint64_t copied,
                                                const Verification& verification) {
  const std::string mapping = system::join_path(paths.dev_mapper, temporary.name);
  const auto size = block_device_size(paths, mapping);
  if (!size) {
    return std::unexpected(HelperError::failed("verification failed: the size of " +
                                               temporary.device() + " cannot be read"));
  }
  // Reads are measured on the drive, as the writes were. The last poll,
  // made after cmp ended, is the figure the verdict and the client see;
  // one that cannot be read leaves no figure at all.
  std::optional<std::uint64_t> bytes_read;
  auto compared = run_monitored(runner, compare_with_zeros_command(temporary, *size), [&] {
    const auto read = device_bytes_read(paths, device);
    if (!read) {
      bytes_read.reset();
      return;
    }
    bytes_read = *read >= baseline ? *read - baseline : 0;
    if (verification.on_progress) {
      // Shown as the bytes of the mapping the drive answered for: sectors
      // that udev's probe and cmp both read count once, so a drive read
      // back in full ends at exactly its size.
      verification.on_progress(copied, std::min(*bytes_read, *size));
    }
  });
  if (!compared) {
    return std::unexpected(std::move(compared.error()));
  }
  if (compared->exit_code != 0) {
    if (const auto offset = first_difference(compared->stdout_bytes)) {
      return std::unexpected(HelperError::failed(
          "verification failed: the drive returned different data at byte offset " +
          std::to_string(*offset)));
    }
    // Exit 1 without a difference: cmp met the end of the mapping early.
    return std::unexpected(HelperError{HelperError::CommandFailed{
        compare_with_zeros_command(temporary, *size).command_text(),
        text::decode_utf8_lossy(compared->stderr_bytes), compared->exit_code}});
  }
  return read_back_complete(bytes_read, *size);
}

// After the fill: the filled mapping is closed, and with it goes every page
// of the fill it cached; the same key opens a new mapping, whose cache is
// empty, so whatever cmp reads the drive must deliver now. The key is
// wiped by the runner with the reopen's standard input, or here when the
// read-back ends before it.
std::expected<void, HelperError> read_back(ToolRunner& runner, const system::SystemPaths& paths,
                                           const TemporaryMapping& mapping, std::string_view device,
                                           const std::string& path, secure::SecretBytes key,
                                           std::uint64_t copied, const Verification& verification) {
  if (auto closed = without_output(runner.run(close_mapping_command(mapping))); !closed) {
    return closed;
  }
  // Counted from before the new mapping exists: udev's probe of it reads
  // the drive too, and its pages are then cmp's.
  const auto baseline = device_bytes_read(paths, device);
  if (!baseline) {
    return std::unexpected(HelperError::failed(std::string(kReadCountUnreadable)));
  }
  if (auto reopened = runner.run(open_mapping_command(mapping, path, std::move(key))); !reopened) {
    if (std::holds_alternative<HelperError::Stopped>(reopened.error().value)) {
      // As for the first open: it may have made the mapping before it ended.
      (void)runner.run(close_mapping_command(mapping));
      return std::unexpected(std::move(reopened.error()));
    }
    return std::unexpected(
        HelperError::failed(std::string(kReopenFailed) + reopened.error().display()));
  }
  auto verified = verify_mapping(runner, paths, mapping, device, *baseline, copied, verification);
  auto closed = without_output(runner.run(close_mapping_command(mapping)));
  if (!verified) {
    return verified;
  }
  return closed;
}

std::expected<void, HelperError> encrypted_zero(ToolRunner& runner,
                                                const system::SystemPaths& paths,
                                                std::string_view device,
                                                const ProgressCallback& on_progress,
                                                const Verification& verification,
                                                const TemporaryMapping& mapping) {
  // Held until the mapping is closed again.
  const auto mapping_lock = lock_temporary_mapping(mapping);
  if (!mapping_lock) {
    return std::unexpected(mapping_lock.error());
  }
  auto key = read_wipe_key(paths.dev_urandom);
  if (!key) {
    return std::unexpected(std::move(key.error()));
  }
  // A verified wipe opens the mapping twice with the same key: the open
  // gets a copy and the key waits, in its wiping buffer, for the read-back
  // (the kernel holds it meanwhile anyway). Without verification the open
  // takes the key itself, as always.
  secure::SecretBytes kept;
  secure::SecretBytes first_key;
  if (verification.requested) {
    first_key.assign(key->begin(), key->end());
    kept = std::move(*key);
  } else {
    first_key = std::move(*key);
  }
  // Tools get the path as text; bytes that are not UTF-8 become U+FFFD.
  const std::string path = text::decode_utf8_lossy(device);
  // The runner wipes the key whatever the outcome; a failed open made no
  // mapping, so there is nothing to close.
  if (auto opened = runner.run(open_mapping_command(mapping, path, std::move(first_key)));
      !opened) {
    if (std::holds_alternative<HelperError::Stopped>(opened.error().value)) {
      // Ended part-way, it may have made the mapping before its exit; the
      // name is ours while the lock is held, so closing it harms nothing.
      (void)runner.run(close_mapping_command(mapping));
    }
    if (opened.error().cancelled()) {
      return std::unexpected(HelperError::failed(std::string(kCancelledBeforeWriting)));
    }
    return std::unexpected(std::move(opened.error()));
  }
  // Progress and the end-of-device check measure the drive under the
  // mapping: the mapper device is the same size but counts separately.
  std::uint64_t copied = 0;
  const ProgressCallback counted = [&](std::uint64_t now) {
    copied = now;
    if (on_progress) {
      on_progress(now);
    }
  };
  auto filled = without_output(fill_device(
      runner, paths, overwrite_command("/dev/zero", mapping.device()), device, counted));
  if (!filled || !verification.requested) {
    auto closed = without_output(runner.run(close_mapping_command(mapping)));
    return filled ? closed : filled;
  }
  auto verified =
      read_back(runner, paths, mapping, device, path, std::move(kept), copied, verification);
  if (!verified && verified.error().cancelled()) {
    return std::unexpected(HelperError::failed(std::string(kCancelledWhileVerifying)));
  }
  return verified;
}

}  // namespace

TemporaryMapping TemporaryMapping::shared(const system::SystemPaths& paths) {
  return TemporaryMapping{std::string(kSharedMapperName), paths.wipe_mapping_lock};
}

TemporaryMapping TemporaryMapping::for_drive(const system::SystemPaths& paths,
                                             std::string_view kernel_name) {
  std::string name = std::string(kMapperNamePrefix) + std::string(kernel_name);
  // Beside the shared lock file, named as the mapping is.
  std::string lock_file = system::join_path(
      std::filesystem::path(paths.wipe_mapping_lock).parent_path().string(), name + ".lock");
  return TemporaryMapping{std::move(name), std::move(lock_file)};
}

std::expected<void, HelperError> read_back_complete(std::optional<std::uint64_t> bytes_read,
                                                    std::uint64_t size) {
  if (!bytes_read) {
    return std::unexpected(HelperError::failed(std::string(kReadCountUnreadable)));
  }
  // No tolerance: "verified" is a promise about every sector.
  if (*bytes_read < size) {
    return std::unexpected(HelperError::failed(
        "verification incomplete: only " + std::to_string(*bytes_read) + " of " +
        std::to_string(size) + " bytes were read back from the drive"));
  }
  return {};
}

std::expected<void, HelperError> wipe_device(ToolRunner& runner, const system::SystemPaths& paths,
                                             std::string_view device, WipeMode mode,
                                             const ProgressCallback& on_progress,
                                             const Verification& verification,
                                             const std::optional<TemporaryMapping>& mapping) {
  if (verification.requested && mode != WipeMode::EncryptedZero) {
    return std::unexpected(HelperError::failed(std::string(kVerifyNeedsEncryptedZero)));
  }
  switch (mode) {
    case WipeMode::None:
      return {};
    case WipeMode::SecureDiscard:
      // No fallback: a drive that cannot discard securely must not be
      // reported as wiped by some weaker means.
      return without_output(runner.run(secure_discard_command(text::decode_utf8_lossy(device))));
    case WipeMode::Random:
      return without_output(fill_device(
          runner, paths, overwrite_command("/dev/urandom", text::decode_utf8_lossy(device)), device,
          on_progress));
    case WipeMode::EncryptedZero:
      return encrypted_zero(runner, paths, device, on_progress, verification,
                            mapping ? *mapping : TemporaryMapping::shared(paths));
  }
  return std::unexpected(HelperError::io("unknown wipe mode"));
}

std::expected<void, std::string> handle_wipe(ToolRunner& runner, const guard::GuardContext& guard,
                                             std::string_view device, WipeMode mode,
                                             const ProgressCallback& on_progress,
                                             const Verification& verification,
                                             TemporaryMappingName naming) {
  // A request that cannot be carried out as asked is refused before the
  // drive is even looked at.
  if (verification.requested && mode != WipeMode::EncryptedZero) {
    return std::unexpected(std::string(kVerifyNeedsEncryptedZero));
  }
  // The drive stays locked until the request is answered.
  auto target = guard::resolve_drive_target(guard, device);
  if (!target) {
    return std::unexpected(std::move(target.error()));
  }
  // A cancel that came with the request, or while the guard looked.
  if (runner.cancel_requested()) {
    return std::unexpected(std::string(kCancelledBeforeWriting));
  }
  std::optional<TemporaryMapping> mapping;
  if (naming == TemporaryMappingName::PerDrive) {
    // The drive's kernel name: what the lock keeps to this one wipe.
    mapping = TemporaryMapping::for_drive(
        guard.paths, std::filesystem::path(target->drive_path).filename().string());
  }
  if (auto wiped = wipe_device(runner, guard.paths, target->stable_path, mode, on_progress,
                               verification, mapping);
      !wiped) {
    if (wiped.error().cancelled()) {
      return std::unexpected(std::string(kCancelled));
    }
    return std::unexpected(wiped.error().display());
  }
  return {};
}

}  // namespace tarnwick::wipe
