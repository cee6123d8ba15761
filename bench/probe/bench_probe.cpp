// SPDX-License-Identifier: MIT
// The capacity probe's time against the drive's size: the real helper
// probes blank scratch loop drives of growing size inside the end-to-end
// sandbox (a private mount and pid namespace whose /dev holds only those
// drives). Root only.
//
//   tdh-bench-probe [--rounds N] [--largest-mib N]
//
// Sizes from 64 MiB up to --largest-mib (4096), each four times the last.
// Every dd the helper runs goes through the sandbox's logging wrapper, so
// the figures are upper bounds of the helper's own cost; the wrapper's
// share is measured too, by timing bare runs of one probe-sized dd.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "e2e/wrappers.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int usage() {
  std::fprintf(stderr, "usage: tdh-bench-probe [--rounds N] [--largest-mib N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tdh_e2e::run_as_tool(argc, argv)) {
    return *status;
  }
  int rounds = 5;
  std::uint64_t largest_mib = 4096;
  for (int i = 1; i + 1 < argc; i += 2) {
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (value <= 0) {
      return usage();
    }
    if (std::strcmp(argv[i], "--rounds") == 0) {
      rounds = static_cast<int>(value);
    } else if (std::strcmp(argv[i], "--largest-mib") == 0) {
      largest_mib = static_cast<std::uint64_t>(value);
    } else {
      return usage();
    }
  }
  if (argc % 2 == 0) {
    return usage();
  }
  if (auto why = tdh_e2e::e2e_unavailable()) {
    std::fprintf(stderr, "tdh-bench-probe: %s\n", why->c_str());
    return 1;
  }
  try {
    using tdh_e2e::drive;
    std::vector<tdh_e2e::DriveSpec> specs;
    for (std::uint64_t mib = 64; mib <= largest_mib; mib *= 4) {
      specs.push_back(drive("BENCHPROBE" + std::to_string(mib)).size_mib(mib).blank());
    }
    const tdh_e2e::Sandbox sandbox(specs);
    std::printf("| drive | positions | dd runs | probe, median of %d (min to max) |\n", rounds);
    std::printf("|---|---|---|---|\n");
    for (std::size_t d = 0; d < specs.size(); ++d) {
      const auto& target = sandbox.drive(d);
      std::vector<double> seconds;
      std::uint64_t positions = 0;
      for (int round = 0; round < rounds; ++round) {
        auto helper = sandbox.start_helper();
        const auto started = Clock::now();
        const auto lines = helper->request(
            "{\"op\":\"probe\",\"device\":\"" + target.path() + "\"}", std::chrono::seconds(600));
        seconds.push_back(std::chrono::duration<double>(Clock::now() - started).count());
        if (lines.size() < 2 || lines.back() != "{\"ok\":true}") {
          throw std::runtime_error("probe failed: " + lines.back());
        }
        positions = nlohmann::json::parse(lines[lines.size() - 2])
                        .at("probe")
                        .at("positions")
                        .get<std::uint64_t>();
        (void)helper->finish();
      }
      std::printf("| %llu MiB | %llu | %llu | %.2f s (%.2f to %.2f) |\n",
                  static_cast<unsigned long long>(target.size() >> 20),
                  static_cast<unsigned long long>(positions),
                  static_cast<unsigned long long>(positions * 5), median(seconds),
                  *std::min_element(seconds.begin(), seconds.end()),
                  *std::max_element(seconds.begin(), seconds.end()));
      std::fflush(stdout);
    }
    // The same read the probe makes, through the wrapper, one at a time.
    const auto& last = sandbox.drive(specs.size() - 1);
    constexpr int kBareRuns = 100;
    const auto started = Clock::now();
    for (int i = 0; i < kBareRuns; ++i) {
      sandbox.run_ok({"dd", "if=" + last.by_id, "bs=4096", "skip=" + std::to_string(i * 997),
                      "count=1", "iflag=direct", "status=none"});
    }
    std::printf("\none 4 KiB direct dd read through the wrapper, started from outside: %.1f ms\n",
                1000.0 * std::chrono::duration<double>(Clock::now() - started).count() / kBareRuns);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tdh-bench-probe: %s\n", e.what());
    return 1;
  }
}
