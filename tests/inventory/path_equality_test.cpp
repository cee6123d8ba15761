// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "inventory/inventory.hpp"

namespace tarnwick::inventory {
namespace {

TEST(PathEquality, ComparesComponents) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"/dev/sdb", "/dev/sdb", true},
      {"/dev//sdb/", "/dev/sdb", true},
      {"//dev///sdb//", "/dev/sdb", true},
      {"/dev/./sdb/.", "/dev/sdb", true},
      {"/./dev/sdb", "/dev/sdb", true},
      {"/dev/../dev/sdb", "/dev/sdb", false},
      {"/dev/sdb/..", "/dev", false},
      {"/dev/SDB", "/dev/sdb", false},
      {"/dev/sdb", "dev/sdb", false},
      {"/dev/sdb", "/dev/sdb1", false},
      {"/dev/sd", "/dev/sdb", false},
      {"/dev/disk/by-id/usb-x", "/dev/sdb", false},
      {"./dev/sdb", "dev/sdb", false},
      {"dev/./sdb", "dev/sdb", true},
      {"/", "//", true},
      {"/", "", false},
      {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(paths_equal(c.a, c.b), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(paths_equal(c.b, c.a), c.equal) << '"' << c.b << "\" vs \"" << c.a << '"';
  }
}

TEST(PathEquality, RootIsItsOwnComponent) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(path_components("/dev//disk/./by-id/"), (V{"/", "dev", "disk", "by-id"}));
  EXPECT_EQ(path_components("dev/sdb"), (V{"dev", "sdb"}));
  EXPECT_EQ(path_components("./a/../b"), (V{".", "a", "..", "b"}));
  EXPECT_EQ(path_components(""), V{});
}

Drive drive_with(std::string path, const std::vector<std::string>& partitions) {
  Drive drive;
  drive.path = std::move(path);
  for (const std::string& partition : partitions) {
    drive.partitions.push_back(Partition{partition, std::nullopt, std::nullopt});
  }
  return drive;
}

std::vector<Drive> sample_drives() {
  return {
      drive_with("/dev/sda", {"/dev/sda1"}),
      drive_with("/dev/sdb", {"/dev/sdb1", "/dev/sdb2"}),
      drive_with("/dev/sdb", {}),
  };
}

TEST(FindDrive, ByPathMatchesWholeDrivesOnlyAndReturnsTheFirst) {
  const std::vector<Drive> drives = sample_drives();
  EXPECT_EQ(find_drive_by_path(drives, "/dev//sdb/"), &drives[1]);
  EXPECT_EQ(find_drive_by_path(drives, "/dev/sdb1"), nullptr);
  EXPECT_EQ(find_drive_by_path(drives, "/dev/disk/by-id/usb-x"), nullptr);
  EXPECT_EQ(find_drive_by_path({}, "/dev/sdb"), nullptr);
}

TEST(FindDrive, ForDeviceAcceptsTheDriveOrOneOfItsPartitions) {
  const std::vector<Drive> drives = sample_drives();
  EXPECT_EQ(find_drive_for_device(drives, "/dev/sda"), &drives[0]);
  EXPECT_EQ(find_drive_for_device(drives, "/dev/sda1"), &drives[0]);
  EXPECT_EQ(find_drive_for_device(drives, "/dev/./sdb2"), &drives[1]);
  EXPECT_EQ(find_drive_for_device(drives, "/dev/sdb3"), nullptr);
}

}  // namespace
}  // namespace tarnwick::inventory
