// The real platform: each call is the Windows call of the same name, nothing
// more; only the NT-only desktop calls are looked up at run time. Wide text
// crosses as a pointer cast (wchar_t is 16 bits here). The maker's libraries
// are called in Win32MakerLibraries.cpp.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <exception>
#include <new>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is 16-bit units on Windows");
static_assert(sizeof(qel::OsVersionInfoA) == sizeof(OSVERSIONINFOA), "OSVERSIONINFOA layout");
static_assert(sizeof(DWORD) == sizeof(uint32_t), "a DWORD is 32 bits");
static_assert(sizeof(qel::SystemTime) == sizeof(SYSTEMTIME), "SYSTEMTIME layout");

namespace qel {
namespace {

template <typename To, typename From>
To As(From handle) {
  return reinterpret_cast<To>(handle);
}

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// An exception cannot unwind through the system's enumeration, which has no
// unwind information: it would end the process. The thunk catches it, stops
// the enumeration, and the caller rethrows it once the system call returned.
template <typename Callback>
struct Enumeration {
  const Callback& callback;
  std::exception_ptr error;

  template <typename... Args>
  BOOL Call(Args... args) {
    try {
      return callback(args...) ? TRUE : FALSE;
    } catch (...) {
      error = std::current_exception();
      return FALSE;
    }
  }
  bool Finish(BOOL result) const {
    if (error) std::rethrow_exception(error);
    return result != FALSE;
  }
};

BOOL CALLBACK EnumNameThunk(HMODULE, LPCSTR, LPSTR name, LONG_PTR param) {
  return reinterpret_cast<Enumeration<EnumResourceNameCallback>*>(param)->Call(name);
}

BOOL CALLBACK EnumLanguageThunk(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param) {
  return reinterpret_cast<Enumeration<EnumResourceLanguageCallback>*>(param)->Call(language);
}

// The window-station and desktop calls exist on NT only (3.51 and later).
// The plug-in makes them only there, but importing them would keep the DLL
// from loading where USER32.DLL lacks them, so they are looked up on first
// use; one that is missing fails as if it had been called and refused.
struct DesktopCalls {
  decltype(&::GetProcessWindowStation) getProcessWindowStation = nullptr;
  decltype(&::GetThreadDesktop) getThreadDesktop = nullptr;
  decltype(&::OpenWindowStationA) openWindowStationA = nullptr;
  decltype(&::SetProcessWindowStation) setProcessWindowStation = nullptr;
  decltype(&::OpenDesktopA) openDesktopA = nullptr;
  decltype(&::SetThreadDesktop) setThreadDesktop = nullptr;
  decltype(&::CloseWindowStation) closeWindowStation = nullptr;
  decltype(&::CloseDesktop) closeDesktop = nullptr;
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function& slot) {
  slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

const DesktopCalls& Desktop() {
  static const DesktopCalls calls = [] {
    DesktopCalls found;
    // Loaded already: the DLL imports other calls from it.
    const HMODULE user32 = ::GetModuleHandleA("USER32.DLL");
    if (user32 == nullptr) return found;
    Resolve(user32, "GetProcessWindowStation", found.getProcessWindowStation);
    Resolve(user32, "GetThreadDesktop", found.getThreadDesktop);
    Resolve(user32, "OpenWindowStationA", found.openWindowStationA);
    Resolve(user32, "SetProcessWindowStation", found.setProcessWindowStation);
    Resolve(user32, "OpenDesktopA", found.openDesktopA);
    Resolve(user32, "SetThreadDesktop", found.setThreadDesktop);
    Resolve(user32, "CloseWindowStation", found.closeWindowStation);
    Resolve(user32, "CloseDesktop", found.closeDesktop);
    return found;
  }();
  return calls;
}

// The event log exists on NT only; on the 9x family ADVAPI32.DLL has no
// such calls, or ones that only fail. Importing them would add load-time
// imports the binary check does not allow, so they are looked up on first
// use; one that is missing fails as if it had been called and refused.
struct EventLogCalls {
  decltype(&::RegisterEventSourceW) registerEventSourceW = nullptr;
  decltype(&::ReportEventW) reportEventW = nullptr;
  decltype(&::DeregisterEventSource) deregisterEventSource = nullptr;
};

const EventLogCalls& EventLog() {
  static const EventLogCalls calls = [] {
    EventLogCalls found;
    // Loaded already: the DLL imports the registry calls from it.
    const HMODULE advapi32 = ::GetModuleHandleA("ADVAPI32.DLL");
    if (advapi32 == nullptr) return found;
    Resolve(advapi32, "RegisterEventSourceW", found.registerEventSourceW);
    Resolve(advapi32, "ReportEventW", found.reportEventW);
    Resolve(advapi32, "DeregisterEventSource", found.deregisterEventSource);
    return found;
  }();
  return calls;
}

}  // namespace

Platform& Win32Platform::Instance() {
  static Win32Platform platform;
  return platform;
}

long Win32Platform::RegOpenKeyExA(HKey root, const char* subKey, uint32_t options, uint32_t access,
                                  HKey* result) {
  return ::RegOpenKeyExA(As<HKEY>(root), subKey, options, access, reinterpret_cast<HKEY*>(result));
}

long Win32Platform::RegQueryValueExA(HKey key, const char* valueName, uint32_t* type, uint8_t* data,
                                     uint32_t* size) {
  return ::RegQueryValueExA(As<HKEY>(key), valueName, nullptr, reinterpret_cast<DWORD*>(type), data,
                            reinterpret_cast<DWORD*>(size));
}

long Win32Platform::RegCloseKey(HKey key) { return ::RegCloseKey(As<HKEY>(key)); }

int Win32Platform::WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide,
                                       int wideLength, char* out, int outSize,
                                       const char* defaultChar, int* usedDefault) {
  return ::WideCharToMultiByte(codePage, flags, Wide(wide), wideLength, out, outSize, defaultChar,
                               reinterpret_cast<BOOL*>(usedDefault));
}

int Win32Platform::MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow,
                                       int narrowLength, char16_t* out, int outSize) {
  return ::MultiByteToWideChar(codePage, flags, narrow, narrowLength,
                               reinterpret_cast<wchar_t*>(out), outSize);
}

