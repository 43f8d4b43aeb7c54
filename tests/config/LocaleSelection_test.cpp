#include "config/LocaleSelection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

const char kModule[] = "qelevent.dll";

TEST(LocaleSelectionTables, DefaultCodeForLanguage) {
  struct Case {
    uint16_t languageId;
    const char* code;
  } cases[] = {
      {0x0407, "de"},   {0x0409, "en"},   {0x0809, "en"},
      {0x0804, "zhCN"}, {0x0404, "zhTW"}, {0x0C04, "zhCN"},  // sub-language 3: the catch-all row
      {0x0004, "zhCN"}, {0x041A, "hr"},   {0x081A, "hr"},    // "sr" shares 0x1A and never answers
      {0x0029, "fy"},   {0x0429, "fy"},   {0x0439, "en"},    // no row: the default
      {0x0000, "en"},   {0x0036, "af"},   {0x042A, "vi"},    // first and last rows
      {0x040D, "iw"},   {0x0421, "in"},   {0x0814, "no"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(DefaultCodeForLanguage(c.languageId), c.code) << std::hex << c.languageId;
  }
}

TEST(LocaleSelectionTables, LanguageIdForCode) {
  EXPECT_EQ(LanguageIdForCode("zhCN"), 0x0804u);
  EXPECT_EQ(LanguageIdForCode("zhTW"), 0x0404u);
  EXPECT_EQ(LanguageIdForCode("zh"), 0x0004u);
  EXPECT_EQ(LanguageIdForCode("ZHtw"), 0x0404u);  // case is ignored
  EXPECT_EQ(LanguageIdForCode("hr"), 0x001Au);
  EXPECT_EQ(LanguageIdForCode("sr"), 0x001Au);
  EXPECT_EQ(LanguageIdForCode("fy"), 0x0029u);
  EXPECT_EQ(LanguageIdForCode("en"), 0x0009u);
  EXPECT_EQ(LanguageIdForCode("af"), 0x0036u);
  EXPECT_EQ(LanguageIdForCode("vi"), 0x002Au);
  EXPECT_EQ(LanguageIdForCode("z"), std::nullopt);
  EXPECT_EQ(LanguageIdForCode("zhC"), std::nullopt);
  EXPECT_EQ(LanguageIdForCode("xx"), std::nullopt);
}

// The two tables as the product defines them, row by row: each row's code
// looks up its own id, and every 16-bit language id gets the code of the first
// row that takes it (primary language equal, sub-language 0 or equal). A row
// given another row's primary language, or a row out of order, changes the
// answer for some id.
TEST(LocaleSelectionTables, BothTablesMatchTheProductsRows) {
  struct Row {
    const char* code;
    uint32_t languageId;
    uint16_t primary;
    uint16_t sub;
    const char* defaultCode;
  };
  // clang-format off
  const Row rows[] = {
      {"af", 0x0036, 0x36, 0, "af"},     {"is", 0x000F, 0x0F, 0, "is"},
      {"sq", 0x001C, 0x1C, 0, "sq"},     {"in", 0x0021, 0x21, 0, "in"},
      {"ar", 0x0001, 0x01, 0, "ar"},     {"it", 0x0010, 0x10, 0, "it"},
      {"eu", 0x002D, 0x2D, 0, "eu"},     {"ja", 0x0011, 0x11, 0, "ja"},
      {"be", 0x0023, 0x23, 0, "be"},     {"ko", 0x0012, 0x12, 0, "ko"},
      {"bg", 0x0002, 0x02, 0, "bg"},     {"lv", 0x0026, 0x26, 0, "lv"},
      {"ca", 0x0003, 0x03, 0, "ca"},     {"lt", 0x0027, 0x27, 0, "lt"},
      {"zhCN", 0x0804, 0x04, 2, "zhCN"}, {"zhTW", 0x0404, 0x04, 1, "zhTW"},
      {"zh", 0x0004, 0x04, 0, "zhCN"},   {"hr", 0x001A, 0x1A, 0, "hr"},
      {"no", 0x0014, 0x14, 0, "no"},     {"cs", 0x0005, 0x05, 0, "cs"},
      {"pl", 0x0015, 0x15, 0, "pl"},     {"da", 0x0006, 0x06, 0, "da"},
      {"pt", 0x0016, 0x16, 0, "pt"},     {"nl", 0x0013, 0x13, 0, "nl"},
      {"ro", 0x0018, 0x18, 0, "ro"},     {"en", 0x0009, 0x09, 0, "en"},
      {"ru", 0x0019, 0x19, 0, "ru"},     {"et", 0x0025, 0x25, 0, "et"},
      {"sr", 0x001A, 0x1A, 0, "sr"},     {"fo", 0x0038, 0x38, 0, "fo"},
      {"sk", 0x001B, 0x1B, 0, "sk"},     {"fy", 0x0029, 0x29, 0, "fy"},
      {"sl", 0x0024, 0x24, 0, "sl"},     {"fi", 0x000B, 0x0B, 0, "fi"},
      {"es", 0x000A, 0x0A, 0, "es"},     {"fr", 0x000C, 0x0C, 0, "fr"},
      {"sv", 0x001D, 0x1D, 0, "sv"},     {"de", 0x0007, 0x07, 0, "de"},
      {"th", 0x001E, 0x1E, 0, "th"},     {"el", 0x0008, 0x08, 0, "el"},
      {"tr", 0x001F, 0x1F, 0, "tr"},     {"iw", 0x000D, 0x0D, 0, "iw"},
      {"uk", 0x0022, 0x22, 0, "uk"},     {"hu", 0x000E, 0x0E, 0, "hu"},
      {"vi", 0x002A, 0x2A, 0, "vi"},
  };
  // clang-format on
  static_assert(sizeof rows / sizeof rows[0] == 45, "45 rows");
  for (const Row& row : rows) EXPECT_EQ(LanguageIdForCode(row.code), row.languageId) << row.code;
  for (uint32_t id = 0; id <= 0xFFFF; ++id) {
    const char* expected = "en";
    for (const Row& row : rows) {
      if (row.primary == (id & 0x3FF) && (row.sub == 0 || row.sub == id >> 10)) {
        expected = row.defaultCode;
        break;
      }
    }
    ASSERT_STREQ(DefaultCodeForLanguage(static_cast<uint16_t>(id)), expected) << std::hex << id;
  }
}

// Over every 16-bit language id: the default code, and its first two letters,
// can be looked up, and both name the locale's own primary language. A row
// whose two tables disagree, or whose code is mistyped, breaks this.
TEST(LocaleSelectionTables, EveryDefaultCodeCanBeLookedUp) {
  for (uint32_t id = 0; id <= 0xFFFF; ++id) {
    const std::string code = DefaultCodeForLanguage(static_cast<uint16_t>(id));
    const std::optional<uint32_t> full = LanguageIdForCode(code);
    const std::optional<uint32_t> twoLetters = LanguageIdForCode(code.substr(0, 2));
    ASSERT_TRUE(full && twoLetters) << std::hex << id << " " << code;
    if (code == "en") continue;  // also the answer for unknown languages
    ASSERT_EQ(*full & 0x3FF, id & 0x3FF) << std::hex << id << " " << code;
    ASSERT_EQ(*twoLetters & 0x3FF, id & 0x3FF) << std::hex << id << " " << code;
  }
}

TEST(LocaleSelectionTables, DefaultLanguageCodeUsesTheLowSixteenBitsOfTheLocale) {
  HostedPlatform platform;
  platform.SetUserDefaultLCID(0x00010407);  // a sort order on top of German
  EXPECT_STREQ(DefaultLanguageCode(platform), "de");
  platform.SetUserDefaultLCID(0x0404);
  EXPECT_STREQ(DefaultLanguageCode(platform), "zhTW");
}

// A disk with the host executable at C:\Host\host.exe and language folders
// beside it, filled from the built fixtures.
class LocaleDisk {
 public:
  LocaleDisk() {
    platform.SetDiskRoot(disk.Path());
    platform.SetHostExecutable("C:\\Host\\host.exe");
  }
  // Puts a file at C:\Host\|relative|. |fixture| names a built fixture;
  // text after "!" is written as it is.
  void Place(std::string relative, const std::string& fixture) const {
    for (char& c : relative) c = c == '\\' ? '/' : c;
    const std::filesystem::path target = disk.Path() / "C" / "Host" / relative;
    std::filesystem::create_directories(target.parent_path());
    if (fixture[0] == '!') {
      disk.Write("C/Host/" + relative, fixture.substr(1));
    } else {
      std::filesystem::copy_file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / fixture, target);
    }
  }
  // The paths given to LoadLibraryExA, in order, relative to C:\Host\.
  std::vector<std::string> Loads() const {
    const std::string prefix = "LoadLibraryExA(\"C:\\Host\\";
    std::vector<std::string> loads;
    for (const std::string& entry : platform.CallLog()) {
      if (entry.rfind(prefix, 0) == 0) {
        loads.push_back(
            entry.substr(prefix.size(), entry.find('"', prefix.size()) - prefix.size()));
      }
    }
    return loads;
  }

  test::TempFolder disk;
  HostedPlatform platform;
};

