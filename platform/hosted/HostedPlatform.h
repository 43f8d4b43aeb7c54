// The hosted platform: the plug-in's Windows world, simulated in-process so the
// logic runs and is tested anywhere.
//
// - Registry: an in-memory tree, filled in code or from a REGEDIT4 export.
// - ANSI code page: Windows-1252, exactly.
// - Files: Windows paths map onto a folder on disk (drive letter = subfolder,
//   both separators, names matched ignoring ASCII case).
// - Modules: data files are real PE files read for their string tables; code
//   libraries come from a registry of in-process libraries by file name.
// - Window stations, desktops, the event library and the synchronisation calls
//   are recorded; nothing really sleeps or waits. Critical sections are real
//   locks, and a test can see which threads wait to enter one.
// - Every call is logged by name and can be told to fail.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedRegistry.h"

namespace qel {

class PeResources;

// What the stand-in event library saw of one post, decoded.
struct PostedEvent {
  struct Attribute {
    std::u16string name;
    uint32_t type = 0;
    std::u16string value;
    bool operator==(const Attribute& o) const {
      return name == o.name && type == o.type && value == o.value;
    }
  };
  std::u16string source;
  std::vector<std::u16string> typePath;  // the entries before the null pointer
  std::u16string text;
  std::string language;
  int32_t eventCode = 0;
  std::vector<Attribute> attributes;  // the records before the null pointer
  std::string destination;
  int32_t reservedArguments[4] = {};  // arguments 5, 8, 9 and 11 as passed
  int32_t result = 0;                 // what the post returned
};

class HostedPlatform : public Platform {
 public:
  // Exports of an in-process code library: name -> entry point.
  using ExportTable = std::map<std::string, void*>;

  HostedPlatform();
  ~HostedPlatform() override;

  // ---- Test and tool controls ----------------------------------------------
  // Makes the named call (e.g. "SetThreadDesktop") fail the next |times| times;
  // -1 makes it fail until cleared.
  void FailCall(const std::string& call, int times = -1);
  void ClearFailures();
  // Every call made through the seam, in order, as "Name(arguments)".
  const std::vector<std::string>& CallLog() const { return callLog_; }
  // How often the named call was made since the log was last cleared.
  int CallCount(const std::string& call) const;
  // On by default. Off, each call is logged by its name only and CallLog()
  // stays empty: a long run that reads no arguments does not pay for
  // formatting them. CallCount() and FailCall() work either way.
  void LogCallArguments(bool on) { logArguments_ = on; }
  void ClearCallLog() {
    callLog_.clear();
    callNames_.clear();
  }
  // Forgets the call log, the posts and the sleeps: a long run calls this
  // between events so that nothing grows with their number.
  void ClearRecords() {
    ClearCallLog();
    events_.clear();
    sleeps_.clear();
  }

  HostedRegistry& Registry() { return registry_; }

  // Windows drive X: maps onto <root>/X (any letter case).
  void SetDiskRoot(const std::filesystem::path& root) { diskRoot_ = root; }
  const std::filesystem::path& DiskRoot() const { return diskRoot_; }
  // The disk path of a Windows path, matching each existing name ignoring
  // ASCII case; std::nullopt when no disk root is set or the path is not absolute.
  std::optional<std::filesystem::path> MapPath(const std::string& windowsPath) const;
  std::optional<std::filesystem::path> MapPath(const std::u16string& windowsPath) const;

  // Opening |windowsPath| opens the file |diskFile| instead.
  void SubstituteFile(const std::u16string& windowsPath, const std::filesystem::path& diskFile);
  // Gives the file at |windowsPath| the read-only attribute: it opens for
  // reading, never for writing (whoever the tests run as).
  void SetReadOnly(const std::string& windowsPath);

  // The host executable's Windows path (may name a PE file with resources,
  // or a file that does not exist, which then has none).
  void SetHostExecutable(const std::string& windowsPath) { hostExecutable_ = windowsPath; }
  void SetUserDefaultLCID(uint32_t lcid) { lcid_ = lcid; }
  // VER_PLATFORM_WIN32_NT (2) by default; 1 is the Windows 9x family.
  void SetPlatformId(uint32_t id) { platformId_ = id; }
  void SetTickCount(uint32_t ticks) { tickCount_ = ticks; }

  // Offers an in-process library under a file name (matched ignoring case,
  // without folder). LoadLibraryA of that name then succeeds.
  void InstallCodeLibrary(const std::string& fileName, ExportTable exports);
  void RemoveCodeLibrary(const std::string& fileName);
  // The two IPC imports by number go to these functions (by default an
  // allocator that fills each message with kFreshIpcMessageFill, and its
  // release).
  static constexpr uint8_t kFreshIpcMessageFill = 0xCD;
  void SetIpcImports(std::function<void*(uint32_t)> allocate,
                     std::function<int32_t(void*)> release);

  // Modules currently loaded (code or data), and how often each was loaded
  // and released since the start.
  int LoadedModuleCount() const { return static_cast<int>(modules_.size()); }
  int LoadCount() const { return loads_; }
  int ReleaseCount() const { return releases_; }

