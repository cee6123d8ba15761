// SPDX-License-Identifier: MIT
// What the command prints, from pure pieces: sizes, durations, the progress
// bar and lines, the drive listing; and how it reads names and lsblk.
#include "cli/format.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "cli/app.hpp"
#include "cli/drives.hpp"
#include "client/support.hpp"

namespace tarnwick::cli {
namespace {

using namespace std::chrono_literals;
using tdh_client_test::TempDir;
using tdh_client_test::write_file;

TEST(Format, BytesInBinaryUnitsWithOneDecimal) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1.0 MiB"},  // would be "1024.0 KiB"
      {67108864, "64.0 MiB"},
      {16005464064, "14.9 GiB"},
      {18446744073709551615ULL, "16.0 EiB"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(format_bytes(bytes), text) << bytes;
  }
  EXPECT_EQ(format_rate(36805017.6), "35.1 MiB/s");
  EXPECT_EQ(format_rate(-1.0), "0 B/s");
}

TEST(Format, DurationsAsClockTimes) {
  const std::pair<std::chrono::seconds, std::string> cases[] = {
      {0s, "0:00"},       {48s, "0:48"}, {725s, "12:05"},
      {3723s, "1:02:03"}, {-5s, "0:00"}, {360000s, "100:00:00"}};
  for (const auto& [duration, text] : cases) {
    EXPECT_EQ(format_duration(duration), text);
  }
}

client::WipeProgress progress(std::uint64_t written, std::optional<std::uint64_t> total,
                              std::optional<double> rate) {
  client::WipeProgress p;
  p.written = written;
  p.total = total;
  p.bytes_per_second = rate;
  return p;
}

TEST(Format, ProgressBarFitsTheWidthAndSaysWhatIsKnown) {
  const std::uint64_t gib = 1024ULL * 1024 * 1024;
  struct Case {
    client::WipeProgress progress;
    std::size_t width;
    std::string line;
  };
  const Case cases[] = {
      {progress(gib / 4, gib, 1024.0 * 1024 * 64), 80,
       "[#######" + std::string(21, '-') + "]  25%  256.0 MiB of 1.0 GiB  64.0 MiB/s  0:12 left"},
      {progress(0, gib, std::nullopt), 60, "[" + std::string(38, '-') + "]  0%  0 B of 1.0 GiB"},
      {progress(gib, gib, 1.0e6), 200,
       "[" + std::string(50, '#') + "]  100%  1.0 GiB of 1.0 GiB  976.6 KiB/s  0:00 left"},
      // Too narrow for a bar worth having: the details alone, cut to fit.
      {progress(gib / 2, gib, std::nullopt), 30, "50%  512.0 MiB of 1.0 GiB"},
      {progress(gib / 2, gib, std::nullopt), 10, "50%  512.0"},
      // Size unknown: bytes and rate only.
      {progress(5 * 1024 * 1024, std::nullopt, 2.0 * 1024 * 1024), 80,
       "5.0 MiB written  2.0 MiB/s"},
  };
  for (const Case& c : cases) {
    const std::string line = progress_bar_line(c.progress, c.width);
    EXPECT_EQ(line, c.line);
    EXPECT_LE(line.size(), c.width);
  }
}

TEST(Format, PlainLinesForLogs) {
  EXPECT_EQ(progress_plain_line(progress(512, 2048, 128.0)),
            "wiping: 25% (512 B of 2.0 KiB), "
            "128 B/s, 0:12 left");
  EXPECT_EQ(progress_plain_line(progress(512, std::nullopt, std::nullopt)),
            "wiping: 512 B written");
}

TEST(Format, ReadBackShowsWhatWasVerified) {
  auto reading = progress(2048, 2048, 128.0);
  reading.verified = 512;
  EXPECT_EQ(progress_plain_line(reading), "verifying: 25% (512 B of 2.0 KiB), 128 B/s, 0:12 left");
  EXPECT_EQ(
      progress_bar_line(reading, 80),
      "[######" + std::string(20, '-') + "]  25%  512 B of 2.0 KiB verified  128 B/s  0:12 left");
  auto unsized = progress(2048, std::nullopt, std::nullopt);
  unsized.verified = 1024;
  EXPECT_EQ(progress_plain_line(unsized), "verifying: 1.0 KiB verified");
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

TEST(Format, PrinterWritesPlainLinesOnlyEveryIntervalOfTheWipesTime) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  ProgressPrinter printer(pipe_fds[1], false, 10s);
  for (int second : {0, 1, 9, 10, 15, 21}) {
    auto p = progress(static_cast<std::uint64_t>(second), std::nullopt, std::nullopt);
    p.elapsed = std::chrono::seconds(second);
    printer.update(p);
  }
  printer.finish();
  EXPECT_EQ(drain(pipe_fds[0]),
            "wiping: 0 B written\nwiping: 10 B written\nwiping: 21 B written\n");
  EXPECT_EQ(printer.last()->written, 21u);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(Format, PrinterStartsTheReadBackOnALineOfItsOwn) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  ProgressPrinter printer(pipe_fds[1], false, 10s);
  auto written = progress(4, std::nullopt, std::nullopt);
  printer.update(written);
  auto reading = written;
  reading.verified = 0;
  reading.elapsed = 1s;  // within the interval, but a new phase shows at once
  printer.update(reading);
  reading.verified = 2;
  printer.update(reading);
  EXPECT_EQ(drain(pipe_fds[0]), "wiping: 4 B written\nverifying: 0 B verified\n");
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(Format, PrinterRedrawsTheBarInPlaceAndEndsItsLine) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  ProgressPrinter printer(pipe_fds[1], true);
  printer.finish();  // nothing drawn: nothing to end
  printer.update(progress(1, std::nullopt, std::nullopt));
  printer.update(progress(2, std::nullopt, std::nullopt));
  printer.finish();
  EXPECT_EQ(drain(pipe_fds[0]), "\r1 B written\x1b[K\r2 B written\x1b[K\n");
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(Names, MapperNamesGetThePrefixOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"backup", "tarnwick_backup"},
      {"tarnwick_backup", "tarnwick_backup"},
      {"/dev/mapper/tarnwick_backup", "tarnwick_backup"},
      {"/dev/mapper/backup", "tarnwick_backup"},
      {"Tarnwick_x", "tarnwick_Tarnwick_x"},
  };
  for (const auto& [argument, name] : cases) {
    EXPECT_EQ(mapper_name_of(argument), name);
  }
}

