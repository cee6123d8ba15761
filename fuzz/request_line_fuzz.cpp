// SPDX-License-Identifier: MIT
// The request loop end to end: bytes in on one descriptor, answer lines out
// on another. Every answer is one line of a known JSON shape, and each input
// line gets exactly the answer its kind calls for, in order.
//
// Input encoding: bytes are taken as they are, except that 0xFF c2 c1 c0 b
// stands for byte b repeated (c2 << 16 | c1 << 8 | c0) times, so that small
// inputs reach the 1 MiB line limit. A literal 0xFF is 0xFF 00 00 01 FF.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_checks.hpp"
#include "fuzz_tree.hpp"
#include "inventory/inventory.hpp"
#include "runner/runner.hpp"
#include "service/service.hpp"
#include "text/text.hpp"

using namespace tarnwick;

namespace {

// One line past the limit and a little more: enough to see the rest of an
// over-long line dropped and the next line read; more only slows runs down.
constexpr std::size_t kMaxExpanded = kMaxRequestLine + 64 * 1024;
// Longer lines are not decoded a second time here (decoding a long line
// under the fuzzer's instrumentation takes most of a run); their answer is
// checked by shape only.
constexpr std::size_t kModelDecodeLimit = 64 * 1024;

// Nothing ever runs: with no drives no request gets past the guard, and
// nothing is opened that a close could name. A call is counted and failed.
class RefusingRunner final : public runner::ToolRunner {
 public:
  std::expected<runner::ToolOutput, runner::HelperError> run(runner::ToolCommand command) override {
    ++calls;
    if (command.stdin_bytes) secure::zeroize(*command.stdin_bytes);
    return std::unexpected(runner::HelperError{runner::HelperError::ToolNotFound{command.program}});
  }
  std::size_t calls = 0;
};

class NoDrives final : public inventory::DriveLister {
 public:
  std::expected<inventory::Snapshot, runner::HelperError> list_drives() const override {
    return std::vector<inventory::Drive>{};
  }
};

std::string expand(std::string_view input) {
  std::string out;
  std::size_t i = 0;
  while (i < input.size() && out.size() < kMaxExpanded) {
    const auto byte = static_cast<unsigned char>(input[i]);
    if (byte == 0xFF && input.size() - i >= 5) {
      const auto at = [&](std::size_t k) {
        return static_cast<std::size_t>(static_cast<unsigned char>(input[i + k]));
      };
      const std::size_t count = at(1) << 16 | at(2) << 8 | at(3);
      out.append(std::min(count, kMaxExpanded - out.size()), input[i + 4]);
      i += 5;
    } else {
      out.push_back(input[i]);
      ++i;
    }
  }
  return out;
}

int memfd_with(std::string_view bytes) {
  const int fd = ::memfd_create("tdh-fuzz", MFD_CLOEXEC);
  fuzz::require(fd >= 0);
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    fuzz::require(n > 0);
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  fuzz::require(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

std::string read_back(int fd) {
  fuzz::require(::lseek(fd, 0, SEEK_SET) == 0);
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    fuzz::require(n >= 0);
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

// What one input line must be answered with.
struct Expected {
  enum class Kind { TooLong, NotUtf8, ParseError, Handled, Undecided } kind;
  std::string parse_error;
};

// For ASCII text (always valid UTF-8), whether it is blank: the White_Space
// characters below 0x80 are TAB..CR and SPACE. Nullopt for other text. A
// plain loop here instead of the text module halves the cost of long lines.
std::optional<bool> ascii_blank(std::string_view text) {
  bool blank = true;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    if (c != ' ' && (c < '\t' || c > '\r')) blank = false;
  }
  return blank;
}

// The loop's rules, restated: lines end at LF (a last line may lack it);
// a line longer than the limit, LF counted, is refused whole; then LF and
// one CR before it are dropped; not UTF-8 is refused, blank is skipped,
// the rest is decoded, and "shutdown" ends the session unanswered.
std::vector<Expected> model(std::string_view input, std::size_t& lines, bool& shutdown) {
  std::vector<Expected> expected;
  lines = 0;
  shutdown = false;
  std::size_t pos = 0;
  while (pos < input.size()) {
    const std::size_t lf = input.find('\n', pos);
    const std::size_t end = lf == std::string_view::npos ? input.size() : lf + 1;
    std::string_view text = input.substr(pos, end - pos);
    pos = end;
    ++lines;
    if (text.size() > kMaxRequestLine) {
      expected.push_back({Expected::Kind::TooLong, {}});
      continue;
    }
    if (text.ends_with('\n')) {
      text.remove_suffix(1);
      if (text.ends_with('\r')) text.remove_suffix(1);
    }
    const std::optional<bool> blank = ascii_blank(text);
    if (!blank && !text::is_valid_utf8(text)) {
      expected.push_back({Expected::Kind::NotUtf8, {}});
      continue;
    }
    if (blank ? *blank : text::is_blank(text)) continue;
    if (text.size() > kModelDecodeLimit) {
      expected.push_back({Expected::Kind::Undecided, {}});
      continue;
    }
    auto request = decode_request(text);
    if (!request) {
      expected.push_back({Expected::Kind::ParseError, std::move(request.error())});
      continue;
    }
    shutdown = std::holds_alternative<Request::Shutdown>(request->value);
    zeroize_request(*request);
    if (shutdown) break;
    expected.push_back({Expected::Kind::Handled, {}});
  }
  return expected;
}

bool is_count(const nlohmann::json& value) { return value.is_number_unsigned(); }

// One line, one JSON object of one of the three shapes.
nlohmann::json parse_answer(std::string_view line) {
  fuzz::require(line.find('\n') == std::string_view::npos);
  fuzz::require(text::is_valid_utf8(line));
  // One parse, no exceptions: answers may echo a 1 MiB request field.
  nlohmann::json answer = nlohmann::json::parse(line, nullptr, false);
  fuzz::require(!answer.is_discarded());
  fuzz::require(answer.is_object() && answer.size() == 1);
  if (answer.contains("ok")) {
    fuzz::require(answer["ok"] == true);
  } else if (answer.contains("error")) {
    fuzz::require(answer["error"].is_string());
  } else {
    fuzz::require(answer.contains("progress"));
    const nlohmann::json& progress = answer["progress"];
    fuzz::require(progress.is_object() && progress.size() == 2);
    fuzz::require(progress.contains("copied") && is_count(progress["copied"]));
    fuzz::require(progress.contains("total") && is_count(progress["total"]));
  }
  return answer;
}

void require_error(const nlohmann::json& answer, std::string_view text) {
  fuzz::require(answer.contains("error"));
  const std::string wanted =
      text::is_valid_utf8(text) ? std::string(text) : text::decode_utf8_lossy(text);
  fuzz::require(answer["error"].get<std::string>() == wanted);
}

fuzz::TempTree& tree() {
  static fuzz::TempTree instance("request-line");
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = expand(std::string_view(reinterpret_cast<const char*>(data), size));

  RefusingRunner runner;
  const NoDrives drives;
  Session session{runner, drives, tree().paths(), {}, -1};
  const int in_fd = memfd_with(input);
  const int out_fd = memfd_with({});
  const SessionEnd end = serve_requests(in_fd, out_fd, session);
  const std::string output = read_back(out_fd);
  ::close(in_fd);
  ::close(out_fd);

  fuzz::require(runner.calls == 0);
  fuzz::require(session.mappers.empty());

  std::vector<nlohmann::json> answers;
  std::size_t finals = 0;
  fuzz::require(output.empty() || output.back() == '\n');
  for (std::size_t pos = 0; pos < output.size();) {
    const std::size_t lf = output.find('\n', pos);
    answers.push_back(parse_answer(std::string_view(output).substr(pos, lf - pos)));
    if (!answers.back().contains("progress")) ++finals;
    pos = lf + 1;
  }

  std::size_t lines = 0;
  bool shutdown = false;
  const std::vector<Expected> expected = model(input, lines, shutdown);
  fuzz::require(finals <= lines);

  std::size_t next = 0;
  for (const Expected& want : expected) {
    // Progress may only come ahead of the final answer of a handled request.
    if (want.kind == Expected::Kind::Handled || want.kind == Expected::Kind::Undecided) {
      while (next < answers.size() && answers[next].contains("progress")) ++next;
    }
    // An undecided line that got no answer can only have been "shutdown".
    if (want.kind == Expected::Kind::Undecided && next == answers.size() &&
        end == SessionEnd::Shutdown) {
      shutdown = true;
      break;
    }
    fuzz::require(next < answers.size());
    const nlohmann::json& answer = answers[next++];
    switch (want.kind) {
      case Expected::Kind::TooLong:
        require_error(answer, "stdin: request exceeds 1 MiB");
        break;
      case Expected::Kind::NotUtf8:
        require_error(answer, "stdin: request is not UTF-8");
        break;
      case Expected::Kind::ParseError:
        require_error(answer, "parse: " + want.parse_error);
        break;
      case Expected::Kind::Handled: {
        // No drive exists and nothing was opened: every request is refused.
        fuzz::require(answer.contains("error"));
        const std::string text = answer["error"].get<std::string>();
        fuzz::require(!text.empty() && !text.starts_with("stdin: ") &&
                      !text.starts_with("parse: "));
        break;
      }
      case Expected::Kind::Undecided: {
        fuzz::require(answer.contains("error"));
        const std::string text = answer["error"].get<std::string>();
        fuzz::require(!text.empty() && !text.starts_with("stdin: "));
        break;
      }
    }
  }
  fuzz::require(next == answers.size());
  fuzz::require(end == (shutdown ? SessionEnd::Shutdown : SessionEnd::EndOfInput));
  return 0;
}
