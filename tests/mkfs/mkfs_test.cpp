// SPDX-License-Identifier: MIT
#include "mkfs/mkfs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <string>
#include <vector>

#include "luks/luks.hpp"
#include "support/drive_fixture.hpp"
#include "support/support.hpp"

namespace tarnwick::mkfs {
namespace {

using testing::command_failed;
using testing::RecordingRunner;
using Argv = std::vector<std::string>;

std::string error_of(const std::expected<void, std::string>& result) {
  return result ? std::string("<success>") : result.error();
}

struct CommandCase {
  const char* name;
  Filesystem fs;
  std::string label;
  Argv expected;  // program first
};

class MkfsCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(MkfsCommand, HasExactArguments) {
  const CommandCase& c = GetParam();
  const ToolCommand command = mkfs_command(c.fs, "/dev/mapper/tarnwick_a", c.label);
  Argv argv{command.program};
  argv.insert(argv.end(), command.args.begin(), command.args.end());
  EXPECT_EQ(argv, c.expected);
  EXPECT_FALSE(command.stdin_bytes.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, MkfsCommand,
    ::testing::Values(
        CommandCase{"ext4_label",
                    Filesystem::Ext4,
                    "Backup",
                    {"mkfs.ext4", "-F", "-m", "0", "-E", "lazy_itable_init=1,lazy_journal_init=1",
                     "-L", "Backup", "/dev/mapper/tarnwick_a"}},
        CommandCase{"ext4_no_label",
                    Filesystem::Ext4,
                    "",
                    {"mkfs.ext4", "-F", "-m", "0", "-E", "lazy_itable_init=1,lazy_journal_init=1",
                     "/dev/mapper/tarnwick_a"}},
        CommandCase{"btrfs_label",
                    Filesystem::Btrfs,
                    "My Files",
                    {"mkfs.btrfs", "-f", "-L", "My Files", "/dev/mapper/tarnwick_a"}},
        CommandCase{"btrfs_no_label",
                    Filesystem::Btrfs,
                    "",
                    {"mkfs.btrfs", "-f", "/dev/mapper/tarnwick_a"}},
        CommandCase{"xfs_label",
                    Filesystem::Xfs,
                    "x",
                    {"mkfs.xfs", "-f", "-L", "x", "/dev/mapper/tarnwick_a"}},
        CommandCase{
            "xfs_no_label", Filesystem::Xfs, "", {"mkfs.xfs", "-f", "/dev/mapper/tarnwick_a"}}),
    testing::CaseName{});

constexpr std::string_view kInvalidPath = "invalid mapper path";
constexpr std::string_view kNotOwned = "refusing to format a mapper not opened by this session";
constexpr std::string_view kBadLabel =
    "filesystem label is too long or contains control characters";

struct PathCase {
  const char* name;
  std::string mapped;
  std::string_view expected;  // empty: accepted
};

class MkfsMappedPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(MkfsMappedPath, IsJudgedByNameAndSessionOwnership) {
  const PathCase& c = GetParam();
  luks::SessionMapperSet mappers;
  mappers.insert("tarnwick_a");
  RecordingRunner runner;
  const auto result = handle_mkfs(runner, mappers, c.mapped, Filesystem::Xfs, "");
  if (c.expected.empty()) {
    ASSERT_TRUE(result.has_value()) << result.error();
    ASSERT_EQ(runner.calls.size(), 1u);
    // The client's own spelling reaches the tool, not a rebuilt path.
    EXPECT_EQ(runner.calls[0].args.back(), c.mapped);
  } else {
    EXPECT_EQ(error_of(result), c.expected);
    EXPECT_TRUE(runner.calls.empty());
  }
  EXPECT_TRUE(mappers.contains("tarnwick_a"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MkfsMappedPath,
    ::testing::Values(PathCase{"plain", "/dev/mapper/tarnwick_a", ""},
                      PathCase{"trailing_slash", "/dev/mapper/tarnwick_a/", ""},
                      PathCase{"trailing_slash_dot", "/dev/mapper/tarnwick_a/.", ""},
                      PathCase{"doubled_separators", "//dev//mapper//tarnwick_a", ""},
                      PathCase{"interior_dot", "/dev/./mapper/tarnwick_a", ""},
                      PathCase{"empty", "", kInvalidPath}, PathCase{"root", "/", kInvalidPath},
                      PathCase{"dot", ".", kInvalidPath}, PathCase{"dot_slash", "./", kInvalidPath},
                      PathCase{"ends_in_dot_dot", "/dev/mapper/tarnwick_a/..", kInvalidPath},
                      PathCase{"ends_in_dot_dot_slash", "/dev/mapper/tarnwick_a/../", kInvalidPath},
                      PathCase{"subdirectory", "/dev/mapper/sub/tarnwick_a", kNotOwned},
                      PathCase{"other_directory", "/dev/disk/tarnwick_a", kNotOwned},
                      PathCase{"relative", "dev/mapper/tarnwick_a", kNotOwned},
                      PathCase{"bare_name", "tarnwick_a", kNotOwned},
                      PathCase{"dot_dot_is_ordinary", "/dev/mapper/../mapper/tarnwick_a",
                               kNotOwned},
                      PathCase{"letter_case", "/dev/mapper/Tarnwick_a", kNotOwned},
                      PathCase{"not_opened", "/dev/mapper/tarnwick_b", kNotOwned},
                      PathCase{"control_mapper", "/dev/mapper/control", kNotOwned}),
    testing::CaseName{});

TEST(HandleMkfs, TheContainersDriveIsLockedWhileTheToolRuns) {
  testing::TempDir dir;
  const std::string drive = dir.write_file("dev/sdx", "");
  const system::FileDescriptor other(::open(drive.c_str(), O_RDONLY | O_CLOEXEC));
  luks::SessionMapperSet mappers;
  mappers.insert("tarnwick_a", drive);
  mappers.insert("tarnwick_u");  // drive not known: nothing to lock
  RecordingRunner runner;
  bool locked_meanwhile = false;
  runner.respond = [&](const testing::RecordedCall&) -> RecordingRunner::Result {
    locked_meanwhile = ::flock(other.get(), LOCK_EX | LOCK_NB) != 0;
    return runner::ToolOutput{};
  };
  EXPECT_TRUE(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, ""));
  EXPECT_TRUE(locked_meanwhile);
  EXPECT_TRUE(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_u", Filesystem::Ext4, ""));
  ASSERT_EQ(runner.calls.size(), 2u);

  // Held by someone else: refused at once, no tool.
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, "")),
            "refused destructive operation: device is busy: another operation is using it");
  EXPECT_EQ(runner.calls.size(), 2u);
  EXPECT_TRUE(mappers.contains("tarnwick_a"));
}

TEST(HandleMkfs, EmptySessionOwnsNothing) {
  luks::SessionMapperSet mappers;
  RecordingRunner runner;
  EXPECT_EQ(error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, "")),
            kNotOwned);
  EXPECT_TRUE(runner.calls.empty());
}

