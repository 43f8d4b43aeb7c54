#include "tools/PropertiesDiff.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/CategoryMap.h"
#include "bridge/CategoryMapLoading.h"
#include "config/TextConversions.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"
#include "tools/ToolCommands.h"
#include "tools/WindowsFiles.h"

namespace qel::tool {
namespace {

using ::testing::HasSubstr;

std::string Marked(const std::string& key, const std::string& className) {
  return key + "=cim:Telvar_Services." + className + "\n";
}

// Marked classes, each on its own line, under a comment.
std::string Lines(const std::vector<std::string>& classes) {
  std::string text = "# mapping\n";
  for (const std::string& c : classes) text += Marked("k", c);
  return text;
}

// The category InitMap gives each of |classes| for |bytes|, "" for none.
std::map<std::string, std::string> InitMapOf(const std::string& bytes,
                                             const std::set<std::string>& classes) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  installation.WriteProperties(bytes);
  CategoryMap map;
  LoadCategoryMap(platform, installation.ResourceModulePath(), map);
  std::map<std::string, std::string> categories;
  size_t found = map.lookup(u"").empty() ? 0 : 1;
  for (const std::string& c : classes) {
    categories[c] = WideToUtf8(map.lookup(Utf8ToWide(c)));
    if (!categories[c].empty()) ++found;
  }
  EXPECT_EQ(found, map.size()) << "a class the case does not name is mapped";
  return categories;
}

CheckReport Read(const std::string& bytes, const StringTable& strings) {
  std::istringstream file(bytes);
  return CheckProperties(file, strings);
}

// Line |line| of |bytes| marks |className|.
bool MarksOn(const std::string& bytes, int line, const std::string& className) {
  std::istringstream lines(bytes);
  std::string text;
  for (int i = 0; i < line; ++i) std::getline(lines, text);
  return text.find("Telvar_Services." + className) != std::string::npos;
}

TEST(PropertiesDiffTest, ListsWhatInitMapMapsDifferently) {
  const std::vector<std::string> five = {"CIM_A", "CIM_B", "CIM_C", "CIM_D", "CIM_E"};
  const std::string fiveLines = Lines(five);
  std::vector<std::string> full;
  for (int i = 1; i <= 19; ++i) full.push_back("CIM_" + std::to_string(i));
  std::vector<std::string> overfull = full;
  overfull.insert(overfull.begin(), "CIM_X");
  const struct {
    std::string name;
    std::string after;
    std::string shift;     // what the first shift says, empty for none
    std::string before{};  // empty for the five lines
  } cases[] = {
      {"insert", Lines({"CIM_A", "CIM_X", "CIM_B", "CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_X) inserted: 4 classes below it move to the next category"},
      {"delete", Lines({"CIM_A", "CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) removed: 3 classes below it move to the previous category"},
      {"swap", Lines({"CIM_A", "CIM_C", "CIM_B", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) moved to line 4: 1 class below it moves to the previous category"},
      {"rename", Lines({"CIM_A", "CIM_B2", "CIM_C", "CIM_D", "CIM_E"}), ""},
      {"later duplicate", Lines({"CIM_A", "CIM_B", "CIM_C", "CIM_A", "CIM_D", "CIM_E"}),
       "line 5 (CIM_A) inserted: 2 classes below it move to the next category"},
      {"marker at the start",
       "# mapping\n" + Marked("k", "CIM_A") + "k=Telvar_Services.CIM_B\n" +
           Lines({"CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) unmarked (its value starts with the marker): 3 classes below it"},
      {"marker in another case",
       "# mapping\n" + Marked("k", "CIM_A") + "k=cim:telvar_services.CIM_B\n" +
           Lines({"CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) unmarked (its marker is written \"telvar_services.\"): 3 classes"},
      {"misspelt marker, a line above it",
       "# mapping\n\n" + Marked("k", "CIM_A") + "k=cim:Telvar_Servics.CIM_B\n" +
           Lines({"CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) unmarked on line 4 (its marker is written \"Telvar_Servics.\")"},
      {"commented out",
       "# mapping\n" + Marked("k", "CIM_A") + "#" + Marked("k", "CIM_B") +
           Lines({"CIM_C", "CIM_D", "CIM_E"}),
       "line 3 (CIM_B) unmarked (it is commented out): 3 classes below it"},
      {"comments only, saved by Notepad",
       WindowsLineEnds("# version 2\n\n; reordered\n" + fiveLines + "# end\n"), ""},
      {"insert into a full table", Lines(overfull),
       "line 2 (CIM_X) inserted: 18 classes below it move to the next category; 1 more passes "
       "the last category and maps nothing",
       Lines(full)},
  };
  StringTable strings;
  std::string error;
  ASSERT_TRUE(LoadStringTable(std::string(QEL_PE_FIXTURE_DIR) + "/qelevent.dll", strings, error));
  for (const auto& c : cases) {
    const std::string& base = c.before.empty() ? fiveLines : c.before;
    const CheckReport old = Read(base, strings);
    const CheckReport now = Read(c.after, strings);
    const DiffReport report = DiffMappings(old, now);
    std::set<std::string> classes;
    for (const auto* marked : {&old.marked, &now.marked}) {
      for (const MarkedEntry& e : *marked) classes.insert(e.className);
    }
    const std::map<std::string, std::string> before = InitMapOf(base, classes);
    const std::map<std::string, std::string> after = InitMapOf(c.after, classes);

    // Class -> old and new category ("" for none), for the classes that differ.
    std::map<std::string, std::pair<std::string, std::string>> listed;
    std::map<std::string, std::pair<std::string, std::string>> expected;
    const auto where = [&](const DiffSide& side, const std::string& bytes,
                           const std::string& className) {
      EXPECT_EQ(strings(side.id), side.category) << c.name << ": " << className;
      EXPECT_TRUE(MarksOn(bytes, side.line, className)) << c.name << ": " << className;
      return side.category;
    };
    for (const DiffClass& d : report.added) {
      listed[d.className] = {"", where(d.side, c.after, d.className)};
    }
    for (const DiffClass& d : report.removed) {
      listed[d.className] = {where(d.side, base, d.className), ""};
    }
    for (const ChangedClass& d : report.changed) {
      listed[d.className] = {where(d.before, base, d.className),
                             where(d.after, c.after, d.className)};
    }
    for (const std::string& name : classes) {
      if (before.at(name) != after.at(name)) expected[name] = {before.at(name), after.at(name)};
    }
    EXPECT_EQ(listed, expected) << c.name;
    if (c.shift.empty()) {
      EXPECT_TRUE(report.shifts.empty()) << c.name << ": " << report.shifts.front().cause;
    } else {
      ASSERT_FALSE(report.shifts.empty()) << c.name;
      EXPECT_THAT(ShiftText(report.shifts.front()), HasSubstr(c.shift)) << c.name;
    }
  }
}

TEST(PropertiesDiffTest, AnswersWithItsExitStatusInTextAndJson) {
  test::TempFolder folder;
  const std::string module = std::string(QEL_PE_FIXTURE_DIR) + "/qelevent.dll";
  const std::string before = folder.Write("old.properties", Lines({"CIM_A", "CIM_B"})).string();
  const std::string after =
      folder.Write("new.properties", Lines({"CIM_X", "CIM_A", "CIM_B"})).string();
  const std::string missing = (folder.Path() / "missing.properties").string();
  std::vector<std::string> full;
  for (int i = 1; i <= 19; ++i) full.push_back("CIM_" + std::to_string(i));
  const std::string nineteen = folder.Write("19.properties", Lines(full)).string();
  full.push_back("CIM_X");
  const std::string twenty = folder.Write("20.properties", Lines(full)).string();
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // on standard output, or on standard error when the status is 2
  } cases[] = {
      {{before, after},
       1,
       "changed  CIM_A  line 2, id 1002 (\"System Enclosure\") -> line 3, id 1003 (\"Fan\")\n"
       "changed  CIM_B  line 3, id 1003 (\"Fan\") -> line 4, id 1004 (\"Disk Space Low\")\n"
       "line 2 (CIM_X) inserted: 2 classes below it move to the next category\n"
       "1 added, 0 removed, 2 moved to another category\n"},
      {{"--lcid", "0x0407", before, before}, 0, "no class added, removed or moved\n"},
      {{nineteen, twenty},
       1,
       "added    CIM_X  line 21, id 1021 (no category): maps nothing\n"
       "1 added (1 of them mapping nothing), 0 removed, 0 moved to another category\n"},
      {{twenty, nineteen}, 1, "removed  CIM_X  line 21, id 1021 (no category): mapped nothing\n"},
      {{before, missing}, 2, "diff: properties file " + missing + " does not exist\n"},
      {{folder.Path().string(), after}, 2, "is a folder, not a file\n"},
      {{before}, 2, "name two properties files"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"diff", "--module", module};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunTool(arguments, in, out, err), c.status) << err.str();
    EXPECT_THAT(c.status == 2 ? err.str() : out.str(), HasSubstr(c.out));
    if (c.status == 2) {
      const std::string message = err.str();
      EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
      EXPECT_EQ(out.str(), "");
    }
  }

  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunTool({"diff", "--json", "--module=" + module, before, after}, in, out, err), 1);
  const nlohmann::json document = nlohmann::json::parse(out.str());
  EXPECT_EQ(document["added"], nlohmann::json::parse(R"([{"className": "CIM_X", "line": 2,
      "id": 1002, "category": "System Enclosure"}])"));
  EXPECT_EQ(document["changed"][1]["new"]["id"], 1004);
  EXPECT_EQ(document["shifts"][0]["classes"], 2);
  EXPECT_EQ(document["removed"].size(), 0u);
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace qel::tool
