#include "tools/SendEvent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bridge/HostString.h"
#include "platform/hosted/PeResources.h"
#include "tools/PropertiesCheck.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// The layout comes from the texts of the version resource, read as windres
// writes them; a module without one names none.
TEST(SendEvent, ReadsTheLayoutFromTheFileDescription) {
  std::string error;
  const auto plugin =
      ReadModule(fs::path(QEL_SOURCE_DIR) / "fuzz/corpus/PeResources/version.dll", error);
  ASSERT_NE(plugin, nullptr) << error;
  EXPECT_EQ(plugin->VersionString(u"FileDescription"),
            u"qelevent event plug-in (host strings: msvc7, Visual C++ 2002 to 2008)");
  EXPECT_EQ(PluginHostStringLayout(*plugin), HostStringLayout::msvc7);
  EXPECT_EQ(plugin->String(1000), u"CIM");  // the strings are read as before

  const auto unversioned = ReadModule(fs::path(QEL_PE_FIXTURE_DIR) / "qelevent.dll", error);
  ASSERT_NE(unversioned, nullptr) << error;
  EXPECT_EQ(PluginHostStringLayout(*unversioned), std::nullopt);
}

}  // namespace
}  // namespace qel::tool
