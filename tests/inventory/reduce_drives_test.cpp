// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "inventory/inventory.hpp"

namespace tarnwick::inventory {
namespace {

LsblkNode node(std::string name, std::optional<std::string> type,
               std::vector<LsblkNode> children = {}) {
  LsblkNode result;
  result.path = "/dev/" + name;
  result.name = std::move(name);
  result.type = std::move(type);
  result.children = std::move(children);
  return result;
}

LsblkNode with_mount(LsblkNode n, std::string mountpoint) {
  n.mountpoint = std::move(mountpoint);
  return n;
}

TEST(ReduceDrives, OnlyTopLevelDisksOfExactTypeAreDrives) {
  const LsblkRoot root{{
      node("loop0", "loop"),
      node("sr0", "rom"),
      node("sda1", "part"),
      node("sdx", std::nullopt),
      node("sdy", "Disk"),
      node("sdb", "disk"),
      node("sdc", "disk"),
  }};
  const std::vector<Drive> drives = reduce_drives(root);
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].path, "/dev/sdb");
  EXPECT_EQ(drives[1].path, "/dev/sdc");
  EXPECT_TRUE(reduce_drives(LsblkRoot{}).empty());
}

TEST(ReduceDrives, FlagsTreatNullAsFalse) {
  struct Case {
    std::optional<bool> rm, hotplug, ro;
    bool removable, hot, read_only;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, false, false, false},
      {true, false, true, true, false, true},
      {false, true, false, false, true, false},
  };
  for (const Case& c : cases) {
    LsblkNode disk = node("sdb", "disk");
    disk.rm = c.rm;
    disk.hotplug = c.hotplug;
    disk.ro = c.ro;
    const Drive drive = reduce_drives(LsblkRoot{{disk}}).at(0);
    EXPECT_EQ(drive.removable, c.removable);
    EXPECT_EQ(drive.hotplug, c.hot);
    EXPECT_EQ(drive.read_only, c.read_only);
  }
}

TEST(ReduceDrives, KeepsTheDriveMountPointEvenWhenEmpty) {
  EXPECT_EQ(reduce_drives(LsblkRoot{{with_mount(node("sdb", "disk"), "")}}).at(0).mountpoint,
            std::optional<std::string>(""));
  EXPECT_EQ(reduce_drives(LsblkRoot{{node("sdb", "disk")}}).at(0).mountpoint, std::nullopt);
}

TEST(ReduceDrives, PartitionsContainersAndFirstMappingOnly) {
  LsblkNode mapping_a = with_mount(node("tarnwick_a", "crypt"), "/media/a");
  mapping_a.path = "/dev/mapper/tarnwick_a";
  LsblkNode mapping_b = node("tarnwick_b", "crypt");
  // A container below a logical volume is deeper than the guard looks.
  LsblkNode lvm_inside = node("vg-root", "lvm", {with_mount(node("deep", "crypt"), "/deep")});
  LsblkNode whole_container = with_mount(node("whole", "crypt"), "/media/whole");
  whole_container.path = "/dev/mapper/whole";

  const LsblkRoot root{
      {node("sdb", "disk",
            {
                with_mount(node("sdb1", "part", {lvm_inside, mapping_a, mapping_b}), "/boot"),
                node("sdb2", "part"),
                node("md0", "raid1"),
                node("vg-lv", "lvm"),
                whole_container,
            })}};
  const Drive drive = reduce_drives(root).at(0);
  const std::vector<Partition> expected{
      Partition{"/dev/sdb1", "/boot", MappedChild{"tarnwick_a", "/media/a"}},
      Partition{"/dev/sdb2", std::nullopt, std::nullopt},
      Partition{"/dev/mapper/whole", "/media/whole", std::nullopt},
  };
  EXPECT_EQ(drive.partitions, expected);

  // Everything else below the drive, in tree order: what lies below the
  // first mapping counts, the mapping itself is already a partition's.
  std::vector<std::string> stacked;
  for (const StackedDevice& device : drive.stacked) {
    stacked.push_back(device.path + "@" + device.mountpoint.value_or("-"));
  }
  const std::vector<std::string> expected_stacked{
      "/dev/vg-root@-", "/dev/deep@/deep", "/dev/tarnwick_b@-", "/dev/md0@-", "/dev/vg-lv@-"};
  EXPECT_EQ(stacked, expected_stacked);
}

TEST(ReduceDrives, StackedDevicesBelowMappingsAndContainers) {
  // A container on the whole drive is a partition, the one inside it its
  // mapping: only what lies below that is stacked.
  LsblkNode lv = with_mount(node("vg-data", "lvm"), "/mnt/ext");
  LsblkNode whole = node("whole", "crypt", {node("inner", "crypt", {node("md0", "raid1")})});
  const Drive drive =
      reduce_drives(LsblkRoot{{node("sdb", "disk",
                                    {node("sdb1", "part", {node("luks", "crypt", {lv})}), whole})}})
          .at(0);
  const std::vector<StackedDevice> expected{{"/dev/vg-data", "/mnt/ext"},
                                            {"/dev/md0", std::nullopt}};
  EXPECT_EQ(drive.stacked, expected);
}

}  // namespace
}  // namespace tarnwick::inventory
