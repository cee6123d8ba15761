// SPDX-License-Identifier: MIT
// The pure half of the probe: where it looks, in which order, what it writes
// there, and what the read-backs mean.

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <string_view>

#include "probe/probe.hpp"

namespace tarnwick::probe {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::string_view kMarkerTag = "TARNWICK-PROBE-1";
constexpr std::size_t kHeaderBytes = 56;  // tag, nonce, position, claimed, block

void put_u64(std::uint8_t* out, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint64_t get_u64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    value |= std::uint64_t{in[i]} << (8 * i);
  }
  return value;
}

// splitmix64: cheap, and every word of the block depends on everything the
// header says, so a block cut or shifted by the drive cannot pass.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

std::uint64_t probe_block_size(std::uint64_t logical_block) {
  return std::max(kProbeBlock, logical_block);
}

std::vector<std::uint64_t> plan_positions(std::uint64_t size, std::uint64_t block) {
  if (block == 0 || size / block == 0) {
    return {};
  }
  const std::uint64_t blocks = size / block;
  const std::uint64_t usable = blocks * block;
  const std::uint64_t last = usable - block;
  std::vector<std::uint64_t> plan;
  if (blocks <= kMinimumPositions) {
    for (std::uint64_t i = 0; i < blocks; ++i) {
      plan.push_back(i * block);
    }
    return plan;
  }
  std::set<std::uint64_t> chosen;
  const auto add = [&](std::uint64_t offset) {
    offset -= offset % block;
    if (offset <= last) {
      chosen.insert(offset);
    }
  };
  // The first and the last MiB: where partition tables and filesystems keep
  // what they cannot lose.
  add(0);
  add(kMiB > block ? kMiB - block : 0);
  add(last);
  add(usable > kMiB ? usable - kMiB : 0);
  // Fake capacity is nearly always a power of two: each boundary, the last
  // block below it (the highest good position when the drive wraps there),
  // and the point halfway to the next boundary.
  for (std::uint64_t boundary = block; boundary < usable; boundary *= 2) {
    add(boundary);
    add(boundary - block);
    add(boundary + boundary / 2);
    if (boundary > usable / 2) {
      break;
    }
  }
  // Evenly spaced positions bound a wrap at any other address; denser until
  // the plan has its minimum.
  for (std::uint64_t parts = 32; chosen.size() < kMinimumPositions || parts == 32; parts *= 2) {
    for (std::uint64_t i = 1; i < parts; ++i) {
      add(blocks / parts * i * block + (blocks % parts) * i / parts * block);
    }
  }
  plan.assign(chosen.begin(), chosen.end());
  return plan;
}

std::vector<std::size_t> write_order(std::size_t count) {
  std::vector<std::size_t> order(count);
  std::iota(order.rbegin(), order.rend(), std::size_t{0});
  return order;
}

std::vector<std::size_t> read_order(std::size_t count) {
  std::vector<std::size_t> order(count);
  if (count == 0) {
    return order;
  }
  // A stride near the golden ratio of the count, coprime with it, visits
  // every index once with neighbours far apart; the last written (index 0)
  // comes last.
  std::size_t step = std::max<std::size_t>(1, count * 618 / 1000);
  while (std::gcd(step, count) != 1) {
    ++step;
  }
  for (std::size_t i = 0; i < count; ++i) {
    order[i] = ((i + 1) * step) % count;
  }
  if (count == 2) {
    std::swap(order[0], order[1]);  // {1, 0} would repeat the writes' order
  }
  return order;
}

