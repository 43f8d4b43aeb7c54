// Windows' half of SystemLock (platform/SystemThreads.h): a critical section
// in place. A file of its own, so that the plug-in links the lock without the
// thread's imports.
#include <windows.h>

#include <new>

#include "platform/SystemThreads.h"

namespace qel {
namespace {

CRITICAL_SECTION* Native(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

SystemLock::SystemLock() {
  static_assert(sizeof(CRITICAL_SECTION) <= kNativeSize, "room for the critical section");
  static_assert(alignof(CRITICAL_SECTION) <= alignof(SystemLock), "alignment of the section");
  ::InitializeCriticalSection(new (native_) CRITICAL_SECTION);
}

SystemLock::~SystemLock() { ::DeleteCriticalSection(Native(native_)); }

void SystemLock::lock() { ::EnterCriticalSection(Native(native_)); }

void SystemLock::unlock() { ::LeaveCriticalSection(Native(native_)); }

}  // namespace qel
