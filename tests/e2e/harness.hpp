// SPDX-License-Identifier: MIT
// End-to-end harness: scratch loop devices presented as removable drives in
// a private mount (and pid) namespace whose /dev holds nothing else, the real
// helper binary driven over pipes exactly as a client drives it, and the tool
// wrappers' record of what the helper ran.
//
// Everything here is root only; tests call `e2e_unavailable()` and skip.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e/layout.hpp"
#include "e2e/process.hpp"

namespace tdh_e2e {

using namespace std::chrono_literals;

// Why the end-to-end tests cannot run on this machine, or nullopt.
std::optional<std::string> e2e_unavailable();

// A loop device over a file we created, attached with autoclear. Detached on
// destruction (the kernel finishes the detach once the last user is gone).
class LoopDevice {
 public:
  LoopDevice(const std::string& file, std::uint64_t offset, bool read_only, bool partitions);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& path() const { return path_; }  // /dev/loopN, inside and outside
  std::string name() const;                          // loopN
  dev_t dev() const { return dev_; }
  // Adds partition number `number` covering [start, start + length) bytes.
  void add_partition(int number, std::uint64_t start, std::uint64_t length);
  // Drops the block device's cached pages, so reads see the backing file.
  void flush_buffers() const;

 private:
  Fd fd_;
  std::string path_;
  dev_t dev_ = 0;
};

// One scratch drive as a test describes it: drive("serial") and then the
// fluent modifiers below.
struct DriveSpec {
  std::string serial;  // part of the by-id link name; must be unique in a sandbox
  std::uint64_t size = 64 * layout::kMiB;
  bool read_only = false;      // the loop device itself is read-only
  bool removable = true;       // lsblk "rm"
  bool hotplug = true;         // lsblk "hotplug"
  bool by_id = true;           // make /dev/disk/by-id links
  bool partition = false;      // an MBR with one partition from 1 MiB to the end
  bool luks_payload = false;   // a second loop device over the LUKS2 data segment
  bool loop_over = false;      // a loop device over the drive's own node, listed beside it
  bool listed = true;          // false: a node in /dev, but neither a drive nor a scratch device
  bool pattern = true;         // fill the image with the known pattern first
  std::string partition_uuid;  // when set: /dev/disk/by-uuid/<uuid> -> the partition
  // When set: the (sparse) image lives on a tmpfs of this many bytes, so
  // writes past it fail with real I/O errors.
  std::uint64_t tmpfs_bytes = 0;

  DriveSpec& size_mib(std::uint64_t mib) {
    size = mib * layout::kMiB;
    return *this;
  }
  DriveSpec& readonly() {
    read_only = true;
    return *this;
  }
  DriveSpec& no_hotplug() {
    hotplug = false;
    return *this;
  }
  DriveSpec& not_removable() {
    removable = false;
    return *this;
  }
  DriveSpec& fixed() {
    removable = false;
    hotplug = false;
    return *this;
  }
  DriveSpec& without_by_id() {
    by_id = false;
    return *this;
  }
  DriveSpec& with_partition(std::string uuid = {}) {
    partition = true;
    partition_uuid = std::move(uuid);
    return *this;
  }
  DriveSpec& with_luks_payload() {
    luks_payload = true;
    return *this;
  }
  DriveSpec& with_loop_over() {
    loop_over = true;
    return *this;
  }
  DriveSpec& unlisted() {
    listed = false;
    return *this;
  }
  DriveSpec& blank() {
    pattern = false;
    return *this;
  }
  DriveSpec& on_tmpfs_mib(std::uint64_t mib) {
    tmpfs_bytes = mib * layout::kMiB;
    pattern = false;
    return *this;
  }
};

// The by-id link the sandbox makes for a drive with this serial.
inline std::string by_id_path(const std::string& serial) {
  return "/dev/disk/by-id/usb-Tarnwick_E2E_Scratch_" + serial + "-0:0";
}

inline DriveSpec drive(std::string serial) {
  DriveSpec described;
  described.serial = std::move(serial);
  return described;
}

// A scratch drive once attached.
struct ScratchDrive {
  DriveSpec described;
  std::string image;  // host path of the backing file
  std::unique_ptr<LoopDevice> loop;
  std::unique_ptr<LoopDevice> payload;
  std::unique_ptr<LoopDevice> loop_over;  // declared after `loop`: detached first
  std::string partition;                  // /dev/loopNp1, or empty
  dev_t partition_dev = 0;
  std::string by_id;            // /dev/disk/by-id/..., or empty
  std::string partition_by_id;  // or empty

  const std::string& path() const { return loop->path(); }
  std::uint64_t size() const { return described.size; }
};

// Whether the kernel offers device-mapper (otherwise cryptsetup's open and
// close are simulated inside the sandbox).
bool kernel_has_device_mapper();

// The known pattern every scratch image starts with: a 4 KiB block that
// names its own offset, so a block in the wrong place shows.
std::string pattern_block(std::uint64_t offset);

class HelperSession;

class Sandbox {
 public:
  // `crypttab`: the contents of /etc/crypttab inside, when set.
  explicit Sandbox(std::vector<DriveSpec> drives, std::optional<std::string> crypttab = {});
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const ScratchDrive& drive(std::size_t index) const { return *drives_.at(index); }
  pid_t init_pid() const { return init_pid_; }

