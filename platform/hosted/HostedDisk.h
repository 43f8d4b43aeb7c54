// The disk: Windows paths onto a folder (drive letter = subfolder, both
// separators, names matched ignoring ASCII case), files opened for reading,
// the read-only attribute and substituted files. Leaves out writing, sharing
// modes, every other attribute and every creation disposition but OPEN_EXISTING.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

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
  // CreateFile of an existing file; the A form's name is in the ANSI code page.
  HFile Open(const char16_t* path, uint32_t access, uint32_t creation);
  HFile Open(const char* path, uint32_t access, uint32_t creation);
  bool Read(HFile file, void* buffer, uint32_t size, uint32_t* read);
  bool Close(HFile file) { return files_.erase(HandleValue(file)) != 0; }

 private:
  HFile OpenExisting(std::optional<std::filesystem::path> disk, uint32_t access, uint32_t creation);

  HandleCounter& handles_;
  std::filesystem::path root_;
  std::set<std::filesystem::path> readOnlyFiles_;  // as mapped onto the disk
  std::map<std::filesystem::path, std::filesystem::path> substituteFiles_;
  std::map<uintptr_t, std::unique_ptr<std::ifstream>> files_;  // open files
};

}  // namespace qel
