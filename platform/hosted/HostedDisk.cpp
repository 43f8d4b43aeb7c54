#include "platform/hosted/HostedDisk.h"

#include <algorithm>
#include <vector>

#include "platform/hosted/CodePage1252.h"
#include "platform/hosted/HostText.h"

namespace qel {

std::optional<std::filesystem::path> HostedDisk::Map(const std::string& windowsPath) const {
  if (root_.empty()) return std::nullopt;
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
      if (UpperAscii(entry.path().filename().string()) == UpperAscii(name)) return entry.path();
    }
    return exact;
  };
  std::filesystem::path result = step(root_, drive);
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

std::optional<std::filesystem::path> HostedDisk::Map(const std::u16string& windowsPath) const {
  return Map(ToStandardUtf8(windowsPath));
}

void HostedDisk::Substitute(const std::u16string& windowsPath,
                            const std::filesystem::path& diskFile) {
  if (std::optional<std::filesystem::path> disk = Map(windowsPath)) {
    substituteFiles_[*disk] = diskFile;
  }
}

void HostedDisk::SetReadOnly(const std::string& windowsPath) {
  if (std::optional<std::filesystem::path> disk = Map(windowsPath)) readOnlyFiles_.insert(*disk);
}

int32_t HostedDisk::FileExists(const char* path, uint32_t style) const {
  if (path == nullptr || style != kOfExist) return kHfileError;
  std::optional<std::filesystem::path> disk = Map(std::string(path));
  std::error_code error;
  return disk && std::filesystem::is_regular_file(*disk, error) ? 1 : kHfileError;
}

HFile HostedDisk::Open(const char16_t* path, uint32_t access, uint32_t shareMode,
                       uint32_t creation) {
  if (path == nullptr) return InvalidHandleValue();
  return OpenMapped(Map(std::u16string(path)), access, shareMode, creation);
}

HFile HostedDisk::Open(const char* path, uint32_t access, uint32_t shareMode, uint32_t creation) {
  if (path == nullptr) return InvalidHandleValue();
  std::u16string wide;
  for (const char* c = path; *c != '\0'; ++c) wide += Cp1252ToUnicode(static_cast<uint8_t>(*c));
  return OpenMapped(Map(wide), access, shareMode, creation);
}

bool HostedDisk::Shareable(const std::filesystem::path& path, uint32_t access,
                           uint32_t shareMode) const {
  auto allows = [](uint32_t share, uint32_t wanted) {
    if ((wanted & kGenericRead) != 0 && (share & kFileShareRead) == 0) return false;
    return (wanted & kGenericWrite) == 0 || (share & kFileShareWrite) != 0;
  };
  for (const auto& [handle, open] : files_) {
    if (open.path != path) continue;
    if (!allows(open.shareMode, access) || !allows(shareMode, open.access)) return false;
  }
  return true;
}

bool HostedDisk::Writable(const std::filesystem::path& path) const {
  return readOnlyFiles_.count(path) == 0 && readOnlyFiles_.count(path.parent_path()) == 0;
}

HFile HostedDisk::OpenMapped(std::optional<std::filesystem::path> disk, uint32_t access,
                             uint32_t shareMode, uint32_t creation) {
  if (disk) {
    auto substitute = substituteFiles_.find(*disk);
    if (substitute != substituteFiles_.end()) disk = substitute->second;
  }
  std::error_code error;
  if (!disk || (creation != kOpenExisting && creation != kOpenAlways)) return InvalidHandleValue();
  const bool wantsWrite = (access & kGenericWrite) != 0;
  // ERROR_ACCESS_DENIED.
  if (wantsWrite && !Writable(*disk)) return InvalidHandleValue();
  if (!std::filesystem::is_regular_file(*disk, error)) {
    // ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when the folder is missing.
    if (creation != kOpenAlways || !writable_ ||
        !std::filesystem::is_directory(disk->parent_path(), error)) {
      return InvalidHandleValue();
    }
    std::ofstream(*disk, std::ios::binary | std::ios::app);
  }
  // ERROR_SHARING_VIOLATION.
  if (!Shareable(*disk, access, shareMode)) return InvalidHandleValue();
  std::ios::openmode mode = std::ios::binary | std::ios::in;
  if (wantsWrite) mode |= std::ios::out;
  auto stream = std::make_unique<std::fstream>(*disk, mode);
  if (!*stream) return InvalidHandleValue();
  uintptr_t handle = handles_.Next();
  files_[handle] = OpenFile{std::move(stream), *disk, access, shareMode, 0};
  return Handle<HFile>(handle);
}

HostedDisk::OpenFile* HostedDisk::Find(HFile file) {
  auto open = files_.find(HandleValue(file));
  return open == files_.end() ? nullptr : &open->second;
}

