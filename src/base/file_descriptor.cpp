// SPDX-License-Identifier: MIT
#include "base/file_descriptor.hpp"

#include <unistd.h>

namespace tarnwick::base {

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace tarnwick::base
