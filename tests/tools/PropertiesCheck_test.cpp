#include "tools/PropertiesCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/CategoryMap.h"
#include "bridge/CategoryMapLoading.h"
#include "config/TextConversions.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"
#include "tools/WindowsFiles.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

// The plug-in's string table, built from resources/qelevent.rc.
fs::path PluginModule() { return fs::path(QEL_PE_FIXTURE_DIR) / "qelevent.dll"; }

StringTable PluginStrings() {
  StringTable strings;
  std::string error;
  EXPECT_TRUE(LoadStringTable(PluginModule(), strings, error)) << error;
  return strings;
}

// Categories "C1002" to "C1020", as many as the shipped table has.
std::optional<std::string> SmallTable(uint32_t id) {
  if (id < 1002 || id > 1020) return std::nullopt;
  return "C" + std::to_string(id);
}

CheckReport Check(const std::string& bytes, const StringTable& strings = SmallTable) {
  std::istringstream file(bytes);
  return CheckProperties(file, strings);
}

std::string Marked(const std::string& className) { return "cim:Telvar_Services." + className; }

struct Expected {
  int line;
  std::string text;
};

// |report| warns |expected|: as many warnings, each on its line and holding
// its text.
void ExpectWarnings(const CheckReport& report, const std::vector<Expected>& expected,
                    const std::string& name) {
  ASSERT_EQ(report.warnings.size(), expected.size()) << name;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(report.warnings[i].line, expected[i].line) << name;
    EXPECT_THAT(report.warnings[i].text, HasSubstr(expected[i].text)) << name;
  }
}

TEST(PropertiesCheckTest, TheShippedFileMapsNineteenClassesWithoutWarning) {
  std::ifstream file(fs::path(QEL_SOURCE_DIR) / "resources" / "qelevent.properties",
                     std::ios::binary);
  ASSERT_TRUE(file);
  const CheckReport report = CheckProperties(file, PluginStrings());
  EXPECT_EQ(report.Mappings(), 19);
  EXPECT_THAT(report.warnings, IsEmpty());
  ASSERT_EQ(report.marked.size(), 19u);
  EXPECT_EQ(report.marked.front().line, 44);
  EXPECT_EQ(report.marked.front().className, "CIM_Chassis");
  EXPECT_EQ(report.marked.front().id, 1002u);
  EXPECT_EQ(report.marked.front().category, "System Enclosure");
  EXPECT_EQ(report.marked.back().line, 62);
  EXPECT_EQ(report.marked.back().className, "CIM_ArravaultHealth");
  EXPECT_EQ(report.marked.back().id, 1020u);
  EXPECT_EQ(report.marked.back().category, "Arravault Health");
}

TEST(PropertiesCheckTest, ListsMarkedEntriesWithTheirIdsInFileOrder) {
  const CheckReport report = Check("# a comment\n\nfan=" + Marked("CIM_Fan") +
                                   "\r\nplain=no marker here\nk=" + Marked("CIM_Temp") + "\n");
  ASSERT_EQ(report.marked.size(), 2u);
  EXPECT_EQ(report.marked[0].line, 3);
  EXPECT_EQ(report.marked[0].className, "CIM_Fan");
  EXPECT_EQ(report.marked[0].id, 1002u);
  EXPECT_EQ(report.marked[0].category, "C1002");
  EXPECT_TRUE(report.marked[0].mapped);
  EXPECT_EQ(report.marked[1].line, 5);
  EXPECT_EQ(report.marked[1].className, "CIM_Temp");
  EXPECT_EQ(report.marked[1].id, 1003u);
  EXPECT_THAT(report.warnings, IsEmpty());
  EXPECT_EQ(report.Mappings(), 2);
}

