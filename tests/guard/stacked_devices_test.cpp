// SPDX-License-Identifier: MIT
// Devices stacked deeper than the reduced inventory (logical volumes, RAID
// arrays, containers in containers) still keep their drive from the guard:
// `lsblk` documents as the helper reads them, through the decoder and the
// reduction, to the guard's reasons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

using Reasons = std::vector<std::string>;

// One `lsblk -J` node; `path` is relative to the fixture tree's /dev.
struct N {
  std::string name;
  std::string type;
  std::string mountpoint;  // empty: null
  std::vector<N> children;
};

class StackedDevices : public fixture::GuardTree {
 protected:
  std::string node_json(const N& n) const {
    std::string path = n.type == "disk" || n.type == "part" || n.type == "raid1"
                           ? root_ + "/dev/" + n.name
                           : root_ + "/dev/mapper/" + n.name;
    std::string json = R"({"name":")" + n.name + R"(","path":")" + path + R"(","type":")" + n.type +
                       R"(","rm":true,"hotplug":true,"ro":false,"mountpoint":)" +
                       (n.mountpoint.empty() ? "null" : "\"" + n.mountpoint + "\"");
    if (!n.children.empty()) {
      json += R"(,"children":[)";
      for (std::size_t i = 0; i < n.children.size(); ++i) {
        json += (i > 0 ? "," : "") + node_json(n.children[i]);
      }
      json += "]";
    }
    return json + "}";
  }

  Reasons reasons(const N& drive) {
    const std::string document = R"({"blockdevices":[)" + node_json(drive) + "]}";
    auto root = inventory::decode_lsblk(document);
    if (!root) {
      ADD_FAILURE() << root.error();
      return {};
    }
    lister_.drives_ = inventory::reduce_drives(*root);
    auto report = guard(root_ + "/dev/" + drive.name);
    if (!report) {
      ADD_FAILURE() << report.error().display();
      return {};
    }
    return report->reasons;
  }
};

// The layout of encrypted installs and backup disks: LUKS on a partition,
// LVM inside.
N lvm_in_luks(std::string root_mount, std::string data_mount) {
  return N{"sdb",
           "disk",
           "",
           {{"sdb1",
             "part",
             "",
             {{"extluks",
               "crypt",
               "",
               {{"extvg-root", "lvm", std::move(root_mount), {}},
                {"extvg-data", "lvm", std::move(data_mount), {}},
                {"extvg-swap", "lvm", "", {}}}}}}}};
}

TEST_F(StackedDevices, MountsAtAnyDepthAreReportedAfterTheShallowerOnes) {
  struct Case {
    std::string what;
    N drive;
    Reasons expected;
  };
  const Case cases[] = {
      {"logical volume in a container on a partition",
       lvm_in_luks("", "/mnt/ext"),
       {"partition currently mounted at /mnt/ext"}},
      {"first in tree order",
       lvm_in_luks("/mnt/r", "/mnt/ext"),
       {"partition currently mounted at /mnt/r"}},
      {"RAID array on a member partition",
       N{"sdb", "disk", "", {{"sdb1", "part", "", {{"md0", "raid1", "/srv", {}}}}}},
       {"partition currently mounted at /srv"}},
      {"container in a container",
       N{"sdb",
         "disk",
         "",
         {{"sdb1", "part", "", {{"outer", "crypt", "", {{"inner", "crypt", "/media/in", {}}}}}}}},
       {"partition currently mounted at /media/in"}},
      {"second container of a partition",
       N{"sdb",
         "disk",
         "",
         {{"sdb1", "part", "", {{"first", "crypt", "", {}}, {"second", "crypt", "/m2", {}}}}}},
       {"partition currently mounted at /m2"}},
      {"logical volume straight on the drive",
       N{"sdb", "disk", "", {{"vg-lv", "lvm", "/mnt/lv", {}}}},
       {"partition currently mounted at /mnt/lv"}},
      {"a shallower mount point wins, also on a later partition",
       N{"sdb",
         "disk",
         "",
         {{"sdb1", "part", "", {{"vg-a", "lvm", "/deep", {}}}}, {"sdb2", "part", "/media/p2", {}}}},
       {"partition currently mounted at /media/p2"}},
      {"nothing mounted anywhere", lvm_in_luks("", ""), {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasons(c.drive), c.expected) << c.what;
  }
}

TEST_F(StackedDevices, RootAndSwapOnStackedDevicesAreFoundThroughTheirLinks) {
  // As udev makes them: /dev/mapper names are links to dm nodes, and the
  // kernel's tables may name either.
  dev("dm-1");
  dev("dm-2");
  tree_.symlink("../dm-1", "dev/mapper/extvg-root");
  tree_.symlink("../dm-2", "dev/mapper/extvg-swap");
  const std::string header = "Filename\tType\tSize\tUsed\tPriority\n";
  struct Case {
    std::string what;
    std::string mounts;
    std::string swaps;
    Reasons expected;
  };
  const Case cases[] = {
      {"root by its mapper link",
       root_ + "/dev/mapper/extvg-root / ext4 rw 0 0\n",
       header,
       {"device hosts the running root filesystem"}},
      {"root by its dm node",
       root_ + "/dev/dm-1 / ext4 rw 0 0\n",
       header,
       {"device hosts the running root filesystem"}},
      {"swap by its dm node",
       "/dev/vda1 / ext4 rw 0 0\n",
       header + root_ + "/dev/dm-2 partition 1 0 -2\n",
       {"device holds an active swap area"}},
      {"swap by its mapper link",
       "/dev/vda1 / ext4 rw 0 0\n",
       header + root_ + "/dev/mapper/extvg-swap partition 1 0 -2\n",
       {"device holds an active swap area"}},
      {"both, in check order",
       root_ + "/dev/dm-1 / ext4 rw 0 0\n",
       header + root_ + "/dev/dm-2 partition 1 0 -2\n",
       {"device hosts the running root filesystem", "device holds an active swap area"}},
      {"another system's volumes",
       "/dev/mapper/vg-root / ext4 rw 0 0\n",
       header + "/dev/dm-9 partition 1 0 -2\n",
       {}},
  };
  for (const Case& c : cases) {
    write_mounts(c.mounts);
    write_swaps(c.swaps);
    EXPECT_EQ(reasons(lvm_in_luks("", "")), c.expected) << c.what;
  }
}

TEST_F(StackedDevices, TheKernelIsAskedOnlyAboutBlockDevicesAndFiles) {
  // Plain files stand for devices in the trees above and are never held; a
  // FIFO must not be opened at all (it would block), nor may a character
  // device (opening some acts on the hardware).
  const std::string fifo = tree_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {dev("sdb"), fifo, std::string("/dev/null"), tree_.file("absent"), std::string("")}) {
    EXPECT_FALSE(held_by_kernel(path)) << path;
  }
}

}  // namespace
}  // namespace tarnwick::guard
