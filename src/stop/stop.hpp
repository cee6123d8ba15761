// SPDX-License-Identifier: MIT
// The session's one way of stopping work it has started: a terminating signal
// (SIGINT, SIGTERM, SIGHUP) or a client's cancel. Nothing runs in a signal
// handler; every blocking wait polls fd() next to what it waits for.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "system/system.hpp"

namespace tarnwick::stop {

// Why work was stopped. A signal ends the session; a cancel ends one operation.
struct StopReason {
  enum class Kind { Signal, Cancelled };
  Kind kind = Kind::Cancelled;
  int signal_number = 0;  // the signal, when kind is Signal

  static StopReason signal(int number) { return {Kind::Signal, number}; }
  static StopReason cancelled() { return {Kind::Cancelled, 0}; }
  bool is_signal() const { return kind == Kind::Signal; }
  // "interrupted by SIGTERM", "cancelled".
  std::string text() const;
  bool operator==(const StopReason&) const = default;
};

// Where a client's cancel may arrive while an operation runs: the session's
// input. The waits that pace an operation on the listening thread (the
// fill's pause, the runner's loop) poll fd() beside the stop and call
// on_ready() when it is readable.
class CancelListener {
 public:
  // The descriptor to watch; -1 while nothing should be read.
  virtual int fd() const = 0;
  // Takes what arrived; a cancel among it calls StopSource::request().
  virtual void on_ready() = 0;

 protected:
  ~CancelListener() = default;
};

// Thread-safe: any thread may poll fd(), ask requested() and call request().
// The first reason wins until reset().
class StopSource {
 public:
  StopSource();
  // A source for one of several operations running side by side: its own
  // request() (a cancel of that operation) stops it alone, while a signal
  // that `signals` receives stops it too. A cancel of `signals` does not.
  // `signals` must outlive it.
  explicit StopSource(StopSource& signals);
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;
  ~StopSource() = default;

  // False when the kernel refused the descriptors; such a source cannot stop anything.
  bool valid() const { return poll_fd_.is_open(); }

  // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and receives them
  // through a signalfd instead. Call it before any other thread exists, so that
  // every thread inherits the mask and only the descriptor sees the signals.
  // The error is an errno value.
  int watch_signals();

  // Readable once a stop was requested or a watched signal is pending; stays
  // readable until reset().
  int fd() const { return poll_fd_.get(); }

  // True once stopped; takes a pending watched signal as the reason first.
  bool requested();
  // The reason, when stopped.
  std::optional<StopReason> reason() const;

  void request(StopReason reason);

  // Makes `listener` heard by the waits of the calling thread alone (other
  // threads must not read the session's input); nullptr ends it. Set and
  // ended while no other thread runs an operation of the session.
  void listen_for_cancel(CancelListener* listener);
  // The listener, when asked on the thread that set it; nullptr elsewhere.
  CancelListener* cancel_listener() const;

  // Forgets a cancel so the session goes on; a signal is never forgotten.
  // Call it once the cancelled operation has ended (no other thread waits on
  // the source then): until then every wait treats the source as stopped.
  void reset();

 private:
  void take_pending_signal();

  // The signal this source or its signal parent has recorded, if any.
  int parent_signal() const;

  system::FileDescriptor event_fd_;
  system::FileDescriptor signal_fd_;
  // Written once a signal is recorded and never drained (a signal is never
  // forgotten), so every linked source stays woken, whoever read the signal.
  system::FileDescriptor signal_event_fd_;
  StopSource* signal_parent_ = nullptr;
  system::FileDescriptor poll_fd_;  // epoll over both, so waiters watch one descriptor
  // 0: not stopped; -1: cancelled; otherwise the signal number.
  std::atomic<int> state_{0};
  std::atomic<CancelListener*> listener_{nullptr};
  std::atomic<std::thread::id> listening_thread_;
};

}  // namespace tarnwick::stop
