// SPDX-License-Identifier: MIT
// Strict decoding of `lsblk -J -b` output into LsblkRoot. Every member is
// decoded when it is met, so every error carries the position where the
// reader stood: listed keys met twice fail at the repeated key, wrong types
// at the value, missing keys at the closing brace of their object; keys not
// listed are read and ignored.

#include <array>
#include <utility>
#include <variant>
#include <vector>

#include "inventory/inventory.hpp"
#include "json/json_reader.hpp"

namespace tarnwick::inventory {
namespace {

using json::Container;
using json::Flow;
using json::Reaction;
using json::Scalar;

constexpr std::string_view kExpectRoot = "struct LsblkRoot";
constexpr std::string_view kExpectNode = "struct LsblkNode";
constexpr std::string_view kExpectSequence = "a sequence";

constexpr std::array<std::string_view, 1> kRootKeys = {"blockdevices"};
constexpr std::array<std::size_t, 1> kRootRequired = {0};

enum NodeKey : std::size_t {
  Name,
  Path,
  Size,
  Type,
  Rm,
  Hotplug,
  Ro,
  Tran,
  Vendor,
  Model,
  Serial,
  Fstype,
  Mountpoint,
  Label,
  Rota,
  Pttype,
  Fsused,
  Fssize,
  Children,
  NodeKeyCount
};
constexpr std::array<std::string_view, NodeKeyCount> kNodeKeys = {
    "name", "path",   "size",   "type",   "rm",      "hotplug",    "ro",
    "tran", "vendor", "model",  "serial", "fstype",  "mountpoint", "label",
    "rota", "pttype", "fsused", "fssize", "children"};
constexpr std::array<std::size_t, 2> kNodeRequired = {Name, Path};

std::string_view expected_kind(std::size_t key) {
  switch (key) {
    case Size:
    case Fsused:
    case Fssize:
      return json::kExpectU64;
    case Rm:
    case Hotplug:
    case Ro:
    case Rota:
      return json::kExpectBool;
    case Children:
      return kExpectSequence;
    default:
      return json::kExpectString;
  }
}

template <class T, class Read>
std::expected<void, std::string> optional_field(std::optional<T>& field, const Scalar& value,
                                                Read read) {
  if (json::is_null(value)) {
    field.reset();
    return {};
  }
  auto decoded = read(value);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  field = std::move(*decoded);
  return {};
}

std::expected<void, std::string> set_scalar(LsblkNode& node, std::size_t key, const Scalar& value) {
  const auto text = [](const Scalar& v) { return json::take_string(v); };
  const auto flag = [](const Scalar& v) { return json::read_bool(v); };
  const auto count = [](const Scalar& v) { return json::read_u64(v); };
  switch (key) {
    case Name:
    case Path: {
      auto decoded = json::take_string(value);
      if (!decoded) return std::unexpected(std::move(decoded.error()));
      (key == Name ? node.name : node.path) = std::move(*decoded);
      return {};
    }
    case Size:
      return optional_field(node.size, value, count);
    case Type:
      return optional_field(node.type, value, text);
    case Rm:
      return optional_field(node.rm, value, flag);
    case Hotplug:
      return optional_field(node.hotplug, value, flag);
    case Ro:
      return optional_field(node.ro, value, flag);
    case Tran:
      return optional_field(node.tran, value, text);
    case Vendor:
      return optional_field(node.vendor, value, text);
    case Model:
      return optional_field(node.model, value, text);
    case Serial:
      return optional_field(node.serial, value, text);
    case Fstype:
      return optional_field(node.fstype, value, text);
    case Mountpoint:
      return optional_field(node.mountpoint, value, text);
    case Label:
      return optional_field(node.label, value, text);
    case Rota:
      return optional_field(node.rota, value, flag);
    case Pttype:
      return optional_field(node.pttype, value, text);
    case Fsused:
      return optional_field(node.fsused, value, count);
    case Fssize:
      return optional_field(node.fssize, value, count);
    default:
      // "children" takes an array only; null is refused like any scalar.
      return std::unexpected(json::invalid_type(json::describe(value), kExpectSequence));
  }
}

// One open level of the document.
struct RootFrame {
  json::FieldSet<1> keys{kRootKeys};
  bool pending = false;  // the value of "blockdevices" comes next
};
struct NodeFrame {
  LsblkNode node;
  json::FieldSet<NodeKeyCount> keys{kNodeKeys};
  std::optional<std::size_t> pending;  // the listed key whose value comes next
};
struct ListFrame {
  std::vector<LsblkNode> nodes;
};
using Frame = std::variant<RootFrame, NodeFrame, ListFrame>;

json::Failure failure(std::string message) { return json::Failure{std::move(message), true}; }

class LsblkReader final : public json::Handler {
 public:
  LsblkRoot root;

