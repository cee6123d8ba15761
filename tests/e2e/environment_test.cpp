// SPDX-License-Identifier: MIT
// The environment a client hands the helper (through pkexec, a desktop's
// language and whatever else) must change nothing a tool does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/fixture.hpp"
#include "support/support.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class EnvironmentTest : public E2eTest {};

// A configuration that would give ext4 128-byte inodes (256 by default).
constexpr const char* kHostileMke2fsConfig =
    "[defaults]\n\tinode_size = 128\n"
    "[fs_types]\n\text4 = {\n\t\tinode_size = 128\n\t}\n";

TEST_F(EnvironmentTest, GermanDesktopAndHostileVariablesReachNoTool) {
  // coreutils speaks German only where the locale exists; without it, dd's
  // English message would pass the wipe for the wrong reason.
  if (std::system("locale -a 2>/dev/null | grep -qx de_DE.utf8") != 0) {
    GTEST_SKIP() << "the de_DE.UTF-8 locale is not generated (scripts/setup.sh makes it)";
  }
  tarnwick::testing::TempDir dir;
  const std::string config = dir.write_file("mke2fs.conf", kHostileMke2fsConfig);
  Sandbox sandbox({drive("GERMAN").size_mib(32), drive("CONFIG").with_luks_payload()});
  const std::size_t mark = sandbox.tool_log().size();
  auto helper = sandbox.start_helper(
      {"PATH=/nonexistent/tdh-e2e", "LANG=de_DE.UTF-8", "LANGUAGE=de", "MKE2FS_CONFIG=" + config});

  // A whole-drive random wipe ends in dd's out-of-space message: in German
  // it used to turn every complete wipe into a failure.
  Answer wiped = split_answer(helper->request(wipe_request(sandbox.drive(0).path(), "random")));
  EXPECT_EQ(wiped.final_line, kOk);

  const auto& vault = sandbox.drive(1);
  const std::string mapped = "/dev/mapper/tarnwick_env";
  EXPECT_THAT(helper->request(format_request(vault.path(), "env", "pass")), ElementsAre(kOk));
  EXPECT_THAT(helper->request(open_request(vault.path(), "tarnwick_env", "pass")),
              ElementsAre(kOk));
  EXPECT_THAT(helper->request(mkfs_request(mapped, "ext4", "env")), ElementsAre(kOk));
  const std::string superblock = sandbox.run_ok({"dumpe2fs", "-h", mapped});
  EXPECT_THAT(superblock, HasSubstr("Inode size:\t          256"));
  EXPECT_THAT(helper->request(close_request("tarnwick_env")), ElementsAre(kOk));
  EXPECT_EQ(helper->finish(), 0);

  // Every tool the helper started saw exactly the fixed environment.
  const std::vector<std::string> fixed{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C.UTF-8"};
  auto calls = changes_since(sandbox, mark);
  ASSERT_GE(calls.size(), 5u) << "dd, luksFormat, open, mkfs.ext4, close";
  for (const auto& call : calls) {
    EXPECT_EQ(call.at("env").get<std::vector<std::string>>(), fixed) << call.dump();
  }
  const auto log = sandbox.tool_log();
  for (std::size_t i = mark; i < log.size(); ++i) {
    const std::string& line = log[i];
    auto call = nlohmann::json::parse(line);
    if (call.at("tool") == "lsblk") {
      EXPECT_EQ(call.at("env").get<std::vector<std::string>>(), fixed) << line;
    }
  }
}

}  // namespace
}  // namespace tdh_e2e