std::vector<std::uint8_t> make_marker(const Nonce& nonce, std::uint64_t position,
                                      std::uint64_t claimed, std::uint64_t block) {
  std::vector<std::uint8_t> marker(std::max<std::uint64_t>(block, kHeaderBytes));
  std::memcpy(marker.data(), kMarkerTag.data(), kMarkerTag.size());
  std::memcpy(marker.data() + 16, nonce.data(), nonce.size());
  put_u64(marker.data() + 32, position);
  put_u64(marker.data() + 40, claimed);
  put_u64(marker.data() + 48, block);
  std::uint64_t seed = mix(position) ^ mix(claimed + block);
  for (std::size_t i = 0; i < nonce.size(); i += 8) {
    seed = mix(seed ^ get_u64(nonce.data() + i));
  }
  for (std::size_t at = kHeaderBytes; at < marker.size(); at += 8) {
    const std::uint64_t word = mix(seed ^ at);
    for (std::size_t i = 0; i < 8 && at + i < marker.size(); ++i) {
      marker[at + i] = static_cast<std::uint8_t>(word >> (8 * i));
    }
  }
  return marker;
}

std::optional<std::uint64_t> decode_marker(std::span<const std::uint8_t> bytes, const Nonce& nonce,
                                           std::uint64_t claimed, std::uint64_t block) {
  if (bytes.size() != block || bytes.size() < kHeaderBytes ||
      std::memcmp(bytes.data(), kMarkerTag.data(), kMarkerTag.size()) != 0 ||
      std::memcmp(bytes.data() + 16, nonce.data(), nonce.size()) != 0 ||
      get_u64(bytes.data() + 40) != claimed || get_u64(bytes.data() + 48) != block) {
    return std::nullopt;
  }
  const std::uint64_t position = get_u64(bytes.data() + 32);
  if (position % block != 0 || position >= claimed) {
    return std::nullopt;
  }
  const auto expected = make_marker(nonce, position, claimed, block);
  if (!std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end())) {
    return std::nullopt;
  }
  return position;
}

Verdict judge(std::uint64_t claimed, std::span<const std::uint64_t> positions,
              std::span<const ReadBack> reads) {
  Verdict verdict;
  verdict.claimed = claimed;
  verdict.checked = std::min(positions.size(), reads.size());
  std::vector<bool> failing(verdict.checked, false);
  const auto index_of = [&](std::uint64_t position) -> std::optional<std::size_t> {
    const auto found = std::lower_bound(
        positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(verdict.checked),
        position);
    if (found == positions.begin() + static_cast<std::ptrdiff_t>(verdict.checked) ||
        *found != position) {
      return std::nullopt;
    }
    return static_cast<std::size_t>(found - positions.begin());
  };
  for (std::size_t i = 0; i < verdict.checked; ++i) {
    const ReadBack& read = reads[i];
    if (read.kind != ReadBack::Kind::Marker) {
      failing[i] = true;
      continue;
    }
    if (read.marker_position == positions[i]) {
      continue;
    }
    // Two addresses reached one block: the higher one is the fake.
    const auto other = index_of(read.marker_position);
    const bool other_is_higher = other && read.marker_position > positions[i];
    failing[other_is_higher ? *other : i] = true;
  }
  const auto first = std::find(failing.begin(), failing.end(), true);
  if (first == failing.end()) {
    return verdict;
  }
  const auto lowest = static_cast<std::size_t>(first - failing.begin());
  verdict.lowest_failing = positions[lowest];
  for (std::size_t i = lowest; i-- > 0;) {
    if (reads[i].kind == ReadBack::Kind::Marker && reads[i].marker_position == positions[i]) {
      verdict.highest_good = positions[i];
      break;
    }
  }
  return verdict;
}

std::string format_size(std::uint64_t bytes) {
  static constexpr std::array<std::string_view, 6> kUnits = {"KiB", "MiB", "GiB",
                                                             "TiB", "PiB", "EiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  std::size_t unit = 0;
  double value = static_cast<double>(bytes) / 1024.0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  // One decimal, rounded down: "at most 7.8 GiB" must not round up.
  const auto tenths = static_cast<std::uint64_t>(value * 10.0);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " +
         std::string(kUnits[unit]);
}

}  // namespace tarnwick::probe
