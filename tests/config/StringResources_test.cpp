#include "config/StringResources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// ResourceModulePath as start-up composes it, with its doubled backslash.
const std::u16string kModulePath = u"C:\\Prog\\\\ci\\qelevent.dll";

// The qelevent.dll of the win32 build, when that build has been made.
std::optional<fs::path> Win32BuildModule() {
#ifdef QEL_WIN32_BUILD_DIR
  std::error_code error;
  fs::recursive_directory_iterator it(QEL_WIN32_BUILD_DIR, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    // The test fixtures carry copies of the name; only the product counts.
    if (it->is_directory(error) && (name == "tests" || name == "CMakeFiles")) {
      it.disable_recursion_pending();
    } else if (name == "qelevent.dll") {
      return it->path();
    }
  }
#endif
  return std::nullopt;
}

// The hosted platform with C: on a temporary folder and |module| installed
// at kModulePath.
class StringResourcesTest : public ::testing::Test {
 protected:
  StringResourcesTest() { platform.SetDiskRoot(disk.Path()); }
  void Install(const fs::path& module) const {
    const fs::path target = disk.Path() / "C" / "Prog" / "ci" / "qelevent.dll";
    fs::create_directories(target.parent_path());
    fs::copy_file(module, target, fs::copy_options::overwrite_existing);
  }
  static fs::path Fixture(const char* name) { return fs::path(QEL_PE_FIXTURE_DIR) / name; }
  // The message of the invalid_argument that the load throws, or "no exception".
  std::string Failure(const std::u16string& path, uint32_t id) {
    try {
      LoadResourceString(platform, path, id);
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "no exception";
  }

  test::TempFolder disk;
  HostedPlatform platform;
};

// The string table, read from the module built from resources/qelevent.rc and
// from the qelevent.dll of the win32 build.
class StringTableTest : public StringResourcesTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(StringTableTest, HoldsIdsThousandToThousandTwentyInUsEnglish) {
  std::optional<fs::path> module;
  if (std::string(GetParam()) == "rc") {
    module = Fixture("qelevent.dll");
  } else {
    module = Win32BuildModule();
    if (!module) GTEST_SKIP() << "no qelevent.dll in the win32 build folder yet";
  }
  Install(*module);

  EXPECT_EQ(LoadResourceString(platform, kModulePath, 1000), u"CIM");
  EXPECT_EQ(LoadResourceString(platform, kModulePath, 1001), u"Marquel Agent Events");
  EXPECT_EQ(LoadResourceString(platform, kModulePath, 1002), u"System Enclosure");
  EXPECT_EQ(LoadResourceString(platform, kModulePath, 1010),
            u"Redundant Network Adapter Switchover");
  EXPECT_EQ(LoadResourceString(platform, kModulePath, 1020), u"Arravault Health");
  // Exactly 1000..1020 within the two blocks that hold them (992..1023).
  for (uint32_t id = 992; id < 1024; ++id) {
    if (id >= 1000 && id <= 1020) {
      EXPECT_NO_THROW(LoadResourceString(platform, kModulePath, id)) << id;
    } else {
      EXPECT_EQ(Failure(kModulePath, id), "::LoadString() failed.") << id;
    }
  }

