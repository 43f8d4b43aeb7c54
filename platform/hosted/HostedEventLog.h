// The Windows event log and the calendar clock, as the plug-in reports to
// them and stamps its kept events: every entry that would reach the
// Application log is recorded with its source, type, message id and
// insertion strings, for tests and tools to read. The calendar clock stands
// still at a time that the test sets, in UTC and locally. Leaves out the
// log's files, its size, remote machines, users and raw data; a source needs
// no registration to be reported under, as on Windows, where an unregistered
// source only shows its insertion strings without the sentence around them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/hosted/HostedHandles.h"

namespace qel {

struct EventLogEntry {
  std::u16string source;
  uint16_t type = 0;
  uint16_t category = 0;
  uint32_t eventId = 0;
  std::vector<std::u16string> strings;
};

class HostedEventLog {
 public:
  explicit HostedEventLog(HandleCounter& handles) : handles_(handles) {}

  HEventLog Register(const char16_t* sourceName);
  bool Report(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
              uint16_t stringCount, const char16_t* const* strings);
  bool Deregister(HEventLog log) { return sources_.erase(HandleValue(log)) != 0; }

  const std::vector<EventLogEntry>& Entries() const { return entries_; }
  void ClearEntries() { entries_.clear(); }
  // Sources registered and not yet deregistered.
  int OpenSources() const { return static_cast<int>(sources_.size()); }

  void SetSystemTime(const SystemTime& utc, const SystemTime& local) {
    utc_ = utc;
    local_ = local;
  }
  const SystemTime& Utc() const { return utc_; }
  const SystemTime& Local() const { return local_; }

 private:
  HandleCounter& handles_;
  std::map<uintptr_t, std::u16string> sources_;
  std::vector<EventLogEntry> entries_;
  // A Wednesday in December, one hour east of UTC.
  SystemTime utc_{2026, 12, 3, 9, 21, 33, 1, 250};
  SystemTime local_{2026, 12, 3, 9, 22, 33, 1, 250};
};

}  // namespace qel
