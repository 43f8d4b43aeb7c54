// The hosted platform's disk: Windows paths mapped onto a disk folder, the
// ground under the path and file tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

TEST(HostedMapPath, MapsDrivesSeparatorsAndLetterCase) {
  test::TempFolder disk;
  const auto file = disk.Write("C/Program Files/Telvar/ci/File.TXT", "x");
  const auto other = disk.Write("d/x.txt", "y");
  disk.Write(u8"C/\u00DCber/a.txt", "z");
  HostedPlatform platform;
  platform.SetDiskRoot(disk.Path());

  const struct {
    std::string windows;
    std::filesystem::path disk;  // empty: no mapping at all
  } cases[] = {
      {"C:\\Program Files\\Telvar\\ci\\File.TXT", file},
      {"c:\\PROGRAM FILES\\telvar\\CI\\file.txt", file},
      {"C:/Program Files/Telvar/ci/File.TXT", file},
      {"C:\\Program Files/Telvar\\\\ci/File.TXT", file},  // mixed and doubled separators
      {"\\Program Files\\Telvar\\ci\\File.TXT", file},    // the current drive is C:
      {"D:\\X.TXT", other},
      // Names that match nothing are taken as written; only ASCII case folds.
      {"C:\\New\\f.txt", disk.Path() / "C" / "New" / "f.txt"},
      {u8"C:\\\u00FCber\\a.txt", disk.Path() / "C" / u8"\u00FCber" / "a.txt"},
      {"ci\\File.TXT", {}},
      {"C:File.TXT", {}},
  };
  for (const auto& c : cases) {
    std::optional<std::filesystem::path> mapped = platform.MapPath(c.windows);
    if (c.disk.empty()) {
      EXPECT_FALSE(mapped.has_value()) << c.windows;
    } else {
      EXPECT_EQ(mapped, std::optional<std::filesystem::path>(c.disk)) << c.windows;
    }
  }
  EXPECT_EQ(platform.MapPath(u"C:\\\u00DCber\\A.TXT"),
            std::optional<std::filesystem::path>(disk.Path() / "C" / u8"\u00DCber" / "a.txt"));

  HostedPlatform unrooted;
  EXPECT_FALSE(unrooted.MapPath("C:\\Program Files\\Telvar\\ci\\File.TXT").has_value());
}

}  // namespace
}  // namespace qel
