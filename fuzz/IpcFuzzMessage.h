// Arbitrary bytes as a received IPC message. The library hands over a buffer
// that holds at least the message's own total size: a claim beyond the bytes
// given is cut to them, and anything too short to hold the size field is no
// message at all.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ipc/MessageHeader.h"

namespace qel::fuzz {

// A malloc'd copy of exactly |size| bytes (so that the sanitizers catch a
// read past it), or null when |size| cannot hold the total size field.
inline uint8_t* ReceivedMessage(const uint8_t* data, size_t size,
                                void* (*allocate)(size_t) = std::malloc) {
  if (size < 4 || size > UINT32_MAX) return nullptr;
  auto* message = static_cast<uint8_t*>(allocate(size));
  if (message == nullptr) return nullptr;
  std::memcpy(message, data, size);
  if (ReadLe32(message) > size) WriteLe32(message, static_cast<uint32_t>(size));
  return message;
}

}  // namespace qel::fuzz
