// SPDX-License-Identifier: MIT
// Many drives in one session: scratch loop drives inside the end-to-end
// sandbox, each held to the same write speed by the block layer's throttle,
// wiped by the real helper alone, one after another in one session (wipes
// without id), all at once in one session (id'd wipes) and, as the machine's
// own floor for running them side by side, in one session each. Root only;
// scripts/bench-many.sh makes the cgroup and removes it.
//
//   tdh-bench-many --cgroup DIR [--drives N] [--mib N] [--mib-per-s N]
//                  [--rounds N] [--modes random,encrypted-zero]
//
// DIR is an empty cgroup (v2 with io.max, or v1 blkio): this program writes
// each scratch drive's write limit there and moves itself in, so that every
// helper it starts, and every dd the helper starts, is held to it.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "e2e/harness.hpp"
#include "e2e/wrappers.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tdh_e2e::HelperSession;
using tdh_e2e::Sandbox;
constexpr auto kLineTimeout = std::chrono::seconds(900);
// The whole job may take at most this many times one drive alone.
constexpr double kTarget = 1.15;

struct Options {
  std::string cgroup;
  std::size_t drives = 4;
  std::uint64_t mib = 160;
  std::uint64_t mib_per_s = 24;
  int rounds = 3;
  std::vector<std::string> modes{"random", "encrypted-zero"};
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write '" + text + "' to " + path);
  }
}

// Holds every scratch drive to `bytes_per_s` of writes, then moves this
// process into the cgroup: children inherit it.
void throttle(const Options& options, const Sandbox& sandbox) {
  const bool v2 = ::access((options.cgroup + "/io.max").c_str(), F_OK) == 0;
  const std::uint64_t bytes_per_s = options.mib_per_s << 20;
  for (std::size_t i = 0; i < options.drives; ++i) {
    const dev_t dev = sandbox.drive(i).loop->dev();
    const std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (v2) {
      write_file(options.cgroup + "/io.max", device + " wbps=" + std::to_string(bytes_per_s));
    } else {
      write_file(options.cgroup + "/blkio.throttle.write_bps_device",
                 device + " " + std::to_string(bytes_per_s));
    }
  }
  write_file(options.cgroup + "/cgroup.procs", std::to_string(::getpid()));
  std::printf("throttle: %s, %llu MiB/s of writes on each drive\n",
              v2 ? "cgroup v2 io.max" : "cgroup v1 blkio.throttle.write_bps_device",
              static_cast<unsigned long long>(options.mib_per_s));
}

std::string wipe_request(const std::string& device, const std::string& mode,
                         const std::string& id) {
  std::string line = "{\"op\":\"wipe\",\"device\":" + tdh_e2e::json_string(device) +
                     ",\"mode\":" + tdh_e2e::json_string(mode);
  if (!id.empty()) {
    line += ",\"id\":" + tdh_e2e::json_string(id);
  }
  return line + "}";
}

// Reads up to the wipe's final answer (a wipe without id).
void expect_ok(HelperSession& helper, const std::string& what) {
  for (;;) {
    const std::string line = helper.next_line(kLineTimeout);
    if (line.rfind("{\"progress\"", 0) == 0) {
      continue;
    }
    if (line != "{\"ok\":true}") {
      throw std::runtime_error(what + ": " + line);
    }
    return;
  }
}

double one_alone(const Sandbox& sandbox, std::size_t drive, const std::string& mode) {
  auto helper = sandbox.start_helper();
  const auto start = Clock::now();
  helper->send(wipe_request(sandbox.drive(drive).path(), mode, {}));
  expect_ok(*helper, "one drive alone");
  const double took = seconds_since(start);
  (void)helper->finish();
  return took;
}

double one_after_another(const Sandbox& sandbox, std::size_t drives, const std::string& mode) {
  auto helper = sandbox.start_helper();
  const auto start = Clock::now();
  for (std::size_t i = 0; i < drives; ++i) {
    helper->send(wipe_request(sandbox.drive(i).path(), mode, {}));
    expect_ok(*helper, "one after another");
  }
  const double took = seconds_since(start);
  (void)helper->finish();
  return took;
}

