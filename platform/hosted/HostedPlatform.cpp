#include "platform/hosted/HostedPlatform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifdef __unix__
#include <sys/stat.h>
#endif

#include "platform/hosted/CodePage1252.h"
#include "platform/hosted/HostText.h"
#include "platform/hosted/PeResources.h"

namespace qel {
namespace {

// As printf's "%#llx" writes it (0 without the prefix), without printf's cost:
// a replay logs a dozen handles per event.
std::string Hex(const void* handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0) return "0";
  char text[2 + 2 * sizeof value];
  char* const end = text + sizeof text;
  char* first = end;
  for (; value != 0; value >>= 4) *--first = "0123456789abcdef"[value & 0xF];
  *--first = 'x';
  *--first = '0';
  return std::string(first, end);
}

std::string Text(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The file name of a Windows path, without its folder.
std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The entries of a null-terminated array (none when the array is null).
template <typename T>
size_t EntriesBeforeNull(T* const* entries) {
  size_t count = 0;
  while (entries != nullptr && entries[count] != nullptr) ++count;
  return count;
}

// Handle values handed out for things that are not modules or keys.
const uintptr_t kOriginalStation = 0x100;
const uintptr_t kOriginalDesktop = 0x104;
const uintptr_t kHostModule = 0x400000;
const uint32_t kThreadId = 0x1234;

template <typename H>
H Handle(uintptr_t value) {
  return reinterpret_cast<H>(value);
}

}  // namespace

HostedPlatform::HostedPlatform()
    : ipcAllocate_([](uint32_t size) {
        // Not zero, so that a byte the writer of a message forgets shows.
        void* message = std::malloc(size ? size : 1);
        if (message != nullptr) std::memset(message, kFreshIpcMessageFill, size);
        return message;
      }),
      ipcRelease_([](void* message) {
        std::free(message);
        return int32_t{1};
      }),
      processStation_(Handle<HWinSta>(kOriginalStation)),
      threadDesktop_(Handle<HDesk>(kOriginalDesktop)) {}

HostedPlatform::~HostedPlatform() = default;

// ---- Controls ---------------------------------------------------------------

void HostedPlatform::FailCall(const std::string& call, int times) {
  std::lock_guard<SystemLock> lock(mutex_);
  failures_[call] = times;
}

void HostedPlatform::ClearFailures() {
  std::lock_guard<SystemLock> lock(mutex_);
  failures_.clear();
}

int HostedPlatform::CallCount(const std::string& call) const {
  std::lock_guard<SystemLock> lock(mutex_);
  return static_cast<int>(std::count_if(callNames_.begin(), callNames_.end(),
                                        [&](const char* name) { return call == name; }));
}

template <typename FormatArguments>
bool HostedPlatform::Call(const char* name, const FormatArguments& arguments) {
  callNames_.push_back(name);
  if (logArguments_) callLog_.push_back(name + ("(" + arguments() + ")"));
  if (failures_.empty()) return false;
  auto failure = failures_.find(std::string_view(name));
  if (failure == failures_.end() || failure->second == 0) return false;
  if (failure->second > 0) --failure->second;
  return true;
}

bool HostedPlatform::Call(const char* name) {
  return Call(name, [] { return std::string(); });
}

void HostedPlatform::InstallCodeLibrary(const std::string& fileName, ExportTable exports) {
  std::lock_guard<SystemLock> lock(mutex_);
  codeLibraries_[Upper(FileNameOf(fileName))] = std::move(exports);
}

void HostedPlatform::RemoveCodeLibrary(const std::string& fileName) {
  std::lock_guard<SystemLock> lock(mutex_);
  codeLibraries_.erase(Upper(FileNameOf(fileName)));
}

void HostedPlatform::SetIpcImports(std::function<void*(uint32_t)> allocate,
                                   std::function<int32_t(void*)> release) {
  std::lock_guard<SystemLock> lock(mutex_);
  ipcAllocate_ = std::move(allocate);
  ipcRelease_ = std::move(release);
}

void HostedPlatform::QueueEventResults(std::initializer_list<int32_t> results) {
  std::lock_guard<SystemLock> lock(mutex_);
  eventResults_.insert(eventResults_.end(), results.begin(), results.end());
}

HWinSta HostedPlatform::OriginalWindowStation() const { return Handle<HWinSta>(kOriginalStation); }
HDesk HostedPlatform::OriginalDesktop() const { return Handle<HDesk>(kOriginalDesktop); }

// ---- Registry ---------------------------------------------------------------

long HostedPlatform::RegOpenKeyExA(HKey root, const char* subKey, uint32_t options, uint32_t access,
                                   HKey* result) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("RegOpenKeyExA", [&] {
        return Hex(root) + ", " + Text(subKey) + ", " + std::to_string(options) + ", " +
               Hex(reinterpret_cast<void*>(uintptr_t{access}));
      })) {
    return kErrorFileNotFound;
  }
  if (root != HkeyLocalMachine() || subKey == nullptr) return kErrorFileNotFound;
  const HostedRegistry::Key* key = registry_.FindKey(subKey);
  if (key == nullptr) return kErrorFileNotFound;
  uintptr_t handle = nextHandle_++;
  openKeys_[handle] = key;
  *result = Handle<HKey>(handle);
  return kErrorSuccess;
}

