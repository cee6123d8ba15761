// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/inventory.hpp"

namespace tarnwick::inventory {
namespace {

// lsblk -J -b prints three-space indented JSON, every column present.
const std::string two_drives = R"({
   "blockdevices": [
      {
         "name": "sda",
         "path": "/dev/sda",
         "size": 500107862016,
         "type": "disk",
         "rm": false,
         "hotplug": false,
         "ro": false,
         "rota": false,
         "tran": "sata",
         "vendor": "ATA     ",
         "model": "Samsung SSD 860 EVO 500GB",
         "serial": "S3Z9NB0K123456A",
         "fstype": null,
         "fsused": null,
         "fssize": null,
         "mountpoint": null,
         "label": null,
         "pttype": "gpt",
         "children": [
            {
               "name": "sda1",
               "path": "/dev/sda1",
               "size": 536870912,
               "type": "part",
               "rm": false,
               "hotplug": false,
               "ro": false,
               "rota": false,
               "tran": null,
               "vendor": null,
               "model": null,
               "serial": null,
               "fstype": "vfat",
               "fsused": 6291456,
               "fssize": 535805952,
               "mountpoint": "/boot/efi",
               "label": null,
               "pttype": "gpt"
            }
         ]
      },
      {
         "name": "sdb",
         "path": "/dev/sdb",
         "size": 31914983424,
         "type": "disk",
         "rm": true,
         "hotplug": true,
         "ro": false,
         "rota": false,
         "tran": "usb",
         "vendor": "SanDisk ",
         "model": "Ultra Fit",
         "serial": "4C530001\u00e9",
         "fstype": null,
         "fsused": null,
         "fssize": null,
         "mountpoint": null,
         "label": null,
         "pttype": "dos",
         "children": [
            {
               "name": "sdb1",
               "path": "/dev/sdb1",
               "size": 31913934848,
               "type": "part",
               "rm": true,
               "hotplug": true,
               "ro": false,
               "rota": false,
               "tran": null,
               "vendor": null,
               "model": null,
               "serial": null,
               "fstype": "crypto_LUKS",
               "fsused": null,
               "fssize": null,
               "mountpoint": null,
               "label": "backup",
               "pttype": "dos",
               "children": [
                  {
                     "name": "tarnwick_backup",
                     "path": "/dev/mapper/tarnwick_backup",
                     "size": 31897157632,
                     "type": "crypt",
                     "rm": false,
                     "hotplug": false,
                     "ro": false,
                     "rota": false,
                     "tran": null,
                     "vendor": null,
                     "model": null,
                     "serial": null,
                     "fstype": "ext4",
                     "fsused": 1048576,
                     "fssize": 31376707584,
                     "mountpoint": "/media/backup",
                     "label": "backup",
                     "pttype": null
                  }
               ]
            }
         ]
      },
      {
         "name": "loop0",
         "path": "/dev/loop0",
         "size": 0,
         "type": "loop",
         "rm": false,
         "hotplug": false,
         "ro": true,
         "rota": false,
         "tran": null,
         "vendor": null,
         "model": null,
         "serial": null,
         "fstype": null,
         "fsused": null,
         "fssize": null,
         "mountpoint": null,
         "label": null,
         "pttype": null
      }
   ]
}
)";

LsblkNode node(std::string name, std::string path, std::optional<std::string> type) {
  LsblkNode n;
  n.name = std::move(name);
  n.path = std::move(path);
  n.type = std::move(type);
  n.rm = false;
  n.hotplug = false;
  n.ro = false;
  n.rota = false;
  return n;
}

