// Where the plug-in's files are: the product's installation folder, read from
// the registry, and the paths composed from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace qel {

// A wide path split into drive ("C:" or empty), directory (up to and including
// the last separator, backslash or slash) and file name, and joined again.
//
// The runtime's path functions that this mirrors work in fixed buffers: a
// directory, a name and an extension of at most 255 units each, and a joined
// path of at most 259. The parts here are strings and hold any length, but
// Join refuses a path beyond those limits and returns an empty path: a cut
// path could name another file that exists, an empty one names none.
class PathParts {
 public:
  static constexpr size_t kMaxComponent = 255;
  static constexpr size_t kMaxPath = 259;

  explicit PathParts(const std::u16string& path);
  virtual ~PathParts() = default;

  void SetFileName(const std::u16string& name);
  // The joined path, or an empty path when it would break the limits.
  std::u16string Join() const;

  std::u16string drive;
  std::u16string directory;
  std::u16string fileName;
};

// The product's key under HKEY_LOCAL_MACHINE.
constexpr char kProductKey[] = "SOFTWARE\\Korvane\\Telvar";

// The installation folder from HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar,
// ending in a backslash; 0 when read, -1 (|directory| untouched) when not.
int32_t GetInstallDirectory(Platform& platform, std::u16string& directory);
// The same, opening the keys with |access|, and naming in |keyPath| the key
// read for "TELVARPATH" (under HKEY_LOCAL_MACHINE: the subkey that "Version"
// names, when it names one), also when it could not be read. The tools name
// it in their messages, and look in the other registry view with it.
int32_t ReadInstallDirectory(Platform& platform, uint32_t access, std::string& keyPath,
                             std::u16string& directory);
// The installation folder followed by "\ci\"; 0, or -1 when the append fails.
int32_t GetCiDirectory(Platform& platform, std::u16string& directory);
// The full path of |fileName| in the ci folder, composed afresh (registry read
// included): how ResourceModulePath and the properties file path are made.
std::u16string ComposeCiFilePath(Platform& platform, const std::u16string& fileName);

// The text of the REG_SZ value |valueName| under the product key (not the
// subkey that "Version" names: the value is the host's, not an installed
// version's); nothing when it is missing or cannot be read.
std::optional<std::string> ReadProductKeyText(Platform& platform, const char* valueName);
// The REG_DWORD value |valueName| under the product key; nothing when it is
// missing or of another type.
std::optional<uint32_t> ReadProductKeyDword(Platform& platform, const char* valueName);

}  // namespace qel
