// SPDX-License-Identifier: MIT
// Client::probe against a helper stand-in: the result line is the result,
// a counterfeit is not an error, and a later wipe's report carries it.
#include <gtest/gtest.h>

#include "client/client.hpp"
#include "client/support.hpp"

namespace tarnwick::client {
namespace {

using tdh_client_test::TempDir;
using tdh_client_test::write_script;

// Answers every request with the given lines, in order.
Client helper_answering(const TempDir& dir, const std::string& lines) {
  const std::string helper = write_script(
      dir / "helper", "while IFS= read -r line; do\n  printf '%s\\n' " + lines + "\ndone\n");
  auto client = Client::start({helper});
  if (!client) {
    throw std::runtime_error(client.error().describe());
  }
  return std::move(*client);
}

TEST(Probe, AGenuineDriveAndItsProgress) {
  TempDir dir;
  Client client = helper_answering(
      dir,
      "'{\"progress\":{\"copied\":0,\"total\":0}}' '{\"progress\":{\"copied\":4096,\"total\":0}}' "
      "'{\"probe\":{\"claimed\":1073741824,\"block\":4096,\"positions\":80,\"genuine\":true,"
      "\"unrestored\":[],\"later\":1}}' '{\"ok\":true}'");
  std::vector<std::uint64_t> progress;
  auto check =
      client.probe("/dev/sdz", [&](std::uint64_t written) { progress.push_back(written); });
  ASSERT_TRUE(check.has_value()) << check.error().describe();
  EXPECT_TRUE(check->genuine);
  EXPECT_EQ(check->claimed, 1073741824U);
  EXPECT_EQ(check->positions, 80U);
  EXPECT_EQ(check->device, "/dev/sdz");
  EXPECT_EQ(check->helper_error, "");
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{0, 4096}));
  EXPECT_TRUE(client.finish().has_value());
}

TEST(Probe, ACounterfeitIsAResultAndTheWipeReportRecordsIt) {
  TempDir dir;
  const std::string error = "probe: the drive stores at most 8.0 GiB of the 64.0 GiB it claims";
  Client client = helper_answering(
      dir,
      "'{\"probe\":{\"claimed\":68719476736,\"block\":4096,\"positions\":110,\"genuine\":false,"
      "\"lowest_failing\":8589934592,\"highest_good\":8589930496,\"unrestored\":[8589934592]}}' "
      "'{\"error\":\"" +
          error + "\"}'");
  auto check = client.probe("/dev/sdz");
  ASSERT_TRUE(check.has_value()) << check.error().describe();
  EXPECT_FALSE(check->genuine);
  EXPECT_EQ(check->lowest_failing, 8589934592U);
  EXPECT_EQ(check->highest_good, 8589930496U);
  EXPECT_EQ(check->unrestored, std::vector<std::uint64_t>{8589934592U});
  EXPECT_EQ(check->helper_error, error);

  WipeReport report;
  (void)client.wipe("/dev/sdz", WipeMode::None, WipeOptions{false, &report});
  ASSERT_TRUE(report.capacity_check.has_value());
  EXPECT_EQ(*report.capacity_check, *check);
  const std::string json = report.to_json();
  EXPECT_NE(json.find("\"capacity_check\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"counterfeit\""), std::string::npos) << json;

  WipeReport other;
  (void)client.wipe("/dev/sdy", WipeMode::None, WipeOptions{false, &other});
  EXPECT_FALSE(other.capacity_check.has_value()) << "another drive";
}

TEST(Probe, WithoutAResultTheAnswerIsTheError) {
  TempDir dir;
  Client refused =
      helper_answering(dir, "'{\"error\":\"refused destructive operation: device is read-only\"}'");
  auto check = refused.probe("/dev/sdz");
  ASSERT_FALSE(check.has_value());
  EXPECT_EQ(check.error().kind, ClientError::Kind::Helper);
  EXPECT_EQ(check.error().message, "refused destructive operation: device is read-only");

  TempDir other;
  Client silent = helper_answering(other, "'{\"ok\":true}'");
  auto bare = silent.probe("/dev/sdz");
  ASSERT_FALSE(bare.has_value());
  EXPECT_EQ(bare.error().kind, ClientError::Kind::Protocol);
}

}  // namespace
}  // namespace tarnwick::client
