// SPDX-License-Identifier: MIT
// Several wipes in one session (Client::wipe_many) against a stand-in helper
// that reads every wipe request, then writes the interleaved lines a case
// needs, reading the cancel requests where the case expects them.
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <vector>

#include "client/client.hpp"
#include "client/support.hpp"

namespace tarnwick::client {
namespace {

using tdh_client_test::read_file;
using tdh_client_test::TempDir;

const std::string kPartly = "wipe cancelled: the drive is only partly wiped";

// Once it has read `wipes` wipe requests it runs `body`, in which `say`
// writes lines and `take` reads (and logs) one request. A probe gets a
// genuine result; a close gets an error naming it, so that an answer given
// to the wrong request shows. Every request is logged.
Client many_helper(const TempDir& dir, std::size_t wipes, const std::string& body) {
  const std::string log = "'" + (dir / "requests.log") + "'";
  const std::string script =
      "say() { printf '%s\\n' \"$@\"; }\n"
      "take() { IFS= read -r line; printf '%s\\n' \"$line\" >> " +
      log +
      "; }\n"
      "n=0\n"
      "while IFS= read -r line; do\n"
      "  printf '%s\\n' \"$line\" >> " +
      log +
      "\n"
      "  case \"$line\" in\n"
      "  *'\"op\":\"probe\"'*) say '{\"probe\":{\"claimed\":8192,\"block\":4096,"
      "\"positions\":2,\"genuine\":true,\"unrestored\":[]}}' '{\"ok\":true}';;\n"
      "  *'\"op\":\"wipe\"'*) n=$((n+1)); if [ $n = " +
      std::to_string(wipes) + " ]; then\n" + body +
      "\n  fi;;\n"
      "  *luks-close*) say '{\"error\":\"answer to the close\"}';;\n"
      "  esac\n"
      "done\n";
  return Client::start({tdh_client_test::write_script(dir / "helper", script)}).value();
}

std::vector<WipeJob> jobs_of(std::size_t count, WipeMode mode = WipeMode::Random) {
  std::vector<WipeJob> jobs;
  for (std::size_t i = 0; i < count; ++i) {
    jobs.push_back({i % 2 == 0 ? "/dev/null" : "/dev/zero", mode, {}});
  }
  return jobs;
}

// What one job is expected to end with: success, or an error of that kind
// whose message begins with `message`.
struct Outcome {
  std::optional<ClientError::Kind> kind;
  std::string message;
};
const Outcome kOk{};

void expect_outcomes(const std::vector<std::expected<void, ClientError>>& got,
                     const std::vector<Outcome>& expected, const std::string& name) {
  ASSERT_EQ(got.size(), expected.size()) << name;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!expected[i].kind) {
      EXPECT_TRUE(got[i].has_value()) << name << " job " << i << ": " << got[i].error().message;
      continue;
    }
    ASSERT_FALSE(got[i].has_value()) << name << " job " << i;
    EXPECT_EQ(got[i].error().kind, *expected[i].kind) << name << " job " << i;
    EXPECT_TRUE(got[i].error().message.starts_with(expected[i].message))
        << name << " job " << i << ": " << got[i].error().message;
  }
}

