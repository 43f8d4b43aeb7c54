#include "ipc/LibraryHandle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"

namespace qel {
namespace {

using ::testing::ElementsAre;

TEST(LibraryBaseNameTest, KeepsOnlyTheUpperCasedFileName) {
  struct Case {
    const char* path;
    const char* baseName;
  };
  const Case cases[] = {
      {"VOVURU32.DLL", "VOVURU32"},
      {"c:\\dir\\lib.dll", "LIB"},
      {"c:lib.dll", "LIB"},
      {"d:/x.y/name", "NAME"},  // a dot in a folder is no extension
      {"archive.tar.gz", "ARCHIVE.TAR"},
      {"\\\\server\\share\\Mixed9_z.Dll", "MIXED9_Z"},
      {".hidden", ""},
      {"c:\\folder\\", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LibraryBaseName(c.path), c.baseName) << c.path;
  }
}

TEST(LibraryBaseNameTest, CutsAnOverlongNameToTheRuntimeBuffer) {
  std::string name(300, 'a');
  EXPECT_EQ(LibraryBaseName("c:\\" + name + ".dll"), std::string(255, 'A'));
}

class LibraryHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::InstallIpcLibrary(platform_);
    // A previous error mode that is not 0, to see it restored.
    platform_.SetErrorMode(kSemFailCriticalErrors);
    platform_.ClearCallLog();
  }

  HostedPlatform platform_;
};

TEST_F(LibraryHandleTest, NullPathStaysUnloadedAndNeverCallsTheSystem) {
  LibraryHandle handle(platform_, nullptr);
  EXPECT_EQ(handle.Module(), nullptr);
  EXPECT_EQ(handle.Path(), nullptr);
  EXPECT_EQ(handle.BaseName(), nullptr);
  EXPECT_EQ(handle.LoadCount(), 0u);
  EXPECT_EQ(handle.Resolve("InitApplication"), nullptr);
  EXPECT_FALSE(handle.Load());
  handle.Release();
  EXPECT_TRUE(platform_.CallLog().empty());
}

TEST_F(LibraryHandleTest, LoadsAtConstructionWithErrorBoxesSuppressed) {
  LibraryHandle handle(platform_, "VOVURU32.DLL");
  ASSERT_NE(handle.Module(), nullptr);
  EXPECT_STREQ(handle.Path(), "VOVURU32.DLL");
  EXPECT_STREQ(handle.BaseName(), "VOVURU32");
  EXPECT_EQ(handle.LoadCount(), 1u);
  EXPECT_THAT(
      platform_.CallLog(),
      ElementsAre("SetErrorMode(0x8001)", "LoadLibraryA(\"VOVURU32.DLL\")", "SetErrorMode(0x1)"));
  EXPECT_EQ(handle.Resolve("EnqueueMessage"), standin::IpcLibraryExports()["EnqueueMessage"]);
  EXPECT_EQ(handle.Resolve("NoSuchEntry"), nullptr);
  handle.Release();
}

TEST_F(LibraryHandleTest, MissingLibraryRestoresTheErrorModeAndStaysUnloaded) {
  platform_.RemoveCodeLibrary("VOVURU32.DLL");
  LibraryHandle handle(platform_, "c:\\dir\\lib.dll");
  EXPECT_EQ(handle.Module(), nullptr);
  EXPECT_EQ(handle.LoadCount(), 0u);
  EXPECT_STREQ(handle.BaseName(), "LIB");
  EXPECT_THAT(platform_.CallLog(),
              ElementsAre("SetErrorMode(0x8001)", "LoadLibraryA(\"c:\\dir\\lib.dll\")",
                          "SetErrorMode(0x1)"));
  handle.Release();
  EXPECT_EQ(platform_.CallCount("FreeLibrary"), 0);
}

TEST_F(LibraryHandleTest, SecondLoadCountsWithoutLoadingAndOneReleaseUnloads) {
  LibraryHandle handle(platform_, "VOVURU32.DLL");
  EXPECT_TRUE(handle.Load());
  EXPECT_EQ(handle.LoadCount(), 2u);
  EXPECT_EQ(platform_.CallCount("LoadLibraryA"), 1);

  handle.Release();
  EXPECT_EQ(platform_.CallCount("FreeLibrary"), 1);
  EXPECT_EQ(platform_.LoadedModuleCount(), 0);
  EXPECT_EQ(handle.Module(), nullptr);
  EXPECT_EQ(handle.Path(), nullptr);
  EXPECT_EQ(handle.BaseName(), nullptr);
  EXPECT_EQ(handle.LoadCount(), 2u);  // kept, as it was
  EXPECT_EQ(handle.Resolve("InitApplication"), nullptr);

  handle.Release();
  EXPECT_EQ(platform_.CallCount("FreeLibrary"), 1);
}

}  // namespace
}  // namespace qel
