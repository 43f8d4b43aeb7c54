#include "config/InstallPaths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

constexpr char kProduct[] = "SOFTWARE\\Korvane\\Telvar";

TEST(PathParts, SplitsAndJoinsBack) {
  const struct {
    std::u16string path, drive, directory, fileName;
  } cases[] = {
      {u"C:\\a\\b.txt", u"C:", u"\\a\\", u"b.txt"},
      {u"b.txt", u"", u"", u"b.txt"},
      {u"\\\\server\\share\\x.dll", u"", u"\\\\server\\share\\", u"x.dll"},
      {u"C:\\a\\", u"C:", u"\\a\\", u""},
      {u"C:\\a", u"C:", u"\\", u"a"},
      {u"C:x.dll", u"C:", u"", u"x.dll"},
      {u"c:/a\\b/c.d.e", u"c:", u"/a\\b/", u"c.d.e"},
      {u"C:\\Prog\\\\ci\\qelevent.dll", u"C:", u"\\Prog\\\\ci\\", u"qelevent.dll"},
      {u"\\ci\\", u"", u"\\ci\\", u""},
      {u"C:", u"C:", u"", u""},
      {u"", u"", u"", u""},
  };
  for (const auto& c : cases) {
    PathParts parts(c.path);
    EXPECT_EQ(parts.drive, c.drive) << ::testing::PrintToString(c.path);
    EXPECT_EQ(parts.directory, c.directory) << ::testing::PrintToString(c.path);
    EXPECT_EQ(parts.fileName, c.fileName) << ::testing::PrintToString(c.path);
    EXPECT_EQ(parts.Join(), c.path);
  }
}

TEST(PathParts, SplitsOnlyUpToTheFirstNul) {
  PathParts parts(std::u16string(u"C:\\a\\b\0\\c", 9));
  EXPECT_EQ(parts.directory, u"\\a\\");
  EXPECT_EQ(parts.fileName, u"b");
}

TEST(PathParts, JoinAddsOnlyAMissingBackslash) {
  PathParts parts(u"C:\\a\\b.txt");
  parts.SetFileName(u"c.dll");
  EXPECT_EQ(parts.Join(), u"C:\\a\\c.dll");

  parts.directory = u"\\a";
  EXPECT_EQ(parts.Join(), u"C:\\a\\c.dll");
  parts.directory = u"\\a/";
  EXPECT_EQ(parts.Join(), u"C:\\a/c.dll");
  parts.drive.clear();
  parts.directory.clear();
  EXPECT_EQ(parts.Join(), u"c.dll");
}

// Beyond the limits Join gives an empty path (one that names no file) rather
// than a cut one (which could name another file).
TEST(PathParts, JoinRefusesPathsBeyondTheLimits) {
  // A path with an optional drive, a directory of |directory| units (both
  // backslashes included; 0 for none), a name and an extension (its dot included).
  auto path = [](bool drive, size_t directory, size_t name, size_t extension) {
    std::u16string text = drive ? u"C:" : u"";
    if (directory > 0) text += u"\\" + std::u16string(directory - 2, u'd') + u"\\";
    text += std::u16string(name, u'n');
    if (extension > 0) text += u"." + std::u16string(extension - 1, u'e');
    return text;
  };
  const struct {
    std::u16string path;
    bool joined;
  } cases[] = {
      {path(true, 255, 1, 0), true},    // directory of 255 units
      {path(true, 256, 1, 0), false},   // directory of 256 units
      {path(false, 0, 255, 0), true},   // name of 255 units
      {path(false, 0, 256, 0), false},  // name of 256 units
      {path(false, 0, 1, 255), true},   // extension of 255 units
      {path(false, 0, 1, 256), false},  // extension of 256 units
      {path(true, 200, 57, 0), true},   // 259 units in all
      {path(true, 200, 58, 0), false},  // 260 units in all
      {path(true, 200, 50, 8), false},  // 260 units in all, extension included
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathParts(c.path).Join(), c.joined ? c.path : u"")
        << "length " << c.path.size() << ", expected joined: " << c.joined;
  }

  // A short file name put in place of an over-long one joins again.
  PathParts parts(path(true, 3, 300, 0));
  parts.SetFileName(u"qelevent.dll");
  EXPECT_EQ(parts.Join(), u"C:\\d\\qelevent.dll");
}

