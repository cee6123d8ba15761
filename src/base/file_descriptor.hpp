// SPDX-License-Identifier: MIT
// The one owner of a file descriptor, for the helper, the client library and
// the command alike.
#pragma once

#include <utility>

namespace tarnwick::base {

// Owns one file descriptor and closes it exactly once.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd_, -1));
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes the descriptor held now and takes `fd` instead.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace tarnwick::base
