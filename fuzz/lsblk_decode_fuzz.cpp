// SPDX-License-Identifier: MIT
// lsblk output decoding never crashes, agrees with the library on what is
// JSON, and positions every error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.hpp"
#include "inventory/inventory.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto decoded = inventory::decode_lsblk(output);
  fuzz::check_against_library(output, decoded.has_value(),
                              decoded ? std::string_view() : decoded.error());
  if (!decoded) fuzz::require(fuzz::suffix_line(decoded.error()) >= 1);
  return 0;
}
