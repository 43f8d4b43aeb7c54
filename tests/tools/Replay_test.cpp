#include "tools/Replay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/IpcBinding.h"
#include "stubs/vovuru32/StandInIpcLibrary.h"
#include "support/TestSupport.h"
#include "tools/Notification.h"
#include "tools/PropertiesCheck.h"
#include "tools/WindowsFiles.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kRegistry[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\r\n\"Version\"=\"4.1\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar\\4.1]\r\n"
    "\"TELVARPATH\"=\"C:\\\\Prog\"\r\n";

std::string Line(int code, const std::string& className, const std::string& text = "text",
                 const std::string& target = "srv01") {
  return json{{"eventCode", code},
              {"className", className},
              {"eventText", text},
              {"categoryAttribute", "Hardware"},
              {"target", target}}
      .dump();
}

// An installation in a temporary folder: the product key, the plug-in's
// string table as ci\qelevent.dll, the shipped properties file, and a German
// language module beside the host executable C:\Prog\bin\host.exe.
// What a terminal shows of |text|: a carriage return goes back to the start of
// the line, where what follows overwrites it. Trailing blanks are dropped.
std::vector<std::string> OnTerminal(const std::string& text) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (const char c : text) {
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\r') {
      column = 0;
    } else if (column < lines.back().size()) {
      lines.back()[column++] = c;
    } else {
      lines.back() += c;
      ++column;
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

class ReplayTest : public ::testing::Test {
 protected:
  ReplayTest() {
    disk.Write("telvar.reg", kRegistry);
    fs::create_directories(disk.Path() / "C/Prog/ci");
    fs::create_directories(disk.Path() / "C/Prog/bin/de");
    fs::copy_file(Fixture("qelevent.dll"), disk.Path() / "C/Prog/ci/qelevent.dll");
    fs::copy_file(fs::path(QEL_SOURCE_DIR) / "resources/qelevent.properties",
                  disk.Path() / "C/Prog/ci/qelevent.properties");
    fs::copy_file(Fixture("lang-0407.dll"), disk.Path() / "C/Prog/bin/de/qelevent.dll");
    settings.installation.folder = disk.Path();
  }
  static fs::path Fixture(const char* name) { return fs::path(QEL_PE_FIXTURE_DIR) / name; }

  int Replay(const std::string& notifications) {
    std::istringstream in(notifications);
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunReplay(settings, in, "in.jsonl", out, err);
    errors = err.str();
    posted.clear();
    lines.clear();
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line);
      posted.push_back(json::parse(line));
    }
    return status;
  }

  test::TempFolder disk;
  ReplaySettings settings;
  std::vector<std::string> lines;  // as written
  std::vector<json> posted;        // the same, parsed
  std::string errors;
};