TEST(DecodeLsblk, RealisticMultiDriveOutput) {
  LsblkNode efi = node("sda1", "/dev/sda1", "part");
  efi.size = 536870912;
  efi.fstype = "vfat";
  efi.fsused = 6291456;
  efi.fssize = 535805952;
  efi.mountpoint = "/boot/efi";
  efi.pttype = "gpt";
  LsblkNode sda = node("sda", "/dev/sda", "disk");
  sda.size = 500107862016;
  sda.tran = "sata";
  sda.vendor = "ATA     ";
  sda.model = "Samsung SSD 860 EVO 500GB";
  sda.serial = "S3Z9NB0K123456A";
  sda.pttype = "gpt";
  sda.children = {efi};

  LsblkNode mapping = node("tarnwick_backup", "/dev/mapper/tarnwick_backup", "crypt");
  mapping.size = 31897157632;
  mapping.fstype = "ext4";
  mapping.fsused = 1048576;
  mapping.fssize = 31376707584;
  mapping.mountpoint = "/media/backup";
  mapping.label = "backup";
  LsblkNode sdb1 = node("sdb1", "/dev/sdb1", "part");
  sdb1.size = 31913934848;
  sdb1.rm = true;
  sdb1.hotplug = true;
  sdb1.fstype = "crypto_LUKS";
  sdb1.label = "backup";
  sdb1.pttype = "dos";
  sdb1.children = {mapping};
  LsblkNode sdb = node("sdb", "/dev/sdb", "disk");
  sdb.size = 31914983424;
  sdb.rm = true;
  sdb.hotplug = true;
  sdb.tran = "usb";
  sdb.vendor = "SanDisk ";
  sdb.model = "Ultra Fit";
  sdb.serial = "4C530001\xC3\xA9";
  sdb.pttype = "dos";
  sdb.children = {sdb1};

  LsblkNode loop = node("loop0", "/dev/loop0", "loop");
  loop.size = 0;
  loop.ro = true;

  const auto decoded = decode_lsblk(two_drives);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, (LsblkRoot{{sda, sdb, loop}}));
}

TEST(DecodeLsblk, AbsentAndNullOptionalFieldsAreEmpty) {
  const auto decoded =
      decode_lsblk(R"({"blockdevices":[{"name":"sdc","path":"/dev/sdc","rm":null,"size":null}]})");
  ASSERT_TRUE(decoded) << decoded.error();
  LsblkNode expected;
  expected.name = "sdc";
  expected.path = "/dev/sdc";
  EXPECT_EQ(*decoded, (LsblkRoot{{expected}}));
}

TEST(DecodeLsblk, UnknownKeysAreReadAndIgnored) {
  const auto decoded = decode_lsblk(
      R"({"extra":[1,{"x":null}],"blockdevices":[{"name":"a","path":"/a","uuid":"x","uuid":{"y":[]},"children":[]}]})");
  ASSERT_TRUE(decoded) << decoded.error();
  ASSERT_EQ(decoded->blockdevices.size(), 1u);
  EXPECT_TRUE(decoded->blockdevices[0].children.empty());
  EXPECT_TRUE(decode_lsblk("  {\"blockdevices\":[]}\n"));
}

struct Row {
  std::string json;
  std::string error;
};

std::string in_node(const std::string& members) {
  return R"({"blockdevices":[{"name":"a","path":"/a",)" + members + "}]}";
}

