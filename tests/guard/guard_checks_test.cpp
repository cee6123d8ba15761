// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

using fixture::GuardTree;
using inventory::Drive;
using inventory::MappedChild;
using inventory::Partition;

class GuardChecks : public GuardTree {
 protected:
  std::vector<std::string> reasons(const Drive& drive) {
    lister_.drives_ = {drive};
    auto report = guard(drive.path);
    if (!report) {
      ADD_FAILURE() << report.error().display();
      return {};
    }
    EXPECT_EQ(report->allowed, report->reasons.empty());
    return report->reasons;
  }
  std::vector<std::string> reasons() { return reasons(usb_drive()); }
  using Reasons = std::vector<std::string>;
};

TEST_F(GuardChecks, CleanRemovableDriveIsAllowed) {
  const std::string link = by_id("usb-Stick_123", "sdb");
  auto report = guard(dev("sdb"));
  ASSERT_TRUE(report) << report.error().display();
  EXPECT_TRUE(report->allowed);
  EXPECT_TRUE(report->reasons.empty());
  EXPECT_EQ(report->stable_path, link);
  EXPECT_TRUE(require_allowed(*report));
}

TEST_F(GuardChecks, RemovableOrHotplugEitherSuffices) {
  struct Case {
    bool removable, hotplug;
    Reasons expected;
  };
  const Case cases[] = {
      {true, false, {}},
      {false, true, {}},
      {false, false, {"device is not removable or hotplug-capable"}},
  };
  for (const Case& c : cases) {
    Drive drive = usb_drive();
    drive.removable = c.removable;
    drive.hotplug = c.hotplug;
    EXPECT_EQ(reasons(drive), c.expected) << c.removable << c.hotplug;
  }
}

TEST_F(GuardChecks, ReadOnlyDrive) {
  Drive drive = usb_drive();
  drive.read_only = true;
  EXPECT_EQ(reasons(drive), Reasons{"device is read-only"});
}

TEST_F(GuardChecks, ReportsOnlyTheFirstMountPointFound) {
  struct Case {
    const char* what;
    std::optional<std::string> drive, part1, mapped1, part2;
    const char* expected;
  };
  const Case cases[] = {
      {"drive itself", "/media/whole", "/media/p1", "/media/c1", "/media/p2", "/media/whole"},
      {"empty text", "", std::nullopt, std::nullopt, std::nullopt, ""},
      {"first partition", std::nullopt, "/media/p1", "/media/c1", "/media/p2", "/media/p1"},
      {"container before second partition", std::nullopt, std::nullopt, "/media/c1", "/media/p2",
       "/media/c1"},
      {"second partition", std::nullopt, std::nullopt, std::nullopt, "/media/p2", "/media/p2"},
  };
  for (const Case& c : cases) {
    Drive drive = usb_drive();
    drive.mountpoint = c.drive;
    drive.partitions[0].mountpoint = c.part1;
    drive.partitions[0].mapped = MappedChild{"tarnwick_c1", c.mapped1};
    drive.partitions[1].mountpoint = c.part2;
    EXPECT_EQ(reasons(drive), Reasons{std::string("partition currently mounted at ") + c.expected})
        << c.what;
  }
}

TEST_F(GuardChecks, RootFilesystemIsJudgedByTheFirstRootEntryOnly) {
  const std::string sdb1 = dev("sdb1");
  const std::string link = by_uuid("1234-ABCD", "sdb1");
  struct Case {
    std::string what;
    std::string mounts;
    bool hosts_root;
  };
  const Case cases[] = {
      {"partition", sdb1 + " / ext4 rw 0 0\n", true},
      {"whole drive, separators ignored", root_ + "/dev//sdb / ext4 rw 0 0\n", true},
      {"source reached through a link", link + " / ext4 rw 0 0\n", true},
      {"tab separated, no final line feed", "\t" + sdb1 + "\t/", true},
      {"other disk", "/dev/vda1 / ext4 rw 0 0\n", false},
      {"pseudo source first", "rootfs / rootfs rw 0 0\n" + sdb1 + " / ext4 rw 0 0\n", false},
      {"mount point must be exactly /", sdb1 + " /. ext4 rw 0 0\n" + sdb1 + " /mnt ext4\n", false},
      {"single-field lines skipped", "/\n" + sdb1 + " / ext4\n", true},
      {"no root entry", sdb1 + " /media/x ext4 rw 0 0\n", false},
  };
  for (const Case& c : cases) {
    write_mounts(c.mounts);
    EXPECT_EQ(reasons(),
              c.hosts_root ? Reasons{"device hosts the running root filesystem"} : Reasons{})
        << c.what;
  }
}