  // What each post returns, in order; once empty, posts return 0.
  void QueueEventResults(std::initializer_list<int32_t> results);
  const std::vector<PostedEvent>& Events() const { return events_; }
  // Every Sleep, in order (no real time passes).
  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }
  // Called by every Sleep with its argument, on the sleeping thread and
  // outside the platform's own lock: a test acts while a caller is inside
  // its wait.
  void SetSleepHook(std::function<void(uint32_t)> hook);

  // Threads inside EnterCriticalSection that do not own the section yet,
  // counted over all critical sections.
  int ThreadsWaitingToEnter() const;

  // Window station and desktop state: which handle is current, and which
  // opened handles are still open.
  HWinSta CurrentWindowStation() const { return processStation_; }
  HDesk CurrentDesktop() const { return threadDesktop_; }
  HWinSta OriginalWindowStation() const;
  HDesk OriginalDesktop() const;
  int OpenDesktopObjects() const { return static_cast<int>(openDesktopObjects_.size()); }

  // Result of every WaitForSingleObject (kWaitObject0 by default).
  void SetWaitResult(uint32_t result) { waitResult_ = result; }

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

 private:
  struct Module {
    std::string path;  // as loaded (Windows form)
    int references = 0;
    std::shared_ptr<const PeResources> resources;  // data files and PE host executables
    const ExportTable* exports = nullptr;          // code libraries
  };

  // Logs the call and tells whether it should fail now. |arguments| formats
  // the call's arguments for the log, and runs only while it keeps them.
  template <typename FormatArguments>
  bool Call(const char* name, const FormatArguments& arguments);
  bool Call(const char* name);
  Module* FindModule(HModule module);
  const PeResources* ResourcesOf(HModule module);
  HModule AddModule(Module module);
  HFile OpenExistingFile(std::optional<std::filesystem::path> disk, uint32_t access,
                         uint32_t creation);
  // What tells one version of a file from another.
  struct FileIdentity {
    int64_t size = 0;
    int64_t modified = 0;  // in the file system's own unit
    bool operator==(const FileIdentity& o) const {
      return size == o.size && modified == o.modified;
    }
  };
  static std::optional<FileIdentity> IdentityOf(const std::filesystem::path& file);
  // What the PE file at |windowsPath| holds; null when it is missing or not a
  // well-formed image.
  std::shared_ptr<const PeResources> ReadPe(const std::string& windowsPath);

  struct CriticalSection {
    SystemLock lock;
    int waiting = 0;  // threads that entered the call and do not own the lock yet
  };

  mutable SystemLock mutex_;  // the dispatcher tests call from several threads
  bool logArguments_ = true;
  std::vector<std::string> callLog_;
  std::vector<const char*> callNames_;  // of every call, arguments logged or not
  std::map<std::string, int, std::less<>> failures_;

  HostedRegistry registry_;
  std::map<uintptr_t, const HostedRegistry::Key*> openKeys_;
  std::filesystem::path diskRoot_;
  std::set<std::filesystem::path> readOnlyFiles_;  // as mapped onto the disk
  std::map<std::filesystem::path, std::filesystem::path> substituteFiles_;
  std::map<uintptr_t, std::unique_ptr<std::ifstream>> files_;  // open files
  std::string hostExecutable_ = "C:\\Program Files\\Host\\host.exe";
  std::shared_ptr<const PeResources> hostResources_;
  bool hostResourcesRead_ = false;
  uint32_t lcid_ = 0x0409;
  uint32_t platformId_ = kVerPlatformWin32Nt;
  uint32_t tickCount_ = 1000;
  uint32_t errorMode_ = 0;

  std::map<std::string, ExportTable> codeLibraries_;  // key: upper-case file name
  std::map<uintptr_t, Module> modules_;
  // A module file is read and parsed once for as long as it keeps its size and
  // modification time: a string load per event would otherwise read the whole
  // plug-in from disk each time. Loads and releases are still counted per call.
  struct ParsedFile {
    std::filesystem::path disk;  // where the Windows path led
    FileIdentity identity;
    std::shared_ptr<const PeResources> resources;  // null: not a well-formed image
  };
  std::map<std::string, ParsedFile> parsedFiles_;  // key: the Windows path as loaded
  uintptr_t nextHandle_ = 0x10000;
  int loads_ = 0;
  int releases_ = 0;
  std::function<void*(uint32_t)> ipcAllocate_;
  std::function<int32_t(void*)> ipcRelease_;

  std::deque<int32_t> eventResults_;
  std::vector<PostedEvent> events_;
  std::vector<uint32_t> sleeps_;
  std::function<void(uint32_t)> sleepHook_;
  std::map<uintptr_t, std::unique_ptr<CriticalSection>> criticalSections_;

  HWinSta processStation_;
  HDesk threadDesktop_;
  std::set<uintptr_t> openDesktopObjects_;
  uint32_t waitResult_ = kWaitObject0;
};

}  // namespace qel
