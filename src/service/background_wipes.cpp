// SPDX-License-Identifier: MIT
#include "service/background_wipes.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "wipe/wipe.hpp"

namespace tarnwick::service {
namespace {

constexpr std::string_view kIdRunning = "a wipe with this id is already running";
constexpr std::string_view kNoSuchId = "no wipe with this id is running";
constexpr std::string_view kCannotRunBeside = "wipes in the background are not available";

std::string too_many_text() {
  return "too many wipes at once: at most " + std::to_string(kMaxBackgroundWipes) +
         " run in one session";
}

Response with_id(Response response, const std::string& id) {
  response.id = id;
  return response;
}

}  // namespace

// One wipe in the background. Its stop source hears the session's signals
// but not the session's cancels, and its own cancel reaches it alone.
struct BackgroundWipes::Job {
  explicit Job(std::string wipe_id, stop::StopSource* session_stop)
      : id(std::move(wipe_id)),
        stop(session_stop != nullptr ? std::make_unique<stop::StopSource>(*session_stop)
                                     : std::make_unique<stop::StopSource>()) {}

  std::string id;
  std::unique_ptr<stop::StopSource> stop;
  std::unique_ptr<runner::ToolRunner> runner;
  std::thread thread;
  // Set, under the registry's mutex, once the final answer is out: from then
  // on the id is free again.
  bool ended = false;
};

BackgroundWipes::BackgroundWipes(Session& session, int output_fd)
    : session_(session), output_fd_(output_fd) {}

BackgroundWipes::~BackgroundWipes() { wait_all(); }

void BackgroundWipes::start(std::string id, Request::Wipe request) {
  std::lock_guard lock(mutex_);
  reap_ended();
  const auto same_id = [&](const auto& job) { return job->id == id; };
  if (std::any_of(jobs_.begin(), jobs_.end(), same_id)) {
    write_response(output_fd_, with_id(Response{Response::Error{std::string(kIdRunning)}}, id));
    return;
  }
  if (jobs_.size() >= kMaxBackgroundWipes) {
    write_response(output_fd_, with_id(Response{Response::Error{too_many_text()}}, id));
    return;
  }
  auto job = std::make_unique<Job>(id, session_.stop);
  job->runner = session_.runner.obeying(job->stop.get());
  if (!job->stop->valid() || !job->runner) {
    write_response(output_fd_,
                   with_id(Response{Response::Error{std::string(kCannotRunBeside)}}, id));
    return;
  }
  Job& started = *job;
  jobs_.push_back(std::move(job));
  // Blocked signals are inherited: only the session's signalfd sees them.
  started.thread = std::thread([this, &started, wipe = std::move(request)] { run(started, wipe); });
}

void BackgroundWipes::run(Job& job, const Request::Wipe& request) {
  const guard::GuardContext guard{session_.drives, session_.paths};
  const int output = output_fd_;
  const std::string& id = job.id;
  const wipe::ProgressCallback progress = [output, &id](std::uint64_t copied) {
    write_response(output, with_id(Response{Response::Progress{copied, 0}}, id));
  };
  const wipe::Verification verification{
      request.verify, [output, &id](std::uint64_t copied, std::uint64_t verified) {
        write_response(output, with_id(Response{Response::Progress{copied, 0, verified}}, id));
      }};
  auto outcome = wipe::handle_wipe(*job.runner, guard, request.device, request.mode, progress,
                                   verification, wipe::TemporaryMappingName::PerDrive);
  Response answer =
      outcome ? Response{Response::Ok{}} : Response{Response::Error{std::move(outcome.error())}};
  std::lock_guard lock(mutex_);
  write_response(output, with_id(std::move(answer), id));
  job.ended = true;
}

Response BackgroundWipes::cancel(std::string_view id) {
  std::lock_guard lock(mutex_);
  reap_ended();
  const auto running =
      std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& job) { return job->id == id; });
  if (running == jobs_.end()) {
    return Response{Response::Error{std::string(kNoSuchId)}};
  }
  (*running)->stop->request(stop::StopReason::cancelled());
  return Response{Response::Ok{}};
}

void BackgroundWipes::wait_all() {
  std::list<std::unique_ptr<Job>> jobs;
  {
    std::lock_guard lock(mutex_);
    jobs.swap(jobs_);
  }
  for (const auto& job : jobs) {
    job->thread.join();
  }
}

void BackgroundWipes::reap_ended() {
  for (auto job = jobs_.begin(); job != jobs_.end();) {
    if ((*job)->ended) {
      // Its thread has nothing left to do but return.
      (*job)->thread.join();
      job = jobs_.erase(job);
    } else {
      ++job;
    }
  }
}

}  // namespace tarnwick::service
