// SPDX-License-Identifier: MIT
// Root inside an opened container: the kernel's mount table names the
// mapping by a /dev/mapper path that resolves to a dm node. Needs root to
// lay a private /dev holding a mapper folder over the real one, in a
// child's own mount namespace so nothing outside it sees the change.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "guard_fixture.hpp"

namespace tarnwick::guard {
namespace {

class MapperRoot : public fixture::GuardTree {
 protected:
  // Runs the guard in a child whose /dev/mapper holds one link,
  // "tarnwick_root" -> the fixture's dm-7. Returns the child's verdict:
  // 0 refused for the root filesystem, 1 not refused, 2 setup failed.
  int verdict_in_private_namespace(const std::string& mounts) {
    write_mounts(mounts);
    inventory::Drive drive = usb_drive();
    drive.partitions[1].mapped = inventory::MappedChild{"tarnwick_root", std::nullopt};
    lister_.drives_ = {drive};
    const std::string dm_node = dev("dm-7");

    const pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          // A kernel without device-mapper has no /dev/mapper to cover:
          // a private /dev (the fixture's nodes live elsewhere) gets one.
          mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0 ||
          mkdir("/dev/mapper", 0755) != 0 ||
          symlink(dm_node.c_str(), "/dev/mapper/tarnwick_root") != 0) {
        _exit(2);
      }
      auto report = guard(drive.path);
      const bool refused = report && report->reasons.size() == 1 &&
                           report->reasons[0] == "device hosts the running root filesystem";
      _exit(refused ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
      return 2;
    }
    return WEXITSTATUS(status);
  }
};

TEST_F(MapperRoot, RootOnAMappingOfTheDriveIsRecognised) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace";
  }
  EXPECT_EQ(verdict_in_private_namespace("/dev/mapper/tarnwick_root / ext4 rw 0 0\n"), 0);
  EXPECT_EQ(verdict_in_private_namespace(dev("dm-7") + " / ext4 rw 0 0\n"), 0);
  EXPECT_EQ(verdict_in_private_namespace(dev("dm-8") + " / ext4 rw 0 0\n"), 1);
}

}  // namespace
}  // namespace tarnwick::guard
