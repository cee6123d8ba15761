// SPDX-License-Identifier: MIT
// A drive used through a loop device (or a zram device writing back to it):
// `lsblk` shows that device beside the drive, so only the kernel's word in
// sysfs ties the two together.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

using inventory::Drive;
using inventory::Partition;

constexpr const char* kInUse = "refused destructive operation: device is in use by the system";

class BackingDevices : public fixture::GuardTree {
 protected:
  // A loop device whose sysfs names `backing` as its backing file.
  Drive loop(const std::string& name, const std::string& backing) const {
    tree_.write_file("sys/class/block/" + name + "/loop/backing_file", backing + "\n");
    Drive device;
    device.path = dev(name);
    return device;
  }
};

struct Case {
  const char* name;
  std::function<void()> arrange;
  std::string expected;  // "" for the drive's by-id link
};

TEST_F(BackingDevices, LoopDevicesOverTheDriveKeepItFromTheGuard) {
  const std::string link = by_id("usb-Stick_123", "sdb");
  const Case cases[] = {
      {"loop over the drive", [&] { lister_.loop_devices_ = {loop("loop0", dev("sdb"))}; }, kInUse},
      {"loop over a partition", [&] { lister_.loop_devices_ = {loop("loop0", dev("sdb2"))}; },
       kInUse},
      {"backing named by a link", [&] { lister_.loop_devices_ = {loop("loop0", link)}; }, kInUse},
      {"loop over an unrelated file",
       [&] {
         tree_.write_file("images/disk.img", "");
         lister_.loop_devices_ = {loop("loop0", root_ + "/images/disk.img")};
       },
       ""},
      {"backing path gone",
       [&] { lister_.loop_devices_ = {loop("loop0", root_ + "/images/gone.img (deleted)")}; }, ""},
      {"partition of the loop device mounted",
       [&] {
         Drive device = loop("loop0", dev("sdb"));
         device.partitions = {Partition{dev("loop0p1"), "/mnt/stick", std::nullopt}};
         lister_.loop_devices_ = {device};
       },
       "refused destructive operation: partition currently mounted at /mnt/stick"},
      {"loop over a loop over the drive, mounted",
       [&] {
         Drive outer = loop("loop1", dev("loop0"));
         outer.mountpoint = "/mnt/deep";
         lister_.loop_devices_ = {outer, loop("loop0", dev("sdb1"))};
       },
       "refused destructive operation: partition currently mounted at /mnt/deep"},
      {"swap on the loop device",
       [&] {
         lister_.loop_devices_ = {loop("loop0", dev("sdb"))};
         write_swaps("Filename Type Size Used Priority\n" + dev("loop0") +
                     " partition 1024 0 -2\n");
       },
       "refused destructive operation: device holds an active swap area"},
      {"another refusal comes alone",
       [&] {
         lister_.drives_[0].read_only = true;
         lister_.loop_devices_ = {loop("loop0", dev("sdb"))};
       },
       "refused destructive operation: device is read-only"},
      {"zram writing back to a partition",
       [&] {
         tree_.write_file("sys/class/block/zram0/backing_dev", dev("sdb1") + "\n");
         Drive zram;
         zram.path = dev("zram0");
         lister_.drives_.push_back(zram);
       },
       kInUse},
      {"zram without a backing device",
       [&] {
         tree_.write_file("sys/class/block/zram0/backing_dev", "none\n");
         Drive zram;
         zram.path = dev("zram0");
         lister_.drives_.push_back(zram);
       },
       ""},
  };
  for (const Case& c : cases) {
    lister_.drives_ = {usb_drive()};
    lister_.loop_devices_.clear();
    write_swaps("Filename\tType\tSize\tUsed\tPriority\n");
    c.arrange();
    auto target = resolve_drive_target(context(), dev("sdb"));
    const std::string got = target ? target->stable_path : target.error();
    EXPECT_EQ(got, c.expected.empty() ? link : c.expected) << c.name;
    std::filesystem::remove_all(root_ + "/sys");
  }
}

}  // namespace
}  // namespace tarnwick::guard
