#include "platform/hosted/HostedEventLog.h"

namespace qel {

HEventLog HostedEventLog::Register(const char16_t* sourceName) {
  if (sourceName == nullptr) return nullptr;
  const uintptr_t handle = handles_.Next();
  sources_[handle] = sourceName;
  return Handle<HEventLog>(handle);
}

bool HostedEventLog::Report(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
                            uint16_t stringCount, const char16_t* const* strings) {
  auto source = sources_.find(HandleValue(log));
  if (source == sources_.end() || (stringCount > 0 && strings == nullptr)) return false;
  EventLogEntry entry{source->second, type, category, eventId, {}};
  for (uint16_t i = 0; i < stringCount; ++i) {
    // A null insertion string is refused, as Windows refuses it.
    if (strings[i] == nullptr) return false;
    entry.strings.emplace_back(strings[i]);
  }
  entries_.push_back(std::move(entry));
  return true;
}

}  // namespace qel
