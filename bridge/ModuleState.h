// The plug-in's module-global state and the two exported operations on it.
//
// The exports own one ModuleState bound to the real platform, built while
// the library loads and destroyed while it unloads; tests and tools build
// theirs on a hosted platform.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "bridge/CategoryMap.h"
#include "config/LocaleSelection.h"
#include "platform/Platform.h"

namespace qel {

class ModuleState {
 public:
  // Composes ResourceModulePath, chooses the language code for "qelevent.dll",
  // starts with an empty category map and seeds the command sequence counter
  // with the tick count. Never fails: what the registry and the language
  // modules do not provide is simply missing. The IPC binding is not touched,
  // neither here nor on destruction.
  explicit ModuleState(Platform& platform);
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // Fills the category map from the properties file. Always true.
  bool InitMap();
  // Forwards one event (see ForwardEvent): 0, 2 or 14.
  int32_t ProcessEvent(int32_t eventCode, const std::u16string& className,
                       const std::u16string& eventText, const std::u16string& categoryAttribute,
                       const std::u16string& target);

  const std::u16string& ResourceModulePath() const { return resourceModulePath_; }
  const LocaleSelection& Locale() const { return localeSelection_; }
  const CategoryMap& Categories() const { return categoryMap_; }

 private:
  Platform& platform_;
  // Held for the whole of each export call: the window-station switch is
  // process-wide and both exports use the category map.
  std::mutex lock_;
  // Built in this order and torn down in the reverse.
  const std::u16string resourceModulePath_;
  const LocaleSelection localeSelection_;
  CategoryMap categoryMap_;
};

}  // namespace qel
