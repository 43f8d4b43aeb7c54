#include "tools/Installation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "support/TestSupport.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadSource(const std::string& relative) {
  std::ifstream file(fs::path(QEL_SOURCE_DIR) / relative, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// The registry exports we ship must say what we mean: the sample's names its
// installation folder through the Version subkey, and the package's template,
// once filled in, does the same for the integrator's folder.
TEST(InstallationTest, TheShippedRegistryExportsNameTheInstallationFolder) {
  std::string filledTemplate = ReadSource("packaging/telvar-product-key.reg");
  Replace(filledTemplate, "<version>", "5.0");
  Replace(filledTemplate, "<installation folder>", "D:\\\\Apps\\\\Telvar");
  const struct {
    std::string name;
    std::string text;
    std::string folder;
  } exports[] = {
      {"sample", ReadSource("samples/install/telvar.reg"), "C:\\Program Files\\Korvane\\Telvar\\"},
      {"template", filledTemplate, "D:\\Apps\\Telvar\\"},
  };
  for (const auto& e : exports) {
    test::TempFolder folder;
    folder.Write("key.reg", e.text);
    InstallationPlatform platform;
    std::string error;
    ASSERT_TRUE(platform.LoadRegistry(folder.Path(), error)) << e.name << ": " << error;
    std::u16string directory;
    EXPECT_EQ(GetInstallDirectory(platform, directory), 0) << e.name;
    EXPECT_EQ(WideToUtf8(directory), e.folder) << e.name;
    // A folder from the Version subkey: the product key itself holds none.
    EXPECT_EQ(platform.Registry().FindKey("SOFTWARE\\Korvane\\Telvar")->values.count("TELVARPATH"),
              0u)
        << e.name;
  }
}

TEST(InstallationTest, ImportsEveryExportInNameOrderAndMapsTheDrives) {
  test::TempFolder folder;
  folder.Write("1-key.reg",
               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
               "\"TELVARPATH\"=\"C:\\\\Old\"\n");
  folder.Write("2-fix.reg",
               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
               "\"TELVARPATH\"=\"E:\\\\New\"\n");
  folder.Write("notes.txt", "not an export");
  InstallationPlatform platform;
  std::string error;
  ASSERT_TRUE(platform.LoadRegistry(folder.Path(), error)) << error;
  EXPECT_EQ(platform.CiFileOnDisk(u"qelevent.dll"),
            folder.Path() / "E" / "New" / "ci" / "qelevent.dll");
}

}  // namespace
}  // namespace qel::tool