TEST(LocaleSelection, ConfirmsTheCodeAgainstLanguageModules) {
  const std::string de = "de\\qelevent.dll";
  const std::string en = "en\\qelevent.dll";
  const std::string zh = "zh\\qelevent.dll";
  const std::string zhCN = "zhCN\\qelevent.dll";
  const std::string zhTW = "zhTW\\qelevent.dll";
  const std::string beside = "qelevent.dll";
  struct Case {  // NOLINT(clang-analyzer-optin.performance.Padding): read as a table
    const char* what;
    uint32_t lcid;
    std::vector<std::pair<std::string, std::string>> files;  // path under C:\Host\, fixture
    std::optional<std::string> chosen;
    std::vector<std::string> loads;
    bool kept;  // a language module is held until destruction
  } cases[] = {
      {"German module in de", 0x0407, {{de, "lang-0407.dll"}}, "de", {de}, true},
      {"only an English module in en", 0x0407, {{en, "lang-0409.dll"}}, "en", {en}, true},
      {"zhTW holds Simplified Chinese: released, then en does not match zh",
       0x0404,
       {{zhTW, "lang-0804.dll"}, {en, "lang-0409.dll"}},
       "en",
       {zhTW, en},
       true},
      {"zhTW holds Traditional Chinese", 0x0404, {{zhTW, "lang-0404.dll"}}, "zhTW", {zhTW}, true},
      {"zhCN finds zh\\ in Traditional Chinese: no exact match, but zh accepts it",
       0x0804,
       {{zh, "lang-0404.dll"}},
       "zh",
       {zh, zh},
       true},
      {"Chinese sub-language 3 asks for zhCN",
       0x0C04,
       {{zhCN, "lang-0804.dll"}},
       "zhCN",
       {zhCN},
       true},
      {"the module beside the executable comes before en",
       0x0407,
       {{beside, "lang-0407.dll"}, {en, "lang-0409.dll"}},
       "de",
       {beside},
       true},
      {"an unknown language looks for en", 0x0439, {{en, "lang-0409.dll"}}, "en", {en}, true},
      {"no module, host executable without resources",
       0x0407,
       {{"host.exe", "host-plain.exe"}},
       std::nullopt,
       {},
       false},
      {"no module, no host executable file", 0x0407, {}, std::nullopt, {}, false},
      {"no module, host executable in German",
       0x0407,
       {{"host.exe", "host-strings.exe"}},
       "de",
       {},
       false},
      {"no module, host executable in German, French wanted",
       0x040C,
       {{"host.exe", "host-strings.exe"}},
       "en",
       {},
       false},
      {"a module without a string table settles nothing",
       0x0407,
       {{de, "no-strings.dll"}, {"host.exe", "host-strings.exe"}},
       std::nullopt,
       {de},
       true},
      {"a candidate that does not load: the host executable decides",
       0x0407,
       {{de, "!MZ but no more"}, {"host.exe", "host-strings.exe"}},
       "de",
       {de},
       false},
      {"four-letter module without strings is released; nothing for zh",
       0x0404,
       {{zhTW, "no-strings.dll"}, {"host.exe", "host-plain.exe"}},
       std::nullopt,
       {zhTW},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LocaleDisk disk;
    for (const auto& [path, fixture] : c.files) disk.Place(path, fixture);
    disk.platform.SetUserDefaultLCID(c.lcid);
    {
      LocaleSelection selection(disk.platform, kModule);
      EXPECT_EQ(selection.chosenCode(), c.chosen);
      EXPECT_EQ(disk.Loads(), c.loads);
      EXPECT_EQ(disk.platform.LoadedModuleCount(), c.kept ? 1 : 0);
    }
    EXPECT_EQ(disk.platform.LoadedModuleCount(), 0);
    EXPECT_EQ(disk.platform.LoadCount(), disk.platform.ReleaseCount());
  }
}

TEST(LocaleSelection, LoadsLanguageModulesAsDataFilesWithErrorBoxesOff) {
  LocaleDisk disk;
  disk.Place("zhTW\\qelevent.dll", "lang-0804.dll");
  disk.Place("en\\qelevent.dll", "!not a module");
  disk.platform.SetUserDefaultLCID(0x0404);
  disk.platform.SetErrorMode(0x4);
  disk.platform.ClearCallLog();

  LocaleSelection selection(disk.platform, kModule);

  std::vector<std::string> calls;
  for (const std::string& entry : disk.platform.CallLog()) {
    if (entry.rfind("SetErrorMode", 0) == 0 || entry.rfind("LoadLibrary", 0) == 0) {
      calls.push_back(entry);
    }
  }
  // The mode is back after each load, the failed one included; no module is
  // loaded as code.
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "SetErrorMode(0x8001)",
                       "LoadLibraryExA(\"C:\\Host\\zhTW\\qelevent.dll\", 2)",
                       "SetErrorMode(0x4)",
                       "SetErrorMode(0x8001)",
                       "LoadLibraryExA(\"C:\\Host\\en\\qelevent.dll\", 2)",
                       "SetErrorMode(0x4)",
                   }));
  EXPECT_FALSE(selection.chosenCode().has_value());  // the host executable has no file
}

