// SPDX-License-Identifier: MIT
// The capacity probe: proves in seconds that a drive stores data at the
// addresses it claims, by writing a marker at many positions spread over its
// whole size, reading every one back, and putting the saved blocks back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "guard/guard.hpp"
#include "runner/runner.hpp"
#include "secure/secure_memory.hpp"
#include "system/system.hpp"

namespace tarnwick::probe {

using runner::HelperError;
using runner::ToolCommand;
using runner::ToolRunner;

// The unit the probe saves, marks and restores; never smaller than the
// drive's logical block, so that direct I/O accepts it.
inline constexpr std::uint64_t kProbeBlock = 4096;
// Fewer positions than this are only planned when the drive has fewer blocks.
inline constexpr std::size_t kMinimumPositions = 64;
inline constexpr std::size_t kNonceBytes = 16;

using Nonce = std::array<std::uint8_t, kNonceBytes>;

// Byte offsets to probe, ascending, each a multiple of `block`, each block
// wholly inside `size`: the first and last MiB, every power-of-two boundary
// below the size and the block just below it, the points halfway between
// two boundaries, and evenly spaced positions; at least kMinimumPositions,
// or every block of a smaller drive. Empty when not one block fits.
std::vector<std::uint64_t> plan_positions(std::uint64_t size, std::uint64_t block);

// The block size for a drive whose logical block is `logical_block` bytes:
// kProbeBlock or the logical block, whichever is larger.
std::uint64_t probe_block_size(std::uint64_t logical_block);

// The order in which positions (indices into the plan) are written: from the
// top down, so that on a drive that wraps around, the real lower block is
// written last and the alias above it reads back the lower one's marker.
std::vector<std::size_t> write_order(std::size_t count);
// Another order than the writes, spreading consecutive reads far apart, so
// that a drive's small cache of its latest writes cannot answer them.
std::vector<std::size_t> read_order(std::size_t count);

// A block that cannot occur by chance: a fixed tag, the probe's nonce, the
// position, the claimed size and the block size, then a pattern derived
// from all of them up to the end of the block.
std::vector<std::uint8_t> make_marker(const Nonce& nonce, std::uint64_t position,
                                      std::uint64_t claimed, std::uint64_t block);
// The position a block read back is the marker of, if it is a whole, intact
// marker of this probe (same nonce, claimed size and block size).
std::optional<std::uint64_t> decode_marker(std::span<const std::uint8_t> bytes, const Nonce& nonce,
                                           std::uint64_t claimed, std::uint64_t block);

// What one position gave when it was read back.
struct ReadBack {
  enum class Kind { Marker, Unrecognised, Failed };
  Kind kind = Kind::Unrecognised;
  std::uint64_t marker_position = 0;  // Kind::Marker: whose marker it was

  static ReadBack marker(std::uint64_t position) { return {Kind::Marker, position}; }
  static ReadBack unrecognised() { return {Kind::Unrecognised, 0}; }
  // A read or write of the position failed (an I/O error).
  static ReadBack failed() { return {Kind::Failed, 0}; }
};

struct Verdict {
  std::uint64_t claimed = 0;
  std::size_t checked = 0;
  // Set for a drive that did not store what it claims: the lowest position
  // that failed, and the highest position below it that held its marker.
  std::optional<std::uint64_t> lowest_failing;
  std::optional<std::uint64_t> highest_good;

  bool genuine() const { return !lowest_failing; }
};

// Judges read-backs (one per planned position, same order). A position fails
// when it read back garbage or an error, or its marker appeared at another
// position: then two addresses reached the same storage, and the higher of
// the two is the one the drive does not really have.
Verdict judge(std::uint64_t claimed, std::span<const std::uint64_t> positions,
              std::span<const ReadBack> reads);

// "7.8 GiB": binary units with one decimal, down to bytes ("512 B").
std::string format_size(std::uint64_t bytes);

// The dd command lines. Offsets are in blocks of `block` bytes; every access
// to the drive is direct, writes are synchronous, and nothing is truncated.
ToolCommand read_block_command(const std::string& device, std::uint64_t block, std::uint64_t index);
ToolCommand write_block_command(const std::string& device, std::uint64_t block, std::uint64_t index,
                                secure::SecretBytes contents);

// What a probe found, for the result line.
struct ProbeResult {
  Verdict verdict;
  std::uint64_t block = kProbeBlock;
  // Byte offsets whose saved block did not read back after it was restored.
  std::vector<std::uint64_t> unrestored;
  // Set when the probe ended early (a stop, or a tool that could not run):
  // the verdict is then empty, but the blocks were restored all the same.
  std::optional<HelperError> stopped;
};

// Called with the bytes the probe has written to the drive so far.
using ProgressCallback = std::function<void(std::uint64_t written)>;
// Called once with the result, before the final answer.
using ResultCallback = std::function<void(const ProbeResult&)>;

// Probes `device` (the stable path the guard chose) of `size` bytes whose
// logical block is `logical_block` bytes. A probe that ran to the end
// returns its result even for a counterfeit; errors are the tools' failures
// and stops (the saved blocks are restored first in every case).
std::expected<ProbeResult, HelperError> probe_device(ToolRunner& runner, std::string_view device,
                                                     std::uint64_t size,
                                                     std::uint64_t logical_block,
                                                     const Nonce& nonce,
                                                     const ProgressCallback& on_progress);

// The final error text for a result, or nothing for a genuine drive whose
// blocks were all restored.
std::optional<std::string> result_error(const ProbeResult& result);

// The "probe" request: guard (the drive stays locked until the answer),
// size, nonce, probe; on_result gets the result line's content.
std::expected<void, std::string> handle_probe(ToolRunner& runner, const guard::GuardContext& guard,
                                              std::string_view device,
                                              const ProgressCallback& on_progress,
                                              const ResultCallback& on_result);

}  // namespace tarnwick::probe
