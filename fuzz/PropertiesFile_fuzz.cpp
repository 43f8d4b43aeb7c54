// A properties file of arbitrary bytes, read the way the category map loading
// reads it: the keys, one rewind, then the chain of forward searches.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/PropertiesFile.h"
#include "fuzz/FuzzCheck.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

namespace fs = std::filesystem;

// One disk for the whole run; each input overwrites the file.
struct Disk {
  Disk() : root(fs::temp_directory_path() / ("qel-fuzz-properties-" + std::to_string(getpid()))) {
    fs::create_directories(root / "C" / "fuzz");
    platform.SetDiskRoot(root);
  }
  ~Disk() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  fs::path File() const { return root / "C" / "fuzz" / "input.properties"; }

  fs::path root;
  qel::HostedPlatform platform;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Disk disk;
  {
    std::ofstream out(disk.File(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    QEL_FUZZ_CHECK(out.good());
  }
  disk.platform.ClearCallLog();

  qel::PropertiesFile file(disk.platform, u"C:\\fuzz\\input.properties",
                           std::ios_base::in | std::ios_base::out);
  QEL_FUZZ_CHECK(file.is_open());
  std::vector<std::u16string> keys;
  file.EnumerateKeys(keys);

  // A line gives at most one entry, and 0x1A ends the content.
  const uint8_t* end = std::find(data, data + size, uint8_t{0x1A});
  QEL_FUZZ_CHECK(keys.size() <= static_cast<size_t>(std::count(data, end, uint8_t{'\n'})) + 1);

  file.Rewind();
  for (const std::u16string& key : keys) {
    QEL_FUZZ_CHECK(!key.empty());
    std::u16string value;
    file.FindValue(key, value);
    // Each search starts just after the previous key's line, so it meets its
    // own key's line first, and that line gave an entry only with a value.
    QEL_FUZZ_CHECK(!value.empty());
  }

  file.Rewind();
  std::vector<std::u16string> again;
  file.EnumerateKeys(again);
  QEL_FUZZ_CHECK(again == keys);
  return 0;
}
