// The platform seam: every call the plug-in makes into the operating system or
// into the maker's two libraries goes through this one interface.
//
// platform/win32/ implements it with the real calls, one call each and no logic.
// platform/hosted/ implements it on any OS for tests and tools. The logic above
// never asks which one it has.
//
// The calls keep their Windows names, arguments and results so that the logic
// reads like the code that runs on Windows; only handle types are opaque and
// wide text is char16_t (16-bit units on every platform).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

// The maker's libraries and our exports use the convention in which the callee
// removes its arguments. It only exists on 32-bit x86 Windows.
#if defined(_WIN32) && defined(__i386__)
#define QEL_STDCALL __stdcall
#else
#define QEL_STDCALL
#endif

#if defined(_WIN32) && defined(__i386__)
// platform/win32/: calls |entry| with |argument| as its one stack argument and
// returns what it leaves in EAX. The stack pointer is restored from a frame
// register that both conventions preserve, so the call is right whether the
// entry removes its argument itself (__stdcall) or leaves that to its caller
// (__cdecl).
extern "C" uint32_t QelCallRestoringStack(const void* entry, uint32_t argument);
#endif

namespace qel {

// Calls a library entry point of one 32-bit argument whose calling convention
// the library does not fix (the IPC library's QelUseInputDesktop,
// AllocateMessage, EnqueueMessage and its exports 5 and 6). The pointer type
// names __stdcall only because a type must name one. Off 32-bit Windows there
// is one convention, and the call is an ordinary one. A seam of the target
// machine rather than of the platform object: the hosted platform's stand-in
// libraries in a win32 build are called the same way.
template <typename Result, typename Argument>
Result CallEitherConvention(Result(QEL_STDCALL* entry)(Argument), Argument argument) {
#if defined(_WIN32) && defined(__i386__)
  static_assert(sizeof(Result) == 4 && sizeof(Argument) == 4, "one 32-bit argument and result");
  uint32_t raw = 0;
  std::memcpy(&raw, &argument, sizeof raw);
  raw = QelCallRestoringStack(reinterpret_cast<const void*>(entry), raw);
  Result result;
  std::memcpy(&result, &raw, sizeof result);
  return result;
#else
  return entry(argument);
#endif
}

// Opaque handles. Each kind is a distinct type so that a desktop cannot be
// passed where a window station is expected.
#define QEL_DECLARE_HANDLE(name) \
  struct name##Tag;              \
  using name = name##Tag*
QEL_DECLARE_HANDLE(HKey);
QEL_DECLARE_HANDLE(HModule);
QEL_DECLARE_HANDLE(HWinSta);
QEL_DECLARE_HANDLE(HDesk);
QEL_DECLARE_HANDLE(HSync);  // a mutex or an event
QEL_DECLARE_HANDLE(HLock);  // a critical section
QEL_DECLARE_HANDLE(HFile);
QEL_DECLARE_HANDLE(HEventLog);  // an event source registered with the event log
#undef QEL_DECLARE_HANDLE

// HKEY_LOCAL_MACHINE is a predefined handle value, not a pointer to anything.
inline HKey HkeyLocalMachine() { return reinterpret_cast<HKey>(uintptr_t{0x80000002u}); }
// What CreateFileA and CreateFileW return when they fail.
inline HFile InvalidHandleValue() { return reinterpret_cast<HFile>(~uintptr_t{0}); }

// Values of the Windows constants that the logic passes or tests.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;
constexpr uint32_t kKeyRead = 0x20019;
// With kKeyRead: the 64-bit registry view, from a 32-bit program on 64-bit
// Windows (ignored on 32-bit Windows).
constexpr uint32_t kKeyWow64_64Key = 0x0100;
constexpr uint32_t kCpAcp = 0;
constexpr uint32_t kMbPrecomposed = 0x1;
constexpr uint32_t kSemFailCriticalErrors = 0x0001;
constexpr uint32_t kSemNoOpenFileErrorBox = 0x8000;
constexpr uint32_t kLoadLibraryAsDatafile = 0x2;
constexpr uint32_t kOfExist = 0x4000;
constexpr int32_t kHfileError = -1;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kVerPlatformWin32Nt = 2;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWmUser = 0x0400;
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kFileShareRead = 0x1;
constexpr uint32_t kFileShareWrite = 0x2;
constexpr uint32_t kOpenExisting = 3;

// For the undelivered-events file and the event log.
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kInvalidSetFilePointer = 0xFFFFFFFFu;
constexpr uint32_t kInvalidFileSize = 0xFFFFFFFFu;
constexpr uint16_t kEventLogErrorType = 0x0001;
constexpr uint16_t kEventLogWarningType = 0x0002;
// An entry that reports a decision rather than a fault (the layout of a
// caller's strings).
constexpr uint16_t kEventLogInformationType = 0x0004;

// SYSTEMTIME: 16 bytes, a calendar date and time of day.
struct SystemTime {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(SystemTime) == 16, "SYSTEMTIME is 16 bytes");

// A resource type or name: either a pointer to text or, as Windows does it, a
// 16-bit integer id carried in the pointer value (MAKEINTRESOURCE).
using ResourceName = const char*;
inline ResourceName MakeIntResource(uint16_t id) {
  return reinterpret_cast<ResourceName>(uintptr_t{id});
}
inline bool IsIntResource(ResourceName name) {
  return (reinterpret_cast<uintptr_t>(name) >> 16) == 0;
}
inline uint16_t ResourceId(ResourceName name) {
  return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name));
}
const ResourceName kRtString = reinterpret_cast<ResourceName>(uintptr_t{6});

