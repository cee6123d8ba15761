// SPDX-License-Identifier: MIT
// The least a refused request can cost in any helper that asks lsblk: a
// program that reads one request, starts the same lsblk with the same
// arguments and environment (posix_spawn, no shell), drains its output
// through a pipe, reaps it and writes one answer line. No checks, no
// decoding, no guard. scripts/bench-start.sh measures it beside the helper,
// so that the helper's figure reads against the floor of this machine.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  std::array<char, 65536> buffer{};
  if (::read(STDIN_FILENO, buffer.data(), buffer.size()) < 0) {
    return 1;
  }
  std::array<int, 2> out{-1, -1};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) {
    return 1;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  char* environment[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                         const_cast<char*>("LC_ALL=C.UTF-8"), nullptr};
  pid_t child = -1;
  // argv[1] is lsblk's path, the rest its arguments.
  if (::posix_spawn(&child, argv[1], &actions, nullptr, argv + 1, environment) != 0) {
    return 1;
  }
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  while (::read(out[0], buffer.data(), buffer.size()) > 0) {
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) {
    return 1;
  }
  constexpr char kAnswer[] = "{\"error\":\"refused\"}\n";
  return ::write(STDOUT_FILENO, kAnswer, sizeof kAnswer - 1) < 0 ? 1 : 0;
}
