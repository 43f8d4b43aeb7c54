// The module files the hosted platform has parsed, each kept for as long as
// the file on disk stays the same file with the same contents as far as its
// status tells; Windows maps an image afresh at each load, which is what this
// cache saves (a string load per event would otherwise read the whole plug-in).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace qel {

class HostedDisk;
class PeResources;

class ModuleFileCache {
 public:
  // What the PE file at |windowsPath| holds; null when it is missing or not a
  // well-formed image.
  std::shared_ptr<const PeResources> Read(const std::string& windowsPath, const HostedDisk& disk);
  // Forgets every file: for when the Windows paths lead elsewhere.
  void Clear() { files_.clear(); }

  // What tells one version of a file from another. Size and modification
  // time alone miss a file rewritten within one tick of the file system's
  // clock, or copied with its time kept; the file's device and inode, and the
  // inode's change time (which no copy keeps), tell those apart where the
  // system has them.
  struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified = 0;  // in the file system's own unit
    int64_t changed = 0;   // in nanoseconds; 0 where the system keeps no change time
    bool operator==(const Identity& o) const {
      return device == o.device && inode == o.inode && size == o.size && modified == o.modified &&
             changed == o.changed;
    }
  };
  // The identity of the regular file at |file|; std::nullopt when there is none.
  static std::optional<Identity> IdentityOf(const std::filesystem::path& file);

 private:
  struct ParsedFile {
    std::filesystem::path disk;  // where the Windows path led
    Identity identity;
    std::shared_ptr<const PeResources> resources;  // null: not a well-formed image
  };
  std::map<std::string, ParsedFile> files_;  // key: the Windows path as loaded
};

}  // namespace qel
