// Handle values of the hosted platform: Windows hands out keys, files,
// modules, desktops and locks from one table; so do the parts here, through
// one counter, so that a call log names its handles in the order they opened.
#pragma once

#include <cstdint>

namespace qel {

class HandleCounter {
 public:
  uintptr_t Next() { return next_++; }

 private:
  uintptr_t next_ = 0x10000;
};

template <typename H>
H Handle(uintptr_t value) {
  return reinterpret_cast<H>(value);
}

template <typename H>
uintptr_t HandleValue(H handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

}  // namespace qel