TEST_F(GuardChecks, RootInsideAnOpenedContainer) {
  Drive drive = usb_drive();
  drive.partitions[1].mapped = MappedChild{"tarnwick_root", std::nullopt};
  // The mapper name need not exist: the candidate is then compared as text.
  write_mounts("/dev/mapper/tarnwick_root / ext4 rw 0 0\n");
  EXPECT_EQ(reasons(drive), Reasons{"device hosts the running root filesystem"});
  write_mounts("/dev/mapper/tarnwick_other / ext4 rw 0 0\n");
  EXPECT_EQ(reasons(drive), Reasons{});
}

TEST_F(GuardChecks, UnresolvableRootSourceIsComparedAsText) {
  Drive drive = usb_drive();
  drive.path = "/dev/tdh-test-absent-sdz";
  drive.partitions = {Partition{"/dev/tdh-test-absent-sdz1", std::nullopt, std::nullopt}};
  write_mounts("/dev/tdh-test-absent-sdz1 / ext4 rw 0 0\n");
  EXPECT_EQ(reasons(drive), Reasons{"device hosts the running root filesystem"});
}

TEST_F(GuardChecks, UnreadableMountTableFailsTheGuard) {
  Drive drive = usb_drive();
  drive.read_only = true;
  lister_.drives_ = {drive};
  std::filesystem::remove(paths_.proc_mounts);
  auto report = guard(drive.path);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().display(), "io: No such file or directory (os error 2)");

  write_mounts(dev("sdb1") + " / ext4\n\xff\n");
  report = guard(drive.path);
  ASSERT_FALSE(report);
  EXPECT_TRUE(std::holds_alternative<HelperError::Io>(report.error().value));
}

TEST_F(GuardChecks, ActiveSwapOnTheDrive) {
  const std::string header = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";
  const std::string sdb2 = dev("sdb2");
  const std::string alias = by_uuid("swap-uuid", "sdb2");
  Drive drive = usb_drive();
  drive.partitions[0].mapped = MappedChild{"tarnwick_swap", std::nullopt};
  struct Case {
    std::string what;
    std::string swaps;
    bool active;
  };
  const Case cases[] = {
      {"header only", header, false},
      {"header naming the partition is not an entry", sdb2 + " partition 1 0 -2\n", false},
      {"partition", header + "/dev/zram0 partition 8 0 100\n" + sdb2 + " partition 1 0 -2\n", true},
      {"whole drive", header + root_ + "/dev/sdb partition 1 0 -2\n", true},
      {"through a link", header + alias + " partition 1 0 -2", true},
      {"swap file on the drive's filesystem", header + "/media/stick/swapfile file 1 0 -2\n",
       false},
      {"leading white space", header + "  \u3000" + sdb2 + " partition 1 0 -2\n", true},
      {"mapped children are not candidates", header + "/dev/mapper/tarnwick_swap partition 1 0\n",
       false},
  };
  for (const Case& c : cases) {
    write_swaps(c.swaps);
    EXPECT_EQ(reasons(drive), c.active ? Reasons{"device holds an active swap area"} : Reasons{})
        << c.what;
  }
}

TEST_F(GuardChecks, CrypttabReferences) {
  const std::string sdb1 = dev("sdb1");
  by_uuid("0f3c-luks", "sdb1");
  by_uuid("other", "sdc");
  struct Case {
    std::string what;
    std::string crypttab;
    bool referenced;
  };
  const Case cases[] = {
      {"UUID= through by-uuid", "data UUID=0f3c-luks none luks\n", true},
      {"UUID= of another device", "data UUID=other none luks\n", false},
      {"UUID= without a link", "data UUID=missing none luks\n", false},
      {"PARTUUID= never matches", "data PARTUUID=0f3c-luks none\n", false},
      {"comment", "#data UUID=0f3c-luks none\n", false},
      {"comment after white space", " \t# data UUID=0f3c-luks none\n", false},
      {"indented entry", "\t data  UUID=0f3c-luks\tnone\n", true},
      {"single field", "UUID=0f3c-luks\n", false},
      {"fixture path without /dev/ prefix", "data " + sdb1 + " none\n", false},
      {"first usable line wins among several", "\n# x\nother UUID=other\ndata UUID=0f3c-luks\n",
       true},
  };
  for (const Case& c : cases) {
    write_crypttab(c.crypttab);
    EXPECT_EQ(reasons(),
              c.referenced ? Reasons{"device is referenced in /etc/crypttab"} : Reasons{})
        << c.what;
  }
}

