#include "platform/hosted/HostedDesktops.h"

namespace qel {

uintptr_t HostedDesktops::OpenObject(const char* name) {
  if (name == nullptr) return 0;
  uintptr_t handle = handles_.Next();
  openObjects_.insert(handle);
  return handle;
}

bool HostedDesktops::SetProcessWindowStation(HWinSta station) {
  if (station == nullptr) return false;
  processStation_ = station;
  return true;
}

bool HostedDesktops::SetThreadDesktop(HDesk desktop) {
  if (desktop == nullptr) return false;
  threadDesktop_ = desktop;
  return true;
}

}  // namespace qel
