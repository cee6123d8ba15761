// SPDX-License-Identifier: MIT
// "probe" through the real binary on a scratch drive: a genuine drive
// passes, says so in its result line, and keeps every byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

std::string probe_request(const std::string& device) {
  return "{\"op\":\"probe\",\"device\":" + json_string(device) + "}";
}

class ProbeTest : public E2eTest {};

TEST_F(ProbeTest, AGenuineDrivePassesAndIsLeftByteForByteAsItWas) {
  Sandbox sandbox({drive("PROBE").size_mib(96)});
  const auto& target = sandbox.drive(0);
  const std::string before = sandbox.read_drive(0, 0, static_cast<std::size_t>(target.size()));
  auto helper = sandbox.start_helper();
  const auto lines = helper->request(probe_request(target.path()));
  ASSERT_GE(lines.size(), 3u) << "progress, the result line, the answer";
  EXPECT_EQ(lines.back(), kOk);

  std::vector<std::uint64_t> progress;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    const auto copied = progress_copied(lines[i]);
    ASSERT_TRUE(copied) << lines[i];
    progress.push_back(*copied);
  }
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  const auto result = nlohmann::json::parse(lines[lines.size() - 2]).at("probe");
  EXPECT_EQ(result.at("claimed"), target.size());
  EXPECT_EQ(result.at("block"), 4096);
  EXPECT_GE(result.at("positions").get<std::size_t>(), 64u);
  EXPECT_EQ(result.at("genuine"), true);
  EXPECT_FALSE(result.contains("lowest_failing"));
  EXPECT_EQ(result.at("unrestored"), nlohmann::json::array());
  // Markers and restores: two writes per position, nothing else written.
  EXPECT_EQ(progress.back(), 2 * 4096 * result.at("positions").get<std::uint64_t>());

  // Only dd ran, each time one direct block of the drive's by-id link.
  for (const auto& argv : argvs(changes_since(sandbox, 0))) {
    ASSERT_GE(argv.size(), 2u);
    EXPECT_EQ(argv[0], "dd");
    const bool reads = argv[1] == "if=" + target.by_id;
    const bool writes = argv[1] == "of=" + target.by_id;
    EXPECT_TRUE(reads || writes) << argv[1];
    EXPECT_EQ(argv.back(), "status=none");
    EXPECT_THAT(argv, ::testing::Contains(writes ? "oflag=direct,dsync" : "iflag=direct"));
  }
  EXPECT_TRUE(sandbox.read_drive(0, 0, static_cast<std::size_t>(target.size())) == before)
      << "the probe changed the drive";
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_EQ(helper->stderr_text(), "");
}

TEST_F(ProbeTest, TheGuardRefusesAsForAWipeAndNothingRuns) {
  Sandbox sandbox({drive("FIXED").fixed()});
  auto helper = sandbox.start_helper();
  const auto probe = helper->request(probe_request(sandbox.drive(0).path()));
  const auto wipe = helper->request(wipe_request(sandbox.drive(0).path(), "none"));
  EXPECT_EQ(probe, wipe);
  EXPECT_THAT(probe, ElementsAre(::testing::StartsWith("{\"error\":\"refused destructive")));
  EXPECT_TRUE(changes_since(sandbox, 0).empty());
  EXPECT_EQ(helper->finish(), 0);
}

}  // namespace
}  // namespace tdh_e2e
