// SPDX-License-Identifier: MIT
// LUKS containers and filesystems through the real binary: a real
// `cryptsetup luksFormat` on a scratch drive, opens checked against the real
// key slots, real mkfs runs, and the mappings a session leaves behind.
//
// Without device-mapper in the kernel the mapping of an opened container is
// stood in for by a loop device over its data segment (see the cryptsetup
// wrapper): the data is not encrypted, but the header stays intact and the
// filesystem lands where a real mapping would put it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;
using Argv = std::vector<std::string>;

class LuksTest : public E2eTest {};

// "Key:   value" lines of `cryptsetup luksDump`, first occurrence of each key.
std::map<std::string, std::string> dump_fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto colon = line.find(':');
    if (colon == std::string::npos || line.empty() || line[0] == ' ' || line[0] == '\t') {
      continue;
    }
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    fields.emplace(line.substr(0, colon), value);
  }
  return fields;
}

// `blkid -o export` of a device, probed afresh.
std::map<std::string, std::string> probe(const Sandbox& sandbox, const std::string& device) {
  std::map<std::string, std::string> fields;
  std::istringstream in(sandbox.run_ok({"blkid", "-p", "-o", "export", device}));
  for (std::string line; std::getline(in, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos) {
      fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return fields;
}

// A container made directly, with a cheap key derivation, for the tests
// whose subject is not the format itself.
void make_container(const Sandbox& sandbox, const std::string& device,
                    const std::string& passphrase) {
  sandbox.run_ok({"cryptsetup", "luksFormat", "--type", "luks2", "--pbkdf", "pbkdf2",
                  "--pbkdf-force-iterations", "1000", "--batch-mode", "--key-file=-", device},
                 passphrase);
}

TEST_F(LuksTest, FormatOpenMkfsAndCloseARealContainer) {
  Sandbox sandbox({drive("VAULT").size_mib(256).with_luks_payload().blank()});
  const auto& vault = sandbox.drive(0);
  const std::string mapped = "/dev/mapper/tarnwick_e2e";
  // Line feeds inside and at the end: they are part of the passphrase.
  const std::string passphrase = "correct\nhorse e2e\n";
  auto helper = sandbox.start_helper();

  // Format: the fixed profile, the label and the subsystem, on the by-id name.
  EXPECT_THAT(helper->request(format_request(vault.path(), "e2e vault", passphrase)),
              ElementsAre(kOk));
  EXPECT_EQ(argvs(changes_since(sandbox, 0)),
            (std::vector<Argv>{{"cryptsetup",       "luksFormat",
                                "--type",           "luks2",
                                "--cipher",         "aes-xts-plain64",
                                "--key-size",       "512",
                                "--hash",           "sha256",
                                "--pbkdf",          "argon2id",
                                "--iter-time",      "2000",
                                "--pbkdf-memory",   "1048576",
                                "--pbkdf-parallel", "4",
                                "--sector-size",    "4096",
                                "--use-random",     "--batch-mode",
                                "--key-file=-",     "--label",
                                "e2e vault",        "--subsystem",
                                "tarnwick",         vault.by_id}}));
  auto fields = dump_fields(sandbox.run_ok({"cryptsetup", "luksDump", vault.path()}));
  EXPECT_EQ(fields["Version"], "2");
  EXPECT_EQ(fields["Label"], "e2e vault");
  EXPECT_EQ(fields["Subsystem"], "tarnwick");
  auto metadata = nlohmann::json::parse(
      sandbox.run_ok({"cryptsetup", "luksDump", "--dump-json-metadata", vault.path()}));
  EXPECT_EQ(metadata["keyslots"].size(), 1u);
  EXPECT_EQ(metadata["keyslots"]["0"]["key_size"], 64);
  EXPECT_EQ(metadata["keyslots"]["0"]["kdf"]["type"], "argon2id");
  // 1 GiB is a ceiling: cryptsetup's benchmark lowers it when the machine
  // is too slow (or too busy) to meet the 2 s target with it.
  EXPECT_GT(metadata["keyslots"]["0"]["kdf"]["memory"], 0);
  EXPECT_LE(metadata["keyslots"]["0"]["kdf"]["memory"], 1048576);
  EXPECT_EQ(metadata["segments"]["0"]["encryption"], "aes-xts-plain64");
  EXPECT_EQ(metadata["segments"]["0"]["sector_size"], 4096);
  EXPECT_EQ(metadata["digests"]["0"]["hash"], "sha256");

  // Open: the passphrase without its final line feed is another passphrase.
  std::size_t mark = sandbox.tool_log().size();
  EXPECT_THAT(
      helper->request(open_request(vault.path(), "tarnwick_e2e", "correct\nhorse e2e")),
      ElementsAre(error_line("command `cryptsetup open --type luks2 --key-file=- " + vault.by_id +
                             " tarnwick_e2e` failed (exit 2): No key available with "
                             "this passphrase.\n")));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_e2e"));
  EXPECT_THAT(helper->request(open_request(vault.path(), "tarnwick_e2e", passphrase)),
              ElementsAre(kOk));
  auto opens = changes_since(sandbox, mark);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[1]["argv"], (Argv{"cryptsetup", "open", "--type", "luks2", "--key-file=-",
                                    vault.by_id, "tarnwick_e2e"}));
  if (opens[1].contains("stdin")) {
    EXPECT_EQ(opens[1]["stdin"], passphrase.size()) << "the passphrase bytes, nothing added";
  }
  ASSERT_TRUE(sandbox.mapper_target("tarnwick_e2e"));

  // Each filesystem in turn on the mapping, with its label.
  struct Fs {
    std::string fs;
    std::string label;
    Argv argv;
  };
  for (const Fs& fs : {Fs{"ext4",
                          "e2e-ext4",
                          {"mkfs.ext4", "-F", "-m", "0", "-E",
                           "lazy_itable_init=1,lazy_journal_init=1", "-L", "e2e-ext4", mapped}},
                       Fs{"xfs", "e2e-xfs", {"mkfs.xfs", "-f", "-L", "e2e-xfs", mapped}},
                       Fs{"btrfs", "e2e-btrfs", {"mkfs.btrfs", "-f", "-L", "e2e-btrfs", mapped}}}) {
    SCOPED_TRACE(fs.fs);
    mark = sandbox.tool_log().size();
    EXPECT_THAT(helper->request(mkfs_request(mapped, fs.fs, fs.label)), ElementsAre(kOk));
    EXPECT_EQ(argvs(changes_since(sandbox, mark)), std::vector<Argv>{fs.argv});
    auto found = probe(sandbox, mapped);
    EXPECT_EQ(found["TYPE"], fs.fs);
    EXPECT_EQ(found["LABEL"], fs.label);
  }
  // The container around the filesystem is intact.
  EXPECT_EQ(sandbox.run({"cryptsetup", "isLuks", vault.path()}).exit_code, 0);

  // Only the session's own mapping may be formatted.
  mark = sandbox.tool_log().size();
  const std::string not_ours = error_line("refusing to format a mapper not opened by this session");
  EXPECT_THAT(helper->request(mkfs_request("/dev/mapper/tarnwick_other", "ext4", "")),
              ElementsAre(not_ours));
  EXPECT_THAT(helper->request(mkfs_request(vault.path(), "ext4", "")), ElementsAre(not_ours));
  EXPECT_THAT(helper->request(mkfs_request(vault.by_id, "ext4", "")), ElementsAre(not_ours));

  // Close, and with it every right to the name.
  EXPECT_THAT(helper->request(close_request("tarnwick_e2e")), ElementsAre(kOk));
  EXPECT_EQ(argvs(changes_since(sandbox, mark)),
            (std::vector<Argv>{{"cryptsetup", "close", "tarnwick_e2e"}}));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_e2e"));
  EXPECT_THAT(helper->request(close_request("tarnwick_e2e")),
              ElementsAre(error_line("refusing to close a mapper not opened by this session")));
  EXPECT_THAT(helper->request(mkfs_request(mapped, "ext4", "")), ElementsAre(not_ours));

  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(), "");
  EXPECT_EQ(argvs(changes_since(sandbox, mark)).size(), 1u) << "nothing more ran";
}

