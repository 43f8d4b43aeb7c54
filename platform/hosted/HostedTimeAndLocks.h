// The clock, sleeps and waits, and critical sections. Time stands still (the
// tick count is set) and nothing sleeps or waits: each sleep is recorded and
// each wait answers as set. Critical sections are real locks, so that a test
// sees one thread wait for another; timeouts and other wait objects are left out.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedHandles.h"

namespace qel {

class HostedTimeAndLocks {
 public:
  explicit HostedTimeAndLocks(HandleCounter& handles) : handles_(handles) {}

  void SetTickCount(uint32_t ticks) { tickCount_ = ticks; }
  uint32_t TickCount() const { return tickCount_; }
  void SetWaitResult(uint32_t result) { waitResult_ = result; }
  uint32_t WaitResult() const { return waitResult_; }

  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }
  void ClearSleeps() { sleeps_.clear(); }
  void SetSleepHook(std::function<void(uint32_t)> hook) { sleepHook_ = std::move(hook); }
  // Records the sleep, then calls the hook with |platformLock| released: a
  // test acts while a caller is inside its wait.
  void Sleep(uint32_t milliseconds, std::unique_lock<SystemLock>& platformLock);

  HLock CreateSection();
  // Waits for the section with |platformLock| released, so that the thread
  // that owns the section can leave it.
  void Enter(HLock section, std::unique_lock<SystemLock>& platformLock);
  void Leave(HLock section);
  void Delete(HLock section) { sections_.erase(HandleValue(section)); }
  // Threads inside Enter that do not own their section yet.
  int ThreadsWaitingToEnter() const;

 private:
  struct CriticalSection {
    SystemLock lock;
    int waiting = 0;  // threads that entered the call and do not own the lock yet
  };

  HandleCounter& handles_;
  uint32_t tickCount_ = 1000;
  uint32_t waitResult_ = kWaitObject0;
  std::vector<uint32_t> sleeps_;
  std::function<void(uint32_t)> sleepHook_;
  std::map<uintptr_t, std::unique_ptr<CriticalSection>> sections_;
};

}  // namespace qel
