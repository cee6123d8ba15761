// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "luks/luks.hpp"
#include "support/support.hpp"

namespace tarnwick::luks {
namespace {

using testing::RecordingRunner;
using Args = std::vector<std::string>;

secure::SecretBytes secret(std::string_view text) {
  return secure::SecretBytes(text.begin(), text.end());
}

struct MapperNameCase {
  const char* name;
  std::string mapper_name;
  bool valid;
};

class MapperNameRule : public ::testing::TestWithParam<MapperNameCase> {};

TEST_P(MapperNameRule, Decides) {
  EXPECT_EQ(is_valid_mapper_name(GetParam().mapper_name), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MapperNameRule,
    ::testing::Values(MapperNameCase{"bare_prefix_9_bytes", "tarnwick_", true},
                      MapperNameCase{"prefix_without_underscore", "tarnwick", false},
                      MapperNameCase{"empty", "", false},
                      MapperNameCase{"every_allowed_class", "tarnwick_AZaz09_-", true},
                      MapperNameCase{"length_96", "tarnwick_" + std::string(87, 'x'), true},
                      MapperNameCase{"length_97", "tarnwick_" + std::string(88, 'x'), false},
                      MapperNameCase{"capital_prefix", "Tarnwick_a", false},
                      MapperNameCase{"upper_case_prefix", "TARNWICK_a", false},
                      MapperNameCase{"prefix_not_at_start", "xtarnwick_a", false},
                      MapperNameCase{"hyphen_in_prefix", "tarnwick-a", false},
                      MapperNameCase{"dot", "tarnwick_a.b", false},
                      MapperNameCase{"slash", "tarnwick_a/b", false},
                      MapperNameCase{"space", "tarnwick_a b", false},
                      MapperNameCase{"non_ascii", "tarnwick_\xc3\xa9", false},
                      MapperNameCase{"nul", std::string("tarnwick_a\0", 11), false}),
    testing::CaseName{});

const Args kFormatProfile = {
    "luksFormat",       "--type",      "luks2",         "--cipher",       "aes-xts-plain64",
    "--key-size",       "512",         "--hash",        "sha256",         "--pbkdf",
    "argon2id",         "--iter-time", "2000",          "--pbkdf-memory", "1048576",
    "--pbkdf-parallel", "4",           "--sector-size", "4096",           "--use-random",
    "--batch-mode",     "--key-file=-"};

Args with(Args base, const Args& tail) {
  base.insert(base.end(), tail.begin(), tail.end());
  return base;
}

struct FormatCase {
  const char* name;
  LuksFormatOptions options;
  Args expected;
};

class FormatCommand : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatCommand, HasExactArguments) {
  const ToolCommand command = luks_format_command("/dev/disk/by-id/usb-X", GetParam().options);
  EXPECT_EQ(command.program, "cryptsetup");
  EXPECT_EQ(command.args, GetParam().expected);
  EXPECT_FALSE(command.stdin_bytes.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, FormatCommand,
    ::testing::Values(
        FormatCase{"label_and_subsystem",
                   {"Backup", "tarnwick", false},
                   with(kFormatProfile,
                        {"--label", "Backup", "--subsystem", "tarnwick", "/dev/disk/by-id/usb-X"})},
        FormatCase{"subsystem_only",
                   {"", "tarnwick", false},
                   with(kFormatProfile, {"--subsystem", "tarnwick", "/dev/disk/by-id/usb-X"})},
        FormatCase{"label_only",
                   {"Backup", std::nullopt, false},
                   with(kFormatProfile, {"--label", "Backup", "/dev/disk/by-id/usb-X"})},
        FormatCase{
            "neither", {"", std::nullopt, false}, with(kFormatProfile, {"/dev/disk/by-id/usb-X"})},
        FormatCase{"allow_discards_changes_nothing",
                   {"Backup", "tarnwick", true},
                   with(kFormatProfile, {"--label", "Backup", "--subsystem", "tarnwick",
                                         "/dev/disk/by-id/usb-X"})}),
    testing::CaseName{});

TEST(OpenCommand, DiscardsFlagStandsBeforeTheDevice) {
  const ToolCommand plain = luks_open_command("/dev/disk/by-id/usb-X", "tarnwick_a", false);
  EXPECT_EQ(plain.program, "cryptsetup");
  EXPECT_EQ(plain.args, (Args{"open", "--type", "luks2", "--key-file=-", "/dev/disk/by-id/usb-X",
                              "tarnwick_a"}));
  EXPECT_FALSE(plain.stdin_bytes.has_value());

  const ToolCommand discards = luks_open_command("/dev/disk/by-id/usb-X", "tarnwick_a", true);
  EXPECT_EQ(discards.args, (Args{"open", "--type", "luks2", "--key-file=-", "--allow-discards",
                                 "/dev/disk/by-id/usb-X", "tarnwick_a"}));
}

TEST(CloseCommand, NamesTheMapper) {
  const ToolCommand command = luks_close_command("tarnwick_a");
  EXPECT_EQ(command.program, "cryptsetup");
  EXPECT_EQ(command.args, (Args{"close", "tarnwick_a"}));
  EXPECT_FALSE(command.stdin_bytes.has_value());
}

TEST(Commands, DevicePathThatIsNotUtf8GetsReplacementCharacters) {
  const std::string device = "/dev/disk/by-id/usb-\xff\xfe-0";
  const std::string shown = "/dev/disk/by-id/usb-\xef\xbf\xbd\xef\xbf\xbd-0";
  EXPECT_EQ(luks_format_command(device, {}).args.back(), shown);
  EXPECT_EQ(luks_open_command(device, "tarnwick_a", false).args.at(4), shown);
}

TEST(LuksFormat, EmptyPassphraseIsRefusedBeforeAnyCommand) {
  RecordingRunner runner;
  const auto result = luks_format(runner, "/dev/disk/by-id/usb-X", {}, {"", "tarnwick", false});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), HelperError::refused("refusing empty passphrase"));
  EXPECT_EQ(result.error().display(), "refused destructive operation: refusing empty passphrase");
  EXPECT_TRUE(runner.calls.empty());
}

TEST(LuksOperations, PassphraseReachesStdinByteForByte) {
  // A trailing line feed and a NUL are part of the key; nothing is added.
  const std::string key("pa\0ss\n", 6);
  RecordingRunner runner;
  ASSERT_TRUE(luks_format(runner, "/dev/disk/by-id/usb-X", secret(key), {"", "tarnwick", false}));
  ASSERT_TRUE(luks_open(runner, "/dev/disk/by-id/usb-X", "tarnwick_a", secret(key), false));
  ASSERT_EQ(runner.calls.size(), 2u);
  EXPECT_EQ(runner.calls[0].stdin_bytes, key);
  EXPECT_EQ(runner.calls[1].stdin_bytes, key);
  EXPECT_EQ(runner.calls[1].args.front(), "open");
}

TEST(LuksOpen, EmptyPassphraseRunsWithEmptyStdin) {
  RecordingRunner runner;
  ASSERT_TRUE(luks_open(runner, "/dev/disk/by-id/usb-X", "tarnwick_a", {}, false));
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0].stdin_bytes, std::string());
}

