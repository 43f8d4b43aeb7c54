#include "tools/SendEvent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bridge/CallerLayout.h"
#include "bridge/HostString.h"
#include "config/InstallPaths.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/PeImageBuilder.h"
#include "support/TestSupport.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// send passes the strings the plug-in will read from the tool itself: by its
// imports, else the registry value, else the built-in layout.
TEST(SendEvent, PassesTheLayoutThePluginChoosesForTheTool) {
  test::TempFolder dir;
  const fs::path plain = dir.Path() / "plain.exe";
  const fs::path gcc = dir.Path() / "gcc.exe";
  std::ofstream(plain, std::ios::binary) << test::PeImage({"KERNEL32.dll", "msvcrt.dll"}).File();
  std::ofstream(gcc, std::ios::binary) << test::PeImage({"libstdc++-6.dll"}).File();
  HostedPlatform registry;
  std::string why;
  EXPECT_EQ(LayoutForCaller(registry, plain, &why), HostStringLayout::msvc6);
  EXPECT_NE(why.find("is not set"), std::string::npos) << why;
  EXPECT_EQ(LayoutForCaller(registry, gcc, &why), HostStringLayout::mingw);
  registry.Registry().SetString(kProductKey, kHostStringLayoutValue, "msvc10");
  EXPECT_EQ(LayoutForCaller(registry, plain, &why), HostStringLayout::msvc10);
  EXPECT_NE(why.find("HostStringLayout names msvc10"), std::string::npos) << why;
}

}  // namespace
}  // namespace qel::tool
