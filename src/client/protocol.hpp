// SPDX-License-Identifier: MIT
// The pure half of the client: request lines, response lines, Base64, the
// rate meter and the device size. Private to the library (and its tests).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "client/client.hpp"

namespace tarnwick::client::detail {

// A byte buffer for secret text whose size is fixed when it is made, so it
// never leaves an unwiped copy behind by growing; zeroed over its whole
// capacity when destroyed.
class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t capacity);
  ~SecretBuffer();
  SecretBuffer(SecretBuffer&& other) noexcept;
  SecretBuffer& operator=(SecretBuffer&&) = delete;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  // Appends; false (and nothing appended) when it would not fit.
  bool append(std::string_view text);
  // Reserves `count` bytes at the end and returns where they start, or
  // nullptr when they would not fit.
  char* extend(std::size_t count);

  std::string_view view() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Standard alphabet, padded.
std::size_t base64_length(std::size_t bytes);
// Writes exactly base64_length(in.size()) characters to `out`.
void base64_encode(std::span<const std::byte> in, char* out);

// A JSON string literal for `text` (quotes, backslash and control
// characters escaped); nothing when `text` is not UTF-8.
std::optional<std::string> json_quote(std::string_view text);

// Request lines, each ending in a line feed. A field that is not UTF-8 is
// an InvalidArgument error naming the field.
// A non-empty `id` makes it a wipe that runs beside others (wipe_many): the
// helper then marks every line of it with that id.
std::expected<std::string, ClientError> wipe_request(std::string_view device, WipeMode mode,
                                                     bool verify = false, std::string_view id = {});
std::expected<SecretBuffer, ClientError> luks_format_request(std::string_view device,
                                                             std::string_view label,
                                                             std::span<const std::byte> passphrase);
std::expected<SecretBuffer, ClientError> luks_open_request(std::string_view device,
                                                           std::string_view mapper_name,
                                                           std::span<const std::byte> passphrase,
                                                           bool allow_discards);
std::expected<std::string, ClientError> luks_close_request(std::string_view mapper_name);
std::expected<std::string, ClientError> mkfs_request(std::string_view mapped, Filesystem fs,
                                                     std::string_view label);
std::expected<std::string, ClientError> probe_request(std::string_view device);
inline constexpr std::string_view kShutdownRequest = "{\"op\":\"shutdown\"}\n";
// Sent only while a wipe runs; the helper answers it after the wipe's own
// answer, with ok, or with its unknown-op error once the wipe was over.
inline constexpr std::string_view kCancelRequest = "{\"op\":\"cancel\"}\n";
// Cancels the id'd wipe `id`; answered at once, without id: ok, or an error
// when no wipe with that id runs (any more).
std::string cancel_request(std::string_view id);

struct OkResponse {
  bool operator==(const OkResponse&) const = default;
};
struct ErrorResponse {
  std::string text;
  bool operator==(const ErrorResponse&) const = default;
};
struct ProgressResponse {
  ProgressResponse() = default;
  ProgressResponse(std::uint64_t copied_bytes, std::uint64_t total_bytes,
                   std::optional<std::uint64_t> verified_bytes = std::nullopt)
      : copied(copied_bytes), total(total_bytes), verified(verified_bytes) {}

  std::uint64_t copied = 0;
  std::uint64_t total = 0;
  std::optional<std::uint64_t> verified;  // only while a wipe is read back
  bool operator==(const ProgressResponse&) const = default;
};
// The result line of a capacity check; `device` and `helper_error` are left empty.
struct ProbeResponse {
  CapacityCheck check;
  bool operator==(const ProbeResponse&) const = default;
};
using Response = std::variant<OkResponse, ErrorResponse, ProgressResponse, ProbeResponse>;

// One output line of the helper, without its line feed. Members it does not
// know are ignored; exactly one of "ok", "error" and "progress" decides the
// kind. The error says why the line is not a response.
std::expected<Response, std::string> parse_response(std::string_view line);

// A line of a session with id'd wipes: the same, with the "id" member (a
// string) when the line has one. A non-string id makes it no response.
struct TaggedResponse {
  std::optional<std::string> id;
  Response response;
  bool operator==(const TaggedResponse&) const = default;
};
std::expected<TaggedResponse, std::string> parse_tagged_response(std::string_view line);

// The drive of lsblk's JSON output (--json --bytes --nodeps, one device).
// Lenient about older lsblk versions, which print sizes as strings.
std::expected<DriveIdentity, std::string> parse_drive_identity(std::string_view device,
                                                               std::string_view lsblk_json);

// The first entry of `by_id_dir`, in directory order, that resolves to the
// same node as `device` (what the helper names the drive by), or empty.
std::string find_by_id_link(const std::string& device,
                            const std::string& by_id_dir = "/dev/disk/by-id");

// Members of a device in lsblk's JSON output: a text without the spaces
// lsblk pads some columns with (empty when absent), and a size in bytes,
// which older lsblk versions print as a string.
std::string lsblk_text(const nlohmann::json& node, const char* key);
std::optional<std::uint64_t> lsblk_size(const nlohmann::json& node);

// Runs lsblk with `arguments` (no shell, input from /dev/null; found on the
// caller's PATH, run in the fixed tool environment) and returns what it
// printed on both outputs, with its exit status.
std::expected<std::pair<int, std::string>, std::string> run_lsblk(
    const std::vector<std::string>& arguments);

// The removable or hot-pluggable disks of lsblk's JSON output, in its order,
// by-id links left empty. Lenient about what older lsblk versions print
// ("0"/"1" for flags, sizes as strings); the error names what is missing.
std::expected<std::vector<RemovableDrive>, std::string> parse_removable_drives(
    std::string_view lsblk_json);

// gethostname(2), or empty.
std::string host_name();

// "2026-12-09T02:41:55Z": UTC, whole seconds.
std::string iso8601_utc(std::chrono::system_clock::time_point at);

// How far a verified wipe got, judged from its outcome: `error` empty for
// success; `bytes_verified` the last read-back figure the helper sent
// (absent when no progress of the read-back arrived); `size` the drive's
// size as the client knows it. "Passed" only when the figure reaches the
// size.
WipeReport::Verification judge_verification(bool requested, const std::string& error,
                                            std::optional<std::uint64_t> bytes_verified,
                                            std::optional<std::uint64_t> size);

// Write rate over a sliding window of recent samples.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWindow{10};
  // Too short a span gives a rate that jumps with every sample.
  static constexpr std::chrono::milliseconds kShortestSpan{1000};

  // Adds a sample and returns the rate in bytes per second, if measurable.
  std::optional<double> add(Clock::time_point at, std::uint64_t bytes);

 private:
  struct Sample {
    Clock::time_point at;
    std::uint64_t bytes;
  };
  std::deque<Sample> samples_;
};

// The size of a block device in bytes: its canonical path's last component
// names the entry under `sys_class_block` whose "size" counts 512-byte
// sectors. Nothing when any step fails.
std::optional<std::uint64_t> device_size(std::string_view device,
                                         std::string_view sys_class_block = "/sys/class/block");

}  // namespace tarnwick::client::detail
