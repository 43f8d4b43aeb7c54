#include "platform/hosted/HostedSystemInfo.h"

#include <cstring>

namespace qel {

bool HostedSystemInfo::GetVersion(OsVersionInfoA* info) const {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OsVersionInfoA)) return false;
  info->dwMajorVersion = platformId_ == kVerPlatformWin32Nt ? 5 : 4;
  info->dwMinorVersion = platformId_ == kVerPlatformWin32Nt ? 1 : 10;
  info->dwBuildNumber = 2600;
  info->dwPlatformId = platformId_;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return true;
}

}  // namespace qel