TEST(PropertiesCheckTest, WarnsAboutWhatSilentlyGoesWrong) {
  std::string twenty;
  for (int i = 1; i <= 20; ++i)
    twenty += "k" + std::to_string(i) + "=" + Marked("C" + std::to_string(i)) + "\n";
  const std::string longValue = Marked("CIM_" + std::string(1100, 'A'));
  const struct {
    std::string name;
    std::string bytes;
    std::vector<Expected> warnings;
    int mappings;
  } cases[] = {
      {"marker at the start",
       "a=Telvar_Services.CIM_A\nb=" + Marked("CIM_B"),
       {{1, "starts with the marker"}},
       1},
      {"marker in the wrong case",
       "a=cim:telvar_services.CIM_A\nb=cim:TELVAR_SERVICES.CIM_B\nc=" + Marked("CIM_C"),
       {{1, "written \"telvar_services.\""}, {2, "written \"TELVAR_SERVICES.\""}},
       1},
      {"duplicate class name",
       "a=" + Marked("CIM_A") + "\nb=" + Marked("CIM_A") + "\nc=" + Marked("CIM_C"),
       {{2, "CIM_A is already mapped on line 1 (\"C1002\")"}},
       2},
      {"empty class name",
       "a=cim:Telvar_Services.\nb=" + Marked("CIM_B"),
       {{1, "nothing follows the marker"}},
       1},
      {"more marked entries than categories",
       twenty,
       {{20, "20th marked line asks for id 1021, which the string table lacks (it has 19"}},
       19},
      {"line too long", "a=" + longValue + "\nb=" + Marked("CIM_B"), {{1, "1126 bytes long"}}, 1},
      {"line too long by a comment only",
       "a=" + Marked("CIM_A") + " # " + std::string(1100, '-') + "\n",
       {{1, "only blanks or a comment"}},
       1},
      {"value cut by a comment",
       "a=" + Marked("CIM_A#B") + "\nb=" + Marked("CIM_B;x"),
       {{1, "\"#\" at column 28"}, {2, "the value \"cim:Telvar_Services.CIM_B\""}},
       2},
      {"key cut by a comment",
       "a#b=" + Marked("CIM_A"),
       {{0, "it maps nothing"}, {1, "the line gives no entry"}},
       0},
      {"value cut by a NUL",
       std::string("a=cim:Telvar_Services.CIM_A\0B\n", 30),
       {{1, "a NUL byte at column 28"}},
       1},
      {"marker on a line without key",
       "=" + Marked("CIM_A") + "\n",
       {{0, "it maps nothing"}, {1, "an empty key"}},
       0},
      {"marker on a line without =",
       "a " + Marked("CIM_A") + "\n",
       {{0, "it maps nothing"}, {1, "no \"=\""}},
       0},
      {"marker on a line without value",
       Marked("CIM_A") + "=\n",
       {{0, "it maps nothing"}, {1, "an empty value"}},
       0},
  };
  for (const auto& c : cases) {
    const CheckReport report = Check(c.bytes);
    ExpectWarnings(report, c.warnings, c.name);
    EXPECT_EQ(report.Mappings(), c.mappings) << c.name;
  }
}

