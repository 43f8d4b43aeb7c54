#include "platform/hosted/HostedPlatform.h"

#include "platform/hosted/HostedCodePage.h"

namespace qel {
namespace {

using Lock = std::lock_guard<SystemLock>;
using hosted_log::Flag;
using hosted_log::Hex;
using hosted_log::Text;

}  // namespace

// Each call is logged and may be told to fail; what a failure returns is what
// Windows returns for that call's failure. The part that owns the concern
// does the rest.

long HostedPlatform::RegOpenKeyExA(HKey root, const char* subKey, uint32_t options, uint32_t access,
                                   HKey* result) {
  Lock lock(mutex_);
  if (Call("RegOpenKeyExA", [&] {
        return Hex(root) + ", " + Text(subKey) + ", " + std::to_string(options) + ", " +
               Hex(access);
      })) {
    return kErrorFileNotFound;
  }
  return registry_.OpenKey(root, subKey, handles_, result);
}

long HostedPlatform::RegQueryValueExA(HKey key, const char* valueName, uint32_t* type,
                                      uint8_t* data, uint32_t* size) {
  Lock lock(mutex_);
  if (Call("RegQueryValueExA", [&] {
        return Hex(key) + ", " + Text(valueName) + ", " + std::to_string(size ? *size : 0);
      })) {
    return kErrorFileNotFound;
  }
  return registry_.QueryValue(key, valueName, type, data, size);
}

long HostedPlatform::RegCloseKey(HKey key) {
  Lock lock(mutex_);
  if (Call("RegCloseKey", [&] { return Hex(key); })) return 6;  // ERROR_INVALID_HANDLE
  return registry_.CloseKey(key);
}

int HostedPlatform::WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide,
                                        int wideLength, char* out, int outSize,
                                        const char* defaultChar, int* usedDefault) {
  Lock lock(mutex_);
  if (Call("WideCharToMultiByte", [&] {
        return std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
               std::to_string(wideLength) + ", " + std::to_string(outSize);
      })) {
    return 0;
  }
  return HostedWideCharToMultiByte(codePage, wide, wideLength, out, outSize, defaultChar,
                                   usedDefault);
}

int HostedPlatform::MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow,
                                        int narrowLength, char16_t* out, int outSize) {
  Lock lock(mutex_);
  if (Call("MultiByteToWideChar", [&] {
        return std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
               std::to_string(narrowLength) + ", " + std::to_string(outSize);
      })) {
    return 0;
  }
  return HostedMultiByteToWideChar(codePage, narrow, narrowLength, out, outSize);
}

HModule HostedPlatform::LoadLibraryA(const char* fileName) {
  Lock lock(mutex_);
  if (Call("LoadLibraryA", [&] { return Text(fileName); })) return nullptr;
  return modules_.LoadCode(fileName);
}

HModule HostedPlatform::LoadLibraryExA(const char* fileName, uint32_t flags) {
  Lock lock(mutex_);
  if (Call("LoadLibraryExA", [&] { return Text(fileName) + ", " + std::to_string(flags); }) ||
      fileName == nullptr) {
    return nullptr;
  }
  // Without the data-file flag it is a LoadLibraryA, logged as one too.
  if ((flags & kLoadLibraryAsDatafile) == 0) return LoadLibraryA(fileName);
  return modules_.LoadData(fileName);
}

bool HostedPlatform::FreeLibrary(HModule module) {
  Lock lock(mutex_);
  if (Call("FreeLibrary", [&] { return Hex(module); })) return false;
  return modules_.Free(module);
}

void* HostedPlatform::GetProcAddress(HModule module, const char* name) {
  Lock lock(mutex_);
  if (Call("GetProcAddress", [&] { return Hex(module) + ", " + Text(name); })) return nullptr;
  return modules_.ProcAddress(module, name);
}

uint32_t HostedPlatform::SetErrorMode(uint32_t mode) {
  Lock lock(mutex_);
  Call("SetErrorMode", [&] { return Hex(mode); });
  return modules_.SetErrorMode(mode);
}

int HostedPlatform::LoadStringA(HModule module, uint32_t id, char* buffer, int size) {
  Lock lock(mutex_);
  if (Call("LoadStringA",
           [&] { return Hex(module) + ", " + std::to_string(id) + ", " + std::to_string(size); })) {
    return 0;
  }
  return modules_.LoadString(module, id, buffer, size);
}