long HostedPlatform::RegQueryValueExA(HKey key, const char* valueName, uint32_t* type,
                                      uint8_t* data, uint32_t* size) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("RegQueryValueExA", [&] {
        return Hex(key) + ", " + Text(valueName) + ", " + std::to_string(size ? *size : 0);
      })) {
    return kErrorFileNotFound;
  }
  auto open = openKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (open == openKeys_.end()) return 6;  // ERROR_INVALID_HANDLE
  auto value = open->second->values.find(Upper(valueName ? valueName : ""));
  if (value == open->second->values.end()) return kErrorFileNotFound;
  const std::vector<uint8_t>& bytes = value->second.data;
  if (type) *type = value->second.type;
  if (data == nullptr) {
    if (size) *size = static_cast<uint32_t>(bytes.size());
    return kErrorSuccess;
  }
  if (size == nullptr) return 87;  // ERROR_INVALID_PARAMETER
  if (*size < bytes.size()) {
    *size = static_cast<uint32_t>(bytes.size());
    return kErrorMoreData;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  *size = static_cast<uint32_t>(bytes.size());
  return kErrorSuccess;
}

long HostedPlatform::RegCloseKey(HKey key) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("RegCloseKey", [&] { return Hex(key); })) return 6;
  return openKeys_.erase(reinterpret_cast<uintptr_t>(key)) ? kErrorSuccess : 6;
}

// ---- Code pages ---------------------------------------------------------------

int HostedPlatform::WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide,
                                        int wideLength, char* out, int outSize,
                                        const char* defaultChar, int* usedDefault) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("WideCharToMultiByte", [&] {
        return std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
               std::to_string(wideLength) + ", " + std::to_string(outSize);
      })) {
    return 0;
  }
  if ((codePage != kCpAcp && codePage != 1252) || wide == nullptr || outSize < 0) return 0;
  if (wideLength < 0) wideLength = static_cast<int>(std::char_traits<char16_t>::length(wide)) + 1;
  if (wideLength == 0) return 0;  // Windows refuses an empty input
  if (outSize == 0) return wideLength;
  if (outSize < wideLength) return 0;  // ERROR_INSUFFICIENT_BUFFER
  char fallback = defaultChar ? *defaultChar : '?';
  bool defaulted = false;
  for (int i = 0; i < wideLength; ++i) {
    std::optional<uint8_t> byte = Cp1252FromUnicode(wide[i]);
    defaulted = defaulted || !byte;
    out[i] = byte ? static_cast<char>(*byte) : fallback;
  }
  if (usedDefault) *usedDefault = defaulted;
  return wideLength;
}

