// SPDX-License-Identifier: MIT
// Request decoding and response encoding.
//
// A request object's members are read in order. "op" is checked when it is
// met; every other member is read (it must be valid JSON) and, when its name
// is a field of some variant, set aside. At the closing brace the variant is
// known and the members set aside are decoded in their order of appearance.
// Only the first two occurrences of each field name are kept: a third can
// never decide the error, so memory stays small whatever the line holds.

#include <algorithm>
#include <array>
#include <bitset>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/base.hpp"
#include "json/json_reader.hpp"
#include "requests/requests.hpp"
#include "service/service.hpp"
#include "text/text.hpp"

namespace tarnwick {
namespace {

using json::Container;
using json::Failure;
using json::Flow;
using json::Reaction;
using json::Scalar;

using base::Overloaded;

enum class Op { LuksFormat, LuksOpen, LuksClose, Wipe, Mkfs, Shutdown, Probe };
constexpr std::array<std::string_view, 6> kOpNames = {"luks-format", "luks-open", "luks-close",
                                                      "wipe",        "mkfs",      "shutdown"};
// An op added later: accepted, but left out of the unknown-op text, which
// keeps naming the six operations every client knows.
constexpr std::string_view kProbeOpName = "probe";

enum class Field : std::size_t {
  Device,
  Label,
  AllowDiscards,
  PassphraseB64,
  MapperName,
  Mode,
  Mapped,
  Fs,
  Verify,
  Id
};
constexpr std::size_t kFieldCount = 10;
constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "device", "label", "allow_discards", "passphrase_b64", "mapper_name", "mode", "mapped", "fs",
    "verify", "id"};

// Fields a request may leave out.
constexpr bool is_optional(Field field) {
  return field == Field::AllowDiscards || field == Field::Verify || field == Field::Id;
}

constexpr std::string_view name_of(Field field) {
  return kFieldNames[static_cast<std::size_t>(field)];
}

// Each variant's fields in declaration order.
std::span<const Field> fields_of(Op op) {
  using enum Field;
  static constexpr std::array<Field, 4> kLuksFormat = {Device, Label, AllowDiscards, PassphraseB64};
  static constexpr std::array<Field, 4> kLuksOpen = {Device, MapperName, PassphraseB64,
                                                     AllowDiscards};
  static constexpr std::array<Field, 1> kLuksClose = {MapperName};
  static constexpr std::array<Field, 4> kWipe = {Device, Mode, Verify, Id};
  static constexpr std::array<Field, 3> kMkfs = {Mapped, Fs, Label};
  static constexpr std::array<Field, 1> kProbe = {Device};
  switch (op) {
    case Op::LuksFormat:
      return kLuksFormat;
    case Op::LuksOpen:
      return kLuksOpen;
    case Op::LuksClose:
      return kLuksClose;
    case Op::Wipe:
      return kWipe;
    case Op::Mkfs:
      return kMkfs;
    case Op::Probe:
      return kProbe;
    case Op::Shutdown:
      break;
  }
  return {};
}

// The fields the array form takes: "verify" and "id" came later and are left out, so
// that every array keeps the meaning (and error text) it had before.
std::span<const Field> array_fields_of(Op op) {
  const std::span<const Field> fields = fields_of(op);
  return op == Op::Wipe ? fields.first(2) : fields;
}

// For the array form: "invalid length N, expected <this>".
std::string_view description_of(Op op) {
  switch (op) {
    case Op::LuksFormat:
      return "struct variant Request::LuksFormat with 4 elements";
    case Op::LuksOpen:
      return "struct variant Request::LuksOpen with 4 elements";
    case Op::LuksClose:
      return "struct variant Request::LuksClose with 1 element";
    case Op::Wipe:
      return "struct variant Request::Wipe with 2 elements";
    case Op::Mkfs:
      return "struct variant Request::Mkfs with 3 elements";
    case Op::Probe:
      return "struct variant Request::Probe with 1 element";
    case Op::Shutdown:
      break;
  }
  return "unit variant Request::Shutdown";
}

template <std::size_t N>
std::optional<std::size_t> index_of(const std::array<std::string_view, N>& names,
                                    std::string_view name) {
  const auto found = std::find(names.begin(), names.end(), name);
  if (found == names.end()) return std::nullopt;
  return static_cast<std::size_t>(found - names.begin());
}

// A passphrase's Base64 text. It is always kept outside the string object
// (capacity above the inline buffer), so moving it never leaves a copy
// behind, and its block is wiped when released.
secure::SecretString secret_copy(std::string_view text) {
  secure::SecretString secret;
  secret.reserve(std::max<std::size_t>(text.size(), 16));
  secret.assign(text.data(), text.size());
  return secret;
}

class HeldSecret {
 public:
  explicit HeldSecret(std::string_view text) : text_(secret_copy(text)) {}
  HeldSecret(HeldSecret&&) noexcept = default;
  HeldSecret& operator=(HeldSecret&&) noexcept = default;
  ~HeldSecret() { secure::zeroize(text_); }
  secure::SecretString take() { return std::move(text_); }

