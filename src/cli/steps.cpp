// SPDX-License-Identifier: MIT
#include "cli/steps.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/app.hpp"
#include "cli/drives.hpp"
#include "cli/format.hpp"

namespace tarnwick::cli {

using client::ClientError;

ReportFile::ReportFile(ReportFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

ReportFile& ReportFile::operator=(ReportFile&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

std::string ReportFile::open() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd_ >= 0 ? std::string()
                  : std::string(std::strerror(errno));  // NOLINT(concurrency-mt-unsafe)
}

bool ReportFile::write(std::string_view text) const { return fd_ >= 0 && write_text(fd_, text); }

void ReportFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ClientError command_error(std::string message) {
  ClientError error;
  error.kind = ClientError::Kind::InvalidArgument;
  error.message = std::move(message);
  return error;
}

namespace {

// Runs the capacity check and prints its line. A genuine drive whose probe
// still failed (a block it could not restore) is an error; a counterfeit is
// a result, left to the caller.
std::expected<client::CapacityCheck, ClientError> checked_capacity(client::Client& client,
                                                                   const std::string& device) {
  auto check = client.probe(device);
  if (!check) {
    return check;
  }
  say(check_line(device, *check) + "\n");
  if (check->genuine && !check->helper_error.empty()) {
    ClientError error;
    error.message = check->helper_error;
    return std::unexpected(std::move(error));
  }
  return check;
}

StepOutcome run_wipe(Session& session, Step& step) {
  StepOutcome outcome;
  if (step.report.wanted()) {
    if (const std::string why = step.report.open(); !why.empty()) {
      outcome.result = std::unexpected(command_error(
          "cannot write the report to " + step.report.path() + ": " + why + "; nothing was wiped"));
      return outcome;
    }
  }
  ProgressPrinter printer(STDOUT_FILENO, ::isatty(STDOUT_FILENO) != 0);
  client::WipeReport report;
  const client::WipeOptions wipe_options{step.verify, step.report.wanted() ? &report : nullptr};
  {
    // The first Ctrl-C on a terminal asks the helper to stop the wipe and
    // keeps the session, rather than being a signal that ends it.
    CancelKey cancel_key(session.terminal);
    outcome.result = session.client.wipe(
        step.device, step.mode, wipe_options, [&](const client::WipeProgress& p) {
          printer.update(p);
          cancel_key.watch();
          if (cancel_key.pressed()) {
            session.ctrl_c_typed = true;
            if (session.client.cancel()) {
              printer.finish();  // the notice gets a line of its own
              write_text(STDERR_FILENO, "tarnwick-drives: cancelling the wipe…\n");
            }
          }
        });
    // One typed after the last progress came too late to cancel, but still
    // stops what follows.
    session.ctrl_c_typed = cancel_key.pressed() || session.ctrl_c_typed;
  }
  printer.finish();
  outcome.done =
      "wiped " + step.device + " (mode " + std::string(client::to_string(step.mode)) + ")";
  if (auto last = printer.last()) {
    outcome.done += ": " + format_bytes(last->written) + " written";
    if (step.verify && outcome.result) {
      outcome.done += " and read back";
    }
    outcome.done +=
        " in " + format_duration(std::chrono::duration_cast<std::chrono::seconds>(last->elapsed));
  }
  // Written whatever the outcome: a failed wipe is worth a record too.
  if (step.report.wanted()) {
    const bool written = step.report.write(report.to_json());
    step.report.close();
    if (!written && outcome.result) {
      outcome.result = std::unexpected(
          command_error("the report could not be written to " + step.report.path()));
    } else if (!written) {
      complain("the report could not be written to " + step.report.path());
    } else {
      outcome.done += "\nreport written to " + step.report.path();
      if (!outcome.result) {
        complain("the report of the failed wipe is in " + step.report.path());
      }
    }
  }
  return outcome;
}

StepOutcome run_check(Session& session, Step& step) {
  StepOutcome outcome;
  auto check = checked_capacity(session.client, step.device);
  if (!check) {
    outcome.result = std::unexpected(std::move(check.error()));
  } else if (!check->genuine) {
    outcome.counterfeit = true;
  }
  return outcome;
}

StepOutcome run_encrypt(Session& session, Step& step) {
  StepOutcome outcome;
  if (step.check) {
    // A counterfeit drive would take the container and lose what is stored
    // in it once its real size is passed.
    auto check = checked_capacity(session.client, step.device);
    if (!check) {
      outcome.result = std::unexpected(std::move(check.error()));
      return outcome;
    }
    if (!check->genuine) {
      outcome.result = std::unexpected(
          command_error("refusing to encrypt a drive that does not store what it claims "
                        "(--no-check skips the check)"));
      return outcome;
    }
  }
  outcome.result = session.client.luks_format(step.device, step.label,
                                              client::passphrase_bytes(step.passphrase));
  outcome.done = "formatted " + step.device + " as a LUKS2 container" +
                 (step.label.empty() ? "" : " labelled " + step.label);
  return outcome;
}

StepOutcome run_open(Session& session, Step& step) {
  StepOutcome outcome;
  outcome.result = session.client.luks_open(
      step.device, step.mapper, client::passphrase_bytes(step.passphrase), step.allow_discards);
  outcome.done = "opened " + step.device + " as " + client::mapped_path(step.mapper);
  if (outcome.result) {
    session.open_mappers.insert(step.mapper);
  }
  return outcome;
}

StepOutcome run_mkfs(Session& session, Step& step) {
  StepOutcome outcome;
  outcome.result = session.client.mkfs(client::mapped_path(step.mapper), step.fs, step.label);
  outcome.done = "made an " + std::string(client::to_string(step.fs)) + " filesystem on " +
                 client::mapped_path(step.mapper) +
                 (step.label.empty() ? "" : " labelled " + step.label);
  return outcome;
}

StepOutcome run_close(Session& session, Step& step) {
  StepOutcome outcome;
  outcome.result = session.client.luks_close(step.mapper);
  outcome.done = "closed " + client::mapped_path(step.mapper);
  if (outcome.result) {
    session.open_mappers.erase(step.mapper);
  }
  return outcome;
}

std::string wipe_usage_error(const Step& step) {
  // Refused by the helper too, but only after the person confirmed.
  if (step.verify && step.mode != client::WipeMode::EncryptedZero) {
    return "--verify: verification is only available for mode encrypted-zero";
  }
  if (step.devices.size() > kMostDrivesAtOnce) {
    return "wipe: at most " + std::to_string(kMostDrivesAtOnce) + " drives are wiped at once";
  }
  std::set<std::string> seen;
  for (const auto& device : step.devices) {
    // One drive twice would be two wipes fighting over it.
    if (!seen.insert(kernel_name(device)).second) {
      return "wipe: " + device + " is named twice";
    }
  }
  return {};
}

// The drives' results, in the order given: at most one word each.
std::string result_word(const std::expected<void, ClientError>& result) {
  if (result) {
    return "ok";
  }
  switch (result.error().kind) {
    case ClientError::Kind::Cancelled:
      return "cancelled";
    case ClientError::Kind::Interrupted:
      return "interrupted";
    default:
      return "failed";
  }
}

// Which failure stands for the whole step: a signal over a cancel over the
// first failure, so that the session ends as it would for one wipe.
const ClientError* deciding_error(const std::vector<std::expected<void, ClientError>>& results) {
  const ClientError* first = nullptr;
  const ClientError* cancelled = nullptr;
  for (const auto& result : results) {
    if (result) {
      continue;
    }
    if (result.error().kind == ClientError::Kind::Interrupted) {
      return &result.error();
    }
    if (result.error().kind == ClientError::Kind::Cancelled && cancelled == nullptr) {
      cancelled = &result.error();
    }
    if (first == nullptr) {
      first = &result.error();
    }
  }
  return cancelled != nullptr ? cancelled : first;
}

StepOutcome run_wipe_many(Session& session, Step& step) {
  StepOutcome outcome;
  const std::size_t count = step.devices.size();
  std::vector<ReportFile> reports;
  if (!step.report_directory.empty()) {
    // Every file is made before anything is wiped, as for one drive.
    for (const auto& device : step.devices) {
      reports.emplace_back(report_path_in(step.report_directory, device));
      if (const std::string why = reports.back().open(); !why.empty()) {
        outcome.result =
            std::unexpected(command_error("cannot write the report to " + reports.back().path() +
                                          ": " + why + "; nothing was wiped"));
        return outcome;
      }
    }
  }
  std::vector<client::WipeReport> records(count);
  std::vector<client::WipeJob> jobs;
  jobs.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    jobs.push_back({step.devices[i], step.mode,
                    client::WipeOptions{step.verify, reports.empty() ? nullptr : &records[i]}});
  }
  MultiProgressPrinter printer(STDOUT_FILENO, ::isatty(STDOUT_FILENO) != 0, step.devices);
  std::vector<std::expected<void, ClientError>> results;
  {
    // The first Ctrl-C on a terminal cancels every wipe, as for one.
    CancelKey cancel_key(session.terminal);
    results = session.client.wipe_many(jobs, [&](std::size_t index, const client::WipeProgress& p) {
      printer.update(index, p);
      cancel_key.watch();
      if (cancel_key.pressed()) {
        session.ctrl_c_typed = true;
        if (session.client.cancel()) {
          printer.finish();
          write_text(STDERR_FILENO, "tarnwick-drives: cancelling the wipes…\n");
        }
      }
    });
    session.ctrl_c_typed = cancel_key.pressed() || session.ctrl_c_typed;
  }
  printer.finish();

  std::vector<WipeSummaryRow> rows;
  for (std::size_t i = 0; i < count; ++i) {
    const auto& result = results.at(i);
    rows.push_back({step.devices[i], result_word(result), printer.last(i)});
    if (!result && result.error().kind == ClientError::Kind::Cancelled) {
      complain(step.devices[i] + ": " + result.error().message);
    } else if (!result && result.error().kind == ClientError::Kind::Interrupted) {
      step.unfinished.push_back(step.devices[i]);
    } else if (!result) {
      complain("wipe of " + step.devices[i] + " failed: " + result.error().describe());
    }
  }
  say(wipe_summary(rows));
  bool reports_written = !reports.empty();
  for (std::size_t i = 0; i < reports.size(); ++i) {
    // Written whatever the outcome: a failed wipe is worth a record too.
    if (!reports[i].write(records[i].to_json())) {
      complain("the report could not be written to " + reports[i].path());
      reports_written = false;
    }
    reports[i].close();
  }
  if (reports_written) {
    say("reports written to " + step.report_directory + "\n");
  }
  if (const ClientError* error = deciding_error(results)) {
    outcome.result = std::unexpected(*error);
    outcome.said = true;
  } else if (!reports.empty() && !reports_written) {
    outcome.result = std::unexpected(command_error("not every report could be written"));
    outcome.said = true;
  }
  return outcome;
}

std::string join(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) {
    text += (text.empty() ? "" : ", ") + word;
  }
  return text;
}

void declare_device(CLI::App& command, StepArguments& arguments, const char* help) {
  command.add_option("DEVICE", arguments.device, help)->required();
}

std::vector<ToConfirm> confirm_nothing(const Step& /*step*/, std::span<const Step> /*earlier*/) {
  return {};
}

std::string no_usage_error(const Step& /*step*/) { return {}; }

void take_nothing(StepArguments& /*arguments*/, Step& /*step*/) {}

bool is_command_name(const std::string& word);

constexpr StepKindInfo kStepKinds[] = {
    {
        .kind = StepKind::Wipe,
        .command = "wipe",
        .description = "Destroy the contents of a whole drive",
        .passphrase = PassphraseUse::None,
        .may_leave_mapping = false,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              // Several drives, up to the next command: a command's name is
              // never taken for a drive.
              command.validate_positionals();
              command
                  .add_option("DEVICE", arguments.devices,
                              "The drive, e.g. /dev/sdb, or several drives to wipe at once")
                  ->required()
                  ->check(CLI::Validator(
                      [](const std::string& word) {
                        return std::string(is_command_name(word) ? "a command" : "");
                      },
                      ""));
              command.add_option("--mode", arguments.wipe_mode, "How to wipe it")
                  ->required()
                  ->check(CLI::IsMember({"random", "encrypted-zero", "secure-discard", "none"}));
              command.add_flag(
                  "--verify", arguments.verify,
                  "Read the drive back afterwards and check it (mode encrypted-zero only)");
              command.add_option(
                  "--report", arguments.report_path,
                  "Write a JSON report of the wipe to this file, also when it fails (several "
                  "drives: one report per drive in this directory)");
            },
        .take =
            [](StepArguments& arguments, Step& step) {
              step.mode = *client::parse_wipe_mode(std::exchange(arguments.wipe_mode, {}));
              step.verify = std::exchange(arguments.verify, false);
              auto devices = std::exchange(arguments.devices, {});
              if (devices.size() == 1) {
                step.device = devices.front();
                step.report = ReportFile(std::exchange(arguments.report_path, {}));
              } else {
                step.kind = StepKind::WipeMany;
                step.devices = std::move(devices);
                step.report_directory = std::exchange(arguments.report_path, {});
              }
            },
        .usage_error = wipe_usage_error,
        .to_confirm = [](const Step& step,
                         std::span<const Step> /*earlier*/) -> std::vector<ToConfirm> {
          return {
              {{step.device}, "wipe it (mode " + std::string(client::to_string(step.mode)) + ")"}};
        },
        .what = [](const Step& step) { return "wipe of " + step.device; },
        .after_interruption =
            [](const Step& step) {
              return "the wipe of " + step.device +
                     " was interrupted: the drive is only partly wiped";
            },
        .run = run_wipe,
    },
    {
        .kind = StepKind::Encrypt,
        .command = "encrypt",
        .description = "Format a whole drive as a LUKS2 container",
        .passphrase = PassphraseUse::New,
        .may_leave_mapping = false,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              declare_device(command, arguments, "The drive");
              command.add_option("--label", arguments.label, "Label of the container");
              command.add_flag("--no-check", arguments.no_check,
                               "Do not check first that the drive stores what it claims");
            },
        .take = [](StepArguments& arguments,
                   Step& step) { step.check = !std::exchange(arguments.no_check, false); },
        .usage_error = no_usage_error,
        .to_confirm = [](const Step& step,
                         std::span<const Step> /*earlier*/) -> std::vector<ToConfirm> {
          return {{{step.device}, "format it as a LUKS2 container"}};
        },
        .what = [](const Step& step) { return "encrypting " + step.device; },
        .after_interruption =
            [](const Step& step) {
              return "encrypting " + step.device +
                     " was interrupted: the drive may hold an incomplete container";
            },
        .run = run_encrypt,
    },
    {
        .kind = StepKind::Check,
        .command = "check",
        .description = "Check that a drive stores data across the whole size it claims",
        .passphrase = PassphraseUse::None,
        .may_leave_mapping = false,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              declare_device(command, arguments, "The drive");
            },
        .take = take_nothing,
        .usage_error = no_usage_error,
        .to_confirm = confirm_nothing,
        .what = [](const Step& step) { return "check of " + step.device; },
        .after_interruption =
            [](const Step& step) {
              return "the check of " + step.device +
                     " was interrupted: the helper restored the blocks it had written";
            },
        .run = run_check,
    },
    {
        .kind = StepKind::Open,
        .command = "open",
        .description = "Open a container as /dev/mapper/NAME",
        .passphrase = PassphraseUse::Existing,
        .may_leave_mapping = true,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              declare_device(command, arguments, "The drive or partition holding it");
              command
                  .add_option("NAME", arguments.name,
                              "Mapper name (tarnwick_ is added when missing)")
                  ->required();
              command.add_flag("--allow-discards", arguments.discards,
                               "Pass discards through to the drive");
            },
        .take = take_nothing,
        .usage_error = no_usage_error,
        .to_confirm = confirm_nothing,
        .what = [](const Step& step) { return "opening " + step.device + " as " + step.mapper; },
        .after_interruption =
            [](const Step& step) {
              return "opening " + step.device + " as " + client::mapped_path(step.mapper) +
                     " was interrupted";
            },
        .run = run_open,
    },
    {
        .kind = StepKind::Mkfs,
        .command = "mkfs",
        .description = "Make a filesystem on a mapping opened before",
        .passphrase = PassphraseUse::None,
        .may_leave_mapping = false,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              command.add_option("NAME", arguments.name, "Mapper name")->required();
              command.add_option("--fs", arguments.fs, "Filesystem (default ext4)")
                  ->check(CLI::IsMember({"ext4", "btrfs", "xfs"}));
              command.add_option("--label", arguments.label, "Label of the filesystem");
            },
        .take =
            [](StepArguments& arguments, Step& step) {
              step.fs = *client::parse_filesystem(std::exchange(arguments.fs, "ext4"));
            },
        .usage_error = no_usage_error,
        .to_confirm =
            [](const Step& step, std::span<const Step> earlier) {
              // Only a mapping opened earlier on this command line can be
              // formatted; the drive under it is the one to confirm.
              std::vector<ToConfirm> drives;
              for (const Step& before : earlier) {
                if (before.kind == StepKind::Open && before.mapper == step.mapper) {
                  drives.push_back({{before.device},
                                    "make a filesystem on " + client::mapped_path(step.mapper) +
                                        ", which is opened from it"});
                }
              }
              return drives;
            },
        .what =
            [](const Step& step) {
              return "making a filesystem on " + client::mapped_path(step.mapper);
            },
        .after_interruption =
            [](const Step& step) {
              return "making a filesystem on " + client::mapped_path(step.mapper) +
                     " was interrupted: the filesystem is incomplete";
            },
        .run = run_mkfs,
    },
    {
        .kind = StepKind::Close,
        .command = "close",
        .description = "Close a mapping opened before",
        .passphrase = PassphraseUse::None,
        .may_leave_mapping = false,
        .declare =
            [](CLI::App& command, StepArguments& arguments) {
              command.add_option("NAME", arguments.name, "Mapper name")->required();
            },
        .take = take_nothing,
        .usage_error = no_usage_error,
        .to_confirm = confirm_nothing,
        .what = [](const Step& step) { return "closing " + step.mapper; },
        .after_interruption =
            [](const Step& step) {
              return "closing " + client::mapped_path(step.mapper) + " was interrupted";
            },
        .run = run_close,
    },
    {
        .kind = StepKind::WipeMany,
        .command = nullptr,
        .description = nullptr,
        .passphrase = PassphraseUse::None,
        .may_leave_mapping = false,
        .declare = nullptr,
        .take = take_nothing,
        .usage_error = wipe_usage_error,
        .to_confirm = [](const Step& step,
                         std::span<const Step> /*earlier*/) -> std::vector<ToConfirm> {
          return {{step.devices, "wipe these " + std::to_string(step.devices.size()) +
                                     " drives (mode " + std::string(client::to_string(step.mode)) +
                                     ")"}};
        },
        .what = [](const Step& step) { return "wipe of " + join(step.devices); },
        .after_interruption =
            [](const Step& step) {
              std::string text;
              for (const auto& device : step.unfinished) {
                text += (text.empty() ? "" : "\ntarnwick-drives: ") + std::string("the wipe of ") +
                        device + " was interrupted: the drive is only partly wiped";
              }
              return text.empty() ? "the wipes were interrupted" : text;
            },
        .run = run_wipe_many,
    },
};

