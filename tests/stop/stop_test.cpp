// SPDX-License-Identifier: MIT
#include "stop/stop.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <thread>
#include <vector>

namespace tarnwick::stop {
namespace {

bool readable(const StopSource& stop) {
  pollfd watched{stop.fd(), POLLIN, 0};
  return ::poll(&watched, 1, 0) == 1;
}

TEST(StopSource, TheFirstSignalWinsAndOnlyACancelIsForgotten) {
  struct Case {
    const char* name;
    std::vector<StopReason> requests;
    bool reset;
    std::optional<StopReason> reason;
  };
  const Case cases[] = {
      {"nothing", {}, false, std::nullopt},
      {"cancel", {StopReason::cancelled()}, false, StopReason::cancelled()},
      {"cancel then reset", {StopReason::cancelled()}, true, std::nullopt},
      {"signal outranks a cancel",
       {StopReason::cancelled(), StopReason::signal(SIGTERM)},
       true,
       StopReason::signal(SIGTERM)},
      {"first signal stays",
       {StopReason::signal(SIGINT), StopReason::signal(SIGHUP), StopReason::cancelled()},
       true,
       StopReason::signal(SIGINT)},
  };
  for (const Case& c : cases) {
    StopSource stop;
    ASSERT_TRUE(stop.valid());
    for (const StopReason& reason : c.requests) {
      stop.request(reason);
    }
    if (c.reset) {
      stop.reset();
    }
    EXPECT_EQ(stop.reason(), c.reason) << c.name;
    EXPECT_EQ(stop.requested(), c.reason.has_value()) << c.name;
    EXPECT_EQ(readable(stop), c.reason.has_value()) << c.name;
  }
}

// Only the thread that reads the session's input may hear a cancel: a
// worker thread reading it would race the request loop.
TEST(StopSource, TheCancelListenerIsHeardOnItsOwnThreadOnly) {
  struct Listener final : CancelListener {
    int fd() const override { return 0; }
    void on_ready() override {}
  } listener;
  StopSource stop;
  stop.listen_for_cancel(&listener);
  EXPECT_EQ(stop.cancel_listener(), &listener);
  CancelListener* seen_elsewhere = &listener;
  std::thread([&] { seen_elsewhere = stop.cancel_listener(); }).join();
  EXPECT_EQ(seen_elsewhere, nullptr);
  stop.listen_for_cancel(nullptr);
  EXPECT_EQ(stop.cancel_listener(), nullptr);
}

// Wipes side by side: each one's cancel stops it alone, the session's
// cancel (of the wipe that holds it) none of them, a signal every one, even
// after another thread has read the signal from the descriptor.
TEST(StopSource, ALinkedSourceHearsTheSessionsSignalsButNotItsCancels) {
  StopSource session;
  ASSERT_EQ(session.watch_signals(), 0);
  StopSource first(session);
  StopSource second(session);
  ASSERT_TRUE(first.valid() && second.valid());

  first.request(StopReason::cancelled());
  EXPECT_TRUE(first.requested());
  EXPECT_FALSE(second.requested() || readable(second) || session.requested());

  session.request(StopReason::cancelled());
  EXPECT_FALSE(second.requested() || readable(second));
  session.reset();

  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  EXPECT_TRUE(readable(second));
  std::thread([&] { EXPECT_TRUE(first.requested()); }).join();  // takes the signal
  for (StopSource* source : {&first, &second, &session}) {
    EXPECT_TRUE(readable(*source));
    EXPECT_TRUE(source->requested());
    EXPECT_EQ(source->reason(), StopReason::signal(SIGTERM));
  }

  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGTERM);
  sigaddset(&watched, SIGHUP);
  ::pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
}

TEST(StopSource, ReasonTexts) {
  EXPECT_EQ(StopReason::cancelled().text(), "cancelled");
  EXPECT_EQ(StopReason::signal(SIGINT).text(), "interrupted by SIGINT");
  EXPECT_EQ(StopReason::signal(SIGTERM).text(), "interrupted by SIGTERM");
  EXPECT_EQ(StopReason::signal(SIGHUP).text(), "interrupted by SIGHUP");
}

TEST(StopSource, AWatchedSignalBecomesTheReasonInsteadOfEndingTheProcess) {
  StopSource stop;
  ASSERT_EQ(stop.watch_signals(), 0);
  EXPECT_FALSE(readable(stop));
  ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
  EXPECT_TRUE(readable(stop));
  EXPECT_TRUE(stop.requested());
  EXPECT_EQ(stop.reason(), StopReason::signal(SIGHUP));
  stop.reset();
  EXPECT_TRUE(readable(stop)) << "a signal is never forgotten";

  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGTERM);
  sigaddset(&watched, SIGHUP);
  ::pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
}

}  // namespace
}  // namespace tarnwick::stop
