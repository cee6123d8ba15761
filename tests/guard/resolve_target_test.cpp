// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>

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
  std::expected<std::vector<Drive>, HelperError> list_drives() const override {
    return snapshots_.at(std::min(next_++, snapshots_.size() - 1));
  }

 private:
  std::vector<std::vector<Drive>> snapshots_;
  mutable std::size_t next_ = 0;
};

TEST_F(ResolveTarget, WholeDriveComesBackAsItsByIdLink) {
  EXPECT_EQ(resolve_drive_target(context(), dev("sdb")), drive_link_);
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb")), drive_link_);
}

TEST_F(ResolveTarget, WholeDriveOperationsRefusePartitionsAndAliases) {
  for (const std::string& device : {dev("sdb1"), drive_link_}) {
    EXPECT_EQ(resolve_drive_target(context(), device),
              std::unexpected("refused destructive operation: device not found: " + device));
  }
}

TEST_F(ResolveTarget, PartitionResolvesToItsOwnLinkAfterItsDriveIsJudged) {
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb1")), part_link_);
  EXPECT_EQ(lister_.calls, 2);

  // The second partition being mounted refuses the first one too.
  lister_.drives_[0].partitions[1].mountpoint = "/media/other";
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb1")),
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
  EXPECT_EQ(resolve_drive_target(context(), dev("sdb")), refused);
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb1")), refused);

  std::filesystem::remove(paths_.proc_mounts);
  EXPECT_EQ(resolve_drive_target(context(), dev("sdb")),
            std::unexpected(std::string("io: No such file or directory (os error 2)")));

  struct FailingLister final : inventory::DriveLister {
    std::expected<std::vector<Drive>, HelperError> list_drives() const override {
      return std::unexpected(HelperError{HelperError::CommandFailed{"lsblk -J", "boom\n", 1}});
    }
  } failing;
  const GuardContext broken{failing, paths_};
  const std::unexpected failed(std::string("command `lsblk -J` failed (exit 1): boom\n"));
  EXPECT_EQ(resolve_drive_target(broken, dev("sdb")), failed);
  EXPECT_EQ(resolve_drive_or_partition_target(broken, dev("sdb1")), failed);
}

TEST_F(ResolveTarget, TargetsWithoutALinkAreRefusedPlainly) {
  const std::unexpected no_link(std::string("device has no stable /dev/disk/by-id path"));
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb2")), no_link);
  std::filesystem::remove(drive_link_);
  EXPECT_EQ(resolve_drive_target(context(), dev("sdb")), no_link);
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdb")), no_link);
}

TEST_F(ResolveTarget, LinksMustLieUnderTheByIdDirectory) {
  // The prefix is compared by components: a sibling directory whose name
  // merely begins with "by-id" does not count.
  Drive drive = usb_drive();
  drive.path = root_ + "/dev/disk/by-id-old/sdq";
  tree_.write_file("dev/disk/by-id-old/sdq", "");
  drive.partitions.clear();
  lister_.drives_ = {drive};
  EXPECT_EQ(resolve_drive_target(context(), drive.path),
            std::unexpected(std::string("device has no stable /dev/disk/by-id path")));
}

TEST_F(ResolveTarget, UnknownLuksOpenTargets) {
  const std::unexpected unknown(
      std::string("device is not a detected removable drive or partition"));
  EXPECT_EQ(resolve_drive_or_partition_target(context(), dev("sdc")), unknown);
  EXPECT_EQ(resolve_drive_or_partition_target(context(), part_link_), unknown);
}

TEST_F(ResolveTarget, DriveVanishingBetweenSnapshotsIsNotFound) {
  SequenceLister lister({{usb_drive()}, {}});
  EXPECT_EQ(resolve_drive_or_partition_target(GuardContext{lister, paths_}, dev("sdb1")),
            std::unexpected("refused destructive operation: device not found: " + dev("sdb")));
}

}  // namespace
}  // namespace tarnwick::guard