TEST(WipeMany, LinesAreMatchedToTheirJobsByIdAndEachJobEndsAsItsOwnAnswerSays) {
  using K = ClientError::Kind;
  struct Case {
    std::string name;
    std::size_t jobs;
    std::string body;
    std::vector<Outcome> outcomes;
    std::vector<std::vector<std::uint64_t>> written;  // per job, as reported
  };
  const Case cases[] = {
      {"two interleaved",
       2,
       "say '{\"id\":\"2\",\"progress\":{\"copied\":4096,\"total\":0}}' "
       "'{\"id\":\"1\",\"progress\":{\"copied\":8192,\"total\":0}}' '{\"id\":\"2\",\"ok\":true}' "
       "'{\"id\":\"1\",\"progress\":{\"copied\":12288,\"total\":0}}' '{\"id\":\"1\",\"ok\":true}'",
       {kOk, kOk},
       {{8192, 12288}, {4096}}},
      {"three, one refused",
       3,
       "say '{\"id\":\"3\",\"progress\":{\"copied\":1,\"total\":0}}' "
       "'{\"id\":\"2\",\"error\":\"refused destructive operation: device is read-only\"}' "
       "'{\"id\":\"1\",\"progress\":{\"copied\":2,\"total\":0}}' '{\"id\":\"3\",\"ok\":true}' "
       "'{\"id\":\"1\",\"ok\":true}'",
       {kOk, {K::Helper, "refused destructive operation: device is read-only"}, kOk},
       {{2}, {}, {1}}},
      {"members it does not know, anywhere",
       2,
       "say '{\"seq\":1,\"id\":\"1\",\"progress\":{\"copied\":5,\"total\":0,\"rate\":2}}' "
       "'{\"id\":\"2\",\"ok\":true,\"took\":{\"ms\":3}}' '{\"id\":\"1\",\"ok\":true}'",
       {kOk, kOk},
       {{5}, {}}},
      {"the helper exits mid-way",
       3,
       "say '{\"id\":\"2\",\"ok\":true}' '{\"id\":\"1\",\"progress\":{\"copied\":7,\"total\":0}}'; "
       "echo 'dd: writing: Input/output error' >&2; exit 3",
       {{K::HelperExited, "the helper exited with status 3 before answering"},
        kOk,
        {K::HelperExited, "the helper exited with status 3 before answering"}},
       {{7}, {}, {}}},
      {"a signal stops them all",
       2,
       "say '{\"id\":\"2\",\"error\":\"command `dd of=/dev/zero` stopped: interrupted by "
       "SIGINT\"}' '{\"id\":\"1\",\"error\":\"command `dd of=/dev/null` stopped: interrupted by "
       "SIGINT\"}'; exit 130",
       {{K::Interrupted, "command `dd of=/dev/null`"},
        {K::Interrupted, "command `dd of=/dev/zero`"}},
       {{}, {}}},
      {"an id it never sent",
       2,
       "say '{\"id\":\"1\",\"ok\":true}' '{\"id\":\"7\",\"progress\":{\"copied\":1,\"total\":0}}'",
       {kOk,
        {K::Protocol, "unexpected answer from the helper: a line for no wipe this client runs"}},
       {{}, {}}},
      {"a line of a job that has ended",
       2,
       "say '{\"id\":\"1\",\"ok\":true}' '{\"id\":\"1\",\"progress\":{\"copied\":1,\"total\":0}}'",
       {kOk,
        {K::Protocol, "unexpected answer from the helper: a line for no wipe this client runs"}},
       {{}, {}}},
      {"a number for an id",
       2,
       "say '{\"id\":1,\"ok\":true}'",
       {{K::Protocol, "unexpected answer from the helper: \"id\" is not a string"},
        {K::Protocol, "unexpected answer from the helper: \"id\" is not a string"}},
       {{}, {}}},
      {"a line without id that answers no cancel",
       2,
       "say '{\"id\":\"2\",\"ok\":true}' '{\"ok\":true}'",
       {{K::Protocol, "unexpected answer from the helper: a line without id while wipes run"}, kOk},
       {{}, {}}},
      {"a line that is no response",
       2,
       "say 'Password: '",
       {{K::Protocol, "unexpected answer from the helper: not JSON"},
        {K::Protocol, "unexpected answer from the helper: not JSON"}},
       {{}, {}}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Client client = many_helper(dir, c.jobs, c.body);
    const std::vector<WipeJob> jobs = jobs_of(c.jobs);
    std::vector<std::vector<std::uint64_t>> written(c.jobs);
    const auto outcomes = client.wipe_many(jobs, [&](std::size_t index, const WipeProgress& p) {
      written.at(index).push_back(p.written);
      EXPECT_EQ(p.total, std::nullopt);  // character devices have no size
    });
    expect_outcomes(outcomes, c.outcomes, c.name);
    EXPECT_EQ(written, c.written) << c.name;
  }
}

TEST(WipeMany, EveryJobIsSentAtOnceWithItsOwnIdAndASingleWipeStaysAsItWas) {
  TempDir dir;
  Client client = many_helper(dir, 3,
                              "say '{\"id\":\"3\",\"ok\":true}' '{\"id\":\"1\",\"ok\":true}' "
                              "'{\"id\":\"2\",\"ok\":true}'");
  std::vector<WipeJob> jobs = jobs_of(3);
  jobs[1].mode = WipeMode::EncryptedZero;
  jobs[1].options.verify = true;
  const auto outcomes = client.wipe_many(jobs);
  expect_outcomes(outcomes, {kOk, kOk, kOk}, "three");
  // The session goes on; the next request gets its own answer.
  EXPECT_EQ(client.luks_close("tarnwick_a").error().message, "answer to the close");
  EXPECT_TRUE(client.finish().has_value());
  EXPECT_EQ(read_file(dir / "requests.log"),
            "{\"op\":\"wipe\",\"device\":\"/dev/null\",\"mode\":\"random\",\"id\":\"1\"}\n"
            "{\"op\":\"wipe\",\"device\":\"/dev/zero\",\"mode\":\"encrypted-zero\","
            "\"verify\":true,\"id\":\"2\"}\n"
            "{\"op\":\"wipe\",\"device\":\"/dev/null\",\"mode\":\"random\",\"id\":\"3\"}\n"
            "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_a\"}\n");
}

TEST(WipeMany, MoreJobsThanTheLimitAreAllRefusedAndNothingIsSent) {
  TempDir dir;
  Client client = many_helper(dir, 1, "say '{\"id\":\"1\",\"ok\":true}'");
  std::vector<WipeJob> jobs = jobs_of(kMaxConcurrentWipes + 1);
  WipeReport report;
  jobs.back().options.report = &report;
  const auto outcomes = client.wipe_many(jobs);
  ASSERT_EQ(outcomes.size(), kMaxConcurrentWipes + 1);
  for (const auto& outcome : outcomes) {
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().kind, ClientError::Kind::InvalidArgument);
    EXPECT_EQ(outcome.error().message, "too many wipes at once: at most 16 run in one session");
  }
  EXPECT_EQ(report.error, outcomes.back().error().message);
  EXPECT_TRUE(client.wipe_many({}).empty());
  // The limit itself runs.
  expect_outcomes(client.wipe_many(std::span(jobs).first(1)), {kOk}, "one");
  EXPECT_TRUE(client.finish().has_value());
  EXPECT_EQ(read_file(dir / "requests.log"),
            "{\"op\":\"wipe\",\"device\":\"/dev/null\",\"mode\":\"random\",\"id\":\"1\"}\n");
}

