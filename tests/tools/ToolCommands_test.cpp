#include "tools/ToolCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ToolCommandsTest : public ::testing::Test {
 protected:
  ToolCommandsTest() {
    disk.Write("telvar.reg",
               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\n"
               "\"TELVARPATH\"=\"C:\\\\Prog\"\n");
    fs::create_directories(disk.Path() / "C/Prog/ci");
    fs::copy_file(fs::path(QEL_PE_FIXTURE_DIR) / "qelevent.dll",
                  disk.Path() / "C/Prog/ci/qelevent.dll");
    disk.Write("C/Prog/ci/qelevent.properties", "fan=cim:Telvar_Services.CIM_Fan\n");
  }

  int Run(const std::vector<std::string>& arguments, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream outStream;
    std::ostringstream errStream;
    const int status = RunTool(arguments, in, outStream, errStream);
    out = outStream.str();
    err = errStream.str();
    return status;
  }
  std::string Install() const { return "--install=" + disk.Path().string(); }

  test::TempFolder disk;
  std::string out;
  std::string err;
};

TEST_F(ToolCommandsTest, RefusesBadCommandLinesWithOneLineOfReason) {
  const struct {
    std::vector<std::string> arguments;
    std::string reason;
  } cases[] = {
      {{}, "name a command"},
      {{"play"}, "unknown command play"},
      {{"replay", "--lcid", "german"}, "--lcid: \"german\" is not a locale identifier"},
      {{"replay", "--lcid=0x1000000"}, "--lcid: \"0x1000000\" is not a locale identifier"},
      {{"replay", "--lcid"}, "--lcid needs a value"},
      {{"replay", "--summary-json"}, "--summary-json needs a value"},
      {{"replay", "--results", "18,zero"}, "--results: \"18,zero\" is not a list of results"},
      {{"replay", "--results="}, "--results: \"\" is not a list of results"},
      {{"replay", "--no-init=yes"}, "--no-init takes no value"},
      {{"replay", "--strict=no"}, "--strict takes no value"},
      {{"replay", "--verbose"}, "unknown option --verbose"},
      {{"replay", "a.jsonl", "b.jsonl"}, "one notifications file at most"},
      {{"check", "--module"}, "--module needs a value"},
      {{"check", "--strict"}, "unknown option --strict"},
      {{"check", "a.properties", "b.properties"}, "one properties file at a time"},
      {{"diff", "--json=yes", "a", "b"}, "--json takes no value"},
      {{"diff", "--lcid", "german", "a", "b"}, "--lcid: \"german\" is not a locale identifier"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.arguments), 2) << c.reason;
    EXPECT_THAT(err, StartsWith("qelevent-tool: ")) << c.reason;
    EXPECT_THAT(err, HasSubstr(c.reason));
    EXPECT_EQ(out, "") << c.reason;
  }
}

TEST_F(ToolCommandsTest, ReportsAMissingNotificationsFile) {
  const std::string missing = (disk.Path() / "missing.jsonl").string();
  EXPECT_EQ(Run({"replay", Install(), missing}), 2);
  EXPECT_EQ(err, "qelevent-tool replay: notifications file " + missing +
                     " does not exist or cannot be read\n");
}

TEST_F(ToolCommandsTest, ReplaysFromAFileOrStandardInput) {
  const std::string line =
      R"({"eventCode": 5, "className": "CIM_Fan", "eventText": "t", "categoryAttribute": "c",)"
      R"( "target": "x"})";
  const fs::path file = disk.Write("in.jsonl", line + "\n");
  const fs::path summary = disk.Path() / "summary.json";
  EXPECT_EQ(Run({"replay", Install(), "--lcid", "0x0407", "--results=18,0", "--no-init", "--init",
                 "--summary-json", summary.string(), file.string()}),
            0)
      << err;
  EXPECT_THAT(out, HasSubstr(R"("attempt":2)"));
  EXPECT_THAT(out, HasSubstr(R"("System Enclosure")"));
  std::ifstream written(summary);
  EXPECT_THAT(std::string(std::istreambuf_iterator<char>(written), {}),
              HasSubstr(R"("posts": 2,)"));

  EXPECT_EQ(Run({"replay", Install(), "--no-init", "-"}, line + "\nnot json\n"), 1) << err;
  EXPECT_THAT(out, HasSubstr(R"("typePath":["Marquel Agent Events","CIM_Fan"])"));
  EXPECT_THAT(err, HasSubstr("<stdin>:2: not valid JSON"));
}

TEST_F(ToolCommandsTest, ChecksAFileAndAnswersWithItsExitStatus) {
  const fs::path module = disk.Path() / "C/Prog/ci/qelevent.dll";
  const fs::path file = disk.Write(
      "twice.properties", "a=cim:Telvar_Services.CIM_Fan\nb=cim:Telvar_Services.CIM_Fan\n");
  EXPECT_EQ(Run({"check", "--module", module.string(), file.string()}), 1);
  EXPECT_THAT(err, HasSubstr(file.string() + ":2: warning: class CIM_Fan is already mapped"));
  EXPECT_THAT(out, HasSubstr("1 mapping, 1 warning\n"));

  // Without --module, the qelevent.dll beside the file names the categories.
  EXPECT_EQ(Run({"check", (disk.Path() / "C/Prog/ci/qelevent.properties").string()}), 0) << err;
  EXPECT_THAT(out, HasSubstr("(categories from " + module.string() + ")"));
  EXPECT_THAT(out, HasSubstr("1 mapping, no warnings\n"));
}

TEST_F(ToolCommandsTest, ShowsItsUsage) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--help"}, {"replay", "--help"}, {"check", "-h"}, {"diff", "-h"}}) {
    EXPECT_EQ(Run(arguments), 0);
    EXPECT_THAT(out, StartsWith("usage: qelevent-tool replay"));
    EXPECT_THAT(out, HasSubstr("Exit status: 0 every line replayed, 1 some lines rejected, 2"));
    EXPECT_THAT(out, HasSubstr("Exit status: 0 no warnings, 1 warnings or an error in the file"));
    EXPECT_THAT(out, HasSubstr("Exit status: 0 no class added, removed or moved, 1 some class"));
    EXPECT_EQ(err, "");
  }
}

}  // namespace
}  // namespace qel::tool
