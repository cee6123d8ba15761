// SPDX-License-Identifier: MIT
// Process entry: refuse to run without root, fix the tool search path, then
// serve the client on standard input and output until it is done.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "inventory/inventory.hpp"
#include "request_loop.hpp"
#include "runner/runner.hpp"
#include "system/system.hpp"

namespace {

constexpr char kRootRefusal[] = "tarnwick-drives-helper: must run as root (via pkexec)\n";
constexpr char kToolSearchPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

}  // namespace

int main() {
  if (::geteuid() != 0) {
    // Nothing else happens: no input is read and nothing goes to standard output.
    [[maybe_unused]] const ssize_t ignored =
        ::write(STDERR_FILENO, kRootRefusal, sizeof kRootRefusal - 1);
    return 2;
  }
  // No other thread exists yet: the environment and strerror's buffer are ours alone.
  if (::setenv("PATH", kToolSearchPath, 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
    const int error_number = errno;
    const char* const reason = ::strerror(error_number);  // NOLINT(concurrency-mt-unsafe)
    (void)::fprintf(stderr, "tarnwick-drives-helper: cannot set PATH to %s: %s (os error %d)\n",
                    kToolSearchPath, reason, error_number);
    ::abort();
  }
  // A client that stops reading must not kill us: writes then simply fail.
  (void)::signal(SIGPIPE, SIG_IGN);

  tarnwick::runner::SystemToolRunner runner;
  tarnwick::inventory::LsblkDriveLister drives;
  const tarnwick::system::SystemPaths paths;
  tarnwick::Session session{runner, drives, paths, {}, STDERR_FILENO};
  tarnwick::serve_requests(STDIN_FILENO, STDOUT_FILENO, session);
  return 0;
}
