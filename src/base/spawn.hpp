// SPDX-License-Identifier: MIT
// How every child of the helper, the client library and the command starts:
// with descriptors 0 to 2 only, every signal at its default disposition and
// none blocked, so nothing the starting process inherited or changed (an
// application's ignored SIGINT, its open files) reaches the child.
#pragma once

#include <spawn.h>

namespace tarnwick::base {

// Where the helper and every tool it starts look for programs.
inline constexpr char kToolSearchPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

// The whole environment of every system tool started. Nothing of the
// caller's reaches it, and tools speak English in UTF-8 whatever the
// desktop's locale: the end-of-device rule reads dd's words, and lsblk
// leaves non-ASCII labels and mount points unescaped.
inline constexpr const char* kToolEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                                   "LC_ALL=C.UTF-8"};

// posix_spawn's file actions and attributes, released with it. The
// attributes reset every signal and the mask; standard streams are placed
// with the calls below, and close_others() then drops every other
// descriptor. status() is the first failure (an errno value), or 0.
class ChildSetup {
 public:
  ChildSetup();
  ~ChildSetup();
  ChildSetup(const ChildSetup&) = delete;
  ChildSetup& operator=(const ChildSetup&) = delete;

  void dup2(int fd, int target);
  void open(int target, const char* path, int flags);
  void close_others();

  int status() const { return status_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  void keep_first(int status);

  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  int status_ = 0;
};

}  // namespace tarnwick::base