// Reads lines of id'd wipes until every wipe in `running` has answered ok;
// every line must name a running wipe, first. Returns when the last of them
// sent its first progress line.
Clock::time_point expect_ids_ok(HelperSession& helper, std::set<std::string> running,
                                const std::string& what) {
  std::set<std::string> silent = running;
  Clock::time_point last_started{};
  while (!running.empty()) {
    const std::string line = helper.next_line(kLineTimeout);
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (line.rfind("{\"id\":", 0) != 0 || !parsed.is_object() || !parsed.at("id").is_string()) {
      throw std::runtime_error(what + ": a line without id first: " + line);
    }
    const std::string id = parsed.at("id").get<std::string>();
    if (running.count(id) == 0) {
      throw std::runtime_error(what + ": a line of no running wipe: " + line);
    }
    if (parsed.contains("progress")) {
      if (silent.erase(id) == 1) {
        last_started = Clock::now();
      }
      continue;
    }
    if (line != "{\"id\":" + tdh_e2e::json_string(id) + ",\"ok\":true}") {
      throw std::runtime_error(what + ": " + line);
    }
    running.erase(id);
  }
  return last_started;
}

std::string id_of(std::size_t drive) { return "drive" + std::to_string(drive); }

// The whole job's time, and when the last wipe showed its first progress.
std::pair<double, double> at_once(const Sandbox& sandbox, std::size_t drives,
                                  const std::string& mode) {
  auto helper = sandbox.start_helper();
  const auto start = Clock::now();
  std::set<std::string> running;
  for (std::size_t i = 0; i < drives; ++i) {
    helper->send(wipe_request(sandbox.drive(i).path(), mode, id_of(i)));
    running.insert(id_of(i));
  }
  const auto last_started = expect_ids_ok(*helper, running, "at once");
  const double took = seconds_since(start);
  (void)helper->finish();
  return {took, std::chrono::duration<double>(last_started - start).count()};
}

// One helper per drive, started together: what running the wipes side by
// side costs on this machine without the session's part in it. Each wipe
// is id'd all the same, for a temporary mapping of its own.
double sessions(const Sandbox& sandbox, std::size_t drives, const std::string& mode) {
  std::vector<std::unique_ptr<HelperSession>> helpers;
  for (std::size_t i = 0; i < drives; ++i) {
    helpers.push_back(sandbox.start_helper());
  }
  const auto start = Clock::now();
  for (std::size_t i = 0; i < drives; ++i) {
    helpers[i]->send(wipe_request(sandbox.drive(i).path(), mode, id_of(i)));
  }
  for (std::size_t i = 0; i < drives; ++i) {
    expect_ids_ok(*helpers[i], {id_of(i)}, "one session each");
  }
  const double took = seconds_since(start);
  for (auto& helper : helpers) {
    (void)helper->finish();
  }
  return took;
}

// One throttled dd as the helper runs it: the throttle must hold before any
// figure means anything.
void check_throttle(const Options& options, const Sandbox& sandbox) {
  const auto start = Clock::now();
  sandbox.run_ok({"dd", "if=/dev/zero", "of=" + sandbox.drive(0).path(), "bs=4M",
                  "count=" + std::to_string(options.mib / 4), "conv=fsync", "status=none"});
  const double took = seconds_since(start);
  const double rate = static_cast<double>(options.mib / 4 * 4) / took;
  std::printf("one throttled dd of zeros: %llu MiB in %.2f s, %.1f MiB/s (limit %llu)\n",
              static_cast<unsigned long long>(options.mib / 4 * 4), took, rate,
              static_cast<unsigned long long>(options.mib_per_s));
  if (rate > 1.1 * static_cast<double>(options.mib_per_s)) {
    throw std::runtime_error("the throttle does not hold on these loop devices");
  }
}

struct Figures {
  std::vector<double> one, sequential, together, together_started, separate;
};

void print_row(const char* what, const std::vector<double>& values, double one) {
  if (values.empty()) {
    std::printf("| %s | not measured | |\n", what);
    return;
  }
  std::printf("| %s | %.2f s (%.2f to %.2f) | %.2fx |\n", what, median(values),
              *std::min_element(values.begin(), values.end()),
              *std::max_element(values.begin(), values.end()), median(values) / one);
}

