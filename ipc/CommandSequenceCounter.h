// The module-wide source of command sequence numbers: seeded with the tick
// count at load, one step per request built, wrapping from 4294967295 to 0.
#pragma once

#include <atomic>
#include <cstdint>

namespace qel {

class CommandSequenceCounter {
 public:
  void Seed(uint32_t value) { value_.store(value); }
  // Hands out the current value and advances. Atomic, so commands built on
  // several threads never share a number.
  uint32_t Next() { return value_.fetch_add(1); }
  uint32_t Peek() const { return value_.load(); }

 private:
  std::atomic<uint32_t> value_{0};
};

// The one counter of the module; the module state seeds it at load.
CommandSequenceCounter& TheCommandSequenceCounter();

}  // namespace qel
