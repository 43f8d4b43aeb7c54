// Messages for the IPC tests: well-formed ones laid out independently of the
// code under test, malformed variants of them, and exactly-sized heap copies
// so that the sanitizer build catches any read past a message's end.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qel::test {

inline void PutLe16(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t GetLe16(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8;
}

inline uint32_t GetLe32(const std::vector<uint8_t>& bytes, size_t offset) {
  return GetLe16(bytes, offset) | GetLe16(bytes, offset + 2) << 16;
}

struct TestMessage {
  uint8_t flags = 0;
  uint8_t tag = 0;
  std::string sender;
  std::string recipient;
  int32_t code = 0;
  uint32_t sequence = 0;
  std::vector<std::string> params;

  std::vector<uint8_t> Bytes() const {
    const size_t senderLength = sender.size() + 1;
    const size_t recipientLength = recipient.size() + 1;
    const size_t lengthsOffset = 32 + senderLength + recipientLength;
    const size_t dataOffset = lengthsOffset + 4 * params.size();
    size_t total = dataOffset;
    for (const std::string& param : params) total += param.size();

    std::vector<uint8_t> bytes(total, 0);
    PutLe32(bytes, 0, static_cast<uint32_t>(total));
    PutLe16(bytes, 4, 32);
    bytes[6] = flags;
    bytes[7] = tag;
    PutLe16(bytes, 8, static_cast<uint32_t>(senderLength));
    PutLe16(bytes, 10, 32);
    PutLe16(bytes, 12, static_cast<uint32_t>(recipientLength));
    PutLe16(bytes, 14, static_cast<uint32_t>(32 + senderLength));
    PutLe32(bytes, 18, static_cast<uint32_t>(code));
    PutLe16(bytes, 22, static_cast<uint32_t>(params.size()));
    PutLe16(bytes, 24, static_cast<uint32_t>(lengthsOffset));
    PutLe16(bytes, 26, static_cast<uint32_t>(dataOffset));
    PutLe32(bytes, 28, sequence);
    std::memcpy(bytes.data() + 32, sender.data(), sender.size());
    std::memcpy(bytes.data() + 32 + senderLength, recipient.data(), recipient.size());
    size_t cursor = dataOffset;
    for (size_t i = 0; i < params.size(); ++i) {
      PutLe32(bytes, lengthsOffset + 4 * i, static_cast<uint32_t>(params[i].size()));
      std::memcpy(bytes.data() + cursor, params[i].data(), params[i].size());
      cursor += params[i].size();
    }
    return bytes;
  }
};

// A heap buffer of exactly the message's size.
inline std::unique_ptr<uint8_t[]> ExactCopy(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

struct MalformedMessage {
  std::string what;
  std::vector<uint8_t> bytes;  // the whole buffer; its total-size field may differ
};

// Variants of a well-formed message with at least two parameters, the last
// one non-empty, each pointing somewhere outside its total size.
inline std::vector<MalformedMessage> MalformedVariants(const std::vector<uint8_t>& good) {
  std::vector<MalformedMessage> variants;
  const uint32_t total = static_cast<uint32_t>(good.size());
  // Every truncation, header and body: the buffer and its total size end early.
  for (uint32_t size = 4; size < total; ++size) {
    std::vector<uint8_t> bytes(good.begin(), good.begin() + size);
    PutLe32(bytes, 0, size);
    variants.push_back({"truncated to " + std::to_string(size), bytes});
  }
  auto with = [&](const std::string& what, size_t offset, uint32_t value, int width) {
    std::vector<uint8_t> bytes = good;
    if (width == 2) PutLe16(bytes, offset, value);
    if (width == 4) PutLe32(bytes, offset, value);
    variants.push_back({what, bytes});
  };
  const uint32_t lengthsOffset = GetLe16(good, 24);
  const uint32_t dataOffset = GetLe16(good, 26);
  const uint32_t count = GetLe16(good, 22);
  with("total size below a header", 0, 31, 4);
  with("header size 31", 4, 31, 2);
  with("header size 33", 4, 33, 2);
  with("sender name at the end", 10, total, 2);
  with("sender name far out", 10, 0xFFFF, 2);
  with("recipient name far out", 14, 0xFFFF, 2);
  // The last parameter's bytes run to the end without a zero.
  with("recipient name unterminated", 14, total - 1, 2);
  with("lengths array past the end", 24, total - 4 * count + 1, 2);
  with("lengths array far out", 24, 0xFFFF, 2);
  with("count too large", 22, count + (total - lengthsOffset) / 4, 2);
  with("count at its maximum", 22, 0xFFFF, 2);
  with("data past the end", 26, dataOffset + 1, 2);
  with("data far out", 26, 0xFFFF, 2);
  with("first parameter too long", lengthsOffset, GetLe32(good, lengthsOffset) + 1, 4);
  // 32-bit arithmetic would wrap this sum back inside the message.
  with("parameter lengths wrapping 32 bits", lengthsOffset, 0xFFFFFFFFu, 4);
  return variants;
}

}  // namespace qel::test
