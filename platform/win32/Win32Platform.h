// The real Windows platform. This header stays free of <windows.h>; only the
// .cpp beside it includes it.
#pragma once

#include "platform/Platform.h"

namespace qel {

class Win32Platform final : public Platform {
 public:
  // The one instance the plug-in uses; it holds no state.
  static Platform& Instance();

  long RegOpenKeyExA(HKey root, const char* subKey, uint32_t options, uint32_t access,
                     HKey* result) override;
  long RegQueryValueExA(HKey key, const char* valueName, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
  long RegCloseKey(HKey key) override;

  int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide, int wideLength,
                          char* out, int outSize, const char* defaultChar,
                          int* usedDefault) override;
  int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow, int narrowLength,
                          char16_t* out, int outSize) override;

  HModule LoadLibraryA(const char* fileName) override;
  HModule LoadLibraryExA(const char* fileName, uint32_t flags) override;
  bool FreeLibrary(HModule module) override;
  void* GetProcAddress(HModule module, const char* name) override;
  uint32_t SetErrorMode(uint32_t mode) override;
  int LoadStringA(HModule module, uint32_t id, char* buffer, int size) override;
  bool EnumResourceNamesA(HModule module, ResourceName type,
                          const EnumResourceNameCallback& callback) override;
  bool EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                              const EnumResourceLanguageCallback& callback) override;
  HModule GetModuleHandleA(const char* name) override;
  uint32_t GetModuleFileNameA(HModule module, char* buffer, uint32_t size) override;
  int32_t OpenFile(const char* path, uint32_t style) override;

  HFile CreateFileW(const char16_t* path, uint32_t access, uint32_t shareMode,
                    uint32_t creation) override;
  HFile CreateFileA(const char* path, uint32_t access, uint32_t shareMode,
                    uint32_t creation) override;
  bool ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) override;
  bool CloseHandle(HFile file) override;

  size_t VirtualQuery(const void* address, MemoryBasicInformation* info) override;

  uint32_t GetUserDefaultLCID() override;
  bool GetVersionExA(OsVersionInfoA* info) override;

  HWinSta GetProcessWindowStation() override;
  uint32_t GetCurrentThreadId() override;
  HDesk GetThreadDesktop(uint32_t threadId) override;
  HWinSta OpenWindowStationA(const char* name, bool inherit, uint32_t access) override;
  bool SetProcessWindowStation(HWinSta station) override;
  HDesk OpenDesktopA(const char* name, uint32_t flags, bool inherit, uint32_t access) override;
  bool SetThreadDesktop(HDesk desktop) override;
  bool CloseWindowStation(HWinSta station) override;
  bool CloseDesktop(HDesk desktop) override;

  uint32_t GetTickCount() override;
  void Sleep(uint32_t milliseconds) override;
  uint32_t WaitForSingleObject(HSync handle, uint32_t milliseconds) override;
  bool ReleaseMutex(HSync mutex) override;
  bool SetEvent(HSync event) override;
  bool PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
  void PostQuitMessage(int exitCode) override;

  HLock CreateCriticalSection() override;
  void EnterCriticalSection(HLock lock) override;
  void LeaveCriticalSection(HLock lock) override;
  void DeleteCriticalSection(HLock lock) override;

  int32_t VNXEventW(const VnxEventArgs& args) override;

  void* IpcAllocateMessage(uint32_t size) override;
  int32_t IpcReleaseMessage(void* message) override;

  bool WriteFile(HFile file, const void* buffer, uint32_t size, uint32_t* written) override;
  uint32_t SetFilePointer(HFile file, int32_t distance, uint32_t moveMethod) override;
  bool SetEndOfFile(HFile file) override;
  uint32_t GetFileSize(HFile file) override;
  bool LockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh, uint32_t lengthLow,
                uint32_t lengthHigh) override;
  bool UnlockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh, uint32_t lengthLow,
                  uint32_t lengthHigh) override;

  void GetSystemTime(SystemTime* time) override;
  void GetLocalTime(SystemTime* time) override;

  HEventLog RegisterEventSourceW(const char16_t* serverName, const char16_t* sourceName) override;
  bool ReportEventW(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
                    uint16_t stringCount, const char16_t* const* strings) override;
  bool DeregisterEventSource(HEventLog log) override;
};

}  // namespace qel
