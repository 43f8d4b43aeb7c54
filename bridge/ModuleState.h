// The plug-in's module-global state and the two exported operations on it.
//
// The exports own one ModuleState bound to the real platform, built while
// the library loads and destroyed while it unloads; tests and tools build
// theirs on a hosted platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/CategoryMap.h"
#include "bridge/EventLogReports.h"
#include "bridge/HostString.h"
#include "config/LocaleSelection.h"
#include "platform/Platform.h"
#include "platform/ScopedHandles.h"

namespace qel {

class ModuleState {
 public:
  // Creates the module lock, composes ResourceModulePath, chooses the
  // language code for "qelevent.dll", starts with an empty category map and
  // seeds the command sequence counter with the tick count. Never fails: what
  // the registry and the language modules do not provide, or what memory ran
  // out for, is simply missing. The IPC binding is not touched, neither here
  // nor on destruction.
  explicit ModuleState(Platform& platform);
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // Fills the category map from the properties file. Always true. A file
  // that is missing, unreadable, saved as UTF-16 or without a marked line,
  // and a category name that cannot be loaded, are reported.
  bool InitMap();
  // Forwards one event (see ForwardEvent): 0, 2 or 14. An empty class name
  // gives 2 at once, without waiting for a call in progress.
  int32_t ProcessEvent(int32_t eventCode, const std::u16string& className,
                       const std::u16string& eventText, const std::u16string& categoryAttribute,
                       const std::u16string& target);
  // Posts one kept event's record again for qelevent-tool resend (see
  // ResendKeptRecord): 0 with the server's |answer|, 2 or 14. Holds the
  // module lock for the post, as ProcessEvent does, since the window-station
  // switch is process-wide.
  int32_t ResendKeptEvent(std::string_view record, int32_t& answer);
  // Told by the exports what the host's call answered, on the calling
  // thread, after ProcessEvent on the host's objects. A 14 that ProcessEvent
  // above did not give (and report) came from a host object that could not
  // be read in |layoutName|'s layout: that is reported, with the reasons
  // counted in HostRefusals() since the last such entry.
  void AfterHostCall(int32_t result, const std::u16string& layoutName);
  // Where the exports count why the host's objects were refused.
  HostObjectRefusals& HostRefusals() { return hostRefusals_; }

  EventLogReporter& Reporter() { return reporter_; }

  const std::u16string& ResourceModulePath() const { return resourceModulePath_; }
  const LocaleSelection& Locale() const { return localeSelection_; }
  const CategoryMap& Categories() const { return categoryMap_; }

 private:
  Platform& platform_;
  // Held for the whole of each export call: the window-station switch is
  // process-wide and both exports use the category map. Without it (no
  // memory at load) the exports do nothing: InitMap maps nothing and
  // ProcessEvent gives 14.
  const UniqueCriticalSection lock_;
  // Built in this order and torn down in the reverse.
  const std::u16string resourceModulePath_;
  const LocaleSelection localeSelection_;
  CategoryMap categoryMap_;
  EventLogReporter reporter_{platform_};
  HostObjectRefusals hostRefusals_;
  // The threads to which ProcessEvent answered 14 and whose host call has
  // not ended yet; a few at most (a call removes its own at its end).
  SystemLock answeredFourteenLock_;
  std::vector<uint32_t> answeredFourteen_;
};

}  // namespace qel
