// The undelivered-events file: ci\qelevent-undelivered.txt in the
// installation folder, to which every event the event server did not take
// is appended as one record (bridge/KeptEvent.h).
//
// Whoever touches the file (the plug-in in every host process, and a tool
// that reads it or takes records out) opens it sharing reading and writing
// and then locks bytes 0 to 0xFFFFFFFF with LockFile before reading or
// writing anything. The lock is the system's: it holds between processes, and
// a reader that ignores it has its reads refused rather than sees half a
// record.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace qel {

constexpr char16_t kKeptEventsFileName[] = u"qelevent-undelivered.txt";
// A REG_DWORD under the product key: the file's largest size in KB. Past it,
// new records are refused (and reported); 0 keeps nothing.
constexpr char kKeptEventsLimitValue[] = "UndeliveredLimitKB";
// 8 MB: a record is about 500 bytes, so some 16,000 events. An event the
// server refuses twice holds its host thread four minutes, so one thread
// keeps at most 360 a day: the default holds a long outage of a busy host
// whole, while the disk never notices it and a tool reads it in well under
// a second.
constexpr uint32_t kDefaultKeptEventsLimitKb = 8192;
// Larger values are taken as this, so that sizes stay far below 4 GB.
constexpr uint32_t kMaxKeptEventsLimitKb = 1024 * 1024;

// A REG_DWORD under the product key: not 0, an event that the server
// answers busy (5, 6, 18) is kept at once, after one post and no wait, for
// qelevent-tool resend to deliver later. Absent or 0: the post is tried again
// after two minutes, as ever.
constexpr char kKeepWhenBusyValue[] = "KeepWhenBusy";

// The lock that every user of the file takes, and how long the plug-in
// tries to get it: another appender holds it for one write, a tool for one
// read or rewrite of the file.
constexpr uint32_t kKeptEventsLockOffset = 0;
constexpr uint32_t kKeptEventsLockLength = 0xFFFFFFFFu;
constexpr int kKeptEventsLockTries = 50;
constexpr uint32_t kKeptEventsLockRetryMs = 20;

enum class KeepResult {
  kept,    // the record was appended
  full,    // the file had no room for it within the limit
  failed,  // the file could not be opened, locked or written
};

struct KeepOutcome {
  KeepResult result = KeepResult::failed;
  std::u16string path;      // the file, when one was found
  std::string reason;       // why it failed, a sentence for the event log
  uint32_t limitBytes = 0;  // the limit it was held to
};

// The limit in bytes from the registry value, or the default.
uint32_t KeptEventsLimitBytes(Platform& platform);
// Whether the registry asks for busy answers to be kept at once.
bool KeepsWhenBusy(Platform& platform);

// Opens the file at |path| for |access| (kGenericRead, kGenericWrite),
// sharing reading and writing, with |creation| (kOpenAlways, kOpenExisting):
// by its wide name on NT, by its ANSI name on the 9x family.
// InvalidHandleValue() with a |reason| on failure.
HFile OpenKeptEventsFile(Platform& platform, const std::u16string& path, uint32_t access,
                         uint32_t creation, std::string& reason);
// Takes the file's lock, trying kKeptEventsLockTries times.
bool LockKeptEventsFile(Platform& platform, HFile file);
void UnlockKeptEventsFile(Platform& platform, HFile file);

// Appends |record| (one whole line) to the file at |path| under the lock,
// holding the file to |limitBytes|. A file whose last line was cut short
// (the power failed while it was written) first gets its line ended, so
// that the new record stands on a line of its own. A write that fails part
// way is taken back. Nothing throws.
KeepOutcome AppendKeptRecord(Platform& platform, const std::u16string& path,
                             const std::string& record, uint32_t limitBytes);

// The same into the installation's file, with the registry's limit; fails
// with a reason when no installation is registered.
KeepOutcome KeepRecord(Platform& platform, const std::string& record);

}  // namespace qel
