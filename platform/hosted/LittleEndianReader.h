// Little-endian reads from the bytes of an untrusted file (a PE image and
// the resources in it), shared by the parts of the hosted platform that parse
// one.
#pragma once

#include <cstdint>
#include <string>

namespace qel {

// Little-endian reads from a byte range. A read outside the range returns 0
// and marks the reader failed; callers check Ok() before trusting a value.
class LittleEndianReader {
 public:
  LittleEndianReader(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  uint16_t U16(uint64_t offset) {
    if (!Has(offset, 2)) {
      ok_ = false;
      return 0;
    }
    return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
  }
  uint32_t U32(uint64_t offset) {
    if (!Has(offset, 4)) {
      ok_ = false;
      return 0;
    }
    return static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
           (static_cast<uint32_t>(data_[offset + 2]) << 16) |
           (static_cast<uint32_t>(data_[offset + 3]) << 24);
  }
  // |count| UTF-16 units starting at |offset|.
  bool Units(uint64_t offset, uint64_t count, std::u16string& out) {
    if (!Has(offset, count * 2)) {
      ok_ = false;
      return false;
    }
    out.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
      out[i] = static_cast<char16_t>(data_[offset + 2 * i] | (data_[offset + 2 * i + 1] << 8));
    }
    return true;
  }
  bool Ok() const { return ok_; }

 private:
  const uint8_t* data_;
  uint64_t size_;
  bool ok_ = true;
};

}  // namespace qel
