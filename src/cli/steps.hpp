// SPDX-License-Identifier: MIT
// The command's steps, one per command on its command line, and the one
// table that says for each kind how it is parsed, confirmed and run.
#pragma once

#include <CLI/CLI.hpp>
#include <expected>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cli/io.hpp"
#include "client/client.hpp"

namespace tarnwick::cli {

// In the order of the command's help.
// WipeMany is a wipe given several drives.
enum class StepKind { Wipe, Encrypt, Check, Open, Mkfs, Close, WipeMany };

// The file a wipe's report goes to, opened just before the wipe starts, so
// that a path that cannot be written is found out before anything is wiped
// (and a wipe that is not confirmed leaves no file behind).
class ReportFile {
 public:
  ReportFile() = default;
  explicit ReportFile(std::string path) : path_(std::move(path)) {}
  ~ReportFile() { close(); }
  ReportFile(ReportFile&& other) noexcept;
  ReportFile& operator=(ReportFile&& other) noexcept;
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  bool wanted() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Empty on success, else why not.
  std::string open();
  bool write(std::string_view text) const;
  void close();

 private:
  std::string path_;
  int fd_ = -1;
};

struct Step {
  StepKind kind = StepKind::Wipe;
  std::string device;                   // wipe, encrypt, check, open
  std::vector<std::string> devices;     // wipe of several drives
  std::vector<std::string> unfinished;  // of those, the ones a signal cut short
  std::string mapper;                   // open, mkfs, close: the full mapper name
  std::string label;                    // encrypt, mkfs
  client::WipeMode mode = client::WipeMode::None;
  client::Filesystem fs = client::Filesystem::Ext4;
  bool allow_discards = false;
  bool verify = false;             // wipe
  bool check = true;               // encrypt: check the capacity first
  ReportFile report;               // wipe
  std::string report_directory;    // wipe of several drives
  client::SecretBytes passphrase;  // encrypt, open
};

// The values of one command's arguments while the command line is parsed;
// each step takes them and sets them back for the next command.
struct StepArguments {
  std::string device;
  std::vector<std::string> devices;
  std::string name;
  std::string label;
  std::string wipe_mode;
  std::string fs = "ext4";
  bool discards = false;
  bool verify = false;
  bool no_check = false;
  std::string report_path;
};

// The one helper session the steps run in, and what they leave in it.
struct Session {
  client::Client& client;
  const std::optional<Terminal>& terminal;
  std::set<std::string> open_mappers;
  bool ctrl_c_typed = false;  // during a wipe, read as a key
};

struct StepOutcome {
  std::expected<void, client::ClientError> result;
  std::string done;          // the line saying what the step did, if any
  bool counterfeit = false;  // a check found one: its line said it all
  bool said = false;         // the failure was already said, drive by drive
};

// What a step destroys, for the person to confirm: the drives and the
// action. One drive is confirmed by typing its kernel name, several by
// typing how many they are.
struct ToConfirm {
  std::vector<std::string> devices;
  std::string action;
};

enum class PassphraseUse {
  None,
  // Opens an existing container: asked once, or taken from a step earlier
  // on the line that formatted the same drive.
  Existing,
  // Makes a new one: asked twice on a terminal.
  New,
};

struct StepKindInfo {
  StepKind kind;
  const char* command;  // nullptr: not a command of its own
  const char* description;
  PassphraseUse passphrase;
  // Cut short, it may leave a mapping the helper has to close.
  bool may_leave_mapping;
  // Declares the command's arguments, bound to `arguments`.
  void (*declare)(CLI::App& command, StepArguments& arguments);
  // Takes what is particular to the kind from `arguments`.
  void (*take)(StepArguments& arguments, Step& step);
  // A usage error found before anything is asked, or empty.
  std::string (*usage_error)(const Step& step);
  // What needs confirming; `earlier` are the steps before it on the line.
  std::vector<ToConfirm> (*to_confirm)(const Step& step, std::span<const Step> earlier);
  // "wipe of /dev/sdb": in "… failed" and "stopped before the …".
  std::string (*what)(const Step& step);
  // The state a signal leaves behind when it cuts the step short.
  std::string (*after_interruption)(const Step& step);
  StepOutcome (*run)(Session& session, Step& step);
};

// Every kind, in StepKind's order.
std::span<const StepKindInfo> step_kinds();
const StepKindInfo& info_of(StepKind kind);

// The most drives one wipe command takes: the most wipes one helper session
// runs at once.
inline constexpr std::size_t kMostDrivesAtOnce = client::kMaxConcurrentWipes;

// Where the report of `device` goes when several drives are wiped: in
// `directory`, named by the drive's kernel name ("sdb.json").
std::string report_path_in(const std::string& directory, const std::string& device);

// A step of `kind` from the parsed arguments, which are set back for the next.
Step take_step(StepKind kind, StepArguments& arguments);

// A failure of the command itself, not of the helper.
client::ClientError command_error(std::string message);

}  // namespace tarnwick::cli
