// SPDX-License-Identifier: MIT
// Cancelling a wipe against a stand-in helper that reads the cancel request
// in the middle of the wipe and then answers as the case needs: the wipe's
// outcome, and the session staying matched to its answers afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "client/client.hpp"
#include "client/support.hpp"

namespace tarnwick::client {
namespace {

using tdh_client_test::read_file;
using tdh_client_test::TempDir;
using tdh_client_test::write_script;

const std::string kWipeLine =
    R"({"op":"wipe","device":"/dev/null","mode":"encrypted-zero","verify":true})";
const std::string kCancelLine = R"({"op":"cancel"})";
const std::string kCloseLine = R"({"op":"luks-close","mapper_name":"tarnwick_a"})";
const std::string kPartly = "wipe cancelled: the drive is only partly wiped";

// Logs every line. A wipe reports progress, then waits for the next line
// (the cancel) and runs `after_cancel`; a cancel read outside a wipe gets the
// unknown-op error; closing tarnwick_slow waits for the file "go"; anything
// else gets an error naming it, so that an answer given to the wrong request
// shows.
std::string cancel_helper(const TempDir& dir, const std::string& after_cancel) {
  const std::string log = dir / "requests.log";
  return write_script(
      dir / "helper",
      "while IFS= read -r line; do\n"
      "  printf '%s\\n' \"$line\" >> '" +
          log +
          "'\n"
          "  case \"$line\" in\n"
          "  *'\"op\":\"wipe\"'*)\n"
          "    echo '{\"progress\":{\"copied\":4096,\"total\":0}}'\n"
          "    IFS= read -r next; printf '%s\\n' \"$next\" >> '" +
          log + "'\n" + after_cancel +
          "    ;;\n"
          "  *'\"op\":\"cancel\"'*) echo '{\"error\":\"parse: unknown variant `cancel`, expected "
          "one of `luks-format`, `luks-open`, `luks-close`, `wipe`, `mkfs`, `shutdown` at line 1 "
          "column 15\"}';;\n"
          "  *tarnwick_slow*) : > '" +
          (dir / "started") + "'; while [ ! -e '" + (dir / "go") +
          "' ]; do sleep 0.02; done; echo '{\"ok\":true}';;\n"
          "  *) echo '{\"error\":\"answer to the close\"}';;\n"
          "  esac\n"
          "done\n");
}

Client start(const std::string& helper) {
  auto client = Client::start({helper});
  if (!client) {
    throw std::runtime_error("start failed: " + client.error().describe());
  }
  return std::move(*client);
}

TEST(Cancel, WhatTheHelperAnswersDecidesTheWipeAndTheNextRequestGetsItsOwnAnswer) {
  struct Case {
    const char* what;
    std::string after_cancel;
    int cancels;  // calls from the progress callback
    std::optional<ClientError::Kind> kind;
    std::string message;
    ClientError::Kind next_kind;
    std::string next_message;  // empty: not checked
  };
  const std::string dd_failed =
      "command `dd if=/dev/zero of=/dev/mapper/tarnwick_wipe_tmp` failed (exit 1): dd: error "
      "writing: Input/output error";
  const Case cases[] = {
      // The second cancel reaches the helper after the wipe's answer and gets
      // the unknown-op error: two answers to consume.
      {"cancelled", "    printf '%s\\n' '{\"error\":\"" + kPartly + "\"}' '{\"ok\":true}'\n", 2,
       ClientError::Kind::Cancelled, kPartly, ClientError::Kind::Helper, "answer to the close"},
      {"completed before the cancel was read",
       "    echo '{\"ok\":true}'\n"
       "    echo '{\"error\":\"parse: unknown variant `cancel`, expected one of `wipe`\"}'\n",
       1, std::nullopt, "", ClientError::Kind::Helper, "answer to the close"},
      {"failed for another reason",
       "    printf '%s\\n' '{\"error\":\"" + dd_failed + "\"}' '{\"ok\":true}'\n", 1,
       ClientError::Kind::Helper, dd_failed, ClientError::Kind::Helper, "answer to the close"},
      // A signalled helper answers nothing after the wipe.
      {"interrupted by a signal",
       "    echo '{\"error\":\"command `dd if=/dev/zero of=x` stopped: interrupted by SIGINT\"}'\n"
       "    exit 130\n",
       1, ClientError::Kind::Interrupted,
       "command `dd if=/dev/zero of=x` stopped: interrupted by SIGINT",
       ClientError::Kind::Interrupted, ""},
      {"helper exits before answering the cancel",
       "    printf '%s\\n' '{\"error\":\"" + kPartly + "\"}'\n    exit 0\n", 1,
       ClientError::Kind::Cancelled, kPartly, ClientError::Kind::HelperExited,
       "the helper is no longer running (the helper exited with status 0 before answering)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Client client = start(cancel_helper(dir, c.after_cancel));
    WipeReport report;
    int sent = 0;
    auto wiped = client.wipe("/dev/null", WipeMode::EncryptedZero, WipeOptions{true, &report},
                             [&](const WipeProgress&) {
                               for (int i = 0; i < c.cancels; ++i) {
                                 sent += client.cancel() ? 1 : 0;
                               }
                             });
    EXPECT_EQ(sent, c.cancels);
    if (c.kind) {
      ASSERT_FALSE(wiped.has_value());
      EXPECT_EQ(wiped.error().kind, *c.kind);
      EXPECT_EQ(wiped.error().message, c.message);
      EXPECT_EQ(report.error, c.message);
      EXPECT_EQ(report.verification, WipeReport::Verification::NotRun);
    } else {
      ASSERT_TRUE(wiped.has_value()) << wiped.error().describe();
      EXPECT_TRUE(report.succeeded());
      EXPECT_EQ(report.verification, WipeReport::Verification::Passed);
    }
    EXPECT_EQ(report.bytes_written, 4096u);
    EXPECT_FALSE(client.cancel()) << "no wipe runs any more";
    auto next = client.luks_close("tarnwick_a");
    ASSERT_FALSE(next.has_value());
    EXPECT_EQ(next.error().kind, c.next_kind);
    if (!c.next_message.empty()) {
      EXPECT_EQ(next.error().message, c.next_message);
    }
    std::string expected = kWipeLine + "\n";
    for (int i = 0; i < c.cancels; ++i) {
      expected += kCancelLine + "\n";
    }
    if (c.next_kind == ClientError::Kind::Helper) {
      expected += kCloseLine + "\n";
    }
    EXPECT_EQ(read_file(dir / "requests.log"), expected);
  }
}

TEST(Cancel, AnotherThreadCancelsOnlyWhileTheWipeIsInFlight) {
  TempDir dir;
  Client client = start(
      cancel_helper(dir, "    printf '%s\\n' '{\"error\":\"" + kPartly + "\"}' '{\"ok\":true}'\n"));
  EXPECT_FALSE(client.cancel()) << "before any request";

  std::promise<void> progressed;
  std::future<bool> cancelled = std::async(std::launch::async, [&] {
    progressed.get_future().wait();
    return client.cancel();
  });
  bool first = true;
  auto wiped = client.wipe("/dev/null", WipeMode::Random, [&](const WipeProgress&) {
    if (std::exchange(first, false)) {
      progressed.set_value();
    }
  });
  EXPECT_TRUE(cancelled.get());
  ASSERT_FALSE(wiped.has_value());
  EXPECT_EQ(wiped.error().kind, ClientError::Kind::Cancelled);
  EXPECT_EQ(wiped.error().describe(), kPartly);

  EXPECT_FALSE(client.cancel()) << "after the wipe";
  EXPECT_EQ(client.luks_close("tarnwick_a").error().message, "answer to the close");
  // Nor during another request.
  std::future<bool> during = std::async(std::launch::async, [&] {
    while (!std::ifstream(dir / "started").good()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool sent = client.cancel();
    tdh_client_test::write_file(dir / "go", "");
    return sent;
  });
  EXPECT_TRUE(client.luks_close("tarnwick_slow").has_value());
  EXPECT_FALSE(during.get());
  EXPECT_TRUE(client.finish().has_value());
  EXPECT_FALSE(client.cancel()) << "after the session";
  EXPECT_EQ(read_file(dir / "requests.log"),
            R"({"op":"wipe","device":"/dev/null","mode":"random"})"
            "\n" +
                kCancelLine + "\n" + kCloseLine + "\n" +
                R"({"op":"luks-close","mapper_name":"tarnwick_slow"})"
                "\n");

  Client moved = std::move(client);
  EXPECT_FALSE(client.cancel());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace tarnwick::client
