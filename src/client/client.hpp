// SPDX-License-Identifier: MIT
// Client library of tarnwick-drives-helper: starts the helper (through pkexec
// by default), speaks its line protocol, and offers one typed call per
// operation. Errors are values; nothing in here throws.
//
//   auto client = tarnwick::client::Client::start();
//   if (!client) { report(client.error().describe()); return; }
//   auto done = client->wipe("/dev/sdb", WipeMode::Random,
//                            [](const WipeProgress& p) { show(p.written, p.total); });
//
// A Client is one helper session: mappings it opens stay open only as long
// as the Client lives, and only it may format or close them. One Client is
// used from one thread at a time, with one exception: cancel() may be called
// from any thread while wipe() or wipe_many() runs (the Client must outlive
// that call).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "requests/requests.hpp"
#include "secure/secure_memory.hpp"

namespace tarnwick::client {

// The request enumerations, shared with the helper, and the names the
// protocol uses: "encrypted-zero", "secure-discard", "random", "none";
// "ext4", "btrfs", "xfs".
using requests::Filesystem;
using requests::parse_filesystem;
using requests::parse_wipe_mode;
using requests::to_string;
using requests::WipeMode;

struct ClientError {
  enum class Kind {
    // The helper answered the request with an error; `message` is its text,
    // unchanged.
    Helper,
    // The helper process could not be started at all (for example pkexec or
    // the helper is not installed).
    StartFailed,
    // pkexec did not start the helper: it exits 126 when the person
    // dismissed the authentication dialog, and 127 when the caller is not
    // authorised or pkexec itself failed. The helper never uses either
    // status, so only pkexec can have given them.
    AuthorisationRefused,
    // The helper ended, or had already ended, before it answered.
    HelperExited,
    // The helper wrote a line that is not one of its responses. The session
    // is closed, since later lines could no longer be matched to requests.
    Protocol,
    // The request could not be written: a text field that is not UTF-8.
    InvalidArgument,
    // A signal (SIGINT, SIGTERM or SIGHUP) stopped the helper: a terminal's
    // Ctrl-C reaches it too. The request it was running failed part-way (its
    // error answer is `message`), or the helper exited with 128 + `signal`
    // after closing every mapping it had opened. Either way the session is
    // over.
    Interrupted,
    // The wipe stopped part-way because this client cancelled it
    // (Client::cancel). `message` is the helper's text, unchanged: it begins
    // "wipe cancelled" and says what state the drive is in. The session goes
    // on.
    Cancelled,
  };

  Kind kind = Kind::Helper;
  // Helper, Cancelled: the helper's error text. Otherwise a plain lower-case
  // sentence.
  std::string message;
  // StartFailed: the errno of the failed start.
  std::optional<int> os_error;
  // AuthorisationRefused, HelperExited: the exit status, when it exited.
  std::optional<int> exit_status;
  // HelperExited: the signal that ended it, when one did. Interrupted: the
  // signal that stopped it, when known.
  std::optional<int> signal;
  // AuthorisationRefused, HelperExited: what the process wrote on its
  // standard error (the last 64 KiB of it).
  std::string helper_stderr;

  // `message`, followed for the process-ending kinds by what the process
  // wrote on standard error. For Kind::Helper and Kind::Cancelled exactly
  // the helper's text.
  std::string describe() const;
};

// One report during a wipe.
struct WipeProgress {
  // Bytes written to the drive so far, as the helper counts them. While the
  // drive is read back, what the writing reached.
  std::uint64_t written = 0;
  // Bytes read back so far; present only while a verified wipe reads the
  // drive back (WipeOptions::verify).
  std::optional<std::uint64_t> verified;
  // The drive's size, when the client could read it without privilege
  // (/sys/class/block/NAME/size of the device's canonical path).
  std::optional<std::uint64_t> total;
  // Rate of the current phase (writing, or reading back) over the last few
  // seconds, once there is enough to measure.
  std::optional<double> bytes_per_second;
  // Time since the wipe request was sent.
  std::chrono::steady_clock::duration elapsed{};

