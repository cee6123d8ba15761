// SPDX-License-Identifier: MIT
#include <unistd.h>

#include "base/base.hpp"

namespace tarnwick::base {

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace tarnwick::base
