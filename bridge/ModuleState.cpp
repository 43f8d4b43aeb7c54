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
      lock_(MakeUniqueCriticalSection(platform)),
      resourceModulePath_(ComposeResourceModulePath(platform)),
      localeSelection_(platform, kLocaleModuleFileName) {
  TheCommandSequenceCounter().Seed(platform.GetTickCount());
}

bool ModuleState::InitMap() {
  if (!lock_) return true;
  try {
    ScopedCriticalSection hold(platform_, lock_.get());
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
  // Nothing of the module's state is needed to refuse an empty class name,
  // so it is not kept waiting behind a post in its two-minute wait.
  if (className.empty()) return kProcessEventNoClassName;
  if (!lock_) return kProcessEventNoDesktop;  // nothing was done
  ScopedCriticalSection hold(platform_, lock_.get());
  return ForwardEvent({platform_, resourceModulePath_, localeSelection_.chosenCode(), categoryMap_},
                      eventCode, className, eventText, categoryAttribute, target);
}

}  // namespace qel