int HostedPlatform::MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow,
                                        int narrowLength, char16_t* out, int outSize) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("MultiByteToWideChar", [&] {
        return std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
               std::to_string(narrowLength) + ", " + std::to_string(outSize);
      })) {
    return 0;
  }
  if ((codePage != kCpAcp && codePage != 1252) || narrow == nullptr || outSize < 0) return 0;
  if (narrowLength < 0) narrowLength = static_cast<int>(std::strlen(narrow)) + 1;
  if (narrowLength == 0) return 0;
  if (outSize == 0) return narrowLength;
  if (outSize < narrowLength) return 0;
  for (int i = 0; i < narrowLength; ++i) {
    out[i] = Cp1252ToUnicode(static_cast<uint8_t>(narrow[i]));
  }
  return narrowLength;
}

// ---- Files ----------------------------------------------------------------------

std::optional<std::filesystem::path> HostedPlatform::MapPath(const std::string& windowsPath) const {
  if (diskRoot_.empty()) return std::nullopt;
  std::string path = windowsPath;
  std::string drive = "C";
  if (path.size() >= 2 && path[1] == ':') {
    drive = std::string(1, path[0]);
    path = path.substr(2);
  }
  if (path.empty() || (path[0] != '\\' && path[0] != '/')) return std::nullopt;
  // Each part names an existing entry when one matches ignoring ASCII case;
  // otherwise it is taken as written.
  auto step = [](const std::filesystem::path& folder, const std::string& name) {
    std::filesystem::path exact = folder / name;
    std::error_code error;
    if (std::filesystem::exists(exact, error)) return exact;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      if (Upper(entry.path().filename().string()) == Upper(name)) return entry.path();
    }
    return exact;
  };
  std::filesystem::path result = step(diskRoot_, drive);
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  for (const std::string& part : parts) result = step(result, part);
  return result;
}

std::optional<std::filesystem::path> HostedPlatform::MapPath(
    const std::u16string& windowsPath) const {
  return MapPath(ToStandardUtf8(windowsPath));
}

int32_t HostedPlatform::OpenFile(const char* path, uint32_t style) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("OpenFile", [&] { return Text(path) + ", " + std::to_string(style); })) {
    return kHfileError;
  }
  if (path == nullptr || style != kOfExist) return kHfileError;
  std::optional<std::filesystem::path> disk = MapPath(std::string(path));
  std::error_code error;
  return disk && std::filesystem::is_regular_file(*disk, error) ? 1 : kHfileError;
}

void HostedPlatform::SetReadOnly(const std::string& windowsPath) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (std::optional<std::filesystem::path> disk = MapPath(windowsPath))
    readOnlyFiles_.insert(*disk);
}

void HostedPlatform::SubstituteFile(const std::u16string& windowsPath,
                                    const std::filesystem::path& diskFile) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (std::optional<std::filesystem::path> disk = MapPath(windowsPath)) {
    substituteFiles_[*disk] = diskFile;
  }
}

HFile HostedPlatform::OpenExistingFile(std::optional<std::filesystem::path> disk, uint32_t access,
                                       uint32_t creation) {
  if (disk) {
    auto substitute = substituteFiles_.find(*disk);
    if (substitute != substituteFiles_.end()) disk = substitute->second;
  }
  std::error_code error;
  if (!disk || creation != kOpenExisting || !std::filesystem::is_regular_file(*disk, error)) {
    return InvalidHandleValue();
  }
  // ERROR_ACCESS_DENIED; the file is only ever read, so write access is not
  // asked of the disk.
  if ((access & kGenericWrite) != 0 && readOnlyFiles_.count(*disk) != 0) {
    return InvalidHandleValue();
  }
  auto file = std::make_unique<std::ifstream>(*disk, std::ios::binary);
  if (!*file) return InvalidHandleValue();
  uintptr_t handle = nextHandle_++;
  files_[handle] = std::move(file);
  return Handle<HFile>(handle);
}

