#include "platform/hosted/HostedModules.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/hosted/CodePage1252.h"
#include "platform/hosted/HostText.h"
#include "platform/hosted/HostedDisk.h"
#include "platform/hosted/PeResources.h"

namespace qel {
namespace {

// Where GetModuleHandleA(NULL) finds the host: its image base.
const uintptr_t kHostModule = 0x400000;

bool IsHost(HModule module) { return module == nullptr || HandleValue(module) == kHostModule; }

// The file name of a Windows path, without its folder, as names are matched.
std::string LibraryKey(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return UpperAscii(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

void HostedModules::InstallCodeLibrary(const std::string& fileName, ExportTable exports) {
  codeLibraries_[LibraryKey(fileName)] = std::move(exports);
}

void HostedModules::RemoveCodeLibrary(const std::string& fileName) {
  codeLibraries_.erase(LibraryKey(fileName));
}

void HostedModules::ForgetFiles() {
  files_.Clear();
  hostResources_.reset();
  hostResourcesRead_ = false;
}

HModule HostedModules::Add(Module module) {
  uintptr_t handle = handles_.Next();
  module.references = 1;
  modules_[handle] = std::move(module);
  ++loads_;
  return Handle<HModule>(handle);
}

const HostedModules::Module* HostedModules::Find(HModule module) const {
  auto found = modules_.find(HandleValue(module));
  return found == modules_.end() ? nullptr : &found->second;
}

const PeResources* HostedModules::ResourcesOf(HModule module) {
  if (IsHost(module)) {
    if (!hostResourcesRead_) {
      hostResources_ = files_.Read(hostExecutable_, disk_);
      hostResourcesRead_ = true;
    }
    return hostResources_.get();
  }
  const Module* found = Find(module);
  return found ? found->resources.get() : nullptr;
}

HModule HostedModules::LoadCode(const char* fileName) {
  if (fileName == nullptr) return nullptr;
  auto library = codeLibraries_.find(LibraryKey(fileName));
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
  return Add(std::move(module));
}

HModule HostedModules::LoadData(const char* fileName) {
  Module module;
  module.path = fileName;
  module.resources = files_.Read(fileName, disk_);
  if (!module.resources) return nullptr;
  return Add(std::move(module));
}

bool HostedModules::Free(HModule module) {
  auto found = modules_.find(HandleValue(module));
  if (found == modules_.end()) return false;
  ++releases_;
  if (--found->second.references == 0) modules_.erase(found);
  return true;
}

void* HostedModules::ProcAddress(HModule module, const char* name) {
  const Module* found = name ? Find(module) : nullptr;
  if (found == nullptr || found->exports == nullptr) return nullptr;
  auto entry = found->exports->find(name);
  return entry == found->exports->end() ? nullptr : entry->second;
}

uint32_t HostedModules::SetErrorMode(uint32_t mode) {
  uint32_t previous = errorMode_;
  errorMode_ = mode;
  return previous;
}

int HostedModules::LoadString(HModule module, uint32_t id, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
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

bool HostedModules::EnumNames(HModule module, ResourceName type,
                              const EnumResourceNameCallback& callback) {
  const PeResources* resources = ResourcesOf(module);
  if (resources == nullptr) return false;
  std::vector<ResourceName> names = resources->Names(type);
  if (names.empty()) return false;
  for (ResourceName name : names) {
    if (!callback(name)) return false;
  }
  return true;
}

bool HostedModules::EnumLanguages(HModule module, ResourceName type, ResourceName name,
                                  const EnumResourceLanguageCallback& callback) {
  const PeResources* resources = ResourcesOf(module);
  if (resources == nullptr) return false;
  std::vector<uint16_t> languages = resources->Languages(type, name);
  if (languages.empty()) return false;
  for (uint16_t language : languages) {
    if (!callback(language)) return false;
  }
  return true;
}

HModule HostedModules::ModuleHandle(const char* name) const {
  if (name == nullptr) return Handle<HModule>(kHostModule);
  for (const auto& [handle, module] : modules_) {
    if (module.exports && LibraryKey(module.path) == LibraryKey(name)) {
      return Handle<HModule>(handle);
    }
  }
  return nullptr;
}

uint32_t HostedModules::FileName(HModule module, char* buffer, uint32_t size) const {
  if (buffer == nullptr || size == 0) return 0;
  std::string path;
  if (IsHost(module)) {
    path = hostExecutable_;
  } else if (const Module* found = Find(module)) {
    path = found->path;
  } else {
    return 0;
  }
  uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(path.size()), size - 1);
  std::memcpy(buffer, path.data(), count);
  buffer[count] = '\0';
  return path.size() < size ? count : size;
}

}  // namespace qel