class InstallPathsTest : public ::testing::Test {
 protected:
  bool Load(const std::string& keys) {
    std::string error;
    bool loaded = platform_.Registry().LoadRegedit4("REGEDIT4\n" + keys, &error);
    EXPECT_TRUE(loaded) << error;
    return loaded;
  }

  HostedPlatform platform_;
};

TEST_F(InstallPathsTest, ReadsTheFolderFromTheRegistry) {
  const struct {
    const char* what;
    std::string keys;
    int32_t result;
    std::u16string directory;  // "keep" when left as it was
    std::u16string resourceModule;
  } cases[] = {
      {"plain folder",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"TELVARPATH"="C:\\Prog")",
       0, u"C:\\Prog\\", u"C:\\Prog\\\\ci\\qelevent.dll"},
      {"folder with its backslash",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"TELVARPATH"="C:\\Prog\\")",
       0, u"C:\\Prog\\", u"C:\\Prog\\\\ci\\qelevent.dll"},
      {"only a backslash counts as the end",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"TELVARPATH"="C:\\Prog/")",
       0, u"C:\\Prog/\\", u"C:\\Prog/\\\\ci\\qelevent.dll"},
      {"the version's subkey wins",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"Version"="4.1"
"TELVARPATH"="C:\\Old"
[HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar\4.1]
"TELVARPATH"="D:\\V41")",
       0, u"D:\\V41\\", u"D:\\V41\\\\ci\\qelevent.dll"},
      {"a missing version subkey is a missing key",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"Version"="5.0"
"TELVARPATH"="C:\\Old")",
       -1, u"keep", u"\\ci\\qelevent.dll"},
      {"the version's subkey without the value",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"Version"="4.1"
"TELVARPATH"="C:\\Old"
[HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar\4.1]
"Other"="x")",
       -1, u"keep", u"\\ci\\qelevent.dll"},
      {"no product key", "", -1, u"keep", u"\\ci\\qelevent.dll"},
      {"product key without the value",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"Other"="C:\\Prog")",
       -1, u"keep", u"\\ci\\qelevent.dll"},
      {"empty value",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"TELVARPATH"="")",
       0, u"", u"\\ci\\qelevent.dll"},
      {"a value of another type is taken as text",
       R"([HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Telvar]
"TELVARPATH"=hex:43,3a,5c,42,00,44)",
       0, u"C:\\B\\", u"C:\\B\\\\ci\\qelevent.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform_.Registry().DeleteKey("SOFTWARE\\Korvane");
    ASSERT_TRUE(Load(c.keys));

    std::u16string directory = u"keep";
    EXPECT_EQ(GetInstallDirectory(platform_, directory), c.result);
    EXPECT_EQ(directory, c.directory);
    EXPECT_EQ(ComposeCiFilePath(platform_, u"qelevent.dll"), c.resourceModule);
  }
}

TEST_F(InstallPathsTest, CiDirectoryFollowsTheInstallFolder) {
  std::u16string directory;
  EXPECT_EQ(GetCiDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, u"\\ci\\");

  platform_.Registry().SetString(kProduct, "TELVARPATH", "C:\\Prog");
  directory.clear();
  EXPECT_EQ(GetCiDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, u"C:\\Prog\\\\ci\\");
  EXPECT_EQ(ComposeCiFilePath(platform_, u"qelevent.properties"),
            u"C:\\Prog\\\\ci\\qelevent.properties");
}

TEST_F(InstallPathsTest, ValuesNeedTheirTerminatorWithin256Bytes) {
  const std::string folder255 = "C:\\" + std::string(252, 'p');
  platform_.Registry().SetString(kProduct, "TELVARPATH", folder255);
  std::u16string directory = u"keep";
  EXPECT_EQ(GetInstallDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, std::u16string(folder255.begin(), folder255.end()) + u"\\");
  // Read, but the ci folder would take the path beyond its limits: the
  // composed path is refused rather than cut.
  EXPECT_EQ(ComposeCiFilePath(platform_, u"qelevent.dll"), u"");

  platform_.Registry().SetString(kProduct, "TELVARPATH", folder255 + "p");
  directory = u"keep";
  EXPECT_EQ(GetInstallDirectory(platform_, directory), -1);
  EXPECT_EQ(directory, u"keep");

  // 256 bytes without a terminator fit the buffer but are still 256 characters.
  platform_.Registry().SetValue(kProduct, "TELVARPATH",
                                {kRegBinary, std::vector<uint8_t>(256, 'p')});
  EXPECT_EQ(GetInstallDirectory(platform_, directory), -1);
  EXPECT_EQ(directory, u"keep");
}

