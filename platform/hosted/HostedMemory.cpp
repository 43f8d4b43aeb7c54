#include "platform/hosted/HostedMemory.h"

#include <iterator>

namespace qel {

HostedMemory::HostedMemory() { Mark(nullptr, 0x10000, kMemFree, kPageNoAccess); }

void HostedMemory::Mark(const void* begin, size_t size, uint32_t state, uint32_t protect) {
  if (size == 0) return;
  const auto start = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t end = start + size;
  // Cut what overlaps [start, end) out of the marks before it and after it.
  auto it = marked_.lower_bound(start);
  if (it != marked_.begin()) {
    auto before = std::prev(it);
    if (before->second.end > start) {
      const Range cut = before->second;
      before->second.end = start;
      if (cut.end > end) marked_[end] = cut;
    }
  }
  for (it = marked_.lower_bound(start); it != marked_.end() && it->first < end;) {
    if (it->second.end > end) marked_[end] = it->second;
    it = marked_.erase(it);
  }
  marked_[start] = {end, state, protect};
}

MemoryBasicInformation HostedMemory::Query(const void* address) const {
  const auto at = reinterpret_cast<uintptr_t>(address);
  auto next = marked_.upper_bound(at);
  uintptr_t start = 0;
  if (next != marked_.begin()) {
    const auto& [first, range] = *std::prev(next);
    if (at < range.end) {
      return {reinterpret_cast<const void*>(first),
              reinterpret_cast<const void*>(first),
              range.protect,
              range.end - first,
              range.state,
              range.protect,
              0};
    }
    start = range.end;
  }
  // The last byte of the address space stays out, so that no region's end wraps to 0.
  const uintptr_t end = next == marked_.end() ? UINTPTR_MAX : next->first;
  return {reinterpret_cast<const void*>(start),
          reinterpret_cast<const void*>(start),
          kPageReadWrite,
          end - start,
          kMemCommit,
          kPageReadWrite,
          0};
}

}  // namespace qel
