// resend as it runs on Linux: the kept-events file taken from a server,
// listed as text and as JSON; delivering is for the server.
#include "tools/Resend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/KeptEvent.h"
#include "support/SampleKeptEvent.h"
#include "support/TestSupport.h"
#include "tools/ToolCommands.h"

namespace qel::tool {
namespace {

using ::testing::HasSubstr;

std::string Record(const std::u16string& text, const std::vector<int32_t>& answers) {
  return FormatKeptRecord(test::SampleKeptEvent(text, answers));
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result RunCommand(const std::vector<std::string>& arguments) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunTool(arguments, in, out, err);
  return {status, out.str(), err.str()};
}

TEST(Resend, ListsAFileTakenFromAServerAsTextAndAsJson) {
  test::TempFolder folder;
  folder.Write("kept.txt", Record(u"Fan 2 stopped", {18, 18}) + "{\"version\":1,\"utc\r\n" +
                               Record(u"L\u00FCfter \"3\"", {7}));
  const std::string file = (folder.Path() / "kept.txt").string();

  const Result text = RunCommand({"resend", "--list", "--file", file});
  EXPECT_EQ(text.status, 1) << text.err;
  EXPECT_THAT(text.out, HasSubstr("line 1: 2026-12-09T22:33:01.250+01:00 CIM_Fan (category "
                                  "\"Fan\", event code 3, target \"srv01\", "
                                  "answers 18, 18): Fan 2 stopped\n"));
  EXPECT_THAT(text.out, HasSubstr("line 2: no whole record"));
  EXPECT_THAT(text.out, HasSubstr("answers 7): L\u00FCfter \"3\"\n"));
  EXPECT_THAT(text.out, HasSubstr(": 2 events kept"));

  const Result json = RunCommand({"resend", "--list", "--json", "--file=" + file});
  EXPECT_EQ(json.status, 1) << json.err;
  const nlohmann::json document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["file"], file);
  ASSERT_EQ(document["events"].size(), 2u);
  EXPECT_EQ(document["events"][1]["line"], 3);
  EXPECT_EQ(document["events"][1]["record"]["text"], "L\u00FCfter \"3\"");
  EXPECT_EQ(document["events"][0]["record"]["answers"], nlohmann::json({18, 18}));
  EXPECT_EQ(document["skippedLines"], nlohmann::json({2}));
}

TEST(Resend, AnswersNothingKeptAndRefusesWhatOnlyTheServerCanDo) {
  test::TempFolder folder;
  folder.Write("empty.txt", std::string(30, ' ') + "\r\n");
  const std::string missing = (folder.Path() / "missing.txt").string();
  const struct {
    std::vector<std::string> arguments;
    int status;
    const char* says;
  } cases[] = {
      {{"resend", "--list", "--file", (folder.Path() / "empty.txt").string()},
       0,
       ": 0 events kept"},
      {{"resend", "--list", "--json", "--file", missing}, 0, "\"events\": []"},
      {{"resend"}, 2, "on the Windows server"},
      {{"resend", "--file", missing}, 2, "on the Windows server"},
      {{"resend", "--list"}, 2, "--file"},
      {{"resend", "--json", "--file", missing}, 2, "--json goes with --list"},
      {{"resend", "--list=yes"}, 2, "takes no value"},
  };
  for (const auto& c : cases) {
    const Result result = RunCommand(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.arguments.back() << result.err;
    EXPECT_THAT(result.out + result.err, HasSubstr(c.says)) << c.arguments.back();
  }
}

}  // namespace
}  // namespace qel::tool
