// SPDX-License-Identifier: MIT
#include <signal.h>
#include <unistd.h>

#include <array>
#include <iterator>
#include <vector>

#include "base/base.hpp"

namespace tarnwick::base {

// The tools search where the helper does.
static_assert(std::string_view(kToolEnvironment[0]).starts_with("PATH=") &&
              std::string_view(kToolEnvironment[0]).substr(5) == kToolSearchPath);

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

void ChildSetup::own_process_group() {
  keep_first(::posix_spawnattr_setpgroup(&attributes_, 0));
  short flags = 0;
  keep_first(::posix_spawnattr_getflags(&attributes_, &flags));
  keep_first(
      ::posix_spawnattr_setflags(&attributes_, static_cast<short>(flags | POSIX_SPAWN_SETPGROUP)));
}

int ChildSetup::spawn(pid_t& pid, const std::string& program, std::span<const std::string> args,
                      ChildEnvironment environment) const {
  if (status_ != 0) {
    return status_;
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::array<char*, std::size(kToolEnvironment) + 1> tool_environment{};
  for (std::size_t i = 0; i < std::size(kToolEnvironment); ++i) {
    tool_environment[i] = const_cast<char*>(kToolEnvironment[i]);
  }
  char* const* const envp =
      environment == ChildEnvironment::Tool ? tool_environment.data() : environ;
  return ::posix_spawnp(&pid, program.c_str(), &actions_, &attributes_, argv.data(), envp);
}

void ChildSetup::keep_first(int status) {
  if (status_ == 0) {
    status_ = status;
  }
}

}  // namespace tarnwick::base
