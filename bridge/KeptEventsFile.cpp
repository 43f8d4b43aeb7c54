#include "bridge/KeptEventsFile.h"

#include <optional>

#include "config/InstallPaths.h"
#include "platform/ScopedHandles.h"

namespace qel {
namespace {

// The path in the ANSI code page, or false when the code page cannot spell
// it: the 9x family opens files by that name only, and a name with a
// replaced character is another file.
bool AnsiPath(Platform& platform, const std::u16string& path, std::string& ansi) {
  if (path.empty()) return false;
  const int length = static_cast<int>(path.size());
  const int size =
      platform.WideCharToMultiByte(kCpAcp, 0, path.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  ansi.assign(static_cast<size_t>(size), '\0');
  int usedDefault = 0;
  return platform.WideCharToMultiByte(kCpAcp, 0, path.data(), length, &ansi[0], size, nullptr,
                                      &usedDefault) == size &&
         usedDefault == 0;
}

// Whether the file's last byte ends a line; true for an empty file.
bool EndsWithLineEnd(Platform& platform, HFile file, uint32_t size, bool& ends) {
  ends = true;
  if (size == 0) return true;
  if (platform.SetFilePointer(file, static_cast<int32_t>(size - 1), kFileBegin) ==
      kInvalidSetFilePointer) {
    return false;
  }
  char last = 0;
  uint32_t read = 0;
  if (!platform.ReadFile(file, &last, 1, &read) || read != 1) return false;
  ends = last == '\n';
  return true;
}

// Under the lock.
KeepOutcome AppendLocked(Platform& platform, HFile file, const std::string& record,
                         KeepOutcome outcome) {
  const uint32_t size = platform.GetFileSize(file);
  bool endsLine = true;
  if (size == kInvalidFileSize || !EndsWithLineEnd(platform, file, size, endsLine)) {
    outcome.reason = "The file could not be read.";
    return outcome;
  }
  const std::string bytes = endsLine ? record : "\r\n" + record;
  if (uint64_t{size} + bytes.size() > outcome.limitBytes) {
    outcome.result = KeepResult::full;
    outcome.reason = "The file has reached its size limit.";
    return outcome;
  }
  uint32_t written = 0;
  if (platform.SetFilePointer(file, 0, kFileEnd) == kInvalidSetFilePointer ||
      !platform.WriteFile(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &written) ||
      written != bytes.size()) {
    // Take back what part of the record went in: the file stays as it was.
    if (written > 0 && platform.SetFilePointer(file, static_cast<int32_t>(size), kFileBegin) !=
                           kInvalidSetFilePointer) {
      platform.SetEndOfFile(file);
    }
    outcome.reason = "The record could not be written (is the disk full?).";
    return outcome;
  }
  outcome.result = KeepResult::kept;
  return outcome;
}

}  // namespace

uint32_t KeptEventsLimitBytes(Platform& platform) {
  const uint32_t kb =
      ReadProductKeyDword(platform, kKeptEventsLimitValue).value_or(kDefaultKeptEventsLimitKb);
  return (kb < kMaxKeptEventsLimitKb ? kb : kMaxKeptEventsLimitKb) * 1024;
}

bool KeepsWhenBusy(Platform& platform) {
  return ReadProductKeyDword(platform, kKeepWhenBusyValue).value_or(0) != 0;
}

HFile OpenKeptEventsFile(Platform& platform, const std::u16string& path, uint32_t access,
                         uint32_t creation, std::string& reason) {
  constexpr uint32_t kShare = kFileShareRead | kFileShareWrite;
  const bool nt = IsWindowsNt(platform);
  std::string ansi;
  if (!nt && !AnsiPath(platform, path, ansi)) {
    reason = "The system's ANSI code page cannot spell the file's path.";
    return InvalidHandleValue();
  }
  const HFile file = nt ? platform.CreateFileW(path.c_str(), access, kShare, creation)
                        : platform.CreateFileA(ansi.c_str(), access, kShare, creation);
  if (file == InvalidHandleValue()) {
    reason = creation == kOpenAlways ? "The file could not be opened or created for writing."
                                     : "The file could not be opened.";
  }
  return file;
}

bool LockKeptEventsFile(Platform& platform, HFile file) {
  for (int tries = 1;; ++tries) {
    if (platform.LockFile(file, kKeptEventsLockOffset, 0, kKeptEventsLockLength, 0)) return true;
    if (tries == kKeptEventsLockTries) return false;
    platform.Sleep(kKeptEventsLockRetryMs);
  }
}

void UnlockKeptEventsFile(Platform& platform, HFile file) {
  platform.UnlockFile(file, kKeptEventsLockOffset, 0, kKeptEventsLockLength, 0);
}

KeepOutcome AppendKeptRecord(Platform& platform, const std::u16string& path,
                             const std::string& record, uint32_t limitBytes) {
  KeepOutcome outcome;
  outcome.path = path;
  outcome.limitBytes = limitBytes;
  try {
    const HFile opened = OpenKeptEventsFile(platform, path, kGenericRead | kGenericWrite,
                                            kOpenAlways, outcome.reason);
    if (opened == InvalidHandleValue()) return outcome;
    const UniqueFile file(opened, FileClose{&platform});
    if (!LockKeptEventsFile(platform, file.get())) {
      outcome.reason = "Another program held the file locked.";
      return outcome;
    }
    outcome = AppendLocked(platform, file.get(), record, outcome);
    UnlockKeptEventsFile(platform, file.get());
  } catch (...) {
    outcome.result = KeepResult::failed;
    outcome.reason = "Memory ran out.";
  }
  return outcome;
}

KeepOutcome KeepRecord(Platform& platform, const std::string& record) {
  KeepOutcome outcome;
  try {
    std::u16string folder;
    if (GetInstallDirectory(platform, folder) != 0) {
      outcome.reason = "No installation folder is registered under the product key.";
      return outcome;
    }
    const std::u16string path = ComposeCiFilePath(platform, kKeptEventsFileName);
    if (path.empty()) {
      outcome.reason = "The installation folder's path is too long.";
      return outcome;
    }
    return AppendKeptRecord(platform, path, record, KeptEventsLimitBytes(platform));
  } catch (...) {
    outcome.reason = "Memory ran out.";
    return outcome;
  }
}

}  // namespace qel
