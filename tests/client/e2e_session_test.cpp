// SPDX-License-Identifier: MIT
// The library against the real helper, run directly as root inside the
// end-to-end sandbox (entered with nsenter) on scratch loop drives.
#include <gtest/gtest.h>

#include <algorithm>

#include "client/client.hpp"
#include "e2e/fixture.hpp"

namespace tarnwick::client {
namespace {

using tdh_e2e::drive;
using tdh_e2e::Sandbox;

class ClientE2e : public tdh_e2e::E2eTest {};

// The helper's command line inside the sandbox's mount and pid namespaces.
std::vector<std::string> helper_in(const Sandbox& sandbox) {
  return {"nsenter", "--target",       std::to_string(sandbox.init_pid()), "--mount", "--pid",
          "--",      TDH_HELPER_BINARY};
}

Client start_in(const Sandbox& sandbox) {
  auto client = Client::start(helper_in(sandbox));
  if (!client) {
    throw std::runtime_error(client.error().describe());
  }
  return std::move(*client);
}

std::vector<std::string> actions(const Sandbox& sandbox, const std::string& tool) {
  std::vector<std::string> out;
  for (const auto& argv : sandbox.tool_calls(tool)) {
    out.push_back(argv.size() > 1 ? argv[1] : "");
  }
  return out;
}

TEST_F(ClientE2e, AWholeSessionEncryptsOpensFormatsClosesAndWipes) {
  Sandbox sandbox({drive("CLIENT").with_luks_payload()});
  const auto& scratch = sandbox.drive(0);
  const std::string passphrase("e2e pass\n\0phrase", 16);
  Client client = start_in(sandbox);

  auto formatted = client.luks_format(scratch.path(), "e2e", passphrase_bytes(passphrase));
  ASSERT_TRUE(formatted) << formatted.error().describe();
  auto opened = client.luks_open(scratch.path(), "tarnwick_e2e", passphrase_bytes(passphrase));
  ASSERT_TRUE(opened) << opened.error().describe();
  EXPECT_TRUE(sandbox.mapper_target("tarnwick_e2e").has_value());
  auto made = client.mkfs(mapped_path("tarnwick_e2e"), Filesystem::Ext4, "data");
  ASSERT_TRUE(made) << made.error().describe();
  auto closed = client.luks_close("tarnwick_e2e");
  ASSERT_TRUE(closed) << closed.error().describe();
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_e2e").has_value());
  // The helper's refusal arrives as its text, unchanged.
  auto again = client.luks_close("tarnwick_e2e");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind, ClientError::Kind::Helper);
  EXPECT_EQ(again.error().message, "refusing to close a mapper not opened by this session");

  std::vector<WipeProgress> reports;
  auto wiped = client.wipe(scratch.path(), WipeMode::Random,
                           [&](const WipeProgress& p) { reports.push_back(p); });
  ASSERT_TRUE(wiped) << wiped.error().describe();
  ASSERT_FALSE(reports.empty());
  // The size comes from /sys/class/block, readable without privilege.
  for (const auto& report : reports) {
    EXPECT_EQ(report.total, scratch.size());
  }
  EXPECT_GE(reports.back().written, scratch.size() - scratch.size() / 100);
  EXPECT_GE(*reports.back().fraction(), 0.99);
  EXPECT_EQ(tdh_e2e::count_blocks(sandbox, 0,
                                  [](std::uint64_t offset, std::string_view block) {
                                    return block == tdh_e2e::pattern_block(offset);
                                  }),
            0u);
  EXPECT_TRUE(client.finish()) << client.helper_stderr();

  EXPECT_EQ(actions(sandbox, "cryptsetup"),
            (std::vector<std::string>{"luksFormat", "open", "close"}));
  const auto mkfs = sandbox.tool_calls("mkfs.ext4");
  ASSERT_EQ(mkfs.size(), 1u);
  EXPECT_EQ(mkfs[0].back(), "/dev/mapper/tarnwick_e2e");
  EXPECT_EQ(sandbox.tool_calls("dd").size(), 1u);
}

TEST_F(ClientE2e, EndingTheClientClosesWhatItOpened) {
  Sandbox sandbox({drive("KEEP").with_luks_payload()});
  const auto& scratch = sandbox.drive(0);
  {
    Client client = start_in(sandbox);
    ASSERT_TRUE(client.luks_format(scratch.path(), "", passphrase_bytes("pw")));
    ASSERT_TRUE(client.luks_open(scratch.path(), "tarnwick_keep", passphrase_bytes("pw")));
    ASSERT_TRUE(sandbox.mapper_target("tarnwick_keep").has_value());
    // A wrong passphrase is cryptsetup's failure, passed on whole.
    auto wrong = client.luks_open(scratch.path(), "tarnwick_other", passphrase_bytes("wrong"));
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().kind, ClientError::Kind::Helper);
    EXPECT_TRUE(
        wrong.error().message.starts_with("command `cryptsetup open --type luks2 "
                                          "--key-file=- "))
        << wrong.error().message;
  }
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_keep").has_value());
  EXPECT_EQ(actions(sandbox, "cryptsetup").back(), "close");
}

TEST_F(ClientE2e, GuardRefusalsArriveVerbatim) {
  Sandbox sandbox({drive("RO").readonly(), drive("FIXED").fixed()});
  Client client = start_in(sandbox);
  const std::pair<std::string, std::string> cases[] = {
      {sandbox.drive(0).path(), "refused destructive operation: device is read-only"},
      {sandbox.drive(1).path(),
       "refused destructive operation: device is not removable or hotplug-capable"},
  };
  for (const auto& [device, text] : cases) {
    int reports = 0;
    auto result = client.wipe(device, WipeMode::Random, [&](const WipeProgress&) { ++reports; });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ClientError::Kind::Helper);
    EXPECT_EQ(result.error().message, text);
    EXPECT_EQ(reports, 0);
  }
  EXPECT_TRUE(sandbox.tool_calls("dd").empty());
}

// A cancel from the progress callback stops the helper's dd and closes its
// mapping; the session goes on and the next request gets its own answer.
TEST_F(ClientE2e, CancelFromTheProgressCallbackStopsTheWipeAndKeepsTheSession) {
  Sandbox sandbox({drive("CANCEL")});
  Client client = start_in(sandbox);
  sandbox.hold("dd");
  WipeReport report;
  auto wiped = client.wipe(sandbox.drive(0).path(), WipeMode::EncryptedZero,
                           WipeOptions{.verify = true, .report = &report},
                           [&](const WipeProgress&) { (void)client.cancel(); });
  sandbox.release("dd");
  ASSERT_FALSE(wiped);
  EXPECT_EQ(wiped.error().kind, ClientError::Kind::Cancelled);
  EXPECT_EQ(wiped.error().message, "wipe cancelled: the drive is only partly wiped");
  EXPECT_EQ(report.verification, WipeReport::Verification::NotRun);
  EXPECT_EQ(report.error, wiped.error().message);
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp").has_value());
  EXPECT_FALSE(client.cancel()) << "nothing runs any more";
  auto closed = client.luks_close("tarnwick_none");
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().message, "refusing to close a mapper not opened by this session");
  EXPECT_TRUE(client.finish());
}

}  // namespace
}  // namespace tarnwick::client
