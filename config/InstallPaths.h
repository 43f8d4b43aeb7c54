// Where the plug-in's files are: the product's installation folder, read from
// the registry, and the paths composed from it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace qel {

// A wide path split into drive ("C:" or empty), directory (up to and including
// the last separator, backslash or slash) and file name, and joined again.
class PathParts {
 public:
  explicit PathParts(const std::u16string& path);
  virtual ~PathParts() = default;

  void SetFileName(const std::u16string& name);
  std::u16string Join() const;

  std::u16string drive;
  std::u16string directory;
  std::u16string fileName;
};

// The installation folder from HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar,
// ending in a backslash; 0 when read, -1 (|directory| untouched) when not.
int32_t GetInstallDirectory(Platform& platform, std::u16string& directory);
// The installation folder followed by "\ci\"; always 0.
int32_t GetCiDirectory(Platform& platform, std::u16string& directory);
// The full path of |fileName| in the ci folder, composed afresh (registry read
// included): how ResourceModulePath and the properties file path are made.
std::u16string ComposeCiFilePath(Platform& platform, const std::u16string& fileName);

}  // namespace qel
