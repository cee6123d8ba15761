// SPDX-License-Identifier: MIT
// Wipes that run in the background of a session, one thread each, while the
// session goes on serving requests: started by a "wipe" with an "id",
// cancelled by a cancel naming it, waited for when the session ends.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "service/service.hpp"

namespace tarnwick::service {

class BackgroundWipes {
 public:
  BackgroundWipes(Session& session, int output_fd);
  // Waits for every wipe still running.
  ~BackgroundWipes();
  BackgroundWipes(const BackgroundWipes&) = delete;
  BackgroundWipes& operator=(const BackgroundWipes&) = delete;

  // Starts the wipe under `id` (a valid one), or answers with the id why not.
  void start(std::string id, Request::Wipe request);
  // The answer to a cancel naming `id`: ok once that wipe was asked to stop.
  Response cancel(std::string_view id);
  // Returns once every wipe has ended and answered.
  void wait_all();

 private:
  struct Job;
  void run(Job& job, const Request::Wipe& request);
  // Joins the wipes that have answered; called with mutex_ held.
  void reap_ended();

  Session& session_;
  int output_fd_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Job>> jobs_;
};

}  // namespace tarnwick::service