TEST(LuksOperations, RunnerErrorsComeBackUnchanged) {
  const HelperError failure = testing::command_failed("cryptsetup close tarnwick_a", 4, "busy\n");
  const HelperError missing{HelperError::ToolNotFound{"cryptsetup"}};
  const HelperError io = HelperError::io("Broken pipe (os error 32)");
  RecordingRunner runner;
  runner.push_result(std::unexpected(missing));
  runner.push_result(std::unexpected(io));
  runner.push_result(std::unexpected(failure));

  const auto formatted = luks_format(runner, "/dev/x", secret("k"), {});
  const auto opened = luks_open(runner, "/dev/x", "tarnwick_a", secret("k"), true);
  const auto closed = luks_close(runner, "tarnwick_a");
  ASSERT_FALSE(formatted);
  ASSERT_FALSE(opened);
  ASSERT_FALSE(closed);
  EXPECT_EQ(formatted.error(), missing);
  EXPECT_EQ(opened.error(), io);
  EXPECT_EQ(closed.error(), failure);
}

TEST(SessionMapperSet, TakeAllHandsOverEveryNameAndEmpties) {
  SessionMapperSet set;
  set.insert("tarnwick_a");
  set.insert("tarnwick_b");
  set.insert("tarnwick_a");
  EXPECT_EQ(set.size(), 2u);
  std::vector<std::string> taken = set.take_all();
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<std::string>{"tarnwick_a", "tarnwick_b"}));
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.take_all().empty());
}

}  // namespace
}  // namespace tarnwick::luks
