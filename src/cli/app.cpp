// SPDX-License-Identifier: MIT
#include "cli/app.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "cli/drives.hpp"
#include "cli/format.hpp"
#include "cli/io.hpp"
#include "cli/steps.hpp"
#include "client/client.hpp"

namespace tarnwick::cli {

std::string mapper_name_of(const std::string& argument) {
  static const std::string kMapperDir = "/dev/mapper/";
  static const std::string kPrefix = "tarnwick_";
  std::string name =
      argument.starts_with(kMapperDir) ? argument.substr(kMapperDir.size()) : argument;
  return name.starts_with(kPrefix) ? name : kPrefix + name;
}

namespace {

using client::Client;
using client::ClientError;

struct Options {
  bool yes = false;
  std::string helper;
  int passphrase_fd = -1;
};

int exit_status_for(const ClientError& error) {
  switch (error.kind) {
    case ClientError::Kind::Helper:
    case ClientError::Kind::InvalidArgument:
    case ClientError::Kind::Interrupted:  // run_steps answers 128 + the signal
    case ClientError::Kind::Cancelled:    // as does a cancel
      return kExitFailed;
    case ClientError::Kind::StartFailed:
    case ClientError::Kind::AuthorisationRefused:
    case ClientError::Kind::HelperExited:
    case ClientError::Kind::Protocol:
      return kExitNoHelper;
  }
  return kExitFailed;
}

// Asks, once per drive, before it is destroyed: for the drive's kernel name,
// or for how many drives there are when several go together.
class Confirmation {
 public:
  Confirmation(const Options& options, const std::optional<Terminal>& terminal)
      : options_(options), terminal_(terminal) {}

  // 0 when confirmed (or --yes), else the exit status.
  int confirm(const std::vector<std::string>& devices, const std::string& action) {
    const bool one = devices.size() == 1;
    std::vector<std::string> keys;
    std::string named;  // the drives, as given
    for (const auto& device : devices) {
      keys.push_back(kernel_name(device));
      named += (named.empty() ? "" : ", ") + device;
    }
    if (std::ranges::all_of(keys, [&](const auto& key) { return confirmed_.contains(key); })) {
      return kExitOk;
    }
    if (!options_.yes && !terminal_) {
      complain("not going on without confirmation for " + named +
               ": there is no terminal to ask on (give --yes to go ahead without asking)");
      return kExitNotConfirmed;
    }
    if (!listing_) {
      listing_ = list_removable_drives();
    }
    std::string shown;
    for (const auto& device : devices) {
      const DriveInfo* drive = *listing_ ? find_drive(**listing_, device) : nullptr;
      if (drive != nullptr) {
        shown += describe_drive(*drive);
      } else if (!options_.yes) {
        complain(device + " is not a removable drive that lsblk lists" +
                 (*listing_ ? std::string() : " (" + listing_->error() + ")"));
        return kExitFailed;
      }
    }
    if (options_.yes) {
      // The helper judges the drive in any case; show it for the record.
      say(shown);
      confirmed_.insert(keys.begin(), keys.end());
      return kExitOk;
    }
    terminal_->write(shown + "This will " + action + ": everything on " + (one ? "it" : "them") +
                     " will be lost.\n");
    const std::string expected = one ? keys.front() : std::to_string(devices.size());
    auto answer = terminal_->read_line("Type " + expected + " to confirm: ");
    std::string typed = answer.value_or("");
    while (!typed.empty() && (typed.back() == ' ' || typed.back() == '\r')) {
      typed.pop_back();
    }
    typed.erase(0, typed.find_first_not_of(' '));
    if (typed != expected) {
      complain("cancelled: " + (one ? named + " was not confirmed"
                                    : "the " + expected + " drives were not confirmed"));
      return kExitNotConfirmed;
    }
    confirmed_.insert(keys.begin(), keys.end());
    return kExitOk;
  }

