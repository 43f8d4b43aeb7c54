#include "bridge/KeptEventsResend.h"

#include <utility>

#include "bridge/KeptEventsFile.h"
#include "platform/ScopedHandles.h"

namespace qel {
namespace {

constexpr uint32_t kReadChunk = 64 * 1024;

// Reads [offset, offset + size) into |out| (appended); false on failure.
bool ReadAt(Platform& platform, HFile file, uint32_t offset, uint32_t size, std::string& out) {
  if (platform.SetFilePointer(file, static_cast<int32_t>(offset), kFileBegin) ==
      kInvalidSetFilePointer) {
    return false;
  }
  const size_t start = out.size();
  out.resize(start + size);
  uint32_t total = 0;
  while (total < size) {
    uint32_t read = 0;
    if (!platform.ReadFile(file, &out[start + total], size - total, &read)) return false;
    if (read == 0) break;
    total += read;
  }
  out.resize(start + total);
  return true;
}

bool WriteAt(Platform& platform, HFile file, uint32_t offset, const std::string& bytes) {
  uint32_t written = 0;
  return platform.SetFilePointer(file, static_cast<int32_t>(offset), kFileBegin) !=
             kInvalidSetFilePointer &&
         platform.WriteFile(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &written) &&
         written == bytes.size();
}

// A lock on bytes of the file for the lifetime of the object, when it could
// be taken.
class HeldLock {
 public:
  // The appenders' range, waited for as they wait for it.
  HeldLock(Platform& platform, HFile file)
      : HeldLock(platform, file, kKeptEventsLockOffset, kKeptEventsLockLength,
                 LockKeptEventsFile(platform, file)) {}
  // |length| bytes at |offset|, tried once.
  HeldLock(Platform& platform, HFile file, uint32_t offset, uint32_t length)
      : HeldLock(platform, file, offset, length, platform.LockFile(file, offset, 0, length, 0)) {}
  ~HeldLock() {
    if (held_) platform_.UnlockFile(file_, offset_, 0, length_, 0);
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool held() const { return held_; }

 private:
  HeldLock(Platform& platform, HFile file, uint32_t offset, uint32_t length, bool held)
      : platform_(platform), file_(file), offset_(offset), length_(length), held_(held) {}

  Platform& platform_;
  HFile file_;
  uint32_t offset_;
  uint32_t length_;
  bool held_;
};

class ResendRun {
 public:
  ResendRun(Platform& platform, HFile file) : platform_(platform), file_(file) {}

  ResendReport Run(const PostKeptRecord& post, const KeptEventDelivered& delivered) {
    for (;;) {
      std::string_view line;
      if (!NextLine(line)) return Stopped(ResendReport::Stop::failed);
      if (line.empty()) {
        report_.stop = ResendReport::Stop::allDelivered;
        return std::move(report_);
      }
      const std::string_view content = WithoutLineEnd(line);
      if (IsBlankKeptLine(content)) {
        Pass(line, true);
        continue;
      }
      std::optional<KeptEvent> event = ParseKeptRecord(content);
      if (!event) {
        ++report_.cutLines;
        keptLines_.append(line.data(), line.size());
        Pass(line, false);
        continue;
      }
      int32_t answer = 0;
      if (!post(content, answer)) {
        report_.refused = std::move(event);
        report_.reason = "The plug-in could not post the event.";
        return Stopped(ResendReport::Stop::notPosted);
      }
      if (answer != 0) {
        report_.refused = std::move(event);
        report_.answer = answer;
        return Stopped(ResendReport::Stop::refused);
      }
      if (!Blank(line)) return Stopped(ResendReport::Stop::failed);
      ++report_.delivered;
      if (delivered) delivered(*event);
      Pass(line, true);
    }
  }

 private:
  static std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  ResendReport Stopped(ResendReport::Stop stop) {
    report_.stop = stop;
    return std::move(report_);
  }

