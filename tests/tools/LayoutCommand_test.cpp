#include "tools/LayoutCommand.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "bridge/CallerLayout.h"
#include "config/InstallPaths.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/PeImageBuilder.h"
#include "support/TestSupport.h"
#include "tools/PropertiesCheck.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// What the command says of a module file and the registry value, and its
// exit status: a layout named is all well; refused strings, an invalid
// value or only the built-in layout are findings; no PE image cannot run.
TEST(LayoutCommand, SaysWhatThePluginChoosesAndWhy) {
  struct Row {
    const char* what;
    std::string file;
    const char* value;  // null: no registry at hand; "": none set
    int status;
    const char* says;
  };
  const Row rows[] = {
      {"an import", test::PeImage({"KERNEL32.dll", "MSVCP80.dll"}).File(), "", kAllWell,
       "host.exe imports MSVCP80.dll: its strings are read as Visual C++ 2002-2008's (msvc7)"},
      {"a valid value over the imports", test::PeImage({"MSVCP80.dll"}).File(), "mingw", kAllWell,
       "(its imports name MSVCP80.dll, which the value overrides)"},
      {"an invalid value", test::PeImage({"MSVCP80.dll"}).File(), "msvc2005", kFindings,
       "\"msvc2005\" names no layout"},
      {"a debug library", test::PeImage({"msvcp140d.dll"}).File(), "", kFindings,
       "a debug library"},
      {"no import that names the compiler", test::PeImage({"msvcrt.dll"}).File(), "", kFindings,
       "The registry value decides (without it, the built-in msvc6). Which compiler built it "
       "cannot be told here"},
      {"no registry at hand", test::PeImage({"msvcrt.dll"}).File(), nullptr, kFindings,
       "registry value HostStringLayout: not at hand here"},
      {"the registry names it", test::PeImage({"msvcrt.dll"}).File(), "msvc10", kAllWell,
       "the registry value HostStringLayout names msvc10"},
      {"no PE image", "MZ but nothing more", "", kCouldNotRun, "is no Windows executable or DLL"},
  };
  test::TempFolder dir;
  for (const Row& row : rows) {
    const fs::path module = dir.Path() / "host.exe";
    std::ofstream(module, std::ios::binary | std::ios::trunc) << row.file;
    HostedPlatform registry;
    if (row.value != nullptr && *row.value != '\0') {
      registry.Registry().SetString(kProductKey, kHostStringLayoutValue, row.value);
    }
    LayoutSettings settings;
    settings.module = module;
    settings.registry = row.value != nullptr ? &registry : nullptr;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunLayout(settings, out, err), row.status) << row.what << "\n" << out.str();
    EXPECT_NE((out.str() + err.str()).find(row.says), std::string::npos) << row.what << "\n"
                                                                         << out.str() << err.str();
  }
}

}  // namespace
}  // namespace qel::tool
