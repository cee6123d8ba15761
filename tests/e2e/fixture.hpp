// SPDX-License-Identifier: MIT
// Common ground of the end-to-end suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
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

inline std::string format_request(const std::string& device, const std::string& label,
                                  const std::string& passphrase) {
  return "{\"op\":\"luks-format\",\"device\":" + json_string(device) +
         ",\"label\":" + json_string(label) + ",\"passphrase_b64\":\"" + base64(passphrase) + "\"}";
}

inline std::string open_request(const std::string& device, const std::string& name,
                                const std::string& passphrase, bool allow_discards = false) {
  return "{\"op\":\"luks-open\",\"device\":" + json_string(device) + ",\"mapper_name\":\"" + name +
         "\",\"passphrase_b64\":\"" + base64(passphrase) +
         "\",\"allow_discards\":" + (allow_discards ? "true" : "false") + "}";
}

inline std::string close_request(const std::string& name) {
  return "{\"op\":\"luks-close\",\"mapper_name\":\"" + name + "\"}";
}

inline std::string mkfs_request(const std::string& mapped, const std::string& fs,
                                const std::string& label) {
  return "{\"op\":\"mkfs\",\"mapped\":" + json_string(mapped) + ",\"fs\":\"" + fs +
         "\",\"label\":" + json_string(label) + "}";
}

inline std::string verified_wipe_request(const std::string& device, const std::string& mode) {
  return "{\"op\":\"wipe\",\"device\":" + json_string(device) + ",\"mode\":" + json_string(mode) +
         ",\"verify\":true}";
}

inline const std::string kOk = "{\"ok\":true}";

inline std::string error_line(const std::string& text) {
  return "{\"error\":" + json_string(text) + "}";
}

// Splits the answer to one request into its progress values and final line.
struct Answer {
  std::vector<std::uint64_t> progress;
  // {copied, verified} of the lines sent while a wipe is read back.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> verified;
  std::string final_line;
  std::vector<std::string> malformed;  // lines that look like neither
};

inline Answer split_answer(const std::vector<std::string>& lines) {
  Answer answer;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto copied = progress_copied(lines[i])) {
      answer.progress.push_back(*copied);
    } else if (auto read_back = progress_verified(lines[i])) {
      answer.verified.push_back(*read_back);
    } else if (i + 1 == lines.size()) {
      answer.final_line = lines[i];
    } else {
      answer.malformed.push_back(lines[i]);
    }
  }
  return answer;
}

// The wrapper log entries recorded after the first `mark` entries, without
// the read-only lsblk calls: what a request did to the drives.
inline std::vector<nlohmann::json> changes_since(const Sandbox& sandbox, std::size_t mark) {
  std::vector<nlohmann::json> entries;
  auto log = sandbox.tool_log();
  for (std::size_t i = mark; i < log.size(); ++i) {
    auto entry = nlohmann::json::parse(log[i]);
    if (entry.at("tool") != "lsblk") {
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

inline std::vector<std::vector<std::string>> argvs(const std::vector<nlohmann::json>& entries) {
  std::vector<std::vector<std::string>> out;
  for (const auto& entry : entries) {
    out.push_back(entry.at("argv").get<std::vector<std::string>>());
  }
  return out;
}

// Whether the helper ran `cryptsetup close name` and the mapping is gone.
inline bool closed(const Sandbox& sandbox, const std::string& name) {
  for (const auto& argv : sandbox.tool_calls("cryptsetup")) {
    if (argv.size() == 3 && argv[1] == "close" && argv[2] == name) {
      return !sandbox.mapper_target(name);
    }
  }
  return false;
}

// Counts the 4 KiB blocks of a drive for which `matches(offset, block)` holds.
template <typename Predicate>
std::size_t count_blocks(const Sandbox& sandbox, std::size_t index, Predicate matches) {
  const std::uint64_t size = sandbox.drive(index).size();
  std::size_t count = 0;
  for (std::uint64_t offset = 0; offset < size; offset += 16 * layout::kMiB) {
    std::uint64_t length = std::min<std::uint64_t>(16 * layout::kMiB, size - offset);
    std::string chunk = sandbox.read_drive(index, offset, static_cast<std::size_t>(length));
    for (std::uint64_t at = 0; at < length; at += 4096) {
      if (matches(offset + at,
                  std::string_view(chunk).substr(static_cast<std::size_t>(at), 4096))) {
        ++count;
      }
    }
  }
  return count;
}

inline bool is_zero_block(std::string_view block) {
  return block.find_first_not_of('\0') == std::string_view::npos;
}

inline std::size_t block_count(const Sandbox& sandbox, std::size_t index) {
  return static_cast<std::size_t>(sandbox.drive(index).size() / 4096);
}

}  // namespace tdh_e2e