bool is_command_name(const std::string& word) {
  return word == "drives" || std::ranges::any_of(kStepKinds, [&](const StepKindInfo& kind) {
           return kind.command != nullptr && word == kind.command;
         });
}

constexpr bool in_kind_order() {
  for (std::size_t i = 0; i < std::size(kStepKinds); ++i) {
    if (static_cast<std::size_t>(kStepKinds[i].kind) != i) {
      return false;
    }
  }
  return true;
}
static_assert(in_kind_order(), "info_of() indexes the table by kind");

}  // namespace

std::string report_path_in(const std::string& directory, const std::string& device) {
  return directory + (directory.ends_with('/') ? "" : "/") + kernel_name(device) + ".json";
}

std::span<const StepKindInfo> step_kinds() { return kStepKinds; }

const StepKindInfo& info_of(StepKind kind) { return kStepKinds[static_cast<std::size_t>(kind)]; }

Step take_step(StepKind kind, StepArguments& arguments) {
  Step step;
  step.kind = kind;
  step.device = std::exchange(arguments.device, {});
  step.label = std::exchange(arguments.label, {});
  info_of(kind).take(arguments, step);
  if (!arguments.name.empty()) {
    step.mapper = mapper_name_of(std::exchange(arguments.name, {}));
  }
  step.allow_discards = std::exchange(arguments.discards, false);
  return step;
}

}  // namespace tarnwick::cli
