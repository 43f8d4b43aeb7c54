// A stand-in for the product's host service, run under Windows (or Wine). It
// installs the plug-in and the two stand-in libraries in a fresh folder,
// registers that folder under the product's registry key the way the installer
// does, loads the plug-in with LoadLibrary, calls its exports as the host does,
// with wide string objects made by the C++ library of a host (see HostStrings.h),
// and reads what the stand-in event library recorded. It exercises the real
// platform layer where the hosted one only imitates: an installation folder
// whose name is not ASCII (read back through the ANSI code page), a read-only
// properties file, the user's locale with or without language folders beside
// this program, real waits, the module loaded and freed twice in one process,
// host objects it cannot read, and older Windows as Wine reports them.
//
//   qel_testhost [--layout L] [--strings S] [--check events|survival|refused]
//                [--registry-layout VALUE] [--via caller-dll]
//                [--as win98|nt40] [--language CODE]
//     The checks, on the package's one plug-in, which must read this host's
//     strings in layout L (msvc6, msvc7, msvc10 or mingw; default msvc6, the
//     built-in one): each copy of this program imports the C++ library named
//     in its file name (qel_testhost_msvcp90.exe imports msvcp90.dll), the
//     plain qel_testhost.exe none. It passes strings of S: a runtime DLL
//     (msvcp60.dll ... msvcp90.dll), std::wstring, or a layout's name for
//     objects laid out byte by byte (default: the layout's own library).
//     "events" checks every posted event, CODE being the language each must
//     carry (default "en"); "survival" passes strings of another library and
//     checks that each call answers 0, 2 or 14, the host lives and whatever
//     is posted carries exactly the texts passed; "refused" checks that every
//     call answers 14 and nothing is posted. --registry-layout writes VALUE
//     as HostStringLayout under the product key for the run. --via caller-dll
//     calls ProcessEvent from qel_callerdll.dll (which imports msvcp71.dll)
//     rather than from this program. --as
//     runs the checks in a copy of this program that Wine tells it runs on
//     Windows 98 or NT 4.0.
//   qel_testhost [--layout L] [--strings S] --replay CALLS --properties FILE
//                --results LIST --events OUT
//     InitMap with FILE as the properties file, then one ProcessEvent per line
//     of CALLS (tab-separated: line, eventCode, className, eventText,
//     categoryAttribute, target; UTF-8, with \\ \t \n \r escaped), the event
//     server answering LIST (e.g. "18,0"). The stand-in's JSON lines go to
//     OUT; each call prints "call LINE: returned RESULT after MS ms".
//
// The DLLs come from the folder "testhost-payload" beside this program: the
// stand-ins and the plug-in. Exit
// code 0 when everything matched, 1 on a mismatch, 2 when the run could not
// be set up (for example because a real installation is registered: its key
// is left alone).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "stubs/vnxsdevt/EventRecord.h"
#include "tests/bridge/host/HostStrings.h"
#include "tests/support/ProductRegistration.h"

