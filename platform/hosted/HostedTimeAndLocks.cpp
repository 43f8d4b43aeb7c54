#include "platform/hosted/HostedTimeAndLocks.h"

namespace qel {

void HostedTimeAndLocks::Sleep(uint32_t milliseconds, std::unique_lock<SystemLock>& platformLock) {
  sleeps_.push_back(milliseconds);
  std::function<void(uint32_t)> hook = sleepHook_;
  platformLock.unlock();
  if (hook) hook(milliseconds);
}

HLock HostedTimeAndLocks::CreateSection() {
  uintptr_t handle = handles_.Next();
  sections_[handle] = std::make_unique<CriticalSection>();
  return Handle<HLock>(handle);
}

void HostedTimeAndLocks::Enter(HLock section, std::unique_lock<SystemLock>& platformLock) {
  auto found = sections_.find(HandleValue(section));
  if (found == sections_.end()) return;
  CriticalSection* entered = found->second.get();
  ++entered->waiting;
  platformLock.unlock();
  entered->lock.lock();
  platformLock.lock();
  --entered->waiting;
}

void HostedTimeAndLocks::Leave(HLock section) {
  auto found = sections_.find(HandleValue(section));
  if (found != sections_.end()) found->second->lock.unlock();
}

int HostedTimeAndLocks::ThreadsWaitingToEnter() const {
  int waiting = 0;
  for (const auto& entry : sections_) waiting += entry.second->waiting;
  return waiting;
}

}  // namespace qel
