// The hosted platform reads a module file once and keeps what it parsed for as
// long as the file stays the same file, with its size and times.
#include <gtest/gtest.h>

#ifdef __unix__
#include <sys/stat.h>
#endif

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

// Where the file system keeps a change time and file numbers, which copies
// do not keep, a file with another's size and time is still told apart.
#ifdef __unix__
constexpr bool kTellsCopiesApart = true;
int64_t ChangeTime(const fs::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return -1;
  return int64_t{info.st_ctim.tv_sec} * 1000000000 + info.st_ctim.tv_nsec;
}
#else
constexpr bool kTellsCopiesApart = false;
#endif

std::string String1001(HostedPlatform& platform, HModule module) {
  char buffer[64];
  const int length = platform.LoadStringA(module, 1001, buffer, sizeof buffer);
  return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

// String 1001 of the module at |path|, loaded as a data file and released
// again, as the plug-in loads its strings; "no module" when it does not load.
std::string LoadString1001(HostedPlatform& platform, const char* path) {
  const HModule module = platform.LoadLibraryExA(path, kLoadLibraryAsDatafile);
  if (module == nullptr) return "no module";
  std::string text = String1001(platform, module);
  platform.FreeLibrary(module);
  return text;
}

TEST(HostedModuleFiles, ReadsAFileAgainWhenItIsAnotherOrChanged) {
  using Change = std::function<void(const fs::path&)>;
  // Copies lang-0409.dll over |file| in place; where the change time is kept,
  // until it moves on, as it does once the clock ticks.
  const Change copyInPlace = [](const fs::path& file) {
    const fs::file_time_type time = fs::last_write_time(file);
#ifdef __unix__
    const int64_t changed = ChangeTime(file);
    do {
      fs::copy_file(Fixture("lang-0409.dll"), file, fs::copy_options::overwrite_existing);
      fs::last_write_time(file, time);
    } while (ChangeTime(file) == changed);
#else
    fs::copy_file(Fixture("lang-0409.dll"), file, fs::copy_options::overwrite_existing);
    fs::last_write_time(file, time);
#endif
  };
  // Puts a copy of lang-0409.dll with the time of |file| in its place at
  // once, as a tool that writes a new file and renames it does.
  const Change replace = [](const fs::path& file) {
    const fs::path fresh = file.parent_path() / "fresh.dll";
    fs::copy_file(Fixture("lang-0409.dll"), fresh);
    fs::last_write_time(fresh, fs::last_write_time(file));
    fs::rename(fresh, file);
  };
  const auto copy = [](const char* fixture, bool sameTime) -> Change {
    return [fixture, sameTime](const fs::path& file) {
      const fs::file_time_type time = fs::last_write_time(file);
      fs::copy_file(Fixture(fixture), file, fs::copy_options::overwrite_existing);
      fs::last_write_time(file, sameTime ? time : time + std::chrono::seconds(1));
    };
  };
  const std::string unchanged = "language 0x0407";
  // The two language modules have the same size and name their language in
  // string 1001; the plug-in's string table is larger.
  const struct {
    const char* what;
    Change change;
    std::string loaded;
  } cases[] = {
      {"copied over, same size and time", copyInPlace,
       kTellsCopiesApart ? "language 0x0409" : unchanged},
      {"replaced within a tick, same size and time", replace,
       kTellsCopiesApart ? "language 0x0409" : unchanged},
      {"rewritten, same size, new time", copy("lang-0409.dll", false), "language 0x0409"},
      {"rewritten, new size, same time", copy("qelevent.dll", true), "Marquel Agent Events"},
      {"rewritten as no module", [](const fs::path& file) { fs::resize_file(file, 100); },
       "no module"},
      {"removed", [](const fs::path& file) { fs::remove(file); }, "no module"},
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

    c.change(file);
    EXPECT_EQ(LoadString1001(platform, "C:\\ci\\m.dll"), c.loaded) << c.what;

    // Each load and release is still a call of its own, counted as before.
    const int loaded = c.loaded == "no module" ? 2 : 3;
    EXPECT_EQ(platform.CallCount("LoadLibraryExA"), 3) << c.what;
    EXPECT_EQ(platform.LoadCount(), loaded) << c.what;
    EXPECT_EQ(platform.ReleaseCount(), loaded) << c.what;
    EXPECT_EQ(platform.LoadedModuleCount(), 0) << c.what;
  }
}

// Under a new disk root a Windows path leads elsewhere, though the file it
// led to before is still there, unchanged.
TEST(HostedModuleFiles, ASecondDiskRootForgetsWhatWasRead) {
  const struct {
    const char* windowsPath;
    const char* diskPath;
    bool host;  // read as the host's own module
    const char* second;
    std::string loaded;
  } cases[] = {
      {"C:\\ci\\m.dll", "C/ci/m.dll", false, "lang-0409.dll", "language 0x0409"},
      {"C:\\bin\\host.exe", "C/bin/host.exe", true, "host-plain.exe", ""},
  };
  for (const auto& c : cases) {
    test::TempFolder first;
    test::TempFolder second;
    const auto place = [&](const test::TempFolder& root, const char* fixture) {
      const fs::path file = root.Path() / c.diskPath;
      fs::create_directories(file.parent_path());
      fs::copy_file(Fixture(fixture), file);
    };
    place(first, c.host ? "host-strings.exe" : "lang-0407.dll");
    place(second, c.second);
    HostedPlatform platform;
    platform.SetHostExecutable(c.windowsPath);
    const auto load = [&] {
      return c.host ? String1001(platform, nullptr) : LoadString1001(platform, c.windowsPath);
    };
    platform.SetDiskRoot(first.Path());
    ASSERT_EQ(load(), "language 0x0407") << c.windowsPath;
    platform.SetDiskRoot(second.Path());
    EXPECT_EQ(load(), c.loaded) << c.windowsPath;
  }
}

}  // namespace
}  // namespace qel