  HModule loaded = platform.LoadLibraryExA("C:\\Prog\\ci\\qelevent.dll", kLoadLibraryAsDatafile);
  ASSERT_NE(loaded, nullptr);
  std::vector<ResourceName> blocks;
  platform.EnumResourceNamesA(loaded, kRtString, [&](ResourceName name) {
    blocks.push_back(name);
    return true;
  });
  EXPECT_EQ(blocks, (std::vector<ResourceName>{MakeIntResource(63), MakeIntResource(64)}));
  for (ResourceName block : blocks) {
    std::vector<uint16_t> languages;
    platform.EnumResourceLanguagesA(loaded, kRtString, block, [&](uint16_t language) {
      languages.push_back(language);
      return true;
    });
    EXPECT_EQ(languages, std::vector<uint16_t>{0x0409});
  }
  platform.FreeLibrary(loaded);
  EXPECT_EQ(platform.LoadedModuleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modules, StringTableTest, ::testing::Values("rc", "win32"));

TEST_F(StringResourcesTest, FailsWithTheLoadLibraryMessageWhenTheModuleDoesNotLoad) {
  EXPECT_EQ(Failure(kModulePath, 1000), "::LoadLibrary() failed.");  // no such file
  disk.Write("C/Prog/ci/qelevent.dll", "MZ and nothing more");
  EXPECT_EQ(Failure(kModulePath, 1000), "::LoadLibrary() failed.");  // not a module
  // A path beyond the limits of the path functions names no file at all.
  EXPECT_EQ(Failure(u"C:\\" + std::u16string(300, u'a') + u"\\qelevent.dll", 1000),
            "::LoadLibrary() failed.");
  EXPECT_EQ(platform.LoadedModuleCount(), 0);
}

TEST_F(StringResourcesTest, ReleasesTheModuleBeforeLookingAtTheResult) {
  Install(Fixture("qelevent.dll"));
  EXPECT_EQ(Failure(kModulePath, 1021), "::LoadString() failed.");
  std::vector<std::string> calls;
  for (const std::string& entry : platform.CallLog()) {
    if (entry.rfind("LoadLibrary", 0) == 0 || entry.rfind("LoadStringA", 0) == 0 ||
        entry.rfind("FreeLibrary", 0) == 0 || entry.rfind("SetErrorMode", 0) == 0) {
      calls.push_back(entry.substr(0, entry.find('(')));
    }
  }
  // Loaded as a data file (no start-up code runs), error mode untouched.
  EXPECT_EQ(calls, (std::vector<std::string>{"LoadLibraryExA", "LoadStringA", "FreeLibrary"}));
  // The path as PathParts joins it, converted to the ANSI code page.
  for (const std::string& entry : platform.CallLog()) {
    if (entry.rfind("LoadLibraryExA", 0) == 0) {
      EXPECT_EQ(entry, "LoadLibraryExA(\"C:\\Prog\\\\ci\\qelevent.dll\", 2)");
    }
  }

  platform.FailCall("LoadStringA", 1);
  EXPECT_EQ(Failure(kModulePath, 1000), "::LoadString() failed.");
  EXPECT_EQ(platform.LoadedModuleCount(), 0);
}

TEST_F(StringResourcesTest, HoldsNoModuleAfterAnyNumberOfCalls) {
  Install(Fixture("qelevent.dll"));
  int loads = 0;
  for (int round = 0; round < 20; ++round) {
    for (uint32_t id : {1000u, 1020u, 999u, 1021u, 0u}) {
      try {
        LoadResourceString(platform, kModulePath, id);
      } catch (const std::invalid_argument&) {
      }
      ++loads;
    }
    try {
      LoadResourceString(platform, u"C:\\Prog\\ci\\missing.dll", 1000);
    } catch (const std::invalid_argument&) {
    }
  }
  EXPECT_EQ(platform.LoadedModuleCount(), 0);
  EXPECT_EQ(platform.LoadCount(), loads);
  EXPECT_EQ(platform.ReleaseCount(), loads);
}

TEST_F(StringResourcesTest, TextsCrossTheAnsiCodePage) {
  Install(Fixture("texts.dll"));
  // e-acute and the euro sign exist in Windows-1252 and come back unchanged.
  EXPECT_EQ(LoadResourceString(platform, kModulePath, 2000), u"caf\u00e9 \u20ac");
  // CJK ideographs and an omega do not: each becomes the default character.
  const std::u16string stored = u"\u4e2d\u6587 \u03a9";
  const std::u16string loaded = LoadResourceString(platform, kModulePath, 2001);
  EXPECT_NE(loaded, stored);
  EXPECT_EQ(loaded, u"?? ?");
}

TEST_F(StringResourcesTest, DeliversAtMost1023Characters) {
  Install(Fixture("texts.dll"));
  const std::u16string whole = LoadResourceString(platform, kModulePath, 2002);
  EXPECT_EQ(whole, std::u16string(1022, u'a') + u"z");
  const std::u16string cut = LoadResourceString(platform, kModulePath, 2003);
  EXPECT_EQ(cut, std::u16string(1022, u'b') + u"y");
}

}  // namespace
}  // namespace qel