std::vector<std::string> FileProbes(const HostedPlatform& platform) {
  std::vector<std::string> probes;
  for (const std::string& entry : platform.CallLog()) {
    if (entry.rfind("OpenFile(", 0) == 0) probes.push_back(entry);
  }
  return probes;
}

std::string Probe(const std::string& path) { return "OpenFile(\"" + path + "\", 16384)"; }

TEST(FindLanguageModule, TestsTheCandidatesInOrderUntilOneExists) {
  LocaleDisk disk;
  EXPECT_EQ(FindLanguageModule(disk.platform, kModule, "zhTW"), "");
  EXPECT_EQ(FileProbes(disk.platform), (std::vector<std::string>{
                                           Probe("C:\\Host\\zhTW\\qelevent.dll"),
                                           Probe("C:\\Host\\zh\\qelevent.dll"),
                                           Probe("C:\\Host\\qelevent.dll"),
                                           Probe("C:\\Host\\en\\qelevent.dll"),
                                       }));

  disk.platform.ClearCallLog();
  disk.Place("zh\\QELEVENT.DLL", "lang-0404.dll");
  disk.Place("en\\qelevent.dll", "lang-0409.dll");
  EXPECT_EQ(FindLanguageModule(disk.platform, kModule, "zhTW"), "C:\\Host\\zh\\qelevent.dll");
  EXPECT_EQ(FileProbes(disk.platform).size(), 2u);

  disk.platform.ClearCallLog();
  EXPECT_EQ(FindLanguageModule(disk.platform, kModule, "de"), "C:\\Host\\en\\qelevent.dll");
  EXPECT_EQ(FileProbes(disk.platform), (std::vector<std::string>{
                                           Probe("C:\\Host\\de\\qelevent.dll"),
                                           Probe("C:\\Host\\qelevent.dll"),
                                           Probe("C:\\Host\\en\\qelevent.dll"),
                                       }));
}