HFile HostedPlatform::CreateFileW(const char16_t* path, uint32_t access, uint32_t shareMode,
                                  uint32_t creation) {
  std::lock_guard<SystemLock> lock(mutex_);
  const std::string utf8 = path ? ToStandardUtf8(path) : std::string();
  if (Call("CreateFileW",
           [&] {
             return Text(path ? utf8.c_str() : nullptr) + ", " +
                    Hex(reinterpret_cast<void*>(uintptr_t{access})) + ", " +
                    std::to_string(shareMode) + ", " + std::to_string(creation);
           }) ||
      path == nullptr) {
    return InvalidHandleValue();
  }
  return OpenExistingFile(MapPath(utf8), access, creation);
}

HFile HostedPlatform::CreateFileA(const char* path, uint32_t access, uint32_t shareMode,
                                  uint32_t creation) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("CreateFileA",
           [&] {
             return Text(path) + ", " + Hex(reinterpret_cast<void*>(uintptr_t{access})) + ", " +
                    std::to_string(shareMode) + ", " + std::to_string(creation);
           }) ||
      path == nullptr) {
    return InvalidHandleValue();
  }
  // The name is in the ANSI code page.
  std::u16string wide;
  for (const char* c = path; *c != '\0'; ++c) wide += Cp1252ToUnicode(static_cast<uint8_t>(*c));
  return OpenExistingFile(MapPath(wide), access, creation);
}

bool HostedPlatform::ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("ReadFile", [&] { return Hex(file) + ", " + std::to_string(size); })) return false;
  auto open = files_.find(reinterpret_cast<uintptr_t>(file));
  if (open == files_.end() || buffer == nullptr || read == nullptr) return false;
  open->second->read(static_cast<char*>(buffer), size);
  *read = static_cast<uint32_t>(open->second->gcount());
  if (open->second->bad()) return false;
  open->second->clear();  // the end of the file is no error
  return true;
}

bool HostedPlatform::CloseHandle(HFile file) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("CloseHandle", [&] { return Hex(file); })) return false;
  return files_.erase(reinterpret_cast<uintptr_t>(file)) != 0;
}

// ---- Modules ----------------------------------------------------------------------

HModule HostedPlatform::AddModule(Module module) {
  uintptr_t handle = nextHandle_++;
  module.references = 1;
  modules_[handle] = std::move(module);
  ++loads_;
  return Handle<HModule>(handle);
}

HostedPlatform::Module* HostedPlatform::FindModule(HModule module) {
  auto found = modules_.find(reinterpret_cast<uintptr_t>(module));
  return found == modules_.end() ? nullptr : &found->second;
}

// The identity of the regular file at |file|; std::nullopt when there is none.
std::optional<HostedPlatform::FileIdentity> HostedPlatform::IdentityOf(
    const std::filesystem::path& file) {
#ifdef __unix__
  // One call for both halves, where the portable way takes one for each: this
  // runs for every string that an event loads.
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileIdentity{info.st_size,
                      int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec};
#else
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  const std::filesystem::file_time_type modified = std::filesystem::last_write_time(file, error);
  if (error) return std::nullopt;
  return FileIdentity{static_cast<int64_t>(size), modified.time_since_epoch().count()};
#endif
}

