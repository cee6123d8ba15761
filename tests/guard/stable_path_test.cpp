// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

class StablePath : public fixture::GuardTree {
 protected:
  // Entry names in the order the directory listing yields them.
  std::vector<std::string> listing_order() const {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(paths_.disk_by_id.c_str()), closedir);
    EXPECT_NE(directory, nullptr);
    while (const dirent* entry = readdir(directory.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    return names;
  }
};

TEST_F(StablePath, FirstLinkInListingOrderWins) {
  const std::vector<std::string> names{"usb-Maker_Stick_0001-0:0", "wwn-0x5000c500a1b2c3d4",
                                       "ata-Maker_Disk_0001",      "nvme-eui.0025388b",
                                       "scsi-SMaker_Stick_0001",   "memstick-Z"};
  for (const std::string& name : names) {
    by_id(name, "sdb");
  }
  by_id("usb-Maker_Stick_0001-0:0-part1", "sdb1");
  tree_.symlink("../../absent", "dev/disk/by-id/dangling");

  std::string first;
  for (const std::string& name : listing_order()) {
    if (std::ranges::find(names, name) != names.end()) {
      first = name;
      break;
    }
  }
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(stable_by_id_path(paths_, dev("sdb")), paths_.disk_by_id + "/" + first);
}

TEST_F(StablePath, PartitionsAndDrivesHaveTheirOwnLinks) {
  const std::string drive_link = by_id("usb-Stick", "sdb");
  const std::string part_link = by_id("usb-Stick-part1", "sdb1");
  EXPECT_EQ(stable_by_id_path(paths_, dev("sdb")), drive_link);
  EXPECT_EQ(stable_by_id_path(paths_, dev("sdb1")), part_link);
  EXPECT_EQ(stable_by_id_path(paths_, dev("sdb2")), std::nullopt);
  // Asking by an alias resolves to the same node.
  EXPECT_EQ(stable_by_id_path(paths_, part_link), part_link);
}

TEST_F(StablePath, NothingWhenTheDirectoryOrTheDeviceIsMissing) {
  by_id("usb-Stick", "sdb");
  EXPECT_EQ(stable_by_id_path(paths_, root_ + "/dev/absent"), std::nullopt);
  EXPECT_EQ(stable_by_id_path(paths_, ""), std::nullopt);
  std::filesystem::remove_all(paths_.disk_by_id);
  EXPECT_EQ(stable_by_id_path(paths_, dev("sdb")), std::nullopt);
}

}  // namespace
}  // namespace tarnwick::guard
