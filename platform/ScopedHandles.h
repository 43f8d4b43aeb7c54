// Owners for what the logic acquires through the platform, so that every path
// out of a scope gives it back: a loaded module is released, a switched error
// mode is switched back.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/Platform.h"

namespace qel {

struct ModuleRelease {
  Platform* platform = nullptr;
  void operator()(HModule module) const { platform->FreeLibrary(module); }
};
// A loaded module, released with FreeLibrary; null holds nothing. Moving one
// into another releases the module that the target held before.
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HModule>, ModuleRelease>;

inline UniqueModule MakeUniqueModule(Platform& platform, HModule module) {
  return UniqueModule(module, ModuleRelease{&platform});
}

// Sets the process error mode for the lifetime of the object and then puts
// back the mode that was in force before.
class ScopedErrorMode {
 public:
  ScopedErrorMode(Platform& platform, uint32_t mode)
      : platform_(platform), saved_(platform.SetErrorMode(mode)) {}
  ~ScopedErrorMode() { platform_.SetErrorMode(saved_); }
  ScopedErrorMode(const ScopedErrorMode&) = delete;
  ScopedErrorMode& operator=(const ScopedErrorMode&) = delete;

 private:
  Platform& platform_;
  uint32_t saved_;
};

}  // namespace qel
