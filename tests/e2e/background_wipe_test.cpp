// SPDX-License-Identifier: MIT
// Wipes in the background through the real binary and real tools: several
// drives in one session, every line whole and carrying its wipe's id, each
// "encrypted-zero" under a mapping of its own, and nothing left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "e2e/fixture.hpp"
#include "support/support.hpp"

namespace tdh_e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class BackgroundWipeTest : public E2eTest {};

std::string background_wipe(const std::string& device, const std::string& mode,
                            const std::string& id, bool verify = false) {
  return "{\"op\":\"wipe\",\"device\":" + json_string(device) + ",\"mode\":" + json_string(mode) +
         (verify ? ",\"verify\":true" : "") + ",\"id\":" + json_string(id) + "}";
}

// Reads lines until every id has its final line; each line must be whole
// JSON whose first member is a known id. Returns the final line per id and
// the last progress object per id.
struct Finals {
  std::map<std::string, std::string> answer;
  std::map<std::string, nlohmann::json> last_progress;
};

Finals collect(HelperSession& helper, const std::set<std::string>& ids) {
  Finals finals;
  while (finals.answer.size() < ids.size()) {
    const std::string line = helper.next_line(120s);
    const auto parsed = nlohmann::ordered_json::parse(line, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << line;
    if (parsed.is_discarded() || !parsed.is_object() || parsed.empty()) continue;
    EXPECT_EQ(parsed.begin().key(), "id") << line;
    const std::string id = parsed.value("id", "");
    EXPECT_TRUE(ids.contains(id)) << line;
    if (parsed.contains("progress")) {
      finals.last_progress[id] = parsed["progress"];
    } else {
      EXPECT_FALSE(finals.answer.contains(id)) << "a second answer: " << line;
      finals.answer[id] = line;
    }
  }
  return finals;
}

TEST_F(BackgroundWipeTest, ThreeDrivesAtOnceEachUnderItsOwnMapping) {
  Sandbox sandbox({drive("BG_RANDOM"), drive("BG_ZERO_1"), drive("BG_ZERO_2")});
  auto helper = sandbox.start_helper();
  helper->send(background_wipe(sandbox.drive(0).path(), "random", "r"));
  helper->send(background_wipe(sandbox.drive(1).path(), "encrypted-zero", "z1", true));
  helper->send(background_wipe(sandbox.drive(2).path(), "encrypted-zero", "z2", true));
  const Finals finals = collect(*helper, {"r", "z1", "z2"});
  for (const auto& [id, line] : finals.answer) {
    EXPECT_EQ(line, "{\"id\":\"" + id + "\",\"ok\":true}");
  }
  for (std::size_t i : {1u, 2u}) {
    const auto& progress = finals.last_progress.at("z" + std::to_string(i));
    EXPECT_EQ(progress.value("verified", std::uint64_t{0}), sandbox.drive(i).size());
    const std::string mapping = "tarnwick_wipe_" + sandbox.drive(i).loop->name();
    EXPECT_TRUE(closed(sandbox, mapping)) << mapping;
    // Ciphertext of zeros, or zeros where device-mapper is simulated: no
    // block of the drive's old pattern is left.
    EXPECT_EQ(count_blocks(sandbox, i,
                           [](std::uint64_t offset, std::string_view block) {
                             return block == pattern_block(offset);
                           }),
              0u);
  }
  EXPECT_FALSE(sandbox.mapper_target("tarnwick_wipe_tmp"));
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_THAT(helper->trailing_lines(), IsEmpty());
}

// A signal while three wipes run: each answers with its id, every tool is
// gone, every temporary mapping closed, and the helper exits 128 + signal.
TEST_F(BackgroundWipeTest, ASignalStopsEveryWipeAndLeavesNothing) {
  Sandbox sandbox({drive("SIG_1"), drive("SIG_2"), drive("SIG_3")});
  auto helper = sandbox.start_helper();
  sandbox.hold("dd");
  helper->send(background_wipe(sandbox.drive(0).path(), "random", "1"));
  helper->send(background_wipe(sandbox.drive(1).path(), "encrypted-zero", "2"));
  helper->send(background_wipe(sandbox.drive(2).path(), "encrypted-zero", "3"));
  (void)sandbox.held("dd");
  for (int waited = 0; sandbox.tool_calls("dd").size() < 3 && waited < 600; ++waited) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(sandbox.tool_calls("dd").size(), 3u);
  ASSERT_EQ(::kill(helper->pid(), SIGTERM), 0);
  const Finals finals = collect(*helper, {"1", "2", "3"});
  for (const auto& [id, line] : finals.answer) {
    EXPECT_THAT(line, HasSubstr("` stopped: interrupted by SIGTERM\"}")) << id;
  }
  EXPECT_EQ(helper->wait_exit(60s), 128 + SIGTERM);
  sandbox.release("dd");
  for (std::size_t i : {1u, 2u}) {
    EXPECT_TRUE(closed(sandbox, "tarnwick_wipe_" + sandbox.drive(i).loop->name()));
  }
  // The locks went with the helper: the next session wipes the same drives.
  auto next = sandbox.start_helper();
  next->send(background_wipe(sandbox.drive(1).path(), "encrypted-zero", "again"));
  EXPECT_EQ(collect(*next, {"again"}).answer.at("again"), "{\"id\":\"again\",\"ok\":true}");
  EXPECT_EQ(next->finish(), 0);
}

}  // namespace
}  // namespace tdh_e2e
