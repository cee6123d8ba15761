// SPDX-License-Identifier: MIT
#include "driver.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "e2e/process.hpp"
#include "inventory/inventory.hpp"

extern char** environ;

namespace tdh_bench {
namespace {

using tdh_e2e::Fd;
using tdh_e2e::Pipe;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double minimum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// --- starting processes ---------------------------------------------------------

// A started child: its pid and our ends of its pipes. stdin is a pipe when
// asked for, /dev/null otherwise; stderr a pipe when captured, ours otherwise.
struct Started {
  pid_t pid = -1;
  Fd in;
  Fd out;
  Fd err;
};

Started start(const std::vector<std::string>& argv, bool with_input, bool capture_stderr) {
  Pipe out = Pipe::make();
  Pipe err;
  Pipe in;
  Fd null_device;
  if (capture_stderr) {
    err = Pipe::make();
  }
  if (with_input) {
    in = Pipe::make();
  } else {
    null_device = Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null_device) {
      fail(tdh_e2e::errno_message("open /dev/null", errno));
    }
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, with_input ? in.read.get() : null_device.get(),
                                     STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  if (capture_stderr) {
    ::posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  }
  std::vector<char*> c_argv;
  for (const auto& arg : argv) {
    c_argv.push_back(const_cast<char*>(arg.c_str()));
  }
  c_argv.push_back(nullptr);
  pid_t pid = -1;
  const int status =
      ::posix_spawnp(&pid, argv.at(0).c_str(), &actions, nullptr, c_argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (status != 0) {
    fail(tdh_e2e::errno_message("spawn " + argv[0], status));
  }
  Started started;
  started.pid = pid;
  started.in = std::move(in.write);
  started.out = std::move(out.read);
  started.err = std::move(err.read);
  return started;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return tdh_e2e::exit_code_of(status);
}

struct ToolRun {
  double seconds = 0;
  int exit_code = -1;
  std::string out;
  std::string err;
};

// A bare tool, started and drained as the helper's runner does it.
ToolRun run_tool(const std::vector<std::string>& argv) {
  ToolRun run;
  const auto t0 = Clock::now();
  Started child = start(argv, false, true);
  Fd* fds[2] = {&child.out, &child.err};
  std::string* sinks[2] = {&run.out, &run.err};
  char buffer[65536];
  while (*fds[0] || *fds[1]) {
    pollfd p[2] = {{fds[0]->get(), POLLIN, 0}, {fds[1]->get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail(tdh_e2e::errno_message("poll", errno));
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) {
        continue;
      }
      const ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i]->reset();
      }
    }
  }
  run.exit_code = wait_for(child.pid);
  run.seconds = seconds_between(t0, Clock::now());
  return run;
}

// --- the helper -------------------------------------------------------------------

std::string progress_prefix() { return "{\"progress\":"; }

class Helper {
 public:
  explicit Helper(const std::string& path) : child_(start({path}, true, false)) {}
  ~Helper() {
    if (finished_) {
      return;
    }
    child_.in.reset();
    // Our own child, by its pid: it should have ended with its input, but a
    // benchmark that failed half-way must not leave it behind.
    ::kill(child_.pid, SIGKILL);
    wait_for(child_.pid);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  pid_t pid() const { return child_.pid; }

  void send(std::string_view bytes) {
    if (!tdh_e2e::write_all(child_.in.get(), bytes)) {
      fail(tdh_e2e::errno_message("writing to the helper", errno));
    }
  }

  std::string next_line(std::chrono::seconds timeout = 600s) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const std::size_t end = buffer_.find('\n', scanned_);
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        scanned_ = 0;
        return line;
      }
      scanned_ = buffer_.size();
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        fail("no answer from the helper in time");
      }
      pollfd p{child_.out.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      char chunk[65536];
      const ssize_t n = ::read(child_.out.get(), chunk, sizeof chunk);
      if (n == 0) {
        fail("the helper closed its output");
      }
      if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      }
    }
  }

  // Reads what the helper has written within `timeout_ms`; true once a final
  // (non-progress) line has come.
  bool pump(int timeout_ms) {
    pollfd p{child_.out.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) > 0) {
      char chunk[65536];
      const ssize_t n = ::read(child_.out.get(), chunk, sizeof chunk);
      if (n == 0) {
        fail("the helper closed its output");
      }
      if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      }
    }
    for (std::size_t start = 0; start < buffer_.size();) {
      const std::size_t end = buffer_.find('\n', start);
      if (end == std::string::npos) {
        break;
      }
      if (buffer_.compare(start, progress_prefix().size(), progress_prefix()) != 0) {
        return true;
      }
      start = end + 1;
    }
    return false;
  }

  // Every line up to and including the final one (not a progress line).
  std::vector<std::string> request(const std::string& line) {
    send(line + "\n");
    std::vector<std::string> lines;
    do {
      lines.push_back(next_line());
    } while (lines.back().starts_with(progress_prefix()));
    return lines;
  }

  // Counts answer lines until `count` have come; the answers' text is dropped.
  void read_answers(std::size_t count, std::string& first) {
    std::size_t seen = 0;
    char chunk[65536];
    while (seen < count) {
      const ssize_t n = ::read(child_.out.get(), chunk, sizeof chunk);
      if (n == 0) {
        fail("the helper closed its output after " + std::to_string(seen) + " answers");
      }
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        fail(tdh_e2e::errno_message("reading the helper's answers", errno));
      }
      const std::string_view data(chunk, static_cast<std::size_t>(n));
      if (first.empty() || first.back() != '\n') {
        const std::size_t end = data.find('\n');
        first.append(data.substr(0, end == std::string_view::npos ? data.size() : end + 1));
      }
      seen += static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n'));
    }
  }

  // CPU time of the helper process, every thread of it, dead ones included.
  double cpu_seconds() const {
    clockid_t clock;
    timespec ts{};
    if (::clock_getcpuclockid(child_.pid, &clock) != 0 || ::clock_gettime(clock, &ts) != 0) {
      fail("cannot read the helper's CPU clock");
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

  // A "VmHWM:"-style line of /proc/PID/status, in KiB.
  std::uint64_t status_kib(std::string_view key) const {
    const std::string status =
        tdh_e2e::read_file("/proc/" + std::to_string(child_.pid) + "/status");
    const std::size_t at = status.find(std::string(key) + ":");
    if (at == std::string::npos) {
      fail("no " + std::string(key) + " in /proc/PID/status");
    }
    return std::stoull(status.substr(at + key.size() + 1));
  }

  int finish() {
    child_.in.reset();
    char chunk[65536];
    while (::read(child_.out.get(), chunk, sizeof chunk) > 0) {
    }
    finished_ = true;
    return wait_for(child_.pid);
  }

 private:
  Started child_;
  std::string buffer_;
  std::size_t scanned_ = 0;
  bool finished_ = false;
};

void expect_prefix(const std::string& line, std::string_view prefix, std::string_view what) {
  if (!line.starts_with(prefix)) {
    fail(std::string(what) + ": unexpected answer " + line.substr(0, 300));
  }
}

// --- the measurements ---------------------------------------------------------------

constexpr std::string_view kBadOp = "{\"op\":\"nope\"}";
constexpr std::string_view kBadOpAnswer = "{\"error\":\"parse: unknown variant `nope`";

struct Report {
  std::vector<std::string> lines;
  std::vector<std::string> targets;
  void add(const std::string& line) {
    lines.push_back(line);
    say(line);
  }
  void target(const std::string& what, bool met, const std::string& figure) {
    targets.push_back((met ? "  met    " : "  MISSED ") + what + ": " + figure);
  }
};

void measure_start(const DriverPlan& plan, Report& report) {
  std::vector<double> helper;
  std::vector<double> bare;
  for (int i = 0; i < plan.starts; ++i) {
    bare.push_back(run_tool({"/bin/true"}).seconds);
    const auto t0 = Clock::now();
    Helper h(plan.helper);
    h.send(std::string(kBadOp) + "\n");
    const std::string line = h.next_line();
    helper.push_back(seconds_between(t0, Clock::now()));
    expect_prefix(line, kBadOpAnswer, "first answer");
    h.finish();
  }
  const double first = median(helper);
  report.add("start to first answer: median " + fixed(first * 1e3, 2) + " ms (min " +
             fixed(minimum(helper) * 1e3, 2) + ", max " + fixed(maximum(helper) * 1e3, 2) +
             ") over " + std::to_string(plan.starts) +
             " starts; spawn to exit of /bin/true: median " + fixed(median(bare) * 1e3, 2) + " ms");
  report.target("first answer within 5 ms of start", first < 0.005, fixed(first * 1e3, 2) + " ms");
}

struct BurstFigures {
  double wall = 0;  // seconds for the whole burst
  double cpu = 0;   // helper CPU seconds for it
};

BurstFigures run_burst(const std::string& helper, int count) {
  Helper h(helper);
  // Warm the path once, then time the burst.
  h.send(std::string(kBadOp) + "\n");
  expect_prefix(h.next_line(), kBadOpAnswer, "burst warm-up");
  std::string lines;
  lines.reserve(static_cast<std::size_t>(count) * (kBadOp.size() + 1));
  for (int i = 0; i < count; ++i) {
    lines.append(kBadOp);
    lines.push_back('\n');
  }
  const double cpu0 = h.cpu_seconds();
  const auto t0 = Clock::now();
  std::thread writer([&] { h.send(lines); });
  std::string first;
  try {
    h.read_answers(static_cast<std::size_t>(count), first);
  } catch (...) {
    writer.join();
    throw;
  }
  BurstFigures figures{seconds_between(t0, Clock::now()), 0};
  writer.join();
  figures.cpu = h.cpu_seconds() - cpu0;
  expect_prefix(first, kBadOpAnswer, "burst");
  h.finish();
  return figures;
}

std::string burst_text(const std::vector<BurstFigures>& runs, int count) {
  std::vector<double> wall;
  std::vector<double> cpu;
  for (const auto& run : runs) {
    wall.push_back(run.wall);
    cpu.push_back(run.cpu);
  }
  const double w = median(wall);
  return fixed(count / w, 0) + " answers/s (" + fixed(w * 1e6 / count, 2) +
         " us each), helper CPU " + fixed(median(cpu) * 1e6 / count, 2) + " us per request";
}

void measure_burst(const DriverPlan& plan, Report& report) {
  constexpr int kRuns = 3;
  std::vector<BurstFigures> shipped;
  std::vector<BurstFigures> plain;
  for (int i = 0; i < kRuns; ++i) {
    shipped.push_back(run_burst(plan.helper, plan.burst));
    if (!plan.plain_helper.empty()) {
      plain.push_back(run_burst(plan.plain_helper, plan.burst));
    }
  }
  report.add("burst of " + std::to_string(plan.burst) + " malformed requests (median of " +
             std::to_string(kRuns) + "): " + burst_text(shipped, plan.burst));
  if (!plain.empty()) {
    report.add("  same without zeroing freed blocks: " + burst_text(plain, plan.burst));
  }
}

std::string luks_format_line(const std::string& device, std::size_t line_bytes) {
  const std::string head = "{\"op\":\"luks-format\",\"device\":\"" + device +
                           "\",\"label\":\"bench\",\"passphrase_b64\":\"";
  const std::string tail = "!\"}";  // "!" is no Base64 byte: decoding fails after the whole text
  return head + std::string(line_bytes - head.size() - tail.size(), 'A') + tail;
}

struct MemoryFigures {
  std::uint64_t small = 0;       // KiB, after one small request
  std::uint64_t passphrase = 0;  // after a 1 MiB luks-format decoded to its passphrase
  std::uint64_t malformed = 0;   // after a 1 MiB request that fails decoding
  std::uint64_t echoed = 0;      // after a 1 MiB device name refused and echoed back
};

MemoryFigures run_memory(const std::string& helper, const std::string& allowed_drive) {
  constexpr std::size_t kLargestText = 1'048'575;  // 1 MiB with the line feed
  MemoryFigures figures;
  {
    Helper h(helper);
    expect_prefix(h.request(std::string(kBadOp)).back(), kBadOpAnswer, "small request");
    figures.small = h.status_kib("VmHWM");
    h.finish();
  }
  // The passphrase goes through decoding, the guard (which allows the drive)
  // and Base64 decoding, which fails at the last byte: no tool but lsblk runs.
  {
    Helper h(helper);
    const auto answer = h.request(luks_format_line(allowed_drive, kLargestText)).back();
    expect_prefix(answer, "{\"error\":\"passphrase base64: invalid base64 byte\"}",
                  "1 MiB luks-format");
    figures.passphrase = h.status_kib("VmHWM");
    h.finish();
  }
  // A 1 MiB passphrase set aside, then an "op" that names nothing.
  {
    Helper h(helper);
    const std::string head = "{\"passphrase_b64\":\"";
    const std::string tail = "\",\"op\":\"nope\"}";
    const std::string line =
        head + std::string(kLargestText - head.size() - tail.size(), 'A') + tail;
    expect_prefix(h.request(line).back(), kBadOpAnswer, "1 MiB malformed request");
    figures.malformed = h.status_kib("VmHWM");
    h.finish();
  }
  // A 1 MiB device name the guard does not know: refused, and the name
  // comes back inside the error text.
  {
    Helper h(helper);
    const std::string head = "{\"op\":\"wipe\",\"mode\":\"random\",\"device\":\"/dev/";
    const std::string tail = "\"}";
    const std::string line =
        head + std::string(kLargestText - head.size() - tail.size(), 'x') + tail;
    expect_prefix(
        h.request(line).back(),
        "{\"error\":\"refused destructive operation: device not found: ", "1 MiB device name");
    figures.echoed = h.status_kib("VmHWM");
    h.finish();
  }
  return figures;
}

std::string memory_text(const MemoryFigures& figures) {
  return std::to_string(figures.small) + " KiB after one small request; " +
         std::to_string(figures.passphrase) +
         " KiB after a 1 MiB luks-format whose passphrase is decoded; " +
         std::to_string(figures.malformed) + " KiB after a 1 MiB request that fails decoding; " +
         std::to_string(figures.echoed) + " KiB after a 1 MiB device name refused and echoed back";
}

void measure_memory(const DriverPlan& plan, Report& report) {
  const MemoryFigures shipped = run_memory(plan.helper, plan.wipe_drive);
  report.add("peak resident memory (VmHWM): " + memory_text(shipped));
  if (!plan.plain_helper.empty()) {
    report.add("  same without zeroing freed blocks: " +
               memory_text(run_memory(plan.plain_helper, plan.wipe_drive)));
  }
  const std::uint64_t worst = std::max({shipped.passphrase, shipped.malformed, shipped.echoed});
  report.target("peak resident memory under 8 MiB with a 1 MiB request", worst < 8 * 1024,
                fixed(static_cast<double>(worst) / 1024, 2) + " MiB");
}

double measure_guard(const DriverPlan& plan, Report& report) {
  const std::vector<std::string>& args = tarnwick::inventory::lsblk_arguments();
  std::vector<std::string> lsblk{"lsblk"};
  lsblk.insert(lsblk.end(), args.begin(), args.end());
  const std::string request =
      "{\"op\":\"wipe\",\"device\":\"" + plan.refused_drive + "\",\"mode\":\"random\"}";
  Helper h(plan.helper);
  const auto helper_once = [&] {
    const auto t0 = Clock::now();
    const auto lines = h.request(request);
    const double seconds = seconds_between(t0, Clock::now());
    expect_prefix(lines.back(), "{\"error\":\"refused destructive operation: ", "guard");
    return seconds;
  };
  const auto bare_once = [&] {
    ToolRun run = run_tool(lsblk);
    if (run.exit_code != 0 || run.out.find(plan.refused_drive) == std::string::npos) {
      fail("bare lsblk failed: " + run.err);
    }
    return run.seconds;
  };
  for (int i = 0; i < 3; ++i) {
    helper_once();
    bare_once();
  }
  std::vector<double> helper;
  std::vector<double> bare;
  const double cpu0 = h.cpu_seconds();
  for (int i = 0; i < plan.guard_rounds; ++i) {
    if (i % 2 == 0) {
      helper.push_back(helper_once());
      bare.push_back(bare_once());
    } else {
      bare.push_back(bare_once());
      helper.push_back(helper_once());
    }
  }
  const double cpu = (h.cpu_seconds() - cpu0) / plan.guard_rounds;
  h.finish();
  const double ratio = median(helper) / median(bare);
  report.add("guard refusal round trip: median " + fixed(median(helper) * 1e3, 2) +
             " ms; bare lsblk " + fixed(median(bare) * 1e3, 2) + " ms; ratio " + fixed(ratio, 3) +
             "; helper CPU " + fixed(cpu * 1e3, 3) + " ms per request (" +
             std::to_string(plan.guard_rounds) + " pairs)");
  report.target("guard round trip within 1.2x of bare lsblk", ratio <= 1.2, fixed(ratio, 3) + "x");
  return median(helper);
}

// The child of `parent` whose command name is `comm`, or -1: a scan of the
// sandbox's /proc, which holds only the handful of processes we started.
pid_t child_named(pid_t parent, std::string_view comm) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    fail(tdh_e2e::errno_message("opendir /proc", errno));
  }
  pid_t found = -1;
  while (dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    if (name[0] < '0' || name[0] > '9') {
      continue;
    }
    const auto stat = tdh_e2e::try_read_file(std::string("/proc/") + name + "/stat");
    if (!stat) {
      continue;
    }
    // "pid (comm) state ppid ..."; comm may hold spaces, so take the last ')'.
    const std::size_t open = stat->find('(');
    const std::size_t close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
      continue;
    }
    if (std::string_view(*stat).substr(open + 1, close - open - 1) != comm) {
      continue;
    }
    int ppid = -1;
    if (std::sscanf(stat->c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
      found = static_cast<pid_t>(std::atoi(name));
      break;
    }
  }
  ::closedir(proc);
  return found;
}

