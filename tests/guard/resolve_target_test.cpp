// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

using inventory::Drive;

class ResolveTarget : public fixture::GuardTree {
 protected:
  void SetUp() override {
    drive_link_ = by_id("usb-Stick_123", "sdb");
    part_link_ = by_id("usb-Stick_123-part1", "sdb1");
  }
  std::string drive_link_;
  std::string part_link_;
};

// Hands out a different snapshot on each call.
class SequenceLister final : public inventory::DriveLister {
 public:
  explicit SequenceLister(std::vector<std::vector<Drive>> snapshots)
      : snapshots_(std::move(snapshots)) {}
  std::expected<inventory::Snapshot, HelperError> list_drives() const override {
    return snapshots_.at(std::min(next_++, snapshots_.size() - 1));
  }

 private:
  std::vector<std::vector<Drive>> snapshots_;
  mutable std::size_t next_ = 0;
};

// The stable path of a resolved target, or the client's text.
std::expected<std::string, std::string> path_of(std::expected<GuardedTarget, std::string> target) {
  if (!target) {
    return std::unexpected(std::move(target.error()));
  }
  return std::move(target->stable_path);
}

TEST_F(ResolveTarget, WholeDriveComesBackAsItsByIdLink) {
  EXPECT_EQ(path_of(resolve_drive_target(context(), dev("sdb"))), drive_link_);
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb"))), drive_link_);
}

TEST_F(ResolveTarget, WholeDriveOperationsRefusePartitionsAndAliases) {
  for (const std::string& device : {dev("sdb1"), drive_link_}) {
    EXPECT_EQ(path_of(resolve_drive_target(context(), device)),
              std::unexpected("refused destructive operation: device not found: " + device));
  }
}

TEST_F(ResolveTarget, PartitionResolvesToItsOwnLinkAfterItsDriveIsJudged) {
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb1"))), part_link_);
  EXPECT_EQ(lister_.calls.load(), 2);

  // The second partition being mounted refuses the first one too.
  lister_.drives_[0].partitions[1].mountpoint = "/media/other";
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb1"))),
            std::unexpected(std::string(
                "refused destructive operation: partition currently mounted at /media/other")));
}

TEST_F(ResolveTarget, RefusalsAndFailuresBecomeTheClientText) {
  lister_.drives_[0].read_only = true;
  lister_.drives_[0].hotplug = false;
  lister_.drives_[0].removable = false;
  const std::unexpected refused(std::string(
      "refused destructive operation: device is not removable or hotplug-capable; device is "
      "read-only"));
  EXPECT_EQ(path_of(resolve_drive_target(context(), dev("sdb"))), refused);
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb1"))), refused);

  std::filesystem::remove(paths_.proc_mounts);
  EXPECT_EQ(path_of(resolve_drive_target(context(), dev("sdb"))),
            std::unexpected(std::string("io: No such file or directory (os error 2)")));

  struct FailingLister final : inventory::DriveLister {
    std::expected<inventory::Snapshot, HelperError> list_drives() const override {
      return std::unexpected(HelperError{HelperError::CommandFailed{"lsblk -J", "boom\n", 1}});
    }
  } failing;
  const GuardContext broken{failing, paths_};
  const std::unexpected failed(std::string("command `lsblk -J` failed (exit 1): boom\n"));
  EXPECT_EQ(path_of(resolve_drive_target(broken, dev("sdb"))), failed);
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(broken, dev("sdb1"))), failed);
}

TEST_F(ResolveTarget, TargetsWithoutALinkAreRefusedPlainly) {
  const std::unexpected no_link(std::string("device has no stable /dev/disk/by-id path"));
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb2"))), no_link);
  std::filesystem::remove(drive_link_);
  EXPECT_EQ(path_of(resolve_drive_target(context(), dev("sdb"))), no_link);
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdb"))), no_link);
}