std::shared_ptr<const PeResources> HostedPlatform::ReadPe(const std::string& windowsPath) {
  // A path met before is only checked, not mapped again: mapping looks at
  // every folder on the way.
  auto known = parsedFiles_.find(windowsPath);
  std::optional<FileIdentity> identity;
  if (known != parsedFiles_.end()) identity = IdentityOf(known->second.disk);
  if (!identity) {
    std::optional<std::filesystem::path> disk = MapPath(windowsPath);
    if (disk) identity = IdentityOf(*disk);
    if (!identity) {
      if (known != parsedFiles_.end()) parsedFiles_.erase(known);
      return nullptr;
    }
    known = parsedFiles_.insert_or_assign(windowsPath, ParsedFile{*disk, {}, nullptr}).first;
  } else if (known->second.identity == *identity) {
    return known->second.resources;
  }

  // Read whole. The identity kept is the one taken before reading, so a file
  // that changes while it is read is read again next time.
  ParsedFile& parsed = known->second;
  std::ifstream file(parsed.disk, std::ios::binary);
  if (!file) return nullptr;
  std::vector<uint8_t> bytes(static_cast<size_t>(identity->size));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(file.gcount()));
  parsed.identity = *identity;
  parsed.resources = PeResources::Parse(bytes);
  return parsed.resources;
}

const PeResources* HostedPlatform::ResourcesOf(HModule module) {
  if (module == nullptr || reinterpret_cast<uintptr_t>(module) == kHostModule) {
    if (!hostResourcesRead_) {
      hostResources_ = ReadPe(hostExecutable_);
      hostResourcesRead_ = true;
    }
    return hostResources_.get();
  }
  Module* found = FindModule(module);
  return found ? found->resources.get() : nullptr;
}

HModule HostedPlatform::LoadLibraryA(const char* fileName) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("LoadLibraryA", [&] { return Text(fileName); }) || fileName == nullptr) return nullptr;
  auto library = codeLibraries_.find(Upper(FileNameOf(fileName)));
  if (library == codeLibraries_.end()) return nullptr;
  // A library that is already loaded is not loaded again: its count goes up.
  for (auto& [handle, module] : modules_) {
    if (module.exports == &library->second) {
      ++module.references;
      ++loads_;
      return Handle<HModule>(handle);
    }
  }
  Module module;
  module.path = fileName;
  module.exports = &library->second;
  return AddModule(std::move(module));
}

HModule HostedPlatform::LoadLibraryExA(const char* fileName, uint32_t flags) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("LoadLibraryExA", [&] { return Text(fileName) + ", " + std::to_string(flags); }) ||
      fileName == nullptr) {
    return nullptr;
  }
  if ((flags & kLoadLibraryAsDatafile) == 0) return LoadLibraryA(fileName);
  Module module;
  module.path = fileName;
  module.resources = ReadPe(fileName);
  if (!module.resources) return nullptr;
  return AddModule(std::move(module));
}

bool HostedPlatform::FreeLibrary(HModule module) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("FreeLibrary", [&] { return Hex(module); })) return false;
  auto found = modules_.find(reinterpret_cast<uintptr_t>(module));
  if (found == modules_.end()) return false;
  ++releases_;
  if (--found->second.references == 0) modules_.erase(found);
  return true;
}

void* HostedPlatform::GetProcAddress(HModule module, const char* name) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("GetProcAddress", [&] { return Hex(module) + ", " + Text(name); }) || name == nullptr) {
    return nullptr;
  }
  Module* found = FindModule(module);
  if (found == nullptr || found->exports == nullptr) return nullptr;
  auto entry = found->exports->find(name);
  return entry == found->exports->end() ? nullptr : entry->second;
}

uint32_t HostedPlatform::SetErrorMode(uint32_t mode) {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("SetErrorMode", [&] { return Hex(reinterpret_cast<void*>(uintptr_t{mode})); });
  uint32_t previous = errorMode_;
  errorMode_ = mode;
  return previous;
}

int HostedPlatform::LoadStringA(HModule module, uint32_t id, char* buffer, int size) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("LoadStringA",
           [&] { return Hex(module) + ", " + std::to_string(id) + ", " + std::to_string(size); }) ||
      buffer == nullptr || size <= 0) {
    return 0;
  }
  buffer[0] = '\0';
  const PeResources* resources = ResourcesOf(module);
  std::optional<std::u16string> text = resources ? resources->String(id) : std::nullopt;
  if (!text) return 0;
  int count = std::min(static_cast<int>(text->size()), size - 1);
  for (int i = 0; i < count; ++i) {
    buffer[i] = static_cast<char>(Cp1252FromUnicode((*text)[i]).value_or('?'));
  }
  buffer[count] = '\0';
  return count;
}

