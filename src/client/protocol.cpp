// SPDX-License-Identifier: MIT
#include "client/protocol.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>

#include "base/base.hpp"

namespace tarnwick::client {

namespace detail {

// --- SecretBuffer ------------------------------------------------------------

SecretBuffer::SecretBuffer(std::size_t capacity)
    : data_(capacity == 0 ? nullptr : new(std::nothrow) char[capacity]),
      capacity_(data_ == nullptr ? 0 : capacity) {}

SecretBuffer::~SecretBuffer() {
  if (data_ != nullptr) {
    explicit_bzero(data_, capacity_);
    delete[] data_;
  }
}

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.capacity_ = 0;
}

char* SecretBuffer::extend(std::size_t count) {
  if (count > capacity_ - size_) {
    return nullptr;
  }
  char* at = data_ + size_;
  size_ += count;
  return at;
}

bool SecretBuffer::append(std::string_view text) {
  char* at = extend(text.size());
  if (at == nullptr) {
    return false;
  }
  if (!text.empty()) {
    std::memcpy(at, text.data(), text.size());
  }
  return true;
}

// --- Base64 ------------------------------------------------------------------

std::size_t base64_length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

void base64_encode(std::span<const std::byte> in, char* out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const auto group = (std::to_integer<unsigned>(in[i]) << 16) |
                       (std::to_integer<unsigned>(in[i + 1]) << 8) |
                       std::to_integer<unsigned>(in[i + 2]);
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = kAlphabet[(group >> 6) & 63];
    *out++ = kAlphabet[group & 63];
  }
  const std::size_t rest = in.size() - i;
  if (rest != 0) {
    unsigned group = std::to_integer<unsigned>(in[i]) << 16;
    if (rest == 2) {
      group |= std::to_integer<unsigned>(in[i + 1]) << 8;
    }
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    *out++ = '=';
  }
}

// --- JSON text -----------------------------------------------------------------

std::optional<std::string> json_quote(std::string_view text) {
  if (!base::is_valid_utf8(text)) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(base::json_string_size(text));
  base::append_json_string(out, text);
  return out;
}

// --- requests ------------------------------------------------------------------

namespace {

ClientError not_utf8(std::string_view field) {
  ClientError error;
  error.kind = ClientError::Kind::InvalidArgument;
  error.message = std::string(field) + " is not valid UTF-8";
  return error;
}

// `"name":value` members after the "op" member, quoted on the way.
struct Member {
  std::string_view name;
  std::string_view text;
};

std::expected<std::string, ClientError> members_text(std::initializer_list<Member> members) {
  std::string out;
  for (const Member& member : members) {
    auto quoted = json_quote(member.text);
    if (!quoted) {
      return std::unexpected(not_utf8(member.name));
    }
    out += ",\"";
    out += member.name;
    out += "\":";
    out += *quoted;
  }
  return out;
}

// The line `head` + ,"passphrase_b64":"<base64>" + `tail`, built in one
// buffer of exactly the right size, so the encoded passphrase exists only
// there.
std::expected<SecretBuffer, ClientError> with_passphrase(std::string_view head,
                                                         std::span<const std::byte> passphrase,
                                                         std::string_view tail) {
  static constexpr std::string_view kMember = ",\"passphrase_b64\":\"";
  const std::size_t encoded = base64_length(passphrase.size());
  const std::size_t length = head.size() + kMember.size() + encoded + 1 + tail.size();
  SecretBuffer line(length);
  if (line.capacity() != length) {
    ClientError error;
    error.kind = ClientError::Kind::InvalidArgument;
    error.message = "no memory for the request";
    return std::unexpected(error);
  }
  line.append(head);
  line.append(kMember);
  if (char* at = line.extend(encoded)) {
    base64_encode(passphrase, at);
  }
  line.append("\"");
  line.append(tail);
  return line;
}

}  // namespace

std::expected<std::string, ClientError> wipe_request(std::string_view device, WipeMode mode,
                                                     bool verify, std::string_view id) {
  auto members = members_text({{"device", device}, {"mode", to_string(mode)}});
  if (!members) {
    return std::unexpected(members.error());
  }
  // Sent only when asked for, so a plain wipe is the line it always was.
  std::string line = "{\"op\":\"wipe\"" + *members + (verify ? ",\"verify\":true" : "");
  if (!id.empty()) {
    auto tag = members_text({{"id", id}});
    if (!tag) {
      return std::unexpected(tag.error());
    }
    line += *tag;
  }
  return line + "}\n";
}

