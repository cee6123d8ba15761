// SPDX-License-Identifier: MIT
#include <signal.h>
#include <unistd.h>

#include "base/base.hpp"

namespace tarnwick::base {

ChildSetup::ChildSetup() {
  keep_first(::posix_spawn_file_actions_init(&actions_));
  keep_first(::posix_spawnattr_init(&attributes_));
  sigset_t every;
  sigset_t none;
  ::sigfillset(&every);
  ::sigemptyset(&none);
  keep_first(::posix_spawnattr_setsigdefault(&attributes_, &every));
  keep_first(::posix_spawnattr_setsigmask(&attributes_, &none));
  keep_first(
      ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
}

ChildSetup::~ChildSetup() {
  ::posix_spawn_file_actions_destroy(&actions_);
  ::posix_spawnattr_destroy(&attributes_);
}

void ChildSetup::dup2(int fd, int target) {
  keep_first(::posix_spawn_file_actions_adddup2(&actions_, fd, target));
}

void ChildSetup::open(int target, const char* path, int flags) {
  keep_first(::posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0));
}

void ChildSetup::close_others() {
  keep_first(::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1));
}

void ChildSetup::keep_first(int status) {
  if (status_ == 0) {
    status_ = status;
  }
}

}  // namespace tarnwick::base
