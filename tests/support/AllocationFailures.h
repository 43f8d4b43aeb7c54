// Injected allocation failures, for the tests and fuzz targets of code that
// must survive running out of memory.
//
// This header replaces the program's global operator new and delete: include
// it in exactly one source file of a program. Until a thread arms it, every
// allocation is a plain malloc.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/hosted/HostedPlatform.h"

namespace qel::test {

struct AllocationFailureState {
  int64_t successesLeft = -1;  // -1: not armed
  int allowedScopes = 0;       // inside AllocationsAllowed: nothing fails
  bool failed = false;
};

inline AllocationFailureState& ThreadAllocationFailures() {
  thread_local AllocationFailureState state;
  return state;
}

// From now on, on this thread, |successes| more allocations succeed and every
// one after them throws std::bad_alloc, until StopFailingAllocations.
inline void FailAllocationsAfter(int64_t successes) {
  ThreadAllocationFailures() = AllocationFailureState{successes, 0, false};
}

// Disarms; true when an allocation failed since FailAllocationsAfter.
inline bool StopFailingAllocations() {
  const bool failed = ThreadAllocationFailures().failed;
  ThreadAllocationFailures() = AllocationFailureState{};
  return failed;
}

// Allocations of this thread succeed while one is in scope.
class AllocationsAllowed {
 public:
  AllocationsAllowed() { ++ThreadAllocationFailures().allowedScopes; }
  ~AllocationsAllowed() { --ThreadAllocationFailures().allowedScopes; }
  AllocationsAllowed(const AllocationsAllowed&) = delete;
  AllocationsAllowed& operator=(const AllocationsAllowed&) = delete;
};

// A hosted platform that runs out of memory only where Windows itself could
// fail: its recording of the calls that the dispatcher makes never does.
class PlatformThatNeverFailsToRecord : public HostedPlatform {
 public:
  uint32_t WaitForSingleObject(HSync handle, uint32_t milliseconds) override {
    AllocationsAllowed allowed;
    return HostedPlatform::WaitForSingleObject(handle, milliseconds);
  }
  bool ReleaseMutex(HSync mutex) override {
    AllocationsAllowed allowed;
    return HostedPlatform::ReleaseMutex(mutex);
  }
  bool SetEvent(HSync event) override {
    AllocationsAllowed allowed;
    return HostedPlatform::SetEvent(event);
  }
  bool PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override {
    AllocationsAllowed allowed;
    return HostedPlatform::PostThreadMessageA(threadId, message, wParam, lParam);
  }
  void PostQuitMessage(int exitCode) override {
    AllocationsAllowed allowed;
    HostedPlatform::PostQuitMessage(exitCode);
  }
  void* IpcAllocateMessage(uint32_t size) override {
    AllocationsAllowed allowed;
    return HostedPlatform::IpcAllocateMessage(size);
  }
  int32_t IpcReleaseMessage(void* message) override {
    AllocationsAllowed allowed;
    return HostedPlatform::IpcReleaseMessage(message);
  }
};

}  // namespace qel::test

void* operator new(std::size_t size) {
  qel::test::AllocationFailureState& state = qel::test::ThreadAllocationFailures();
  if (state.allowedScopes == 0 && state.successesLeft >= 0) {
    if (state.successesLeft == 0) {
      state.failed = true;
      throw std::bad_alloc();
    }
    --state.successesLeft;
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return ::operator new(size, nothrow);
}

// Blocks come from malloc, so free is the right release, though the compiler
// sees it pair with new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