  Reaction on_scalar(const Scalar& value) override {
    if (frames_.empty())
      return std::unexpected(failure(json::invalid_type(json::describe(value), kExpectRoot)));
    return std::visit(
        [&](auto& frame) -> Reaction {
          using F = std::decay_t<decltype(frame)>;
          if constexpr (std::is_same_v<F, RootFrame>) {
            frame.pending = false;
            return std::unexpected(
                failure(json::invalid_type(json::describe(value), kExpectSequence)));
          } else if constexpr (std::is_same_v<F, NodeFrame>) {
            const std::size_t key = *frame.pending;
            frame.pending.reset();
            if (auto set = set_scalar(frame.node, key, value); !set) {
              return std::unexpected(failure(std::move(set.error())));
            }
            return Flow::Continue;
          } else {
            return std::unexpected(failure(json::invalid_type(json::describe(value), kExpectNode)));
          }
        },
        frames_.back());
  }

  Reaction on_begin(Container kind) override {
    const auto refuse = [&](std::string_view expected) -> Reaction {
      return std::unexpected(failure(json::invalid_type(json::describe(kind), expected)));
    };
    if (frames_.empty()) {
      if (kind != Container::Object) return refuse(kExpectRoot);
      frames_.emplace_back(RootFrame{});
      return Flow::Continue;
    }
    Frame& top = frames_.back();
    if (std::holds_alternative<ListFrame>(top)) {
      if (kind != Container::Object) return refuse(kExpectNode);
      frames_.emplace_back(NodeFrame{});
      return Flow::Continue;
    }
    if (auto* node = std::get_if<NodeFrame>(&top)) {
      // A value inside a node always follows its key.
      const std::size_t key = *node->pending;  // NOLINT(bugprone-unchecked-optional-access)
      if (key != Children || kind != Container::Array) return refuse(expected_kind(key));
    } else if (kind != Container::Array) {
      return refuse(kExpectSequence);
    }
    frames_.emplace_back(ListFrame{});
    return Flow::Continue;
  }

  Reaction on_key(std::string& key) override {
    Frame& top = frames_.back();
    if (auto* node = std::get_if<NodeFrame>(&top)) return note_key(*node, node->keys.find(key));
    auto& frame = std::get<RootFrame>(top);
    const auto index = frame.keys.find(key);
    if (!index) return Flow::Skip;
    if (auto marked = frame.keys.mark(*index); !marked)
      return std::unexpected(failure(marked.error()));
    frame.pending = true;
    return Flow::Continue;
  }

  Reaction on_end(Container /*kind*/) override {
    Frame finished = std::move(frames_.back());
    frames_.pop_back();
    return std::visit(
        [&](auto& frame) -> Reaction {
          using F = std::decay_t<decltype(frame)>;
          if constexpr (std::is_same_v<F, RootFrame>) {
            if (auto complete = frame.keys.require(kRootRequired); !complete) {
              return std::unexpected(failure(complete.error()));
            }
          } else if constexpr (std::is_same_v<F, NodeFrame>) {
            if (auto complete = frame.keys.require(kNodeRequired); !complete) {
              return std::unexpected(failure(complete.error()));
            }
            std::get<ListFrame>(frames_.back()).nodes.push_back(std::move(frame.node));
          } else {
            hand_up(std::move(frame.nodes));
          }
          return Flow::Continue;
        },
        finished);
  }

 private:
  static Reaction note_key(NodeFrame& node, std::optional<std::size_t> index) {
    if (!index) return Flow::Skip;
    if (auto marked = node.keys.mark(*index); !marked)
      return std::unexpected(failure(marked.error()));
    node.pending = index;
    return Flow::Continue;
  }

  // A finished list belongs to the node or root that opened it.
  void hand_up(std::vector<LsblkNode> nodes) {
    Frame& owner = frames_.back();
    if (auto* node = std::get_if<NodeFrame>(&owner)) {
      node->node.children = std::move(nodes);
      node->pending.reset();
    } else {
      std::get<RootFrame>(owner).pending = false;
      root.blockdevices = std::move(nodes);
    }
  }

  std::vector<Frame> frames_;
};

}  // namespace

const std::vector<std::string>& lsblk_arguments() {
  static const std::vector<std::string> kArguments = {
      "-J", "-b", "-o",
      "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,RO,ROTA,TRAN,VENDOR,MODEL,SERIAL,FSTYPE,FSUSED,FSSIZE,"
      "MOUNTPOINT,LABEL,PTTYPE"};
  return kArguments;
}

std::expected<LsblkRoot, std::string> decode_lsblk(std::string_view json_text) {
  LsblkReader reader;
  if (auto read = json::read_document(json_text, reader); !read)
    return std::unexpected(std::move(read.error()));
  return std::move(reader.root);
}

}  // namespace tarnwick::inventory