 private:
  secure::SecretString text_;
};

struct Sequence {};
// An object given where a value was expected. For "mode" and "fs" it may
// name the value ({"random":null}), so its shape is kept.
struct MapSummary {
  std::size_t members = 0;
  std::string first_key;
  // The first member's value when it is neither null nor an empty object.
  std::optional<std::string> first_value;
};

using Held = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string,
                          HeldSecret, Sequence, MapSummary>;

std::string describe(const Held& value) {
  return std::visit(
      Overloaded{
          [](const std::string& text) { return "string " + json::quote(text); },
          // Only the passphrase field takes a held secret, and it accepts every string.
          [](const HeldSecret&) { return std::string("string"); },
          [](const Sequence&) { return std::string("sequence"); },
          [](const MapSummary&) { return std::string("map"); },
          [](auto scalar) { return json::describe(Scalar{scalar}); },
      },
      value);
}

Held hold(const Scalar& value, Field field) {
  return std::visit(Overloaded{
                        [field](std::string* text) -> Held {
                          if (field != Field::PassphraseB64) return std::move(*text);
                          HeldSecret secret(*text);
                          secure::zeroize(*text);
                          return secret;
                        },
                        [](auto scalar) -> Held { return scalar; },
                    },
                    value);
}

// A member set aside until the variant is known.
struct Member {
  Field field;
  bool repeated;  // the field's second occurrence
  Held value;
};

// The decoded field values, whichever variant they end up in.
struct FieldValues {
  std::string device;
  std::string label;
  std::string mapper_name;
  std::string mapped;
  bool allow_discards = false;
  bool verify = false;
  std::optional<std::string> id;
  secure::SecretString passphrase_b64;
  WipeMode mode = WipeMode::None;
  Filesystem fs = Filesystem::Ext4;
  std::bitset<kFieldCount> present;

