#include "platform/hosted/ModuleFileCache.h"

#include <fstream>
#include <vector>

#ifdef __unix__
#include <sys/stat.h>
#endif

#include "platform/hosted/HostedDisk.h"
#include "platform/hosted/PeResources.h"

namespace qel {

std::optional<ModuleFileCache::Identity> ModuleFileCache::IdentityOf(
    const std::filesystem::path& file) {
#ifdef __unix__
  // One call for all of it, where the portable way takes one for each part:
  // this runs for every string that an event loads.
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return Identity{uint64_t{info.st_dev}, uint64_t{info.st_ino}, int64_t{info.st_size},
                  int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec,
                  int64_t{info.st_ctim.tv_sec} * 1000000000 + info.st_ctim.tv_nsec};
#else
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  const std::filesystem::file_time_type modified = std::filesystem::last_write_time(file, error);
  if (error) return std::nullopt;
  Identity identity;
  identity.size = static_cast<int64_t>(size);
  identity.modified = modified.time_since_epoch().count();
  return identity;
#endif
}

std::shared_ptr<const PeResources> ModuleFileCache::Read(const std::string& windowsPath,
                                                         const HostedDisk& disk) {
  // A path met before is only checked, not mapped again: mapping looks at
  // every folder on the way.
  auto known = files_.find(windowsPath);
  std::optional<Identity> identity;
  if (known != files_.end()) identity = IdentityOf(known->second.disk);
  if (!identity) {
    std::optional<std::filesystem::path> onDisk = disk.Map(windowsPath);
    if (onDisk) identity = IdentityOf(*onDisk);
    if (!identity) {
      if (known != files_.end()) files_.erase(known);
      return nullptr;
    }
    known = files_.insert_or_assign(windowsPath, ParsedFile{*onDisk, {}, nullptr}).first;
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

}  // namespace qel
