// The real plug-in under Wine keeping what the event server did not take: a
// host program that installs the mingw layout's qelevent.dll with the
// stand-in libraries, lets the stand-in event library answer 7 and then 18,
// 18, posts two events and reads the undelivered-events file back through the
// plug-in's own reader. What the plug-in told the event log Wine prints on
// its eventlog debug channel, which KeepHostCheck.cmake reads.
//
// Usage: qel_keephost.exe (the payload folder "testhost-payload" beside it,
// as the test host has it). Exit status 0 when both events were kept whole.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bridge/KeptEvent.h"
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
      {payload + L"mingw\\qelevent.dll", L"qelevent.dll"},
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
