// What the plug-in tells the Windows event log: entries in the Application
// log under its own event source, whose sentences are the message table of
// resources/qelevent-messages.mc (compiled into qelevent.dll, which the
// source's EventMessageFile names). Each entry's insertion strings fill that
// sentence; the last one of every message is the number of entries of its
// kind left out since the previous one.
//
// At most one entry of a kind is written a minute (by the tick count): an
// outage of a day, or a host calling a hundred times a second with objects
// that cannot be read, writes a bounded number of entries, each with the
// count of those it stands for. Where there is no event log (the 9x family)
// nothing is written and nothing breaks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SystemThreads.h"

namespace qel {

// The event source, registered under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application by the package.
constexpr char16_t kEventSourceName[] = u"qelevent";
constexpr uint32_t kReportIntervalMs = 60000;

enum class ReportKind {
  eventKept,             // the server did not take an event; it was kept
  eventNotKeptFull,      // ... and the file had reached its size limit
  eventNotKept,          // ... and the file could not be written
  propertiesMissing,     // InitMap: no properties file
  propertiesUnreadable,  // InitMap: the file exists but could not be read
  propertiesUtf16,       // InitMap: the file is saved as UTF-16
  propertiesMapNothing,  // InitMap: the file has no marked line
  stringTableMissing,    // a string of the installed qelevent.dll could not be loaded
  desktopNotAttached,    // ProcessEvent answered 14: no interactive desktop
  hostObjectUnreadable,  // ProcessEvent answered 14: a host object could not be read
  layoutChosen,          // the layout of a calling module's strings, and why
  layoutRefused,         // a calling module imports a debug library: its calls answer 14
  layoutValueInvalid,    // the registry value HostStringLayout names no layout
  count
};

// The message id of each kind in the message table, its entry type, and the
// kind's name where a tool shows it (the enumerator's).
struct ReportMessage {
  uint32_t eventId;
  uint16_t type;
  int inserts;  // the insertion strings the caller gives, the count not included
  const char* name;
};
const ReportMessage& MessageOf(ReportKind kind);

class EventLogReporter {
 public:
  explicit EventLogReporter(Platform& platform) : platform_(platform) {}
  EventLogReporter(const EventLogReporter&) = delete;
  EventLogReporter& operator=(const EventLogReporter&) = delete;

  // Writes an entry of |kind| with the strings |inserts| makes, followed by
  // the count of those left out, unless one of that kind was written less
  // than kReportIntervalMs ago: then it only counts this one. |inserts| is
  // called only for an entry that is written. Throws nothing; an entry that
  // cannot be written is counted as left out.
  // With |unlimited|, the entry is written whenever the last was: for what
  // the caller itself bounds (one entry per calling module).
  void Report(ReportKind kind, const std::function<std::vector<std::u16string>()>& inserts,
              bool unlimited = false);

  // Entries of |kind| counted and not written since the last one written.
  uint32_t LeftOut(ReportKind kind);

 private:
  struct KindState {
    bool written = false;
    uint32_t lastTick = 0;
    uint32_t leftOut = 0;
  };

  bool Write(ReportKind kind, const std::vector<std::u16string>& strings);

  Platform& platform_;
  SystemLock lock_;
  std::array<KindState, static_cast<size_t>(ReportKind::count)> kinds_{};
};

// "18, 18": the answers of an event's posts, for an insertion string.
std::u16string AnswersText(const std::vector<int32_t>& answers);

}  // namespace qel