TEST(FindLanguageModule, TestsNothingWithoutAFolder) {
  LocaleDisk disk;
  disk.Place("qelevent.dll", "lang-0409.dll");
  disk.platform.SetHostExecutable("host.exe");
  EXPECT_EQ(FindLanguageModule(disk.platform, kModule, "de"), "");
  EXPECT_TRUE(FileProbes(disk.platform).empty());
}

// The host path is read into 255 characters. A path that fills them was cut
// off and is not used; a candidate that would not fit is not tested.
TEST(FindLanguageModule, NeverTestsACutOffOrOverlongPath) {
  LocaleDisk disk;
  // A folder "C:\aaa…\" of exactly |length| characters.
  auto folderOf = [](size_t length) { return "C:\\" + std::string(length - 4, 'a') + "\\"; };

  disk.platform.SetHostExecutable(folderOf(246) + "host.exe");  // 254 characters: fits
  disk.platform.ClearCallLog();
  FindLanguageModule(disk.platform, kModule, "de");
  EXPECT_TRUE(FileProbes(disk.platform).empty());  // every candidate is 255 or longer

  disk.platform.SetHostExecutable(folderOf(240) + "h.exe");  // 245 characters
  disk.platform.ClearCallLog();
  FindLanguageModule(disk.platform, kModule, "zhTW");
  // Only <folder>qelevent.dll (252) fits; zhTW\, zh\ and en\ (257, 255, 255) do not.
  EXPECT_EQ(FileProbes(disk.platform),
            std::vector<std::string>{Probe(folderOf(240) + "qelevent.dll")});

  for (size_t length : {255u, 300u}) {
    disk.platform.SetHostExecutable("C:\\x\\" + std::string(length - 5, 'h'));
    disk.platform.ClearCallLog();
    EXPECT_EQ(FindLanguageModule(disk.platform, kModule, "de"), "") << length;
    EXPECT_TRUE(FileProbes(disk.platform).empty()) << length;
  }
}

}  // namespace
}  // namespace qel
