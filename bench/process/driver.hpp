// SPDX-License-Identifier: MIT
// The part of the whole-process benchmark that runs inside the sandbox: it
// starts the helper and the bare tools the same way (posix_spawnp, pipes,
// waitpid), interleaves their runs so that load from elsewhere hits both
// alike, and prints the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tdh_bench {

struct DriverPlan {
  std::string helper;         // the helper binary
  std::string plain_helper;   // the same with the ordinary operator delete, or empty
  std::string refused_drive;  // a fixed drive: every guarded request is refused
  std::string wipe_drive;     // the scratch drive to wipe, as the client names it
  std::string wipe_by_id;     // its stable link, as the helper hands it to dd
  std::uint64_t wipe_bytes = 0;
  int wipe_rounds = 5;
  int guard_rounds = 40;
  int burst = 100'000;
  int starts = 40;
};

// As "key=value" arguments, and back.
std::vector<std::string> driver_arguments(const DriverPlan& plan);
DriverPlan parse_driver_arguments(const std::vector<std::string>& arguments);

// Runs every measurement and prints the report; 0 on success.
int run_driver(const DriverPlan& plan);

}  // namespace tdh_bench
