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

#include <cstring>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/fixture.hpp"

namespace tdh_e2e {
namespace {

using ::testing::ElementsAre;

// A freed block loses its first bytes to the allocator's bookkeeping, so the
// scan looks for any run of this many bytes, not for whole strings.
constexpr std::size_t kWindow = 16;

// Random-looking and fixed, so that a hit is never a coincidence.
const std::string kPassphrase = "q7Vf#Lm2x9Kw!Rz4pT8d&Ns6Jh1Yc%Gb3Xe5Ua^Wk0Po7Ei*Zn2Hr8Qs$Dm4Bt6";
const std::string kMapperName = "tarnwick_e2e_scan_control";

class SecretMemoryTest : public E2eTest {};

// One writable mapping of the helper as it was read.
struct Region {
  std::string mapping;  // its line in /proc/PID/maps
  std::uint64_t start = 0;
  std::string bytes;
};

std::vector<Region> writable_memory(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::vector<Region> regions;
  Fd mem(::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (!mem) {
    throw std::runtime_error(errno_message("open " + proc + "/mem", errno));
  }
  std::istringstream maps(read_file(proc + "/maps"));
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range;
    std::string perms;
    fields >> range >> perms;
    if (perms.size() < 2 || perms[1] != 'w') {
      continue;
    }
    const auto dash = range.find('-');
    Region region;
    region.mapping = line;
    region.start = std::stoull(range.substr(0, dash), nullptr, 16);
    const auto end = std::stoull(range.substr(dash + 1), nullptr, 16);
    region.bytes.resize(end - region.start);
    std::size_t done = 0;
    while (done < region.bytes.size()) {
      const ssize_t n = ::pread(mem.get(), region.bytes.data() + done, region.bytes.size() - done,
                                static_cast<off_t>(region.start + done));
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    region.bytes.resize(done);
    if (done > 0) {
      regions.push_back(std::move(region));
    }
  }
  return regions;
}

std::size_t total_size(const std::vector<Region>& regions) {
  std::size_t total = 0;
  for (const auto& region : regions) {
    total += region.bytes.size();
  }
  return total;
}

std::string printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7f) ? c : '.';
  }
  return out;
}

// Every place where some run of kWindow bytes of `needle` lies, one entry per
// place (overlapping runs of one copy count once), each with its mapping,
// offset and printable context; empty when there is none.
std::vector<std::string> find_runs(const std::vector<Region>& regions, const std::string& needle) {
  std::vector<std::string> found;
  std::set<std::pair<std::size_t, std::uint64_t>> copies;  // region, address of needle[0]
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const std::string& bytes = regions[r].bytes;
    for (std::size_t i = 0; i + kWindow <= needle.size(); ++i) {
      std::size_t from = 0;
      while (from < bytes.size()) {
        const void* hit =
            ::memmem(bytes.data() + from, bytes.size() - from, needle.data() + i, kWindow);
        if (hit == nullptr) {
          break;
        }
        const auto offset = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
        from = offset + 1;
        if (!copies.insert({r, regions[r].start + offset - i}).second) {
          continue;
        }
        std::size_t length = kWindow;
        while (i + length < needle.size() && offset + length < bytes.size() &&
               bytes[offset + length] == needle[i + length]) {
          ++length;
        }
        const std::size_t before = std::min<std::size_t>(offset, 64);
        const std::size_t after = std::min<std::size_t>(bytes.size() - offset, length + 64);
        std::ostringstream entry;
        entry << "bytes " << i << ".." << i + length << " of " << needle.size() << " at offset 0x"
              << std::hex << offset << " (address 0x" << regions[r].start + offset << std::dec
              << ") of " << regions[r].mapping << "\n    ["
              << printable(std::string_view(bytes).substr(offset - before, before + after)) << "]";
        found.push_back(entry.str());
      }
    }
  }
  return found;
}

std::string report(const std::vector<std::string>& found) {
  std::string text;
  for (const auto& entry : found) {
    text += "\n  " + entry;
  }
  return text;
}

// Waits until the helper sits in read(2) on its standard input: its answer
// is out and so is all the clean-up after it, and nothing in its memory moves
// until the next line comes.
void wait_for_next_read(pid_t pid) {
  const std::string expected = std::to_string(SYS_read) + " 0x0 ";
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string state;
  while (std::chrono::steady_clock::now() < deadline) {
    state = read_file("/proc/" + std::to_string(pid) + "/syscall");
    if (state.starts_with(expected)) {
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
