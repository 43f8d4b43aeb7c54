// qelevent-tool.exe run as an integrator runs it on the server: started as a
// program of its own with a wide command line, on files in folders whose
// names are not ASCII, and sending events through the real plug-in of each
// host string layout, whose posts the stand-in event library records.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/ProductRegistration.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// The build's paths are this machine's; Wine shows its / as drive Z:.
fs::path BuildPath(const std::string& path) { return fs::u8path("Z:" + path).make_preferred(); }

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ToolRun {
  DWORD exitCode = 0;
  std::string out;  // UTF-8, as the tool writes it
  std::string err;
};

// Starts the tool with |arguments|, each quoted, its output going to files.
ToolRun RunTool(const fs::path& work, const std::vector<std::wstring>& arguments) {
  const fs::path tool = BuildPath(QEL_TOOL_EXE);
  std::wstring commandLine = L"\"" + tool.wstring() + L"\"";
  for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const fs::path outFile = work / "out.txt";
  const fs::path errFile = work / "err.txt";
  HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(errFile.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  ToolRun run;
  if (CreateProcessW(tool.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                     work.c_str(), &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    run.exitCode = 0xDEAD;
  }
  CloseHandle(out);
  CloseHandle(err);
  run.out = ReadFile(outFile);
  run.err = ReadFile(errFile);
  return run;
}

class ToolOnServer : public ::testing::Test {
 protected:
  test::TempFolder work;
  // One letter that the ANSI code page 1252 has, one that it lacks.
  const fs::path ansiFolder = work.Path() / fs::u8path(u8"Überwachung");
  const fs::path wideFolder = work.Path() / fs::u8path(u8"Prüfung Ω");

  void SetUp() override {
    ASSERT_EQ(GetACP(), 1252u) << "the folder names are chosen for code page 1252";
    fs::create_directories(ansiFolder);
    fs::create_directories(wideFolder);
    // Copied off the shared build folder, from which Wine does not always
    // map a DLL whole: the plug-in with the stand-ins beside it, where the
    // plug-in finds them.
    const fs::path payload = BuildPath(QEL_PAYLOAD_DIR);
    const fs::path folder = ansiFolder / "plugin";
    fs::create_directories(folder);
    for (const char* file : {"qelevent.dll", "vnxsdevt.dll", "VOVURU32.DLL"}) {
      fs::copy_file(payload / file, folder / file);
    }
    properties = ReadFile(BuildPath(QEL_SAMPLE_PROPERTIES));
    ASSERT_FALSE(properties.empty());
  }

  fs::path WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  const std::vector<std::string> layouts = {"msvc6", "msvc7", "msvc10", "mingw"};
  std::string properties;
};

TEST_F(ToolOnServer, ChecksAndComparesFilesInFoldersOfAnyName) {
  const fs::path sample = WriteFile(wideFolder / "qelevent.properties", properties);
  // A marked line inserted above CIM_Fan's: the classes below it move.
  std::string edited = properties;
  const size_t fan = edited.find("\nFan=cim:");
  ASSERT_NE(fan, std::string::npos);
  edited.insert(fan + 1, "Pump=cim:Telvar_Services.CIM_Pump\n");
  const fs::path changed = WriteFile(wideFolder / "edited.properties", edited);
  const fs::path module = ansiFolder / "plugin" / "qelevent.dll";

  const ToolRun check =
      RunTool(work.Path(), {L"check", L"--module", module.wstring(), sample.wstring()});
  EXPECT_EQ(check.exitCode, 0u) << check.err;
  EXPECT_NE(check.out.find(sample.u8string() + " (categories from " + module.u8string()),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("19 mappings, no warnings"), std::string::npos) << check.out;

  const ToolRun diff = RunTool(
      work.Path(), {L"diff", L"--module", module.wstring(), sample.wstring(), changed.wstring()});
  EXPECT_EQ(diff.exitCode, 1u) << diff.err;
  EXPECT_NE(diff.out.find("(CIM_Pump) inserted"), std::string::npos) << diff.out;

  // A file that maps nothing has a status of its own.
  const fs::path empty = WriteFile(wideFolder / "empty.properties", "# nothing yet\r\n");
  const ToolRun warned =
      RunTool(work.Path(), {L"check", L"--module", module.wstring(), empty.wstring()});
  EXPECT_EQ(warned.exitCode, 3u) << warned.out;
  EXPECT_NE(warned.err.find(empty.u8string() + ":"), std::string::npos) << warned.err;
}

// layout reads real modules' import directories from their files (sections
// at other file offsets than their RVAs, as the linker lays them out): the
// test host built against msvcp90.dll, and the tool itself, which imports no
// C++ library, so that the registry value decides.
TEST_F(ToolOnServer, LayoutSaysWhatThePluginWillChoose) {
  const fs::path host = BuildPath(QEL_PAYLOAD_DIR).parent_path() / "qel_testhost_msvcp90.exe";
  const ToolRun imported = RunTool(work.Path(), {L"layout", host.wstring()});
  EXPECT_EQ(imported.exitCode, 0u) << imported.out << imported.err;
  EXPECT_NE(imported.out.find("qel_testhost_msvcp90.exe imports msvcp90.dll: its strings are "
                              "read as Visual C++ 2002-2008's (msvc7)"),
            std::string::npos)
      << imported.out;
  const ToolRun tool = RunTool(work.Path(), {L"layout", BuildPath(QEL_TOOL_EXE).wstring()});
  EXPECT_EQ(tool.exitCode, 1u) << tool.out << tool.err;
  EXPECT_NE(tool.out.find("The registry value decides"), std::string::npos) << tool.out;
}

// The HostStringLayout value under the product key for as long as it lives,
// written as an integrator does; the keys it made are deleted after it.
class LayoutValue {
 public:
  explicit LayoutValue(const std::string& value) {
    createdVendor_ =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane", 0, KEY_READ, &key_) != ERROR_SUCCESS;
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
    DWORD disposition = 0;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Telvar", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key_, &disposition);
    createdProduct_ = disposition == REG_CREATED_NEW_KEY;
    RegSetValueExA(key_, "HostStringLayout", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }
  ~LayoutValue() {
    RegDeleteValueA(key_, "HostStringLayout");
    RegCloseKey(key_);
    if (createdProduct_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Telvar");
    if (createdVendor_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane");
  }
  LayoutValue(const LayoutValue&) = delete;
  LayoutValue& operator=(const LayoutValue&) = delete;

 private:
  HKEY key_ = nullptr;
  bool createdVendor_ = false;
  bool createdProduct_ = false;
};

// The tool imports no C++ library: the plug-in reads its strings in the
// layout the registry value names, and send passes exactly those.
TEST_F(ToolOnServer, SendsInTheLayoutTheRegistryValueNames) {
  for (const std::string& layout : layouts) {
    SCOPED_TRACE(layout);
    const LayoutValue value(layout);
    const fs::path log = work.Path() / (layout + "-events.jsonl");
    SetEnvironmentVariableW(L"VNXSDEVT_LOG", log.c_str());
    // The DLL named relative to the working folder. Texts long enough for a
    // buffer of their own, and short ones that live in the object itself,
    // where the layout has room for them.
    const ToolRun run =
        RunTool(work.Path(),
                {L"send", L"--dll", (ansiFolder.filename() / "plugin" / "qelevent.dll").wstring(),
                 L"--event-code", L"0x1F", L"--event-text", L"L\u00fcfter 2 steht still",
                 L"--category-attribute", L"Warm", L"--target", L"rack-7", L"CIM_Fan"});
    // No installation is registered, so the plug-in maps nothing.
    EXPECT_EQ(run.exitCode, 3u) << run.out << run.err;
    EXPECT_NE(run.out.find("host strings: " + layout +
                           ", as the plug-in reads them from this "
                           "tool: the registry value HostStringLayout names " +
                           layout),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ProcessEvent returned 0: posted"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("posted under its class name: no category"), std::string::npos)
        << run.out;
    const std::string posted = ReadFile(log);
    EXPECT_TRUE(std::regex_search(
        posted, std::regex(R"("text":"L\\u00fcfter 2 steht still".*"eventCode":31,)"
                           R"("attributes":\[\{"name":"CATEGORY",[^}]*"value":"Warm"\},)"
                           R"(\{"name":"CLASSNAME",[^}]*"value":"CIM_Fan"\},)"
                           R"(\{"name":"TARGET",[^}]*"value":"rack-7"\})")))
        << posted;
  }
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", nullptr);
}

TEST_F(ToolOnServer, RefusesWhatItCannotSendThrough) {
  const fs::path plugin = ansiFolder / "plugin" / "qelevent.dll";
  const fs::path unspellable = wideFolder / "qelevent.dll";
  fs::copy_file(plugin, unspellable);
  const struct {
    fs::path dll;
    const char* says;
  } cases[] = {
      {ansiFolder / "plugin" / "VOVURU32.DLL", "it is not the plug-in"},
      {unspellable, "ANSI code page cannot spell"},
      {ansiFolder / "missing.dll", "does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dll.u8string());
    const ToolRun run = RunTool(work.Path(), {L"send", L"--dll", c.dll.wstring(), L"CIM_Fan"});
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}

TEST_F(ToolOnServer, DefaultsToTheRegisteredInstallation) {
  const fs::path ci = ansiFolder / "ci";
  fs::create_directories(ci);
  for (const fs::path& file : fs::directory_iterator(ansiFolder / "plugin")) {
    fs::copy_file(file, ci / file.filename());
  }
  WriteFile(ci / "qelevent.properties", properties);
  test::ProductRegistration registration;
  std::string error;
  ASSERT_TRUE(registration.Register(ansiFolder.wstring(), &error)) << error;
  const ToolRun check = RunTool(work.Path(), {L"check"});
  EXPECT_EQ(check.exitCode, 0u) << check.err;
  EXPECT_EQ(check.out.rfind((ci / "qelevent.properties").u8string(), 0), 0u) << check.out;

  const fs::path log = work.Path() / "installed-events.jsonl";
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", log.c_str());
  const ToolRun send = RunTool(work.Path(), {L"send", L"CIM_Fan"});
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", nullptr);
  EXPECT_EQ(send.exitCode, 0u) << send.out << send.err;
  // The installation's file maps CIM_Fan to its category "Fan".
  EXPECT_TRUE(std::regex_search(ReadFile(log), std::regex(R"("typePath":\["[^"]+","Fan"\])")))
      << ReadFile(log);
  EXPECT_NE(send.out.find("category: \"Fan\""), std::string::npos) << send.out;

  // The installed file saved as UTF-16: the event goes out under its class
  // name, and send says so before and after posting.
  std::string wide = "\xFF\xFE";
  for (const char c : properties) wide += {c, '\0'};
  WriteFile(ci / "qelevent.properties", wide);
  const ToolRun unicode = RunTool(work.Path(), {L"send", L"CIM_Fan"});
  EXPECT_EQ(unicode.exitCode, 3u) << unicode.out << unicode.err;
  EXPECT_NE(unicode.err.find("error: the file is UTF-16LE"), std::string::npos) << unicode.err;
  EXPECT_NE(unicode.out.find("posted under its class name: no category"), std::string::npos)
      << unicode.out;
  WriteFile(ci / "qelevent.properties", properties);

  const ToolRun unnamed = RunTool(work.Path(), {L"send", L""});
  EXPECT_EQ(unnamed.exitCode, 1u) << unnamed.err;
  EXPECT_NE(unnamed.out.find("ProcessEvent returned 2: not posted"), std::string::npos)
      << unnamed.out;
}

// regedit and "reg import" on 64-bit Windows write the 64-bit view, which the
// 32-bit plug-in never reads: the tool must say so and how to mend it, naming
// the subkey that "Version" names.
TEST_F(ToolOnServer, SaysWhenTheProductKeyIsInThe64BitViewOnly) {
  const auto write = [](const char* key, const char* name, const char* value) {
    HKEY opened = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(strlen(value) + 1));
    RegCloseKey(opened);
  };
  write("SOFTWARE\\Korvane\\Telvar", "Version", "qel-view64");
  write("SOFTWARE\\Korvane\\Telvar\\qel-view64", "TELVARPATH", "C:\\Telvar");
  const ToolRun check = RunTool(work.Path(), {L"check"});
  for (const char* key : {"SOFTWARE\\Korvane\\Telvar\\qel-view64", "SOFTWARE\\Korvane\\Telvar",
                          "SOFTWARE\\Korvane"}) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
  }
  EXPECT_EQ(check.exitCode, 2u) << check.out;
  EXPECT_NE(check.err.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar\\qel-view64 is in the "
                           "64-bit registry view only"),
            std::string::npos)
      << check.err;
  EXPECT_NE(check.err.find("reg import FILE /reg:32"), std::string::npos) << check.err;
}

}  // namespace
}  // namespace qel