TEST(PropertiesCheckTest, CatchesFilesThatMapNothingOrMapWrongly) {
  const std::string fourLines = "a=" + Marked("CIM_A") + "\nb=" + Marked("CIM_B") + "\n";
  std::string utf16be = "\xFE\xFF";
  std::string utf16le;
  for (const char c : "k=" + Marked("CIM_Fan") + "\n") {
    utf16be += std::string(1, '\0') + c;
    utf16le += std::string(1, c) + '\0';
  }
  const struct {
    std::string name;
    std::string bytes;
    std::vector<Expected> warnings;
    std::vector<uint32_t> unused;  // the first ids no line maps, at most three
    std::string error{};           // empty when the file is read
  } cases[] = {
      {"Notepad's Unicode, PowerShell 5.1's >",
       WindowsUnicodeFile("k=" + Marked("CIM_Fan") + "\n"),
       {},
       {},
       "UTF-16LE (it starts with the byte-order mark FF FE)"},
      {"UTF-16LE without a mark", utf16le, {}, {}, "UTF-16LE (a NUL byte after each ASCII"},
      {"UTF-16BE", utf16be, {}, {}, "UTF-16BE (it starts with the byte-order mark"},
      {"empty file", "", {{0, "the file is empty: it maps nothing"}}, {1002, 1003, 1004}},
      {"no marked line",
       "# only comments\nk=CIM_Fan\n",
       {{0, "no line marks a class"}},
       {1002, 1003, 1004}},
      {"marked lines, none of which maps",
       "a=cim:Telvar_Services.\nb=cim:Telvar_Services.\n",
       {{0, "none of its marked lines maps a class"},
        {1, "nothing follows the marker"},
        {2, "nothing follows the marker"}},
       {1002, 1003, 1004}},
      {"a space",
       "k=" + Marked("CIM_Disk Drive") + "\n",
       {{1, "U+0020 (a space) at column 31"}},
       {1003, 1004, 1005}},
      {"a no-break space after a non-ASCII key",
       "\xC3\xA9=" +
           Marked("CIM_\xC2\xA0"
                  "Fan") +
           "\n",
       {{1, "U+00A0 (a no-break space) at column 27"}},
       {1003, 1004, 1005}},
      {"a zero-width space",
       "k=" + Marked("CIM_Fan\xE2\x80\x8B") + "\n",
       {{1, "U+200B (a zero-width space) at column 30"}},
       {1003, 1004, 1005}},
      {"an equals sign",
       "k=" + Marked("CIM=Fan") + "\n",
       {{1, "U+003D (\"=\") at column 26"}},
       {1003, 1004, 1005}},
      {"a mistyped marker shifts the lines below",
       "x=" + Marked("CIM_X") + "\ny=cim:Telvar_services.CIM_Y\n" + fourLines +
           "z=" + Marked("CIM_Z") + "\n",
       {{2, "; the 3 marked lines below take the category one earlier"}},
       {1006, 1007, 1008}},
      {"a line without \"=\" shifts the one below",
       "x " + Marked("CIM_X") + "\n" + "a=" + Marked("CIM_A") + "\n",
       {{1, "key and value; the marked line below takes the category one earlier"}},
       {1003, 1004, 1005}},
      {"a duplicate uses up its id and shifts nothing",
       fourLines + "c=" + Marked("CIM_A") + "\n",
       {{3, "already mapped"}},
       {1004, 1005, 1006}},
  };
  for (const auto& c : cases) {
    const CheckReport report = Check(c.bytes);
    if (c.error.empty()) {
      EXPECT_FALSE(report.error) << c.name << ": " << *report.error;
    } else {
      ASSERT_TRUE(report.error) << c.name;
      EXPECT_THAT(*report.error, HasSubstr(c.error)) << c.name;
      EXPECT_THAT(*report.error, HasSubstr("Save it as UTF-8 or ANSI")) << c.name;
      EXPECT_THAT(report.marked, IsEmpty()) << c.name;
    }
    ExpectWarnings(report, c.warnings, c.name);
    std::vector<uint32_t> unused;
    for (size_t i = 0; i < std::min<size_t>(3, report.unused.size()); ++i) {
      unused.push_back(report.unused[i].id);
    }
    EXPECT_EQ(unused, c.unused) << c.name;
  }
}

TEST(PropertiesCheckTest, LeavesOrdinaryCommentsAndUnmarkedLinesAlone) {
  const CheckReport report = Check(
      "# header with Telvar_Services.CIM_X in it\n"
      "# each line: key=cim:Telvar_Services.<CIM class name>\n"
      "a=" +
      Marked("CIM_A") +
      "   # trailing remark\n"
      "b=" +
      Marked("CIM_B") +
      "\t; another\n"
      "c=" +
      Marked("CIM_C") +
      "#\n"
      "note=free text without the marker#and a comment\n"
      "\xEF\xBB\xBF"
      "d=" +
      Marked("CIM_D") +
      "\n"
      "lonely line\n");
  EXPECT_THAT(report.warnings, IsEmpty());
  EXPECT_EQ(report.Mappings(), 4);
}