bool HostedPlatform::EnumResourceNamesA(HModule module, ResourceName type,
                                        const EnumResourceNameCallback& callback) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("EnumResourceNamesA", [&] { return Hex(module) + ", " + Hex(type); })) return false;
  const PeResources* resources = ResourcesOf(module);
  if (resources == nullptr) return false;
  std::vector<ResourceName> names = resources->Names(type);
  if (names.empty()) return false;
  for (ResourceName name : names) {
    if (!callback(name)) return false;
  }
  return true;
}

bool HostedPlatform::EnumResourceLanguagesA(HModule module, ResourceName type, ResourceName name,
                                            const EnumResourceLanguageCallback& callback) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("EnumResourceLanguagesA",
           [&] { return Hex(module) + ", " + Hex(type) + ", " + Hex(name); })) {
    return false;
  }
  const PeResources* resources = ResourcesOf(module);
  if (resources == nullptr) return false;
  std::vector<uint16_t> languages = resources->Languages(type, name);
  if (languages.empty()) return false;
  for (uint16_t language : languages) {
    if (!callback(language)) return false;
  }
  return true;
}

HModule HostedPlatform::GetModuleHandleA(const char* name) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("GetModuleHandleA", [&] { return Text(name); })) return nullptr;
  if (name == nullptr) return Handle<HModule>(kHostModule);
  for (auto& [handle, module] : modules_) {
    if (module.exports && Upper(FileNameOf(module.path)) == Upper(FileNameOf(name))) {
      return Handle<HModule>(handle);
    }
  }
  return nullptr;
}

uint32_t HostedPlatform::GetModuleFileNameA(HModule module, char* buffer, uint32_t size) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("GetModuleFileNameA", [&] { return Hex(module) + ", " + std::to_string(size); }) ||
      buffer == nullptr || size == 0) {
    return 0;
  }
  std::string path;
  if (module == nullptr || reinterpret_cast<uintptr_t>(module) == kHostModule) {
    path = hostExecutable_;
  } else if (Module* found = FindModule(module)) {
    path = found->path;
  } else {
    return 0;
  }
  uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(path.size()), size - 1);
  std::memcpy(buffer, path.data(), count);
  buffer[count] = '\0';
  return path.size() < size ? count : size;
}

// ---- Locale and version ------------------------------------------------------------

uint32_t HostedPlatform::GetUserDefaultLCID() {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("GetUserDefaultLCID");
  return lcid_;
}

bool HostedPlatform::GetVersionExA(OsVersionInfoA* info) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("GetVersionExA", [&] { return std::to_string(info ? info->dwOSVersionInfoSize : 0); }) ||
      info == nullptr || info->dwOSVersionInfoSize != sizeof(OsVersionInfoA)) {
    return false;
  }
  info->dwMajorVersion = platformId_ == kVerPlatformWin32Nt ? 5 : 4;
  info->dwMinorVersion = platformId_ == kVerPlatformWin32Nt ? 1 : 10;
  info->dwBuildNumber = 2600;
  info->dwPlatformId = platformId_;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return true;
}

// ---- Window stations and desktops ------------------------------------------------

HWinSta HostedPlatform::GetProcessWindowStation() {
  std::lock_guard<SystemLock> lock(mutex_);
  return Call("GetProcessWindowStation") ? nullptr : processStation_;
}

uint32_t HostedPlatform::GetCurrentThreadId() {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("GetCurrentThreadId");
  return kThreadId;
}