bool HostedPlatform::EnumResourceNamesA(HModule module, ResourceName type,
                                        const EnumResourceNameCallback& callback) {
  Lock lock(mutex_);
  if (Call("EnumResourceNamesA", [&] { return Hex(module) + ", " + Hex(type); })) return false;
  return modules_.EnumNames(module, type, callback);
}

bool HostedPlatform::EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                                            const EnumResourceLanguageCallback& callback) {
  Lock lock(mutex_);
  if (Call("EnumResourceLanguagesA",
           [&] { return Hex(module) + ", " + Hex(type) + ", " + Hex(name); })) {
    return false;
  }
  return modules_.EnumLanguages(module, type, name, callback);
}

HModule HostedPlatform::GetModuleHandleA(const char* name) {
  Lock lock(mutex_);
  if (Call("GetModuleHandleA", [&] { return Text(name); })) return nullptr;
  return modules_.ModuleHandle(name);
}

uint32_t HostedPlatform::GetModuleFileNameA(HModule module, char* buffer, uint32_t size) {
  Lock lock(mutex_);
  if (Call("GetModuleFileNameA", [&] { return Hex(module) + ", " + std::to_string(size); })) {
    return 0;
  }
  return modules_.FileName(module, buffer, size);
}

int32_t HostedPlatform::OpenFile(const char* path, uint32_t style) {
  Lock lock(mutex_);
  if (Call("OpenFile", [&] { return Text(path) + ", " + std::to_string(style); })) {
    return kHfileError;
  }
  return disk_.FileExists(path, style);
}

// Both calls are logged alike and open through the same disk.
template <typename Char>
HFile HostedPlatform::CreateFileNamed(const char* call, const Char* path, uint32_t access,
                                      uint32_t shareMode, uint32_t creation) {
  Lock lock(mutex_);
  if (Call(call, [&] {
        return Text(path) + ", " + Hex(access) + ", " + std::to_string(shareMode) + ", " +
               std::to_string(creation);
      })) {
    return InvalidHandleValue();
  }
  return disk_.Open(path, access, shareMode, creation);
}

HFile HostedPlatform::CreateFileW(const char16_t* path, uint32_t access, uint32_t shareMode,
                                  uint32_t creation) {
  return CreateFileNamed("CreateFileW", path, access, shareMode, creation);
}

HFile HostedPlatform::CreateFileA(const char* path, uint32_t access, uint32_t shareMode,
                                  uint32_t creation) {
  return CreateFileNamed("CreateFileA", path, access, shareMode, creation);
}

bool HostedPlatform::ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) {
  Lock lock(mutex_);
  if (Call("ReadFile", [&] { return Hex(file) + ", " + std::to_string(size); })) return false;
  return disk_.Read(file, buffer, size, read);
}

bool HostedPlatform::CloseHandle(HFile file) {
  Lock lock(mutex_);
  if (Call("CloseHandle", [&] { return Hex(file); })) return false;
  return disk_.Close(file);
}

size_t HostedPlatform::VirtualQuery(const void* address, MemoryBasicInformation* info) {
  Lock lock(mutex_);
  if (Call("VirtualQuery", [&] { return Hex(address); })) return 0;
  *info = memory_.Query(address);
  return sizeof *info;
}

uint32_t HostedPlatform::GetUserDefaultLCID() {
  Lock lock(mutex_);
  Call("GetUserDefaultLCID");
  return system_.UserDefaultLCID();
}

bool HostedPlatform::GetVersionExA(OsVersionInfoA* info) {
  Lock lock(mutex_);
  if (Call("GetVersionExA", [&] { return std::to_string(info ? info->dwOSVersionInfoSize : 0); })) {
    return false;
  }
  return system_.GetVersion(info);
}

HWinSta HostedPlatform::GetProcessWindowStation() {
  Lock lock(mutex_);
  return Call("GetProcessWindowStation") ? nullptr : desktops_.CurrentWindowStation();
}

uint32_t HostedPlatform::GetCurrentThreadId() {
  Lock lock(mutex_);
  Call("GetCurrentThreadId");
  return HostedDesktops::ThreadId();
}

HDesk HostedPlatform::GetThreadDesktop(uint32_t threadId) {
  Lock lock(mutex_);
  if (Call("GetThreadDesktop", [&] { return std::to_string(threadId); })) return nullptr;
  return desktops_.ThreadDesktop(threadId);
}