TEST_F(GuardChecks, CrypttabDevForm) {
  // A "/dev/" source cannot point into the fixture tree, so the drive carries
  // kernel names that do not exist here and are compared unresolved.
  Drive drive = usb_drive();
  drive.path = "/dev/tdh-test-absent-sdz";
  drive.partitions = {Partition{"/dev/tdh-test-absent-sdz1", std::nullopt, std::nullopt}};
  struct Case {
    const char* crypttab;
    bool referenced;
  };
  const Case cases[] = {
      {"data /dev/tdh-test-absent-sdz1 none luks\n", true},
      {"data /dev//tdh-test-absent-sdz/ none\n", true},
      {"data /dev/tdh-test-absent-sdz2 none\n", false},
      {"data /dev/ none\n", false},
      {"data \"/dev/tdh-test-absent-sdz1\" none\n", false},
  };
  for (const Case& c : cases) {
    write_crypttab(c.crypttab);
    EXPECT_EQ(reasons(drive),
              c.referenced ? Reasons{"device is referenced in /etc/crypttab"} : Reasons{})
        << c.crypttab;
  }
}

TEST_F(GuardChecks, MissingOrInvalidOptionalTablesSkipTheirChecks) {
  std::filesystem::remove(paths_.proc_swaps);
  std::filesystem::remove(paths_.etc_crypttab);
  EXPECT_EQ(reasons(), Reasons{});

  const std::string sdb1 = dev("sdb1");
  by_uuid("0f3c-luks", "sdb1");
  write_swaps("Filename\n" + sdb1 + " partition \xc0\xaf\n");
  write_crypttab("data UUID=0f3c-luks none \xed\xa0\x80\n");
  EXPECT_EQ(reasons(), Reasons{});
}

TEST_F(GuardChecks, EveryFailedCheckIsReportedInOrder) {
  const std::string sdb1 = dev("sdb1");
  by_uuid("0f3c-luks", "sdb1");
  Drive drive = usb_drive();
  drive.removable = false;
  drive.read_only = true;
  drive.partitions[1].mountpoint = "/media/data";
  write_mounts(sdb1 + " / ext4 rw 0 0\n");
  write_swaps("Filename Type\n" + root_ + "/dev/sdb2 partition\n");
  write_crypttab("data UUID=0f3c-luks\n");
  const Reasons expected{
      "device is not removable or hotplug-capable", "device is read-only",
      "partition currently mounted at /media/data", "device hosts the running root filesystem",
      "device holds an active swap area",           "device is referenced in /etc/crypttab"};
  EXPECT_EQ(reasons(drive), expected);

  GuardReport report{"x", expected, false};
  EXPECT_EQ(require_allowed(report).error().display(),
            "refused destructive operation: device is not removable or hotplug-capable; device is "
            "read-only; partition currently mounted at /media/data; device hosts the running root "
            "filesystem; device holds an active swap area; device is referenced in /etc/crypttab");
}

TEST_F(GuardChecks, OnlyWholeDrivesNamedByTheirKernelPathAreFound) {
  const std::string link = by_id("usb-Stick_123", "sdb");
  for (const std::string& device : {dev("sdb1"), link, dev("sdc"), std::string("sdb")}) {
    auto report = guard(device);
    ASSERT_FALSE(report) << device;
    EXPECT_EQ(report.error(), HelperError::refused("device not found: " + device));
  }
  // The text is kept exactly as given, also when it matches a drive.
  auto report = guard(root_ + "/dev//./sdb");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->stable_path, link);
}

TEST_F(GuardChecks, InventoryFailureIsPassedOn) {
  struct FailingLister final : inventory::DriveLister {
    std::expected<inventory::Snapshot, HelperError> list_drives() const override {
      return std::unexpected(HelperError{HelperError::ToolNotFound{"lsblk"}});
    }
  } failing;
  auto report = guard_drive(GuardContext{failing, paths_}, dev("sdb"));
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().display(), "required tool not found in PATH: lsblk");
}

TEST_F(GuardChecks, WithoutALinkTheStablePathIsTheDeviceText) {
  const std::string text = root_ + "/dev/./sdb";
  auto report = guard(text);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->stable_path, text);
}

}  // namespace
}  // namespace tarnwick::guard
