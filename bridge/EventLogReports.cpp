#include "bridge/EventLogReports.h"

#include <mutex>

#include "bridge/KeptEvent.h"
#include "config/TextConversions.h"

namespace qel {
namespace {

// The ids and insertion counts of resources/qelevent-messages.mc; a test
// reads that file and holds the two to each other.
constexpr std::array<ReportMessage, static_cast<size_t>(ReportKind::count)> kMessages = {{
    {100, kEventLogWarningType, 6, "eventKept"},
    {101, kEventLogErrorType, 7, "eventNotKeptFull"},
    {102, kEventLogErrorType, 7, "eventNotKept"},
    {110, kEventLogErrorType, 1, "propertiesMissing"},
    {111, kEventLogErrorType, 1, "propertiesUnreadable"},
    {112, kEventLogErrorType, 1, "propertiesUtf16"},
    {113, kEventLogErrorType, 1, "propertiesMapNothing"},
    {120, kEventLogErrorType, 1, "stringTableMissing"},
    {130, kEventLogErrorType, 1, "desktopNotAttached"},
    {131, kEventLogErrorType, 2, "hostObjectUnreadable"},
    {140, kEventLogInformationType, 1, "layoutChosen"},
    {141, kEventLogErrorType, 1, "layoutRefused"},
    {142, kEventLogWarningType, 2, "layoutValueInvalid"},
}};

std::u16string Number(uint32_t value) { return Utf8ToWide(DecimalText(value)); }

}  // namespace

const ReportMessage& MessageOf(ReportKind kind) { return kMessages[static_cast<size_t>(kind)]; }

std::u16string AnswersText(const std::vector<int32_t>& answers) {
  std::string text;
  for (const int32_t answer : answers) {
    if (!text.empty()) text += ", ";
    text += DecimalText(answer);
  }
  return Utf8ToWide(text);
}

void EventLogReporter::Report(ReportKind kind,
                              const std::function<std::vector<std::u16string>()>& inserts,
                              bool unlimited) {
  try {
    std::lock_guard<SystemLock> hold(lock_);
    KindState& state = kinds_[static_cast<size_t>(kind)];
    const uint32_t now = platform_.GetTickCount();
    // Unsigned difference: right across the tick count's wrap after 49.7 days.
    if (!unlimited && state.written && now - state.lastTick < kReportIntervalMs) {
      ++state.leftOut;
      return;
    }
    std::vector<std::u16string> strings = inserts();
    strings.resize(static_cast<size_t>(MessageOf(kind).inserts));
    strings.push_back(Number(state.leftOut));
    // Rate-limited whether or not the log took it: a log that refuses
    // entries is not asked again and again either.
    state.written = true;
    state.lastTick = now;
    state.leftOut = Write(kind, strings) ? 0 : state.leftOut + 1;
  } catch (...) {
    // Reporting never stands in the way of the host's call.
  }
}

uint32_t EventLogReporter::LeftOut(ReportKind kind) {
  std::lock_guard<SystemLock> hold(lock_);
  return kinds_[static_cast<size_t>(kind)].leftOut;
}

// The source is registered for each entry and let go at once: entries are
// rare, and no handle is left to close while the library unloads.
bool EventLogReporter::Write(ReportKind kind, const std::vector<std::u16string>& strings) {
  const HEventLog log = platform_.RegisterEventSourceW(nullptr, kEventSourceName);
  if (log == nullptr) return false;
  std::vector<const char16_t*> pointers;
  pointers.reserve(strings.size());
  for (const std::u16string& s : strings) pointers.push_back(s.c_str());
  const ReportMessage& message = MessageOf(kind);
  const bool written =
      platform_.ReportEventW(log, message.type, 0, message.eventId,
                             static_cast<uint16_t>(pointers.size()), pointers.data());
  platform_.DeregisterEventSource(log);
  return written;
}

}  // namespace qel