HDesk HostedPlatform::GetThreadDesktop(uint32_t threadId) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("GetThreadDesktop", [&] { return std::to_string(threadId); }) || threadId != kThreadId) {
    return nullptr;
  }
  return threadDesktop_;
}

HWinSta HostedPlatform::OpenWindowStationA(const char* name, bool inherit, uint32_t access) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("OpenWindowStationA",
           [&] {
             return Text(name) + ", " + (inherit ? "true" : "false") + ", " +
                    Hex(reinterpret_cast<void*>(uintptr_t{access}));
           }) ||
      name == nullptr) {
    return nullptr;
  }
  uintptr_t handle = nextHandle_++;
  openDesktopObjects_.insert(handle);
  return Handle<HWinSta>(handle);
}

bool HostedPlatform::SetProcessWindowStation(HWinSta station) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("SetProcessWindowStation", [&] { return Hex(station); }) || station == nullptr) {
    return false;
  }
  processStation_ = station;
  return true;
}

HDesk HostedPlatform::OpenDesktopA(const char* name, uint32_t flags, bool inherit,
                                   uint32_t access) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("OpenDesktopA",
           [&] {
             return Text(name) + ", " + std::to_string(flags) + ", " +
                    (inherit ? "true" : "false") + ", " +
                    Hex(reinterpret_cast<void*>(uintptr_t{access}));
           }) ||
      name == nullptr) {
    return nullptr;
  }
  uintptr_t handle = nextHandle_++;
  openDesktopObjects_.insert(handle);
  return Handle<HDesk>(handle);
}

bool HostedPlatform::SetThreadDesktop(HDesk desktop) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("SetThreadDesktop", [&] { return Hex(desktop); }) || desktop == nullptr) return false;
  threadDesktop_ = desktop;
  return true;
}

bool HostedPlatform::CloseWindowStation(HWinSta station) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("CloseWindowStation", [&] { return Hex(station); })) return false;
  return openDesktopObjects_.erase(reinterpret_cast<uintptr_t>(station)) != 0;
}

bool HostedPlatform::CloseDesktop(HDesk desktop) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("CloseDesktop", [&] { return Hex(desktop); })) return false;
  return openDesktopObjects_.erase(reinterpret_cast<uintptr_t>(desktop)) != 0;
}

// ---- Time and synchronisation -------------------------------------------------------

uint32_t HostedPlatform::GetTickCount() {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("GetTickCount");
  return tickCount_;
}

void HostedPlatform::Sleep(uint32_t milliseconds) {
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard<SystemLock> lock(mutex_);
    Call("Sleep", [&] { return std::to_string(milliseconds); });
    sleeps_.push_back(milliseconds);
    hook = sleepHook_;
  }
  if (hook) hook(milliseconds);
}

void HostedPlatform::SetSleepHook(std::function<void(uint32_t)> hook) {
  std::lock_guard<SystemLock> lock(mutex_);
  sleepHook_ = std::move(hook);
}

uint32_t HostedPlatform::WaitForSingleObject(HSync handle, uint32_t milliseconds) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("WaitForSingleObject", [&] {
        return Hex(handle) + ", " + Hex(reinterpret_cast<void*>(uintptr_t{milliseconds}));
      })) {
    return 0xFFFFFFFFu;  // WAIT_FAILED
  }
  return waitResult_;
}

bool HostedPlatform::ReleaseMutex(HSync mutex) {
  std::lock_guard<SystemLock> lock(mutex_);
  return !Call("ReleaseMutex", [&] { return Hex(mutex); });
}

bool HostedPlatform::SetEvent(HSync event) {
  std::lock_guard<SystemLock> lock(mutex_);
  return !Call("SetEvent", [&] { return Hex(event); });
}

bool HostedPlatform::PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                        intptr_t lParam) {
  std::lock_guard<SystemLock> lock(mutex_);
  return !Call("PostThreadMessageA", [&] {
    return std::to_string(threadId) + ", " + std::to_string(message) + ", " +
           std::to_string(wParam) + ", " + std::to_string(lParam);
  });
}

