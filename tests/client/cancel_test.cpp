// SPDX-License-Identifier: MIT
// Cancelling a wipe against a stand-in helper that reads the cancel request
// mid-wipe and then answers as the case needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "client/client.hpp"
#include "client/support.hpp"

namespace tarnwick::client {
namespace {

using tdh_client_test::read_file;
using tdh_client_test::TempDir;

const std::string kPartly = "wipe cancelled: the drive is only partly wiped";
const std::string kCancelled = "printf '%s\\n' '{\"error\":\"" + kPartly + "\"}' '{\"ok\":true}'";
// The same from a helper that adds members the client does not know.
const std::string kCancelledWithMore = "printf '%s\\n' '{\"error\":\"" + kPartly +
                                       "\",\"state\":\"partial\"}' '{\"id\":2,\"ok\":true}'";

// A wipe reports progress (with a read-back figure, as a verified wipe that
// completes has sent by its end), reads the next line (the cancel) and runs AFTER;
// a cancel outside a wipe gets the unknown-op error; closing tarnwick_slow
// waits for the file "go"; any other request gets an error naming it, so
// that an answer given to the wrong request shows. @ is the directory.
Client cancel_helper(const TempDir& dir, const std::string& after_cancel) {
  std::string script = R"(while IFS= read -r line; do
  printf '%s\n' "$line" >> @/requests.log
  case "$line" in
  *'"op":"wipe"'*) echo '{"progress":{"copied":4096,"total":0,"verified":4096}}'
    IFS= read -r line; printf '%s\n' "$line" >> @/requests.log; AFTER;;
  *cancel*) echo '{"error":"parse: unknown variant `cancel`"}';;
  *slow*) : > @/started; while [ ! -e @/go ]; do sleep 0.02; done; echo '{"ok":true}';;
  *) echo '{"error":"answer to the close"}';;
  esac
done
)";
  script.replace(script.find("AFTER"), 5, after_cancel);
  for (std::size_t at = 0; (at = script.find('@', at)) != std::string::npos;
       at += dir.path().size()) {
    script.replace(at, 1, dir.path());
  }
  return Client::start({tdh_client_test::write_script(dir / "helper", script)}).value();
}

TEST(Cancel, FromTheCallbackTheWipeEndsAsAnsweredAndEveryAnswerIsConsumed) {
  struct Case {
    std::string after_cancel;
    int cancels;        // the second reaches the helper after the wipe's answer
    std::string error;  // empty: the wipe completed before the cancel was read
  };
  for (const Case& c :
       {Case{kCancelled, 2, kPartly}, Case{kCancelledWithMore, 2, kPartly},
        Case{"printf '%s\\n' '{\"ok\":true}' '{\"error\":\"parse: unknown\"}'", 1, ""}}) {
    TempDir dir;
    Client client = cancel_helper(dir, c.after_cancel);
    WipeReport report;
    int sent = 0;
    auto wiped = client.wipe("/dev/null", WipeMode::EncryptedZero, WipeOptions{true, &report},
                             [&](const WipeProgress&) {
                               for (int i = 0; i < c.cancels; ++i) {
                                 sent += client.cancel() ? 1 : 0;
                               }
                             });
    EXPECT_EQ(sent, c.cancels);
    EXPECT_EQ(report.error, c.error);
    if (c.error.empty()) {
      EXPECT_TRUE(wiped.has_value());
      EXPECT_EQ(report.verification, WipeReport::Verification::Passed);
    } else {
      ASSERT_FALSE(wiped.has_value());
      EXPECT_EQ(wiped.error().kind, ClientError::Kind::Cancelled);
      EXPECT_EQ(wiped.error().describe(), c.error);
      EXPECT_EQ(report.verification, WipeReport::Verification::NotRun);
    }
    auto next = client.luks_close("tarnwick_a");
    ASSERT_FALSE(next.has_value()) << "got the answer to a cancel";
    EXPECT_EQ(next.error().message, "answer to the close");
    const std::string log = read_file(dir / "requests.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2 + c.cancels) << log;
  }
}

TEST(Cancel, AnotherThreadCancelsOnlyWhileAWipeIsInFlight) {
  TempDir dir;
  Client client = cancel_helper(dir, kCancelled);
  EXPECT_FALSE(client.cancel());
  std::promise<void> progressed;
  auto cancelled = std::async(std::launch::async, [&] {
    progressed.get_future().wait();
    return client.cancel();
  });
  auto wiped = client.wipe("/dev/null", WipeMode::Random,
                           [&](const WipeProgress&) { progressed.set_value(); });
  EXPECT_TRUE(cancelled.get());
  ASSERT_FALSE(wiped.has_value());
  EXPECT_EQ(wiped.error().kind, ClientError::Kind::Cancelled);
  EXPECT_FALSE(client.cancel());
  // Nor during another request.
  auto during = std::async(std::launch::async, [&] {
    while (!std::ifstream(dir / "started").good()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool sent = client.cancel();
    tdh_client_test::write_file(dir / "go", "");
    return sent;
  });
  EXPECT_TRUE(client.luks_close("tarnwick_slow").has_value());
  EXPECT_FALSE(during.get());
  const std::string log = read_file(dir / "requests.log");
  EXPECT_EQ(log.find("cancel"), log.rfind("cancel")) << log;
}

}  // namespace
}  // namespace tarnwick::client
