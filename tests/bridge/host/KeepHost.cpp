// The real plug-in under Wine keeping what the event server did not take: a
// host program that installs the mingw layout's qelevent.dll with the
// stand-in libraries, lets the stand-in event library answer 7 and then 18,
// 18, posts two events and reads the undelivered-events file back through the
// plug-in's own reader. What the plug-in told the event log Wine prints on
// its eventlog debug channel, which KeepHostCheck.cmake reads.
//
// Then qelevent-tool.exe resend (its path compiled in as QEL_TOOL_EXE_W)
// delivers them again through the plug-in, first refused, then taken.
//
// Usage: qel_keephost.exe (the payload folder "testhost-payload" beside it,
// as the test host has it). Exit status 0 when both events were kept whole
// and resent exactly once.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "config/InstallPaths.h"
#include "tests/support/ProductRegistration.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++failures;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, length);
  return full.substr(0, full.find_last_of(L"\\/") + 1);
}

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return bytes;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return ok;
}

// The stand-in's log: one line a post, its answer last.
std::vector<std::string> Posts(const std::wstring& log) {
  std::vector<std::string> lines;
  const std::string bytes = ReadAll(log);
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(bytes.substr(start, end - start));
  }
  return lines;
}

// A logged post without its answer: the arguments alone.
std::string Arguments(const std::string& post) {
  return post.substr(0, post.rfind(",\"result\":"));
}

