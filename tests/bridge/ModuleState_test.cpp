#include "bridge/ModuleState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "ipc/CommandSequenceCounter.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ModuleState, LoadAndUnloadWithoutACallLeaveNothingBehind) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  // A German user with a German language module beside the host executable:
  // the locale selection keeps that module loaded until unload.
  platform.SetUserDefaultLCID(0x0407);
  std::filesystem::path hostFolder = *platform.MapPath(std::string("C:\\Program Files\\Host"));
  std::filesystem::create_directories(hostFolder / "de");
  std::filesystem::copy_file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / "lang-0407.dll",
                             hostFolder / "de" / "qelevent.dll");
  platform.SetTickCount(0xFFFFFFFFu);
  {
    ModuleState state(platform);
    EXPECT_EQ(state.ResourceModulePath(), u"C:\\Prog\\Telvar\\\\ci\\qelevent.dll");
    EXPECT_EQ(state.Locale().chosenCode(), std::optional<std::string>("de"));
    EXPECT_EQ(state.Categories().size(), 0u);
    EXPECT_EQ(platform.LoadedModuleCount(), 1);
    // Seeded with the tick count, and wrapping from the top to 0.
    EXPECT_EQ(TheCommandSequenceCounter().Next(), 0xFFFFFFFFu);
    EXPECT_EQ(TheCommandSequenceCounter().Peek(), 0u);
  }
  EXPECT_EQ(platform.LoadedModuleCount(), 0);
  EXPECT_EQ(platform.LoadCount(), platform.ReleaseCount());
  for (const char* untouched : {"VNXEventW", "OpenWindowStationA", "SetProcessWindowStation"}) {
    EXPECT_EQ(platform.CallCount(untouched), 0) << untouched;
  }
  EXPECT_THAT(platform.CallLog(),
              ::testing::Not(::testing::Contains(::testing::HasSubstr("VOVURU32"))));
}

TEST(ModuleState, WithoutAnInstallationEverythingStillWorks) {
  HostedPlatform platform;
  ModuleState state(platform);
  EXPECT_EQ(state.ResourceModulePath(), u"\\ci\\qelevent.dll");
  EXPECT_TRUE(state.InitMap());
  EXPECT_EQ(state.Categories().size(), 0u);
  EXPECT_EQ(state.ProcessEvent(1, u"Host_Fan", u"t", u"c", u"x"), 0);
  ASSERT_EQ(platform.Events().size(), 1u);
  EXPECT_EQ(platform.Events()[0].source, u"*");
  EXPECT_THAT(platform.Events()[0].typePath, ElementsAre(u"*", u"Host_Fan"));
  // No language module and no string table in the host executable: no code
  // was chosen, and "en" goes with the event.
  EXPECT_EQ(state.Locale().chosenCode(), std::nullopt);
  EXPECT_EQ(platform.Events()[0].language, "en");
}

TEST(ModuleState, InitMapGivesEventsTheirCategories) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  installation.WriteProperties(
      "enclosure=xTelvar_Services.Host_Enclosure\r\n"
      "other=Telvar_Services.Host_Other\r\n"
      "fan=xTelvar_Services.Host_Fan\r\n");
  ModuleState state(platform);
  EXPECT_TRUE(state.InitMap());
  EXPECT_TRUE(state.InitMap());  // a second call adds nothing
  EXPECT_EQ(state.Categories().size(), 2u);

  EXPECT_EQ(state.ProcessEvent(1, u"Host_Fan", u"t", u"Critical", u"server1"), 0);
  EXPECT_EQ(state.ProcessEvent(2, u"Host_Other", u"t", u"Critical", u"server1"), 0);
  EXPECT_EQ(state.ProcessEvent(3, u"", u"t", u"Critical", u"server1"), 2);
  ASSERT_EQ(platform.Events().size(), 2u);
  EXPECT_THAT(platform.Events()[0].typePath, ElementsAre(u"Marquel Agent Events", u"Fan"));
  EXPECT_THAT(platform.Events()[1].typePath, ElementsAre(u"Marquel Agent Events", u"Host_Other"));
  EXPECT_THAT(platform.Sleeps(), IsEmpty());
  EXPECT_EQ(platform.CurrentWindowStation(), platform.OriginalWindowStation());
}

}  // namespace
}  // namespace qel