bool HostedDisk::LockedByOther(uintptr_t handle, const std::filesystem::path& path, uint64_t offset,
                               uint64_t length) const {
  for (const RangeLock& lock : locks_) {
    if (lock.handle == handle || lock.path != path) continue;
    if (offset < lock.offset + lock.length && lock.offset < offset + length) return true;
  }
  return false;
}

bool HostedDisk::Read(HFile file, void* buffer, uint32_t size, uint32_t* read) {
  OpenFile* open = Find(file);
  if (open == nullptr || buffer == nullptr || read == nullptr) return false;
  if ((open->access & kGenericRead) == 0) return false;
  // ERROR_LOCK_VIOLATION.
  if (size > 0 && LockedByOther(HandleValue(file), open->path, open->position, size)) return false;
  open->stream->clear();
  open->stream->seekg(static_cast<std::streamoff>(open->position));
  open->stream->read(static_cast<char*>(buffer), size);
  *read = static_cast<uint32_t>(open->stream->gcount());
  if (open->stream->bad()) return false;
  open->stream->clear();  // the end of the file is no error
  open->position += *read;
  return true;
}

bool HostedDisk::Write(HFile file, const void* buffer, uint32_t size, uint32_t* written) {
  OpenFile* open = Find(file);
  if (open == nullptr || buffer == nullptr || written == nullptr) return false;
  *written = 0;
  if ((open->access & kGenericWrite) == 0 || !writable_) return false;
  if (size > 0 && LockedByOther(HandleValue(file), open->path, open->position, size)) return false;
  uint32_t fits = size;
  if (freeBytes_) {
    const uint64_t end = std::max<uint64_t>(Size(file), open->position);
    const uint64_t growth = open->position + size > end ? open->position + size - end : 0;
    if (growth > *freeBytes_) fits = static_cast<uint32_t>(size - (growth - *freeBytes_));
    *freeBytes_ -= std::min<uint64_t>(growth, *freeBytes_);
  }
  open->stream->clear();
  open->stream->seekp(static_cast<std::streamoff>(open->position));
  open->stream->write(static_cast<const char*>(buffer), fits);
  open->stream->flush();
  if (!*open->stream) return false;
  *written = fits;
  open->position += fits;
  return fits == size;  // ERROR_DISK_FULL
}

uint32_t HostedDisk::Seek(HFile file, int32_t distance, uint32_t moveMethod) {
  OpenFile* open = Find(file);
  if (open == nullptr || (moveMethod != kFileBegin && moveMethod != kFileEnd)) {
    return kInvalidSetFilePointer;
  }
  const int64_t base = moveMethod == kFileBegin ? 0 : int64_t{Size(file)};
  const int64_t target = base + distance;
  if (target < 0) return kInvalidSetFilePointer;  // ERROR_NEGATIVE_SEEK
  open->position = static_cast<uint64_t>(target);
  return static_cast<uint32_t>(open->position);
}

bool HostedDisk::SetEnd(HFile file) {
  OpenFile* open = Find(file);
  if (open == nullptr || (open->access & kGenericWrite) == 0 || !writable_) return false;
  open->stream->flush();
  std::error_code error;
  std::filesystem::resize_file(open->path, open->position, error);
  return !error;
}

uint32_t HostedDisk::Size(HFile file) const {
  auto open = files_.find(HandleValue(file));
  if (open == files_.end()) return kInvalidFileSize;
  open->second.stream->flush();
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(open->second.path, error);
  return error ? kInvalidFileSize : static_cast<uint32_t>(size);
}

bool HostedDisk::Lock(HFile file, uint64_t offset, uint64_t length) {
  OpenFile* open = Find(file);
  if (open == nullptr || length == 0) return false;
  // A handle's own locks conflict with a new one of it as well.
  for (const RangeLock& lock : locks_) {
    if (lock.path == open->path && offset < lock.offset + lock.length &&
        lock.offset < offset + length) {
      return false;  // ERROR_LOCK_VIOLATION
    }
  }
  locks_.push_back({HandleValue(file), open->path, offset, length});
  return true;
}

bool HostedDisk::Unlock(HFile file, uint64_t offset, uint64_t length) {
  for (auto lock = locks_.begin(); lock != locks_.end(); ++lock) {
    if (lock->handle == HandleValue(file) && lock->offset == offset && lock->length == length) {
      locks_.erase(lock);
      return true;
    }
  }
  return false;  // ERROR_NOT_LOCKED
}

bool HostedDisk::Close(HFile file) {
  const uintptr_t handle = HandleValue(file);
  locks_.erase(std::remove_if(locks_.begin(), locks_.end(),
                              [handle](const RangeLock& lock) { return lock.handle == handle; }),
               locks_.end());
  return files_.erase(handle) != 0;
}

}  // namespace qel
