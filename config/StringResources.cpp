#include "config/StringResources.h"

#include <algorithm>
#include <stdexcept>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "platform/ScopedHandles.h"

namespace qel {
namespace {

constexpr int kBufferSize = 1024;

}  // namespace

std::u16string LoadResourceString(Platform& platform, const std::u16string& modulePath,
                                  uint32_t id) {
  const std::string path = WideToAnsi(platform, PathParts(modulePath).Join());

  char buffer[kBufferSize] = {};
  int length = 0;
  {
    // The module is a copy of the plug-in, loaded afresh for every string.
    // Loaded as a data file, none of its start-up code (registry reads,
    // locale selection, library loads) runs each time; LoadStringA works on
    // such a handle all the same.
    UniqueModule module =
        MakeUniqueModule(platform, platform.LoadLibraryExA(path.c_str(), kLoadLibraryAsDatafile));
    if (!module) throw std::invalid_argument("::LoadLibrary() failed.");
    length = platform.LoadStringA(module.get(), id, buffer, kBufferSize);
  }  // Released here, whatever the load of the string gave.
  if (length <= 0) throw std::invalid_argument("::LoadString() failed.");

  // LoadStringA delivers at most kBufferSize - 1 characters and a terminator.
  const int delivered = std::min(length, kBufferSize - 1);
  return AnsiToWide(platform, std::string(buffer, static_cast<size_t>(delivered)));
}

}  // namespace qel
