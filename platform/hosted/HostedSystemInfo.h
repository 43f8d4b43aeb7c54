// What the system says of itself: the user's default locale and the version
// (Windows XP on the NT family, 98 otherwise). Leaves out every other locale
// setting and the service pack, which is always none.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace qel {

class HostedSystemInfo {
 public:
  void SetUserDefaultLCID(uint32_t lcid) { lcid_ = lcid; }
  uint32_t UserDefaultLCID() const { return lcid_; }
  // VER_PLATFORM_WIN32_NT (2) by default; 1 is the Windows 9x family.
  void SetPlatformId(uint32_t id) { platformId_ = id; }
  bool GetVersion(OsVersionInfoA* info) const;

 private:
  uint32_t lcid_ = 0x0409;
  uint32_t platformId_ = kVerPlatformWin32Nt;
};

}  // namespace qel