// Return false from a callback to stop the enumeration, as in Windows.
using EnumResourceNameCallback = std::function<bool(ResourceName name)>;
using EnumResourceLanguageCallback = std::function<bool(uint16_t language)>;

// OSVERSIONINFOA: 148 bytes, the size the caller writes into the first field.
struct OsVersionInfoA {
  uint32_t dwOSVersionInfoSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfoA) == 148, "OSVERSIONINFOA is 148 bytes");

// MEMORY_BASIC_INFORMATION: a run of pages that share their state and
// protection, and the allocation they belong to.
struct MemoryBasicInformation {
  const void* baseAddress;
  const void* allocationBase;
  uint32_t allocationProtect;
  size_t regionSize;
  uint32_t state;    // kMemCommit, kMemReserve or kMemFree
  uint32_t protect;  // kPage*, with kPageGuard added for a guard page
  uint32_t type;
};
constexpr uint32_t kMemCommit = 0x1000;
constexpr uint32_t kMemReserve = 0x2000;
constexpr uint32_t kMemFree = 0x10000;
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kPageReadWrite = 0x04;
constexpr uint32_t kPageGuard = 0x100;

// One named, typed value passed with an event. The event library reads it as
// a 20-byte record on 32-bit Windows: name, two zero words, type, value.
struct EventAttribute {
  const char16_t* name;
  uint32_t reserved1;
  uint32_t reserved2;
  uint32_t type;
  const char16_t* value;
};
constexpr uint32_t kEventAttributeWideString = 9;

// The event library's entry point, with its eleven 32-bit arguments in order.
struct VnxEventArgs {
  const char16_t* source;
  const char16_t* const* typePath;  // type name, category, null
  const char16_t* text;
  const char* language;
  int32_t arg5;
  int32_t eventCode;
  EventAttribute* const* attributes;  // null-terminated list
  int32_t arg8;
  int32_t arg9;
  const char* destination;
  int32_t arg11;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // ---- Registry -----------------------------------------------------------
  // Opens |subKey| under |root| with |access|; on success stores the key in
  // *result and returns kErrorSuccess, otherwise returns a Windows error code.
  virtual long RegOpenKeyExA(HKey root, const char* subKey, uint32_t options, uint32_t access,
                             HKey* result) = 0;
  // Copies the value's bytes into |data| when they fit in *size bytes and
  // returns kErrorSuccess; *size receives the value's size. A value that does
  // not fit gives kErrorMoreData, a missing one kErrorFileNotFound.
  virtual long RegQueryValueExA(HKey key, const char* valueName, uint32_t* type, uint8_t* data,
                                uint32_t* size) = 0;
  virtual long RegCloseKey(HKey key) = 0;