HWinSta HostedPlatform::OpenWindowStationA(const char* name, bool inherit, uint32_t access) {
  Lock lock(mutex_);
  if (Call("OpenWindowStationA",
           [&] { return Text(name) + ", " + Flag(inherit) + ", " + Hex(access); })) {
    return nullptr;
  }
  return desktops_.OpenWindowStation(name);
}

bool HostedPlatform::SetProcessWindowStation(HWinSta station) {
  Lock lock(mutex_);
  if (Call("SetProcessWindowStation", [&] { return Hex(station); })) return false;
  return desktops_.SetProcessWindowStation(station);
}

HDesk HostedPlatform::OpenDesktopA(const char* name, uint32_t flags, bool inherit,
                                   uint32_t access) {
  Lock lock(mutex_);
  if (Call("OpenDesktopA", [&] {
        return Text(name) + ", " + std::to_string(flags) + ", " + Flag(inherit) + ", " +
               Hex(access);
      })) {
    return nullptr;
  }
  return desktops_.OpenDesktop(name);
}

bool HostedPlatform::SetThreadDesktop(HDesk desktop) {
  Lock lock(mutex_);
  if (Call("SetThreadDesktop", [&] { return Hex(desktop); })) return false;
  return desktops_.SetThreadDesktop(desktop);
}

bool HostedPlatform::CloseWindowStation(HWinSta station) {
  Lock lock(mutex_);
  if (Call("CloseWindowStation", [&] { return Hex(station); })) return false;
  return desktops_.CloseWindowStation(station);
}

bool HostedPlatform::CloseDesktop(HDesk desktop) {
  Lock lock(mutex_);
  if (Call("CloseDesktop", [&] { return Hex(desktop); })) return false;
  return desktops_.CloseDesktop(desktop);
}

uint32_t HostedPlatform::GetTickCount() {
  Lock lock(mutex_);
  Call("GetTickCount");
  return time_.TickCount();
}

void HostedPlatform::Sleep(uint32_t milliseconds) {
  std::unique_lock<SystemLock> lock(mutex_);
  Call("Sleep", [&] { return std::to_string(milliseconds); });
  time_.Sleep(milliseconds, lock);
}

uint32_t HostedPlatform::WaitForSingleObject(HSync handle, uint32_t milliseconds) {
  Lock lock(mutex_);
  if (Call("WaitForSingleObject", [&] { return Hex(handle) + ", " + Hex(milliseconds); })) {
    return 0xFFFFFFFFu;  // WAIT_FAILED
  }
  return time_.WaitResult();
}

// The mutex, event and message calls have no effect to simulate: they are
// logged, and succeed unless told to fail.

bool HostedPlatform::ReleaseMutex(HSync mutex) {
  Lock lock(mutex_);
  return !Call("ReleaseMutex", [&] { return Hex(mutex); });
}

bool HostedPlatform::SetEvent(HSync event) {
  Lock lock(mutex_);
  return !Call("SetEvent", [&] { return Hex(event); });
}

bool HostedPlatform::PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                        intptr_t lParam) {
  Lock lock(mutex_);
  return !Call("PostThreadMessageA", [&] {
    return std::to_string(threadId) + ", " + std::to_string(message) + ", " +
           std::to_string(wParam) + ", " + std::to_string(lParam);
  });
}

void HostedPlatform::PostQuitMessage(int exitCode) {
  Lock lock(mutex_);
  Call("PostQuitMessage", [&] { return std::to_string(exitCode); });
}

HLock HostedPlatform::CreateCriticalSection() {
  Lock lock(mutex_);
  if (Call("CreateCriticalSection")) return nullptr;
  return time_.CreateSection();
}

void HostedPlatform::EnterCriticalSection(HLock section) {
  std::unique_lock<SystemLock> lock(mutex_);
  Call("EnterCriticalSection", [&] { return Hex(section); });
  time_.Enter(section, lock);
}

void HostedPlatform::LeaveCriticalSection(HLock section) {
  Lock lock(mutex_);
  Call("LeaveCriticalSection", [&] { return Hex(section); });
  time_.Leave(section);
}

void HostedPlatform::DeleteCriticalSection(HLock section) {
  if (section == nullptr) return;  // before the log, as the plug-in never deletes none
  Lock lock(mutex_);
  Call("DeleteCriticalSection", [&] { return Hex(section); });
  time_.Delete(section);
}

int32_t HostedPlatform::VNXEventW(const VnxEventArgs& args) {
  Lock lock(mutex_);
  if (Call("VNXEventW", [&] { return std::to_string(args.eventCode); })) return -1;
  return maker_.Post(args);
}