// A run faster than the throttle allows wrote past it (writeback issued
// outside the cgroup, say): it says nothing of the session, so it is shown
// and left out of the figures.
void drop_unthrottled(std::vector<double>& values, double least, const char* what) {
  for (auto it = values.begin(); it != values.end();) {
    if (*it < least) {
      std::printf("left out: %s took %.2f s, less than the throttle allows (%.2f s)\n", what, *it,
                  least);
      it = values.erase(it);
    } else {
      ++it;
    }
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: tdh-bench-many --cgroup DIR [--drives N] [--mib N] [--mib-per-s N] "
               "[--rounds N] [--modes random,encrypted-zero]\n");
  return 2;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--cgroup") {
      options.cgroup = value;
      continue;
    }
    if (name == "--modes") {
      options.modes.clear();
      for (std::size_t from = 0; from <= value.size();) {
        const std::size_t comma = std::min(value.find(',', from), value.size());
        options.modes.push_back(value.substr(from, comma - from));
        from = comma + 1;
      }
      continue;
    }
    const long number = std::strtol(value.c_str(), nullptr, 10);
    if (number <= 0) {
      return false;
    }
    if (name == "--drives") {
      options.drives = static_cast<std::size_t>(number);
    } else if (name == "--mib") {
      options.mib = static_cast<std::uint64_t>(number);
    } else if (name == "--mib-per-s") {
      options.mib_per_s = static_cast<std::uint64_t>(number);
    } else if (name == "--rounds") {
      options.rounds = static_cast<int>(number);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options.cgroup.empty() && options.mib >= 8;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tdh_e2e::run_as_tool(argc, argv)) {
    return *status;
  }
  Options options;
  if (!parse(argc, argv, options)) {
    return usage();
  }
  if (auto why = tdh_e2e::e2e_unavailable()) {
    std::fprintf(stderr, "tdh-bench-many: %s\n", why->c_str());
    return 1;
  }
  try {
    std::vector<tdh_e2e::DriveSpec> specs;
    for (std::size_t i = 0; i < options.drives; ++i) {
      // Images on a tmpfs each: the throttle alone sets a drive's speed, not
      // the system disk that the loop devices' flushes would share.
      specs.push_back(tdh_e2e::drive("BENCHMANY" + std::to_string(i))
                          .size_mib(options.mib)
                          .on_tmpfs_mib(options.mib + 1));
    }
    const Sandbox sandbox(specs);
    throttle(options, sandbox);
    check_throttle(options, sandbox);
    std::fflush(stdout);
    int failures = 0;
    for (const auto& mode : options.modes) {
      Figures figures;
      std::string at_once_failure;
      // Interleaved, so that load from elsewhere hits every way alike.
      for (int round = 0; round < options.rounds; ++round) {
        const auto drive = static_cast<std::size_t>(round) % options.drives;
        figures.one.push_back(one_alone(sandbox, drive, mode));
        figures.sequential.push_back(one_after_another(sandbox, options.drives, mode));
        if (at_once_failure.empty()) {
          try {
            const auto [took, last_started] = at_once(sandbox, options.drives, mode);
            figures.together.push_back(took);
            figures.together_started.push_back(last_started);
          } catch (const std::exception& e) {
            at_once_failure = e.what();
          }
        }
        figures.separate.push_back(sessions(sandbox, options.drives, mode));
        std::fprintf(stderr, "%s: round %d of %d done\n", mode.c_str(), round + 1, options.rounds);
      }
      // 5% below the throttled time: the throttle's slices round a little.
      const double least =
          0.95 * static_cast<double>(options.mib) / static_cast<double>(options.mib_per_s);
      drop_unthrottled(figures.one, least, "one drive alone");
      drop_unthrottled(figures.sequential, least * static_cast<double>(options.drives),
                       "one after another");
      drop_unthrottled(figures.together, least, "at once, one session");
      drop_unthrottled(figures.separate, least, "at once, one session each");
      if (figures.one.empty()) {
        throw std::runtime_error("no run of one drive alone was held by the throttle");
      }
      const double one = median(figures.one);
      std::printf("\nmode %s, %zu drives of %llu MiB at %llu MiB/s, median of %d (min to max)\n\n",
                  mode.c_str(), options.drives, static_cast<unsigned long long>(options.mib),
                  static_cast<unsigned long long>(options.mib_per_s), options.rounds);
      std::printf("| run | time | against one drive |\n|---|---|---|\n");
      print_row("one drive alone", figures.one, one);
      print_row("one after another, one session (no id)", figures.sequential, one);
      print_row("at once, one session (id'd wipes)", figures.together, one);
      print_row("at once, one session each (the floor)", figures.separate, one);
      if (!at_once_failure.empty()) {
        std::printf("\nat once in one session failed: %s\n", at_once_failure.c_str());
        ++failures;
      } else {
        std::printf(
            "\nat once in one session, the last wipe's first progress line came %.2f s "
            "after the first request (median)\n",
            median(figures.together_started));
        const double ratio = median(figures.together) / one;
        std::printf("\ntarget: at once within %.2fx of one drive alone: %.2fx, %s\n", kTarget,
                    ratio, ratio <= kTarget ? "met" : "missed");
      }
      std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tdh-bench-many: %s\n", e.what());
    return 1;
  }
}