// qelevent-tool.exe with |arguments|, the stand-in answering |results|; its
// exit status, and its output in |out|.
DWORD RunTool(const std::wstring& arguments, const wchar_t* results, const std::wstring& folder,
              std::string& out) {
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", results);
  std::wstring tool = L"Z:" QEL_TOOL_EXE_W;
  for (wchar_t& c : tool) c = c == L'/' ? L'\\' : c;
  std::wstring commandLine = L"\"" + tool + L"\" " + arguments;
  const std::wstring outFile = folder + L"tool-out.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  DWORD status = 0xDEAD;
  if (CreateProcessW(tool.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                     folder.c_str(), &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(output);
  out = ReadAll(outFile);
  DeleteFileW(outFile.c_str());
  std::printf("qelevent-tool %ls: %lu\n%s", arguments.c_str(), status, out.c_str());
  return status;
}

using InitMapFunction = bool (*)();
using ProcessEventFunction = int(__stdcall*)(int, const void*, const void*, const void*,
                                             const void*);

}  // namespace

int wmain() {
  wchar_t temp[MAX_PATH] = {};
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp, length) + L"qel-keephost-" +
                            std::to_wstring(GetCurrentProcessId()) + L"\\";
  const std::wstring ci = root + L"ci\\";
  if (!CreateDirectoryW(root.c_str(), nullptr) || !CreateDirectoryW(ci.c_str(), nullptr)) {
    std::printf("setup: cannot create the installation folder\n");
    return 2;
  }
  const std::wstring payload = ProgramFolder() + L"testhost-payload\\";
  const std::vector<std::pair<std::wstring, std::wstring>> copies = {
      {payload + L"qelevent.dll", L"qelevent.dll"},
      {payload + L"vnxsdevt.dll", L"vnxsdevt.dll"},
      {payload + L"VOVURU32.DLL", L"VOVURU32.DLL"}};
  for (const auto& [from, name] : copies) {
    if (!CopyFileW(from.c_str(), (ci + name).c_str(), FALSE)) {
      std::printf("setup: cannot copy the payload\n");
      return 2;
    }
  }
  std::string error;
  qel::test::ProductRegistration registration;
  if (!WriteAll(ci + L"qelevent.properties", "a=x.Telvar_Services.CIM_Fan\r\n") ||
      !registration.Register(root, &error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", (ci + L"events.jsonl").c_str());
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"7,18,18");

  HMODULE plugin =
      LoadLibraryExW((ci + L"qelevent.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (plugin == nullptr) {
    std::printf("setup: cannot load the plug-in\n");
    return 2;
  }
  auto initMap =
      reinterpret_cast<InitMapFunction>(reinterpret_cast<void*>(GetProcAddress(plugin, "InitMap")));
  auto processEvent = reinterpret_cast<ProcessEventFunction>(
      reinterpret_cast<void*>(GetProcAddress(plugin, "ProcessEvent")));
  initMap();
  // The mingw layout's plug-in reads our own library's strings.
  const std::wstring className = L"CIM_Fan";
  const std::wstring category = L"Hardware";
  const std::wstring target = L"srv01";
  const std::wstring first = L"Fan 2 stopped";
  const std::wstring second = L"L\u00fcfter 3 \"stopped\"";
  // One post answered 7, then two posts answered 18 and two real two-minute
  // waits: the second event's entry comes more than a minute after the
  // first's, so the rate limit lets both through.
  Check(processEvent(3, &className, &first, &category, &target) == 0, "first event answers 0");
  Check(processEvent(4, &className, &second, &category, &target) == 0, "second event answers 0");
  FreeLibrary(plugin);

  const qel::KeptRecords kept = qel::ReadKeptRecords(ReadAll(ci + L"qelevent-undelivered.txt"));
  Check(kept.skippedLines.empty(), "every line of the file is a whole record");
  Check(kept.events.size() == 2, "both events are kept");
  if (kept.events.size() == 2) {
    const qel::KeptEvent& a = kept.events[0];
    const qel::KeptEvent& b = kept.events[1];
    Check(a.answers == std::vector<int32_t>{7} && b.answers == std::vector<int32_t>{18, 18},
          "the answers 7, then 18 and 18");
    Check(a.text == u"Fan 2 stopped" && b.text == u"L\u00fcfter 3 \"stopped\"", "the texts");
    Check(a.eventCode == 3 && b.eventCode == 4, "the event codes");
    Check(a.className == u"CIM_Fan" && a.typePath.size() == 2 &&
              a.typePath[1] == u"System Enclosure" && a.source == u"CIM",
          "class, source and category");
    Check(a.attributes.size() == 3 && a.attributes[2].value == u"srv01" &&
              a.destination == "@EventServer",
          "attributes and destination");
    Check(a.utc.size() == 24 && a.local.size() == 29, "the times, UTC and local");
  }
  // The kept events delivered again by qelevent-tool resend through the
  // plug-in's third export: a busy answer to the first takes nothing out;
  // then each goes once, exactly as first posted, and the file empties.
  const std::wstring keptFile = ci + L"qelevent-undelivered.txt";
  const std::string keptBytes = ReadAll(keptFile);
  const std::vector<std::string> firstPosts = Posts(ci + L"events.jsonl");
  std::string out;
  Check(RunTool(L"resend", L"18", ci, out) == 1, "resend with the server busy: some kept (1)");
  Check(ReadAll(keptFile) == keptBytes, "a refused resend takes nothing out of the file");
  std::vector<std::string> posts = Posts(ci + L"events.jsonl");
  Check(posts.size() == firstPosts.size() + 1, "the refused resend posted once, without waiting");
  Check(RunTool(L"resend", L"", ci, out) == 0, "resend with the server taking all: 0");
  posts = Posts(ci + L"events.jsonl");
  Check(posts.size() == firstPosts.size() + 3, "the second resend posted each kept event once");
  if (firstPosts.size() == 3 && posts.size() == 6) {
    Check(Arguments(posts[3]) == Arguments(firstPosts[0]) &&
              Arguments(posts[4]) == Arguments(firstPosts[0]) &&
              Arguments(posts[5]) == Arguments(firstPosts[2]),
          "each resent post has the first post's arguments, oldest first");
  }
  Check(ReadAll(keptFile).empty(), "the delivered events left the file");
  Check(RunTool(L"resend --list", L"", ci, out) == 0 &&
            out.find(": 0 events kept") != std::string::npos,
        "resend --list: nothing kept");

  // With KeepWhenBusy, send's event answered 18 once is kept at once, and
  // send says so; resend then delivers it.
  HKEY product = nullptr;
  const DWORD on = 1;
  const bool set = RegOpenKeyExA(HKEY_LOCAL_MACHINE, qel::kProductKey, 0, KEY_SET_VALUE,
                                 &product) == ERROR_SUCCESS &&
                   RegSetValueExA(product, qel::kKeepWhenBusyValue, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&on), sizeof on) == ERROR_SUCCESS;
  Check(set, "KeepWhenBusy set");
  const size_t before = Posts(ci + L"events.jsonl").size();
  Check(RunTool(L"send --event-text \"busy send\" CIM_Fan", L"18", ci, out) == 1 &&
            out.find("kept, not delivered: the event server answered 18;") != std::string::npos,
        "send: kept, not delivered (1)");
  const qel::KeptRecords busy = qel::ReadKeptRecords(ReadAll(keptFile));
  Check(busy.events.size() == 1 && busy.events[0].answers == std::vector<int32_t>{18} &&
            busy.events[0].text == u"busy send" && Posts(ci + L"events.jsonl").size() == before + 1,
        "KeepWhenBusy: one post, kept with its one answer");
  Check(RunTool(L"resend", L"", ci, out) == 0 && ReadAll(keptFile).empty(),
        "resend delivers what send kept");
  if (product != nullptr) {
    RegDeleteValueA(product, qel::kKeepWhenBusyValue);
    RegCloseKey(product);
  }

  for (const wchar_t* name :
       {L"qelevent.dll", L"vnxsdevt.dll", L"VOVURU32.DLL", L"qelevent.properties", L"events.jsonl",
        L"qelevent-undelivered.txt"}) {
    DeleteFileW((ci + name).c_str());
  }
  RemoveDirectoryW(ci.c_str());
  RemoveDirectoryW(root.c_str());
  std::printf(failures == 0 ? "keephost: OK\n" : "keephost: %d FAILED\n", failures);
  return failures == 0 ? 0 : 1;
}
