// The disk: Windows paths onto a folder (drive letter = subfolder, both
// separators, names matched ignoring ASCII case), files opened for reading,
// the read-only attribute and substituted files; and, for the
// undelivered-events file, OPEN_ALWAYS, writing at a position, cutting,
// sharing modes between handles, byte-range locks that every other handle
// meets (as Windows' are) and a disk that runs full. A folder given the
// read-only attribute takes no new file and lets none of its files be
// written, as a folder the account may not write to. Nothing is created or
// written unless the disk is made writable. Leaves out every other attribute
// and creation disposition.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/hosted/HostedHandles.h"

namespace qel {

class HostedDisk {
 public:
  explicit HostedDisk(HandleCounter& handles) : handles_(handles) {}

  void SetRoot(const std::filesystem::path& root) { root_ = root; }
  const std::filesystem::path& Root() const { return root_; }
  // The disk path of a Windows path, matching each existing name ignoring
  // ASCII case; std::nullopt when no root is set or the path is not absolute.
  std::optional<std::filesystem::path> Map(const std::string& windowsPath) const;
  std::optional<std::filesystem::path> Map(const std::u16string& windowsPath) const;

  void Substitute(const std::u16string& windowsPath, const std::filesystem::path& diskFile);
  void SetReadOnly(const std::string& windowsPath);

  // OpenFile with OF_EXIST, the one style the plug-in uses.
  int32_t FileExists(const char* path, uint32_t style) const;
  // CreateFile (OPEN_EXISTING or OPEN_ALWAYS); the A form's name is in the
  // ANSI code page. An open that the sharing modes of the handles already
  // open on the file do not allow, or that does not allow theirs, fails.
  HFile Open(const char16_t* path, uint32_t access, uint32_t shareMode, uint32_t creation);
  HFile Open(const char* path, uint32_t access, uint32_t shareMode, uint32_t creation);
  bool Read(HFile file, void* buffer, uint32_t size, uint32_t* read);
  bool Write(HFile file, const void* buffer, uint32_t size, uint32_t* written);
  uint32_t Seek(HFile file, int32_t distance, uint32_t moveMethod);
  bool SetEnd(HFile file);
  uint32_t Size(HFile file) const;
  bool Lock(HFile file, uint64_t offset, uint64_t length);
  bool Unlock(HFile file, uint64_t offset, uint64_t length);
  // Closing gives up the handle's locks.
  bool Close(HFile file);

  // Off (the default), no file is created, written or cut: a tool that reads
  // a copy of a server's disk never changes it. Tests turn it on.
  void SetWritable(bool writable) { writable_ = writable; }

  // Writes stop, short, once the disk's files would hold more than |bytes|
  // beyond what they held when this was set; std::nullopt: no limit.
  void SetFreeBytes(std::optional<uint64_t> bytes) { freeBytes_ = bytes; }

 private:
  struct OpenFile {
    std::unique_ptr<std::fstream> stream;
    std::filesystem::path path;
    uint32_t access = 0;
    uint32_t shareMode = 0;
    uint64_t position = 0;
  };
  struct RangeLock {
    uintptr_t handle;
    std::filesystem::path path;
    uint64_t offset;
    uint64_t length;
  };

  HFile OpenMapped(std::optional<std::filesystem::path> disk, uint32_t access, uint32_t shareMode,
                   uint32_t creation);
  bool Shareable(const std::filesystem::path& path, uint32_t access, uint32_t shareMode) const;
  bool Writable(const std::filesystem::path& path) const;
  // Whether a handle other than |handle| holds a lock on any of the range.
  bool LockedByOther(uintptr_t handle, const std::filesystem::path& path, uint64_t offset,
                     uint64_t length) const;
  OpenFile* Find(HFile file);

  HandleCounter& handles_;
  std::filesystem::path root_;
  std::set<std::filesystem::path> readOnlyFiles_;  // as mapped onto the disk
  std::map<std::filesystem::path, std::filesystem::path> substituteFiles_;
  std::map<uintptr_t, OpenFile> files_;  // open files
  std::vector<RangeLock> locks_;
  std::optional<uint64_t> freeBytes_;
  bool writable_ = false;
};

}  // namespace qel
