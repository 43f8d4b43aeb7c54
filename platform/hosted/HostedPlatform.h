// The hosted platform: the plug-in's Windows world, simulated in-process so the
// logic runs and is tested anywhere. This class is only the facade: each call
// takes the platform's lock, is logged and may be told to fail (HostedCallLog),
// then goes to the part that owns its concern:
//
//   HostedRegistry        registry keys and values (filled in code or REGEDIT4)
//   HostedCodePage        the ANSI code page, Windows-1252 exactly
//   HostedDisk            Windows paths on a disk folder, files, read-only, substitutes
//   HostedModules         code libraries, PE data files and their resources, the
//                         host's own module (files parsed once: ModuleFileCache)
//   HostedSystemInfo      the user's locale and the version
//   HostedDesktops        window stations and desktops
//   HostedTimeAndLocks    the clock, sleeps and waits (recorded), critical sections
//   HostedMakerLibraries  the event server's answers and posts, the IPC imports
//   HostedMemory          what VirtualQuery says of the process's memory
//   HostedEventLog        the entries reported to the event log, the calendar clock
//
// Nothing really sleeps or waits; critical sections are real locks, and a test
// can see which threads wait to enter one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedCallLog.h"
#include "platform/hosted/HostedDesktops.h"
#include "platform/hosted/HostedDisk.h"
#include "platform/hosted/HostedEventLog.h"
#include "platform/hosted/HostedHandles.h"
#include "platform/hosted/HostedMakerLibraries.h"
#include "platform/hosted/HostedMemory.h"
#include "platform/hosted/HostedModules.h"
#include "platform/hosted/HostedRegistry.h"
#include "platform/hosted/HostedSystemInfo.h"
#include "platform/hosted/HostedTimeAndLocks.h"

namespace qel {

class HostedPlatform : public Platform {
 public:
  using ExportTable = HostedModules::ExportTable;

  HostedPlatform();
  ~HostedPlatform() override;

  // ---- Test and tool controls ----------------------------------------------
  // Makes the named call (e.g. "SetThreadDesktop") fail the next |times| times;
  // -1 makes it fail until cleared.
  void FailCall(const std::string& call, int times = -1);
  void ClearFailures();
  // Every call made through the seam, in order, as "Name(arguments)": a copy,
  // since other threads may go on calling.
  std::vector<std::string> CallLog() const;
  // How often the named call was made since the log was last cleared.
  int CallCount(const std::string& call) const;
  // On by default. Off, each call is logged by its name only and CallLog()
  // stays empty: a long run that reads no arguments does not pay for
  // formatting them. CallCount() and FailCall() work either way.
  void LogCallArguments(bool on);
  void ClearCallLog();
  // Forgets the call log, the posts and the sleeps: a long run calls this
  // between events so that nothing grows with their number.
  void ClearRecords();

  HostedRegistry& Registry() { return registry_; }

  // Windows drive X: maps onto <root>/X (any letter case). What was read of
  // module files under the old root is forgotten.
  void SetDiskRoot(const std::filesystem::path& root);
  const std::filesystem::path& DiskRoot() const { return disk_.Root(); }
  // The disk path of a Windows path, matching each existing name ignoring
  // ASCII case; std::nullopt when no disk root is set or the path is not absolute.
  std::optional<std::filesystem::path> MapPath(const std::string& windowsPath) const {
    return disk_.Map(windowsPath);
  }
  std::optional<std::filesystem::path> MapPath(const std::u16string& windowsPath) const {
    return disk_.Map(windowsPath);
  }

  // Opening |windowsPath| opens the file |diskFile| instead.
  void SubstituteFile(const std::u16string& windowsPath, const std::filesystem::path& diskFile);
  // Gives the file at |windowsPath| the read-only attribute: it opens for
  // reading, never for writing (whoever the tests run as).
  void SetReadOnly(const std::string& windowsPath);

  // The host executable's Windows path (may name a PE file with resources,
  // or a file that does not exist, which then has none).
  void SetHostExecutable(const std::string& windowsPath) {
    modules_.SetHostExecutable(windowsPath);
  }
  void SetUserDefaultLCID(uint32_t lcid) { system_.SetUserDefaultLCID(lcid); }
  // VER_PLATFORM_WIN32_NT (2) by default; 1 is the Windows 9x family.
  void SetPlatformId(uint32_t id) { system_.SetPlatformId(id); }
  void SetTickCount(uint32_t ticks) { time_.SetTickCount(ticks); }

