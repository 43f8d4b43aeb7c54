// What VirtualQuery says of the process's memory. The hosted platform cannot
// see the pages of the process it runs in, so it answers from a model: every
// address is committed, read-write memory, except the first 64 KB (never
// mapped on Windows, so small numbers read as pointers are refused) and the
// ranges a test marks with another state or protection. Ranges are kept to
// the byte, where Windows keeps whole pages, so that a test can mark the
// parts of one object; allocation bases and types are not modelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "platform/Platform.h"

namespace qel {

class HostedMemory {
 public:
  HostedMemory();
  // [begin, begin + size) from now on has |state| (kMemCommit, kMemReserve,
  // kMemFree) and |protect| (kPage*, kPageGuard added for a guard page); what
  // it overlaps of earlier marks is forgotten.
  void Mark(const void* begin, size_t size, uint32_t state, uint32_t protect);
  // The run of memory that holds |address|: a marked range, or the unmarked
  // memory between two marked ranges.
  MemoryBasicInformation Query(const void* address) const;

 private:
  struct Range {
    uintptr_t end;
    uint32_t state;
    uint32_t protect;
  };
  std::map<uintptr_t, Range> marked_;  // by first byte; never overlapping
};

}  // namespace qel
