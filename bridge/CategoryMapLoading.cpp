#include "bridge/CategoryMapLoading.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "config/InstallPaths.h"
#include "config/PropertiesFile.h"
#include "config/StringResources.h"
#include "config/TextConversions.h"
#include "platform/ScopedHandles.h"

namespace qel {
namespace {

constexpr char16_t kPropertiesFileName[] = u"qelevent.properties";
constexpr char kMarker[] = "Telvar_Services.";
constexpr uint32_t kFirstCategoryId = 1002;

// Opens the file as the properties reader does (wide on NT, ANSI elsewhere)
// with |access|; 0 asks for no access at all, which opens a file that may
// not be read as well.
HFile OpenLikeTheReader(Platform& platform, const std::u16string& path, uint32_t access) {
  constexpr uint32_t kShare = kFileShareRead | kFileShareWrite;
  return IsWindowsNt(platform) ? platform.CreateFileW(path.c_str(), access, kShare, kOpenExisting)
                               : platform.CreateFileA(WideToAnsi(platform, path).c_str(), access,
                                                      kShare, kOpenExisting);
}

// Looked at only when the file gave no marked entry: whether its first two
// bytes are those of UTF-16 (a byte order mark, or the NUL half of an ASCII
// character), which the reader takes as bytes and finds nothing in.
bool StartsAsUtf16(Platform& platform, const std::u16string& path) {
  const HFile opened = OpenLikeTheReader(platform, path, kGenericRead);
  if (opened == InvalidHandleValue()) return false;
  const UniqueFile file(opened, FileClose{&platform});
  unsigned char start[2] = {};
  uint32_t read = 0;
  if (!platform.ReadFile(file.get(), start, sizeof start, &read) || read != sizeof start) {
    return false;
  }
  return (start[0] == 0xFF && start[1] == 0xFE) || (start[0] == 0xFE && start[1] == 0xFF) ||
         start[0] == 0 || start[1] == 0;
}

}  // namespace

CategoryMapLoad LoadCategoryMap(Platform& platform, const std::u16string& resourceModulePath,
                                CategoryMap& map) {
  CategoryMapLoad load;
  try {
    const std::u16string path = ComposeCiFilePath(platform, kPropertiesFileName);
    load.path = path;
    // Read-only: an installed file that ordinary users may not change must
    // still give its categories.
    PropertiesFile file(platform, path, std::ios_base::in);
    if (!file.is_open() || file.fail()) {
      const HFile probe =
          path.empty() ? InvalidHandleValue() : OpenLikeTheReader(platform, path, 0);
      if (probe != InvalidHandleValue()) {
        platform.CloseHandle(probe);
        load.file = CategoryMapLoad::File::unreadable;
      }
      return load;
    }
    load.file = CategoryMapLoad::File::read;
    std::vector<std::u16string> keys;
    file.EnumerateKeys(keys);
    file.Rewind();

    // Ids go by the position among the marked entries: each one uses up its
    // id, also when it is not stored.
    uint32_t id = kFirstCategoryId;
    for (const std::u16string& key : keys) {
      // Each search starts after the previous one's line, so a key that
      // occurs twice gets the value of each of its lines in turn.
      std::u16string value;
      file.FindValue(key, value);
      const std::string text = WideToUtf8(value);
      const size_t marker = text.find(kMarker);
      if (marker == std::string::npos || marker == 0) continue;
      ++load.marked;
      try {
        const std::u16string className = Utf8ToWide(text.substr(marker + std::strlen(kMarker)));
        map.addIfAbsent(className, LoadResourceString(platform, resourceModulePath, id));
      } catch (...) {
        // This entry is left out; the ones after it keep their ids.
        load.stringMissing = true;
      }
      ++id;
    }
    if (load.marked == 0) load.utf16 = StartsAsUtf16(platform, path);
  } catch (...) {
    // Out of memory or a broken stream: what was added stays, and the host
    // hears nothing of it.
  }
  return load;
}

}  // namespace qel
