// A stand-in for the product's host service, for machines that can run 32-bit
// Windows programs. It installs the plug-in and the two stand-in libraries in
// a fresh folder, registers that folder under the product's registry key the
// way the installer does, loads the plug-in with LoadLibrary, calls its
// exports as the host does, with wide string objects laid out as the host
// library the plug-in was built for (QEL_HOST_STRING_LAYOUT), and compares
// what the stand-in event library recorded with what it expects.
//
// The DLLs come from the folder "testhost-payload" beside this program. Exit
// code 0 when everything matched, 1 on a mismatch, 2 when the run could not
// be set up (for example because a real installation is registered: its key
// is left alone).
#include <windows.h>

#include <cstdio>
#include <fstream>
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

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  }
  return out;
}

bool IsAscii(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
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
// folder. Whatever can be removed goes when the object does; the IPC library
// stays loaded until the process ends, so its file may stay behind.
class InstallFolder {
 public:
  bool Create(std::string* error) {
    wchar_t temp[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, length);
    if (!IsAscii(base)) {
      wchar_t shortPath[MAX_PATH] = {};
      DWORD shortLength = GetShortPathNameW(base.c_str(), shortPath, MAX_PATH);
      base.assign(shortPath, shortLength);
    }
    // The registry value is read back through the ANSI code page, where only
    // ASCII is sure to survive.
    if (base.empty() || !IsAscii(base)) {
      *error = "the temporary folder has no ASCII path";
      return false;
    }
    root_ = base + L"qel-testhost-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ci_ = root_ + L"ci\\";
    if (!CreateDirectoryW(root_.c_str(), nullptr) || !CreateDirectoryW(ci_.c_str(), nullptr)) {
      *error = "cannot create " + Utf8(ci_);
      return false;
    }
    return true;
  }
  ~InstallFolder() {
    if (ci_.empty()) return;
    for (const std::wstring& file : files_) DeleteFileW(file.c_str());
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
// naming a subkey that holds "TELVARPATH") and removed again afterwards. A key
// that this program did not write is never touched.
class ProductRegistration {
 public:
  bool Register(const std::string& installFolder, std::string* error) {
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
        !SetString(kVersionKey, "TELVARPATH", installFolder)) {
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

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::vector<std::string> lines;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return lines;
  std::string line;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  std::fclose(file);
  if (!line.empty()) lines.push_back(line);
  return lines;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// What the stand-in should have recorded for one post.
struct ExpectedEvent {
  int eventCode;
  std::u16string category;
  std::u16string text;
  std::u16string categoryAttribute;
  std::u16string className;
  std::u16string target;
  int result;

  std::string Json() const {
    const char16_t* typePath[] = {u"Marquel Agent Events", category.c_str(), nullptr};
    qel::EventAttribute records[] = {{u"CATEGORY", 0, 0, 9, categoryAttribute.c_str()},
                                     {u"CLASSNAME", 0, 0, 9, className.c_str()},
                                     {u"TARGET", 0, 0, 9, target.c_str()}};
    qel::EventAttribute* attributes[] = {&records[0], &records[1], &records[2], nullptr};
    // This program carries no string table and no language module lies
    // beside it, so the plug-in's locale selection ends without a code and
    // the plug-in sends "en" on every machine.
    qel::VnxEventArgs args{u"CIM", typePath, text.c_str(),   "en", 0, eventCode, attributes,
                           0,      0,        "@EventServer", 0};
    return qel::stub::EventToJson(args, result);
  }
};

using InitMapFunction = bool (*)();
// The four wide strings are references: the addresses of the host's objects.
using ProcessEventFunction = int(__stdcall*)(int, const void*, const void*, const void*,
                                             const void*);
constexpr qel::HostStringLayout kLayout = qel::HostStringLayout::QEL_HOST_STRING_LAYOUT;
using qel::test::HostStringObject;

int Run() {
  std::string error;
  InstallFolder install;
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
  // The first marked entry gets string 1002, the second 1003; the third line
  // is not marked (the marker starts the value) and uses up no string.
  if (!WriteFile(install.Add(L"ci\\qelevent.properties"),
                 "# written by the test host\r\n"
                 "enclosure=CIM_Telvar_Services.Host_Enclosure\r\n"
                 "fan = xTelvar_Services.Host_Fan\r\n"
                 "other=Telvar_Services.Host_Other\r\n")) {
    std::printf("setup: cannot write the properties file\n");
    return 2;
  }
  std::wstring log = install.Add(L"events.jsonl");
  SetEnvironmentVariableW(L"VNXSDEVT_LOG", log.c_str());
  SetEnvironmentVariableW(L"VNXSDEVT_RESULTS", L"0,7,0");

  ProductRegistration registration;
  if (!registration.Register(Utf8(install.Root()), &error)) {
    std::printf("setup: %s\n", error.c_str());
    return 2;
  }

  // The stand-ins beside the plug-in are found as its dependencies.
  HMODULE plugin = LoadLibraryExW((install.Ci() + L"qelevent.dll").c_str(), nullptr,
                                  LOAD_WITH_ALTERED_SEARCH_PATH);
  Check(plugin != nullptr, "LoadLibrary of ci\\qelevent.dll with the stand-ins beside it");
  if (plugin == nullptr) return 1;

  auto initMap = Export<InitMapFunction>(plugin, "InitMap");
  auto processEvent = Export<ProcessEventFunction>(plugin, "ProcessEvent");
  Check(initMap != nullptr && processEvent != nullptr, "InitMap and ProcessEvent are exported");
  Check(initMap == Export<InitMapFunction>(plugin, MAKEINTRESOURCEA(1)) &&
            processEvent == Export<ProcessEventFunction>(plugin, MAKEINTRESOURCEA(2)),
        "InitMap is ordinal 1 and ProcessEvent ordinal 2");
  if (initMap == nullptr || processEvent == nullptr) return 1;

  Check(initMap(), "InitMap returns true");
  Check(initMap(), "InitMap returns true when called again");

  auto post = [processEvent](int eventCode, std::u16string_view className, std::u16string_view text,
                             std::u16string_view categoryAttribute, std::u16string_view target) {
    HostStringObject objects[] = {
        {kLayout, className}, {kLayout, text}, {kLayout, categoryAttribute}, {kLayout, target}};
    return processEvent(eventCode, objects[0].Address(), objects[1].Address(), objects[2].Address(),
                        objects[3].Address());
  };
  // Texts in the objects' own buffers (up to 7 units), of 8 units and longer.
  Check(post(101, u"Host_Enclosure", u"Chassis open", u"Critical", u"server1") == 0,
        "ProcessEvent of a mapped class returns 0");
  Check(post(102, u"Host_Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"server1") == 0,
        "ProcessEvent of a class mapped to the second category returns 0 (post returns 7)");
  Check(post(103, u"Host_Other", u"", u"", u"") == 0,
        "ProcessEvent of an unmapped class with empty texts returns 0");
  Check(post(104, u"", u"lost", u"x", u"y") == 2,
        "ProcessEvent with an empty class name returns 2");
  HostStringObject broken(kLayout, u"Host_Enclosure");
  broken.SetBuffer(nullptr);
  HostStringObject text(kLayout, u"lost");
  Check(processEvent(105, broken.Address(), text.Address(), text.Address(), text.Address()) == 14,
        "ProcessEvent with a class name of 14 units but no buffer returns 14");
  Check(FreeLibrary(plugin) != FALSE, "FreeLibrary of the plug-in");

  const ExpectedEvent expected[] = {
      {101, u"System Enclosure", u"Chassis open", u"Critical", u"Host_Enclosure", u"server1", 0},
      {102, u"Fan", u"Fan 2 at 210 rpm \u2193", u"Warning", u"Host_Fan", u"server1", 7},
      {103, u"Host_Other", u"", u"", u"Host_Other", u"", 0},
  };
  std::vector<std::string> recorded = ReadLines(log);
  Check(recorded.size() == 3, "three events recorded (" + std::to_string(recorded.size()) + ")");
  for (size_t i = 0; i < 3; ++i) {
    std::string want = expected[i].Json();
    std::string got = i < recorded.size() ? recorded[i] : "<nothing>";
    std::string what = "event " + std::to_string(i + 1);
    what += "\n  want " + want;
    what += "\n  got  " + got;
    Check(got == want, what);
  }
  return failures ? 1 : 0;
}

}  // namespace

int main() {
  int result = Run();
  std::printf("%s\n", result == 0 ? "all checks passed" : "the test host found problems");
  return result;
}