TEST(WipeMany, CancellingOneOrAllAsksOnlyTheRunningJobsAndConsumesEveryAnswer) {
  using K = ClientError::Kind;
  struct Case {
    std::string name;
    std::size_t jobs;
    std::string body;
    std::size_t cancel_at;               // on the first progress of this job...
    std::optional<std::size_t> cancels;  // ...cancel this job, or (nothing) all
    std::string cancels_logged;
    std::vector<Outcome> outcomes;
  };
  const Outcome cancelled{K::Cancelled, kPartly};
  const Case cases[] = {
      {"one of two",
       2,
       "say '{\"id\":\"2\",\"progress\":{\"copied\":1,\"total\":0}}'; take; "
       "say '{\"ok\":true}' '{\"id\":\"2\",\"error\":\"" +
           kPartly +
           "\"}' "
           "'{\"id\":\"1\",\"ok\":true}'",
       1,
       1,
       "{\"op\":\"cancel\",\"id\":\"2\"}\n",
       {kOk, cancelled}},
      {"all that still run, one answer coming after the wipes'",
       3,
       "say '{\"id\":\"2\",\"ok\":true}' '{\"id\":\"1\",\"progress\":{\"copied\":1,\"total\":0}}'; "
       "take; take; say '{\"ok\":true}' '{\"id\":\"3\",\"error\":\"" +
           kPartly +
           "\"}' "
           "'{\"id\":\"1\",\"error\":\"" +
           kPartly + "\"}' '{\"ok\":true}'",
       0,
       std::nullopt,
       "{\"op\":\"cancel\",\"id\":\"1\"}\n{\"op\":\"cancel\",\"id\":\"3\"}\n",
       {cancelled, kOk, cancelled}},
      {"one that had completed when the helper read the cancel",
       2,
       "say '{\"id\":\"1\",\"progress\":{\"copied\":1,\"total\":0}}' '{\"id\":\"1\",\"ok\":true}'; "
       "take; say '{\"error\":\"no wipe with this id is running\"}' '{\"id\":\"2\",\"ok\":true}'",
       0,
       0,
       "{\"op\":\"cancel\",\"id\":\"1\"}\n",
       {kOk, kOk}},
      {"a cancel text nobody asked for is the helper's error",
       1,
       "say '{\"id\":\"1\",\"progress\":{\"copied\":1,\"total\":0}}' "
       "'{\"id\":\"1\",\"error\":\"" +
           kPartly + "\"}'",
       1,  // no such job: nothing is cancelled
       0,
       "",
       {{K::Helper, kPartly}}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Client client = many_helper(dir, c.jobs, c.body);
    bool asked = false;
    const auto outcomes =
        client.wipe_many(jobs_of(c.jobs), [&](std::size_t index, const WipeProgress&) {
          if (index == c.cancel_at && !asked) {
            asked = true;
            EXPECT_TRUE(c.cancels ? client.cancel(*c.cancels) : client.cancel()) << c.name;
          }
        });
    expect_outcomes(outcomes, c.outcomes, c.name);
    EXPECT_FALSE(client.cancel()) << c.name;
    EXPECT_FALSE(client.cancel(0)) << c.name;
    EXPECT_EQ(client.luks_close("tarnwick_a").error().message, "answer to the close") << c.name;
    std::string log = read_file(dir / "requests.log");
    std::string cancels;
    for (std::size_t at = 0; (at = log.find("{\"op\":\"cancel\"", at)) != std::string::npos;) {
      const std::size_t end = log.find('\n', at) + 1;
      cancels += log.substr(at, end - at);
      at = end;
    }
    EXPECT_EQ(cancels, c.cancels_logged) << c.name;
  }
}

TEST(WipeMany, AnotherThreadCancelsEveryRunningJob) {
  TempDir dir;
  Client client = many_helper(dir, 2,
                              "say '{\"id\":\"1\",\"progress\":{\"copied\":1,\"total\":0}}'; "
                              "take; take; say '{\"ok\":true}' '{\"ok\":true}' "
                              "'{\"id\":\"2\",\"error\":\"" +
                                  kPartly + "\"}' '{\"id\":\"1\",\"error\":\"" + kPartly + "\"}'");
  std::promise<void> progressed;
  auto cancelled = std::async(std::launch::async, [&] {
    progressed.get_future().wait();
    return client.cancel();
  });
  bool first = true;
  const auto outcomes = client.wipe_many(jobs_of(2), [&](std::size_t, const WipeProgress&) {
    if (std::exchange(first, false)) {
      progressed.set_value();
    }
  });
  EXPECT_TRUE(cancelled.get());
  expect_outcomes(
      outcomes, {{ClientError::Kind::Cancelled, kPartly}, {ClientError::Kind::Cancelled, kPartly}},
      "all");
  EXPECT_TRUE(client.finish().has_value());
}

TEST(WipeMany, EachJobGetsItsOwnReport) {
  TempDir dir;
  Client client = many_helper(
      dir, 3,
      "say '{\"id\":\"1\",\"progress\":{\"copied\":8192,\"total\":0}}' "
      "'{\"id\":\"2\",\"error\":\"refused destructive operation: device is read-only\"}' "
      "'{\"id\":\"1\",\"progress\":{\"copied\":8192,\"total\":0,\"verified\":8192}}' "
      "'{\"id\":\"3\",\"progress\":{\"copied\":4096,\"total\":0}}'; take; "
      "say '{\"ok\":true}' '{\"id\":\"3\",\"error\":\"" +
          kPartly + "\"}' '{\"id\":\"1\",\"ok\":true}'");
  // A capacity check of the first drive, for its report only.
  ASSERT_TRUE(client.probe("/dev/null").has_value());
  std::vector<WipeReport> reports(3);
  std::vector<WipeJob> jobs = {{"/dev/null", WipeMode::EncryptedZero, {true, &reports[0]}},
                               {"/dev/zero", WipeMode::Random, {false, &reports[1]}},
                               {"/dev/full", WipeMode::EncryptedZero, {true, &reports[2]}}};
  const auto outcomes = client.wipe_many(jobs, [&](std::size_t index, const WipeProgress&) {
    if (index == 2) {
      client.cancel(2);
    }
  });
  expect_outcomes(outcomes,
                  {kOk,
                   {ClientError::Kind::Helper, "refused destructive operation"},
                   {ClientError::Kind::Cancelled, kPartly}},
                  "reports");
  struct Expected {
    std::string path;
    WipeMode mode;
    WipeReport::Verification verification;
    std::uint64_t written;
    std::optional<std::uint64_t> verified;
    std::string error;
    bool checked;
  };
  const Expected expected[] = {
      {"/dev/null", WipeMode::EncryptedZero, WipeReport::Verification::Passed, 8192, 8192, "",
       true},
      {"/dev/zero", WipeMode::Random, WipeReport::Verification::NotRequested, 0, std::nullopt,
       "refused destructive operation: device is read-only", false},
      {"/dev/full", WipeMode::EncryptedZero, WipeReport::Verification::NotRun, 4096, std::nullopt,
       kPartly, false},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const WipeReport& r = reports[i];
    EXPECT_EQ(r.drive.path, expected[i].path) << i;
    EXPECT_EQ(r.mode, expected[i].mode) << i;
    EXPECT_EQ(r.verification, expected[i].verification) << i;
    EXPECT_EQ(r.bytes_written, expected[i].written) << i;
    EXPECT_EQ(r.bytes_verified, expected[i].verified) << i;
    EXPECT_EQ(r.error, expected[i].error) << i;
    EXPECT_EQ(r.capacity_check.has_value(), expected[i].checked) << i;
    EXPECT_FALSE(r.helper_version.empty()) << i;
    EXPECT_LE(r.started, r.ended) << i;
  }
  EXPECT_TRUE(client.finish().has_value());
}

}  // namespace
}  // namespace tarnwick::client