HModule Win32Platform::LoadLibraryA(const char* fileName) {
  return As<HModule>(::LoadLibraryA(fileName));
}

HModule Win32Platform::LoadLibraryExA(const char* fileName, uint32_t flags) {
  return As<HModule>(::LoadLibraryExA(fileName, nullptr, flags));
}

bool Win32Platform::FreeLibrary(HModule module) { return ::FreeLibrary(As<HMODULE>(module)); }

void* Win32Platform::GetProcAddress(HModule module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(As<HMODULE>(module), name));
}

uint32_t Win32Platform::SetErrorMode(uint32_t mode) { return ::SetErrorMode(mode); }

int Win32Platform::LoadStringA(HModule module, uint32_t id, char* buffer, int size) {
  return ::LoadStringA(As<HINSTANCE>(module), id, buffer, size);
}

bool Win32Platform::EnumResourceNamesA(HModule module, ResourceName type,
                                       const EnumResourceNameCallback& callback) {
  Enumeration<EnumResourceNameCallback> enumeration{callback, nullptr};
  return enumeration.Finish(::EnumResourceNamesA(As<HMODULE>(module), type, EnumNameThunk,
                                                 reinterpret_cast<LONG_PTR>(&enumeration)));
}

bool Win32Platform::EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                                           const EnumResourceLanguageCallback& callback) {
  Enumeration<EnumResourceLanguageCallback> enumeration{callback, nullptr};
  return enumeration.Finish(::EnumResourceLanguagesA(As<HMODULE>(module), type, name,
                                                     EnumLanguageThunk,
                                                     reinterpret_cast<LONG_PTR>(&enumeration)));
}

HModule Win32Platform::GetModuleHandleA(const char* name) {
  return As<HModule>(::GetModuleHandleA(name));
}

uint32_t Win32Platform::GetModuleFileNameA(HModule module, char* buffer, uint32_t size) {
  return ::GetModuleFileNameA(As<HMODULE>(module), buffer, size);
}

int32_t Win32Platform::OpenFile(const char* path, uint32_t style) {
  OFSTRUCT info = {};
  return ::OpenFile(path, &info, style);
}