// The session ends by "shutdown" (with a request after it that must not
// run) or by end of input; either way it closes what it opened.
class LuksSessionEndTest : public LuksTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(ByShutdownOrEndOfInput, LuksSessionEndTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return std::string(param_info.param ? "Shutdown" : "EndOfInput");
                         });

TEST_P(LuksSessionEndTest, TheEndOfTheSessionClosesEveryMappingItOpened) {
  const bool by_shutdown = GetParam();
  Sandbox sandbox({drive("WHOLE").with_luks_payload().blank(), drive("PARTED").with_partition()});
  const auto& whole = sandbox.drive(0);
  const auto& parted = sandbox.drive(1);
  make_container(sandbox, whole.path(), "whole pass");
  make_container(sandbox, parted.partition, "parted pass");
  const std::size_t mark = sandbox.tool_log().size();
  auto helper = sandbox.start_helper();
  EXPECT_THAT(helper->request(open_request(whole.path(), "tarnwick_whole", "whole pass", true)),
              ElementsAre(kOk));
  // A partition is opened under its own stable name; its drive is guarded.
  EXPECT_THAT(helper->request(open_request(parted.partition, "tarnwick_parted", "parted pass")),
              ElementsAre(kOk));
  EXPECT_TRUE(sandbox.mapper_target("tarnwick_whole"));
  EXPECT_TRUE(sandbox.mapper_target("tarnwick_parted"));
  if (by_shutdown) {
    helper->send("{\"op\":\"shutdown\"}");
    helper->send(open_request(whole.path(), "tarnwick_after", "whole pass"));
  }
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(), "");

  auto changes = argvs(changes_since(sandbox, mark));
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0], (Argv{"cryptsetup", "open", "--type", "luks2", "--key-file=-",
                              "--allow-discards", whole.by_id, "tarnwick_whole"}));
  EXPECT_EQ(changes[1], (Argv{"cryptsetup", "open", "--type", "luks2", "--key-file=-",
                              parted.partition_by_id, "tarnwick_parted"}));
  EXPECT_EQ((std::set<Argv>{changes[2], changes[3]}),
            (std::set<Argv>{{"cryptsetup", "close", "tarnwick_whole"},
                            {"cryptsetup", "close", "tarnwick_parted"}}));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_whole"));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_parted"));
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_after"));
}

