// SPDX-License-Identifier: MIT
// Buffers for secrets (passphrases, their Base64 text, the wipe key): every
// block they ever own is wiped over its whole size before it is released,
// growth copies included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::secure {

// Overwrites [data, data + size) with zeros; the compiler may not drop it.
void zeroize(void* data, std::size_t size) noexcept;

template <class T>
struct ZeroizingAllocator {
  using value_type = T;
  ZeroizingAllocator() noexcept = default;
  template <class U>
  ZeroizingAllocator(const ZeroizingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    zeroize(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const ZeroizingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecretBytes = std::vector<std::uint8_t, ZeroizingAllocator<std::uint8_t>>;
using SecretString = std::basic_string<char, std::char_traits<char>, ZeroizingAllocator<char>>;

// Zeros the used bytes, empties the buffer, then zeros its whole capacity.
void zeroize(SecretBytes& bytes) noexcept;
void zeroize(SecretString& text) noexcept;
void zeroize(std::string& text) noexcept;

}  // namespace tarnwick::secure