TEST_F(ReplayTest, PostsMappedAndUnmappedClassesAndRetries) {
  settings.results = {18, 0};
  const int initialised = standin::CurrentIpcLibraryState().initApplicationCalls;
  ASSERT_EQ(Replay(Line(3, "CIM_Fan", "Fan 2 stopped") + "\n\n" + Line(1, "CIM_Battery") + "\n"), 0)
      << errors;
  // The IPC library was bound once, and the binding went with the replay.
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, initialised + 1);
  EXPECT_FALSE(CurrentIpcBinding().bound);
  ASSERT_EQ(posted.size(), 3u);
  // The whole of one post, as it is written.
  EXPECT_EQ(lines[0],
            R"({"line":1,"attempt":1,"timeMs":0,"source":"CIM",)"
            R"("typePath":["Marquel Agent Events","Fan"],"text":"Fan 2 stopped","language":"en",)"
            R"("eventCode":3,"attributes":[{"name":"CATEGORY","type":9,"value":"Hardware"},)"
            R"({"name":"CLASSNAME","type":9,"value":"CIM_Fan"},)"
            R"({"name":"TARGET","type":9,"value":"srv01"}],)"
            R"("destination":"@EventServer","result":18,"waitMs":120000})");
  // The retry: the same event two minutes later, and nothing waits after it.
  EXPECT_EQ(posted[1]["line"], 1);
  EXPECT_EQ(posted[1]["attempt"], 2);
  EXPECT_EQ(posted[1]["timeMs"], 120000);
  EXPECT_EQ(posted[1]["result"], 0);
  EXPECT_EQ(posted[1]["waitMs"], 0);
  EXPECT_EQ(posted[1]["typePath"], posted[0]["typePath"]);
  // An unmapped class is its own category; the blank line counts as a line.
  EXPECT_EQ(posted[2]["line"], 3);
  EXPECT_EQ(posted[2]["attempt"], 1);
  EXPECT_EQ(posted[2]["timeMs"], 120000);
  EXPECT_EQ(posted[2]["typePath"], json::array({"Marquel Agent Events", "CIM_Battery"}));
  EXPECT_EQ(posted[2]["eventCode"], 1);

  EXPECT_THAT(errors, HasSubstr("replay: 2 notifications, 3 posts (1 retried, 120000 ms waited)"));
  EXPECT_THAT(errors, HasSubstr("  CIM_Battery  1\n  Fan          1\n"));
  EXPECT_THAT(errors, HasSubstr("posted under their own name): CIM_Battery\n"));
}

TEST(PostedEventJson, WritesWhatAJsonLibraryWrites) {
  PostedEvent event;
  event.source = u"CIM";
  event.typePath = {u"Marquel Agent Events", u"Fan \"2\""};
  event.text = u"a\\b/c\b\f\n\r\t\x01\x1f\x7f \u00e9\u20ac \U0001F525 " + std::u16string(1, 0xD800);
  event.language = "en";
  event.eventCode = -7;
  event.attributes = {{u"CATEGORY", 9, u""}, {u"TARGET", 9, u"srv\"01"}};
  event.destination = "@EventServer";
  event.result = 18;
  std::string line;
  AppendPostedEventJson(line, event, 12345678901, 2, 240000, 120000);

  nlohmann::ordered_json expected = {{"line", 12345678901},
                                     {"attempt", 2},
                                     {"timeMs", 240000},
                                     {"source", "CIM"},
                                     {"typePath", {"Marquel Agent Events", "Fan \"2\""}},
                                     {"text", ToJsonText(event.text)},
                                     {"language", "en"},
                                     {"eventCode", -7},
                                     {"attributes",
                                      {{{"name", "CATEGORY"}, {"type", 9}, {"value", ""}},
                                       {{"name", "TARGET"}, {"type", 9}, {"value", "srv\"01"}}}},
                                     {"destination", "@EventServer"},
                                     {"result", 18},
                                     {"waitMs", 120000}};
  EXPECT_EQ(line, expected.dump());
}

TEST_F(ReplayTest, WritesTheSummaryAsOneJsonDocument) {
  settings.results = {18, 0};
  settings.summaryJson = disk.Path() / "summary.json";
  ASSERT_EQ(Replay(Line(3, "CIM_Fan") + "\n" + Line(1, "CIM_Battery") + "\n" +
                   Line(2, "CIM_Battery") + "\n" + Line(1, "") + "\n{\n"),
            1);
  std::ifstream file(*settings.summaryJson);
  EXPECT_EQ(json::parse(file), json::parse(R"({
      "notifications": 4, "posts": 4, "retried": 1, "waits": 1, "waitedMs": 120000,
      "notPosted": 1, "delivered": 3, "lost": 0, "rejectedLines": 1, "linesWithOtherFields": 0,
      "eventsPerCategory": {"CIM_Battery": 2, "Fan": 1}, "lostPerCategory": {},
      "unmappedClassNames": {"CIM_Battery": 2}, "kept": 0, "notKeptFull": 0,
      "notKeptFailed": 0, "eventLogEntries": {}, "eventLogLeftOut": {}})"));

  // A summary that cannot be written stops the replay before it begins.
  settings.summaryJson = disk.Path() / "no-such-folder" / "summary.json";
  EXPECT_EQ(Replay(Line(1, "CIM_Fan")), 2);
  EXPECT_TRUE(posted.empty());
  EXPECT_THAT(errors, HasSubstr("cannot write the summary to"));
}

