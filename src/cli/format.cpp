// SPDX-License-Identifier: MIT
#include "cli/format.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "cli/io.hpp"

namespace tarnwick::cli {

std::string format_bytes(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // Move up while the value would print as 1024.0 or more.
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string check_line(const std::string& device, const client::CapacityCheck& check) {
  if (check.genuine) {
    return device + ": genuine: " + std::to_string(check.positions) + " positions across " +
           format_bytes(check.claimed) + " held their data";
  }
  return device + ": COUNTERFEIT: only the first " +
         format_bytes(check.lowest_failing.value_or(0)) + " of the claimed " +
         format_bytes(check.claimed) + " store data";
}

std::string format_rate(double bytes_per_second) {
  if (!(bytes_per_second >= 0.0) || bytes_per_second > 1.8e19) {
    bytes_per_second = 0.0;
  }
  return format_bytes(static_cast<std::uint64_t>(std::llround(bytes_per_second))) + "/s";
}

std::string format_duration(std::chrono::seconds duration) {
  long long total = duration.count() < 0 ? 0 : duration.count();
  const long long hours = total / 3600;
  const long long minutes = (total / 60) % 60;
  const long long seconds = total % 60;
  char text[48];
  if (hours > 0) {
    (void)std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
  } else {
    (void)std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
  }
  return text;
}

namespace {

std::string percent_text(double fraction) {
  // Floor, so 100% appears only when the drive is written to its end.
  return std::to_string(static_cast<int>(std::floor(fraction * 100.0))) + "%";
}

}  // namespace

std::string progress_bar_line(const client::WipeProgress& progress, std::size_t width) {
  std::string details;
  const auto fraction = progress.fraction();
  // While the drive is read back, the bar shows the reading.
  const std::uint64_t done = progress.verified.value_or(progress.written);
  if (fraction) {
    // fraction() has a value only when the total has one.
    details = percent_text(*fraction) + "  " + format_bytes(done) + " of " +
              format_bytes(*progress.total) +  // NOLINT(bugprone-unchecked-optional-access)
              (progress.verified ? " verified" : "");
  } else {
    details = format_bytes(done) + (progress.verified ? " verified" : " written");
  }
  if (progress.bytes_per_second) {
    details += "  " + format_rate(*progress.bytes_per_second);
    if (auto left = progress.remaining()) {
      details += "  " + format_duration(*left) + " left";
    }
  }
  if (!fraction) {
    return details.size() <= width ? details : details.substr(0, width);
  }
  // "[" bar "]" and two spaces before the details; a bar narrower than 10
  // says nothing, so then the details stand alone.
  if (width < details.size() + 4 + 10) {
    return details.size() <= width ? details : details.substr(0, width);
  }
  const std::size_t bar = std::min<std::size_t>(width - details.size() - 4, 50);
  const auto filled =
      std::min(bar, static_cast<std::size_t>(std::floor(*fraction * static_cast<double>(bar))));
  return "[" + std::string(filled, '#') + std::string(bar - filled, '-') + "]  " + details;
}

std::string progress_plain_line(const client::WipeProgress& progress) {
  std::string line = progress.verified ? "verifying: " : "wiping: ";
  const std::uint64_t done = progress.verified.value_or(progress.written);
  if (auto fraction = progress.fraction()) {
    // fraction() has a value only when the total has one.
    line += percent_text(*fraction) + " (" + format_bytes(done) + " of " +
            format_bytes(*progress.total) + ")";  // NOLINT(bugprone-unchecked-optional-access)
  } else {
    line += format_bytes(done) + (progress.verified ? " verified" : " written");
  }
  if (progress.bytes_per_second) {
    line += ", " + format_rate(*progress.bytes_per_second);
    if (auto left = progress.remaining()) {
      line += ", " + format_duration(*left) + " left";
    }
  }
  return line;
}

ProgressPrinter::ProgressPrinter(int fd, bool terminal, std::chrono::seconds interval)
    : fd_(fd), terminal_(terminal), interval_(interval) {}

void ProgressPrinter::update(const client::WipeProgress& progress) {
  // The read-back starts: the writing's last state stays on the screen, and
  // the reading is shown at once.
  const bool reading_starts = progress.verified && (!last_ || !last_->verified);
  last_ = progress;
  if (reading_starts) {
    finish();
    printed_at_.reset();
  }
  if (terminal_) {
    // Carriage return, the line, then clear what a longer line left.
    write_text(fd_, "\r" + progress_bar_line(progress, terminal_width(fd_) - 1) + "\x1b[K");
    drawn_ = true;
    return;
  }
  if (printed_at_ && progress.elapsed - *printed_at_ < interval_) {
    return;
  }
  printed_at_ = progress.elapsed;
  write_text(fd_, progress_plain_line(progress) + "\n");
}

void ProgressPrinter::finish() {
  if (terminal_ && drawn_) {
    write_text(fd_, "\n");
    drawn_ = false;
  }
}

MultiProgressPrinter::MultiProgressPrinter(int fd, bool terminal, std::vector<std::string> drives,
                                           std::chrono::seconds interval)
    : fd_(fd),
      terminal_(terminal),
      drives_(std::move(drives)),
      interval_(interval),
      printed_at_(drives_.size()),
      last_(drives_.size()) {
  for (const auto& drive : drives_) {
    label_width_ = std::max(label_width_, drive.size());
  }
}

std::string MultiProgressPrinter::label(std::size_t index) const {
  return drives_[index] + std::string(label_width_ - drives_[index].size(), ' ') + "  ";
}

void MultiProgressPrinter::update(std::size_t index, const client::WipeProgress& progress) {
  if (index >= drives_.size()) {
    return;
  }
  std::optional<client::WipeProgress>& last = last_[index];
  const bool reading_starts = progress.verified && (!last || !last->verified);
  last = progress;
  if (terminal_) {
    const std::size_t width = terminal_width(fd_) - 1;
    const std::size_t bar_width = width > label_width_ + 22 ? width - label_width_ - 2 : 20;
    // Back to the block's first line, then every line redrawn.
    std::string block = drawn_ ? "\r\x1b[" + std::to_string(drives_.size()) + "A" : "\r";
    for (std::size_t i = 0; i < drives_.size(); ++i) {
      const std::optional<client::WipeProgress>& shown = last_[i];
      block += label(i) + (shown ? progress_bar_line(*shown, bar_width) : std::string("waiting")) +
               "\x1b[K\n";
    }
    write_text(fd_, block);
    drawn_ = true;
    return;
  }
  std::optional<std::chrono::steady_clock::duration>& printed_at = printed_at_[index];
  if (reading_starts) {
    printed_at.reset();
  }
  if (printed_at && progress.elapsed - *printed_at < interval_) {
    return;
  }
  printed_at = progress.elapsed;
  write_text(fd_, drives_[index] + ": " + progress_plain_line(progress) + "\n");
}

void MultiProgressPrinter::finish() { drawn_ = false; }

std::string wipe_summary(const std::vector<WipeSummaryRow>& rows) {
  std::vector<std::array<std::string, 4>> table = {{"drive", "result", "time", "speed"}};
  for (const auto& row : rows) {
    std::string time = "-";
    std::string speed = "-";
    if (row.last) {
      const auto seconds = std::chrono::duration<double>(row.last->elapsed).count();
      time = format_duration(std::chrono::duration_cast<std::chrono::seconds>(row.last->elapsed));
      if (seconds > 0) {
        speed = format_rate(static_cast<double>(row.last->written) / seconds);
      }
    }
    table.push_back({row.drive, row.result, time, speed});
  }
  std::array<std::size_t, 4> widths{};
  for (const auto& line : table) {
    for (std::size_t i = 0; i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], line[i].size());
    }
  }
  std::string text;
  for (const auto& line : table) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) {
        text += std::string(widths[i] - line[i].size() + 2, ' ');
      }
    }
    text += "\n";
  }
  return text;
}

std::size_t terminal_width(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) {
    return size.ws_col;
  }
  return 80;
}

}  // namespace tarnwick::cli
