// SPDX-License-Identifier: MIT
// One operation per drive: the drive's flock, as udev and other disk tools
// honour it, taken by the real binary before its checks and given back
// before its answer; and one "encrypted-zero" wipe at a time, since every
// helper process names its temporary mapping alike.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

class LockTest : public E2eTest {};

const std::string kBusy = "device is busy: another operation is using it";

std::string refused(const std::string& reasons) {
  return error_line("refused destructive operation: " + reasons);
}

std::string luks_format_request(const std::string& device) {
  return "{\"op\":\"luks-format\",\"device\":" + json_string(device) +
         ",\"label\":\"\",\"passphrase_b64\":\"" + base64("lock e2e") + "\"}";
}

std::string luks_open_request(const std::string& device, const std::string& name) {
  return "{\"op\":\"luks-open\",\"device\":" + json_string(device) + ",\"mapper_name\":\"" + name +
         "\",\"passphrase_b64\":\"" + base64("lock e2e") + "\"}";
}

std::string mkfs_request(const std::string& name) {
  return "{\"op\":\"mkfs\",\"mapped\":\"/dev/mapper/" + name + "\",\"fs\":\"ext4\",\"label\":\"\"}";
}

// The lock as another program takes it, on the node the helper sees.
Fd lock_drive(const Sandbox& sandbox, const std::string& device) {
  Fd fd(::open(sandbox.inside(device).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    ADD_FAILURE() << errno_message("lock " + device, errno);
  }
  return fd;
}

bool can_lock(const Sandbox& sandbox, const std::string& device) {
  const Fd fd(::open(sandbox.inside(device).c_str(), O_RDONLY | O_CLOEXEC));
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

// Makes every dd wait until the gate opens again.
class DdGate {
 public:
  explicit DdGate(const Sandbox& sandbox)
      : path_(sandbox.inside(std::string(layout::kHoldPrefix) + "dd")) {
    sandbox.hold("dd");
  }
  ~DdGate() { open(); }
  DdGate(const DdGate&) = delete;
  DdGate& operator=(const DdGate&) = delete;
  void open() { ::unlink(path_.c_str()); }

 private:
  std::string path_;
};

// Waits until `count` dd runs have started (and wait at the gate).
void wait_for_dd(const Sandbox& sandbox, std::size_t count) {
  for (int i = 0; i < 3000 && sandbox.tool_calls("dd").size() < count; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_GE(sandbox.tool_calls("dd").size(), count) << "dd did not start";
}

TEST_F(LockTest, ADriveLockedByAnotherProgramIsRefusedAtOnceAndNoToolStarts) {
  Sandbox sandbox({drive("LOCKED").with_partition(), drive("LOCKEDRO").readonly()});
  const auto& target = sandbox.drive(0);
  Fd held = lock_drive(sandbox, target.path());
  Fd held_ro = lock_drive(sandbox, sandbox.drive(1).path());
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {wipe_request(target.path(), "random"), refused(kBusy)},
      {wipe_request(target.path(), "encrypted-zero"), refused(kBusy)},
      {wipe_request(target.path(), "secure-discard"), refused(kBusy)},
      {wipe_request(target.path(), "none"), refused(kBusy)},
      {luks_format_request(target.path()), refused(kBusy)},
      {luks_open_request(target.path(), "tarnwick_lock"), refused(kBusy)},
      // A partition is judged, and locked, by its drive.
      {luks_open_request(target.partition, "tarnwick_lock"), refused(kBusy)},
      // In the last place among the other reasons.
      {wipe_request(sandbox.drive(1).path(), "random"), refused("device is read-only; " + kBusy)},
      // Not a drive: today's answer, whatever the lock.
      {wipe_request(target.partition, "random"), refused("device not found: " + target.partition)},
  };
  auto helper = sandbox.start_helper();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_THAT(helper->request(c.request), ElementsAre(c.answer));
  }
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  EXPECT_EQ(sandbox.read_drive(0, 1024 * 1024, 4096), pattern_block(1024 * 1024));

  // Released: the drive is the helper's again, and after each answer ours.
  held.reset();
  EXPECT_THAT(helper->request(wipe_request(target.path(), "none")), ElementsAre(kOk));
  EXPECT_TRUE(can_lock(sandbox, target.path()));
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(LockTest, MkfsLocksTheDriveUnderTheContainer) {
  Sandbox sandbox({drive("MKFSLOCK").with_luks_payload().blank()});
  const auto& target = sandbox.drive(0);
  sandbox.run_ok(
      {"cryptsetup", "luksFormat", "--type", "luks2", "--pbkdf", "pbkdf2",
       "--pbkdf-force-iterations", "1000", "--batch-mode", "--key-file=-", target.path()},
      "lock e2e");
  auto helper = sandbox.start_helper();
  ASSERT_THAT(helper->request(luks_open_request(target.path(), "tarnwick_lockfs")),
              ElementsAre(kOk));
  const std::size_t mark = sandbox.tool_log().size();
  {
    Fd held = lock_drive(sandbox, target.path());
    EXPECT_THAT(helper->request(mkfs_request("tarnwick_lockfs")), ElementsAre(refused(kBusy)));
    EXPECT_TRUE(changes_since(sandbox, mark).empty());
  }
  EXPECT_THAT(helper->request(mkfs_request("tarnwick_lockfs")), ElementsAre(kOk));
  EXPECT_TRUE(can_lock(sandbox, target.path()));
  EXPECT_EQ(helper->finish(), 0);
}

TEST_F(LockTest, ASecondSessionCannotWriteADriveTheFirstIsWiping) {
  Sandbox sandbox({drive("BUSY"), drive("OTHER")});
  const auto& target = sandbox.drive(0);
  auto first = sandbox.start_helper();
  auto second = sandbox.start_helper();
  {
    DdGate gate(sandbox);
    first->send(wipe_request(target.path(), "random"));
    wait_for_dd(sandbox, 1);
    EXPECT_FALSE(can_lock(sandbox, target.path()));
    EXPECT_THAT(second->request(luks_format_request(target.path())), ElementsAre(refused(kBusy)));
    EXPECT_THAT(second->request(wipe_request(target.path(), "secure-discard")),
                ElementsAre(refused(kBusy)));
    // Another drive is not held up.
    EXPECT_THAT(second->request(wipe_request(sandbox.drive(1).path(), "none")), ElementsAre(kOk));
  }
  std::vector<std::string> lines{first->next_line()};
  while (progress_copied(lines.back())) {
    lines.push_back(first->next_line());
  }
  EXPECT_EQ(lines.back(), kOk);
  EXPECT_TRUE(can_lock(sandbox, target.path()));
  EXPECT_EQ(argvs(changes_since(sandbox, 0)).size(), 1u) << "only the first session's dd";
  EXPECT_THAT(second->request(wipe_request(target.path(), "none")), ElementsAre(kOk));
  EXPECT_EQ(first->finish(), 0);
  EXPECT_EQ(second->finish(), 0);
}

TEST_F(LockTest, OneEncryptedZeroWipeAtATimeAcrossSessions) {
  Sandbox sandbox({drive("EZ1"), drive("EZ2")});
  auto first = sandbox.start_helper();
  auto second = sandbox.start_helper();
  const std::string running =
      refused("another encrypted-zero wipe is running (tarnwick_wipe_tmp is in use)");
  {
    DdGate gate(sandbox);
    first->send(wipe_request(sandbox.drive(0).path(), "encrypted-zero"));
    wait_for_dd(sandbox, 1);
    EXPECT_THAT(second->request(wipe_request(sandbox.drive(1).path(), "encrypted-zero")),
                ElementsAre(running));
    EXPECT_EQ(sandbox.tool_calls("cryptsetup").size(), 1u) << "the second never ran cryptsetup";
  }
  std::vector<std::string> lines{first->next_line()};
  while (progress_copied(lines.back())) {
    lines.push_back(first->next_line());
  }
  EXPECT_EQ(lines.back(), kOk);
  // Once the first is done, the second goes ahead.
  Answer answer =
      split_answer(second->request(wipe_request(sandbox.drive(1).path(), "encrypted-zero")));
  EXPECT_EQ(answer.final_line, kOk);
  EXPECT_EQ(sandbox.tool_calls("cryptsetup").size(), 4u);
  EXPECT_EQ(first->finish(), 0);
  EXPECT_EQ(second->finish(), 0);
}

}  // namespace
}  // namespace tdh_e2e