  // Offers an in-process library under a file name (matched ignoring case,
  // without folder). LoadLibraryA of that name then succeeds.
  void InstallCodeLibrary(const std::string& fileName, ExportTable exports);
  void RemoveCodeLibrary(const std::string& fileName);
  // The two IPC imports by number go to these functions (by default an
  // allocator that fills each message with kFreshIpcMessageFill, and its
  // release).
  static constexpr uint8_t kFreshIpcMessageFill = HostedMakerLibraries::kFreshIpcMessageFill;
  void SetIpcImports(std::function<void*(uint32_t)> allocate,
                     std::function<int32_t(void*)> release);

  // Modules currently loaded (code or data), and how often each was loaded
  // and released since the start.
  int LoadedModuleCount() const { return modules_.LoadedCount(); }
  int LoadCount() const { return modules_.LoadCount(); }
  int ReleaseCount() const { return modules_.ReleaseCount(); }

  // What each post returns, in order; once empty, posts return 0.
  void QueueEventResults(std::initializer_list<int32_t> results);
  const std::vector<PostedEvent>& Events() const { return maker_.Events(); }
  // Every Sleep, in order (no real time passes).
  const std::vector<uint32_t>& Sleeps() const { return time_.Sleeps(); }
  // Called by every Sleep with its argument, on the sleeping thread and
  // outside the platform's own lock: a test acts while a caller is inside
  // its wait.
  void SetSleepHook(std::function<void(uint32_t)> hook);

  // Threads inside EnterCriticalSection that do not own the section yet,
  // counted over all critical sections.
  int ThreadsWaitingToEnter() const;

  // Window station and desktop state: which handle is current, and which
  // opened handles are still open.
  HWinSta CurrentWindowStation() const { return desktops_.CurrentWindowStation(); }
  HDesk CurrentDesktop() const { return desktops_.CurrentDesktop(); }
  HWinSta OriginalWindowStation() const { return HostedDesktops::OriginalWindowStation(); }
  HDesk OriginalDesktop() const { return HostedDesktops::OriginalDesktop(); }
  int OpenDesktopObjects() const { return desktops_.OpenObjects(); }

  // What VirtualQuery says of [begin, begin + size) from now on (see
  // HostedMemory; by default all but the first 64 KB is committed read-write).
  void MarkMemory(const void* begin, size_t size, uint32_t state, uint32_t protect);

  // Result of every WaitForSingleObject (kWaitObject0 by default).
  void SetWaitResult(uint32_t result) { time_.SetWaitResult(result); }

  // ---- The undelivered-events file and the event log --------------------------
  // Off by default: no file is created, written or cut, so that a tool that
  // reads a copy of a server's disk never changes it.
  void SetDiskWritable(bool writable);
  // Writes stop short once the disk has taken |bytes| more; std::nullopt
  // (the default): the disk never runs full.
  void SetDiskFreeBytes(std::optional<uint64_t> bytes);
  // Every entry reported to the event log, in order.
  const std::vector<EventLogEntry>& EventLogEntries() const { return eventLog_.Entries(); }
  // Event sources registered and not yet deregistered.
  int OpenEventSources() const { return eventLog_.OpenSources(); }
  // What GetSystemTime and GetLocalTime answer from now on.
  void SetSystemTime(const SystemTime& utc, const SystemTime& local);

  // ---- Platform -------------------------------------------------------------
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

 private:
  // Logs the call and tells whether it should fail now; the caller holds mutex_.
  template <typename FormatArguments>
  bool Call(const char* name, const FormatArguments& arguments) {
    return log_.Record(name, arguments);
  }
  bool Call(const char* name) {
    return log_.Record(name, [] { return std::string(); });
  }
  // CreateFileW and CreateFileA, logged under |call|.
  template <typename Char>
  HFile CreateFileNamed(const char* call, const Char* path, uint32_t access, uint32_t shareMode,
                        uint32_t creation);

  mutable SystemLock mutex_;  // the dispatcher tests call from several threads
  HostedCallLog log_;
  HandleCounter handles_;
  HostedRegistry registry_;
  HostedDisk disk_{handles_};
  HostedModules modules_{disk_, handles_};
  HostedSystemInfo system_;
  HostedDesktops desktops_{handles_};
  HostedTimeAndLocks time_{handles_};
  HostedMakerLibraries maker_;
  HostedMemory memory_;
  HostedEventLog eventLog_{handles_};
};

}  // namespace qel