std::string cancel_request(std::string_view id) {
  // The client's own ids are short printable ASCII, always quotable.
  return "{\"op\":\"cancel\",\"id\":" + json_quote(id).value_or("\"\"") + "}\n";
}

std::expected<SecretBuffer, ClientError> luks_format_request(
    std::string_view device, std::string_view label, std::span<const std::byte> passphrase) {
  auto members = members_text({{"device", device}, {"label", label}});
  if (!members) {
    return std::unexpected(members.error());
  }
  return with_passphrase("{\"op\":\"luks-format\"" + *members, passphrase, "}\n");
}

std::expected<SecretBuffer, ClientError> luks_open_request(std::string_view device,
                                                           std::string_view mapper_name,
                                                           std::span<const std::byte> passphrase,
                                                           bool allow_discards) {
  auto members = members_text({{"device", device}, {"mapper_name", mapper_name}});
  if (!members) {
    return std::unexpected(members.error());
  }
  return with_passphrase("{\"op\":\"luks-open\"" + *members, passphrase,
                         allow_discards ? ",\"allow_discards\":true}\n" : "}\n");
}

std::expected<std::string, ClientError> luks_close_request(std::string_view mapper_name) {
  auto members = members_text({{"mapper_name", mapper_name}});
  if (!members) {
    return std::unexpected(members.error());
  }
  return "{\"op\":\"luks-close\"" + *members + "}\n";
}

std::expected<std::string, ClientError> mkfs_request(std::string_view mapped, Filesystem fs,
                                                     std::string_view label) {
  auto members = members_text({{"mapped", mapped}, {"fs", to_string(fs)}, {"label", label}});
  if (!members) {
    return std::unexpected(members.error());
  }
  return "{\"op\":\"mkfs\"" + *members + "}\n";
}

std::expected<std::string, ClientError> probe_request(std::string_view device) {
  auto members = members_text({{"device", device}});
  if (!members) {
    return std::unexpected(members.error());
  }
  return "{\"op\":\"probe\"" + *members + "}\n";
}

// --- responses -------------------------------------------------------------------

namespace {

// A member the response needs: absent, or a value of the wrong type, makes
// the line no response.
std::optional<std::uint64_t> unsigned_member(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_unsigned()) {
    return std::nullopt;
  }
  return found->get<std::uint64_t>();
}

// {"claimed":N,"block":N,"positions":N,"genuine":B,["lowest_failing":N,
// ["highest_good":N,]]"unrestored":[N,...]}; members the client does not
// know are left alone.
std::optional<CapacityCheck> parse_probe_result(const nlohmann::json& value) {
  if (!value.is_object()) {
    return std::nullopt;
  }
  const auto number = [&](const char* name) { return unsigned_member(value, name); };
  CapacityCheck check;
  const auto claimed = number("claimed");
  const auto block = number("block");
  const auto positions = number("positions");
  const auto genuine = value.find("genuine");
  const auto unrestored = value.find("unrestored");
  if (!claimed || !block || !positions || genuine == value.end() || !genuine->is_boolean() ||
      unrestored == value.end() || !unrestored->is_array()) {
    return std::nullopt;
  }
  check.claimed = *claimed;
  check.block = *block;
  check.positions = *positions;
  check.genuine = genuine->get<bool>();
  check.lowest_failing = number("lowest_failing");
  check.highest_good = number("highest_good");
  if (check.genuine == check.lowest_failing.has_value()) {
    return std::nullopt;
  }
  for (const auto& offset : *unrestored) {
    if (!offset.is_number_unsigned()) {
      return std::nullopt;
    }
    check.unrestored.push_back(offset.get<std::uint64_t>());
  }
  return check;
}

