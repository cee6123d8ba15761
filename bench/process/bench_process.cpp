// SPDX-License-Identifier: MIT
// Whole-process benchmark: the helper against the bare tools it drives, on
// scratch loop drives inside the end-to-end sandbox (a private mount and pid
// namespace whose /dev holds only those drives). Root only.
//
//   tdh-bench-process [--wipe-mib N] [--wipe-rounds N] [--guard-rounds N]
//                     [--burst N] [--starts N] [--helper PATH]
//
// --helper measures another build of the helper (an older one, say) in the
// same sandbox.
//
// The same binary plays three parts, told apart by how it is started: the
// tool wrappers inside the sandbox (by argv[0], as the e2e test program
// does), the driver inside the sandbox ("--driver"), and this outer program,
// which builds the sandbox and prints the driver's report.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "driver.hpp"
#include "e2e/harness.hpp"
#include "e2e/wrappers.hpp"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// The sandbox's files, for a signal that ends us before the sandbox's
// destructor can run. The loop devices detach themselves (autoclear) and the
// namespace dies with its control pipe; only the files would stay.
// The harness keeps a lock file in the same folder while the sandbox lives.
char g_files[3][PATH_MAX];
char g_image_dir[PATH_MAX];

void on_signal(int signal_number) {
  for (const char* file : g_files) {
    if (file[0] != '\0') {
      ::unlink(file);
    }
  }
  if (g_image_dir[0] != '\0') {
    ::rmdir(g_image_dir);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void remember_for_signals(const std::string& image0, const std::string& image1) {
  const std::string dir = image0.substr(0, image0.rfind('/'));
  std::snprintf(g_files[0], sizeof g_files[0], "%s", image0.c_str());
  std::snprintf(g_files[1], sizeof g_files[1], "%s", image1.c_str());
  std::snprintf(g_files[2], sizeof g_files[2], "%s/lock", dir.c_str());
  std::snprintf(g_image_dir, sizeof g_image_dir, "%s", dir.c_str());
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

std::string first_line_with(const std::string& path, const std::string& key) {
  const auto text = tdh_e2e::try_read_file(path);
  if (!text) {
    return "unknown";
  }
  const std::size_t at = text->find(key);
  if (at == std::string::npos) {
    return "unknown";
  }
  const std::size_t colon = text->find(':', at);
  const std::size_t end = text->find('\n', at);
  return text->substr(colon + 2, end - colon - 2);
}

void print_machine() {
  utsname names{};
  ::uname(&names);
  std::printf("machine: %u CPUs (nproc), %s, kernel %s\n", std::thread::hardware_concurrency(),
              first_line_with("/proc/cpuinfo", "model name").c_str(), names.release);
  std::printf("load average at start: %s",
              tdh_e2e::try_read_file("/proc/loadavg").value_or("?\n").c_str());
}

int usage() {
  std::fputs(
      "usage: tdh-bench-process [--wipe-mib N] [--wipe-rounds N] [--guard-rounds N] [--burst N] "
      "[--starts N] [--helper PATH]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tdh_e2e::run_as_tool(argc, argv)) {
    return *status;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0) {
    try {
      return tdh_bench::run_driver(
          tdh_bench::parse_driver_arguments(std::vector<std::string>(argv + 2, argv + argc)));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "driver: %s\n", e.what());
      return 1;
    }
  }

  tdh_bench::DriverPlan plan;
  std::uint64_t wipe_mib = 1024;
  std::string helper = TDH_HELPER_BINARY;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      return usage();
    }
    if (option == "--helper") {
      helper = argv[++i];
      continue;
    }
    const long value = std::strtol(argv[++i], nullptr, 10);
    if (value <= 0) {
      return usage();
    }
    if (option == "--wipe-mib") {
      wipe_mib = static_cast<std::uint64_t>(value);
    } else if (option == "--wipe-rounds") {
      plan.wipe_rounds = static_cast<int>(value);
    } else if (option == "--guard-rounds") {
      plan.guard_rounds = static_cast<int>(value);
    } else if (option == "--burst") {
      plan.burst = static_cast<int>(value);
    } else if (option == "--starts") {
      plan.starts = static_cast<int>(value);
    } else {
      return usage();
    }
  }
  if (auto why = tdh_e2e::e2e_unavailable()) {
    std::fprintf(stderr, "tdh-bench-process: %s\n", why->c_str());
    return 1;
  }

  print_machine();
  try {
    using tdh_e2e::drive;
    // A fixed drive the guard always refuses, with a loop device over it as
    // the guard must follow, and the drive to wipe. Both start blank
    // (sparse): nothing reads their contents.
    tdh_e2e::Sandbox sandbox({drive("BENCHFIXED").size_mib(16).fixed().with_loop_over().blank(),
                              drive("BENCHWIPE").size_mib(wipe_mib).blank()});
    remember_for_signals(sandbox.drive(0).image, sandbox.drive(1).image);
    plan.helper = helper;
    if (::access(TDH_PLAIN_DELETE_HELPER, X_OK) == 0) {
      plan.plain_helper = TDH_PLAIN_DELETE_HELPER;
    }
    plan.refused_drive = sandbox.drive(0).path();
    plan.wipe_drive = sandbox.drive(1).path();
    plan.wipe_by_id = sandbox.drive(1).by_id;
    plan.wipe_bytes = wipe_mib * kMiB;
    std::printf("helper: %s\nscratch drives: %s (fixed, refused), %s (%llu MiB, wiped as %s)\n\n",
                plan.helper.c_str(), plan.refused_drive.c_str(), plan.wipe_drive.c_str(),
                static_cast<unsigned long long>(wipe_mib), plan.wipe_by_id.c_str());
    std::fflush(stdout);

    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
      throw std::runtime_error("readlink /proc/self/exe failed");
    }
    std::vector<std::string> command{std::string(self, static_cast<std::size_t>(n)), "--driver"};
    for (auto& argument : tdh_bench::driver_arguments(plan)) {
      command.push_back(std::move(argument));
    }
    const tdh_e2e::ProcessResult result = sandbox.run(command, {}, std::chrono::seconds(3600));
    std::fputs(result.out.c_str(), stdout);
    if (!result.err.empty()) {
      std::fprintf(stderr, "%s", result.err.c_str());
    }
    return result.exit_code == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tdh-bench-process: %s\n", e.what());
    return 1;
  }
}
