// The standard library's half of SystemThreads.h, for every build whose
// standard library has threads (all but win32).
#include "platform/SystemThreads.h"

#include <mutex>
#include <new>
#include <thread>

namespace qel {
namespace {

std::recursive_mutex& Native(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}

}  // namespace

SystemLock::SystemLock() {
  static_assert(sizeof(std::recursive_mutex) <= kNativeSize, "room for the lock");
  static_assert(alignof(std::recursive_mutex) <= alignof(SystemLock), "alignment of the lock");
  new (native_) std::recursive_mutex;
}

SystemLock::~SystemLock() { Native(native_).~recursive_mutex(); }

void SystemLock::lock() { Native(native_).lock(); }

void SystemLock::unlock() { Native(native_).unlock(); }

struct SystemThread::Native {
  std::thread thread;
};

SystemThread::SystemThread(std::function<void()> body) : native_(std::make_unique<Native>()) {
  native_->thread = std::thread(std::move(body));
}

SystemThread::~SystemThread() { Join(); }

void SystemThread::Join() {
  if (native_->thread.joinable()) native_->thread.join();
}

void YieldToOtherThreads() { std::this_thread::yield(); }

}  // namespace qel