  FieldValues() = default;
  FieldValues(const FieldValues&) = delete;
  FieldValues& operator=(const FieldValues&) = delete;
  ~FieldValues() { secure::zeroize(passphrase_b64); }
};

std::expected<std::string, std::string> text_value(Held& value, std::string_view expected) {
  if (auto* text = std::get_if<std::string>(&value)) return std::move(*text);
  return std::unexpected(json::invalid_type(describe(value), expected));
}

// A "mode" or "fs" value: its name, or an object with that name as its
// single key and null or {} as the value.
template <std::size_t N>
std::expected<std::size_t, std::string> named_value(const Held& value,
                                                    const std::array<std::string_view, N>& names) {
  const auto lookup = [&](std::string_view name) -> std::expected<std::size_t, std::string> {
    if (const auto index = index_of(names, name)) return *index;
    return std::unexpected(json::unknown_variant(name, names));
  };
  if (const auto* text = std::get_if<std::string>(&value)) return lookup(*text);
  if (const auto* map = std::get_if<MapSummary>(&value)) {
    if (map->members != 1)
      return std::unexpected(json::invalid_value("map", "map with a single key"));
    const auto index = lookup(map->first_key);
    if (!index) return index;
    if (map->first_value)
      return std::unexpected(json::invalid_type(*map->first_value, "unit variant"));
    return index;
  }
  return std::unexpected(json::invalid_type(describe(value), "string or map"));
}

std::expected<void, std::string> decode_field(Field field, Held& value, FieldValues& out) {
  const auto store = [&](std::string& target,
                         std::string_view expected) -> std::expected<void, std::string> {
    auto text = text_value(value, expected);
    if (!text) return std::unexpected(std::move(text.error()));
    target = std::move(*text);
    return {};
  };
  switch (field) {
    case Field::Device:
      return store(out.device, "path string");
    case Field::Mapped:
      return store(out.mapped, "path string");
    case Field::Label:
      return store(out.label, json::kExpectString);
    case Field::MapperName:
      return store(out.mapper_name, json::kExpectString);
    case Field::PassphraseB64:
      if (auto* secret = std::get_if<HeldSecret>(&value)) {
        secure::zeroize(out.passphrase_b64);
        out.passphrase_b64 = secret->take();
        return {};
      }
      return std::unexpected(json::invalid_type(describe(value), json::kExpectString));
    case Field::AllowDiscards:
      if (const bool* flag = std::get_if<bool>(&value)) {
        out.allow_discards = *flag;
        return {};
      }
      return std::unexpected(json::invalid_type(describe(value), json::kExpectBool));
    case Field::Id: {
      auto text = text_value(value, json::kExpectString);
      if (!text) return std::unexpected(std::move(text.error()));
      out.id = std::move(*text);
      return {};
    }
    case Field::Verify:
      if (const bool* flag = std::get_if<bool>(&value)) {
        out.verify = *flag;
        return {};
      }
      return std::unexpected(json::invalid_type(describe(value), json::kExpectBool));
    case Field::Mode: {
      const auto index = named_value(value, requests::kWipeModeNames);
      if (!index) return std::unexpected(index.error());
      out.mode = static_cast<WipeMode>(*index);
      return {};
    }
    case Field::Fs: {
      const auto index = named_value(value, requests::kFilesystemNames);
      if (!index) return std::unexpected(index.error());
      out.fs = static_cast<Filesystem>(*index);
      return {};
    }
  }
  return {};
}

Request assemble(Op op, FieldValues& v) {
  switch (op) {
    case Op::LuksFormat:
      return Request{Request::LuksFormat{std::move(v.device), std::move(v.label), v.allow_discards,
                                         std::move(v.passphrase_b64)}};
    case Op::LuksOpen:
      return Request{Request::LuksOpen{std::move(v.device), std::move(v.mapper_name),
                                       std::move(v.passphrase_b64), v.allow_discards}};
    case Op::LuksClose:
      return Request{Request::LuksClose{std::move(v.mapper_name)}};
    case Op::Wipe:
      return Request{Request::Wipe{std::move(v.device), v.mode, v.verify, std::move(v.id)}};
    case Op::Mkfs:
      return Request{Request::Mkfs{std::move(v.mapped), v.fs, std::move(v.label)}};
    case Op::Probe:
      return Request{Request::Probe{std::move(v.device)}};
    case Op::Shutdown:
      break;
  }
  return Request{Request::Shutdown{}};
}

// Object form: members in their order of appearance, then the first
// required field that is absent.
std::expected<Request, std::string> decode_members(Op op, std::vector<Member>& members) {
  const std::span<const Field> fields = fields_of(op);
  FieldValues values;
  for (Member& member : members) {
    if (std::find(fields.begin(), fields.end(), member.field) == fields.end()) continue;
    if (member.repeated) return std::unexpected(json::duplicate_field(name_of(member.field)));
    if (auto decoded = decode_field(member.field, member.value, values); !decoded) {
      return std::unexpected(std::move(decoded.error()));
    }
    values.present.set(static_cast<std::size_t>(member.field));
  }
  for (const Field field : fields) {
    if (!is_optional(field) && !values.present.test(static_cast<std::size_t>(field))) {
      return std::unexpected(json::missing_field(name_of(field)));
    }
  }
  return assemble(op, values);
}

// Array form: the elements after the op are the fields in declaration
// order; a missing trailing "allow_discards" takes its default.
std::expected<Request, std::string> decode_elements(Op op, std::vector<Member>& elements,
                                                    std::size_t found) {
  const std::span<const Field> fields = array_fields_of(op);
  FieldValues values;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i < found) {
      if (auto decoded = decode_field(fields[i], elements[i].value, values); !decoded) {
        return std::unexpected(std::move(decoded.error()));
      }
    } else if (!is_optional(fields[i])) {
      return std::unexpected(json::invalid_length(found, description_of(op)));
    }
  }
  if (op != Op::Shutdown && found > fields.size()) {
    const std::string expected =
        std::to_string(fields.size()) +
        (fields.size() == 1 ? " element in sequence" : " elements in sequence");
    return std::unexpected(json::invalid_length(found, expected));
  }
  return assemble(op, values);
}

