// SPDX-License-Identifier: MIT
// Texts the command shows: sizes, rates, durations and the wipe progress,
// as a bar on a terminal or as plain periodic lines elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/client.hpp"

namespace tarnwick::cli {

// "0 B", "512 B", "1.0 KiB", "14.3 GiB": binary units, one decimal.
std::string format_bytes(std::uint64_t bytes);
// format_bytes of the rounded rate, then "/s".
std::string format_rate(double bytes_per_second);
// "0:48", "12:05", "1:02:03".
std::string format_duration(std::chrono::seconds duration);

// One terminal line of at most `width` columns:
//   [#########---------]  42%  1.2 GiB of 2.9 GiB  35.1 MiB/s  0:48 left
// or, when the size is unknown,
//   1.2 GiB written  35.1 MiB/s
std::string progress_bar_line(const client::WipeProgress& progress, std::size_t width);
// A line for logs: "wiping: 42% (1.2 GiB of 2.9 GiB), 35.1 MiB/s, 0:48 left".
std::string progress_plain_line(const client::WipeProgress& progress);

// Prints the progress of one wipe to a descriptor: redraws the bar on a
// terminal, or writes a plain line every `interval` of the wipe's own time
// otherwise (the first report included).
class ProgressPrinter {
 public:
  ProgressPrinter(int fd, bool terminal, std::chrono::seconds interval = std::chrono::seconds(10));
  void update(const client::WipeProgress& progress);
  // Ends the bar's line, so what follows starts on a line of its own.
  void finish();
  std::optional<client::WipeProgress> last() const { return last_; }

 private:
  int fd_;
  bool terminal_;
  std::chrono::seconds interval_;
  bool drawn_ = false;
  std::optional<std::chrono::steady_clock::duration> printed_at_;
  std::optional<client::WipeProgress> last_;
};

// The progress of several wipes at once, one line per drive, each line
// beginning with the drive's path: on a terminal one bar per drive, the
// block redrawn in place; otherwise a plain line per drive every `interval`
// of that wipe's own time (its first report included).
class MultiProgressPrinter {
 public:
  MultiProgressPrinter(int fd, bool terminal, std::vector<std::string> drives,
                       std::chrono::seconds interval = std::chrono::seconds(10));
  void update(std::size_t index, const client::WipeProgress& progress);
  // Leaves the block as it is and moves below it; the next update draws a
  // fresh block.
  void finish();
  std::optional<client::WipeProgress> last(std::size_t index) const { return last_.at(index); }

 private:
  std::string label(std::size_t index) const;

  int fd_;
  bool terminal_;
  std::vector<std::string> drives_;
  std::chrono::seconds interval_;
  std::size_t label_width_ = 0;
  bool drawn_ = false;
  std::vector<std::optional<std::chrono::steady_clock::duration>> printed_at_;
  std::vector<std::optional<client::WipeProgress>> last_;
};

// One row of the table that ends a wipe of several drives.
struct WipeSummaryRow {
  std::string drive;
  std::string result;  // "ok", "failed", "cancelled", "interrupted"
  // From the last progress report, when one came.
  std::optional<client::WipeProgress> last;
};
// The table, a header line and one line per drive, columns aligned:
//   drive     result  time  speed
//   /dev/sdb  ok      0:48  35.1 MiB/s
// The speed is the bytes written over the whole time (a read-back
// included); "-" where no progress came.
std::string wipe_summary(const std::vector<WipeSummaryRow>& rows);

// The one line a capacity check ends with:
//   /dev/sdb: genuine: 72 positions across 14.9 GiB held their data
//   /dev/sdb: COUNTERFEIT: only the first 7.8 GiB of the claimed 64.0 GiB store data
std::string check_line(const std::string& device, const client::CapacityCheck& check);

// Terminal width of `fd`, or 80 when it has none.
std::size_t terminal_width(int fd);

}  // namespace tarnwick::cli