TEST_F(ReplayTest, ShowsProgressOnlyWhenAskedAndWritesNothingButPostsToTheOutput) {
  // 600 lines: line 300 is no notification, line 400 posts nothing.
  std::string input;
  for (int i = 1; i <= 600; ++i) {
    input += (i == 300 ? "{" : Line(i, i == 400 ? "" : "CIM_Fan")) + "\n";
  }
  settings.progressInterval = std::chrono::milliseconds(0);  // drawn at each look at the clock
  for (const bool progress : {false, true}) {
    settings.progress = progress;
    // Replay() reads every line of the output as JSON.
    EXPECT_EQ(Replay(input), 1) << progress;
    EXPECT_EQ(posted.size(), 598u) << progress;
    EXPECT_EQ(posted.back()["line"], 600) << progress;
    if (!progress) {
      EXPECT_EQ(errors.find('\r'), std::string::npos) << errors;
      continue;
    }
    // The clock is looked at every 256 notifications; line 300 did not count.
    EXPECT_THAT(errors, HasSubstr("\rreplay: 256 notifications, "));
    EXPECT_THAT(errors, HasSubstr("/s, 256 posts"));
    EXPECT_THAT(errors, HasSubstr("\rreplay: 512 notifications, "));
    EXPECT_THAT(errors, HasSubstr("/s, 511 posts"));
    // Messages and the summary start on a line of their own, and nothing of
    // the display is left on the terminal.
    const std::vector<std::string> shown = OnTerminal(errors);
    ASSERT_GE(shown.size(), 3u) << errors;
    EXPECT_THAT(shown[0], StartsWith("in.jsonl:300: not valid JSON"));
    EXPECT_THAT(shown[1], StartsWith("in.jsonl:400: nothing posted"));
    EXPECT_THAT(shown[2], StartsWith("replay: 599 notifications, 598 posts"));
    for (const std::string& line : shown) EXPECT_THAT(line, Not(HasSubstr("/s, "))) << errors;
  }
}

TEST_F(ReplayTest, WaitsAfterEachOfTwoTransientResultsAndPostsNoThirdTime) {
  settings.results = {6, 6, 7};
  ASSERT_EQ(Replay(Line(1, "CIM_Fan") + "\n" + Line(2, "CIM_Fan") + "\n"), kFindings) << errors;
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0]["waitMs"], 120000);
  EXPECT_EQ(posted[1]["waitMs"], 120000);
  EXPECT_EQ(posted[1]["attempt"], 2);
  // Result 7 is no reason to retry.
  EXPECT_EQ(posted[2]["line"], 2);
  EXPECT_EQ(posted[2]["timeMs"], 240000);
  EXPECT_EQ(posted[2]["result"], 7);
  EXPECT_EQ(posted[2]["waitMs"], 0);
  EXPECT_THAT(errors, HasSubstr("  Fan  2 (2 lost)\n"));
  EXPECT_THAT(errors, Not(HasSubstr("own name")));
}

TEST_F(ReplayTest, ReportsEachBadLineAndGoesOnWithTheNext) {
  const std::string input = "{\"eventCode\": 1,\n" + Line(1, "CIM_Fan").substr(1) + "\n" +
                            R"({"eventCode": 1, "className": "CIM_Fan", "eventText": "t", )"
                            R"("categoryAttribute": "c"})"
                            "\n" +
                            Line(4, "CIM_Fan") + "\r\n" + Line(5, "") + "\n";
  EXPECT_EQ(Replay(input), 1);
  EXPECT_THAT(errors, HasSubstr("in.jsonl:1: not valid JSON"));
  EXPECT_THAT(errors, HasSubstr("in.jsonl:2: not valid JSON"));
  EXPECT_THAT(errors, HasSubstr("in.jsonl:3: field \"target\" is missing\n"));
  EXPECT_THAT(errors, HasSubstr("in.jsonl:5: nothing posted: ProcessEvent returned 2"));
  EXPECT_THAT(errors, HasSubstr("2 notifications, 1 post (0 retried, 0 ms waited), 1 not posted, "
                                "3 lines rejected"));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0]["line"], 4);
  EXPECT_EQ(posted[0]["eventCode"], 4);
}