HFile Win32Platform::CreateFileW(const char16_t* path, uint32_t access, uint32_t shareMode,
                                 uint32_t creation) {
  return As<HFile>(::CreateFileW(Wide(path), access, shareMode, nullptr, creation,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

HFile Win32Platform::CreateFileA(const char* path, uint32_t access, uint32_t shareMode,
                                 uint32_t creation) {
  return As<HFile>(
      ::CreateFileA(path, access, shareMode, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Win32Platform::ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) {
  return ::ReadFile(As<HANDLE>(file), buffer, size, reinterpret_cast<DWORD*>(read), nullptr);
}

bool Win32Platform::CloseHandle(HFile file) { return ::CloseHandle(As<HANDLE>(file)); }

size_t Win32Platform::VirtualQuery(const void* address, MemoryBasicInformation* info) {
  MEMORY_BASIC_INFORMATION region{};
  if (::VirtualQuery(address, &region, sizeof region) != sizeof region) return 0;
  *info = {region.BaseAddress, region.AllocationBase, region.AllocationProtect,
           region.RegionSize,  region.State,          region.Protect,
           region.Type};
  return sizeof *info;
}

uint32_t Win32Platform::GetUserDefaultLCID() { return ::GetUserDefaultLCID(); }

bool Win32Platform::GetVersionExA(OsVersionInfoA* info) {
  return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
}

HWinSta Win32Platform::GetProcessWindowStation() {
  const auto call = Desktop().getProcessWindowStation;
  return call ? As<HWinSta>(call()) : nullptr;
}

uint32_t Win32Platform::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

HDesk Win32Platform::GetThreadDesktop(uint32_t threadId) {
  const auto call = Desktop().getThreadDesktop;
  return call ? As<HDesk>(call(threadId)) : nullptr;
}

HWinSta Win32Platform::OpenWindowStationA(const char* name, bool inherit, uint32_t access) {
  const auto call = Desktop().openWindowStationA;
  return call ? As<HWinSta>(call(name, inherit, access)) : nullptr;
}

bool Win32Platform::SetProcessWindowStation(HWinSta station) {
  const auto call = Desktop().setProcessWindowStation;
  return call && call(As<HWINSTA>(station));
}

HDesk Win32Platform::OpenDesktopA(const char* name, uint32_t flags, bool inherit, uint32_t access) {
  const auto call = Desktop().openDesktopA;
  return call ? As<HDesk>(call(name, flags, inherit, access)) : nullptr;
}

bool Win32Platform::SetThreadDesktop(HDesk desktop) {
  const auto call = Desktop().setThreadDesktop;
  return call && call(As<HDESK>(desktop));
}

bool Win32Platform::CloseWindowStation(HWinSta station) {
  const auto call = Desktop().closeWindowStation;
  return call && call(As<HWINSTA>(station));
}

bool Win32Platform::CloseDesktop(HDesk desktop) {
  const auto call = Desktop().closeDesktop;
  return call && call(As<HDESK>(desktop));
}

uint32_t Win32Platform::GetTickCount() { return ::GetTickCount(); }

void Win32Platform::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

uint32_t Win32Platform::WaitForSingleObject(HSync handle, uint32_t milliseconds) {
  return ::WaitForSingleObject(As<HANDLE>(handle), milliseconds);
}

bool Win32Platform::ReleaseMutex(HSync mutex) { return ::ReleaseMutex(As<HANDLE>(mutex)); }

bool Win32Platform::SetEvent(HSync event) { return ::SetEvent(As<HANDLE>(event)); }

bool Win32Platform::PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                       intptr_t lParam) {
  return ::PostThreadMessageA(threadId, message, wParam, lParam);
}

void Win32Platform::PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

HLock Win32Platform::CreateCriticalSection() {
  auto* section = new (std::nothrow) CRITICAL_SECTION;
  if (section != nullptr) ::InitializeCriticalSection(section);
  return As<HLock>(section);
}

void Win32Platform::EnterCriticalSection(HLock lock) {
  ::EnterCriticalSection(As<CRITICAL_SECTION*>(lock));
}

void Win32Platform::LeaveCriticalSection(HLock lock) {
  ::LeaveCriticalSection(As<CRITICAL_SECTION*>(lock));
}

void Win32Platform::DeleteCriticalSection(HLock lock) {
  if (lock == nullptr) return;
  auto* section = As<CRITICAL_SECTION*>(lock);
  ::DeleteCriticalSection(section);
  delete section;
}

bool Win32Platform::WriteFile(HFile file, const void* buffer, uint32_t size, uint32_t* written) {
  return ::WriteFile(As<HANDLE>(file), buffer, size, reinterpret_cast<DWORD*>(written), nullptr);
}

uint32_t Win32Platform::SetFilePointer(HFile file, int32_t distance, uint32_t moveMethod) {
  return ::SetFilePointer(As<HANDLE>(file), distance, nullptr, moveMethod);
}

bool Win32Platform::SetEndOfFile(HFile file) { return ::SetEndOfFile(As<HANDLE>(file)); }

uint32_t Win32Platform::GetFileSize(HFile file) { return ::GetFileSize(As<HANDLE>(file), nullptr); }

bool Win32Platform::LockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh,
                             uint32_t lengthLow, uint32_t lengthHigh) {
  return ::LockFile(As<HANDLE>(file), offsetLow, offsetHigh, lengthLow, lengthHigh);
}

bool Win32Platform::UnlockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh,
                               uint32_t lengthLow, uint32_t lengthHigh) {
  return ::UnlockFile(As<HANDLE>(file), offsetLow, offsetHigh, lengthLow, lengthHigh);
}

void Win32Platform::GetSystemTime(SystemTime* time) {
  ::GetSystemTime(reinterpret_cast<SYSTEMTIME*>(time));
}

void Win32Platform::GetLocalTime(SystemTime* time) {
  ::GetLocalTime(reinterpret_cast<SYSTEMTIME*>(time));
}

HEventLog Win32Platform::RegisterEventSourceW(const char16_t* serverName,
                                              const char16_t* sourceName) {
  const auto call = EventLog().registerEventSourceW;
  return call ? As<HEventLog>(call(Wide(serverName), Wide(sourceName))) : nullptr;
}

bool Win32Platform::ReportEventW(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
                                 uint16_t stringCount, const char16_t* const* strings) {
  const auto call = EventLog().reportEventW;
  // The system's declaration takes the strings without const.
  return call && call(As<HANDLE>(log), type, category, eventId, nullptr, stringCount, 0,
                      const_cast<LPCWSTR*>(reinterpret_cast<const LPCWSTR*>(strings)), nullptr);
}

bool Win32Platform::DeregisterEventSource(HEventLog log) {
  const auto call = EventLog().deregisterEventSource;
  return call && call(As<HANDLE>(log));
}

}  // namespace qel
