// SPDX-License-Identifier: MIT
// What the client reads from the helper's error texts. The helper documents
// these texts (tarnwick-drives-helper(8)) and keeps them byte for byte; they
// are matched here, from one table, and nowhere else in the library.
#pragma once

#include <optional>
#include <string_view>

namespace tarnwick::client::detail {

struct AnswerFacts {
  // "wipe cancelled...": a cancel request stopped the wipe.
  bool cancelled = false;
  // "command `...` stopped: interrupted by SIGINT" (SIGTERM, SIGHUP): a
  // signal stopped the helper mid-request; the signal's number.
  std::optional<int> interrupted_by;
  // "verification failed: ...", or the read-back's tools failing
  // ("command `blockdev ...", "command `cmp ...").
  bool read_back_failed = false;
  // "command `cryptsetup close ...": closing a mapping failed.
  bool close_failed = false;
};

// Every fact the table finds in `text`; several may hold at once (a read-back
// tool that a signal stopped).
AnswerFacts classify_answer(std::string_view text);

}  // namespace tarnwick::client::detail
