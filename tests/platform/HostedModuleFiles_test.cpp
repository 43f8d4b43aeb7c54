// The hosted platform reads a module file once and keeps what it parsed for as
// long as the file keeps its size and modification time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

fs::path Fixture(const char* name) { return fs::path(QEL_PE_FIXTURE_DIR) / name; }

// String 1001 of the module at |path|, loaded as a data file and released
// again, as the plug-in loads its strings; "no module" when it does not load.
std::string LoadString1001(HostedPlatform& platform, const char* path) {
  const HModule module = platform.LoadLibraryExA(path, kLoadLibraryAsDatafile);
  if (module == nullptr) return "no module";
  char buffer[64];
  const int length = platform.LoadStringA(module, 1001, buffer, sizeof buffer);
  platform.FreeLibrary(module);
  return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

TEST(HostedModuleFiles, ReadsAFileAgainOnlyWhenItsSizeOrTimeChanged) {
  using Change = std::function<void(const fs::path&)>;
  const auto copy = [](const char* fixture) -> Change {
    return [fixture](const fs::path& file) {
      fs::copy_file(Fixture(fixture), file, fs::copy_options::overwrite_existing);
    };
  };
  // The two language modules have the same size and name their language in
  // string 1001; the plug-in's string table is larger.
  const struct {
    const char* what;
    Change change;
    bool sameTime;  // the file's time is set back to what it was
    std::string loaded;
  } cases[] = {
      {"rewritten, same size and time: not read again", copy("lang-0409.dll"), true,
       "language 0x0407"},
      {"rewritten, same size, new time", copy("lang-0409.dll"), false, "language 0x0409"},
      {"rewritten, new size, same time", copy("qelevent.dll"), true, "Marquel Agent Events"},
      {"rewritten as no module", [](const fs::path& file) { fs::resize_file(file, 100); }, false,
       "no module"},
      {"removed", [](const fs::path& file) { fs::remove(file); }, false, "no module"},
  };
  for (const auto& c : cases) {
    test::TempFolder disk;
    HostedPlatform platform;
    platform.SetDiskRoot(disk.Path());
    const fs::path file = disk.Path() / "C" / "ci" / "m.dll";
    fs::create_directories(file.parent_path());
    fs::copy_file(Fixture("lang-0407.dll"), file);
    ASSERT_EQ(LoadString1001(platform, "C:\\ci\\m.dll"), "language 0x0407") << c.what;
    ASSERT_EQ(LoadString1001(platform, "c:/CI/M.DLL"), "language 0x0407") << c.what;

    const fs::file_time_type time = fs::last_write_time(file);
    c.change(file);
    if (fs::exists(file)) {
      fs::last_write_time(file, c.sameTime ? time : time + std::chrono::seconds(1));
    }
    EXPECT_EQ(LoadString1001(platform, "C:\\ci\\m.dll"), c.loaded) << c.what;

    // Each load and release is still a call of its own, counted as before.
    const int loaded = c.loaded == "no module" ? 2 : 3;
    EXPECT_EQ(platform.CallCount("LoadLibraryExA"), 3) << c.what;
    EXPECT_EQ(platform.LoadCount(), loaded) << c.what;
    EXPECT_EQ(platform.ReleaseCount(), loaded) << c.what;
    EXPECT_EQ(platform.LoadedModuleCount(), 0) << c.what;
  }
}

}  // namespace
}  // namespace qel