// An error found while the request itself is read: it carries the position.
Failure while_reading(std::string message) { return Failure{std::move(message), true}; }

// Turns the reader's events into a Request. Depth 1 is the request object
// (or array); depth 2 and 3 are only entered for the object form of "mode"
// and "fs".
class RequestReader final : public json::Handler {
 public:
  ~RequestReader() override {
    if (request) zeroize_request(*request);
  }

  std::optional<Request> request;

  Reaction on_scalar(const Scalar& value) override {
    switch (depth_) {
      case 0:
        return std::unexpected(while_reading(
            json::invalid_type(json::describe(value), "internally tagged enum Request")));
      case 1:
        return value_scalar(value);
      default:
        // The first member's value inside a "mode"/"fs" object.
        if (!json::is_null(value)) summary().first_value = json::describe(value);
        return Flow::Continue;
    }
  }

  Reaction on_begin(Container kind) override {
    switch (depth_) {
      case 0:
        form_ = kind == Container::Object ? Form::Object : Form::Array;
        depth_ = 1;
        return Flow::Continue;
      case 1:
        return value_container(kind);
      case 2:
        if (kind == Container::Array) {
          summary().first_value = "sequence";
          return Flow::Skip;
        }
        depth_ = 3;  // empty unless a key comes
        return Flow::Continue;
      default:
        return Flow::Skip;
    }
  }

  Reaction on_key(std::string& key) override {
    switch (depth_) {
      case 1:
        return member_key(key);
      case 2: {
        MapSummary& map = summary();
        if (++map.members > 1) return Flow::Skip;
        map.first_key = std::move(key);
        return Flow::Continue;
      }
      default:
        summary().first_value = "map";
        return Flow::Skip;
    }
  }

  Reaction on_end(Container /*kind*/) override {
    --depth_;
    if (depth_ > 0) return Flow::Continue;
    if (!op_) return std::unexpected(while_reading(json::missing_field("op")));
    auto decoded = form_ == Form::Object ? decode_members(*op_, members_)
                                         : decode_elements(*op_, members_, elements_ - 1);
    if (!decoded) return std::unexpected(Failure{std::move(decoded.error()), false});
    request = std::move(*decoded);
    return Flow::Continue;
  }

 private:
  enum class Form { Object, Array };
  // What the value at depth 1 is for.
  enum class Target { Ignored, Op, Field };

  // The "mode"/"fs" object being read.
  MapSummary& summary() { return std::get<MapSummary>(members_.back().value); }

  Reaction member_key(std::string_view key) {
    if (key == "op") {
      if (op_) return std::unexpected(while_reading(json::duplicate_field("op")));
      target_ = Target::Op;
      return Flow::Continue;
    }
    const auto index = index_of(kFieldNames, key);
    if (!index) return Flow::Skip;
    // A third occurrence can never be the first failing member.
    if (++occurrences_[*index] > 2) return Flow::Skip;
    target_ = Target::Field;
    field_ = static_cast<Field>(*index);
    repeated_ = occurrences_[*index] == 2;
    return Flow::Continue;
  }

  // Which value comes next: set by the key in the object form, by the
  // element's index in the array form.
  Target next_target() {
    if (form_ == Form::Object) {
      const Target target = target_;
      target_ = Target::Ignored;
      return target;
    }
    const std::size_t index = elements_++;
    if (index == 0) return Target::Op;
    const std::span<const Field> fields = array_fields_of(*op_);
    if (index > fields.size()) return Target::Ignored;
    field_ = fields[index - 1];
    repeated_ = false;
    return Target::Field;
  }

