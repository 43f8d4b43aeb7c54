#include "bridge/CategoryMapLoading.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "config/InstallPaths.h"
#include "config/PropertiesFile.h"
#include "config/StringResources.h"
#include "config/TextConversions.h"

namespace qel {
namespace {

constexpr char16_t kPropertiesFileName[] = u"qelevent.properties";
constexpr char kMarker[] = "Telvar_Services.";
constexpr uint32_t kFirstCategoryId = 1002;

}  // namespace

void LoadCategoryMap(Platform& platform, const std::u16string& resourceModulePath,
                     CategoryMap& map) {
  try {
    const std::u16string path = ComposeCiFilePath(platform, kPropertiesFileName);
    // Read-only: an installed file that ordinary users may not change must
    // still give its categories.
    PropertiesFile file(platform, path, std::ios_base::in);
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
      try {
        const std::u16string className = Utf8ToWide(text.substr(marker + std::strlen(kMarker)));
        map.addIfAbsent(className, LoadResourceString(platform, resourceModulePath, id));
      } catch (...) {
        // This entry is left out; the ones after it keep their ids.
      }
      ++id;
    }
  } catch (...) {
    // Out of memory or a broken stream: what was added stays, and the host
    // hears nothing of it.
  }
}

}  // namespace qel
