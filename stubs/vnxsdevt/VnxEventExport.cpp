// The exported entry point of the stand-in vnxsdevt.dll. Only the win32 DLL
// has it; the hosted platform records events on its own.
//
// Each post is appended as one JSON line (see EventRecord.h) to the file named
// by the environment variable VNXSDEVT_LOG, or else to vnxsdevt-events.jsonl
// beside this DLL. What each post returns comes from VNXSDEVT_RESULTS (a list
// such as "18,0", read at the first post) or from VNXStubSetResults; 0 once
// the list is used up.
#ifdef _WIN32

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/SystemThreads.h"
#include "stubs/vnxsdevt/EventRecord.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is 16-bit units on Windows");

namespace {

qel::SystemLock& StubLock() {
  static qel::SystemLock lock;
  return lock;
}

std::wstring Environment(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(length < size ? length : 0);
  return value;
}

qel::stub::ResultQueue& Results() {
  static qel::stub::ResultQueue queue;
  static bool initialised = false;
  if (!initialised) {
    initialised = true;
    std::wstring list = Environment(L"VNXSDEVT_RESULTS");
    queue.Set(std::string(list.begin(), list.end()));
  }
  return queue;
}

std::wstring LogPath() {
  std::wstring path = Environment(L"VNXSDEVT_LOG");
  if (!path.empty()) return path;
  HMODULE self = nullptr;
  wchar_t name[MAX_PATH] = {};
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LogPath), &self) ||
      GetModuleFileNameW(self, name, MAX_PATH) == 0) {
    return L"vnxsdevt-events.jsonl";
  }
  path = name;
  size_t slash = path.find_last_of(L"\\/");
  return path.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + L"vnxsdevt-events.jsonl";
}

void AppendLine(const std::string& line) {
  FILE* file = _wfopen(LogPath().c_str(), L"ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
  std::fclose(file);
}

}  // namespace

extern "C" int __stdcall VNXEventW(const wchar_t* source, const wchar_t* const* typePath,
                                   const wchar_t* text, const char* language, int arg5,
                                   int eventCode, qel::EventAttribute* const* attributes, int arg8,
                                   int arg9, const char* destination, int arg11) {
  try {
    std::lock_guard<qel::SystemLock> lock(StubLock());
    qel::VnxEventArgs args{reinterpret_cast<const char16_t*>(source),
                           reinterpret_cast<const char16_t* const*>(typePath),
                           reinterpret_cast<const char16_t*>(text),
                           language,
                           arg5,
                           eventCode,
                           attributes,
                           arg8,
                           arg9,
                           destination,
                           arg11};
    int32_t result = Results().Next();
    AppendLine(qel::stub::EventToJson(args, result));
    return result;
  } catch (...) {
    return -1;  // nothing may unwind into the caller
  }
}

// Replaces the results still to come; for a test host that wants to change
// them between posts.
extern "C" int __stdcall VNXStubSetResults(const char* list) {
  try {
    std::lock_guard<qel::SystemLock> lock(StubLock());
    Results();  // the environment's list is read first so that it cannot override this one
    return Results().Set(list ? list : "") ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

#endif  // _WIN32
