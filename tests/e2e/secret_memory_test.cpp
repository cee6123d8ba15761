// SPDX-License-Identifier: MIT
// Once a "luks-format" or "luks-open" has been answered, nothing of its
// passphrase may remain in the helper: neither the decoded bytes nor the
// Base64 text they travelled in. The real helper is driven against a real
// container, and its whole writable memory is read through /proc while it
// waits for its next line.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "e2e/fixture.hpp"
#include "support/memory_scan.hpp"

namespace tdh_e2e {
namespace {

using tarnwick::testing::find_runs;
using tarnwick::testing::report;
using tarnwick::testing::total_size;
using tarnwick::testing::writable_memory;
using ::testing::ElementsAre;

// Random-looking and fixed, so that a hit is never a coincidence.
const std::string kPassphrase = "q7Vf#Lm2x9Kw!Rz4pT8d&Ns6Jh1Yc%Gb3Xe5Ua^Wk0Po7Ei*Zn2Hr8Qs$Dm4Bt6";
const std::string kMapperName = "tarnwick_e2e_scan_control";

class SecretMemoryTest : public E2eTest {};

// Waits until the helper waits for its standard input: in read(2) on it, or
// in the poll(2) without timeout that watches it and the stop signals. Its
// answer is out and so is all the clean-up after it, and nothing in its
// memory moves until the next line comes.
void wait_for_next_read(pid_t pid) {
  const std::string reading = std::to_string(SYS_read) + " 0x0 ";
  const std::string polling = std::to_string(SYS_poll) + " ";
  const std::string input_and_stop = " 0x2 0xffffffff ";
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string state;
  while (std::chrono::steady_clock::now() < deadline) {
    state = read_file("/proc/" + std::to_string(pid) + "/syscall");
    if (state.starts_with(reading) ||
        (state.starts_with(polling) && state.find(input_and_stop) != std::string::npos)) {
      return;
    }
    std::this_thread::sleep_for(1ms);
  }
  throw std::runtime_error("the helper did not go back to reading its input: " + state);
}

std::string format_request(const std::string& device, const std::string& passphrase) {
  return "{\"op\":\"luks-format\",\"device\":" + json_string(device) +
         ",\"label\":\"e2e secrets\",\"passphrase_b64\":\"" + base64(passphrase) + "\"}";
}

std::string open_request(const std::string& device, const std::string& name,
                         const std::string& passphrase) {
  return "{\"op\":\"luks-open\",\"device\":" + json_string(device) + ",\"mapper_name\":\"" + name +
         "\",\"passphrase_b64\":\"" + base64(passphrase) + "\",\"allow_discards\":false}";
}

TEST_F(SecretMemoryTest, NoPassphraseBytesOrBase64TextSurviveFormatAndOpen) {
  ASSERT_GE(kPassphrase.size(), 48u);
  const std::string passphrase_b64 = base64(kPassphrase);
  Sandbox sandbox({drive("SECRETS").size_mib(256).with_luks_payload().blank()});
  const auto& vault = sandbox.drive(0);
  auto helper = sandbox.start_helper();
  const pid_t pid = helper->pid();
  ASSERT_GT(pid, 0);

  // Proves that the scan sees the memory it claims to: the helper's start-up
  // environment sits on its stack for the whole session.
  const std::string start_path = "PATH=/nonexistent/tdh-e2e";
  {
    wait_for_next_read(pid);
    const auto regions = writable_memory(pid);
    EXPECT_FALSE(find_runs(regions, start_path).empty())
        << "the scan missed the start-up environment in " << total_size(regions) << " bytes";
  }

  ASSERT_THAT(helper->request(format_request(vault.path(), kPassphrase)), ElementsAre(kOk));
  {
    wait_for_next_read(pid);
    const auto regions = writable_memory(pid);
    SCOPED_TRACE("after luks-format, " + std::to_string(regions.size()) + " writable mappings, " +
                 std::to_string(total_size(regions)) + " bytes");
    EXPECT_FALSE(find_runs(regions, start_path).empty()) << "the scan saw nothing";
    auto raw = find_runs(regions, kPassphrase);
    EXPECT_TRUE(raw.empty()) << "passphrase bytes remain:" << report(raw);
    auto text = find_runs(regions, passphrase_b64);
    EXPECT_TRUE(text.empty()) << "passphrase Base64 text remains:" << report(text);
  }

  ASSERT_THAT(helper->request(open_request(vault.path(), kMapperName, kPassphrase)),
              ElementsAre(kOk));
  ASSERT_TRUE(sandbox.mapper_target(kMapperName));
  {
    wait_for_next_read(pid);
    const auto regions = writable_memory(pid);
    SCOPED_TRACE("after luks-open, " + std::to_string(regions.size()) + " writable mappings, " +
                 std::to_string(total_size(regions)) + " bytes");
    // The session keeps the name it opened (in its heap-allocated set), so it
    // must be found: a scan that misses it would miss a passphrase as well.
    auto control = find_runs(regions, kMapperName);
    EXPECT_FALSE(control.empty()) << "the scan missed the session's mapper name";
    auto raw = find_runs(regions, kPassphrase);
    EXPECT_TRUE(raw.empty()) << "passphrase bytes remain:" << report(raw);
    auto text = find_runs(regions, passphrase_b64);
    EXPECT_TRUE(text.empty()) << "passphrase Base64 text remains:" << report(text);
  }

  EXPECT_EQ(helper->finish(), 0);
  EXPECT_TRUE(helper->trailing_lines().empty());
  EXPECT_EQ(helper->stderr_text(), "");
  EXPECT_FALSE(sandbox.mapper_target(kMapperName)) << "the end of the session closes it";
}

}  // namespace
}  // namespace tdh_e2e