TEST_F(ReplayTest, WithoutInitMapEveryClassIsItsOwnCategory) {
  settings.initMap = false;
  ASSERT_EQ(Replay(Line(1, "CIM_Fan")), 0) << errors;
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0]["typePath"][1], "CIM_Fan");
  EXPECT_THAT(errors, HasSubstr("own name): CIM_Fan\n"));
}

TEST_F(ReplayTest, TakesTheLanguageFromTheLocaleAndTheLanguageFolders) {
  const struct {
    uint32_t lcid;
    const char* language;
  } cases[] = {{0x0407, "de"}, {0x0C07, "de"}, {0x0409, "en"}, {0x040C, "en"}};
  for (const auto& c : cases) {
    settings.lcid = c.lcid;
    ASSERT_EQ(Replay(Line(1, "CIM_Fan")), 0) << errors;
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0]["language"], c.language) << std::hex << c.lcid;
  }
}

TEST_F(ReplayTest, ReadsAnotherPropertiesFileInPlaceOfTheInstalledOne) {
  settings.installation.properties =
      disk.Write("mine.properties", "x=cim:Telvar_Services.CIM_Battery\n");
  ASSERT_EQ(Replay(Line(1, "CIM_Battery") + "\n" + Line(1, "CIM_Fan")), 0) << errors;
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0]["typePath"][1], "System Enclosure");
  EXPECT_EQ(posted[1]["typePath"][1], "CIM_Fan");
}

TEST_F(ReplayTest, WarnsWhenTheInstallationHasNoPropertiesFile) {
  fs::remove(disk.Path() / "C/Prog/ci/qelevent.properties");
  ASSERT_EQ(Replay(Line(1, "CIM_Fan")), kMapsNothing);
  EXPECT_THAT(errors,
              HasSubstr("warning: no properties file at C:\\Prog\\\\ci\\qelevent.properties"));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0]["typePath"][1], "CIM_Fan");
}