namespace {

using namespace std::string_view_literals;
using qel::test::Narrow;
using qel::test::ProductRegistration;

const wchar_t* const kPayload[] = {L"vnxsdevt.dll", L"VOVURU32.DLL"};

int failures = 0;
// --registry-layout and --via: the same for the whole run.
std::wstring registryLayout;
std::wstring via;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

void CheckResult(int got, int want, const std::string& what) {
  Check(got == want, what + (got == want ? "" : " (returned " + std::to_string(got) + ")"));
}

std::string Utf8(const std::wstring& text) { return Narrow(CP_UTF8, text); }

std::u16string Wide(const std::string& utf8) {
  if (utf8.empty()) return std::u16string();
  int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::u16string out(size > 0 ? size : 0, u'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                        reinterpret_cast<wchar_t*>(&out[0]), size);
  }
  return out;
}

// True when |text| survives the ANSI code page unchanged, as a path that the
// installer writes there must.
bool FitsAnsiCodePage(const std::wstring& text) {
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
  return !lossy;
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return FolderOf(std::wstring(path, length));
}

// A fresh installation folder with its ci subfolder under the temporary
// folder, its name holding a letter outside ASCII ("é", which the ANSI code
// pages of Western Europe have). Whatever can be removed goes when the object
// does; the IPC library stays loaded until the process ends, so its file may
// stay behind.
class InstallFolder {
 public:
  bool Create(std::string* error) {
    wchar_t temp[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp, length) + L"qel-testhost-\u00e9-" +
            std::to_wstring(GetCurrentProcessId()) + L"\\";
    if (length == 0 || !FitsAnsiCodePage(root_)) {
      *error = "the ANSI code page (" + std::to_string(GetACP()) + ") cannot hold " + Utf8(root_);
      return false;
    }
    ci_ = root_ + L"ci\\";
    if (!CreateDirectoryW(root_.c_str(), nullptr) || !CreateDirectoryW(ci_.c_str(), nullptr)) {
      *error = "cannot create " + Utf8(ci_);
      return false;
    }
    return true;
  }
  ~InstallFolder() {
    if (ci_.empty()) return;
    for (const std::wstring& file : files_) {
      SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(file.c_str());
    }
    RemoveDirectoryW(ci_.c_str());
    RemoveDirectoryW(root_.c_str());
  }
  std::wstring Add(const std::wstring& relative) {
    files_.push_back(root_ + relative);
    return files_.back();
  }
  const std::wstring& Root() const { return root_; }
  const std::wstring& Ci() const { return ci_; }

