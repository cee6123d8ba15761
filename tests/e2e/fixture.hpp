// Common ground of the end-to-end suites.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace tdh_e2e {

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = e2e_unavailable()) {
      GTEST_SKIP() << *reason;
    }
  }
};

inline std::string wipe_request(const std::string& device, const std::string& mode) {
  return "{\"op\":\"wipe\",\"device\":" + json_string(device) + ",\"mode\":" + json_string(mode) +
         "}";
}

inline const std::string kOk = "{\"ok\":true}";

inline std::string error_line(const std::string& text) {
  return "{\"error\":" + json_string(text) + "}";
}

// Splits the answer to one request into its progress values and final line.
struct Answer {
  std::vector<std::uint64_t> progress;
  std::string final_line;
  std::vector<std::string> malformed;  // lines that look like neither
};

inline Answer split_answer(const std::vector<std::string>& lines) {
  Answer answer;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto copied = progress_copied(lines[i])) {
      answer.progress.push_back(*copied);
    } else if (i + 1 == lines.size()) {
      answer.final_line = lines[i];
    } else {
      answer.malformed.push_back(lines[i]);
    }
  }
  return answer;
}

}  // namespace tdh_e2e