TEST_F(ReplayTest, ReadsWhatAServerGivesAndSaysWhatWasLost) {
  const std::string withTime =
      R"({"time": "2026-12-01T10:00:00Z", "eventCode": 1, "className": "CIM_Fan", "eventText": "t",)"
      R"( "categoryAttribute": "c", "target": "x", "host": "srv01"})";
  // What regedit writes today, from a 64-bit server's 32-bit view.
  const std::string regedit5 = WindowsUnicodeFile(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Korvane\\Telvar]\n\"Version\"=\"4.1\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Korvane\\Telvar\\4.1]\n"
      "\"TELVARPATH\"=\"C:\\\\Prog\"\n\n");
  const struct {
    std::string name;
    std::function<void()> prepare;
    std::string input;
    int status;
    std::vector<std::string> messages;
    json summary;  // fields that the summary file must hold
  } cases[] = {
      {"the last answer decides what was lost",
       [&] { settings.results = {18, 18, 18, 7, 18, 0}; },
       Line(1, "CIM_Fan") + "\n" + Line(2, "CIM_Fan") + "\n" + Line(3, "CIM_Battery") + "\n",
       kFindings,
       {"2 lost (1 delivered;", "  CIM_Battery  1\n  Fan          2 (2 lost)\n"},
       {{"delivered", 1}, {"lost", 2}, {"lostPerCategory", {{"Fan", 2}}}}},
      {"regedit 5.00 in UTF-16 with the 32-bit view's key",
       [&] { disk.Write("telvar.reg", regedit5); },
       Line(1, "CIM_Fan") + "\n",
       0,
       {"events per category:\n  Fan  1\n"},
       {{"delivered", 1}, {"lost", 0}}},
      {"fields an exported log carries",
       [] {},
       withTime + "\n" + withTime + "\n",
       0,
       {"events per category:\n  Fan  2\n",
        "2 lines with fields replay does not use, replayed without them: time, host\n"},
       {{"notifications", 2}, {"linesWithOtherFields", 2}}},
      {"a field in another letter case is a misspelling",
       [] {},
       R"({"eventCode": 1, "className": "CIM_Fan", "ClassName": "CIM_Battery", "eventText": "t",)"
       R"( "categoryAttribute": "c", "target": "x"})"
       "\n",
       1,
       {"in.jsonl:1: unknown field \"ClassName\": letter case counts, the field is \"className\""},
       {{"notifications", 0}, {"rejectedLines", 1}}},
      {"under --strict they are refused",
       [&] { settings.strict = true; },
       withTime + "\n",
       1,
       {"in.jsonl:1: unknown field \"time\""},
       {{"notifications", 0}, {"rejectedLines", 1}, {"linesWithOtherFields", 0}}},
      {"an installation folder too long for the plug-in's paths",
       [&] {
         // A TELVARPATH of 243 characters: one too many for ci\qelevent.dll.
         disk.Write("telvar.reg",
                    "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
                    "\"TELVARPATH\"=\"C:\\\\" +
                        std::string(240, 'p') + "\"\n");
       },
       Line(1, "CIM_Fan") + "\n",
       kMapsNothing,
       {"ci\\qelevent.dll a path of 260 characters, more than the 259",
        "ci\\qelevent.properties a path of 267 characters", "events per category:\n  CIM_Fan  1\n"},
       {{"delivered", 1}}},
      {"a class that differs from a mapped one only in case",
       [] {},
       Line(1, "cim_fan") + "\n" + Line(1, "CIM_Nothing") + "\n",
       0,
       {"own name): cim_fan (mapped as CIM_Fan: letter case counts), CIM_Nothing\n"},
       {{"unmappedClassNames", {{"cim_fan", 1}, {"CIM_Nothing", 1}}}}},
      {"a language module in another language",
       [&] {
         settings.lcid = 0x0404;
         fs::create_directories(disk.Path() / "C/Prog/bin/zhTW");
         fs::copy_file(Fixture("lang-0407.dll"), disk.Path() / "C/Prog/bin/zhTW/qelevent.dll");
       },
       Line(1, "CIM_Fan") + "\n",
       0,
       {"language: \"en\", not the locale's \"zhTW\" (0x0404): tried \"zhTW\", "
        "C:\\Prog\\bin\\zhTW\\qelevent.dll: its first string table in 0x0407; then \"zh\", no "
        "language module beside the host, so the host executable C:\\Prog\\bin\\host.exe decides: "
        "no string table\n"},
       {{"delivered", 1}}},
  };
  for (const auto& c : cases) {
    settings = ReplaySettings();
    settings.installation.folder = disk.Path();
    settings.summaryJson = disk.Path() / "summary.json";
    disk.Write("telvar.reg", kRegistry);
    c.prepare();
    EXPECT_EQ(Replay(c.input), c.status) << c.name << ": " << errors;
    for (const std::string& message : c.messages) {
      EXPECT_THAT(errors, HasSubstr(message)) << c.name;
    }
    std::ifstream file(*settings.summaryJson);
    const json summary = json::parse(file);
    for (const auto& [field, value] : c.summary.items()) {
      EXPECT_EQ(summary[field], value) << c.name << ": " << field;
    }
  }
  // The locale's own language needs no word.
  settings.lcid = 0x0407;
  ASSERT_EQ(Replay(Line(1, "CIM_Fan")), 0) << errors;
  EXPECT_THAT(errors, Not(HasSubstr("language: ")));
}

