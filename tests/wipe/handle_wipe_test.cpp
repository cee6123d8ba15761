// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_machine.hpp"
#include "wipe/wipe.hpp"

namespace tarnwick::wipe {
namespace {

using testing::FakeMachine;
using testing::FixedDriveLister;
using testing::RecordingRunner;

struct HandleWipeFixture {
  HandleWipeFixture() {
    node = machine.add_node("sdb");
    link = machine.add_by_id_link("usb-Fake_Disk_123-0:0", "sdb");
    machine.set_size_bytes("sdb", 1024 * 512);
    machine.set_sectors_written("sdb", 0);
    machine.dir.write_file("proc/mounts", "proc /proc proc rw 0 0\n");
    machine.dir.write_file("proc/swaps", "Filename Type Size Used Priority\n");
    drive.path = node;
    drive.removable = true;
  }

  std::expected<void, std::string> handle(std::string_view device, WipeMode mode) {
    const FixedDriveLister lister({drive});
    const guard::GuardContext context{lister, machine.paths};
    return handle_wipe(runner, context, device, mode,
                       [this](std::uint64_t copied) { progress.push_back(copied); });
  }

  FakeMachine machine;
  std::string node;
  std::string link;
  inventory::Drive drive;
  RecordingRunner runner;
  std::vector<std::uint64_t> progress;
};

TEST(HandleWipe, WipesTheDriveUnderItsStablePath) {
  HandleWipeFixture fixture;
  const auto result = fixture.handle(fixture.node, WipeMode::Random);
  ASSERT_TRUE(result.has_value()) << result.error();
  ASSERT_EQ(fixture.runner.calls.size(), 1u);
  EXPECT_EQ(fixture.runner.calls[0].args.at(1), "of=" + fixture.link);
  EXPECT_FALSE(fixture.progress.empty());
}

TEST(HandleWipe, RefusalsAndFailuresBecomeTheClientsText) {
  struct Case {
    const char* name;
    bool read_only;
    bool use_link;  // name the drive by its alias rather than its kernel path
    bool discard_fails;
    std::string expected;  // "{link}" stands for the fixture's by-id link
  };
  const Case cases[] = {
      {"read-only", true, false, false, "refused destructive operation: device is read-only"},
      {"alias", false, true, false, "refused destructive operation: device not found: {link}"},
      {"tool missing", false, false, true, "required tool not found in PATH: blkdiscard"},
  };
  for (const Case& c : cases) {
    HandleWipeFixture fixture;
    fixture.drive.read_only = c.read_only;
    if (c.discard_fails) {
      fixture.runner.push_result(
          std::unexpected(HelperError{HelperError::ToolNotFound{"blkdiscard"}}));
    }
    const auto result =
        fixture.handle(c.use_link ? fixture.link : fixture.node, WipeMode::SecureDiscard);
    std::string expected = c.expected;
    if (const auto at = expected.find("{link}"); at != std::string::npos) {
      expected.replace(at, 6, fixture.link);
    }
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error(), expected) << c.name;
    EXPECT_EQ(fixture.runner.calls.size(), c.discard_fails ? 1u : 0u) << c.name;
  }
}

TEST(HandleWipe, DriveWithoutByIdLinkIsNotWiped) {
  HandleWipeFixture fixture;
  std::filesystem::remove(fixture.link);
  const auto result = fixture.handle(fixture.node, WipeMode::None);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "device has no stable /dev/disk/by-id path");
}

// Verification reads back what "encrypted-zero" wrote; any other mode with
// it is refused before the guard looks at the drive or a tool runs.
TEST(HandleWipe, VerifyWithAnotherModeIsRefusedBeforeAnything) {
  for (const WipeMode mode : {WipeMode::Random, WipeMode::SecureDiscard, WipeMode::None}) {
    HandleWipeFixture fixture;
    const FixedDriveLister lister({fixture.drive});
    const guard::GuardContext context{lister, fixture.machine.paths};
    const auto result = handle_wipe(
        fixture.runner, context, fixture.node, mode, [](std::uint64_t) {}, Verification{true, {}});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "verification is only available for mode encrypted-zero");
    EXPECT_EQ(lister.calls.load(), 0);
    EXPECT_TRUE(fixture.runner.calls.empty());
  }
}

}  // namespace
}  // namespace tarnwick::wipe
