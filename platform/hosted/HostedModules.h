// Modules: code libraries offered in-process by file name, PE files loaded as
// data files for their resources (string tables, names, languages), and the
// host's own module. Leaves out loading code from disk, search paths and
// every resource type but what the calls below read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "platform/hosted/HostedHandles.h"
#include "platform/hosted/ModuleFileCache.h"

namespace qel {

class HostedDisk;

class HostedModules {
 public:
  // Exports of an in-process code library: name -> entry point.
  using ExportTable = std::map<std::string, void*>;

  HostedModules(const HostedDisk& disk, HandleCounter& handles) : disk_(disk), handles_(handles) {}

  // Offered under a file name, matched ignoring case, without folder.
  void InstallCodeLibrary(const std::string& fileName, ExportTable exports);
  void RemoveCodeLibrary(const std::string& fileName);
  void SetHostExecutable(const std::string& windowsPath) { hostExecutable_ = windowsPath; }
  // Forgets what was read of every module file, the host's included; loaded
  // modules keep theirs, as a mapped image does.
  void ForgetFiles();

  int LoadedCount() const { return static_cast<int>(modules_.size()); }
  int LoadCount() const { return loads_; }
  int ReleaseCount() const { return releases_; }

  HModule LoadCode(const char* fileName);
  HModule LoadData(const char* fileName);
  bool Free(HModule module);
  void* ProcAddress(HModule module, const char* name);
  uint32_t SetErrorMode(uint32_t mode);
  int LoadString(HModule module, uint32_t id, char* buffer, int size);
  bool EnumNames(HModule module, ResourceName type, const EnumResourceNameCallback& callback);
  bool EnumLanguages(HModule module, ResourceName type, ResourceName name,
                     const EnumResourceLanguageCallback& callback);
  HModule ModuleHandle(const char* name) const;
  uint32_t FileName(HModule module, char* buffer, uint32_t size) const;

 private:
  struct Module {
    std::string path;  // as loaded (Windows form)
    int references = 0;
    std::shared_ptr<const PeResources> resources;  // data files and PE host executables
    const ExportTable* exports = nullptr;          // code libraries
  };
  HModule Add(Module module);
  const Module* Find(HModule module) const;
  // Those of a loaded module, or of the host's own (null or its handle).
  const PeResources* ResourcesOf(HModule module);

  const HostedDisk& disk_;
  HandleCounter& handles_;
  std::map<std::string, ExportTable> codeLibraries_;  // key: upper-case file name
  std::map<uintptr_t, Module> modules_;
  ModuleFileCache files_;
  std::string hostExecutable_ = "C:\\Program Files\\Host\\host.exe";
  std::shared_ptr<const PeResources> hostResources_;
  bool hostResourcesRead_ = false;
  uint32_t errorMode_ = 0;
  int loads_ = 0;
  int releases_ = 0;
};

}  // namespace qel
