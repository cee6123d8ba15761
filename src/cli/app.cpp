// SPDX-License-Identifier: MIT
#include "cli/app.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
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

enum class StepKind { Wipe, Encrypt, Open, Mkfs, Close, Check };

// The file a wipe's report goes to, opened just before the wipe starts, so
// that a path that cannot be written is found out before anything is wiped
// (and a wipe that is not confirmed leaves no file behind).
class ReportFile {
 public:
  ReportFile() = default;
  explicit ReportFile(std::string path) : path_(std::move(path)) {}
  ~ReportFile() { close(); }
  ReportFile(ReportFile&& other) noexcept
      : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}
  ReportFile& operator=(ReportFile&& other) noexcept {
    if (this != &other) {
      close();
      path_ = std::move(other.path_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  bool wanted() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Empty on success, else why not.
  std::string open() {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0 ? std::string()
                    : std::string(std::strerror(errno));  // NOLINT(concurrency-mt-unsafe)
  }
  bool write(std::string_view text) const { return fd_ >= 0 && write_text(fd_, text); }
  void close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

struct Step {
  StepKind kind = StepKind::Wipe;
  std::string device;  // wipe, encrypt, open
  std::string mapper;  // open, mkfs, close: the full mapper name
  std::string label;   // encrypt, mkfs
  client::WipeMode mode = client::WipeMode::None;
  client::Filesystem fs = client::Filesystem::Ext4;
  bool allow_discards = false;
  bool verify = false;             // wipe
  bool check = true;               // encrypt: check the capacity first
  ReportFile report;               // wipe
  secure::SecretBytes passphrase;  // encrypt, open
};

struct Options {
  bool yes = false;
  std::string helper;
  int passphrase_fd = -1;
};

void say(std::string_view text) { write_text(STDOUT_FILENO, text); }

void complain(std::string_view text) {
  write_text(STDERR_FILENO, "tarnwick-drives: " + std::string(text) + "\n");
}

std::string what_step_does(const Step& step) {
  switch (step.kind) {
    case StepKind::Wipe:
      return "wipe of " + step.device;
    case StepKind::Encrypt:
      return "encrypting " + step.device;
    case StepKind::Open:
      return "opening " + step.device + " as " + step.mapper;
    case StepKind::Mkfs:
      return "making a filesystem on " + client::mapped_path(step.mapper);
    case StepKind::Close:
      return "closing " + step.mapper;
    case StepKind::Check:
      return "check of " + step.device;
  }
  return "request";
}

// A failure of the command itself, not of the helper.
ClientError command_error(std::string message) {
  ClientError error;
  error.kind = ClientError::Kind::InvalidArgument;
  error.message = std::move(message);
  return error;
}

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

// What an interrupted step leaves behind, for the person to act on.
std::string state_after_interruption(const Step& step) {
  switch (step.kind) {
    case StepKind::Wipe:
      return "the wipe of " + step.device + " was interrupted: the drive is only partly wiped";
    case StepKind::Encrypt:
      return "encrypting " + step.device +
             " was interrupted: the drive may hold an incomplete container";
    case StepKind::Open:
      return "opening " + step.device + " as " + client::mapped_path(step.mapper) +
             " was interrupted";
    case StepKind::Mkfs:
      return "making a filesystem on " + client::mapped_path(step.mapper) +
             " was interrupted: the filesystem is incomplete";
    case StepKind::Close:
      return "closing " + client::mapped_path(step.mapper) + " was interrupted";
    case StepKind::Check:
      return "the check of " + step.device +
             " was interrupted: the helper restored the blocks it had written";
  }
  return "the request was interrupted";
}

// Asks, once per drive, for the drive's kernel name before it is destroyed.
class Confirmation {
 public:
  Confirmation(const Options& options, const std::optional<Terminal>& terminal)
      : options_(options), terminal_(terminal) {}

  // 0 when confirmed (or --yes), else the exit status.
  int confirm(const std::string& device, const std::string& action) {
    const std::string key = kernel_name(device);
    if (confirmed_.contains(key)) {
      return kExitOk;
    }
    if (!options_.yes && !terminal_) {
      complain("not going on without confirmation for " + device +
               ": there is no terminal to ask on (give --yes to go ahead without asking)");
      return kExitNotConfirmed;
    }
    if (!listing_) {
      listing_ = list_removable_drives();
    }
    const DriveInfo* drive = *listing_ ? find_drive(**listing_, device) : nullptr;
    if (options_.yes) {
      // The helper judges the drive in any case; show it for the record.
      if (drive != nullptr) {
        say(describe_drive(*drive));
      }
      confirmed_.insert(key);
      return kExitOk;
    }
    if (drive == nullptr) {
      complain(device + " is not a removable drive that lsblk lists" +
               (*listing_ ? std::string() : " (" + listing_->error() + ")"));
      return kExitFailed;
    }
    terminal_->write(describe_drive(*drive) + "This will " + action +
                     ": everything on it will be lost.\n");
    auto answer = terminal_->read_line("Type " + key + " to confirm: ");
    std::string typed = answer.value_or("");
    while (!typed.empty() && (typed.back() == ' ' || typed.back() == '\r')) {
      typed.pop_back();
    }
    typed.erase(0, typed.find_first_not_of(' '));
    if (typed != key) {
      complain("cancelled: " + device + " was not confirmed");
      return kExitNotConfirmed;
    }
    confirmed_.insert(key);
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
                      const std::string& device, bool twice, secure::SecretBytes& out) {
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

std::span<const std::byte> bytes_of(const secure::SecretBytes& bytes) {
  return std::as_bytes(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
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
// Runs the capacity check and prints its line. A genuine drive whose probe
// still failed (a block it could not restore) is an error; a counterfeit is
// a result, left to the caller.
std::expected<client::CapacityCheck, ClientError> checked_capacity(Client& client,
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

int report_interruption(Client& client, const Step* interrupted, const Step* not_run,
                        const std::string& cancelled, bool had_open_mappers) {
  const auto ended = client.finish();
  const int signal = InterruptWatch::signal();
  if (!cancelled.empty()) {
    complain(cancelled);
  } else if (interrupted != nullptr) {
    complain(state_after_interruption(*interrupted));
  } else if (not_run != nullptr) {
    complain("stopped before the " + what_step_does(*not_run));
  }
  const bool helper_closed = ended || ended.error().kind == ClientError::Kind::Interrupted;
  if (!helper_closed) {
    complain(ended.error().describe());
  } else if (had_open_mappers || (interrupted != nullptr && interrupted->kind == StepKind::Open)) {
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
  std::set<std::string> open_mappers;
  const InterruptWatch interrupts(std::string(::isatty(STDERR_FILENO) != 0 ? "\n" : "") +
                                  "tarnwick-drives: stopping: closing what the helper opened…\n");
  const Step* interrupted = nullptr;  // the step a signal cut short
  const Step* not_run = nullptr;      // the first step a signal or Ctrl-C kept from running
  bool ctrl_c_typed = false;          // during a wipe, read as a key
  std::string cancelled;              // what the helper said of a drive whose wipe it cancelled
  for (Step& step : steps) {
    if (InterruptWatch::signal() != 0 || ctrl_c_typed) {
      not_run = &step;
      break;
    }
    std::expected<void, ClientError> result;
    std::string done;
    bool counterfeit = false;  // a check found one
    switch (step.kind) {
      case StepKind::Wipe: {
        if (step.report.wanted()) {
          if (const std::string why = step.report.open(); !why.empty()) {
            result =
                std::unexpected(command_error("cannot write the report to " + step.report.path() +
                                              ": " + why + "; nothing was wiped"));
            break;
          }
        }
        ProgressPrinter printer(STDOUT_FILENO, ::isatty(STDOUT_FILENO) != 0);
        client::WipeReport report;
        const client::WipeOptions wipe_options{step.verify,
                                               step.report.wanted() ? &report : nullptr};
        {
          // The first Ctrl-C on a terminal asks the helper to stop the wipe
          // and keeps the session, rather than being a signal that ends it.
          CancelKey cancel_key(terminal);
          result = client->wipe(
              step.device, step.mode, wipe_options, [&](const client::WipeProgress& p) {
                printer.update(p);
                cancel_key.watch();
                if (cancel_key.pressed()) {
                  ctrl_c_typed = true;
                  if (client->cancel()) {
                    printer.finish();  // the notice gets a line of its own
                    write_text(STDERR_FILENO, "tarnwick-drives: cancelling the wipe…\n");
                  }
                }
              });
          // One typed after the last progress came too late to cancel, but
          // still stops what follows.
          ctrl_c_typed = cancel_key.pressed() || ctrl_c_typed;
        }
        printer.finish();
        done = "wiped " + step.device + " (mode " + std::string(client::to_string(step.mode)) + ")";
        if (auto last = printer.last()) {
          done += ": " + format_bytes(last->written) + " written";
          if (step.verify && result) {
            done += " and read back";
          }
          done += " in " +
                  format_duration(std::chrono::duration_cast<std::chrono::seconds>(last->elapsed));
        }
        // Written whatever the outcome: a failed wipe is worth a record too.
        if (step.report.wanted()) {
          const bool written = step.report.write(report.to_json());
          step.report.close();
          if (!written && result) {
            result = std::unexpected(
                command_error("the report could not be written to " + step.report.path()));
          } else if (!written) {
            complain("the report could not be written to " + step.report.path());
          } else {
            done += "\nreport written to " + step.report.path();
            if (!result) {
              complain("the report of the failed wipe is in " + step.report.path());
            }
          }
        }
        break;
      }
      case StepKind::Check: {
        auto check = checked_capacity(*client, step.device);
        if (!check) {
          result = std::unexpected(std::move(check.error()));
        } else if (!check->genuine) {
          counterfeit = true;
        }
        break;
      }
      case StepKind::Encrypt:
        if (step.check) {
          // A counterfeit drive would take the container and lose what is
          // stored in it once its real size is passed.
          auto check = checked_capacity(*client, step.device);
          if (!check) {
            result = std::unexpected(std::move(check.error()));
            break;
          }
          if (!check->genuine) {
            result = std::unexpected(command_error(
                "refusing to encrypt a drive that does not store what it claims (--no-check "
                "skips the check)"));
            break;
          }
        }
        result = client->luks_format(step.device, step.label, bytes_of(step.passphrase));
        done = "formatted " + step.device + " as a LUKS2 container" +
               (step.label.empty() ? "" : " labelled " + step.label);
        break;
      case StepKind::Open:
        result = client->luks_open(step.device, step.mapper, bytes_of(step.passphrase),
                                   step.allow_discards);
        done = "opened " + step.device + " as " + client::mapped_path(step.mapper);
        if (result) {
          open_mappers.insert(step.mapper);
        }
        break;
      case StepKind::Mkfs:
        result = client->mkfs(client::mapped_path(step.mapper), step.fs, step.label);
        done = "made an " + std::string(client::to_string(step.fs)) + " filesystem on " +
               client::mapped_path(step.mapper) +
               (step.label.empty() ? "" : " labelled " + step.label);
        break;
      case StepKind::Close:
        result = client->luks_close(step.mapper);
        done = "closed " + client::mapped_path(step.mapper);
        if (result) {
          open_mappers.erase(step.mapper);
        }
        break;
    }
    secure::zeroize(step.passphrase);
    if (counterfeit) {
      // The check's line said it all; nothing after it runs.
      status = kExitFailed;
      break;
    }
    if (!result && result.error().kind == ClientError::Kind::Cancelled) {
      cancelled = step.device + ": " + result.error().message;
      break;
    }
    if (!result &&
        (result.error().kind == ClientError::Kind::Interrupted || InterruptWatch::signal() != 0)) {
      interrupted = &step;
      break;
    }
    if (!result) {
      complain(what_step_does(step) + " failed: " + result.error().describe());
      stderr_shown = !result.error().helper_stderr.empty();
      status = exit_status_for(result.error());
      break;
    }
    if (!done.empty()) {
      say(done + "\n");
    }
  }
  for (Step& step : steps) {
    secure::zeroize(step.passphrase);
  }

  if (interrupted != nullptr || not_run != nullptr || !cancelled.empty() ||
      InterruptWatch::signal() != 0) {
    return report_interruption(*client, interrupted, not_run, cancelled, !open_mappers.empty());
  }

  if (status == kExitOk && !open_mappers.empty()) {
    // A mapping lives only as long as the session that opened it.
    for (const auto& name : open_mappers) {
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

  std::string device;
  std::string name;
  std::string label;
  std::string wipe_mode;
  std::string fs = "ext4";
  bool discards = false;
  bool verify = false;
  bool no_check = false;
  std::string report_path;
  auto take = [&](StepKind kind) {
    Step step;
    step.kind = kind;
    step.device = std::exchange(device, {});
    step.label = std::exchange(label, {});
    if (kind == StepKind::Wipe) {
      step.mode = *client::parse_wipe_mode(std::exchange(wipe_mode, {}));
      step.verify = std::exchange(verify, false);
      step.report = ReportFile(std::exchange(report_path, {}));
    }
    if (kind == StepKind::Encrypt) {
      step.check = !std::exchange(no_check, false);
    }
    if (kind == StepKind::Mkfs) {
      step.fs = *client::parse_filesystem(std::exchange(fs, "ext4"));
    }
    if (!name.empty()) {
      step.mapper = mapper_name_of(std::exchange(name, {}));
    }
    step.allow_discards = std::exchange(discards, false);
    steps.push_back(std::move(step));
  };

  auto* wipe = app.add_subcommand("wipe", "Destroy the contents of a whole drive");
  wipe->add_option("DEVICE", device, "The drive, e.g. /dev/sdb")->required();
  wipe->add_option("--mode", wipe_mode, "How to wipe it")
      ->required()
      ->check(CLI::IsMember({"random", "encrypted-zero", "secure-discard", "none"}));
  wipe->add_flag("--verify", verify,
                 "Read the drive back afterwards and check it (mode encrypted-zero only)");
  wipe->add_option("--report", report_path,
                   "Write a JSON report of the wipe to this file, also when it fails");
  wipe->immediate_callback();
  wipe->callback([&] { take(StepKind::Wipe); });

  auto* encrypt = app.add_subcommand("encrypt", "Format a whole drive as a LUKS2 container");
  encrypt->add_option("DEVICE", device, "The drive")->required();
  encrypt->add_option("--label", label, "Label of the container");
  encrypt->add_flag("--no-check", no_check,
                    "Do not check first that the drive stores what it claims");
  encrypt->immediate_callback();
  encrypt->callback([&] { take(StepKind::Encrypt); });

  auto* check =
      app.add_subcommand("check", "Check that a drive stores data across the whole size it claims");
  check->add_option("DEVICE", device, "The drive")->required();
  check->immediate_callback();
  check->callback([&] { take(StepKind::Check); });

  auto* open = app.add_subcommand("open", "Open a container as /dev/mapper/NAME");
  open->add_option("DEVICE", device, "The drive or partition holding it")->required();
  open->add_option("NAME", name, "Mapper name (tarnwick_ is added when missing)")->required();
  open->add_flag("--allow-discards", discards, "Pass discards through to the drive");
  open->immediate_callback();
  open->callback([&] { take(StepKind::Open); });

  auto* mkfs = app.add_subcommand("mkfs", "Make a filesystem on a mapping opened before");
  mkfs->add_option("NAME", name, "Mapper name")->required();
  mkfs->add_option("--fs", fs, "Filesystem (default ext4)")
      ->check(CLI::IsMember({"ext4", "btrfs", "xfs"}));
  mkfs->add_option("--label", label, "Label of the filesystem");
  mkfs->immediate_callback();
  mkfs->callback([&] { take(StepKind::Mkfs); });

  auto* close = app.add_subcommand("close", "Close a mapping opened before");
  close->add_option("NAME", name, "Mapper name")->required();
  close->immediate_callback();
  close->callback([&] { take(StepKind::Close); });

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

  for (Step& step : steps) {
    if (step.kind != StepKind::Wipe) {
      continue;
    }
    // Refused by the helper too, but only after the person confirmed.
    if (step.verify && step.mode != client::WipeMode::EncryptedZero) {
      complain("--verify: verification is only available for mode encrypted-zero");
      return kExitUsage;
    }
  }

  // Everything that needs the person happens before the helper starts
  // (pkexec may ask for a password of its own).
  const std::optional<Terminal> terminal = Terminal::open();
  Confirmation confirmation(options, terminal);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Step& step = steps[i];
    int status = kExitOk;
    if (step.kind == StepKind::Wipe) {
      status = confirmation.confirm(
          step.device, "wipe it (mode " + std::string(client::to_string(step.mode)) + ")");
    } else if (step.kind == StepKind::Encrypt) {
      status = confirmation.confirm(step.device, "format it as a LUKS2 container");
    } else if (step.kind == StepKind::Mkfs) {
      // Only a mapping opened earlier on this command line can be formatted;
      // the drive under it is the one to confirm.
      for (std::size_t j = 0; j < i; ++j) {
        if (steps[j].kind == StepKind::Open && steps[j].mapper == step.mapper) {
          status = confirmation.confirm(steps[j].device, "make a filesystem on " +
                                                             client::mapped_path(step.mapper) +
                                                             ", which is opened from it");
        }
      }
    }
    if (status != kExitOk) {
      return status;
    }
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Step& step = steps[i];
    if (step.kind != StepKind::Encrypt && step.kind != StepKind::Open) {
      continue;
    }
    // A container formatted earlier on the same line opens with the same
    // passphrase; asking again would only invite a typing mistake.
    bool reused = false;
    if (step.kind == StepKind::Open) {
      for (std::size_t j = 0; j < i && !reused; ++j) {
        if (steps[j].kind == StepKind::Encrypt &&
            kernel_name(steps[j].device) == kernel_name(step.device)) {
          step.passphrase.reserve(steps[j].passphrase.size());
          step.passphrase.assign(steps[j].passphrase.begin(), steps[j].passphrase.end());
          reused = true;
        }
      }
    }
    if (!reused) {
      if (int status = obtain_passphrase(options, terminal, step.device,
                                         step.kind == StepKind::Encrypt, step.passphrase);
          status != kExitOk) {
        return status;
      }
    }
  }
  return run_steps(options, terminal, steps);
}

}  // namespace tarnwick::cli
