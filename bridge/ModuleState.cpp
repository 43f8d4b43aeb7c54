#include "bridge/ModuleState.h"

#include <algorithm>
#include <mutex>

#include "bridge/CategoryMapLoading.h"
#include "bridge/EventForwarding.h"
#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "ipc/CommandSequenceCounter.h"

namespace qel {
namespace {

constexpr char16_t kModuleFileName[] = u"qelevent.dll";
constexpr char kLocaleModuleFileName[] = "qelevent.dll";
// More threads than this inside a host call at once are not remembered: a
// 14 of theirs may then be reported as an unreadable object as well.
constexpr size_t kMaxRememberedThreads = 64;

void ReportLoad(EventLogReporter& reporter, const CategoryMapLoad& load,
                const std::u16string& resourceModulePath) {
  auto path = [&] { return std::vector<std::u16string>{load.path}; };
  switch (load.file) {
    case CategoryMapLoad::File::missing:
      reporter.Report(ReportKind::propertiesMissing, path);
      break;
    case CategoryMapLoad::File::unreadable:
      reporter.Report(ReportKind::propertiesUnreadable, path);
      break;
    case CategoryMapLoad::File::read:
      if (load.utf16) {
        reporter.Report(ReportKind::propertiesUtf16, path);
      } else if (load.marked == 0) {
        reporter.Report(ReportKind::propertiesMapNothing, path);
      }
      break;
  }
  if (load.stringMissing) {
    reporter.Report(ReportKind::stringTableMissing,
                    [&] { return std::vector<std::u16string>{resourceModulePath}; });
  }
}

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
    ReportLoad(reporter_, LoadCategoryMap(platform_, resourceModulePath_, categoryMap_),
               resourceModulePath_);
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
  int32_t result = kProcessEventNoDesktop;
  {
    ScopedCriticalSection hold(platform_, lock_.get());
    result = ForwardEvent(
        {platform_, resourceModulePath_, localeSelection_.chosenCode(), categoryMap_, &reporter_},
        eventCode, className, eventText, categoryAttribute, target);
  }
  if (result == kProcessEventNoDesktop) {
    try {
      std::lock_guard<SystemLock> hold(answeredFourteenLock_);
      if (answeredFourteen_.size() < kMaxRememberedThreads) {
        answeredFourteen_.push_back(platform_.GetCurrentThreadId());
      }
    } catch (...) {
      // Not remembered: the exports may report an unreadable object too.
    }
  }
  return result;
}

int32_t ModuleState::ResendKeptEvent(std::string_view record, int32_t& answer) {
  if (!lock_) return kProcessEventNoDesktop;
  ScopedCriticalSection hold(platform_, lock_.get());
  return ResendKeptRecord(platform_, record, answer);
}

void ModuleState::AfterHostCall(int32_t result, const std::u16string& layoutName) {
  if (result != kProcessEventNoDesktop) return;
  {
    std::lock_guard<SystemLock> hold(answeredFourteenLock_);
    auto own = std::find(answeredFourteen_.begin(), answeredFourteen_.end(),
                         platform_.GetCurrentThreadId());
    if (own != answeredFourteen_.end()) {
      answeredFourteen_.erase(own);
      return;
    }
  }
  reporter_.Report(ReportKind::hostObjectUnreadable, [&] {
    return std::vector<std::u16string>{layoutName, Utf8ToWide(TakeRefusalsText(hostRefusals_))};
  });
}

}  // namespace qel