 private:
  const Options& options_;
  const std::optional<Terminal>& terminal_;
  std::optional<std::expected<std::vector<DriveInfo>, std::string>> listing_;
  std::set<std::string> confirmed_;
};

// A passphrase for `device`, from the descriptor or the terminal; asked
// twice on a terminal when it is a new one. 0 or the exit status.
int obtain_passphrase(const Options& options, const std::optional<Terminal>& terminal,
                      const std::string& device, bool twice, client::SecretBytes& out) {
  if (options.passphrase_fd >= 0) {
    auto line = read_passphrase_line(options.passphrase_fd);
    if (!line) {
      complain("passphrase for " + device + " from descriptor " +
               std::to_string(options.passphrase_fd) + ": " + line.error());
      return kExitFailed;
    }
    out = std::move(*line);
    return kExitOk;
  }
  if (!terminal) {
    complain("no passphrase for " + device +
             ": there is no terminal to ask on (give --passphrase-fd N)");
    return kExitUsage;
  }
  auto first = terminal->read_hidden("Passphrase for " + device + ": ");
  if (!first) {
    complain("cancelled: no passphrase given");
    return kExitNotConfirmed;
  }
  if (twice) {
    auto again = terminal->read_hidden("Repeat the passphrase: ");
    if (!again || *again != *first) {
      complain("the passphrases do not match");
      return kExitNotConfirmed;
    }
  }
  out = std::move(*first);
  return kExitOk;
}

int list_drives_command() {
  auto drives = list_removable_drives();
  if (!drives) {
    complain("cannot list the drives: " + drives.error());
    return kExitFailed;
  }
  if (drives->empty()) {
    say("No removable drives found.\n");
  }
  for (const auto& drive : *drives) {
    say(describe_drive(drive));
  }
  return kExitOk;
}

// After a signal or a cancel: waits for the helper to end (it closes what it
// opened, or is told to by the end of its input), says what state things are
// in (`cancelled`: the helper's own words of a cancelled wipe), and answers
// 128 + the signal, as a shell would for a command it ended; a cancel counts
// as the Ctrl-C it came from.
int report_interruption(Client& client, const Step* interrupted, const Step* not_run,
                        const std::optional<std::string>& cancelled, bool had_open_mappers) {
  const auto ended = client.finish();
  const int signal = InterruptWatch::signal();
  if (cancelled) {
    if (!cancelled->empty()) {
      complain(*cancelled);
    }
  } else if (interrupted != nullptr) {
    complain(info_of(interrupted->kind).after_interruption(*interrupted));
  } else if (not_run != nullptr) {
    complain("stopped before the " + info_of(not_run->kind).what(*not_run));
  }
  const bool helper_closed = ended || ended.error().kind == ClientError::Kind::Interrupted;
  if (!helper_closed) {
    complain(ended.error().describe());
  } else if (had_open_mappers ||
             (interrupted != nullptr && info_of(interrupted->kind).may_leave_mapping)) {
    complain("the helper closed every mapping it had opened");
  }
  if (!client.helper_stderr().empty()) {
    // Its "could not close" lines, should a close have failed.
    write_text(STDERR_FILENO, client.helper_stderr());
  }
  int by_signal = signal;
  if (by_signal == 0) {
    // The helper alone was signalled (by the system, say); Ctrl-C otherwise.
    by_signal = ended ? SIGINT : ended.error().signal.value_or(SIGINT);
  }
  return 128 + by_signal;
}

// Runs the steps in one session; returns the exit status.
int run_steps(const Options& options, const std::optional<Terminal>& terminal,
              std::vector<Step>& steps) {
  std::vector<std::string> command =
      options.helper.empty() ? Client::default_command() : std::vector<std::string>{options.helper};
  auto client = Client::start(command);
  if (!client) {
    complain(client.error().describe());
    return kExitNoHelper;
  }
  int status = kExitOk;
  bool stderr_shown = false;
  Session session{*client, terminal, {}, false};
  const InterruptWatch interrupts(std::string(::isatty(STDERR_FILENO) != 0 ? "\n" : "") +
                                  "tarnwick-drives: stopping: closing what the helper opened…\n");
  const Step* interrupted = nullptr;  // the step a signal cut short
  const Step* not_run = nullptr;      // the first step a signal or Ctrl-C kept from running
  // What the helper said of a drive whose wipe it cancelled (empty when
  // the step said it already).
  std::optional<std::string> cancelled;
  for (Step& step : steps) {
    if (InterruptWatch::signal() != 0 || session.ctrl_c_typed) {
      not_run = &step;
      break;
    }
    const StepKindInfo& kind = info_of(step.kind);
    StepOutcome outcome = kind.run(session, step);
    client::zeroize(step.passphrase);
    const auto& result = outcome.result;
    if (outcome.counterfeit) {
      // The check's line said it all; nothing after it runs.
      status = kExitFailed;
      break;
    }
    if (!result && result.error().kind == ClientError::Kind::Cancelled) {
      cancelled = outcome.said ? std::string() : step.device + ": " + result.error().message;
      break;
    }
    if (!result &&
        (result.error().kind == ClientError::Kind::Interrupted || InterruptWatch::signal() != 0)) {
      interrupted = &step;
      break;
    }
    if (!result) {
      if (!outcome.said) {
        complain(kind.what(step) + " failed: " + result.error().describe());
      }
      stderr_shown = !result.error().helper_stderr.empty();
      status = exit_status_for(result.error());
      break;
    }
    if (!outcome.done.empty()) {
      say(outcome.done + "\n");
    }
  }
  for (Step& step : steps) {
    client::zeroize(step.passphrase);
  }

  if (interrupted != nullptr || not_run != nullptr || cancelled.has_value() ||
      InterruptWatch::signal() != 0) {
    return report_interruption(*client, interrupted, not_run, cancelled,
                               !session.open_mappers.empty());
  }

  if (status == kExitOk && !session.open_mappers.empty()) {
    // A mapping lives only as long as the session that opened it.
    for (const auto& name : session.open_mappers) {
      say(client::mapped_path(name) + " is open until this command ends.\n");
    }
    if (terminal) {
      terminal->wait_for_key("Press Enter to close it and end.\n");
    } else {
      wait_for_line_or_end(STDIN_FILENO);
    }
  }
  auto ended = client->finish();
  if (!stderr_shown && !client->helper_stderr().empty()) {
    // For example the helper's "could not close" lines.
    write_text(STDERR_FILENO, client->helper_stderr());
  }
  if (!ended && status == kExitOk) {
    complain(ended.error().message);
    status = kExitNoHelper;
  }
  return status;
}

}  // namespace

int run(int argc, char** argv) {
  CLI::App app{"Wipe, encrypt and format removable drives through tarnwick-drives-helper.",
               "tarnwick-drives"};
  app.footer(
      "Several commands may follow one another on one command line; they run in that order in\n"
      "one helper session, which stops at the first failure. A mapping opened by `open` lives\n"
      "only as long as that session, so `mkfs` and `close` act on mappings opened on the same\n"
      "command line. See tarnwick-drives(1).");
  app.require_subcommand(1, 0);
  app.fallthrough();

  Options options;
  app.add_flag("-y,--yes", options.yes, "Do not ask before destroying data");
  app.add_option("--helper", options.helper,
                 std::string("Start this helper directly instead of through pkexec (also ") +
                     kHelperVariable + ")");
  app.add_option("--passphrase-fd", options.passphrase_fd,
                 "Read each passphrase as one line from this descriptor")
      ->check(CLI::NonNegativeNumber);

  // Each command may appear more than once; its callback runs as soon as one
  // occurrence is parsed, takes the values and sets them back for the next.
  bool list = false;
  std::vector<Step> steps;
  auto* drives = app.add_subcommand("drives", "List the removable drives");
  drives->immediate_callback();
  drives->callback([&] { list = true; });

  StepArguments arguments;
  for (const StepKindInfo& kind : step_kinds()) {
    if (kind.command == nullptr) {
      continue;
    }
    auto* command = app.add_subcommand(kind.command, kind.description);
    kind.declare(*command, arguments);
    command->immediate_callback();
    command->callback(
        [&, step_kind = kind.kind] { steps.push_back(take_step(step_kind, arguments)); });
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }

  if (options.helper.empty()) {
    // The command runs on one thread and never changes its environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (const char* variable = std::getenv(kHelperVariable); variable != nullptr) {
      options.helper = variable;
    }
  }
  if (options.passphrase_fd >= 0 && ::fcntl(options.passphrase_fd, F_GETFD) < 0) {
    complain("--passphrase-fd: descriptor " + std::to_string(options.passphrase_fd) +
             " is not open");
    return kExitUsage;
  }

