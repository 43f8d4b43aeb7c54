// Owners for what the logic acquires through the platform, so that every path
// out of a scope gives it back: a loaded module is released, an open file
// closed, a switched error mode switched back, an entered critical section left.
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

struct CriticalSectionRelease {
  Platform* platform = nullptr;
  void operator()(HLock lock) const { platform->DeleteCriticalSection(lock); }
};
// A critical section, deleted with DeleteCriticalSection; null holds nothing.
using UniqueCriticalSection = std::unique_ptr<std::remove_pointer_t<HLock>, CriticalSectionRelease>;

// A new critical section; null when there was no memory for one.
inline UniqueCriticalSection MakeUniqueCriticalSection(Platform& platform) {
  return UniqueCriticalSection(platform.CreateCriticalSection(), CriticalSectionRelease{&platform});
}

// Owns |lock| for the lifetime of the object.
class ScopedCriticalSection {
 public:
  ScopedCriticalSection(Platform& platform, HLock lock) : platform_(platform), lock_(lock) {
    platform_.EnterCriticalSection(lock_);
  }
  ~ScopedCriticalSection() { platform_.LeaveCriticalSection(lock_); }
  ScopedCriticalSection(const ScopedCriticalSection&) = delete;
  ScopedCriticalSection& operator=(const ScopedCriticalSection&) = delete;

 private:
  Platform& platform_;
  HLock lock_;
};

struct FileClose {
  Platform* platform = nullptr;
  void operator()(HFile file) const { platform->CloseHandle(file); }
};
// An open file, closed with CloseHandle. Only an open file goes in: a failed
// open gives InvalidHandleValue(), not null.
using UniqueFile = std::unique_ptr<std::remove_pointer_t<HFile>, FileClose>;

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
