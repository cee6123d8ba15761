// SPDX-License-Identifier: MIT
// What the guard asks the kernel rather than `lsblk`: the drive's lock, which
// keeps two operations (and udev) off one drive, and whether anything holds
// a device exclusively.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <expected>
#include <string>
#include <thread>

#include "guard/guard.hpp"

namespace tarnwick::guard {
namespace {

using system::FileDescriptor;

// How long a drive whose lock is only shared (udev probing it) is waited for.
constexpr auto kSharedHolderWait = std::chrono::seconds(10);
constexpr auto kSharedHolderPoll = std::chrono::milliseconds(20);

// Opens a block device read-only. The path comes from a request, so it is
// first looked at without opening it: a character device may act on open
// (a watchdog starts counting) and a FIFO would block. Plain files pass for
// the tests' trees, where device nodes are files. The error is the errno of
// the failing call.
std::expected<FileDescriptor, int> open_device_node(const std::string& path, int extra_flags) {
  const FileDescriptor handle(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!handle.is_open()) {
    return std::unexpected(errno);
  }
  struct stat st{};
  if (::fstat(handle.get(), &st) != 0) {
    return std::unexpected(errno);
  }
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    return std::unexpected(ENOTBLK);
  }
  // Reopened through the handle, so the node examined is the node opened.
  const std::string reopen = "/proc/self/fd/" + std::to_string(handle.get());
  FileDescriptor fd(
      ::open(reopen.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extra_flags));
  if (!fd.is_open()) {
    return std::unexpected(errno);
  }
  return fd;
}

}  // namespace

DriveLock DriveLock::take(std::string_view drive_path) {
  auto fd = open_device_node(std::string(drive_path), 0);
  if (!fd) {
    return DriveLock{};
  }
  const auto give_up_at = std::chrono::steady_clock::now() + kSharedHolderWait;
  while (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return DriveLock{};
    }
    // udev holds a shared lock while it probes a drive, as it does right
    // after a tool wrote one (the previous request's format, say): that ends
    // by itself. Only an exclusive holder, another operation, is refused
    // at once.
    if (::flock(fd->get(), LOCK_SH | LOCK_NB) != 0 ||
        std::chrono::steady_clock::now() >= give_up_at) {
      return DriveLock{system::FileDescriptor{}, State::Busy};
    }
    (void)::flock(fd->get(), LOCK_UN);
    std::this_thread::sleep_for(kSharedHolderPoll);
  }
  return DriveLock{std::move(*fd), State::Held};
}

bool held_by_kernel(std::string_view device) {
  const auto probe = open_device_node(std::string(device), O_EXCL);
  return !probe && probe.error() == EBUSY;
}

}  // namespace tarnwick::guard