 private:
  std::wstring root_;
  std::wstring ci_;
  std::vector<std::wstring> files_;
};

bool WriteFile(const std::wstring& path, const std::string& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool ReadFile(const std::wstring& path, std::string* bytes) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return false;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes->append(buffer, got);
  bool read = !std::ferror(file);
  std::fclose(file);
  return read;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::string bytes;
  std::vector<std::string> lines;
  ReadFile(path, &bytes);
  size_t start = 0;
  for (size_t end = bytes.find('\n'); end != std::string::npos; end = bytes.find('\n', start)) {
    lines.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

// What a run installs; the registration goes before the folder.
struct Installation {
  InstallFolder folder;
  ProductRegistration registration;
  // Deleted before the registration takes the product key away.
  struct LayoutValue {
    bool written = false;
    ~LayoutValue() {
      HKEY key = nullptr;
      if (!written || RegOpenKeyExA(HKEY_LOCAL_MACHINE, qel::test::kProductKey, 0, KEY_SET_VALUE,
                                    &key) != ERROR_SUCCESS) {
        return;
      }
      RegDeleteValueA(key, "HostStringLayout");
      RegCloseKey(key);
    }
  } layoutValue;
  std::wstring log;
};

// The installation folder, registered, with the plug-in and the stand-ins in
// ci\ and |properties| as ci\qelevent.properties, made read-only as a locked-
// down server may have it, and the stand-in's event log at |log|, emptied
// first (by default a file in the folder). Returns 0, or 2 after saying what
// failed.
int Install(Installation& installation, const std::string& properties,
            const std::wstring& log = {}) {
  InstallFolder& install = installation.folder;
  std::string error;
  if (!install.Create(&error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }
  // The payload holds the stand-ins and the plug-in, the same for every run.
  std::wstring payload = ProgramFolder() + L"testhost-payload\\";
  std::vector<std::pair<std::wstring, std::wstring>> copies = {
      {payload + L"qelevent.dll", L"qelevent.dll"}};
  for (const wchar_t* name : kPayload) copies.emplace_back(payload + name, name);
  for (const auto& [from, name] : copies) {
    std::wstring target = install.Add(L"ci\\" + name);
    if (!CopyFileW(from.c_str(), target.c_str(), FALSE)) {
      std::printf("setup: cannot copy %s\n", Utf8(from).c_str());
      return 2;
    }
  }
  std::wstring propertiesPath = install.Add(L"ci\\qelevent.properties");
  if (!WriteFile(propertiesPath, properties) ||
      !SetFileAttributesW(propertiesPath.c_str(), FILE_ATTRIBUTE_READONLY)) {
    std::printf("setup: cannot write the read-only properties file\n");
    return 2;
  }
  if (!installation.registration.Register(install.Root(), &error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }
  if (!registryLayout.empty()) {
    HKEY key = nullptr;
    const std::string value = Utf8(registryLayout);
    installation.layoutValue.written =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, qel::test::kProductKey, 0, KEY_SET_VALUE, &key) ==
            ERROR_SUCCESS &&
        RegSetValueExA(key, "HostStringLayout", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    if (key != nullptr) RegCloseKey(key);
    if (!installation.layoutValue.written) {
      std::printf("setup: cannot write HostStringLayout\n");
      return 2;
    }
  }
  if (log.empty()) {
    installation.log = install.Add(L"events.jsonl");
  } else {
    installation.log = log;
    DeleteFileW(log.c_str());
  }
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", installation.log.c_str());
  return 0;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using InitMapFunction = bool (*)();
// The four wide strings are references: the addresses of the host's objects.
using ProcessEventFunction = int(__stdcall*)(int, const void*, const void*, const void*,
                                             const void*);
using qel::HostStringLayout;
using qel::HostStringObject;
using qel::test::HostStrings;

// What this run passes: the layout of the plug-in under test, which library
// makes the host's strings, and which layout the byte-laid broken objects
// take (the plug-in's).
struct Run {
  std::string layout;
  HostStringLayout layoutId;
  std::unique_ptr<HostStrings> strings;
};

// The plug-in as the host holds it: loaded from the installation's ci folder
// (the stand-ins beside it are found as its dependencies), freed on request
// or at the end.
class Plugin {
 public:
  explicit Plugin(HostStrings& strings) : strings_(strings) {}
  bool Load(const std::wstring& ci) {
    module_ =
        LoadLibraryExW((ci + L"qelevent.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module_ == nullptr) return false;
    initMap_ = Export<InitMapFunction>(module_, "InitMap");
    processEvent_ = Export<ProcessEventFunction>(module_, "ProcessEvent");
    if (via == L"caller-dll" && processEvent_ != nullptr) {
      // The calls come from a DLL of another C++ library than this program's.
      HMODULE caller = LoadLibraryW((ProgramFolder() + L"qel_callerdll.dll").c_str());
      using SetTarget = void(__stdcall*)(ProcessEventFunction);
      const auto setTarget = Export<SetTarget>(caller, "QelSetProcessEvent@4");
      processEvent_ = Export<ProcessEventFunction>(caller, "QelProcessEventVia@20");
      if (setTarget == nullptr || processEvent_ == nullptr) return false;
      setTarget(Export<ProcessEventFunction>(module_, "ProcessEvent"));
    }
    return initMap_ != nullptr && processEvent_ != nullptr;
  }
  bool ExportsAreOrdinals1And2() const {
    return initMap_ == Export<InitMapFunction>(module_, MAKEINTRESOURCEA(1)) &&
           Export<ProcessEventFunction>(module_, "ProcessEvent") ==
               Export<ProcessEventFunction>(module_, MAKEINTRESOURCEA(2));
  }
  bool InitMap() const { return initMap_(); }
  // The texts in objects of the host's library.
  int ProcessEvent(int code, std::u16string_view className, std::u16string_view text,
                   std::u16string_view category, std::u16string_view target) const {
    int result = ProcessObjects(code, strings_.Make(className), strings_.Make(text),
                                strings_.Make(category), strings_.Make(target));
    strings_.Clear();
    return result;
  }
  // The host's objects at these addresses. Not an overload of ProcessEvent: a
  // text literal would take it.
  int ProcessObjects(int code, const void* className, const void* text, const void* category,
                     const void* target) const {
    return processEvent_(code, className, text, category, target);
  }
  bool Free() {
    HMODULE module = module_;
    module_ = nullptr;
    return module != nullptr && FreeLibrary(module) != FALSE;
  }
  ~Plugin() { Free(); }

 private:
  HostStrings& strings_;
  HMODULE module_ = nullptr;
  InitMapFunction initMap_ = nullptr;
  ProcessEventFunction processEvent_ = nullptr;
};

// What the stand-in should have recorded for one post.
struct ExpectedEvent {
  int eventCode;
  std::u16string category;
  std::u16string text;
  std::u16string categoryAttribute;
  std::u16string className;
  std::u16string target;
  int result;

  std::string Json(const std::string& language) const {
    const char16_t* typePath[] = {u"Marquel Agent Events", category.c_str(), nullptr};
    qel::EventAttribute records[] = {{u"CATEGORY", 0, 0, 9, categoryAttribute.c_str()},
                                     {u"CLASSNAME", 0, 0, 9, className.c_str()},
                                     {u"TARGET", 0, 0, 9, target.c_str()}};
    qel::EventAttribute* attributes[] = {&records[0], &records[1], &records[2], nullptr};
    qel::VnxEventArgs args{
        u"CIM",         typePath, text.c_str(), language.c_str(), 0, eventCode, attributes, 0, 0,
        "@EventServer", 0};
    return qel::stub::EventToJson(args, result);
  }
};

// The first marked entry gets string 1002, the second 1003; the third line
// is not marked (the marker starts the value) and uses up no string.
constexpr char kProperties[] =
    "# written by the test host\r\n"
    "enclosure=CIM_Telvar_Services.Host_Enclosure\r\n"
    "fan = xTelvar_Services.Host_Fan\r\n"
    "other=Telvar_Services.Host_Other\r\n";

// Texts around the sizes where the libraries change how they hold them: empty,
// one unit, 7 units (the most an object's own buffer holds), 8 and 9, long,
// and one with a NUL inside. The events carry what the event library sees:
// the text up to its first NUL.
const std::u16string kLongText = [] {
  std::u16string text;
  while (text.size() < 300) text += u"Fan \u00e9\U0001F300 2 ";
  return text;
}();
const std::u16string_view kTexts[] = {u"",          u"F",      u"Fan 2 s",  u"Fan 2 ok",
                                      u"Fan 2 off", kLongText, u"Fan\0 2"sv};
constexpr std::u16string_view kGrownStart = u"Fan";
constexpr std::u16string_view kGrownEnd = u" 2 stopped after 40 s";

// Points |object|'s buffer at memory that is not mapped: a region reserved
// and released again.
void PointAtUnmappedMemory(HostStringObject& object) {
  void* region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  VirtualFree(region, 0, MEM_RELEASE);
  object.SetBuffer(static_cast<const char16_t*>(region));
}

// Objects that the plug-in must refuse before it reads them, each the target
// of one call with |lost| in the other fields: 14, and the host lives. A
// guard page is still one afterwards: the plug-in asked the system about the
// memory instead of touching it, which would have cleared the guard, and
// raised an exception that is no access violation.
void CheckUnreadableObjects(const Run& run, const Plugin& plugin, const void* lost) {
  constexpr std::u16string_view kText = u"Host_Enclosure";  // in a heap buffer in every layout
  constexpr DWORD kGuardPage = PAGE_READWRITE | PAGE_GUARD;
  const struct {
    const char* what;
    bool text;  // the text is placed, else the object
    DWORD protect;
    bool decommit;
  } cases[] = {
      {"an object in freed memory", false, PAGE_READWRITE, true},
      {"an object in a guard page", false, kGuardPage, false},
      {"a text in a guard page", true, kGuardPage, false},
      {"a text whose NUL lies in memory not committed", true, PAGE_READWRITE, false},
  };
  int code = 190;
  for (const auto& c : cases) {
    // Two pages reserved, the first committed: what ends it is followed by
    // memory that is not.
    auto* pages =
        static_cast<unsigned char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READWRITE);
    HostStringObject object(run.layoutId, kText);
    const void* target = object.Address();
    if (c.text) {
      // The text and its NUL end the page; without the guard, the NUL would be the next page's.
      const size_t units = kText.size() + (c.protect == kGuardPage ? 1 : 0);
      auto* text = reinterpret_cast<char16_t*>(pages + 4096) - units;
      std::copy(kText.begin(), kText.end(), text);
      if (c.protect == kGuardPage) text[kText.size()] = u'\0';
      object.SetBuffer(text);
    } else {
      std::memcpy(pages, object.Address(), object.Size());
      target = pages;
    }
    DWORD old = 0;
    VirtualProtect(pages, 4096, c.protect, &old);
    if (c.decommit) VirtualFree(pages, 4096, MEM_DECOMMIT);
    CheckResult(plugin.ProcessObjects(code++, lost, lost, lost, target), 14,
                std::string("ProcessEvent with ") + c.what + " returns 14, and the host lives");
    MEMORY_BASIC_INFORMATION page = {};
    VirtualQuery(pages, &page, sizeof page);
    if (c.protect == kGuardPage) {
      Check((page.Protect & PAGE_GUARD) != 0,
            std::string("the guard page of ") + c.what + " is untouched");
    }
    VirtualFree(pages, 0, MEM_RELEASE);
  }
}

// The events of one load: exports, InitMap (twice, as a host may), posts.
// Returns what the stand-in should have recorded.
std::vector<ExpectedEvent> FirstLoad(const Run& run, Plugin& plugin, const std::wstring& ci) {
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"0,7,0");
  const std::u16string_view empty;
  Check(plugin.Load(ci), "the plug-in loads from ci\\ and exports InitMap, ProcessEvent");
  Check(plugin.ExportsAreOrdinals1And2(), "InitMap is ordinal 1 and ProcessEvent ordinal 2");
  Check(plugin.InitMap(), "InitMap on the read-only properties file returns true");
  Check(plugin.InitMap(), "InitMap returns true when called again");
  CheckResult(plugin.ProcessEvent(101, u"Host_Enclosure", u"Chassis open", u"Critical", u"server1"),
              0, "ProcessEvent of a mapped class returns 0");
  CheckResult(
      plugin.ProcessEvent(102, u"Host_Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"server1"), 0,
      "ProcessEvent of a class mapped to the second category returns 0 (post returns 7)");
  CheckResult(plugin.ProcessEvent(103, u"Host_Other", empty, empty, empty), 0,
              "ProcessEvent of an unmapped class with empty texts returns 0");
  CheckResult(plugin.ProcessEvent(104, empty, u"lost", u"x", u"y"), 2,
              "ProcessEvent with an empty class name returns 2");
  HostStringObject lost(run.layoutId, u"lost");
  HostStringObject noBuffer(run.layoutId, u"Host_Enclosure");
  noBuffer.SetBuffer(nullptr);
  CheckResult(plugin.ProcessObjects(105, noBuffer.Address(), lost.Address(), lost.Address(),
                                    lost.Address()),
              14, "ProcessEvent with a class name of 14 units but no buffer returns 14");
  // 14 units, so that no layout keeps the text in the object itself.
  HostStringObject unmapped(run.layoutId, u"Host_Enclosure");
  PointAtUnmappedMemory(unmapped);
  CheckResult(
      plugin.ProcessObjects(106, lost.Address(), lost.Address(), lost.Address(),
                            unmapped.Address()),
      14, "ProcessEvent with a target whose buffer is not mapped returns 14, and the host lives");
  CheckUnreadableObjects(run, plugin, lost.Address());
  std::vector<ExpectedEvent> expected = {
      {101, u"System Enclosure", u"Chassis open", u"Critical", u"Host_Enclosure", u"server1", 0},
      {102, u"Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"Host_Fan", u"server1", 7},
      {103, u"Host_Other", u"", u"", u"Host_Other", u"", 0},
  };

  // Every size of text in each of the three text objects; the server now
  // answers 0 to everything.
  int code = 110;
  for (std::u16string_view text : kTexts) {
    const std::u16string posted(text.substr(0, text.find(u'\0')));
    CheckResult(plugin.ProcessEvent(code, u"Host_Fan", text, text, text), 0,
                "ProcessEvent with texts of " + std::to_string(text.size()) + " units returns 0");
    expected.push_back({code++, u"Fan", posted, posted, u"Host_Fan", posted, 0});
  }
  HostStrings& strings = *run.strings;
  const void* grown = strings.MakeAppended(kGrownStart, kGrownEnd);
  const std::u16string grownText = std::u16string(kGrownStart) + std::u16string(kGrownEnd);
  CheckResult(plugin.ProcessObjects(code, grown, grown, grown, grown), 0,
              "ProcessEvent with strings grown by append returns 0");
  strings.Clear();
  expected.push_back({code, grownText, grownText, grownText, grownText, grownText, 0});
  Check(plugin.Free(), "FreeLibrary of the plug-in");
  return expected;
}

// The stand-in recorded exactly |expected|, in order.
void CheckRecorded(const std::wstring& log, const std::vector<ExpectedEvent>& expected,
                   const std::string& language) {
  std::vector<std::string> recorded = ReadLines(log);
  Check(recorded.size() == expected.size(), std::to_string(expected.size()) + " events recorded (" +
                                                std::to_string(recorded.size()) + ")");
  for (size_t i = 0; i < expected.size(); ++i) {
    std::string want = expected[i].Json(language);
    std::string got = i < recorded.size() ? recorded[i] : "<nothing>";
    std::string what = "event " + std::to_string(i + 1);
    what += "\n  want " + want;
    what += "\n  got  " + got;
    Check(got == want, what);
  }
}

int RunChecks(const Run& run, const std::string& language) {
  Installation install;
  if (int setup = Install(install, kProperties)) return setup;

  Plugin plugin(*run.strings);
  std::vector<ExpectedEvent> expected = FirstLoad(run, plugin, install.folder.Ci());

  // The second load in the same process starts from nothing: its map is
  // empty until InitMap fills it again.
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"");
  Check(plugin.Load(install.folder.Ci()), "the plug-in loads a second time");
  CheckResult(plugin.ProcessEvent(201, u"Host_Enclosure", u"before InitMap", u"", u"server2"), 0,
              "ProcessEvent after the reload, before InitMap, returns 0");
  Check(plugin.InitMap(), "InitMap after the reload returns true");
  CheckResult(plugin.ProcessEvent(202, u"Host_Enclosure", u"after InitMap", u"", u"server2"), 0,
              "ProcessEvent after the reload and InitMap returns 0");
  Check(plugin.Free(), "FreeLibrary of the plug-in, second time");
  expected.push_back(
      {201, u"Host_Enclosure", u"before InitMap", u"", u"Host_Enclosure", u"server2", 0});
  expected.push_back(
      {202, u"System Enclosure", u"after InitMap", u"", u"Host_Enclosure", u"server2", 0});

  CheckRecorded(install.log, expected, language);
  return failures ? 1 : 0;
}

// The plug-in given objects of another library than its own: each call
// answers 0, 2 or 14, the host goes on, and what is posted is exactly what
// the host passed: an object read in the wrong layout is refused, never
// posted as another text.
int RunWrongLibrary(const Run& run, const std::string& language) {
  Installation install;
  if (int setup = Install(install, kProperties)) return setup;
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"");
  Plugin plugin(*run.strings);
  Check(plugin.Load(install.folder.Ci()) && plugin.InitMap(), "the plug-in loads and maps");
  std::vector<ExpectedEvent> expected;
  int code = 300;
  for (std::u16string_view name : {u"Host_Fan"sv, u"Host_Enclosure"sv, u"F"sv, u""sv}) {
    const std::u16string category = name == u"Host_Fan"sv         ? u"Fan"
                                    : name == u"Host_Enclosure"sv ? u"System Enclosure"
                                                                  : std::u16string(name);
    for (std::u16string_view text : kTexts) {
      int result = plugin.ProcessEvent(code, name, text, text, text);
      Check(result == 0 || result == 2 || result == 14,
            "a class name of " + std::to_string(name.size()) + " units, texts of " +
                std::to_string(text.size()) + ": ProcessEvent returned " + std::to_string(result));
      const std::u16string posted(text.substr(0, text.find(u'\0')));
      if (result == 0) {
        expected.push_back({code, category, posted, posted, std::u16string(name), posted, 0});
      }
      ++code;
    }
  }
  Check(plugin.Free(), "FreeLibrary of the plug-in");
  CheckRecorded(install.log, expected, language);
  return failures ? 1 : 0;
}

// A caller whose strings the plug-in refuses (it imports a debug library):
// every call answers 14, nothing is posted, and the host goes on.
int RunRefused(const Run& run) {
  Installation install;
  if (int setup = Install(install, kProperties)) return setup;
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"");
  Plugin plugin(*run.strings);
  Check(plugin.Load(install.folder.Ci()) && plugin.InitMap(), "the plug-in loads and maps");
  for (int code = 400; code < 403; ++code) {
    CheckResult(plugin.ProcessEvent(code, u"Host_Fan", u"Fan 2 stopped", u"Warm", u"rack-7"), 14,
                "ProcessEvent from a caller of a debug library");
  }
  Check(plugin.Free(), "FreeLibrary of the plug-in");
  CheckRecorded(install.log, {}, "en");
  return failures ? 1 : 0;
}

// One field of a CALLS line, its escapes undone.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    char next = field[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
    fields.push_back(Unescape(line.substr(start, tab - start)));
    start = tab + 1;
  }
  fields.push_back(Unescape(line.substr(start)));
  return fields;
}

int RunReplay(const Run& run, const std::wstring& calls, const std::wstring& properties,
              const std::wstring& results, const std::wstring& events) {
  std::string propertyText;
  Installation install;
  if (!ReadFile(properties, &propertyText)) {
    std::printf("setup: cannot read %s\n", Utf8(properties).c_str());
    return 2;
  }
  if (int setup = Install(install, propertyText, events)) return setup;
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", results.c_str());

  Plugin plugin(*run.strings);
  if (!plugin.Load(install.folder.Ci())) {
    std::printf("the plug-in does not load\n");
    return 1;
  }
  plugin.InitMap();
  for (const std::string& line : ReadLines(calls)) {
    std::vector<std::string> field = SplitTabs(line);
    if (field.size() != 6) {
      std::printf("setup: not a call: %s\n", line.c_str());
      return 2;
    }
    DWORD began = GetTickCount();
    int result = plugin.ProcessEvent(std::stoi(field[1]), Wide(field[2]), Wide(field[3]),
                                     Wide(field[4]), Wide(field[5]));
    std::printf("call %s: returned %d after %lu ms\n", field[0].c_str(), result,
                static_cast<unsigned long>(GetTickCount() - began));
    std::fflush(stdout);
  }
  return plugin.Free() ? 0 : 1;
}

// A layout's strings unless told otherwise: those of the newest library
// that has them.
std::string DefaultStrings(HostStringLayout layout) {
  switch (layout) {
    case HostStringLayout::msvc6:
      return "msvcp60.dll";
    case HostStringLayout::msvc7:
      return "msvcp90.dll";
    case HostStringLayout::msvc10:
      return "msvc10";
    case HostStringLayout::mingw:
      return "std::wstring";
  }
  return "";
}

// The strings of |source| ("msvcp60.dll" ... "msvcp90.dll", "std::wstring",
// or a layout's name for objects laid out byte by byte); nothing, after
// saying why, when they cannot be had.
std::unique_ptr<HostStrings> StringsOf(const std::string& source) {
  if (source == "std::wstring") return std::make_unique<qel::test::OwnStrings>();
  if (std::optional<HostStringLayout> layout = qel::HostStringLayoutNamed(source)) {
    return std::make_unique<qel::test::LaidOutStrings>(*layout);
  }
  auto strings = std::make_unique<qel::test::LibraryStrings>();
  std::string error;
  if (!strings->Open(source, &error)) {
    std::printf("setup: %s\n", error.c_str());
    return nullptr;
  }
  return strings;
}

// Wine reports another Windows to one program when its AppDefaults key names
// a version. This program runs a copy of itself so named, with the same
// arguments, and answers what the copy answered; the copy finds its name and
// checks that it was told that version.
constexpr struct {
  const wchar_t* name;
  DWORD platform;
  DWORD major;
  DWORD minor;
} kReportedWindows[] = {{L"win98", VER_PLATFORM_WIN32_WINDOWS, 4, 10},
                        {L"nt40", VER_PLATFORM_WIN32_NT, 4, 0}};

std::wstring CopyFor(const std::wstring& version) {
  return ProgramFolder() + L"qel_testhost-" + version + L".exe";
}

bool IsCopyFor(const std::wstring& version) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return _wcsicmp(self, CopyFor(version).c_str()) == 0;
}

bool ReportsWindows(const std::wstring& version) {
  for (const auto& windows : kReportedWindows) {
    if (version != windows.name) continue;
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    Check(info.dwPlatformId == windows.platform && info.dwMajorVersion == windows.major &&
              info.dwMinorVersion == windows.minor,
          "Windows reports itself as " + Utf8(version) + " (platform " +
              std::to_string(info.dwPlatformId) + ", " + std::to_string(info.dwMajorVersion) + "." +
              std::to_string(info.dwMinorVersion) + ")");
    return failures == 0;
  }
  std::printf("setup: no such Windows: %s\n", Utf8(version).c_str());
  return false;
}

int RunAsCopy(const std::wstring& version, int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring copy = CopyFor(version);
  const std::wstring name = copy.substr(copy.find_last_of(L'\\') + 1);
  const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name;
  HKEY appDefaults = nullptr;
  if (!CopyFileW(self, copy.c_str(), FALSE) ||
      RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &appDefaults, nullptr) != ERROR_SUCCESS) {
    std::printf("setup: cannot make %s report %s\n", Utf8(copy).c_str(), Utf8(version).c_str());
    return 2;
  }
  const auto bytes = static_cast<DWORD>(version.size() + 1) * DWORD{sizeof(wchar_t)};
  RegSetValueExW(appDefaults, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 bytes);
  RegCloseKey(appDefaults);
  std::wstring command = L"\"" + copy + L"\"";
  for (int i = 1; i < argc; ++i) command += L" \"" + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD exitCode = 2;
  if (CreateProcessW(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    std::printf("setup: cannot start %s\n", Utf8(copy).c_str());
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  DeleteFileW(copy.c_str());
  return static_cast<int>(exitCode);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring language = L"en", calls, properties, results, events, check = L"events", as;
  std::wstring layout = L"msvc6", strings;
  if (argc % 2 == 0) {
    std::printf(
        "options come in pairs: --layout, --strings, --check events|survival|refused, "
        "--registry-layout, --via caller-dll, --as win98|nt40, "
        "--language CODE, or --replay, --properties, --results, --events\n");
    return 2;
  }
  for (int i = 1; i < argc; i += 2) {
    std::wstring option = argv[i];
    std::wstring* value = option == L"--language"          ? &language
                          : option == L"--layout"          ? &layout
                          : option == L"--strings"         ? &strings
                          : option == L"--check"           ? &check
                          : option == L"--as"              ? &as
                          : option == L"--replay"          ? &calls
                          : option == L"--properties"      ? &properties
                          : option == L"--results"         ? &results
                          : option == L"--events"          ? &events
                          : option == L"--registry-layout" ? &registryLayout
                          : option == L"--via"             ? &via
                                                           : nullptr;
    if (value == nullptr) {
      std::printf("unknown option %s\n", Utf8(option).c_str());
      return 2;
    }
    *value = argv[i + 1];
  }
  if (!as.empty()) {
    if (!IsCopyFor(as)) return RunAsCopy(as, argc, argv);
    if (!ReportsWindows(as)) return 1;
  }
  Run run{Utf8(layout), {}, nullptr};
  std::optional<HostStringLayout> layoutId = qel::HostStringLayoutNamed(run.layout);
  if (!layoutId) {
    std::printf("setup: no layout %s\n", run.layout.c_str());
    return 2;
  }
  run.layoutId = *layoutId;
  run.strings = StringsOf(strings.empty() ? DefaultStrings(*layoutId) : Utf8(strings));
  if (!run.strings) return 2;
  if (!calls.empty()) return RunReplay(run, calls, properties, results, events);
  int result = check == L"survival"  ? RunWrongLibrary(run, Utf8(language))
               : check == L"refused" ? RunRefused(run)
                                     : RunChecks(run, Utf8(language));
  std::printf("%s\n", result == 0 ? "all checks passed" : "the test host found problems");
  return result;
}