void* HostedPlatform::IpcAllocateMessage(uint32_t size) {
  Lock lock(mutex_);
  if (Call("IpcAllocateMessage", [&] { return std::to_string(size); })) return nullptr;
  return maker_.IpcAllocateMessage(size);
}

int32_t HostedPlatform::IpcReleaseMessage(void* message) {
  Lock lock(mutex_);
  if (Call("IpcReleaseMessage", [&] { return Hex(message); })) return 0;
  return maker_.IpcReleaseMessage(message);
}

bool HostedPlatform::WriteFile(HFile file, const void* buffer, uint32_t size, uint32_t* written) {
  Lock lock(mutex_);
  if (Call("WriteFile", [&] { return Hex(file) + ", " + std::to_string(size); })) {
    if (written != nullptr) *written = 0;
    return false;
  }
  return disk_.Write(file, buffer, size, written);
}

uint32_t HostedPlatform::SetFilePointer(HFile file, int32_t distance, uint32_t moveMethod) {
  Lock lock(mutex_);
  if (Call("SetFilePointer", [&] {
        return Hex(file) + ", " + std::to_string(distance) + ", " + std::to_string(moveMethod);
      })) {
    return kInvalidSetFilePointer;
  }
  return disk_.Seek(file, distance, moveMethod);
}

bool HostedPlatform::SetEndOfFile(HFile file) {
  Lock lock(mutex_);
  if (Call("SetEndOfFile", [&] { return Hex(file); })) return false;
  return disk_.SetEnd(file);
}

uint32_t HostedPlatform::GetFileSize(HFile file) {
  Lock lock(mutex_);
  if (Call("GetFileSize", [&] { return Hex(file); })) return kInvalidFileSize;
  return disk_.Size(file);
}

namespace {
uint64_t Join64(uint32_t low, uint32_t high) { return (uint64_t{high} << 32) | low; }
}  // namespace

bool HostedPlatform::LockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh,
                              uint32_t lengthLow, uint32_t lengthHigh) {
  Lock lock(mutex_);
  if (Call("LockFile", [&] {
        return Hex(file) + ", " + Hex(offsetLow) + ", " + Hex(offsetHigh) + ", " + Hex(lengthLow) +
               ", " + Hex(lengthHigh);
      })) {
    return false;
  }
  return disk_.Lock(file, Join64(offsetLow, offsetHigh), Join64(lengthLow, lengthHigh));
}

bool HostedPlatform::UnlockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh,
                                uint32_t lengthLow, uint32_t lengthHigh) {
  Lock lock(mutex_);
  if (Call("UnlockFile", [&] {
        return Hex(file) + ", " + Hex(offsetLow) + ", " + Hex(offsetHigh) + ", " + Hex(lengthLow) +
               ", " + Hex(lengthHigh);
      })) {
    return false;
  }
  return disk_.Unlock(file, Join64(offsetLow, offsetHigh), Join64(lengthLow, lengthHigh));
}

void HostedPlatform::GetSystemTime(SystemTime* time) {
  Lock lock(mutex_);
  Call("GetSystemTime");
  if (time != nullptr) *time = eventLog_.Utc();
}

void HostedPlatform::GetLocalTime(SystemTime* time) {
  Lock lock(mutex_);
  Call("GetLocalTime");
  if (time != nullptr) *time = eventLog_.Local();
}

HEventLog HostedPlatform::RegisterEventSourceW(const char16_t* serverName,
                                               const char16_t* sourceName) {
  Lock lock(mutex_);
  if (Call("RegisterEventSourceW", [&] { return Text(serverName) + ", " + Text(sourceName); })) {
    return nullptr;
  }
  return serverName == nullptr ? eventLog_.Register(sourceName) : nullptr;
}

bool HostedPlatform::ReportEventW(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
                                  uint16_t stringCount, const char16_t* const* strings) {
  Lock lock(mutex_);
  if (Call("ReportEventW", [&] {
        return Hex(log) + ", " + std::to_string(type) + ", " + std::to_string(category) + ", " +
               std::to_string(eventId) + ", " + std::to_string(stringCount);
      })) {
    return false;
  }
  return eventLog_.Report(log, type, category, eventId, stringCount, strings);
}

bool HostedPlatform::DeregisterEventSource(HEventLog log) {
  Lock lock(mutex_);
  if (Call("DeregisterEventSource", [&] { return Hex(log); })) return false;
  return eventLog_.Deregister(log);
}

}  // namespace qel
