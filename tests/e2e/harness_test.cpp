// SPDX-License-Identifier: MIT
// The sandbox itself: what the helper can see inside it, what the wrappers
// let through, and that nothing outlives it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

class SandboxTest : public E2eTest {};

std::set<std::string> lines_of(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.insert(line);
  }
  return lines;
}

const char* const kLsblkColumns =
    "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,ROTA,TRAN,VENDOR,MODEL,SERIAL,FSTYPE,FSUSED,FSSIZE,"
    "MOUNTPOINT,LABEL,PTTYPE";

TEST_F(SandboxTest, DevHoldsOnlyTheBasicNodesAndTheScratchDevices) {
  Sandbox sandbox({drive("A").with_partition("0e2e-0001"), drive("B").with_luks_payload(),
                   drive("C").without_by_id()});
  const auto& a = sandbox.drive(0);
  const auto& b = sandbox.drive(1);
  const auto& c = sandbox.drive(2);
  std::set<std::string> expected = {"/dev",
                                    "/dev/null",
                                    "/dev/zero",
                                    "/dev/full",
                                    "/dev/random",
                                    "/dev/urandom",
                                    "/dev/mapper",
                                    "/dev/disk",
                                    "/dev/disk/by-id",
                                    "/dev/disk/by-uuid",
                                    a.path(),
                                    a.partition,
                                    a.by_id,
                                    a.partition_by_id,
                                    "/dev/disk/by-uuid/0e2e-0001",
                                    b.path(),
                                    b.payload->path(),
                                    b.by_id,
                                    c.path()};
  EXPECT_EQ(lines_of(sandbox.run_ok({"find", "/dev"})), expected);

  // The links resolve to the scratch nodes, as udev's would.
  EXPECT_EQ(sandbox.run_ok({"readlink", "-f", a.by_id}), a.path() + "\n");
  EXPECT_EQ(sandbox.run_ok({"readlink", "-f", a.partition_by_id}), a.partition + "\n");
  EXPECT_EQ(sandbox.run_ok({"readlink", "-f", "/dev/disk/by-uuid/0e2e-0001"}), a.partition + "\n");
  // The host's disks are nowhere: not as nodes, not as links.
  EXPECT_NE(sandbox.run({"stat", "/dev/vda"}).exit_code, 0);
}

TEST_F(SandboxTest, LsblkPresentsTheScratchDrivesAsRemovableDisks) {
  Sandbox sandbox({drive("RM").with_partition(), drive("RO").readonly().no_hotplug(),
                   drive("FIXED").fixed().with_luks_payload(), drive("HIDDEN").unlisted()});
  std::string out = sandbox.run_ok({"lsblk", "-J", "-b", "-o", kLsblkColumns});
  auto doc = nlohmann::ordered_json::parse(out);
  ASSERT_EQ(doc.size(), 1u);
  const auto& devices = doc.at("blockdevices");
  ASSERT_EQ(devices.size(), 3u) << out;  // neither the payload nor the unlisted device

  std::vector<std::string> keys;
  for (const auto& item : devices[0].items()) {
    keys.push_back(item.key());
  }
  EXPECT_THAT(keys, ElementsAre("name", "path", "size", "type", "rm", "hotplug", "ro", "rota",
                                "tran", "vendor", "model", "serial", "fstype", "fsused", "fssize",
                                "mountpoint", "label", "pttype", "children"));

  struct Expect {
    std::size_t drive;
    bool rm, hotplug, ro;
  };
  for (Expect e : {Expect{0, true, true, false}, Expect{1, true, false, true},
                   Expect{2, false, false, false}}) {
    const auto& node = devices[e.drive];
    const auto& drive = sandbox.drive(e.drive);
    SCOPED_TRACE(drive.path());
    EXPECT_EQ(node.at("path"), drive.path());
    EXPECT_EQ(node.at("name"), drive.loop->name());
    EXPECT_EQ(node.at("size"), drive.size());
    EXPECT_EQ(node.at("type"), "disk");
    EXPECT_EQ(node.at("rm"), e.rm);
    EXPECT_EQ(node.at("hotplug"), e.hotplug);
    EXPECT_EQ(node.at("ro"), e.ro);  // the kernel's own flag, not dressed up
    EXPECT_EQ(node.at("tran"), "usb");
    EXPECT_EQ(node.at("serial"), drive.described.serial);
    EXPECT_TRUE(node.at("mountpoint").is_null());
  }
  ASSERT_TRUE(devices[0].contains("children"));
  ASSERT_EQ(devices[0]["children"].size(), 1u);
  EXPECT_EQ(devices[0]["children"][0].at("type"), "part");
  EXPECT_EQ(devices[0]["children"][0].at("path"), sandbox.drive(0).partition);
  EXPECT_EQ(devices[0]["children"][0].at("size"), sandbox.drive(0).size() - layout::kMiB);
  EXPECT_FALSE(devices[1].contains("children"));
}

TEST_F(SandboxTest, LsblkShowsMountsMadeInsideTheNamespace) {
  Sandbox sandbox({drive("M").with_partition().blank()});
  std::string mount_point = sandbox.mount_new_ext4(sandbox.drive(0).partition, "e2e-mounted");
  auto doc = nlohmann::json::parse(sandbox.run_ok({"lsblk", "-J", "-b", "-o", kLsblkColumns}));
  EXPECT_EQ(doc["blockdevices"][0]["children"][0]["mountpoint"], mount_point);
  // The host never sees it.
  EXPECT_EQ(try_read_file("/proc/self/mounts")->find(mount_point), std::string::npos);
}

