#include "tools/ToolCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
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

// Without --module, the qelevent.dll beside the file names the categories.
TEST_F(ToolCommandsTest, ChecksAFileWithTheStringTableBesideIt) {
  const fs::path module = disk.Path() / "C/Prog/ci/qelevent.dll";
  EXPECT_EQ(Run({"check", (disk.Path() / "C/Prog/ci/qelevent.properties").string()}), 0) << err;
  EXPECT_THAT(out, HasSubstr("(categories from " + module.string() + ")"));
  EXPECT_THAT(out, HasSubstr("1 mapping, no warnings\n"));
}

// One table of exit statuses for every command: 0 all well, 1 findings, 2
// could not run, 3 the properties file maps nothing as the plug-in reads it.
TEST_F(ToolCommandsTest, AnswersEveryCommandWithOneTableOfExitStatuses) {
  const std::string ci = (disk.Path() / "C/Prog/ci").string();
  const std::string good = ci + "/qelevent.properties";
  const std::string twice =
      disk.Write("twice.properties",
                 "a=cim:Telvar_Services.CIM_Fan\nb=cim:Telvar_Services.CIM_Fan\n")
          .string();
  const std::string unmarked = disk.Write("unmarked.properties", "fan=cim:CIM_Fan\n").string();
  std::string wide = "\xFF\xFE";
  for (const char c : std::string("fan=cim:Telvar_Services.CIM_Fan\r\n")) wide += {c, '\0'};
  const std::string unicode = disk.Write("unicode.properties", wide).string();
  const std::string missing = ci + "/missing.properties";
  const std::string module = "--module=" + ci + "/qelevent.dll";
  const std::string fan = R"({"eventCode": 1, "className": "CIM_Fan", "eventText": "t",)"
                          R"( "categoryAttribute": "c", "target": "x"})";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string message;  // on standard error
  } cases[] = {
      {{"check", good}, 0, ""},
      {{"check", module, twice}, 1, "warning: class CIM_Fan is already mapped"},
      {{"check", module, missing}, 2, "missing.properties does not exist"},
      {{"check", module, unicode}, 3, "error: the file is UTF-16LE"},
      {{"check", module, unmarked}, 3, "no line marks a class"},
      {{"diff", module, good, good}, 0, ""},
      {{"diff", module, good, twice}, 0, ""},
      {{"diff", module, unmarked, good}, 1, ""},
      {{"diff", module, good, missing}, 2, "does not exist"},
      {{"diff", module, good, unicode}, 3, "warning: the file is UTF-16LE"},
      {{"diff", module, good, unmarked}, 3, "no line marks a class"},
      {{"replay", Install()}, 0, "replay: 1 notification,"},
      {{"replay", Install(), "--results=7"}, 1, "1 lost"},
      {{"replay", Install(), "--lcid=x"}, 2, "--lcid"},
      {{"replay", Install(), "--properties", unicode}, 3, "error: the file is UTF-16LE"},
      {{"replay", Install(), "--properties", unmarked}, 3, "no line marks a class"},
      {{"send", "CIM_Fan"}, 2, "runs on the Windows server"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.arguments, fan + "\n"), c.status)
        << c.arguments[0] << " " << c.arguments.back() << ": " << err;
    EXPECT_THAT(err, HasSubstr(c.message)) << c.arguments.back();
  }
}

TEST_F(ToolCommandsTest, ShowsTheUsageOfOneCommandOrOfAll) {
  const std::string exitStatuses = "Exit status, the same for every command:\n  0  all well\n";
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"--help"}, {"help"}}) {
    EXPECT_EQ(Run(arguments), 0);
    EXPECT_THAT(out, StartsWith("usage: qelevent-tool replay"));
    for (const char* command : {"\nreplay\n", "\ncheck\n", "\ndiff\n", "\nsend\n"}) {
      EXPECT_THAT(out, HasSubstr(command));
    }
    EXPECT_THAT(out, HasSubstr(exitStatuses));
    EXPECT_EQ(err, "");
  }
  for (const char* command : {"replay", "check", "diff", "send"}) {
    EXPECT_EQ(Run({command, "-h"}), 0);
    EXPECT_THAT(out, StartsWith(std::string("usage: qelevent-tool ") + command + " "));
    EXPECT_EQ(out.find("\nusage"), std::string::npos) << command;
    EXPECT_EQ(out, [&] {
      Run({"help", command});
      return out;
    }()) << command;
    EXPECT_THAT(out, HasSubstr(exitStatuses)) << command;
  }
  Run({"check", "--help"});
  EXPECT_THAT(out, Not(HasSubstr("--install DIR")));

  // On the server, the Linux-only replay is only named, once.
  HostedPlatform server;
  std::istringstream in;
  std::ostringstream serverOut;
  std::ostringstream serverErr;
  EXPECT_EQ(RunTool({"--help"}, in, serverOut, serverErr, false, &server), 0);
  EXPECT_THAT(serverOut.str(), StartsWith("usage: qelevent-tool check"));
  EXPECT_THAT(serverOut.str(), Not(HasSubstr("--install DIR")));
  EXPECT_THAT(serverOut.str(), HasSubstr("\nreplay: run on Linux only, not on the server\n"));
}

}  // namespace
}  // namespace qel::tool