TEST_F(ResolveTarget, LinksMustLieUnderTheByIdDirectory) {
  // The prefix is compared by components: a sibling directory whose name
  // merely begins with "by-id" does not count.
  Drive drive = usb_drive();
  drive.path = root_ + "/dev/disk/by-id-old/sdq";
  tree_.write_file("dev/disk/by-id-old/sdq", "");
  drive.partitions.clear();
  lister_.drives_ = {drive};
  EXPECT_EQ(path_of(resolve_drive_target(context(), drive.path)),
            std::unexpected(std::string("device has no stable /dev/disk/by-id path")));
}

TEST_F(ResolveTarget, UnknownLuksOpenTargets) {
  const std::unexpected unknown(
      std::string("device is not a detected removable drive or partition"));
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), dev("sdc"))), unknown);
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(context(), part_link_)), unknown);
}

TEST_F(ResolveTarget, DriveVanishingBetweenSnapshotsIsNotFound) {
  SequenceLister lister({{usb_drive()}, {}});
  EXPECT_EQ(path_of(resolve_drive_or_partition_target(GuardContext{lister, paths_}, dev("sdb1"))),
            std::unexpected("refused destructive operation: device not found: " + dev("sdb")));
}

// Another program's flock on a node, as udev-aware tools take it.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    EXPECT_EQ(::flock(fd_.get(), LOCK_EX | LOCK_NB), 0) << path;
  }

 private:
  system::FileDescriptor fd_;
};

bool can_lock(const std::string& path) {
  const system::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

TEST_F(ResolveTarget, ALockedDriveIsBusyAndTheReasonComesLast) {
  const std::string busy = "device is busy: another operation is using it";
  const HeldLock held(dev("sdb"));
  struct Case {
    std::string what;
    bool read_only;
    bool luks_open;
    std::string device;
    std::string expected;
  };
  const Case cases[] = {
      {"wipe or format", false, false, dev("sdb"), busy},
      {"luks-open of a partition locks its drive", false, true, dev("sdb1"), busy},
      {"joined after the checks' reasons", true, false, dev("sdb"), "device is read-only; " + busy},
      {"not a drive: the lock plays no part", false, false, dev("sdb1"),
       "device not found: " + dev("sdb1")},
  };
  for (const Case& c : cases) {
    lister_.drives_[0].read_only = c.read_only;
    auto target = c.luks_open ? resolve_drive_or_partition_target(context(), c.device)
                              : resolve_drive_target(context(), c.device);
    EXPECT_EQ(path_of(std::move(target)),
              std::unexpected("refused destructive operation: " + c.expected))
        << c.what;
  }
}

TEST_F(ResolveTarget, TheDriveStaysLockedWhileTheTargetLives) {
  // A lock on a partition's node is not the drive's.
  const HeldLock partition_held(dev("sdb1"));
  for (const bool luks_open : {false, true}) {
    {
      auto target = luks_open ? resolve_drive_or_partition_target(context(), dev("sdb1"))
                              : resolve_drive_target(context(), dev("sdb"));
      ASSERT_TRUE(target) << target.error();
      EXPECT_EQ(target->drive_path, dev("sdb"));
      EXPECT_EQ(target->lock.state(), DriveLock::State::Held);
      EXPECT_FALSE(can_lock(dev("sdb")));
    }
    EXPECT_TRUE(can_lock(dev("sdb"))) << "released with the target";
  }
}

// udev holds a shared lock while it probes a drive a tool has just written:
// that is waited out, while an exclusive holder is refused at once.
TEST_F(ResolveTarget, ASharedHolderIsWaitedForAndAnExclusiveOneRefused) {
  for (const int held_as : {LOCK_SH, LOCK_EX}) {
    const system::FileDescriptor other(::open(dev("sdb").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(other.is_open());
    ASSERT_EQ(::flock(other.get(), held_as | LOCK_NB), 0);
    std::jthread release([&other] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ::flock(other.get(), LOCK_UN);
    });
    const DriveLock lock = DriveLock::take(dev("sdb"));
    EXPECT_EQ(lock.state(), held_as == LOCK_SH ? DriveLock::State::Held : DriveLock::State::Busy)
        << (held_as == LOCK_SH ? "shared" : "exclusive");
  }
}

}  // namespace
}  // namespace tarnwick::guard
