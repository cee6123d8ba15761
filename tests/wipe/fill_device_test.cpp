// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fake_machine.hpp"
#include "support/support.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

using testing::command_failed;
using testing::FakeMachine;

// Only a safety net against a hang when the fill misbehaves; no test
// depends on how long anything takes.
constexpr auto kGiveUpAfter = std::chrono::seconds(30);
constexpr std::uint64_t kBaselineSectors = 1000;

// Runs in lock step with the progress reports, so the sequence of reported
// values is fixed however the two threads are scheduled:
// - before writing counter value i (1-based) the fake dd waits for report i;
// - report k (k below the number of values) waits until value k is written;
//   the report of the last value waits until the worker thread has ended, so
//   the fill's next look at its done flag is certain to find it set.
class LockStepDd final : public runner::ToolRunner {
 public:
  LockStepDd(const FakeMachine& machine, std::vector<std::uint64_t> sectors,
             std::expected<ToolOutput, HelperError> result)
      : machine_(machine), sectors_(std::move(sectors)), result_(std::move(result)) {}

  std::expected<ToolOutput, HelperError> run(ToolCommand command) override {
    thread_local std::optional<ExitSignal> exit_signal;
    exit_signal.emplace(*this);
    {
      std::unique_lock lock(mutex_);
      worker_id_ = std::this_thread::get_id();
      program_ = command.program;
    }
    for (std::size_t i = 0; i < sectors_.size(); ++i) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kGiveUpAfter, [&] { return reports_.size() >= i + 1; });
      }
      machine_.set_sectors_written("sdb", sectors_[i]);
      {
        std::lock_guard lock(mutex_);
        written_ = i + 1;
      }
      changed_.notify_all();
    }
    return result_;
  }

  ProgressCallback callback() {
    return [this](std::uint64_t copied) {
      std::unique_lock lock(mutex_);
      reports_.push_back(copied);
      report_threads_.push_back(std::this_thread::get_id());
      const std::size_t k = reports_.size();
      changed_.notify_all();
      if (k < sectors_.size()) {
        changed_.wait_for(lock, kGiveUpAfter, [&] { return written_ >= k; });
      } else if (k == sectors_.size()) {
        changed_.wait_for(lock, kGiveUpAfter, [&] { return worker_ended_; });
      }
    };
  }

  // Read only after fill_device has returned (the worker has been joined).
  std::vector<std::uint64_t> reports_;
  std::vector<std::thread::id> report_threads_;
  std::thread::id worker_id_;
  std::string program_;

 private:
  // Destroyed with the worker's thread-local storage, after the fill's
  // worker function has returned.
  struct ExitSignal {
    explicit ExitSignal(LockStepDd& owner) : owner_(owner) {}
    ~ExitSignal() {
      {
        std::lock_guard lock(owner_.mutex_);
        owner_.worker_ended_ = true;
      }
      owner_.changed_.notify_all();
    }
    LockStepDd& owner_;
  };

  const FakeMachine& machine_;
  std::vector<std::uint64_t> sectors_;
  std::expected<ToolOutput, HelperError> result_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t written_ = 0;
  bool worker_ended_ = false;
};

struct Fixture {
  Fixture() {
    node = machine.add_node("sdb");
    link = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
    machine.set_size_bytes("sdb", kDeviceBytes);
    machine.set_sectors_written("sdb", kBaselineSectors);
  }
  static constexpr std::uint64_t kDeviceBytes = 64 * 512;
  FakeMachine machine;
  std::string node;
  std::string link;
};

ToolCommand dd_command() { return ToolCommand("dd"); }

struct SequenceCase {
  const char* name;
  std::vector<std::uint64_t> sectors;  // counter values dd leaves behind, in order
  std::vector<std::uint64_t> reports;
  friend void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }
};

class FillSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(FillSequenceTest, ReportsEveryPollAndOnceMoreAfterTheEnd) {
  Fixture fixture;
  LockStepDd dd(fixture.machine, GetParam().sectors, ToolOutput{});
  const auto result =
      fill_device(dd, fixture.machine.paths, dd_command(), fixture.link, dd.callback());
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(dd.reports_, GetParam().reports);
  // dd ran on a worker; every report came from the calling thread.
  EXPECT_EQ(dd.program_, "dd");
  EXPECT_NE(dd.worker_id_, std::this_thread::get_id());
  for (const auto id : dd.report_threads_) {
    EXPECT_EQ(id, std::this_thread::get_id());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Polls, FillSequenceTest,
    ::testing::Values(
        // The first report comes before dd writes; the last value is seen only
        // by the poll after dd has ended.
        SequenceCase{"Rising", {1008, 1016, 1064}, {0, 8 * 512, 16 * 512, 64 * 512}},
        // No smoothing: equal values are reported twice, and a counter that
        // fell below the baseline reads as nothing written.
        SequenceCase{
            "RepeatsAndReset", {1010, 1010, 900, 1020}, {0, 10 * 512, 10 * 512, 0, 20 * 512}},
        // dd ends during the first sleep: one report before it, one after.
        SequenceCase{"EndsDuringFirstSleep", {1032}, {0, 32 * 512}}),
    testing::CaseName{});

TEST(FillDevice, OutOfSpaceCountsOnlyWhenTheFinalFigureReachesTheEnd) {
  const HelperError out_of_space =
      command_failed("dd", 1, "dd: error writing '/dev/sdb': No space left on device\n");
  const std::uint64_t full = kBaselineSectors + Fixture::kDeviceBytes / 512;
  struct Case {
    const char* name;
    std::uint64_t last_sectors;
    bool accepted;
  };
  for (const Case c : {Case{"full", full, true}, Case{"one sector short", full - 1, false}}) {
    Fixture fixture;
    LockStepDd dd(fixture.machine, {kBaselineSectors + 1, c.last_sectors},
                  std::unexpected(out_of_space));
    const auto result =
        fill_device(dd, fixture.machine.paths, dd_command(), fixture.link, dd.callback());
    if (c.accepted) {
      ASSERT_TRUE(result.has_value()) << c.name;
      EXPECT_TRUE(result->stdout_bytes.empty() && result->stderr_bytes.empty()) << c.name;
    } else {
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error(), out_of_space) << c.name;
    }
  }
}