TEST_F(LuksTest, AMappingStillMountedAtTheEndIsReportedAndTheDriveStaysGuarded) {
  Sandbox sandbox({drive("BUSY").with_luks_payload().blank()});
  const auto& busy = sandbox.drive(0);
  make_container(sandbox, busy.path(), "busy pass");
  auto helper = sandbox.start_helper();
  EXPECT_THAT(helper->request(open_request(busy.path(), "tarnwick_busy", "busy pass")),
              ElementsAre(kOk));
  EXPECT_THAT(helper->request(mkfs_request("/dev/mapper/tarnwick_busy", "ext4", "busy")),
              ElementsAre(kOk));
  const std::string mount_point = std::string(layout::kMountDir) + "/busy";
  sandbox.run_ok({"mkdir", "-p", mount_point});
  sandbox.run_ok({"mount", "/dev/mapper/tarnwick_busy", mount_point});

  // The opened container's filesystem is mounted: its drive is in use.
  const std::size_t mark = sandbox.tool_log().size();
  EXPECT_THAT(helper->request(wipe_request(busy.path(), "random")),
              ElementsAre(error_line("refused destructive operation: partition currently "
                                     "mounted at " +
                                     mount_point)));
  EXPECT_TRUE(changes_since(sandbox, mark).empty());

  // End of input: the close fails, is reported on standard error only, and
  // the session still ends well. The tool's message keeps its own line feed.
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(),
            "tarnwick-drives-helper: could not close tarnwick_busy: command `cryptsetup close "
            "tarnwick_busy` failed (exit 5): Device tarnwick_busy is still in use.\n\n");
  EXPECT_TRUE(sandbox.mapper_target("tarnwick_busy"));
}

}  // namespace
}  // namespace tdh_e2e