  Reaction value_scalar(const Scalar& value) {
    switch (next_target()) {
      case Target::Op: {
        const auto* const* text = std::get_if<std::string*>(&value);
        if (text == nullptr) {
          return std::unexpected(
              while_reading(json::invalid_type(json::describe(value), "variant identifier")));
        }
        const auto index = index_of(kOpNames, **text);
        if (index) {
          op_ = static_cast<Op>(*index);
        } else if (**text == kProbeOpName) {
          op_ = Op::Probe;
        } else {
          return std::unexpected(while_reading(json::unknown_variant(**text, kOpNames)));
        }
        return Flow::Continue;
      }
      case Target::Field:
        members_.push_back(Member{field_, repeated_, hold(value, field_)});
        return Flow::Continue;
      case Target::Ignored:
        break;
    }
    return Flow::Continue;
  }

  Reaction value_container(Container kind) {
    switch (next_target()) {
      case Target::Op:
        return std::unexpected(
            while_reading(json::invalid_type(json::describe(kind), "variant identifier")));
      case Target::Field:
        if (kind == Container::Array) {
          members_.push_back(Member{field_, repeated_, Sequence{}});
          return Flow::Skip;
        }
        members_.push_back(Member{field_, repeated_, MapSummary{}});
        if (field_ != Field::Mode && field_ != Field::Fs) return Flow::Skip;
        depth_ = 2;
        return Flow::Continue;
      case Target::Ignored:
        break;
    }
    return Flow::Skip;
  }

  Form form_ = Form::Object;
  std::size_t depth_ = 0;
  std::optional<Op> op_;
  Target target_ = Target::Ignored;
  Field field_ = Field::Device;
  bool repeated_ = false;
  std::array<std::uint8_t, kFieldCount> occurrences_{};
  std::vector<Member> members_;
  std::size_t elements_ = 0;  // array form: elements met, the op included
};

// Recognises a cancel: an object whose one "op" is "cancel" (other members
// are read and ignored, as for any request), or the array ["cancel"]. A
// string "id" beside the op names the wipe in the background to cancel.
class CancelReader final : public json::Handler {
 public:
  bool is_cancel = false;
  std::optional<std::string> id;

  Reaction on_scalar(const Scalar& value) override {
    if (depth_ != 1) return Flow::Continue;
    const auto* const* text = std::get_if<std::string*>(&value);
    if (std::exchange(at_id_, false)) {
      // The reader lends its own string: taken, not copied.
      if (std::string* const* taken = std::get_if<std::string*>(&value); taken != nullptr && !id_) {
        id_ = std::move(**taken);
      }
      return Flow::Continue;
    }
    const bool op_position = array_ ? elements_++ == 0 : std::exchange(at_op_, false);
    if (op_position) {
      op_is_cancel_ = text != nullptr && **text == "cancel";
    }
    return Flow::Continue;
  }
  Reaction on_begin(Container kind) override {
    if (depth_ == 0) {
      array_ = kind == Container::Array;
      depth_ = 1;
      return Flow::Continue;
    }
    // A container where the op belongs is no op; nested values are not looked at.
    if (!array_ || elements_++ == 0) at_op_ = false;
    at_id_ = false;
    return Flow::Skip;
  }
  Reaction on_key(std::string& key) override {
    if (key == "id") {
      at_id_ = true;
      return Flow::Continue;
    }
    if (key != "op") return Flow::Skip;
    ++ops_;
    at_op_ = true;
    return Flow::Continue;
  }
  Reaction on_end(Container /*kind*/) override {
    is_cancel = op_is_cancel_ && (array_ ? elements_ == 1 : ops_ == 1);
    if (is_cancel) id = std::move(id_);
    depth_ = 0;
    return Flow::Continue;
  }

 private:
  std::size_t depth_ = 0;
  bool array_ = false;
  bool at_op_ = false;
  bool at_id_ = false;
  bool op_is_cancel_ = false;
  std::size_t ops_ = 0;
  std::size_t elements_ = 0;
  std::optional<std::string> id_;
};