TEST(Drives, DescribedWithWhatIsKnownAndFoundThroughLinks) {
  DriveInfo sdc;
  sdc.path = "/dev/sdc";
  sdc.size = 1000;
  sdc.read_only = true;
  EXPECT_EQ(describe_drive(sdc),
            "/dev/sdc  1000 B  unknown model  (read-only)\n"
            "  serial:   none\n"
            "  by-id:    none\n"
            "  mounted:  nothing\n");

  TempDir dir;
  ::mkdir((dir / "by-id").c_str(), 0755);
  write_file(dir / "sdq", "");
  write_file(dir / "sdr", "");
  ASSERT_EQ(::symlink("../sdq", (dir / "by-id/usb-Stick_Q-0:0").c_str()), 0);
  std::vector<DriveInfo> drives(2);
  drives[0].path = dir / "sdr";
  drives[1].path = dir / "sdq";
  EXPECT_EQ(find_drive(drives, dir / "by-id/usb-Stick_Q-0:0"), &drives[1]);
  EXPECT_EQ(find_drive(drives, dir.path() + "//sdq"), &drives[1]);
  EXPECT_EQ(find_drive(drives, dir / "sdx"), nullptr);
  EXPECT_EQ(kernel_name(dir / "by-id/usb-Stick_Q-0:0"), "sdq");
}

}  // namespace
}  // namespace tarnwick::cli