TEST_F(ReplayTest, KeepsWhatTheServerDidNotTakeAndTellsTheEventLogAtMostOnceAMinute) {
  const std::string fan = Line(1, "CIM_Fan") + "\n";
  // An outage of an hour: each cycle is an event taken after one busy answer
  // (two simulated minutes), then three that the server refuses at once.
  constexpr int kCycles = 30;
  std::string outage;
  std::vector<int32_t> outageResults;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    for (int line = 0; line < 4; ++line) outage += fan;
    outageResults.insert(outageResults.end(), {18, 0, 7, 7, 7});
  }
  const fs::path installed = disk.Path() / "C/Prog/ci/qelevent-undelivered.txt";
  const std::string fullFile = std::string(8190, 'x') + "\r\n";  // 8 KB
  const std::string keptPath = "C:\\Prog\\\\ci\\qelevent-undelivered.txt";
  const struct {
    std::string name;
    std::function<void()> prepare;
    std::string input;
    std::vector<int32_t> results;
    json summary;  // fields that the summary file must hold
    std::vector<std::string> messages;
  } cases[] = {
      {"all delivered: nothing kept, nothing told",
       [] {},
       fan + fan,
       {18, 0},
       {{"kept", 0}, {"eventLogEntries", json::object()}, {"eventLogLeftOut", json::object()}},
       {}},
      {"two busy answers: kept, and one warning",
       [] {},
       fan,
       {18, 18},
       {{"lost", 1}, {"kept", 1}, {"eventLogEntries", {{"eventKept", 1}}}},
       {"in.jsonl:1: kept: CIM_Fan (Fan), answers 18, 18, in " + keptPath + "\n",
        "in.jsonl:1: event log: warning 100 eventKept: CIM_Fan | Fan | text | srv01 | 18, 18 | " +
            keptPath + " | 0\n",
        "undelivered: 1 kept in " + keptPath + "\n", "event log: 1 entry (eventKept 1)\n"}},
      {"an outage: one entry each two simulated minutes, the rest counted",
       [] {},
       outage,
       outageResults,
       {{"lost", 3 * kCycles},
        {"kept", 3 * kCycles},
        {"waitedMs", kCycles * 120000},
        {"eventLogEntries", {{"eventKept", kCycles}}},
        {"eventLogLeftOut", {{"eventKept", 2 * kCycles}}}},
       {"in.jsonl:6: event log: warning 100 eventKept: CIM_Fan | Fan | text | srv01 | 7 | " +
            keptPath + " | 2\n",
        "30 entries (eventKept 30), 60 left out by the limit of one of a kind a minute "
        "(eventKept 60)\n"}},
      {"a path too long for the plug-in's file: not written",
       [&] {
         // Room for ci\qelevent.dll, not for ci\qelevent-undelivered.txt.
         const std::string folder(230, 'p');
         disk.Write("telvar.reg",
                    "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
                    "\"TELVARPATH\"=\"C:\\\\" +
                        folder + "\"\n");
         fs::create_directories(disk.Path() / "C" / folder / "ci");
         fs::copy_file(Fixture("qelevent.dll"), disk.Path() / "C" / folder / "ci/qelevent.dll",
                       fs::copy_options::overwrite_existing);
       },
       fan,
       {7},
       {{"kept", 0}, {"notKeptFailed", 1}},
       {"in.jsonl:1: not kept: the undelivered-events file could not be written\n",
        "event log: error 102 eventNotKept: CIM_Fan | CIM_Fan | text | srv01 | 7 | - | The "
        "installation folder's path is too long. | 0\n"}},
      {"a full file taken from a server",
       [&] {
         disk.Write("limit.reg",
                    "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
                    "\"UndeliveredLimitKB\"=dword:00000008\n");
         disk.Write("C/Prog/ci/qelevent-undelivered.txt", fullFile);
       },
       fan + fan,
       {7, 7},
       {{"kept", 0},
        {"notKeptFull", 2},
        {"eventLogEntries", {{"eventNotKeptFull", 1}}},
        {"eventLogLeftOut", {{"eventNotKeptFull", 1}}}},
       {"in.jsonl:2: not kept: the undelivered-events file has reached its size limit\n",
        "| 7 | " + keptPath + " | 8 | 0\n",
        "undelivered: 0 kept in " + keptPath + ", 2 not kept (the file was full)\n"}},
  };
  for (const auto& c : cases) {
    disk.Write("telvar.reg", kRegistry);
    settings.results = c.results;
    settings.summaryJson = disk.Path() / "summary.json";
    c.prepare();
    Replay(c.input);
    std::ifstream file(*settings.summaryJson);
    const json summary = json::parse(file);
    for (const auto& [field, value] : c.summary.items()) {
      EXPECT_EQ(summary[field], value) << c.name << ": " << field;
    }
    for (const std::string& message : c.messages) {
      EXPECT_THAT(errors, HasSubstr(message)) << c.name;
    }
    // A line for each event kept; standard output holds the posts alone.
    std::istringstream shown(errors);
    int keptLines = 0;
    for (std::string line; std::getline(shown, line);) {
      if (line.find(": kept: ") != std::string::npos) ++keptLines;
    }
    EXPECT_EQ(keptLines, summary["kept"]) << c.name;
    EXPECT_EQ(posted.size(), summary["posts"]) << c.name;
    // The installation's own file is never created or written.
    std::ifstream left(installed, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(left), std::istreambuf_iterator<char>()),
              left.is_open() ? fullFile : "")
        << c.name;
  }
}

