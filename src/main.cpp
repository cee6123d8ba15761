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
#include "runner/runner.hpp"
#include "service/service.hpp"
#include "stop/stop.hpp"
#include "system/system.hpp"

namespace {

constexpr char kRootRefusal[] = "tarnwick-drives-helper: must run as root (via pkexec)\n";
constexpr int kSignalExitBase = 128;

}  // namespace

int main() {
  using tarnwick::runner::kToolSearchPath;
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

  // SIGINT, SIGTERM and SIGHUP become a stop request read through a
  // descriptor: blocked here, before the fill can start a thread, so no
  // thread is ever interrupted by them.
  tarnwick::stop::StopSource stop;
  if (const int failed = stop.watch_signals(); failed != 0) {
    const char* const reason = ::strerror(failed);  // NOLINT(concurrency-mt-unsafe)
    (void)::fprintf(stderr, "tarnwick-drives-helper: cannot watch for signals: %s (os error %d)\n",
                    reason, failed);
    ::abort();
  }

  tarnwick::runner::SystemToolRunner runner(&stop);
  tarnwick::inventory::LsblkDriveLister drives;
  const tarnwick::system::SystemPaths paths;
  tarnwick::Session session{runner, drives, paths, {}, STDERR_FILENO, &stop};
  if (tarnwick::serve_requests(STDIN_FILENO, STDOUT_FILENO, session) ==
      tarnwick::SessionEnd::Stopped) {
    // As a shell reports a program ended by the signal, now that everything
    // the session opened is closed.
    const auto reason = stop.reason();
    return kSignalExitBase + (reason ? reason->signal_number : 0);
  }
  return 0;
}