  if (list) {
    if (int status = list_drives_command(); status != kExitOk || steps.empty()) {
      return status;
    }
  }

  for (const Step& step : steps) {
    if (const std::string error = info_of(step.kind).usage_error(step); !error.empty()) {
      complain(error);
      return kExitUsage;
    }
  }

  // Everything that needs the person happens before the helper starts
  // (pkexec may ask for a password of its own).
  const std::optional<Terminal> terminal = Terminal::open();
  Confirmation confirmation(options, terminal);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::span<const Step> earlier(steps.data(), i);
    for (const ToConfirm& drive : info_of(steps[i].kind).to_confirm(steps[i], earlier)) {
      if (const int status = confirmation.confirm(drive.devices, drive.action); status != kExitOk) {
        return status;
      }
    }
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Step& step = steps[i];
    const PassphraseUse use = info_of(step.kind).passphrase;
    if (use == PassphraseUse::None) {
      continue;
    }
    // A container formatted earlier on the same line opens with the same
    // passphrase; asking again would only invite a typing mistake.
    bool reused = false;
    if (use == PassphraseUse::Existing) {
      for (std::size_t j = 0; j < i && !reused; ++j) {
        if (info_of(steps[j].kind).passphrase == PassphraseUse::New &&
            kernel_name(steps[j].device) == kernel_name(step.device)) {
          step.passphrase.reserve(steps[j].passphrase.size());
          step.passphrase.assign(steps[j].passphrase.begin(), steps[j].passphrase.end());
          reused = true;
        }
      }
    }
    if (!reused) {
      if (int status = obtain_passphrase(options, terminal, step.device, use == PassphraseUse::New,
                                         step.passphrase);
          status != kExitOk) {
        return status;
      }
    }
  }
  return run_steps(options, terminal, steps);
}

}  // namespace tarnwick::cli
