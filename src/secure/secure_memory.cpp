// SPDX-License-Identifier: MIT
#include "secure/secure_memory.hpp"

#include <string.h>

namespace tarnwick::secure {

void zeroize(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) {
    explicit_bzero(data, size);
  }
}

namespace {
template <class Buffer>
void zeroize_buffer(Buffer& buffer) noexcept {
  zeroize(buffer.data(), buffer.size() * sizeof(typename Buffer::value_type));
  buffer.clear();
  zeroize(buffer.data(), buffer.capacity() * sizeof(typename Buffer::value_type));
}
}  // namespace

void zeroize(SecretBytes& bytes) noexcept { zeroize_buffer(bytes); }
void zeroize(SecretString& text) noexcept { zeroize_buffer(text); }
void zeroize(std::string& text) noexcept { zeroize_buffer(text); }

}  // namespace tarnwick::secure
