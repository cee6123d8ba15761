// SPDX-License-Identifier: MIT
// The four wipe methods and the "wipe" request. Every tool runs through the
// runner; the only secret, the throw-away key of "encrypted-zero", lives in
// one wiping buffer until the open command's standard input carries it.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include "secure/secure_memory.hpp"
#include "system/system.hpp"
#include "text/text.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

constexpr std::string_view kTemporaryMapperName = "tarnwick_wipe_tmp";
constexpr std::string_view kTemporaryMapperDevice = "/dev/mapper/tarnwick_wipe_tmp";
// 512 bits for aes-xts-plain64: two 256-bit keys.
constexpr std::size_t kWipeKeyBytes = 64;

using system::FileDescriptor;

// Tools get the path as text; bytes that are not UTF-8 become U+FFFD.
std::string device_text(std::string_view device) {
  return text::is_valid_utf8(device) ? std::string(device) : text::decode_utf8_lossy(device);
}

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

ToolCommand open_mapping_command(const std::string& device, secure::SecretBytes key) {
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
      .arg(std::string(kTemporaryMapperName));
  command.set_stdin(std::move(key));
  return command;
}

ToolCommand close_mapping_command() {
  ToolCommand command("cryptsetup");
  command.arg("close").arg(std::string(kTemporaryMapperName));
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

std::expected<void, HelperError> encrypted_zero(ToolRunner& runner,
                                                const system::SystemPaths& paths,
                                                std::string_view device,
                                                const ProgressCallback& on_progress) {
  auto key = read_wipe_key(paths.dev_urandom);
  if (!key) {
    return std::unexpected(std::move(key.error()));
  }
  const std::string path = device_text(device);
  // The runner wipes the key whatever the outcome; a failed open made no
  // mapping, so there is nothing to close.
  if (auto opened = runner.run(open_mapping_command(path, std::move(*key))); !opened) {
    return std::unexpected(std::move(opened.error()));
  }
  // Progress and the end-of-device check measure the drive under the
  // mapping: the mapper device is the same size but counts separately.
  auto filled = without_output(fill_device(
      runner, paths, overwrite_command("/dev/zero", kTemporaryMapperDevice), device, on_progress));
  auto closed = without_output(runner.run(close_mapping_command()));
  if (!filled) {
    return filled;
  }
  return closed;
}

}  // namespace

std::expected<void, HelperError> wipe_device(ToolRunner& runner, const system::SystemPaths& paths,
                                             std::string_view device, WipeMode mode,
                                             const ProgressCallback& on_progress) {
  switch (mode) {
    case WipeMode::None:
      return {};
    case WipeMode::SecureDiscard:
      // No fallback: a drive that cannot discard securely must not be
      // reported as wiped by some weaker means.
      return without_output(runner.run(secure_discard_command(device_text(device))));
    case WipeMode::Random:
      return without_output(fill_device(runner, paths,
                                        overwrite_command("/dev/urandom", device_text(device)),
                                        device, on_progress));
    case WipeMode::EncryptedZero:
      return encrypted_zero(runner, paths, device, on_progress);
  }
  return std::unexpected(HelperError::io("unknown wipe mode"));
}

std::expected<void, std::string> handle_wipe(ToolRunner& runner, const guard::GuardContext& guard,
                                             std::string_view device, WipeMode mode,
                                             const ProgressCallback& on_progress) {
  auto target = guard::resolve_drive_target(guard, device);
  if (!target) {
    return std::unexpected(std::move(target.error()));
  }
  if (auto wiped = wipe_device(runner, guard.paths, *target, mode, on_progress); !wiped) {
    return std::unexpected(wiped.error().display());
  }
  return {};
}

}  // namespace tarnwick::wipe
