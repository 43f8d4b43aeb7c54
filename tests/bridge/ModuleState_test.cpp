#include "bridge/ModuleState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <new>

#include "ipc/CommandSequenceCounter.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A German user with a German language module beside the host executable:
// the locale selection keeps that module loaded until unload.
void InstallGermanLanguageModule(HostedPlatform& platform) {
  platform.SetUserDefaultLCID(0x0407);
  std::filesystem::path hostFolder = *platform.MapPath(std::string("C:\\Program Files\\Host"));
  std::filesystem::create_directories(hostFolder / "de");
  std::filesystem::copy_file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / "lang-0407.dll",
                             hostFolder / "de" / "qelevent.dll");
}

// The names of the logged calls, without their arguments.
std::vector<std::string> CallNames(const std::vector<std::string>& log) {
  std::vector<std::string> names;
  names.reserve(log.size());
  for (const std::string& entry : log) names.push_back(entry.substr(0, entry.find('(')));
  return names;
}

TEST(ModuleState, LoadAndUnloadWithoutACallLeaveNothingBehind) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  InstallGermanLanguageModule(platform);
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

// Start-up runs in a fixed order: the module lock, the path from the
// registry, the language from the locale and the language module, the tick
// count; unload releases the language module and then the lock.
TEST(ModuleState, StartsUpAndTearsDownInAFixedOrder) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  InstallGermanLanguageModule(platform);
  platform.ClearCallLog();
  {
    ModuleState state(platform);
    EXPECT_THAT(CallNames(platform.CallLog()),
                ElementsAre("CreateCriticalSection",                             // the lock
                            "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey",  // "Version"
                            "RegOpenKeyExA", "RegQueryValueExA",                 // "TELVARPATH"
                            "MultiByteToWideChar", "MultiByteToWideChar", "RegCloseKey",
                            "GetUserDefaultLCID", "GetModuleHandleA", "GetModuleFileNameA",
                            "OpenFile", "SetErrorMode", "LoadLibraryExA", "SetErrorMode",
                            "EnumResourceNamesA", "EnumResourceLanguagesA",  // "de" confirmed
                            "GetTickCount"));
    platform.ClearCallLog();
  }
  EXPECT_THAT(CallNames(platform.CallLog()), ElementsAre("FreeLibrary", "DeleteCriticalSection"));
}

// A platform on which one call throws, as an allocation inside it would when
// memory runs out.
class ThrowingPlatform : public HostedPlatform {
 public:
  explicit ThrowingPlatform(std::string call) : throwIn_(std::move(call)) {}
  uint32_t GetModuleFileNameA(HModule module, char* buffer, uint32_t size) override {
    if (throwIn_ == "GetModuleFileNameA") throw std::bad_alloc();
    return HostedPlatform::GetModuleFileNameA(module, buffer, size);
  }
  bool EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                              const EnumResourceLanguageCallback& callback) override {
    if (throwIn_ == "EnumResourceLanguagesA") throw std::bad_alloc();
    return HostedPlatform::EnumResourceLanguagesA(module, type, name, callback);
  }

 private:
  std::string throwIn_;
};

// Memory that runs out while the language is chosen at load must not end the
// host process: the module starts without a code and without a language
// module (also when one was loaded already), and its events carry "en".
TEST(ModuleState, RunningOutOfMemoryWhileChoosingTheLanguageLeavesNoCode) {
  for (const char* call : {"GetModuleFileNameA", "EnumResourceLanguagesA"}) {
    SCOPED_TRACE(call);
    ThrowingPlatform platform(call);
    test::HostedInstallation installation(platform);
    InstallGermanLanguageModule(platform);
    ModuleState state(platform);
    EXPECT_EQ(state.Locale().chosenCode(), std::nullopt);
    EXPECT_EQ(platform.LoadedModuleCount(), 0);
    EXPECT_EQ(platform.CallCount("GetTickCount"), 1);  // start-up went on
    EXPECT_EQ(state.ProcessEvent(1, u"Host_Fan", u"t", u"c", u"x"), 0);
    ASSERT_EQ(platform.Events().size(), 1u);
    EXPECT_EQ(platform.Events()[0].language, "en");
  }
}

// Without memory for the module lock the exports do nothing at all rather
// than work unguarded.
TEST(ModuleState, WithoutItsLockTheModuleDoesNothing) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  installation.WriteProperties("fan=xTelvar_Services.Host_Fan\n");
  platform.FailCall("CreateCriticalSection", 1);
  ModuleState state(platform);
  EXPECT_TRUE(state.InitMap());
  EXPECT_EQ(state.Categories().size(), 0u);
  EXPECT_EQ(state.ProcessEvent(1, u"Host_Fan", u"t", u"c", u"x"), 14);
  EXPECT_EQ(state.ProcessEvent(1, u"", u"t", u"c", u"x"), 2);
  EXPECT_THAT(platform.Events(), IsEmpty());
  EXPECT_EQ(platform.CallCount("EnterCriticalSection"), 0);
}

// Calls of the exports do not overlap: a second call waits for the lock while
// the first is inside its two-minute wait, and goes on once the first has
// left. An empty class name is refused without the lock.
TEST(ModuleState, ASecondCallWaitsUntilTheFirstHasLeft) {
  HostedPlatform platform;
  ModuleState state(platform);
  EXPECT_EQ(state.ProcessEvent(3, u"", u"t", u"c", u"x"), 2);
  EXPECT_EQ(platform.CallCount("EnterCriticalSection"), 0);

  platform.QueueEventResults({18});  // the first post is tried again after a wait
  std::unique_ptr<SystemThread> second;
  int32_t secondResult = -1;
  std::atomic<bool> secondDone{false};
  size_t postsWhileWaiting = 0;
  platform.SetSleepHook([&](uint32_t) {
    second = std::make_unique<SystemThread>([&] {
      secondResult = state.ProcessEvent(2, u"Second", u"t", u"c", u"x");
      secondDone = true;
    });
    while (platform.ThreadsWaitingToEnter() == 0 && !secondDone) YieldToOtherThreads();
    postsWhileWaiting = platform.Events().size();
  });
  EXPECT_EQ(state.ProcessEvent(1, u"First", u"t", u"c", u"x"), 0);
  second->Join();
  EXPECT_EQ(secondResult, 0);
  EXPECT_EQ(postsWhileWaiting, 1u);

  std::vector<std::string> steps;
  for (const std::string& name : CallNames(platform.CallLog())) {
    if (name == "EnterCriticalSection" || name == "LeaveCriticalSection" || name == "Sleep" ||
        name == "VNXEventW") {
      steps.push_back(name);
    }
  }
  EXPECT_THAT(steps, ElementsAre("EnterCriticalSection", "VNXEventW", "Sleep",
                                 "EnterCriticalSection",  // the second call, kept waiting
                                 "VNXEventW", "LeaveCriticalSection",  // the first call ends
                                 "VNXEventW", "LeaveCriticalSection"));
  ASSERT_EQ(platform.Events().size(), 3u);
  EXPECT_EQ(platform.Events()[1].eventCode, 1);
  EXPECT_EQ(platform.Events()[2].eventCode, 2);
}

}  // namespace
}  // namespace qel
