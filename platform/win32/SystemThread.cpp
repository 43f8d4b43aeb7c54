// Windows' half of SystemThread and YieldToOtherThreads
// (platform/SystemThreads.h).
#include <process.h>
#include <windows.h>

#include <stdexcept>

#include "platform/SystemThreads.h"

namespace qel {

struct SystemThread::Native {
  std::function<void()> body;
  HANDLE thread = nullptr;
};

namespace {

// Started through the C runtime, which then sets up its own per-thread data.
unsigned __stdcall Run(void* native) {
  static_cast<SystemThread::Native*>(native)->body();
  return 0;
}

}  // namespace

SystemThread::SystemThread(std::function<void()> body) : native_(std::make_unique<Native>()) {
  native_->body = std::move(body);
  const uintptr_t thread = ::_beginthreadex(nullptr, 0, Run, native_.get(), 0, nullptr);
  if (thread == 0) throw std::runtime_error("no thread could be started");
  native_->thread = reinterpret_cast<HANDLE>(thread);
}

SystemThread::~SystemThread() { Join(); }

void SystemThread::Join() {
  if (native_->thread == nullptr) return;
  ::WaitForSingleObject(native_->thread, INFINITE);
  ::CloseHandle(native_->thread);
  native_->thread = nullptr;
}

void YieldToOtherThreads() { ::Sleep(0); }

}  // namespace qel