TEST(HandleMkfs, OwnershipIsCheckedBeforeTheLabel) {
  luks::SessionMapperSet mappers;
  mappers.insert("tarnwick_a");
  RecordingRunner runner;
  EXPECT_EQ(
      error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_b", Filesystem::Ext4, "a\tb")),
      kNotOwned);
  EXPECT_EQ(error_of(handle_mkfs(runner, mappers, "", Filesystem::Ext4, "a\tb")), kInvalidPath);
  EXPECT_EQ(
      error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, "a\tb")),
      kBadLabel);
  EXPECT_EQ(error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Btrfs,
                                 std::string(49, 'L'))),
            kBadLabel);
  EXPECT_TRUE(runner.calls.empty());
}

TEST(HandleMkfs, LabelThatPassesGoesToTheToolUnchangedAndToolFailuresComeBack) {
  luks::SessionMapperSet mappers;
  mappers.insert("tarnwick_a");
  RecordingRunner runner;
  const std::string label(48, 'L');  // longer than mkfs.xfs accepts; the tool decides
  runner.push_result(std::unexpected(command_failed("mkfs.xfs -f -L LLL", 1, "label too long\n")));
  EXPECT_EQ(
      error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Xfs, label)),
      "command `mkfs.xfs -f -L LLL` failed (exit 1): label too long\n");
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0].args, (Argv{"-f", "-L", label, "/dev/mapper/tarnwick_a"}));
  EXPECT_TRUE(mappers.contains("tarnwick_a"));

  runner.push_result(std::unexpected(HelperError{HelperError::ToolNotFound{"mkfs.btrfs"}}));
  EXPECT_EQ(error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Btrfs, "")),
            "required tool not found in PATH: mkfs.btrfs");
}

// The session record decides: a mapping that was opened and closed again is
// no longer this session's to format.
TEST(HandleMkfs, NameOpenedAndClosedAgainIsRefused) {
  testing::DriveFixture fixture;
  RecordingRunner runner;
  luks::SessionMapperSet mappers;
  ASSERT_TRUE(luks::handle_luks_open(runner, fixture.context(), mappers, fixture.drive,
                                     "tarnwick_a", "QQ==", false));
  ASSERT_TRUE(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, "Data"));
  ASSERT_TRUE(luks::handle_luks_close(runner, mappers, "tarnwick_a"));
  EXPECT_EQ(
      error_of(handle_mkfs(runner, mappers, "/dev/mapper/tarnwick_a", Filesystem::Ext4, "Data")),
      kNotOwned);
  EXPECT_EQ(runner.calls.size(), 3u);
}

}  // namespace
}  // namespace tarnwick::mkfs