  // written (or, while reading back, verified) / total, at most 1; nothing
  // when the total is unknown or 0.
  std::optional<double> fraction() const;
  // Estimated time to the end of the current phase, from the total and the rate.
  std::optional<std::chrono::seconds> remaining() const;
};

using ProgressCallback = std::function<void(const WipeProgress&)>;

// A drive as lsblk describes it to anybody (no privilege needed).
struct DriveIdentity {
  std::string path;  // as given
  std::string model;
  std::string serial;
  std::string vendor;
  std::string transport;              // "usb", "sata", ...
  std::optional<std::uint64_t> size;  // bytes
  std::string by_id;                  // its /dev/disk/by-id link, or empty
};

// Runs lsblk for `device` (no shell) and finds its /dev/disk/by-id link. The
// error is a plain sentence.
std::expected<DriveIdentity, std::string> identify_drive(std::string_view device);

// A removable or hot-pluggable drive as lsblk lists it to anybody.
struct RemovableDrive {
  struct Mount {
    std::string device;  // the drive, a partition, or a mapping on it
    std::string mountpoint;
  };
  std::string name;  // kernel name, e.g. sdb
  std::string path;  // e.g. /dev/sdb
  std::optional<std::uint64_t> size;
  std::string vendor;
  std::string model;
  std::string serial;
  std::string transport;
  bool read_only = false;
  std::vector<Mount> mounts;  // everything mounted on it, at any depth
  std::string by_id;          // its /dev/disk/by-id link, or empty
};

// Runs lsblk (no shell, no privilege) and lists the removable and
// hot-pluggable disks in its order, with their by-id links. The error is a
// plain sentence.
std::expected<std::vector<RemovableDrive>, std::string> list_removable_drives();

// The result of a capacity check (Client::probe): whether the drive stored a
// marker at every position the helper sampled across its claimed size.
struct CapacityCheck {
  std::string device;           // as given to probe()
  std::uint64_t claimed = 0;    // bytes the drive claims
  std::uint64_t block = 0;      // bytes saved, marked and restored per position
  std::uint64_t positions = 0;  // positions checked
  bool genuine = false;
  // A counterfeit: the lowest position that did not hold its marker (the
  // drive stores at most this much), and the highest below it that did.
  std::optional<std::uint64_t> lowest_failing;
  std::optional<std::uint64_t> highest_good;
  // Byte offsets whose saved block did not come back after it was restored.
  std::vector<std::uint64_t> unrestored;
  // The helper's final answer when it was an error (a counterfeit, or blocks
  // it could not restore); empty when it answered ok.
  std::string helper_error;

  bool operator==(const CapacityCheck&) const = default;
};

// Called with the bytes a capacity check has written so far (markers, then
// restored blocks).
using CheckProgressCallback = std::function<void(std::uint64_t written)>;

// The record of one wipe, for filing: which drive, how, what happened. It
// never holds a passphrase (a wipe has none).
struct WipeReport {
  enum class Verification { NotRequested, NotRun, Passed, Failed };

  // The drive as lsblk gave it just before the wipe; identity_error when it
  // could not be read (the wipe is still carried out and reported).
  DriveIdentity drive;
  std::string identity_error;
  WipeMode mode = WipeMode::None;
  Verification verification = Verification::NotRequested;
  // The last figures the helper reported. bytes_verified is the drive's own
  // read count since the helper opened its mapping afresh for the read-back
  // (absent when no read-back figure came); verification is Passed only
  // when it reaches the drive's size.
  std::uint64_t bytes_written = 0;
  std::optional<std::uint64_t> bytes_verified;
  std::chrono::system_clock::time_point started;
  std::chrono::system_clock::time_point ended;
  // Empty when the wipe succeeded; otherwise what went wrong (the helper's
  // own text for a refused or failed wipe).
  std::string error;
  std::string helper_version;
  std::string host_name;
  // The last capacity check of the same drive in this session, if one ran.
  std::optional<CapacityCheck> capacity_check;

