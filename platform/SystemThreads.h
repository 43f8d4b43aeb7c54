// A lock and threads for code that has no Platform at hand: the IPC binding's
// one module-global lock, the hosted platform itself, the stand-in libraries
// and the tests. The win32 build's compiler has no std::mutex or std::thread
// (its thread model links no threading library), so Windows' own objects
// stand in there (platform/win32/SystemLock.cpp, SystemThread.cpp); every
// other build uses the standard library's (platform/SystemThreads.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace qel {

// A recursive lock, as a critical section is. It is Lockable, so
// std::lock_guard takes it. It allocates nothing: one at namespace scope is
// ready before any code of the module runs.
class SystemLock {
 public:
  SystemLock();
  ~SystemLock();
  SystemLock(const SystemLock&) = delete;
  SystemLock& operator=(const SystemLock&) = delete;

  void lock();
  void unlock();

  // Room for the operating system's object, which lives in place.
  static constexpr size_t kNativeSize = 64;

 private:
  alignas(16) unsigned char native_[kNativeSize];
};

// A thread that runs |body| once, from construction on; Join, or else the
// destructor, waits for it to end. An exception that leaves |body| ends the
// program, as it would from a std::thread.
class SystemThread {
 public:
  explicit SystemThread(std::function<void()> body);
  ~SystemThread();
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;

  void Join();

  struct Native;

 private:
  std::unique_ptr<Native> native_;
};

// Lets other threads run: for a thread that waits by looking at shared state.
void YieldToOtherThreads();

}  // namespace qel
