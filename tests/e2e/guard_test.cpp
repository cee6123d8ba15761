// SPDX-License-Identifier: MIT
// Refusals on real state: mounts, swap, crypttab, read-only devices and
// missing stable names, as the running system really has them. Each case
// checks the exact answer and that no tool touched the drive.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

class GuardTest : public E2eTest {};

std::string refused(const std::string& reasons) {
  return error_line("refused destructive operation: " + reasons);
}

std::string luks_format_request(const std::string& device) {
  return "{\"op\":\"luks-format\",\"device\":" + json_string(device) +
         ",\"label\":\"\",\"passphrase_b64\":\"" + base64("never used") + "\"}";
}

std::string luks_open_request(const std::string& device, const std::string& name) {
  return "{\"op\":\"luks-open\",\"device\":" + json_string(device) + ",\"mapper_name\":\"" + name +
         "\",\"passphrase_b64\":\"" + base64("never used") + "\"}";
}

// Every block still holds the pattern (but the partition table's, if any).
void expect_untouched(const Sandbox& sandbox, std::size_t index) {
  const bool table = sandbox.drive(index).described.partition;
  EXPECT_EQ(count_blocks(sandbox, index,
                         [&](std::uint64_t offset, std::string_view b) {
                           return !(table && offset == 0) && b != pattern_block(offset);
                         }),
            0u)
      << sandbox.drive(index).path();
}

TEST_F(GuardTest, AMountedPartitionBlocksEveryOperationOnItsDrive) {
  Sandbox sandbox({drive("MOUNTED").with_partition().blank()});
  const auto& target = sandbox.drive(0);
  std::string mount_point = sandbox.mount_new_ext4(target.partition, "e2e-mounted");
  const std::size_t mark = sandbox.tool_log().size();
  auto helper = sandbox.start_helper();
  const std::string answer = refused("partition currently mounted at " + mount_point);
  EXPECT_THAT(helper->request(wipe_request(target.path(), "random")), ElementsAre(answer));
  EXPECT_THAT(helper->request(luks_format_request(target.path())), ElementsAre(answer));
  // Named by its partition, the drive is still what is judged.
  EXPECT_THAT(helper->request(luks_open_request(target.partition, "tarnwick_m")),
              ElementsAre(answer));
  EXPECT_TRUE(changes_since(sandbox, mark).empty());
  EXPECT_EQ(sandbox.run_ok({"blkid", "-p", "-s", "TYPE", "-o", "value", target.partition}),
            "ext4\n");
  EXPECT_EQ(helper->finish(), 0);
}