  bool succeeded() const { return error.empty(); }
  // One JSON object, pretty-printed, ending in a line feed.
  std::string to_json() const;
};

// "not requested", "not run", "passed", "failed".
std::string_view to_string(WipeReport::Verification verification);

struct WipeOptions {
  // Read the drive back after the wipe and compare (mode EncryptedZero only;
  // the helper refuses it with any other mode before anything is written).
  bool verify = false;
  // When set, filled in with the record of this wipe, also when it fails.
  WipeReport* report = nullptr;
};

// Where a caller keeps a passphrase: SecretBytes, whose every released block
// is zeroed first (the copies left behind by growing included), and
// zeroize(), which clears a buffer over its whole capacity. The helper keeps
// its own secrets in the same buffers.
using secure::SecretBytes;
using secure::zeroize;
using secure::ZeroizingAllocator;

inline std::span<const std::byte> passphrase_bytes(const SecretBytes& bytes) {
  return std::as_bytes(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
}

// One drive of Client::wipe_many: what wipe() takes for it.
struct WipeJob {
  std::string device;
  WipeMode mode = WipeMode::None;
  WipeOptions options;
};

// Called with the job's index in the span given to wipe_many, and its progress.
using MultiProgressCallback = std::function<void(std::size_t index, const WipeProgress&)>;

// The most wipes one session runs at once; the helper refuses more.
inline constexpr std::size_t kMaxConcurrentWipes = 16;

// A passphrase is any byte string; this views text as one.
inline std::span<const std::byte> passphrase_bytes(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

// The device of an open mapping: "/dev/mapper/" and its name.
inline std::string mapped_path(std::string_view mapper_name) {
  return "/dev/mapper/" + std::string(mapper_name);
}

class Client {
 public:
  // pkexec and the installed helper: {"pkexec", "<libexecdir>/tarnwick-drives-helper"}.
  static std::vector<std::string> default_command();
  // The installed helper's path, for callers that are already root.
  static std::string installed_helper_path();

  // Starts the helper with default_command().
  static std::expected<Client, ClientError> start();
  // Starts `argv` (argv[0] searched in PATH; no shell). When argv[0] is
  // pkexec, its exit statuses 126 and 127 are reported as
  // AuthorisationRefused. Authorisation happens while the first request
  // waits, so a refusal is that request's error.
  static std::expected<Client, ClientError> start(std::vector<std::string> argv);

  Client(Client&& other) noexcept;
  Client& operator=(Client&& other) noexcept;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  // Ends the session as finish() does, ignoring its outcome.
  ~Client();

  // Wipes a whole drive. `on_progress` is called on this thread for each
  // progress report of the helper; it should not throw (exceptions it
  // throws are swallowed).
  std::expected<void, ClientError> wipe(std::string_view device, WipeMode mode,
                                        const ProgressCallback& on_progress = {});
  // The same with options: read-back verification, and a report of the wipe.
  std::expected<void, ClientError> wipe(std::string_view device, WipeMode mode,
                                        const WipeOptions& options,
                                        const ProgressCallback& on_progress = {});
  // Wipes several drives at once in this session: every job starts at once
  // and each goes at its drive's own speed. Returns one outcome per job, in
  // order, once every job has ended. Each outcome, progress report and
  // report is what wipe() gives for that drive alone: one refused, failed or
  // cancelled job leaves the others running. When the helper ends or writes
  // something that is not its answer, every job not yet ended gets that
  // error. More than kMaxConcurrentWipes jobs are not run in waves: each
  // gets an InvalidArgument error and nothing is sent. `on_progress` is
  // called on this thread, as for wipe().
  std::vector<std::expected<void, ClientError>> wipe_many(
      std::span<const WipeJob> jobs, const MultiProgressCallback& on_progress = {});

  // Formats a whole drive as a LUKS2 container. The passphrase is sent
  // Base64-encoded; every buffer that held it is wiped.
  std::expected<void, ClientError> luks_format(std::string_view device, std::string_view label,
                                               std::span<const std::byte> passphrase);
  // Opens a container as /dev/mapper/`mapper_name` (a name beginning "tarnwick_").
  std::expected<void, ClientError> luks_open(std::string_view device, std::string_view mapper_name,
                                             std::span<const std::byte> passphrase,
                                             bool allow_discards = false);
  // Closes a mapping this session opened.
  std::expected<void, ClientError> luks_close(std::string_view mapper_name);
  // Makes a filesystem on a mapping this session opened (`mapped` is its
  // /dev/mapper path).
  std::expected<void, ClientError> mkfs(std::string_view mapped, Filesystem fs,
                                        std::string_view label);

  // Checks that the drive stores data across the whole size it claims: the
  // helper writes a marker at many positions, reads them back and restores
  // every block it saved. A counterfeit is a result (genuine false), not an
  // error; errors are refusals, failures and cancels (cancel() stops a check
  // as it stops a wipe). Remembered for the report of a later wipe of the
  // same drive in this session.
  std::expected<CapacityCheck, ClientError> probe(std::string_view device,
                                                  const CheckProgressCallback& on_progress = {});

  // Asks the helper to stop the wipe that this client is running. Safe to
  // call from any thread while wipe() runs, and from its progress callback.
  // Returns whether the request was sent: false when no wipe of this client
  // is in flight (nothing is sent then) or the helper is gone. The wipe then
  // ends with Kind::Cancelled, or as it would have when it completed or
  // failed before the helper read the request. Either way the session stays
  // usable: wipe() consumes the helper's answer to every request it sent.
  // During wipe_many() it asks every job still running to stop, and returns
  // whether at least one was asked; each such job then ends as cancel(index)
  // describes.
  bool cancel();
  // Asks the helper to stop job `index` of the running wipe_many(), from any
  // thread or from its progress callback. Returns whether the request was
  // sent: false when that job is not running (or no wipe_many is). The job
  // then ends with Kind::Cancelled, or as it would have when it was over
  // before the helper read the request; the other jobs go on.
  bool cancel(std::size_t index);

  // Ends the session: closes the helper's input (the helper then closes the
  // mappings this session left open) and waits for it to exit. An error
  // says the helper did not exit with status 0, or had ended earlier.
  // Calling it again returns the same outcome.
  std::expected<void, ClientError> finish();

  // What the helper has written on standard error so far (the last 64 KiB),
  // for example its "could not close" lines at the end of the session.
  const std::string& helper_stderr() const;

 private:
  struct Impl;
  explicit Client(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwick::client