// The fake dd does something to the drive, then reports the end of the
// device after writing all of it; only an unchanged drive counts as wiped.
TEST(FillDevice, ADriveThatVanishedOrChangedDuringTheFillIsNotWiped) {
  const std::uint64_t full = kBaselineSectors + Fixture::kDeviceBytes / 512;
  struct Case {
    const char* name;
    std::function<void(const Fixture&)> meanwhile;
    bool accepted;
  };
  const Case cases[] = {
      {"unchanged", [](const Fixture&) {}, true},
      {"node removed", [](const Fixture& f) { std::filesystem::remove(f.node); }, false},
      {"size dropped to zero", [](const Fixture& f) { f.machine.set_size_bytes("sdb", 0); }, false},
      {"size grew", [](const Fixture& f) { f.machine.set_size_bytes("sdb", 2 * 64 * 512); }, false},
      {"other device number",
       [](const Fixture& f) { f.machine.dir.write_file("sys/class/block/sdb/dev", "8:32\n"); },
       false},
      {"plugged back in",
       [](const Fixture& f) { f.machine.dir.write_file("sys/class/block/sdb/diskseq", "13\n"); },
       false},
      {"link now names another drive",
       [](const Fixture& f) {
         f.machine.add_node("sdc");
         f.machine.set_size_bytes("sdc", Fixture::kDeviceBytes);
         std::filesystem::remove(f.link);
         f.machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdc");
       },
       false},
  };
  for (const Case& c : cases) {
    Fixture fixture;
    fixture.machine.dir.write_file("sys/class/block/sdb/dev", "8:16\n");
    fixture.machine.dir.write_file("sys/class/block/sdb/diskseq", "12\n");
    testing::RecordingRunner dd;
    dd.respond = [&](const testing::RecordedCall&) -> testing::RecordingRunner::Result {
      fixture.machine.set_sectors_written("sdb", full);
      c.meanwhile(fixture);
      return std::unexpected(
          command_failed("dd", 1, "dd: error writing '/dev/sdb': No space left on device\n"));
    };
    const auto result = fill_device(dd, fixture.machine.paths, dd_command(), fixture.link, {});
    EXPECT_EQ(result.has_value(), c.accepted) << c.name;
    // A vanished node has no counter either, so dd's own failure stands there.
    const std::string_view name(c.name);
    if (!result && !name.starts_with("node") && !name.starts_with("link")) {
      EXPECT_EQ(result.error().display(), "io: the drive disappeared or changed during the wipe")
          << c.name;
    }
  }
}

// A stop requested on the reporting thread reaches the worker's runner (as
// a signal read by either thread does), and the fill fails with it.
class StoppableDd final : public runner::ToolRunner {
 public:
  std::expected<ToolOutput, HelperError> run(ToolCommand command) override {
    pollfd stopped{stop_.fd(), POLLIN, 0};
    while (::poll(&stopped, 1, -1) < 0) {
    }
    return std::unexpected(
        HelperError{HelperError::Stopped{command.command_text(), stop_.reason()}});
  }
  stop::StopSource* stop_source() const override { return &stop_; }
  mutable stop::StopSource stop_;
};

TEST(FillDevice, AStopEndsTheFillWithAFailure) {
  Fixture fixture;
  StoppableDd dd;
  int reports = 0;
  const auto result =
      fill_device(dd, fixture.machine.paths, dd_command(), fixture.link, [&](std::uint64_t) {
        if (++reports == 2) {
          dd.stop_.request(stop::StopReason::signal(SIGTERM));
        }
      });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "command `dd ` stopped: interrupted by SIGTERM");
}

TEST(FillDevice, WithoutCountersReportsNothingAndCannotVerifyTheEnd) {
  Fixture fixture;
  std::filesystem::remove(fixture.machine.paths.proc_diskstats);
  std::vector<std::uint64_t> reports;
  testing::RecordingRunner dd;
  dd.push_result(std::unexpected(command_failed("dd", 1, "No space left on device\n")));
  const auto result = fill_device(dd, fixture.machine.paths, dd_command(), fixture.link,
                                  [&](std::uint64_t copied) { reports.push_back(copied); });
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(dd.calls.size(), 1u);
}

}  // namespace
}  // namespace tarnwick::wipe