// lsblk lists a loop device over a drive beside it, not below it, and the
// kernel may let the drive be opened exclusively all the same.
TEST_F(GuardTest, ADriveUsedThroughALoopDeviceIsRefusedAndItsMountSurvives) {
  Sandbox sandbox({drive("LOOPED").with_loop_over().blank()});
  const auto& target = sandbox.drive(0);
  const std::string loop = target.loop_over->path();
  auto helper = sandbox.start_helper();
  EXPECT_THAT(helper->request(wipe_request(target.path(), "random")),
              ElementsAre(refused("device is in use by the system")));

  const std::string mount_point = sandbox.mount_new_ext4(loop, "e2e-looped");
  const std::size_t mark = sandbox.tool_log().size();
  const std::string answer = refused("partition currently mounted at " + mount_point);
  EXPECT_THAT(helper->request(wipe_request(target.path(), "random")), ElementsAre(answer));
  EXPECT_THAT(helper->request(luks_format_request(target.path())), ElementsAre(answer));
  EXPECT_TRUE(changes_since(sandbox, mark).empty());
  EXPECT_EQ(sandbox.run({"mountpoint", "-q", mount_point}).exit_code, 0);
  EXPECT_EQ(sandbox.run_ok({"blkid", "-p", "-s", "TYPE", "-o", "value", loop}), "ext4\n");
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(GuardTest, AnActiveSwapAreaOnAPartitionBlocksItsDrive) {
  Sandbox sandbox({drive("SWAP").with_partition().blank()});
  const auto& target = sandbox.drive(0);
  sandbox.activate_swap(target.partition);
  const std::size_t mark = sandbox.tool_log().size();
  auto helper = sandbox.start_helper();
  // lsblk itself reports an active swap partition as mounted at "[SWAP]",
  // so the mount check speaks up before the swap check does.
  EXPECT_THAT(helper->request(wipe_request(target.path(), "random")),
              ElementsAre(refused("partition currently mounted at [SWAP]; "
                                  "device holds an active swap area")));
  EXPECT_TRUE(changes_since(sandbox, mark).empty());
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(GuardTest, DrivesNamedInCrypttabAreRefusedButCommentsAreNot) {
  const std::string uuid = "6b4ea406-85ec-4211-8cd9-0e2e0e2e0e2e";
  Sandbox sandbox({drive("BYID"), drive("BYUUID").with_partition(uuid), drive("COMMENTED")},
                  "# tarnwick_old " + by_id_path("COMMENTED") +
                      " none luks\n"
                      "tarnwick_a\t" +
                      by_id_path("BYID") +
                      " none luks\n"
                      "  tarnwick_b UUID=" +
                      uuid + " none luks,discard\n");
  auto helper = sandbox.start_helper();
  const std::string answer = refused("device is referenced in /etc/crypttab");
  EXPECT_THAT(helper->request(wipe_request(sandbox.drive(0).path(), "random")),
              ElementsAre(answer));
  EXPECT_THAT(helper->request(wipe_request(sandbox.drive(1).path(), "random")),
              ElementsAre(answer));
  EXPECT_THAT(helper->request(wipe_request(sandbox.drive(2).path(), "none")), ElementsAre(kOk));
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  expect_untouched(sandbox, 0);
  expect_untouched(sandbox, 1);
  EXPECT_EQ(helper->finish(), 0);
}

// What lsblk cannot show: a program that holds the partition exclusively.
// The kernel's word is given alone, and only when nothing else refused.
TEST_F(GuardTest, ADriveTheKernelHoldsIsRefusedAndOnlyWhenNothingElseWas) {
  Sandbox sandbox({drive("HELD").with_partition(), drive("HELDRO").readonly()});
  const auto& target = sandbox.drive(0);
  Fd held(::open(sandbox.inside(target.partition).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
  ASSERT_TRUE(held) << errno_message("open O_EXCL", errno);
  Fd held_ro(
      ::open(sandbox.inside(sandbox.drive(1).path()).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
  ASSERT_TRUE(held_ro) << errno_message("open O_EXCL", errno);
  const std::string in_use = refused("device is in use by the system");
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {wipe_request(target.path(), "random"), in_use},
      {wipe_request(target.path(), "none"), in_use},
      {luks_format_request(target.path()), in_use},
      // The target itself is held, and so is the drive around it.
      {luks_open_request(target.partition, "tarnwick_held"), in_use},
      {luks_open_request(target.path(), "tarnwick_held"), in_use},
      {wipe_request(sandbox.drive(1).path(), "random"), refused("device is read-only")},
  };
  auto helper = sandbox.start_helper();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_THAT(helper->request(c.request), ElementsAre(c.answer));
  }
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  expect_untouched(sandbox, 0);
  held.reset();
  EXPECT_THAT(helper->request(wipe_request(target.path(), "none")), ElementsAre(kOk));
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(GuardTest, DrivesThatAreNotSafeTargetsAreRefusedWithTheirReasons) {
  Sandbox sandbox({drive("READONLY").readonly(), drive("FIXED").fixed(),
                   drive("FIXEDRO").fixed().readonly(), drive("HOTPLUGONLY").not_removable(),
                   drive("NOID").without_by_id(), drive("PART").with_partition(),
                   drive("FOREIGN").unlisted()});
  const auto& part = sandbox.drive(5);
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {wipe_request(sandbox.drive(0).path(), "random"), refused("device is read-only")},
      {luks_format_request(sandbox.drive(0).path()), refused("device is read-only")},
      {wipe_request(sandbox.drive(1).path(), "random"),
       refused("device is not removable or hotplug-capable")},
      {wipe_request(sandbox.drive(2).path(), "random"),
       refused("device is not removable or hotplug-capable; device is read-only")},
      {wipe_request(sandbox.drive(4).path(), "random"),
       error_line("device has no stable /dev/disk/by-id path")},
      {luks_open_request(sandbox.drive(4).path(), "tarnwick_noid"),
       error_line("device has no stable /dev/disk/by-id path")},
      // Whole-drive operations know drives only by the kernel's path.
      {wipe_request(part.partition, "random"), refused("device not found: " + part.partition)},
      {wipe_request(part.by_id, "random"), refused("device not found: " + part.by_id)},
      {wipe_request(sandbox.drive(6).path(), "random"),
       refused("device not found: " + sandbox.drive(6).path())},
      {luks_open_request(sandbox.drive(6).path(), "tarnwick_foreign"),
       error_line("device is not a detected removable drive or partition")},
      {wipe_request("/dev/vda", "random"), refused("device not found: /dev/vda")},
  };
  auto helper = sandbox.start_helper();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_THAT(helper->request(c.request), ElementsAre(c.answer));
  }
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  for (std::size_t i = 0; i < 7; ++i) {
    expect_untouched(sandbox, i);
  }
  // The hot-pluggable drive was not refused for its flags alone.
  EXPECT_THAT(helper->request(wipe_request(sandbox.drive(3).path(), "none")), ElementsAre(kOk));
  EXPECT_EQ(helper->finish(), 0);
}

}  // namespace
}  // namespace tdh_e2e
