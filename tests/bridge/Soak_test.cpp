// Long runs of the module state on the hosted platform: whatever one event or
// one load and unload leaves behind would pile up here. The default sizes keep
// a test run short; QEL_SOAK_EVENTS and QEL_SOAK_CYCLES ask for longer runs
// (the full soak is QEL_SOAK_EVENTS=1000000 QEL_SOAK_CYCLES=10000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "bridge/ModuleState.h"
#include "config/TextConversions.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

uint64_t SoakSize(const char* variable, uint64_t fallback) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 10);
}

// Posts are checked as they pass and then forgotten: a million recorded
// events would fill the hosted platform's memory, not the plug-in's.
class CheckedPosts : public HostedPlatform {
 public:
  int32_t VNXEventW(const VnxEventArgs& args) override {
    ++posts;
    lastClassName = args.attributes[1]->value;
    lastCategory = args.typePath[1];
    return 0;
  }

  uint64_t posts = 0;
  std::u16string lastClassName;
  std::u16string lastCategory;
};

// Classes of the installed properties file, with their categories.
const struct {
  const char16_t* className;
  const char16_t* category;
} kMappedClasses[] = {
    {u"CIM_Chassis", u"System Enclosure"},
    {u"CIM_Fan", u"Fan"},
    {u"CIM_TemperatureSensor", u"Temperature"},
    {u"CIM_ArravaultHealth", u"Arravault Health"},
};
constexpr size_t kInstalledCategories = 19;

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
    standin::InstallIpcLibrary(platform_);
    installation_.InstallStringModule();
    std::filesystem::copy_file(
        std::filesystem::path(QEL_SOURCE_DIR) / "resources" / "qelevent.properties",
        installation_.CiFolder() / "qelevent.properties");
  }
  void TearDown() override {
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
  }

  // The process and thread are back where they were, with nothing left open.
  ::testing::AssertionResult Detached() const {
    if (platform_.OpenDesktopObjects() != 0) {
      return ::testing::AssertionFailure()
             << platform_.OpenDesktopObjects() << " window stations or desktops still open";
    }
    if (platform_.CurrentWindowStation() != platform_.OriginalWindowStation() ||
        platform_.CurrentDesktop() != platform_.OriginalDesktop()) {
      return ::testing::AssertionFailure() << "still attached";
    }
    return ::testing::AssertionSuccess();
  }

  CheckedPosts platform_;
  test::HostedInstallation installation_{platform_};
};

// Random class names, mostly unknown ones (ASCII and beyond), now and then a
// mapped one.
class ClassNames {
 public:
  std::u16string Next(const char16_t** category) {
    *category = nullptr;
    if (random_() % 8 == 0) {
      const auto& mapped = kMappedClasses[random_() % std::size(kMappedClasses)];
      *category = mapped.category;
      return mapped.className;
    }
    // No mapped class starts so: a random name never hits one by chance.
    std::u16string name = u"Host_";
    const size_t length = 1 + random_() % 40;
    for (size_t i = 0; i < length; ++i) {
      const uint32_t pick = random_() % 64;
      name += pick < 52 ? static_cast<char16_t>((pick < 26 ? u'A' : u'a' - 26) + pick)
                        : static_cast<char16_t>(u"_0123456789\u00e9\u4e2d"[pick - 52]);
    }
    return name;
  }

 private:
  std::mt19937 random_{20261208};
};

TEST_F(Soak, EventsWithRandomClassNamesLeaveNothingBehind) {
  const uint64_t events = SoakSize("QEL_SOAK_EVENTS", 2000);
  ModuleState state(platform_);
  ASSERT_TRUE(state.InitMap());
  ASSERT_EQ(state.Categories().size(), kInstalledCategories);
  const int modulesBefore = platform_.LoadedModuleCount();

  ClassNames names;
  for (uint64_t i = 0; i < events; ++i) {
    const char16_t* mappedCategory = nullptr;
    const std::u16string className = names.Next(&mappedCategory);
    ASSERT_EQ(state.ProcessEvent(static_cast<int32_t>(i), className, u"text", u"Warning",
                                 u"server" + Utf8ToWide(std::to_string(i % 100))),
              0)
        << "event " << i;
    ASSERT_EQ(platform_.posts, i + 1);
    ASSERT_EQ(platform_.lastClassName, className);
    ASSERT_EQ(platform_.lastCategory, mappedCategory ? mappedCategory : className) << "event " << i;
    ASSERT_TRUE(Detached()) << "event " << i;
    // The log of every call would be the only thing here to grow.
    if (i % 1000 == 999) platform_.ClearCallLog();
  }

  // Unknown names are looked up, never added.
  EXPECT_EQ(state.Categories().size(), kInstalledCategories);
  // Every string module load was released; what stays is the IPC library,
  // bound once on the first event and kept, as the binding always is.
  EXPECT_EQ(platform_.LoadedModuleCount(), modulesBefore + 1);
  EXPECT_TRUE(CurrentIpcBinding().bound);
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
}

TEST_F(Soak, StartUpAndTeardownCyclesLeaveNothingBehind) {
  const uint64_t cycles = SoakSize("QEL_SOAK_CYCLES", 100);
  // A German user with a German language module beside the host executable:
  // the locale selection holds that module for the life of the state.
  platform_.SetUserDefaultLCID(0x0407);
  const std::filesystem::path hostFolder =
      *platform_.MapPath(std::string("C:\\Program Files\\Host"));
  std::filesystem::create_directories(hostFolder / "de");
  std::filesystem::copy_file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / "lang-0407.dll",
                             hostFolder / "de" / "qelevent.dll");

  for (uint64_t cycle = 0; cycle < cycles; ++cycle) {
    platform_.ClearCallLog();
    {
      ModuleState state(platform_);
      ASSERT_EQ(state.Locale().chosenCode(), std::optional<std::string>("de"));
      ASSERT_TRUE(state.InitMap());
      ASSERT_EQ(state.Categories().size(), kInstalledCategories) << "cycle " << cycle;
      ASSERT_EQ(state.ProcessEvent(1, u"CIM_Fan", u"text", u"Warning", u"server"), 0);
      ASSERT_EQ(platform_.lastCategory, u"Fan");
    }
    // Only the IPC library, which the binding keeps for good, is still loaded.
    ASSERT_EQ(platform_.LoadedModuleCount(), 1) << "cycle " << cycle;
    ASSERT_TRUE(Detached()) << "cycle " << cycle;
    // Every registry key opened (all of them exist here) was closed.
    ASSERT_EQ(platform_.CallCount("RegOpenKeyExA"), platform_.CallCount("RegCloseKey"))
        << "cycle " << cycle;
    ASSERT_GT(platform_.CallCount("RegOpenKeyExA"), 0);
  }
  EXPECT_EQ(platform_.LoadCount() - platform_.ReleaseCount(), 1);
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  EXPECT_EQ(platform_.posts, cycles);
}

}  // namespace
}  // namespace qel
