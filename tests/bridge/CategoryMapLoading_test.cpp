#include "bridge/CategoryMapLoading.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/InstallPaths.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;

// The category names of the string table, ids 1002 to 1020.
const std::u16string kCategories[] = {
    u"System Enclosure",
    u"Fan",
    u"Disk Space Low",
    u"Temperature",
    u"Power Supply",
    u"Netkeel",
    u"SMART Drive",
    u"Redundant Network Adapter Failover",
    u"Redundant Network Adapter Switchover",
    u"Redundant Network Adapter Switchback",
    u"Lease Expiration",
    u"Warranty Expiration",
    u"Processor Kestrin",
    u"Memory Kestrin",
    u"Kestrin",
    u"Server Power Supply",
    u"Error Log",
    u"Remote Login",
    u"Arravault Health",
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The product installed in C:\Telvar, with the real string table in its ci
// folder.
class CategoryMapLoadingTest : public ::testing::Test {
 protected:
  CategoryMapLoadingTest() {
    platform_.SetDiskRoot(disk_.Path());
    Install("C:\\Telvar", "C/Telvar");
    resourceModule_ = ComposeCiFilePath(platform_, u"qelevent.dll");
  }

  void Install(const std::string& windowsFolder, const std::string& diskFolder) {
    platform_.Registry().SetString("SOFTWARE\\Korvane\\Telvar", "TELVARPATH", windowsFolder);
    disk_.Write(diskFolder + "/ci/qelevent.dll", ReadFile(QEL_PE_FIXTURE_DIR "/qelevent.dll"));
  }

  void WriteProperties(const std::string& bytes, const std::string& folder = "C/Telvar") {
    disk_.Write(folder + "/ci/qelevent.properties", bytes);
  }

  void Load() { LoadCategoryMap(platform_, resourceModule_, map_); }

  // The map holds exactly |expected|.
  void ExpectMap(const Pairs& expected) {
    EXPECT_EQ(map_.size(), expected.size());
    for (const auto& [className, category] : expected) {
      EXPECT_EQ(map_.lookup(className), category) << ::testing::PrintToString(className);
    }
  }

  test::TempFolder disk_;
  HostedPlatform platform_;
  std::u16string resourceModule_;
  CategoryMap map_;
};

TEST_F(CategoryMapLoadingTest, GivesMarkedClassesTheCategoriesInOrder) {
  const std::u16string& first = kCategories[0];
  const std::u16string& second = kCategories[1];
  const std::u16string& third = kCategories[2];
  const struct {
    const char* what;
    std::string properties;
    Pairs map;
  } cases[] = {
      {"two marked entries",
       "x=aTelvar_Services.X\ny=aTelvar_Services.Y\n",
       {{u"X", first}, {u"Y", second}}},
      {"the marker at the start uses up no id",
       "x=Telvar_Services.X\ny=aTelvar_Services.Y\n",
       {{u"Y", first}}},
      {"no marker uses up no id", "x=plain X\ny=aTelvar_Services.Y\n", {{u"Y", first}}},
      {"the marker is case-sensitive",
       "x=atelvar_services.X\ny=aTelvar_Services.Y\n",
       {{u"Y", first}}},
      {"a marker in a key marks nothing", "aTelvar_Services.X=plain\n", {}},
      {"the class runs to the end of the value",
       "x=aTelvar_Services.XTelvar_Services.Y\n",
       {{u"XTelvar_Services.Y", first}}},
      {"the marker alone gives an empty class name",
       "x=aTelvar_Services.\ny=aTelvar_Services.Y\n",
       {{u"", first}, {u"Y", second}}},
      {"a duplicate class keeps the first category and uses up an id",
       "x=aTelvar_Services.X\nx2=bTelvar_Services.X\nz=cTelvar_Services.Z\n",
       {{u"X", first}, {u"Z", third}}},
      {"a repeated key gets each line's value",
       "k=aTelvar_Services.X\nk=aTelvar_Services.Y\n",
       {{u"X", first}, {u"Y", second}}},
      {"class names are UTF-8",
       "x=cim:Telvar_Services.Gr\xC3\xBC\xC3\x9F\n",
       {{u"Gr\u00FC\u00DF", first}}},
      {"an empty file", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    map_.clear();
    WriteProperties(c.properties);
    Load();
    ExpectMap(c.map);
  }
}

TEST_F(CategoryMapLoadingTest, ATwentiethMarkedEntryHasNoCategory) {
  std::string properties;
  Pairs expected;
  for (int n = 1; n <= 20; ++n) {
    properties += "k" + std::to_string(n) + "=aTelvar_Services.C" + std::to_string(n) + "\n";
    if (n <= 19) {
      const std::string name = "C" + std::to_string(n);
      expected.emplace_back(std::u16string(name.begin(), name.end()), kCategories[n - 1]);
    }
  }
  WriteProperties(properties);
  Load();
  ExpectMap(expected);
  EXPECT_EQ(map_.lookup(u"C20"), u"");
  EXPECT_EQ(platform_.LoadedModuleCount(), 0);  // every load released, the failed one too
}

TEST_F(CategoryMapLoadingTest, AnEntryWhoseStringFailsUsesUpItsId) {
  WriteProperties("x=aTelvar_Services.X\ny=aTelvar_Services.Y\n");
  platform_.FailCall("LoadStringA", 1);
  Load();
  ExpectMap({{u"Y", kCategories[1]}});
}

TEST_F(CategoryMapLoadingTest, TheBundledFileMapsNineteenClasses) {
  WriteProperties(ReadFile(QEL_SOURCE_DIR "/resources/qelevent.properties"));
  Load();
  const std::u16string classes[] = {
      u"CIM_Chassis",
      u"CIM_Fan",
      u"CIM_LogicalDisk",
      u"CIM_TemperatureSensor",
      u"CIM_PowerSupply",
      u"CIM_Netkeel",
      u"CIM_DiskDrive",
      u"CIM_NetworkAdapterFailover",
      u"CIM_NetworkAdapterSwitchover",
      u"CIM_NetworkAdapterSwitchback",
      u"CIM_LeaseExpiration",
      u"CIM_WarrantyExpiration",
      u"CIM_Processor",
      u"CIM_Memory",
      u"CIM_Kestrin",
      u"CIM_ServerPowerSupply",
      u"CIM_MessageLog",
      u"CIM_RemoteServiceAccessPoint",
      u"CIM_ArravaultHealth",
  };
  Pairs expected;
  for (size_t i = 0; i < 19; ++i) expected.emplace_back(classes[i], kCategories[i]);
  ExpectMap(expected);
}

TEST_F(CategoryMapLoadingTest, ASecondLoadChangesNothing) {
  WriteProperties("x=aTelvar_Services.X\ny=aTelvar_Services.Y\n");
  Load();
  WriteProperties("y=aTelvar_Services.Y\nx=aTelvar_Services.X\n");
  Load();
  ExpectMap({{u"X", kCategories[0]}, {u"Y", kCategories[1]}});
}

// Looking a class up before the map is loaded leaves no trace, so the class
// still gets its category.
TEST_F(CategoryMapLoadingTest, AClassLookedUpBeforeLoadingGetsItsCategory) {
  EXPECT_EQ(map_.lookup(u"X"), u"");
  WriteProperties("x=aTelvar_Services.X\n");
  Load();
  EXPECT_EQ(map_.lookup(u"X"), kCategories[0]);
}

// A read-only file refuses to be opened for writing.
TEST_F(CategoryMapLoadingTest, ReadsAReadOnlyFileWithoutAskingToWrite) {
  WriteProperties("x=aTelvar_Services.X\n");
  platform_.SetReadOnly("C:\\Telvar\\ci\\qelevent.properties");
  Load();
  ExpectMap({{u"X", kCategories[0]}});
}

TEST_F(CategoryMapLoadingTest, ComposesThePathAfreshOnEveryLoad) {
  WriteProperties("x=aTelvar_Services.X\n");
  Load();
  Install("D:\\Other", "D/Other");
  WriteProperties("y=aTelvar_Services.Y\n", "D/Other");
  Load();
  ExpectMap({{u"X", kCategories[0]}, {u"Y", kCategories[0]}});
}

TEST_F(CategoryMapLoadingTest, WithoutAFolderInTheRegistryLooksAtTheRoot) {
  platform_.Registry().DeleteKey("SOFTWARE\\Korvane");
  WriteProperties("x=aTelvar_Services.X\n", "C");
  Load();
  ExpectMap({{u"X", kCategories[0]}});
}

TEST_F(CategoryMapLoadingTest, MissingFilesLeaveTheMapAsItWas) {
  map_.addIfAbsent(u"Kept", u"Category");
  Load();  // no properties file
  ExpectMap({{u"Kept", u"Category"}});

  // No string table: every entry is left out.
  WriteProperties("x=aTelvar_Services.X\n");
  resourceModule_ = u"C:\\Telvar\\\\ci\\missing.dll";
  Load();
  ExpectMap({{u"Kept", u"Category"}});
}

}  // namespace
}  // namespace qel
