// A stand-in for the product's host service, run under Windows (or Wine). It
// installs the plug-in and the two stand-in libraries in a fresh folder,
// registers that folder under the product's registry key the way the installer
// does, loads the plug-in with LoadLibrary, calls its exports as the host does,
// with wide string objects laid out as the host library the plug-in was built
// for (QEL_HOST_STRING_LAYOUT), and reads what the stand-in event library
// recorded. It exercises the real platform layer where the hosted one only
// imitates: an installation folder whose name is not ASCII (read back through
// the ANSI code page), a read-only properties file, the user's locale with or
// without language folders beside this program, real waits, and the module
// loaded and freed twice in one process.
//
//   qel_testhost [--language CODE]
//     The checks; CODE is the language every event must carry (default "en").
//   qel_testhost --replay CALLS --properties FILE --results LIST --events OUT
//     InitMap with FILE as the properties file, then one ProcessEvent per line
//     of CALLS (tab-separated: line, eventCode, className, eventText,
//     categoryAttribute, target; UTF-8, with \\ \t \n \r escaped), the event
//     server answering LIST (e.g. "18,0"). The stand-in's JSON lines go to
//     OUT; each call prints "call LINE: returned RESULT after MS ms".
//
// The DLLs come from the folder "testhost-payload" beside this program. Exit
// code 0 when everything matched, 1 on a mismatch, 2 when the run could not
// be set up (for example because a real installation is registered: its key
// is left alone).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "stubs/vnxsdevt/EventRecord.h"
#include "tests/support/HostStringObjects.h"

namespace {

constexpr char kProductKey[] = "SOFTWARE\\Korvane\\Telvar";
constexpr char kVendorKey[] = "SOFTWARE\\Korvane";
constexpr char kVersion[] = "qel-testhost";
constexpr char kVersionKey[] = "SOFTWARE\\Korvane\\Telvar\\qel-testhost";
const wchar_t* const kPayload[] = {L"qelevent.dll", L"vnxsdevt.dll", L"VOVURU32.DLL"};

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

std::string Narrow(UINT codePage, const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  }
  return out;
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

// The product's registry key, written as the installer writes it ("Version"
// naming a subkey that holds "TELVARPATH", in the ANSI code page) and removed
// again afterwards. A key that this program did not write is never touched.
class ProductRegistration {
 public:
  bool Register(const std::wstring& installFolder, std::string* error) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      char version[256] = {};
      DWORD size = sizeof version - 1;
      LONG read = RegQueryValueExA(key, "Version", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(version), &size);
      RegCloseKey(key);
      if (read != ERROR_SUCCESS || std::string(version) != kVersion) {
        *error = "a product installation is registered on this machine; not touching it";
        return false;
      }
    }
    createdVendor_ = !Exists(kVendorKey);
    createdProduct_ = !Exists(kProductKey);
    registered_ = true;
    if (!SetString(kProductKey, "Version", kVersion) ||
        !SetString(kVersionKey, "TELVARPATH", Narrow(CP_ACP, installFolder))) {
      *error = "cannot write HKEY_LOCAL_MACHINE\\" + std::string(kProductKey) +
               " (administrator rights needed)";
      return false;
    }
    return true;
  }
  ~ProductRegistration() {
    if (!registered_) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVersionKey);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueA(key, "Version");
      RegCloseKey(key);
    }
    // RegDeleteKey refuses a key with subkeys, so nothing foreign goes.
    if (createdProduct_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
    if (createdVendor_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVendorKey);
  }

 private:
  static bool Exists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  static bool SetString(const char* path, const char* name, const std::string& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    LONG written = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size()) + 1);
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
  }

  bool registered_ = false;
  bool createdVendor_ = false;
  bool createdProduct_ = false;
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

