// A code library loaded on demand: owns the library's file name and its
// module handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace qel {

// The file-name part of a Windows path, without drive, folder and extension,
// ASCII upper-cased (what _splitpath and _strupr make of it), cut to 255
// characters as the C runtime's file-name buffer holds no more.
std::string LibraryBaseName(const std::string& path);

class LibraryHandle {
 public:
  // Keeps a copy of |path| and loads the library at once; with a null path the
  // handle stays unloaded and has no names.
  LibraryHandle(Platform& platform, const char* path);
  // Unloading is explicit (Release): a library that stays bound for the life
  // of the process must not be unloaded by a destructor that runs while the
  // plug-in itself is being unloaded.
  ~LibraryHandle() = default;
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;

  // Loads the library, or counts one more load request when it is loaded
  // already. The system shows no error box while loading. False when the
  // library could not be loaded (or the handle has no path).
  bool Load();
  // The entry point |name|, or null when it is not exported or the library is
  // not loaded.
  void* Resolve(const char* name) const;
  // Forgets the names and unloads the library once, however often Load was
  // called. The load count is kept.
  void Release();

  HModule Module() const { return module_; }
  // Null when there is none (no path given, or released).
  const char* Path() const { return path_ ? path_->c_str() : nullptr; }
  const char* BaseName() const { return baseName_ ? baseName_->c_str() : nullptr; }
  uint32_t LoadCount() const { return loadCount_; }

 private:
  Platform& platform_;
  HModule module_ = nullptr;
  std::optional<std::string> path_;
  std::optional<std::string> baseName_;
  uint32_t loadCount_ = 0;
};

}  // namespace qel
