// SPDX-License-Identifier: MIT
#include "client/answers.hpp"

#include <signal.h>

namespace tarnwick::client::detail {

namespace {

enum class Fact { Cancelled, Interrupted, ReadBackFailed, CloseFailed };
enum class At { Start, End };

struct DocumentedText {
  std::string_view text;
  At at;
  Fact fact;
  int signal = 0;  // Interrupted only
};

// The helper's texts as its manual gives them; the variable parts (the
// command, the byte offset, the tool's own error) lie outside the matched
// part.
constexpr DocumentedText kTexts[] = {
    {"wipe cancelled", At::Start, Fact::Cancelled},
    {"probe cancelled", At::Start, Fact::Cancelled},
    {"` stopped: interrupted by SIGINT", At::End, Fact::Interrupted, SIGINT},
    {"` stopped: interrupted by SIGTERM", At::End, Fact::Interrupted, SIGTERM},
    {"` stopped: interrupted by SIGHUP", At::End, Fact::Interrupted, SIGHUP},
    {"verification failed", At::Start, Fact::ReadBackFailed},
    {"verification incomplete", At::Start, Fact::ReadBackFailed},
    {"command `cmp ", At::Start, Fact::ReadBackFailed},
    {"command `cryptsetup close ", At::Start, Fact::CloseFailed},
};

}  // namespace

AnswerFacts classify_answer(std::string_view text) {
  AnswerFacts facts;
  for (const DocumentedText& known : kTexts) {
    if (known.at == At::Start ? !text.starts_with(known.text) : !text.ends_with(known.text)) {
      continue;
    }
    switch (known.fact) {
      case Fact::Cancelled:
        facts.cancelled = true;
        break;
      case Fact::Interrupted:
        facts.interrupted_by = known.signal;
        break;
      case Fact::ReadBackFailed:
        facts.read_back_failed = true;
        break;
      case Fact::CloseFailed:
        facts.close_failed = true;
        break;
    }
  }
  return facts;
}

}  // namespace tarnwick::client::detail