void HostedPlatform::PostQuitMessage(int exitCode) {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("PostQuitMessage", [&] { return std::to_string(exitCode); });
}

// ---- Critical sections ---------------------------------------------------------------
// Real locks, so that a test sees one thread wait for another. The platform's
// own lock is never held while a thread waits for a critical section.

HLock HostedPlatform::CreateCriticalSection() {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("CreateCriticalSection")) return nullptr;
  uintptr_t handle = nextHandle_++;
  criticalSections_[handle] = std::make_unique<CriticalSection>();
  return Handle<HLock>(handle);
}

void HostedPlatform::EnterCriticalSection(HLock section) {
  CriticalSection* entered = nullptr;
  {
    std::lock_guard<SystemLock> lock(mutex_);
    Call("EnterCriticalSection", [&] { return Hex(section); });
    auto found = criticalSections_.find(reinterpret_cast<uintptr_t>(section));
    if (found == criticalSections_.end()) return;
    entered = found->second.get();
    ++entered->waiting;
  }
  entered->lock.lock();
  std::lock_guard<SystemLock> lock(mutex_);
  --entered->waiting;
}

void HostedPlatform::LeaveCriticalSection(HLock section) {
  std::lock_guard<SystemLock> lock(mutex_);
  Call("LeaveCriticalSection", [&] { return Hex(section); });
  auto found = criticalSections_.find(reinterpret_cast<uintptr_t>(section));
  if (found != criticalSections_.end()) found->second->lock.unlock();
}

void HostedPlatform::DeleteCriticalSection(HLock section) {
  if (section == nullptr) return;
  std::lock_guard<SystemLock> lock(mutex_);
  Call("DeleteCriticalSection", [&] { return Hex(section); });
  criticalSections_.erase(reinterpret_cast<uintptr_t>(section));
}

int HostedPlatform::ThreadsWaitingToEnter() const {
  std::lock_guard<SystemLock> lock(mutex_);
  int waiting = 0;
  for (const auto& entry : criticalSections_) waiting += entry.second->waiting;
  return waiting;
}

// ---- The maker's libraries -------------------------------------------------------------

int32_t HostedPlatform::VNXEventW(const VnxEventArgs& args) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("VNXEventW", [&] { return std::to_string(args.eventCode); })) return -1;
  auto wide = [](const char16_t* text) { return text ? std::u16string(text) : std::u16string(); };
  PostedEvent event;
  event.source = wide(args.source);
  event.typePath.assign(args.typePath, args.typePath + EntriesBeforeNull(args.typePath));
  event.text = wide(args.text);
  event.language = args.language ? args.language : "";
  event.eventCode = args.eventCode;
  event.attributes.reserve(EntriesBeforeNull(args.attributes));
  for (EventAttribute* const* entry = args.attributes; entry && *entry; ++entry) {
    event.attributes.push_back({wide((*entry)->name), (*entry)->type, wide((*entry)->value)});
  }
  event.destination = args.destination ? args.destination : "";
  event.reservedArguments[0] = args.arg5;
  event.reservedArguments[1] = args.arg8;
  event.reservedArguments[2] = args.arg9;
  event.reservedArguments[3] = args.arg11;
  if (!eventResults_.empty()) {
    event.result = eventResults_.front();
    eventResults_.pop_front();
  }
  const int32_t result = event.result;
  events_.push_back(std::move(event));
  return result;
}

void* HostedPlatform::IpcAllocateMessage(uint32_t size) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("IpcAllocateMessage", [&] { return std::to_string(size); })) return nullptr;
  return ipcAllocate_(size);
}

int32_t HostedPlatform::IpcReleaseMessage(void* message) {
  std::lock_guard<SystemLock> lock(mutex_);
  if (Call("IpcReleaseMessage", [&] { return Hex(message); })) return 0;
  return ipcRelease_(message);
}

}  // namespace qel
