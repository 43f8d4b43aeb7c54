// Host wide string objects built byte by byte, as each host library lays them
// out on this build's pointer width: what qelevent-tool send passes the
// plug-in, and what the tests and the Windows test host pass it. The fields
// are written here in each library's own order, independently of the reader
// in HostString.cpp, and the buffers are what each library allocates: the
// text, its NUL, and the capacity the library rounds up to, no more.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "bridge/HostString.h"

namespace qel {

class HostStringObject {
 public:
  // |text| as a string of |layout| holds it when constructed from it: in the
  // object's 8-unit buffer when the library has one and the text fits with
  // its NUL (up to 7 units, capacity 7), otherwise in a heap buffer of the
  // capacity the library gives a new string of that length (6.0: the length
  // rounded up to 31 units and more, 2002 and later: to 7 and more, ours:
  // the length) and one unit more, for the NUL; 6.0 keeps a reference count
  // in the unit before the text, and its empty string has no buffer at all.
  // The NUL follows the text; every byte that nothing writes, the allocator
  // word among them, holds 0xA5, so that reading past what the library wrote
  // reads garbage. msvc10's object is 2010's, whose allocator follows the
  // fields that 2012 and later have alone.
  HostStringObject(HostStringLayout layout, std::u16string_view text) {
    std::memset(bytes_, 0xA5, sizeof bytes_);
    const size_t length = text.size();
    const bool inObject = layout != HostStringLayout::msvc6 && length < kObjectBufferUnits;
    const char16_t* heap = nullptr;
    size_t capacity = kObjectBufferUnits - 1;
    if (!inObject && (layout != HostStringLayout::msvc6 || length != 0)) {
      capacity = layout == HostStringLayout::msvc6   ? length | 31
                 : layout == HostStringLayout::mingw ? length
                                                     : length | 7;
      const size_t before = layout == HostStringLayout::msvc6 ? 1 : 0;  // the reference count
      heap_.assign(before + capacity + 1, char16_t{0xA5A5});
      if (before != 0) heap_[0] = 0;
      std::copy(text.begin(), text.end(), heap_.begin() + before);
      heap_[before + length] = u'\0';
      heap = heap_.data() + before;
    } else if (!inObject) {
      capacity = 0;
    }
    switch (layout) {
      case HostStringLayout::msvc6:
        Skip(sizeof(void*));  // the allocator word
        pointerAt_ = Put(heap);
        lengthAt_ = Put(length);
        capacityAt_ = Put(capacity);
        break;
      case HostStringLayout::msvc7:
        Skip(sizeof(void*));  // the allocator word
        pointerAt_ = PutUnion(inObject, text, heap);
        lengthAt_ = Put(length);
        capacityAt_ = Put(capacity);
        break;
      case HostStringLayout::msvc10:
        pointerAt_ = PutUnion(inObject, text, heap);
        lengthAt_ = Put(length);
        capacityAt_ = Put(capacity);
        Skip(sizeof(void*));  // 2010's allocator
        break;
      case HostStringLayout::mingw:
        pointerAt_ = Put(heap);
        lengthAt_ = Put(length);
        capacityAt_ = PutUnion(inObject, text, capacity);
        if (inObject) SetBuffer(reinterpret_cast<const char16_t*>(bytes_ + capacityAt_));
        break;
    }
  }
  HostStringObject(const HostStringObject&) = delete;
  HostStringObject& operator=(const HostStringObject&) = delete;

  // Overwrite one field, for objects no real string can be. The capacity of
  // a mingw string in its own buffer shares its bytes with the text.
  void SetBuffer(const char16_t* units) { Write(pointerAt_, units); }
  void SetLength(size_t length) { Write(lengthAt_, length); }
  void SetCapacity(size_t capacity) { Write(capacityAt_, capacity); }

  const void* Address() const { return bytes_; }
  size_t Size() const { return end_; }

 private:
  static constexpr size_t kObjectBufferUnits = 8;
  static constexpr size_t kUnionBytes = kObjectBufferUnits * sizeof(char16_t);

  template <typename T>
  void Write(size_t at, T value) {
    std::memcpy(bytes_ + at, &value, sizeof value);
  }
  void Skip(size_t bytes) { end_ += bytes; }
  // Appends a field; returns its offset.
  template <typename T>
  size_t Put(T value) {
    Write(end_, value);
    Skip(sizeof value);
    return end_ - sizeof value;
  }
  // Appends the 16-byte union of the object's own buffer and one word: the
  // text's units, or |word| in its first bytes.
  template <typename T>
  size_t PutUnion(bool holdsText, std::u16string_view text, T word) {
    if (!holdsText) {
      Write(end_, word);
    } else {
      if (!text.empty()) {  // an empty view may have no pointer for memcpy
        std::memcpy(bytes_ + end_, text.data(), text.size() * sizeof(char16_t));
      }
      Write(end_ + text.size() * sizeof(char16_t), u'\0');
    }
    Skip(kUnionBytes);
    return end_ - kUnionBytes;
  }

  alignas(void*) unsigned char bytes_[3 * sizeof(void*) + kUnionBytes];
  size_t end_ = 0;
  size_t pointerAt_ = 0;
  size_t lengthAt_ = 0;
  size_t capacityAt_ = 0;
  std::vector<char16_t> heap_;
};

}  // namespace qel
