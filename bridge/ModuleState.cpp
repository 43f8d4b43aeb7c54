#include "bridge/ModuleState.h"

#include "bridge/CategoryMapLoading.h"
#include "bridge/EventForwarding.h"
#include "config/InstallPaths.h"
#include "ipc/CommandSequenceCounter.h"

namespace qel {
namespace {

constexpr char16_t kModuleFileName[] = u"qelevent.dll";
constexpr char kLocaleModuleFileName[] = "qelevent.dll";

// Runs while the library loads, where an exception would end the host
// process; an empty path only means that no string can be loaded.
std::u16string ComposeResourceModulePath(Platform& platform) {
  try {
    return ComposeCiFilePath(platform, kModuleFileName);
  } catch (...) {
    return std::u16string();
  }
}

}  // namespace

ModuleState::ModuleState(Platform& platform)
    : platform_(platform),
      resourceModulePath_(ComposeResourceModulePath(platform)),
      localeSelection_(platform, kLocaleModuleFileName) {
  TheCommandSequenceCounter().Seed(platform.GetTickCount());
}

bool ModuleState::InitMap() {
  try {
    std::lock_guard<std::mutex> lock(lock_);
    LoadCategoryMap(platform_, resourceModulePath_, categoryMap_);
  } catch (...) {
    // Whatever was added before the failure stays; the host learns nothing.
  }
  return true;
}

int32_t ModuleState::ProcessEvent(int32_t eventCode, const std::u16string& className,
                                  const std::u16string& eventText,
                                  const std::u16string& categoryAttribute,
                                  const std::u16string& target) {
  try {
    std::lock_guard<std::mutex> lock(lock_);
    return ForwardEvent(
        {platform_, resourceModulePath_, localeSelection_.chosenCode(), categoryMap_}, eventCode,
        className, eventText, categoryAttribute, target);
  } catch (...) {
    return kProcessEventNoDesktop;  // the lock could not be taken: nothing was done
  }
}

}  // namespace qel