TEST(DecodeLsblk, RefusesWhatTheFormatDoesNotAllow) {
  // in_node(...) puts its members after column 41.
  const std::vector<Row> rows = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"{}", "missing field `blockdevices` at line 1 column 2"},
      {"[]", "invalid type: sequence, expected struct LsblkRoot at line 1 column 0"},
      {"5", "invalid type: integer `5`, expected struct LsblkRoot at line 1 column 1"},
      {R"({"blockdevices":null})", "invalid type: null, expected a sequence at line 1 column 20"},
      {R"({"blockdevices":{}})", "invalid type: map, expected a sequence at line 1 column 16"},
      {R"({"blockdevices":[],"blockdevices":[]})",
       "duplicate field `blockdevices` at line 1 column 33"},
      {R"({"blockdevices":[5]})",
       "invalid type: integer `5`, expected struct LsblkNode at line 1 column 18"},
      {R"({"blockdevices":[[]]})",
       "invalid type: sequence, expected struct LsblkNode at line 1 column 17"},
      {R"({"blockdevices":[{"path":"/a"}]})", "missing field `name` at line 1 column 30"},
      {R"({"blockdevices":[{"name":"a"}]})", "missing field `path` at line 1 column 29"},
      {R"({"blockdevices":[{"name":null,"path":"/a"}]})",
       "invalid type: null, expected a string at line 1 column 29"},
      {in_node(R"("size":"123")"),
       "invalid type: string \"123\", expected u64 at line 1 column 53"},
      {in_node(R"("size":-5)"), "invalid value: integer `-5`, expected u64 at line 1 column 50"},
      {in_node(R"("size":1.5)"),
       "invalid type: floating point `1.5`, expected u64 at line 1 column 51"},
      {in_node(R"("fssize":1e3)"),
       "invalid type: floating point `1000.0`, expected u64 at line 1 column 53"},
      {in_node(R"("fsused":true)"),
       "invalid type: boolean `true`, expected u64 at line 1 column 54"},
      {in_node(R"("size":18446744073709551616)"),
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 68"},
      {in_node(R"("rm":1)"), "invalid type: integer `1`, expected a boolean at line 1 column 47"},
      {in_node(R"("hotplug":"1")"),
       "invalid type: string \"1\", expected a boolean at line 1 column 54"},
      {in_node(R"("ro":"true")"),
       "invalid type: string \"true\", expected a boolean at line 1 column 52"},
      {in_node(R"("tran":5)"), "invalid type: integer `5`, expected a string at line 1 column 49"},
      {in_node(R"("type":["disk"])"),
       "invalid type: sequence, expected a string at line 1 column 48"},
      {in_node(R"("mountpoint":{})"), "invalid type: map, expected a string at line 1 column 54"},
      {in_node(R"("children":null)"),
       "invalid type: null, expected a sequence at line 1 column 56"},
      {in_node(R"("children":{})"), "invalid type: map, expected a sequence at line 1 column 52"},
      {in_node(R"("children":[{"name":"b"}])"), "missing field `path` at line 1 column 65"},
      {in_node(R"("label":"x","label":"x")"), "duplicate field `label` at line 1 column 60"},
      {in_node(R"("name":"b")"), "duplicate field `name` at line 1 column 47"},
      {in_node(R"("rm":true)") + "x", "trailing characters at line 1 column 54"},
      {R"({"blockdevices":[]} {})", "trailing characters at line 1 column 21"},
      {"{\"blockdevices\":[{\"name\":\"\xff\"}]}",
       "invalid unicode code point at line 1 column 27"},
  };
  for (const Row& row : rows) {
    const auto decoded = decode_lsblk(row.json);
    ASSERT_FALSE(decoded) << row.json;
    EXPECT_EQ(decoded.error(), row.error) << row.json;
  }
}

TEST(DecodeLsblk, ErrorsInMultiLineOutputNameTheLine) {
  std::string broken = two_drives;
  broken.replace(broken.find("\"rm\": true"), 10, "\"rm\": 1   ");
  EXPECT_EQ(decode_lsblk(broken).error(),
            "invalid type: integer `1`, expected a boolean at line 50 column 16");
  std::string duplicated = two_drives;
  duplicated.replace(duplicated.find("\"ro\": true"), 4, "\"rm\"");
  EXPECT_EQ(decode_lsblk(duplicated).error(), "duplicate field `rm` at line 116 column 13");
}

TEST(DecodeLsblk, NestingLimit) {
  // The root object and its array are levels 1 and 2; each node and its
  // children array take two more: the 63rd node's array would be level 128.
  const auto nested = [](int nodes) {
    std::string text = R"({"blockdevices":[)";
    for (int i = 0; i < nodes; ++i) text += R"({"name":"n","path":"/p","children":[)";
    for (int i = 0; i < nodes; ++i) text += "]}";
    return text + "]}";
  };
  const auto deep = decode_lsblk(nested(62));
  ASSERT_TRUE(deep) << deep.error();
  const auto too_deep = decode_lsblk(nested(63));
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error(), "recursion limit exceeded at line 1 column 2285");
}

TEST(LsblkArguments, ExactList) {
  const std::vector<std::string> expected = {
      "-J", "-b", "-o",
      "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,ROTA,TRAN,VENDOR,MODEL,SERIAL,FSTYPE,FSUSED,FSSIZE,"
      "MOUNTPOINT,LABEL,PTTYPE"};
  EXPECT_EQ(lsblk_arguments(), expected);
}

}  // namespace
}  // namespace tarnwick::inventory