  // ---- Code pages -----------------------------------------------------------
  // Both follow the Windows size-query-then-convert protocol: with an output
  // size of 0 they return the size needed; otherwise they convert and return
  // the number of bytes or units written, or 0 on failure. An explicit input
  // length is always given (no terminator is counted).
  virtual int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide,
                                  int wideLength, char* out, int outSize, const char* defaultChar,
                                  int* usedDefault) = 0;
  virtual int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow,
                                  int narrowLength, char16_t* out, int outSize) = 0;

  // ---- Libraries and resources ---------------------------------------------
  // Loads a code library, running its start-up code. Null on failure.
  virtual HModule LoadLibraryA(const char* fileName) = 0;
  // With kLoadLibraryAsDatafile the module is mapped for its resources only;
  // none of its code runs. Null on failure.
  virtual HModule LoadLibraryExA(const char* fileName, uint32_t flags) = 0;
  // Lowers the module's reference count; the last release unloads it.
  virtual bool FreeLibrary(HModule module) = 0;
  // The address of an exported entry point, or null.
  virtual void* GetProcAddress(HModule module, const char* name) = 0;
  // Sets the process error mode and returns the previous one.
  virtual uint32_t SetErrorMode(uint32_t mode) = 0;
  // Copies string |id| of |module|'s string table, converted to the ANSI code
  // page, into |buffer| (at most size - 1 characters and a terminator) and
  // returns the number of characters copied; 0 when there is no such string.
  virtual int LoadStringA(HModule module, uint32_t id, char* buffer, int size) = 0;
  // Enumerations over a module's resources; a null module means the host
  // executable's own resources. They return false when the enumeration found
  // nothing or was stopped by the callback.
  virtual bool EnumResourceNamesA(HModule module, ResourceName type,
                                  const EnumResourceNameCallback& callback) = 0;
  virtual bool EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                                      const EnumResourceLanguageCallback& callback) = 0;
  // With a null name: the host executable.
  virtual HModule GetModuleHandleA(const char* name) = 0;
  // Copies the module's full path into |buffer| and returns its length; a
  // path that does not fit is cut to size - 1 characters and terminated, and
  // the result is then |size|. 0 on failure.
  virtual uint32_t GetModuleFileNameA(HModule module, char* buffer, uint32_t size) = 0;
  // OpenFile with a style such as kOfExist; kHfileError when the file does not exist.
  virtual int32_t OpenFile(const char* path, uint32_t style) = 0;

  // ---- Files ------------------------------------------------------------------
  // Opens the file at |path| for |access| (kGenericRead, kGenericWrite),
  // sharing it as |shareMode| allows; |creation| kOpenExisting opens only a
  // file that exists. InvalidHandleValue() on failure, also for write access
  // to a read-only file. The wide call reaches the file system with the path
  // itself, so any character the file system allows works; on the 9x family
  // only the ANSI call works.
  virtual HFile CreateFileW(const char16_t* path, uint32_t access, uint32_t shareMode,
                            uint32_t creation) = 0;
  virtual HFile CreateFileA(const char* path, uint32_t access, uint32_t shareMode,
                            uint32_t creation) = 0;
  // Reads at most |size| bytes into |buffer|; *read receives how many, 0 at
  // the end of the file. False on failure.
  virtual bool ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual bool CloseHandle(HFile file) = 0;

  // ---- Memory ----------------------------------------------------------------
  // Describes the region of pages that holds |address| (VirtualQuery): fills
  // |info| and returns sizeof(MemoryBasicInformation), or returns 0 when the
  // address lies outside the process's user address space. It never touches
  // the memory itself, so it answers for any address, mapped or not.
  virtual size_t VirtualQuery(const void* address, MemoryBasicInformation* info) = 0;

  // ---- Locale and version ---------------------------------------------------
  virtual uint32_t GetUserDefaultLCID() = 0;
  // Fills |info|, whose first field the caller set to 148. False on failure.
  virtual bool GetVersionExA(OsVersionInfoA* info) = 0;

  // ---- Window stations and desktops ----------------------------------------
  virtual HWinSta GetProcessWindowStation() = 0;
  virtual uint32_t GetCurrentThreadId() = 0;
  virtual HDesk GetThreadDesktop(uint32_t threadId) = 0;
  virtual HWinSta OpenWindowStationA(const char* name, bool inherit, uint32_t access) = 0;
  virtual bool SetProcessWindowStation(HWinSta station) = 0;
  virtual HDesk OpenDesktopA(const char* name, uint32_t flags, bool inherit, uint32_t access) = 0;
  virtual bool SetThreadDesktop(HDesk desktop) = 0;
  virtual bool CloseWindowStation(HWinSta station) = 0;
  virtual bool CloseDesktop(HDesk desktop) = 0;

  // ---- Time and synchronisation --------------------------------------------
  virtual uint32_t GetTickCount() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
  virtual uint32_t WaitForSingleObject(HSync handle, uint32_t milliseconds) = 0;
  virtual bool ReleaseMutex(HSync mutex) = 0;
  virtual bool SetEvent(HSync event) = 0;
  virtual bool PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) = 0;
  virtual void PostQuitMessage(int exitCode) = 0;

  // ---- Critical sections ---------------------------------------------------
  // A new critical section (InitializeCriticalSection on a heap object); null when out of memory.
  virtual HLock CreateCriticalSection() = 0;
  // Blocks until the calling thread owns |lock|; the owner may enter again.
  virtual void EnterCriticalSection(HLock lock) = 0;
  virtual void LeaveCriticalSection(HLock lock) = 0;
  // Frees a critical section that no thread owns; null is ignored.
  virtual void DeleteCriticalSection(HLock lock) = 0;

  // ---- The maker's event library (vnxsdevt.dll) ----------------------------
  virtual int32_t VNXEventW(const VnxEventArgs& args) = 0;

  // ---- The maker's IPC library (VOVURU32.DLL), the two imports by number ---
  // Export 5: a writable message buffer of at least |size| bytes, or null.
  virtual void* IpcAllocateMessage(uint32_t size) = 0;
  // Export 6: releases a message; the result means nothing to the caller.
  virtual int32_t IpcReleaseMessage(void* message) = 0;

  // ---- Appending to a file (the undelivered-events file) -------------------
  // CreateFileW and CreateFileA above open for appending too: |creation|
  // kOpenAlways opens the file or creates an empty one, never the folder.
  //
  // Writes |size| bytes at the file's position and moves it past them;
  // *written receives how many were written. False on failure (a full disk
  // gives false or fewer bytes than asked for).
  virtual bool WriteFile(HFile file, const void* buffer, uint32_t size, uint32_t* written) = 0;
  // Moves the file's position |distance| bytes from the start (kFileBegin)
  // or the end (kFileEnd) and returns the new position, or
  // kInvalidSetFilePointer on failure. Only files below 4 GB are meant.
  virtual uint32_t SetFilePointer(HFile file, int32_t distance, uint32_t moveMethod) = 0;
  // Makes the file's position its end: what lies beyond it is cut off.
  virtual bool SetEndOfFile(HFile file) = 0;
  // The file's size in bytes, or kInvalidFileSize on failure (files below 4 GB).
  virtual uint32_t GetFileSize(HFile file) = 0;
  // Locks a byte range for this handle. The lock is the system's, so it
  // holds against every other handle, in this process or another: their
  // reads and writes of the range and their own locks of it fail until it
  // is unlocked. Fails at once, without waiting, when another handle holds
  // a lock on any of the range.
  virtual bool LockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh, uint32_t lengthLow,
                        uint32_t lengthHigh) = 0;
  // Releases exactly a range that LockFile locked through this handle.
  virtual bool UnlockFile(HFile file, uint32_t offsetLow, uint32_t offsetHigh, uint32_t lengthLow,
                          uint32_t lengthHigh) = 0;

  // ---- Date and time ----------------------------------------------------------
  // The current date and time in UTC, and in the local time zone (daylight
  // saving included). Together they give the local offset from UTC.
  virtual void GetSystemTime(SystemTime* time) = 0;
  virtual void GetLocalTime(SystemTime* time) = 0;

  // ---- The Windows event log (Application) ------------------------------------
  // A handle for reporting under |sourceName| on this machine (|serverName|
  // null), or null where there is no event log (Windows 95, 98 and Me) or
  // the call failed. The win32 platform looks the three calls up in
  // ADVAPI32.DLL at run time, so that they add no load-time import.
  virtual HEventLog RegisterEventSourceW(const char16_t* serverName,
                                         const char16_t* sourceName) = 0;
  // Writes one entry of |type| (kEventLogWarningType, kEventLogErrorType)
  // with message |eventId| of the source's message file and its
  // |stringCount| insertion strings, no user and no data. False on failure.
  virtual bool ReportEventW(HEventLog log, uint16_t type, uint16_t category, uint32_t eventId,
                            uint16_t stringCount, const char16_t* const* strings) = 0;
  // Closes a handle of RegisterEventSourceW.
  virtual bool DeregisterEventSource(HEventLog log) = 0;
};

// Whether the platform is of the NT family. The others (the 9x family) have
// no window stations or desktops and no wide file functions.
inline bool IsWindowsNt(Platform& platform) {
  OsVersionInfoA info{};
  info.dwOSVersionInfoSize = sizeof info;
  return platform.GetVersionExA(&info) && info.dwPlatformId == kVerPlatformWin32Nt;
}

}  // namespace qel