TEST_F(ReplayTest, RefusesAnInstallationThatCannotRunThePlugin) {
  const struct {
    const char* name;
    std::function<void()> spoil;
    std::string reason;
  } cases[] = {
      {"no folder", [&] { settings.installation.folder = disk.Path() / "missing"; },
       "missing does not exist"},
      {"no export", [&] { fs::remove(disk.Path() / "telvar.reg"); }, "holds no registry export"},
      {"broken export", [&] { disk.Write("telvar.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n"); },
       "telvar.reg: line 2"},
      {"no installation folder",
       [&] {
         disk.Write("telvar.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n");
       },
       "names no installation folder"},
      {"no plug-in", [&] { fs::remove(disk.Path() / "C/Prog/ci/qelevent.dll"); },
       "no plug-in at C:\\Prog\\\\ci\\qelevent.dll"},
      {"an expandable string, not expanded",
       [&] {
         // "%SystemDrive%\Prog" as regedit exports a REG_EXPAND_SZ.
         disk.Write("telvar.reg",
                    WindowsUnicodeFile("Windows Registry Editor Version 5.00\n\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
                                       "\"TELVARPATH\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,"
                                       "6d,00,44,00,\\\n  72,00,69,00,76,00,65,00,25,00,5c,00,50,"
                                       "00,72,00,6f,00,67,00,00,00\n\n"));
       },
       "no plug-in at %SystemDrive%\\Prog\\\\ci\\qelevent.dll"},
      {"no substitute properties",
       [&] { settings.installation.properties = disk.Path() / "mine.properties"; },
       "mine.properties does not exist"},
  };
  for (const auto& c : cases) {
    c.spoil();
    EXPECT_EQ(Replay(Line(1, "CIM_Fan")), 2) << c.name;
    EXPECT_THAT(errors, HasSubstr(c.reason)) << c.name;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_TRUE(posted.empty()) << c.name;
    // Each case spoils a fresh installation.
    settings = ReplaySettings();
    disk.Write("telvar.reg", kRegistry);
    settings.installation.folder = disk.Path();
    fs::copy_file(Fixture("qelevent.dll"), disk.Path() / "C/Prog/ci/qelevent.dll",
                  fs::copy_options::overwrite_existing);
  }
}

}  // namespace
}  // namespace qel::tool