// {"probe":{"claimed":N,"block":N,"positions":N,"genuine":B[,"lowest_failing":N
// [,"highest_good":N]],"unrestored":[N,...]}}
void append_probe_result(std::string& line, const probe::ProbeResult& result) {
  const probe::Verdict& verdict = result.verdict;
  line += R"({"probe":{"claimed":)" + std::to_string(verdict.claimed) + R"(,"block":)" +
          std::to_string(result.block) + R"(,"positions":)" + std::to_string(verdict.checked) +
          R"(,"genuine":)" + (verdict.genuine() ? "true" : "false");
  if (verdict.lowest_failing) {
    line += R"(,"lowest_failing":)" + std::to_string(*verdict.lowest_failing);
    if (verdict.highest_good) {
      line += R"(,"highest_good":)" + std::to_string(*verdict.highest_good);
    }
  }
  line += R"(,"unrestored":[)";
  for (std::size_t i = 0; i < result.unrestored.size(); ++i) {
    if (i > 0) line += ',';
    line += std::to_string(result.unrestored[i]);
  }
  line += "]}}";
}

}  // namespace

std::expected<Request, std::string> decode_request(std::string_view line) {
  RequestReader reader;
  if (auto read = json::read_document(line, reader); !read)
    return std::unexpected(std::move(read.error()));
  // A document read without error ended with the request's closing bracket,
  // which decoded it.
  Request request = std::move(*reader.request);  // NOLINT(bugprone-unchecked-optional-access)
  return request;
}

std::optional<CancelRequest> decode_cancel(std::string_view line) {
  CancelReader reader;
  if (!json::read_document(line, reader).has_value() || !reader.is_cancel) return std::nullopt;
  return CancelRequest{std::move(reader.id)};
}

bool is_wipe_id(std::string_view id) {
  return !id.empty() && id.size() <= kMaxWipeIdLength &&
         std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

void zeroize_request(Request& request) noexcept {
  // get_if rather than visit, which could throw on a valueless variant.
  if (auto* format = std::get_if<Request::LuksFormat>(&request.value)) {
    secure::zeroize(format->passphrase_b64);
  } else if (auto* open = std::get_if<Request::LuksOpen>(&request.value)) {
    secure::zeroize(open->passphrase_b64);
  }
}

std::string encode_response(const Response& response) {
  std::string line;
  line.reserve(128);
  // The id of a wipe in the background leads its every line, so a client
  // can route a line before reading the rest.
  if (response.id) {
    line += R"({"id":)";
    base::append_json_string(line, *response.id);
    line += ',';
  }
  const std::size_t body = line.size();
  std::visit(
      Overloaded{
          [&](const Response::Ok&) { line += R"({"ok":true})"; },
          [&](const Response::Error& error) {
            // One growth to the whole line, its closing brace and the
            // loop's line feed: doubling from 128 bytes would hold a
            // long text (a 1 MiB device name echoed back) three times
            // over while the last growth copies it.
            const auto append_text = [&line](std::string_view text) {
              line.reserve(line.size() + base::json_string_size(text) + 2);
              base::append_json_string(line, text);
            };
            line += R"({"error":)";
            // Error texts are UTF-8; should one carry a stray byte, the
            // line must still be valid JSON text.
            if (text::is_valid_utf8(error.text)) {
              append_text(error.text);
            } else {
              append_text(text::decode_utf8_lossy(error.text));
            }
            line += '}';
          },
          [&](const Response::Progress& progress) {
            line += R"({"progress":{"copied":)" + std::to_string(progress.copied) + R"(,"total":)" +
                    std::to_string(progress.total);
            if (progress.verified) {
              line += R"(,"verified":)" + std::to_string(*progress.verified);
            }
            line += "}}";
          },
          [&](const Response::ProbeResult& probe) { append_probe_result(line, probe.result); },
      },
      response.value);
  if (body > 0) {
    line.erase(body, 1);  // the body's own opening brace
  }
  return line;
}

}  // namespace tarnwick