void measure_wipe(const DriverPlan& plan, Report& report, double guard_seconds) {
  const std::vector<std::string> dd = {"dd",    "if=/dev/urandom", "of=" + plan.wipe_by_id,
                                       "bs=4M", "conv=fsync",      "status=none"};
  const std::string request =
      "{\"op\":\"wipe\",\"device\":\"" + plan.wipe_drive + "\",\"mode\":\"random\"}";
  const auto bare_once = [&] {
    ToolRun run = run_tool(dd);
    // dd stops at the end of the device with "No space left on device".
    if (run.exit_code != 1 || run.err.find("No space left") == std::string::npos) {
      fail("bare dd: exit " + std::to_string(run.exit_code) + ": " + run.err);
    }
    return run.seconds;
  };
  struct HelperWipe {
    double seconds;
    double cpu;
    std::size_t progress_lines;
    std::uint64_t hwm_kib;
    double before_dd;  // request sent to dd started: guard, spawn
    double after_dd;   // dd ended to the final answer
    double dd;         // the helper's dd, seen to end
  };
  // Besides the round trip, the helper's own dd is watched from here (its
  // start by a /proc scan every millisecond, its end through a pidfd), so
  // the time the helper adds before and after dd is measured directly, free
  // of the run-to-run spread of dd itself.
  const auto helper_once = [&] {
    Helper h(plan.helper);
    const double cpu0 = h.cpu_seconds();
    const auto t0 = Clock::now();
    h.send(request + "\n");
    pid_t dd_pid = -1;
    while ((dd_pid = child_named(h.pid(), "dd")) < 0) {
      if (h.pump(1)) {
        fail("helper wipe ended before dd was seen: " + h.next_line());
      }
    }
    const auto dd_seen = Clock::now();
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, dd_pid, 0)));
    if (!pidfd) {
      fail(tdh_e2e::errno_message("pidfd_open dd", errno));
    }
    pollfd ended{pidfd.get(), POLLIN, 0};
    while (::poll(&ended, 1, -1) < 0 && errno == EINTR) {
    }
    const auto dd_ended = Clock::now();
    std::vector<std::string> lines;
    do {
      lines.push_back(h.next_line());
    } while (lines.back().starts_with(progress_prefix()));
    const auto answered = Clock::now();
    const double cpu = h.cpu_seconds() - cpu0;
    if (lines.back() != "{\"ok\":true}") {
      fail("helper wipe: " + lines.back());
    }
    HelperWipe wipe{seconds_between(t0, answered),
                    cpu,
                    lines.size() - 1,
                    h.status_kib("VmHWM"),
                    seconds_between(t0, dd_seen),
                    seconds_between(dd_ended, answered),
                    seconds_between(dd_seen, dd_ended)};
    h.finish();
    return wipe;
  };
  // The first pass allocates the image file's blocks; it is not counted.
  bare_once();
  std::vector<double> bare;
  std::vector<double> helper;
  std::vector<double> cpu_share;
  std::vector<double> cpu_ms;
  std::vector<double> before_dd;
  std::vector<double> after_dd;
  std::uint64_t hwm = 0;
  std::size_t progress_lines = 0;
  for (int i = 0; i < plan.wipe_rounds; ++i) {
    HelperWipe wipe{};
    if (i % 2 == 0) {
      wipe = helper_once();
      bare.push_back(bare_once());
    } else {
      bare.push_back(bare_once());
      wipe = helper_once();
    }
    helper.push_back(wipe.seconds);
    cpu_share.push_back(wipe.cpu / wipe.seconds);
    cpu_ms.push_back(wipe.cpu * 1e3);
    before_dd.push_back(wipe.before_dd);
    after_dd.push_back(wipe.after_dd);
    hwm = std::max(hwm, wipe.hwm_kib);
    progress_lines = wipe.progress_lines;
    say("  wipe round " + std::to_string(i + 1) + ": bare dd " + fixed(bare.back(), 3) +
        " s, helper " + fixed(wipe.seconds, 3) + " s (its dd " + fixed(wipe.dd, 3) + " s, " +
        fixed(wipe.before_dd * 1e3, 1) + " ms before it, " + fixed(wipe.after_dd * 1e3, 1) +
        " ms after), helper CPU " + fixed(wipe.cpu * 1e3, 1) + " ms, " +
        std::to_string(wipe.progress_lines) + " progress lines");
  }
  const double mib = static_cast<double>(plan.wipe_bytes) / (1024.0 * 1024.0);
  // Each round's two runs share the machine's load of the moment, so the
  // ratio is taken per round and its median reported.
  std::vector<double> round_ratios;
  for (std::size_t i = 0; i < bare.size(); ++i) {
    round_ratios.push_back(bare[i] / helper[i]);
  }
  const double ratio = median(round_ratios);
  const double share = median(cpu_share);
  const double added = median(before_dd) + median(after_dd);
  const double own_ratio = median(bare) / (median(bare) + added);
  report.add("random wipe of " + fixed(mib, 0) + " MiB (median of " +
             std::to_string(plan.wipe_rounds) + "): helper " + fixed(median(helper), 3) + " s (" +
             fixed(mib / median(helper), 1) + " MiB/s); bare dd " + fixed(median(bare), 3) +
             " s (" + fixed(mib / median(bare), 1) +
             " MiB/s); throughput ratio per round: median " + fixed(ratio, 3) + " (min " +
             fixed(minimum(round_ratios), 3) + ", max " + fixed(maximum(round_ratios), 3) + ")");
  report.add("  time the helper adds around its dd: " + fixed(median(before_dd) * 1e3, 1) +
             " ms before it (guard round trip alone: " + fixed(guard_seconds * 1e3, 1) + " ms), " +
             fixed(median(after_dd) * 1e3, 1) +
             " ms after it; as a throughput ratio against the bare dd: " + fixed(own_ratio, 3));
  report.add("helper CPU during the wipe: median " + fixed(median(cpu_ms), 1) + " ms, " +
             fixed(share * 100, 3) + "% of the wipe's wall time; " +
             std::to_string(progress_lines) + " progress lines");
  report.add("peak resident memory (VmHWM) after a wipe: " + std::to_string(hwm) + " KiB");
  report.target(
      "wipe throughput at least 0.97x of bare dd", ratio >= 0.97,
      fixed(ratio, 3) + "x measured, " + fixed(own_ratio, 3) + "x from the time added around dd");
  report.target("helper CPU under 1% of the wipe's wall time", share < 0.01,
                fixed(share * 100, 3) + "%");
}

}  // namespace

