// SPDX-License-Identifier: MIT
#include "secure/secure_memory.hpp"

#include <string.h>

namespace tarnwick::secure {

void wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) {
    explicit_bzero(data, size);
  }
}

namespace {
template <class Buffer>
void wipe_buffer(Buffer& buffer) noexcept {
  wipe(buffer.data(), buffer.size() * sizeof(typename Buffer::value_type));
  buffer.clear();
  wipe(buffer.data(), buffer.capacity() * sizeof(typename Buffer::value_type));
}
}  // namespace

void wipe(SecretBytes& bytes) noexcept { wipe_buffer(bytes); }
void wipe(SecretString& text) noexcept { wipe_buffer(text); }
void wipe(std::string& text) noexcept { wipe_buffer(text); }

}  // namespace tarnwick::secure