TEST_F(SandboxTest, WrappersRunOnlyAgainstScratchDevices) {
  Sandbox sandbox({drive("OK"), drive("FOREIGN").unlisted()});
  const auto& scratch = sandbox.drive(0);
  const auto& foreign = sandbox.drive(1);
  const std::string pattern_start = pattern_block(0);

  struct Case {
    std::vector<std::string> argv;
  };
  std::vector<Case> refused = {
      {{"dd", "if=/dev/zero", "of=" + foreign.path(), "bs=4096", "count=1"}},
      {{"dd", "if=" + foreign.path(), "of=" + scratch.path(), "bs=4096", "count=1"}},
      {{"dd", "if=/dev/zero", "of=/run/tdh-e2e/not-a-device", "count=1"}},
      {{"dd", "if=/dev/zero", "of=/dev/null", "count=1"}},
      {{"blkdiscard", foreign.path()}},
      {{"blkdiscard", "--secure", "/dev/zero"}},
      {{"mkfs.ext4", "-F", foreign.path()}},
      {{"mkfs.ext4", "-F", "-d", foreign.path(), scratch.path()}},
      {{"mkfs.xfs", "-f", "/dev/full"}},
      {{"mkfs.btrfs", "-f", foreign.path()}},
      {{"mkswap", foreign.path()}},
      {{"cryptsetup", "luksFormat", "--batch-mode", foreign.path()}},
      {{"cryptsetup", "open", "--type", "plain", "--key-file", "-", foreign.path(), "tarnwick_x"}},
      {{"cryptsetup", "reencrypt", scratch.path()}},
  };
  for (const auto& c : refused) {
    std::string command;
    for (const auto& arg : c.argv) {
      command += arg + " ";
    }
    SCOPED_TRACE(command);
    ProcessResult result = sandbox.run(c.argv);
    EXPECT_EQ(result.exit_code, layout::kRefusedExit) << result.err;
    EXPECT_NE(result.err.find("tdh-e2e wrapper: refusing"), std::string::npos) << result.err;
  }
  EXPECT_EQ(sandbox.read_drive(1, 0, 4096), pattern_start);
  EXPECT_EQ(sandbox.read_drive(0, 0, 4096), pattern_start);
  EXPECT_EQ(sandbox.tool_log().size(), refused.size());

  // The same tools do run against a scratch device, named by any alias.
  sandbox.run_ok({"dd", "if=/dev/zero", "of=" + scratch.by_id, "bs=4096", "count=1", "conv=fsync",
                  "status=none"});
  EXPECT_EQ(sandbox.read_drive(0, 0, 4096), std::string(4096, '\0'));
  EXPECT_EQ(sandbox.read_drive(0, 4096, 4096), pattern_block(4096));
}

TEST_F(SandboxTest, WrappersRefuseToRunOutsideASandbox) {
  std::string self = *canonical("/proc/self/exe");
  ProcessResult result = run_capture(self, {"dd", "if=/dev/zero", "of=/dev/null", "count=1"},
                                     {"PATH=/usr/bin:/bin"}, "", std::chrono::seconds(30));
  EXPECT_EQ(result.exit_code, layout::kRefusedExit);
  EXPECT_NE(result.err.find("only inside an end-to-end sandbox"), std::string::npos);
}

bool loop_attached(const std::string& name) {
  return try_read_file("/sys/block/" + name + "/loop/backing_file").has_value();
}

TEST_F(SandboxTest, TeardownEndsProcessesMountsSwapsAndLoopDevices) {
  std::vector<std::string> loops;
  pid_t init = -1;
  int init_pidfd = -1;
  std::unique_ptr<HelperSession> sleeper;
  {
    Sandbox sandbox({drive("MNT").with_partition().blank(), drive("SWAP").blank(),
                     drive("LUKS").with_luks_payload().blank()});
    for (std::size_t i = 0; i < 3; ++i) {
      loops.push_back(sandbox.drive(i).loop->name());
    }
    loops.push_back(sandbox.drive(2).payload->name());
    init = sandbox.init_pid();
    init_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, init, 0));
    ASSERT_GE(init_pidfd, 0);
    sandbox.mount_new_ext4(sandbox.drive(0).partition, "teardown");
    sandbox.activate_swap(sandbox.drive(1).path());
    EXPECT_NE(read_file("/proc/swaps").find(loops[1]), std::string::npos);
    // A process left running inside, as a hung tool would be; it outlives
    // the sandbox object on purpose.
    sleeper = std::make_unique<HelperSession>(sandbox, std::vector<std::string>{"sleep", "600"},
                                              std::vector<std::string>{"PATH=/usr/bin:/bin"});
    for (const auto& name : loops) {
      EXPECT_TRUE(loop_attached(name)) << name;
    }
  }
  EXPECT_EQ(sleeper->finish(10s), 128 + SIGKILL);
  // The init process is gone (signal 0 through its pidfd fails once it died).
  EXPECT_NE(::syscall(SYS_pidfd_send_signal, init_pidfd, 0, nullptr, 0), 0);
  ::close(init_pidfd);
  EXPECT_EQ(read_file("/proc/swaps").find(loops[1]), std::string::npos);
  for (const auto& name : loops) {
    bool attached = true;
    for (int i = 0; i < 100 && attached; ++i) {
      attached = loop_attached(name);
      if (attached) {
        std::this_thread::sleep_for(50ms);
      }
    }
    EXPECT_FALSE(attached) << name << " is still attached";
  }
}

}  // namespace
}  // namespace tdh_e2e
