// SPDX-License-Identifier: MIT
#include "stop/stop.hpp"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarnwick::stop {
namespace {

constexpr int kNotStopped = 0;
constexpr int kCancelled = -1;

sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

bool add_to_epoll(int epoll_fd, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

std::string StopReason::text() const {
  if (kind == Kind::Cancelled) {
    return "cancelled";
  }
  switch (signal_number) {
    case SIGINT:
      return "interrupted by SIGINT";
    case SIGTERM:
      return "interrupted by SIGTERM";
    case SIGHUP:
      return "interrupted by SIGHUP";
    default:
      return "interrupted by signal " + std::to_string(signal_number);
  }
}

StopSource::StopSource() {
  system::FileDescriptor event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  system::FileDescriptor signal_event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  system::FileDescriptor epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!event.is_open() || !signal_event.is_open() || !epoll.is_open() ||
      !add_to_epoll(epoll.get(), event.get())) {
    return;
  }
  event_fd_ = std::move(event);
  signal_event_fd_ = std::move(signal_event);
  poll_fd_ = std::move(epoll);
}

StopSource::StopSource(StopSource& signals) : StopSource() {
  signal_parent_ = &signals;
  if (!valid()) {
    return;
  }
  // The parent's signalfd wakes this source for a signal nobody has read
  // yet; its signal event for one another thread already took.
  const bool linked =
      signals.valid() && add_to_epoll(poll_fd_.get(), signals.signal_event_fd_.get()) &&
      (!signals.signal_fd_.is_open() || add_to_epoll(poll_fd_.get(), signals.signal_fd_.get()));
  if (!linked) {
    poll_fd_.reset();
  }
}

int StopSource::watch_signals() {
  if (!valid()) {
    return EBADF;
  }
  const sigset_t set = watched_signals();
  if (const int failed = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); failed != 0) {
    return failed;
  }
  system::FileDescriptor signals(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals.is_open() || !add_to_epoll(poll_fd_.get(), signals.get())) {
    const int error = errno;
    (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return error;
  }
  signal_fd_ = std::move(signals);
  return 0;
}

void StopSource::take_pending_signal() {
  if (!signal_fd_.is_open()) {
    return;
  }
  signalfd_siginfo info{};
  // Several threads may race here; whoever reads the signal records it, the
  // others see the state it leaves.
  while (::read(signal_fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    request(StopReason::signal(static_cast<int>(info.ssi_signo)));
  }
}

int StopSource::parent_signal() const {
  if (signal_parent_ == nullptr) {
    return kNotStopped;
  }
  const int state = signal_parent_->state_.load(std::memory_order_acquire);
  return state > 0 ? state : kNotStopped;
}

bool StopSource::requested() {
  take_pending_signal();
  if (signal_parent_ != nullptr) {
    signal_parent_->take_pending_signal();
    if (const int signal = parent_signal(); signal != kNotStopped) {
      request(StopReason::signal(signal));
    }
  }
  return state_.load(std::memory_order_acquire) != kNotStopped;
}

std::optional<StopReason> StopSource::reason() const {
  // A signal outranks a cancel, whichever source recorded it.
  if (const int signal = parent_signal(); signal != kNotStopped) {
    return StopReason::signal(signal);
  }
  const int state = state_.load(std::memory_order_acquire);
  if (state == kNotStopped) {
    return std::nullopt;
  }
  return state == kCancelled ? StopReason::cancelled() : StopReason::signal(state);
}

void StopSource::request(StopReason reason) {
  const int wanted = reason.is_signal() ? reason.signal_number : kCancelled;
  int current = state_.load(std::memory_order_acquire);
  // The first signal wins; a signal outranks a cancel, which only ends one operation.
  while (current == kNotStopped || (current == kCancelled && wanted != kCancelled)) {
    if (state_.compare_exchange_weak(current, wanted, std::memory_order_acq_rel)) {
      break;
    }
  }
  const std::uint64_t one = 1;
  if (event_fd_.is_open()) {
    [[maybe_unused]] const ssize_t ignored = ::write(event_fd_.get(), &one, sizeof one);
  }
  if (reason.is_signal() && signal_event_fd_.is_open()) {
    [[maybe_unused]] const ssize_t ignored = ::write(signal_event_fd_.get(), &one, sizeof one);
  }
}

void StopSource::listen_for_cancel(CancelListener* listener) {
  listening_thread_.store(std::this_thread::get_id(), std::memory_order_release);
  listener_.store(listener, std::memory_order_release);
}

CancelListener* StopSource::cancel_listener() const {
  CancelListener* const listener = listener_.load(std::memory_order_acquire);
  if (listener == nullptr ||
      listening_thread_.load(std::memory_order_acquire) != std::this_thread::get_id()) {
    return nullptr;
  }
  return listener;
}

void StopSource::reset() {
  int expected = kCancelled;
  if (!state_.compare_exchange_strong(expected, kNotStopped, std::memory_order_acq_rel)) {
    return;
  }
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t drained = ::read(event_fd_.get(), &count, sizeof count);
  // A signal that came in meanwhile may have lost its wake-up to that read.
  if (state_.load(std::memory_order_acquire) != kNotStopped) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(event_fd_.get(), &one, sizeof one);
  }
}

}  // namespace tarnwick::stop