TEST(PropertiesCheckTest, UsesIdsAsTheCategoryMapLoadingDoes) {
  // Marked entries that map nothing still use up their ids; unmarked ones do
  // not. Whatever check calls mapped must be what InitMap's loading maps.
  std::string bytes = "x=" + Marked("CIM_A") + "\ny=Telvar_Services.CIM_B\nz=" + Marked("CIM_A") +
                      "\nw=cim:Telvar_Services.\nv=" + Marked("CIM_C") +
                      "#cut\nu=" + Marked("CIM_D") + "\n";
  for (int i = 0; i < 15; ++i) bytes += "f=" + Marked("CIM_F" + std::to_string(i)) + "\n";

  test::TempFolder disk;
  disk.Write("C/Prog/ci/qelevent.properties", bytes);
  fs::copy_file(PluginModule(), disk.Path() / "C/Prog/ci/qelevent.dll");
  HostedPlatform platform;
  platform.SetDiskRoot(disk.Path());
  platform.Registry().SetString("SOFTWARE\\Korvane\\Telvar", "TELVARPATH", "C:\\Prog");
  CategoryMap map;
  LoadCategoryMap(platform, u"C:\\Prog\\\\ci\\qelevent.dll", map);

  const CheckReport report = Check(bytes, PluginStrings());
  size_t stored = 0;
  for (const MarkedEntry& entry : report.marked) {
    if (!entry.mapped) continue;
    ++stored;
    EXPECT_EQ(WideToUtf8(map.lookup(Utf8ToWide(entry.className))), *entry.category)
        << entry.className;
  }
  EXPECT_EQ(report.marked.back().id, 1021u);
  EXPECT_FALSE(report.marked.back().mapped);
  EXPECT_EQ(report.Mappings(), 17);
  // The map also holds the empty class name, which no event can name.
  EXPECT_EQ(map.size(), stored + 1);
  EXPECT_EQ(map.lookup(u""), u"Disk Space Low");
}