std::vector<std::string> driver_arguments(const DriverPlan& plan) {
  return {"helper=" + plan.helper,
          "refused_drive=" + plan.refused_drive,
          "wipe_drive=" + plan.wipe_drive,
          "wipe_by_id=" + plan.wipe_by_id,
          "wipe_bytes=" + std::to_string(plan.wipe_bytes),
          "wipe_rounds=" + std::to_string(plan.wipe_rounds),
          "guard_rounds=" + std::to_string(plan.guard_rounds),
          "burst=" + std::to_string(plan.burst),
          "starts=" + std::to_string(plan.starts),
          "plain_helper=" + plan.plain_helper};
}

DriverPlan parse_driver_arguments(const std::vector<std::string>& arguments) {
  std::map<std::string, std::string> values;
  for (const auto& argument : arguments) {
    const std::size_t eq = argument.find('=');
    if (eq == std::string::npos) {
      fail("driver argument without '=': " + argument);
    }
    values[argument.substr(0, eq)] = argument.substr(eq + 1);
  }
  DriverPlan plan;
  plan.helper = values.at("helper");
  plan.refused_drive = values.at("refused_drive");
  plan.wipe_drive = values.at("wipe_drive");
  plan.wipe_by_id = values.at("wipe_by_id");
  plan.wipe_bytes = std::stoull(values.at("wipe_bytes"));
  plan.wipe_rounds = std::stoi(values.at("wipe_rounds"));
  plan.guard_rounds = std::stoi(values.at("guard_rounds"));
  plan.burst = std::stoi(values.at("burst"));
  plan.starts = std::stoi(values.at("starts"));
  plan.plain_helper = values.contains("plain_helper") ? values.at("plain_helper") : std::string();
  return plan;
}

int run_driver(const DriverPlan& plan) {
  ::signal(SIGPIPE, SIG_IGN);
  Report report;
  try {
    measure_start(plan, report);
    measure_burst(plan, report);
    measure_memory(plan, report);
    const double guard = measure_guard(plan, report);
    measure_wipe(plan, report, guard);
  } catch (const std::exception& e) {
    say(std::string("benchmark failed: ") + e.what());
    return 1;
  }
  say("targets:");
  for (const auto& line : report.targets) {
    say(line);
  }
  return 0;
}

}  // namespace tdh_bench
