// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "fake_machine.hpp"
#include "support/support.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

using testing::diskstats_line;
using testing::FakeMachine;

struct SizeCase {
  const char* name;
  std::string contents;
  std::optional<std::uint64_t> bytes;
  friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class BlockDeviceSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BlockDeviceSizeTest, ReadsSectorsTimes512) {
  const FakeMachine machine;
  const std::string node = machine.add_node("sdb");
  machine.set_size_text("sdb", GetParam().contents);
  EXPECT_EQ(block_device_size(machine.paths, node), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    SizeFile, BlockDeviceSizeTest,
    ::testing::Values(SizeCase{"Plain", "15633408\n", 15633408ull * 512},
                      SizeCase{"Zero", "0\n", 0},
                      SizeCase{"WhiteSpaceAround", " \t2048\r\n", 2048ull * 512},
                      SizeCase{"LeadingPlus", "+2048\n", 2048ull * 512},
                      SizeCase{"DoublePlus", "++2048\n", std::nullopt},
                      SizeCase{"Minus", "-2048\n", std::nullopt},
                      SizeCase{"Empty", "", std::nullopt},
                      SizeCase{"OnlyWhiteSpace", " \n", std::nullopt},
                      SizeCase{"TrailingLetter", "2048k\n", std::nullopt},
                      SizeCase{"InnerSpace", "20 48\n", std::nullopt},
                      // The largest count whose byte size still fits in 64 bits.
                      SizeCase{"LargestFitting", "36028797018963967", 36028797018963967ull * 512},
                      SizeCase{"MultiplicationOverflows", "36028797018963968", std::nullopt},
                      SizeCase{"BeyondSixtyFourBits", "18446744073709551616", std::nullopt},
                      SizeCase{"NotUtf8", "20\xff", std::nullopt}),
    testing::CaseName{});

TEST(BlockDeviceSize, FollowsAByIdLinkToItsNode) {
  const FakeMachine machine;
  machine.add_node("sdb");
  const std::string link = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
  machine.set_size_bytes("sdb", 8 * 1024 * 1024);
  machine.set_size_bytes("usb-Fake_Disk_123-0:0", 512);
  EXPECT_EQ(block_device_size(machine.paths, link), 8u * 1024 * 1024);
}

TEST(BlockDeviceSize, AbsentWithoutNodeOrSizeFile) {
  const FakeMachine machine;
  machine.set_size_bytes("sdc", 4096);
  EXPECT_EQ(block_device_size(machine.paths, machine.dir.file("dev/sdc")), std::nullopt);
  const std::string node = machine.add_node("sdd");
  EXPECT_EQ(block_device_size(machine.paths, node), std::nullopt);
  EXPECT_EQ(block_device_size(machine.paths, "/"), std::nullopt);
  EXPECT_EQ(block_device_size(machine.paths, ""), std::nullopt);
}

struct DiskstatsCase {
  const char* name;
  std::string contents;
  std::optional<std::uint64_t> bytes;
  friend void PrintTo(const DiskstatsCase& c, std::ostream* os) { *os << c.name; }
};

class DeviceBytesWrittenTest : public ::testing::TestWithParam<DiskstatsCase> {};

TEST_P(DeviceBytesWrittenTest, ReadsTheDevicesOwnLine) {
  const FakeMachine machine;
  const std::string node = machine.add_node("sdb");
  machine.set_diskstats(GetParam().contents);
  EXPECT_EQ(device_bytes_written(machine.paths, node), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Diskstats, DeviceBytesWrittenTest,
    ::testing::Values(
        DiskstatsCase{"OwnLine", diskstats_line("sda", 1) + diskstats_line("sdb", 4000),
                      4000ull * 512},
        // Partitions and mappings count separately and never stand in for the drive.
        DiskstatsCase{
            "PartitionAndMapperIgnored",
            diskstats_line("sdb1", 1) + diskstats_line("dm-0", 2) + diskstats_line("sdb", 3),
            3ull * 512},
        DiskstatsCase{"OnlyPartitionAndMapper",
                      diskstats_line("sdb1", 1) + diskstats_line("dm-0", 2), std::nullopt},
        // The old short layout had fewer fields: too short to hold a counter.
        DiskstatsCase{"NineFieldLineSkipped",
                      "   8 16 sdb 1 2 3 4 5 6\n" + diskstats_line("sdb", 10), 10ull * 512},
        DiskstatsCase{"TenFieldsEnough", "8 16 sdb 1 2 3 4 5 6 77", 77ull * 512},
        DiskstatsCase{"CarriageReturnsAndTabs", "8\t16\tsdb\t1 2 3 4 5 6 12\r\n", 12ull * 512},
        DiskstatsCase{"UnicodeWhiteSpace", "8\u300016\u2003sdb 1 2 3 4 5 6 12\n", 12ull * 512},
        // The first line for the name decides, even when it is unreadable.
        DiskstatsCase{"FirstMatchUnreadable", "8 16 sdb 1 2 3 4 5 6 x\n" + diskstats_line("sdb", 5),
                      std::nullopt},
        DiskstatsCase{"FirstMatchWins", diskstats_line("sdb", 5) + diskstats_line("sdb", 6),
                      5ull * 512},
        DiskstatsCase{"NegativeCounter", "8 16 sdb 1 2 3 4 5 6 -1\n", std::nullopt},
        DiskstatsCase{"CounterOverflowsBytes", "8 16 sdb 1 2 3 4 5 6 36028797018963968\n",
                      std::nullopt},
        DiskstatsCase{"NameCaseMatters", diskstats_line("SDB", 5), std::nullopt},
        DiskstatsCase{"Empty", "", std::nullopt},
        DiskstatsCase{"NotUtf8", "\xff" + diskstats_line("sdb", 5), std::nullopt}),
    testing::CaseName{});

TEST(DeviceBytesWritten, FollowsAByIdLinkToItsNode) {
  const FakeMachine machine;
  machine.add_node("sdb");
  const std::string link = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
  machine.set_sectors_written("sdb", 2048);
  EXPECT_EQ(device_bytes_written(machine.paths, link), 2048u * 512);
}

TEST(DeviceBytesWritten, AbsentWhenDiskstatsOrNodeIsMissing) {
  const FakeMachine machine;
  const std::string node = machine.add_node("sdb");
  EXPECT_EQ(device_bytes_written(machine.paths, node), std::nullopt);
  machine.set_sectors_written("sdb", 1);
  EXPECT_EQ(device_bytes_written(machine.paths, machine.dir.file("dev/sdx")), std::nullopt);
}

}  // namespace
}  // namespace tarnwick::wipe