TEST_F(InstallPathsTest, AnOverlongVersionCountsAsNone) {
  platform_.Registry().SetString(kProduct, "Version", std::string(256, 'v'));
  platform_.Registry().SetString(kProduct, "TELVARPATH", "C:\\Prog");
  platform_.Registry().SetString(std::string(kProduct) + "\\" + std::string(255, 'v'), "TELVARPATH",
                                 "C:\\Cut");
  std::u16string directory;
  EXPECT_EQ(GetInstallDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, u"C:\\Prog\\");
}

TEST_F(InstallPathsTest, AnUnreadableVersionFallsBackToTheProductKey) {
  platform_.Registry().SetString(kProduct, "Version", "4.1");
  platform_.Registry().SetString(kProduct, "TELVARPATH", "C:\\Old");
  platform_.Registry().SetString(std::string(kProduct) + "\\4.1", "TELVARPATH", "D:\\V41");
  platform_.FailCall("RegQueryValueExA", 1);
  std::u16string directory;
  EXPECT_EQ(GetInstallDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, u"C:\\Old\\");
}

TEST_F(InstallPathsTest, OpensForReadingAndClosesEveryKeyItOpened) {
  platform_.Registry().SetString(kProduct, "Version", "4.1");
  platform_.Registry().SetString(std::string(kProduct) + "\\4.1", "TELVARPATH", "D:\\V41");
  std::u16string directory;
  GetInstallDirectory(platform_, directory);
  const std::vector<std::string>& log = platform_.CallLog();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], "RegOpenKeyExA(0x80000002, \"SOFTWARE\\Korvane\\Telvar\", 0, 0x20019)");
  EXPECT_EQ(log[3], "RegOpenKeyExA(0x80000002, \"SOFTWARE\\Korvane\\Telvar\\4.1\", 0, 0x20019)");
  EXPECT_EQ(log[1].rfind("RegQueryValueExA(", 0), 0u);
  EXPECT_NE(log[1].find("\"Version\", 256)"), std::string::npos);
  EXPECT_NE(log[4].find("\"TELVARPATH\", 256)"), std::string::npos);
  EXPECT_EQ(platform_.CallCount("RegCloseKey"), 2);

  // The value cannot be read: the key is closed all the same.
  platform_.ClearCallLog();
  platform_.FailCall("RegQueryValueExA");
  EXPECT_EQ(GetInstallDirectory(platform_, directory), -1);
  EXPECT_EQ(platform_.CallCount("RegOpenKeyExA"), 2);
  EXPECT_EQ(platform_.CallCount("RegCloseKey"), 2);

  // The subkey cannot be opened: only the product key was, and is closed.
  platform_.ClearFailures();
  platform_.Registry().DeleteKey(std::string(kProduct) + "\\4.1");
  platform_.ClearCallLog();
  EXPECT_EQ(GetInstallDirectory(platform_, directory), -1);
  EXPECT_EQ(platform_.CallCount("RegCloseKey"), 1);
}

// The narrow registry read delivers the folder in the ANSI code page; decoding
// it as such names the folder that is really there.
TEST_F(InstallPathsTest, AFolderWithAnsiCharactersIsNamedCorrectly) {
  platform_.Registry().SetString(kProduct, "TELVARPATH",
                                 "C:\\Programme\\\xDC"
                                 "berwachung");
  std::u16string directory;
  EXPECT_EQ(GetInstallDirectory(platform_, directory), 0);
  EXPECT_EQ(directory, u"C:\\Programme\\\u00DCberwachung\\");

  test::TempFolder disk;
  const std::filesystem::path file =
      disk.Write(u8"C/Programme/\u00DCberwachung/ci/qelevent.properties", "k=v\n");
  platform_.SetDiskRoot(disk.Path());
  const std::u16string path = ComposeCiFilePath(platform_, u"qelevent.properties");
  EXPECT_EQ(path, u"C:\\Programme\\\u00DCberwachung\\\\ci\\qelevent.properties");
  std::optional<std::filesystem::path> mapped = platform_.MapPath(path);
  ASSERT_TRUE(mapped.has_value());
  EXPECT_TRUE(std::filesystem::equivalent(*mapped, file));
}

}  // namespace
}  // namespace qel
