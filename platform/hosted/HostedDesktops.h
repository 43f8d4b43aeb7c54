// Window stations and desktops: which one the process and the calling thread
// are attached to, and which opened handles are still open. Leaves out access
// rights, names (every name opens) and other threads: there is one.
#pragma once

#include <cstdint>
#include <set>

#include "platform/Platform.h"
#include "platform/hosted/HostedHandles.h"

namespace qel {

class HostedDesktops {
 public:
  explicit HostedDesktops(HandleCounter& handles) : handles_(handles) {}

  static HWinSta OriginalWindowStation() { return Handle<HWinSta>(kOriginalStation); }
  static HDesk OriginalDesktop() { return Handle<HDesk>(kOriginalDesktop); }
  static uint32_t ThreadId() { return kThreadId; }
  HWinSta CurrentWindowStation() const { return processStation_; }
  HDesk CurrentDesktop() const { return threadDesktop_; }
  int OpenObjects() const { return static_cast<int>(openObjects_.size()); }

  HDesk ThreadDesktop(uint32_t threadId) const {
    return threadId == kThreadId ? threadDesktop_ : nullptr;
  }
  HWinSta OpenWindowStation(const char* name) { return Handle<HWinSta>(OpenObject(name)); }
  HDesk OpenDesktop(const char* name) { return Handle<HDesk>(OpenObject(name)); }
  bool CloseWindowStation(HWinSta station) { return CloseObject(HandleValue(station)); }
  bool CloseDesktop(HDesk desktop) { return CloseObject(HandleValue(desktop)); }
  bool SetProcessWindowStation(HWinSta station);
  bool SetThreadDesktop(HDesk desktop);

 private:
  static constexpr uintptr_t kOriginalStation = 0x100;
  static constexpr uintptr_t kOriginalDesktop = 0x104;
  static constexpr uint32_t kThreadId = 0x1234;

  // 0 for no name.
  uintptr_t OpenObject(const char* name);
  bool CloseObject(uintptr_t handle) { return openObjects_.erase(handle) != 0; }

  HandleCounter& handles_;
  HWinSta processStation_ = OriginalWindowStation();
  HDesk threadDesktop_ = OriginalDesktop();
  std::set<uintptr_t> openObjects_;
};

}  // namespace qel
