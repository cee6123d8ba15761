// SPDX-License-Identifier: MIT
// What the helper, the client library and the command share, compiled once
// as objects that the helper's modules and the installed client archive both
// take in (the archive links nothing of the helper's): the text rules both
// sides must apply alike, the owner of a file descriptor, `Overloaded`, and
// how every child starts.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick::base {

// --- text ------------------------------------------------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated or stray bytes.
bool is_valid_utf8(std::string_view bytes) noexcept;

// Appends `text` as a JSON string literal: `"` and `\` escaped by a
// backslash, the five short control escapes, \u00xx for the other control
// characters, and every other byte (U+007F and "/" included) as it is.
void append_json_string(std::string& out, std::string_view text);

// The bytes append_json_string writes for `text`, quotes included.
std::size_t json_string_size(std::string_view text) noexcept;

// --- descriptors and visitors ----------------------------------------------------

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

// One visitor from several lambdas, for std::visit.
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

// --- children --------------------------------------------------------------------
// Every child of the helper, the client library and the command starts with
// descriptors 0 to 2 only, every signal at its default disposition and none
// blocked, so nothing the starting process inherited or changed (an
// application's ignored SIGINT, the helper's blocked stop signals, open
// files) reaches the child.

// Where the helper and every tool it starts look for programs.
inline constexpr char kToolSearchPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

// The whole environment of every system tool started. Nothing of the
// caller's reaches it, and tools speak English in UTF-8 whatever the
// desktop's locale: the end-of-device rule reads dd's words, and lsblk
// leaves non-ASCII labels and mount points unescaped.
inline constexpr const char* kToolEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                                   "LC_ALL=C.UTF-8"};

// What a started child's environment is.
enum class ChildEnvironment {
  Tool,     // kToolEnvironment: a system tool
  Inherit,  // the starting process's own (pkexec needs the desktop's)
};

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
  // The child leads a process group of its own, out of reach of the
  // terminal's signals to ours.
  void own_process_group();

  int status() const { return status_; }

  // Starts `program`, searched in the caller's PATH (no shell), with `args`
  // after it. 0 and the child's id in `pid`, or the first failure of the
  // set-up or of the start, as an errno value.
  int spawn(pid_t& pid, const std::string& program, std::span<const std::string> args,
            ChildEnvironment environment) const;

 private:
  void keep_first(int status);

  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  int status_ = 0;
};

}  // namespace tarnwick::base