// The installation folder, registered, with the plug-in and the stand-ins in
// ci\ and |properties| as ci\qelevent.properties, made read-only as a locked-
// down server may have it. Returns 0, or 2 after saying what failed.
int Install(InstallFolder& install, ProductRegistration& registration,
            const std::string& properties) {
  std::string error;
  if (!install.Create(&error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }
  std::wstring payload = ProgramFolder() + L"testhost-payload\\";
  for (const wchar_t* name : kPayload) {
    std::wstring target = install.Add(std::wstring(L"ci\\") + name);
    if (!CopyFileW((payload + name).c_str(), target.c_str(), FALSE)) {
      std::printf("setup: cannot copy %s from %s\n", Utf8(name).c_str(), Utf8(payload).c_str());
      return 2;
    }
  }
  std::wstring propertiesPath = install.Add(L"ci\\qelevent.properties");
  if (!WriteFile(propertiesPath, properties) ||
      !SetFileAttributesW(propertiesPath.c_str(), FILE_ATTRIBUTE_READONLY)) {
    std::printf("setup: cannot write the read-only properties file\n");
    return 2;
  }
  if (!registration.Register(install.Root(), &error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }
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
constexpr qel::HostStringLayout kLayout = qel::HostStringLayout::QEL_HOST_STRING_LAYOUT;
using qel::test::HostStringObject;

// The plug-in as the host holds it: loaded from the installation's ci folder
// (the stand-ins beside it are found as its dependencies), freed on request
// or at the end.
class Plugin {
 public:
  bool Load(const std::wstring& ci) {
    module_ =
        LoadLibraryExW((ci + L"qelevent.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module_ == nullptr) return false;
    initMap_ = Export<InitMapFunction>(module_, "InitMap");
    processEvent_ = Export<ProcessEventFunction>(module_, "ProcessEvent");
    return initMap_ != nullptr && processEvent_ != nullptr;
  }
  bool ExportsAreOrdinals1And2() const {
    return initMap_ == Export<InitMapFunction>(module_, MAKEINTRESOURCEA(1)) &&
           processEvent_ == Export<ProcessEventFunction>(module_, MAKEINTRESOURCEA(2));
  }
  bool InitMap() const { return initMap_(); }
  // The texts in the host's objects: in the objects' own buffers (up to 7
  // units, where the layout has one), of 8 units and longer, or empty.
  int ProcessEvent(int code, std::u16string_view className, std::u16string_view text,
                   std::u16string_view category, std::u16string_view target) const {
    HostStringObject objects[] = {
        {kLayout, className}, {kLayout, text}, {kLayout, category}, {kLayout, target}};
    return ProcessEvent(code, objects[0], objects[1], objects[2], objects[3]);
  }
  int ProcessEvent(int code, const HostStringObject& className, const HostStringObject& text,
                   const HostStringObject& category, const HostStringObject& target) const {
    return processEvent_(code, className.Address(), text.Address(), category.Address(),
                         target.Address());
  }
  bool Free() {
    HMODULE module = module_;
    module_ = nullptr;
    return module != nullptr && FreeLibrary(module) != FALSE;
  }
  ~Plugin() { Free(); }

 private:
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

int RunChecks(const std::string& language) {
  InstallFolder install;
  ProductRegistration registration;
  if (int setup = Install(install, registration, kProperties)) return setup;
  std::wstring log = install.Add(L"events.jsonl");
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", log.c_str());
  const std::u16string_view empty;

  // The first load: exports, InitMap (twice, as a host may), posts.
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"0,7,0");
  Plugin plugin;
  Check(plugin.Load(install.Ci()), "the plug-in loads from ci\\ and exports InitMap, ProcessEvent");
  Check(plugin.ExportsAreOrdinals1And2(), "InitMap is ordinal 1 and ProcessEvent ordinal 2");
  Check(plugin.InitMap(), "InitMap on the read-only properties file returns true");
  Check(plugin.InitMap(), "InitMap returns true when called again");
  Check(plugin.ProcessEvent(101, u"Host_Enclosure", u"Chassis open", u"Critical", u"server1") == 0,
        "ProcessEvent of a mapped class returns 0");
  Check(plugin.ProcessEvent(102, u"Host_Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"server1") ==
            0,
        "ProcessEvent of a class mapped to the second category returns 0 (post returns 7)");
  Check(plugin.ProcessEvent(103, u"Host_Other", empty, empty, empty) == 0,
        "ProcessEvent of an unmapped class with empty texts returns 0");
  Check(plugin.ProcessEvent(104, empty, u"lost", u"x", u"y") == 2,
        "ProcessEvent with an empty class name returns 2");
  HostStringObject broken(kLayout, u"Host_Enclosure");
  broken.SetBuffer(nullptr);
  HostStringObject lost(kLayout, u"lost");
  Check(plugin.ProcessEvent(105, broken, lost, lost, lost) == 14,
        "ProcessEvent with a class name of 14 units but no buffer returns 14");
  Check(plugin.Free(), "FreeLibrary of the plug-in");

  // The second load in the same process starts from nothing: its map is
  // empty until InitMap fills it again.
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"");
  Check(plugin.Load(install.Ci()), "the plug-in loads a second time");
  Check(plugin.ProcessEvent(201, u"Host_Enclosure", u"before InitMap", empty, u"server2") == 0,
        "ProcessEvent after the reload, before InitMap, returns 0");
  Check(plugin.InitMap(), "InitMap after the reload returns true");
  Check(plugin.ProcessEvent(202, u"Host_Enclosure", u"after InitMap", empty, u"server2") == 0,
        "ProcessEvent after the reload and InitMap returns 0");
  Check(plugin.Free(), "FreeLibrary of the plug-in, second time");

  const ExpectedEvent expected[] = {
      {101, u"System Enclosure", u"Chassis open", u"Critical", u"Host_Enclosure", u"server1", 0},
      {102, u"Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"Host_Fan", u"server1", 7},
      {103, u"Host_Other", u"", u"", u"Host_Other", u"", 0},
      {201, u"Host_Enclosure", u"before InitMap", u"", u"Host_Enclosure", u"server2", 0},
      {202, u"System Enclosure", u"after InitMap", u"", u"Host_Enclosure", u"server2", 0},
  };
  const size_t count = sizeof expected / sizeof expected[0];
  std::vector<std::string> recorded = ReadLines(log);
  Check(recorded.size() == count,
        std::to_string(count) + " events recorded (" + std::to_string(recorded.size()) + ")");
  for (size_t i = 0; i < count; ++i) {
    std::string want = expected[i].Json(language);
    std::string got = i < recorded.size() ? recorded[i] : "<nothing>";
    std::string what = "event " + std::to_string(i + 1);
    what += "\n  want " + want;
    what += "\n  got  " + got;
    Check(got == want, what);
  }
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

int RunReplay(const std::wstring& calls, const std::wstring& properties,
              const std::wstring& results, const std::wstring& events) {
  std::string propertyText;
  InstallFolder install;
  ProductRegistration registration;
  if (!ReadFile(properties, &propertyText)) {
    std::printf("setup: cannot read %s\n", Utf8(properties).c_str());
    return 2;
  }
  if (int setup = Install(install, registration, propertyText)) return setup;
  DeleteFileW(events.c_str());
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", events.c_str());
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", results.c_str());

  Plugin plugin;
  if (!plugin.Load(install.Ci())) {
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring language = L"en", calls, properties, results, events;
  if (argc % 2 == 0) {
    std::printf(
        "options come in pairs: --language CODE, or --replay, --properties, --results, "
        "--events\n");
    return 2;
  }
  for (int i = 1; i < argc; i += 2) {
    std::wstring option = argv[i];
    std::wstring* value = option == L"--language"     ? &language
                          : option == L"--replay"     ? &calls
                          : option == L"--properties" ? &properties
                          : option == L"--results"    ? &results
                          : option == L"--events"     ? &events
                                                      : nullptr;
    if (value == nullptr) {
      std::printf("unknown option %s\n", Utf8(option).c_str());
      return 2;
    }
    *value = argv[i + 1];
  }
  if (!calls.empty()) return RunReplay(calls, properties, results, events);
  int result = RunChecks(Utf8(language));
  std::printf("%s\n", result == 0 ? "all checks passed" : "the test host found problems");
  return result;
}