// Members the client does not know are ignored, at the top and inside
// "progress", so that a newer helper may add some (as the read-back added
// "verified") without breaking installed applications. What tells the kind
// of line apart, and the members each kind needs, are still checked.
std::expected<Response, std::string> response_of(const nlohmann::json& doc) {
  const auto ok = doc.find("ok");
  const auto error = doc.find("error");
  const auto progress = doc.find("progress");
  const auto probe = doc.find("probe");
  const int kinds = (ok != doc.end() ? 1 : 0) + (error != doc.end() ? 1 : 0) +
                    (progress != doc.end() ? 1 : 0) + (probe != doc.end() ? 1 : 0);
  if (kinds != 1) {
    return std::unexpected(kinds == 0 ? "no \"ok\", \"error\" or \"progress\" member"
                                      : "more than one of \"ok\", \"error\" and \"progress\"");
  }
  if (ok != doc.end()) {
    if (*ok != true) {
      return std::unexpected("\"ok\" is not true");
    }
    return OkResponse{};
  }
  if (error != doc.end()) {
    if (!error->is_string()) {
      return std::unexpected("\"error\" is not a string");
    }
    return ErrorResponse{error->get<std::string>()};
  }
  if (probe != doc.end()) {
    auto check = parse_probe_result(*probe);
    if (!check) {
      return std::unexpected(
          "\"probe\" is not {\"claimed\":N,\"block\":N,\"positions\":N,\"genuine\":B,"
          "\"unrestored\":[N,...]}");
    }
    return ProbeResponse{std::move(*check)};
  }
  const auto copied = progress->is_object() ? unsigned_member(*progress, "copied") : std::nullopt;
  const auto total = progress->is_object() ? unsigned_member(*progress, "total") : std::nullopt;
  const bool verifying = progress->is_object() && progress->contains("verified");
  const auto verified = verifying ? unsigned_member(*progress, "verified") : std::nullopt;
  if (!copied || !total || verifying != verified.has_value()) {
    return std::unexpected(
        "\"progress\" is not {\"copied\":N,\"total\":N} or "
        "{\"copied\":N,\"total\":N,\"verified\":N}");
  }
  return ProgressResponse{*copied, *total, verified};
}

std::expected<nlohmann::json, std::string> object_of(std::string_view line) {
  nlohmann::json doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    return std::unexpected("not JSON");
  }
  if (!doc.is_object()) {
    return std::unexpected("not an object");
  }
  return doc;
}

}  // namespace

std::expected<Response, std::string> parse_response(std::string_view line) {
  const auto doc = object_of(line);
  if (!doc) {
    return std::unexpected(doc.error());
  }
  return response_of(*doc);
}

std::expected<TaggedResponse, std::string> parse_tagged_response(std::string_view line) {
  auto doc = object_of(line);
  if (!doc) {
    return std::unexpected(std::move(doc.error()));
  }
  TaggedResponse tagged;
  if (const auto id = doc->find("id"); id != doc->end()) {
    if (!id->is_string()) {
      return std::unexpected("\"id\" is not a string");
    }
    tagged.id = id->get<std::string>();
  }
  auto response = response_of(*doc);
  if (!response) {
    return std::unexpected(std::move(response.error()));
  }
  tagged.response = std::move(*response);
  return tagged;
}

// --- rate and size -------------------------------------------------------------------

std::optional<double> RateMeter::add(Clock::time_point at, std::uint64_t bytes) {
  // A count that goes backwards (the kernel's counter was reset) starts over.
  if (!samples_.empty() && (bytes < samples_.back().bytes || at < samples_.back().at)) {
    samples_.clear();
  }
  samples_.push_back({at, bytes});
  // Keep one sample at or beyond the window's start, so the span covers it.
  while (samples_.size() > 2 && at - samples_[1].at >= kWindow) {
    samples_.pop_front();
  }
  const Sample& first = samples_.front();
  const auto span = at - first.at;
  if (span < kShortestSpan) {
    return std::nullopt;
  }
  const double seconds = std::chrono::duration<double>(span).count();
  return static_cast<double>(bytes - first.bytes) / seconds;
}

std::optional<std::uint64_t> device_size(std::string_view device,
                                         std::string_view sys_class_block) {
  const std::string path(device);
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  std::string_view canonical(resolved);
  const std::size_t slash = canonical.rfind('/');
  const std::string_view name = canonical.substr(slash + 1);
  if (name.empty()) {
    return std::nullopt;
  }
  const std::string file = std::string(sys_class_block) + "/" + std::string(name) + "/size";
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  char buffer[64];
  ssize_t got = 0;
  do {
    got = ::read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  ::close(fd);
  if (got <= 0 || static_cast<std::size_t>(got) == sizeof buffer) {
    return std::nullopt;
  }
  std::string_view text(buffer, static_cast<std::size_t>(got));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  std::uint64_t sectors = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), sectors);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
      sectors > UINT64_MAX / 512) {
    return std::nullopt;
  }
  return sectors * 512;
}

}  // namespace detail
}  // namespace tarnwick::client