  // The line at the head, its end included; empty once the file holds no
  // more. A last line without its end (cut short) is a line too. False when
  // the file could not be read.
  bool NextLine(std::string_view& line) {
    for (;;) {
      const size_t at = head_ - bufferStart_;
      const size_t end = buffer_.find('\n', at);
      if (end != std::string::npos) {
        line = std::string_view(buffer_).substr(at, end + 1 - at);
        return true;
      }
      buffer_.erase(0, at);
      bufferStart_ = head_;
      HeldLock lock(platform_, file_);
      if (!lock.held()) {
        report_.reason = "Another program held the file locked.";
        return false;
      }
      const uint32_t size = platform_.GetFileSize(file_);
      const uint32_t from = bufferStart_ + static_cast<uint32_t>(buffer_.size());
      if (size == kInvalidFileSize || size < from) {
        report_.reason = "The file could not be read, or was cut short by another program.";
        return false;
      }
      if (size == from) {
        line = std::string_view(buffer_);
        // The whole file has been seen, and nothing can be appended while
        // the lock is held: what is blank goes now.
        return !line.empty() || TakeOutBlanks();
      }
      const uint32_t take = size - from < kReadChunk ? size - from : kReadChunk;
      if (!ReadAt(platform_, file_, from, take, buffer_)) {
        report_.reason = "The file could not be read.";
        return false;
      }
    }
  }

  void Pass(std::string_view line, bool blank) {
    head_ += static_cast<uint32_t>(line.size());
    if (blank) blankBytes_ += line.size();
  }

  // Under the lock: the record |line| at the head, checked to be still what
  // was posted, overwritten with spaces up to its line end.
  bool Blank(std::string_view line) {
    HeldLock lock(platform_, file_);
    if (!lock.held()) {
      report_.reason = "Another program held the file locked.";
      return false;
    }
    std::string now;
    if (!ReadAt(platform_, file_, head_, static_cast<uint32_t>(line.size()), now) || now != line) {
      report_.reason =
          "The record delivered last is no longer where it was read: another "
          "program changed the file. It stays in the file.";
      return false;
    }
    if (!WriteAt(platform_, file_, head_, std::string(WithoutLineEnd(line).size(), ' '))) {
      report_.reason = "The record delivered last could not be taken out of the file.";
      return false;
    }
    return true;
  }

  // Under the lock, with the whole file seen: the file becomes the lines
  // that are no whole record, or nothing.
  bool TakeOutBlanks() {
    if (blankBytes_ == 0) return true;
    if ((!keptLines_.empty() && !WriteAt(platform_, file_, 0, keptLines_)) ||
        platform_.SetFilePointer(file_, static_cast<int32_t>(keptLines_.size()), kFileBegin) ==
            kInvalidSetFilePointer ||
        !platform_.SetEndOfFile(file_)) {
      report_.reason = "The delivered records' blanks could not be cut off the file.";
      return false;
    }
    head_ = bufferStart_ = static_cast<uint32_t>(keptLines_.size());
    buffer_.clear();
    blankBytes_ = 0;
    return true;
  }

  Platform& platform_;
  HFile file_;
  ResendReport report_;
  uint32_t head_ = 0;
  // The file's bytes from bufferStart_ on, as far as they have been read.
  std::string buffer_;
  uint32_t bufferStart_ = 0;
  uint64_t blankBytes_ = 0;
  std::string keptLines_;  // the lines passed over that are no whole record
};

}  // namespace

ResendReport ResendKeptEvents(Platform& platform, const std::u16string& path,
                              const PostKeptRecord& post, const KeptEventDelivered& delivered) {
  ResendReport report;
  try {
    const HFile opened = OpenKeptEventsFile(platform, path, kGenericRead | kGenericWrite,
                                            kOpenExisting, report.reason);
    if (opened == InvalidHandleValue()) return report;
    const UniqueFile file(opened, FileClose{&platform});
    const HeldLock run(platform, file.get(), kResendRunLockOffset, 1);
    if (!run.held()) {
      report.reason = "Another qelevent-tool resend is delivering the same file.";
      return report;
    }
    return ResendRun(platform, file.get()).Run(post, delivered);
  } catch (...) {
    report = ResendReport();
    report.reason = "Memory ran out.";
    return report;
  }
}

bool ReadKeptEventsFile(Platform& platform, const std::u16string& path, uint32_t offset,
                        std::string& bytes, std::string& reason) {
  bytes.clear();
  try {
    const HFile opened = OpenKeptEventsFile(platform, path, kGenericRead, kOpenExisting, reason);
    if (opened == InvalidHandleValue()) return false;
    const UniqueFile file(opened, FileClose{&platform});
    HeldLock lock(platform, file.get());
    if (!lock.held()) {
      reason = "Another program held the file locked.";
      return false;
    }
    const uint32_t size = platform.GetFileSize(file.get());
    if (size == kInvalidFileSize ||
        !(size <= offset || ReadAt(platform, file.get(), offset, size - offset, bytes))) {
      reason = "The file could not be read.";
      return false;
    }
    return true;
  } catch (...) {
    reason = "Memory ran out.";
    return false;
  }
}

}  // namespace qel