  // Runs a program inside the namespace (searched on the helper's PATH).
  ProcessResult run(const std::vector<std::string>& argv, const std::string& input = {},
                    std::chrono::seconds timeout = 120s) const;
  // As run(), but fails (throws) unless the exit status is 0.
  std::string run_ok(const std::vector<std::string>& argv, const std::string& input = {}) const;

  // Starts the real helper inside the namespace, with a PATH that finds
  // nothing and the C locale unless `env` is given.
  std::unique_ptr<HelperSession> start_helper() const;
  std::unique_ptr<HelperSession> start_helper(const std::vector<std::string>& env) const;

  // A path inside the namespace, reachable from the host through /proc.
  std::string inside(const std::string& path) const;

  // argv of every wrapped tool run so far, in order; with `tool` only those.
  std::vector<std::vector<std::string>> tool_calls(const std::string& tool = {}) const;
  // The raw log lines (JSON), for the fields other than argv.
  std::vector<std::string> tool_log() const;

  // Bytes of a drive as the backing image holds them (caches flushed first).
  std::string read_drive(std::size_t index, std::uint64_t offset, std::size_t length) const;

  // mkswap + swapon on a scratch device; swapoff always runs at teardown.
  void activate_swap(const std::string& device);
  // mkfs.ext4 (through the wrapper) and mount inside; returns the mount point.
  std::string mount_new_ext4(const std::string& device, const std::string& name);

  // Makes the wrapper of `key` (see layout::kHoldPrefix) wait once it runs;
  // held() waits for it to be running and returns its pid inside.
  void hold(const std::string& key) const;
  pid_t held(const std::string& key, std::chrono::seconds timeout = 60s) const;
  // Lets the wrapper of `key` go on (and later runs of it too).
  void release(const std::string& key) const;
  // Whether a process of this pid (inside) exists and is not a zombie.
  bool running_inside(pid_t pid) const;

  // Where a /dev/mapper name points inside the namespace (the entry itself
  // for a real device-mapper node), or nullopt when there is none.
  std::optional<std::string> mapper_target(const std::string& name) const;

 private:
  bool is_scratch_path(const std::string& device) const;
  void start_namespace();
  void stop_namespace();

  std::vector<DriveSpec> specs_;
  std::optional<std::string> crypttab_;
  std::string dir_;
  Fd lock_;  // held while the sandbox lives; see clear_stale_sandboxes()
  std::vector<std::unique_ptr<ScratchDrive>> drives_;
  std::vector<std::string> swaps_;  // host paths to swapoff
  pid_t keeper_pid_ = -1;
  pid_t init_pid_ = -1;
  Fd init_pidfd_;
  Fd control_;  // closing it ends the namespace
  Fd mnt_ns_;
  Fd pid_ns_;

  friend class HelperSession;
};

// One helper process, driven over its standard input and output.
class HelperSession {
 public:
  HelperSession(const Sandbox& sandbox, const std::vector<std::string>& argv,
                const std::vector<std::string>& env);
  ~HelperSession();
  HelperSession(const HelperSession&) = delete;
  HelperSession& operator=(const HelperSession&) = delete;

  // Writes raw bytes to the helper's standard input.
  void send_raw(const std::string& bytes);
  // Writes one request line (a line feed is added).
  void send(const std::string& line) { send_raw(line + "\n"); }
  // The next output line; throws on timeout or end of output.
  std::string next_line(std::chrono::seconds timeout = 120s);
  // Sends a request and returns every line up to and including the first
  // line that is neither a progress line nor a probe's result line.
  std::vector<std::string> request(const std::string& line, std::chrono::seconds timeout = 120s);
  // Closes standard input, collects any further output and waits for exit.
  // Returns the exit status (128 + signal when killed).
  int finish(std::chrono::seconds timeout = 120s);
  // As finish(), but leaves standard input open: for a helper that ends by itself.
  int wait_exit(std::chrono::seconds timeout = 120s);
  // Output lines read by finish() after input was closed.
  const std::vector<std::string>& trailing_lines() const { return trailing_; }
  const std::string& stderr_text() const { return err_; }
  // The helper's pid as this process sees it (for /proc/PID/...), read from
  // its pidfd so that it cannot name a recycled process; -1 once it ended.
  pid_t pid() const;

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);
  void kill_now();

  pid_t waiter_ = -1;  // our child: entered the namespace, waits for the helper
  Fd pidfd_;           // the helper's
  Fd in_;
  Fd out_;
  Fd err_fd_;
  std::string out_buffer_;
  std::string err_;
  std::vector<std::string> trailing_;
  bool out_closed_ = false;
  bool finished_ = false;
};

// {"op":"wipe",...} and friends, built with proper JSON escaping.
std::string json_string(const std::string& text);
std::string base64(const std::string& bytes);

// Parses {"progress":{"copied":N,"total":0}}; nullopt for any other line.
std::optional<std::uint64_t> progress_copied(const std::string& line);

// Parses {"progress":{"copied":N,"total":0,"verified":M}} into {N, M};
// nullopt for any other line.
std::optional<std::pair<std::uint64_t, std::uint64_t>> progress_verified(const std::string& line);

}  // namespace tdh_e2e