class RunCheckTest : public ::testing::Test {
 protected:
  int Run(const CheckSettings& settings) {
    out.str("");
    err.str("");
    return RunCheck(settings, out, err);
  }
  test::TempFolder folder;
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(RunCheckTest, PrintsTheListingAndWarningsAndAnswersWithItsExitStatus) {
  CheckSettings settings;
  settings.properties = folder.Write("ok.properties", "fan=" + Marked("CIM_Fan") + "\n");
  settings.module = PluginModule();
  EXPECT_EQ(Run(settings), 0);
  EXPECT_THAT(out.str(), HasSubstr("1     1002  CIM_Fan     System Enclosure\n"));
  EXPECT_THAT(out.str(), HasSubstr("1 mapping, no warnings\n"));
  EXPECT_EQ(err.str(), "");

  settings.properties =
      folder.Write("bad.properties", "fan=" + Marked("CIM_Fan") + "\nagain=" + Marked("CIM_Fan"));
  EXPECT_EQ(Run(settings), 1);
  EXPECT_THAT(err.str(), HasSubstr(settings.properties->string() + ":2: warning: class CIM_Fan"));
  EXPECT_THAT(out.str(), HasSubstr("2     1003  CIM_Fan     Fan  [maps nothing]\n"));
  EXPECT_THAT(out.str(), HasSubstr("1 mapping, 1 warning\n"));
  EXPECT_THAT(out.str(),
              HasSubstr("categories no line maps: 1003 \"Fan\", 1004 \"Disk Space Low\""));

  settings.properties = folder.Write("unicode.properties", WindowsUnicodeFile("a=b\n"));
  EXPECT_EQ(Run(settings), kMapsNothing);
  EXPECT_THAT(err.str(),
              StartsWith(settings.properties->string() + ": error: the file is UTF-16LE"));
  EXPECT_THAT(out.str(), Not(HasSubstr("mapping")));
}

// Slips that leave a line meant to mark a class unmarked, so that every
// marked line below it takes the category one earlier; and a file that only
// looks like them.
TEST_F(RunCheckTest, WarnsAboutNearMissesOfTheMarkerAndCommentedMarkedLines) {
  const std::string below = "c=" + Marked("CIM_C") + "\nd=" + Marked("CIM_D") + "\n";
  const std::string shift = "; the 2 marked lines below take the category one earlier";
  const struct {
    std::string name;
    std::string line;  // the second of four lines
    std::string warning;
  } cases[] = {
      {"a letter left out", "b=x.Telvar_Servics.CIM_B", "written \"Telvar_Servics.\""},
      {"the plural's s left out", "b=cim:Telvar_Service.CIM_B", "written \"Telvar_Service.\""},
      {"another separator", "b=cim:Telvar-Services.CIM_B", "written \"Telvar-Services.\""},
      {"two slips, one of them the letter case", "b=cim:telvar_Servces:CIM_B",
       "written \"telvar_Servces:\""},
      {"a marked line commented out", "#Fan=x.Telvar_Services.CIM_Fan",
       "a comment, so its marked value \"x.Telvar_Services.CIM_Fan\" maps nothing"},
      {"... with a blank", "  ; b=" + Marked("CIM_B"), "a comment"},
      {"no slip",
       "# The marker, as in cim:Telvar_Services.CIM_Fan; Services=CIM_Service, "
       "plain=cim:CIM_ComputerSystem\nplain=cim:CIM_ComputerSystem\nsvc=Services.CIM_Service",
       ""},
  };
  for (const auto& c : cases) {
    CheckSettings settings;
    settings.properties =
        folder.Write("near.properties", "a=" + Marked("CIM_A") + "\n" + c.line + "\n" + below);
    settings.module = PluginModule();
    EXPECT_EQ(Run(settings), c.warning.empty() ? 0 : 1) << c.name;
    if (c.warning.empty()) {
      EXPECT_EQ(err.str(), "") << c.name;
    } else {
      EXPECT_THAT(err.str(), HasSubstr(":2: warning: the ")) << c.name;
      EXPECT_THAT(err.str(), HasSubstr(c.warning)) << c.name;
      EXPECT_THAT(err.str(), HasSubstr(shift + "\n")) << c.name;
    }
  }
}

// An edit of the shipped file that inserts a marked line is named as the
// cause of the shift below it; one that renames a class on its line is not.
TEST_F(RunCheckTest, NamesALineInsertedIntoTheShippedFile) {
  std::ifstream in(fs::path(QEL_SOURCE_DIR) / "resources" / "qelevent.properties",
                   std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  std::vector<std::string> inserted = lines;
  inserted.insert(inserted.begin() + 50, "Pump=" + Marked("CIM_Pump") + "\n");
  std::vector<std::string> renamed = lines;
  renamed[44] = "Fan=" + Marked("CIM_Blower") + "\n";
  const struct {
    std::vector<std::string> lines;
    int status;
    std::string warning;
  } cases[] = {
      {inserted, 1,
       ": warning: compared with the shipped file, line 51 (CIM_Pump) inserted: 11 classes below "
       "it move to the next category; 1 more passes the last category and maps nothing\n"},
      {renamed, 0, ""},
  };
  for (const auto& c : cases) {
    CheckSettings settings;
    std::string bytes;
    for (const std::string& line : c.lines) bytes += line;
    settings.properties = folder.Write("edited.properties", bytes);
    settings.module = PluginModule();
    EXPECT_EQ(Run(settings), c.status) << err.str();
    EXPECT_THAT(err.str(), HasSubstr(c.warning));
  }
}

TEST_F(RunCheckTest, ExplainsWhatItCannotCheck) {
  const fs::path properties = folder.Write("ok.properties", "fan=" + Marked("CIM_Fan") + "\n");
  const struct {
    std::optional<fs::path> properties;
    std::optional<fs::path> module;
    std::string reason;
  } cases[] = {
      {folder.Path() / "missing.properties", PluginModule(), "missing.properties does not exist"},
      {folder.Path(), PluginModule(), "is a folder, not a file"},
      {properties, folder.Path() / "missing.dll", "missing.dll does not exist"},
      {properties, properties, "is not a Windows module"},
      {properties, fs::path(QEL_PE_FIXTURE_DIR) / "no-strings.dll", "has no string 1000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run({c.properties, c.module}), 2) << c.reason;
    const std::string message = err.str();
    EXPECT_THAT(message, HasSubstr(c.reason));
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(out.str(), "");
  }
}

}  // namespace
}  // namespace qel::tool
