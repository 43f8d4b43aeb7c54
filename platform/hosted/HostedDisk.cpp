#include "platform/hosted/HostedDisk.h"

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

HFile HostedDisk::Open(const char16_t* path, uint32_t access, uint32_t creation) {
  if (path == nullptr) return InvalidHandleValue();
  return OpenExisting(Map(std::u16string(path)), access, creation);
}

HFile HostedDisk::Open(const char* path, uint32_t access, uint32_t creation) {
  if (path == nullptr) return InvalidHandleValue();
  std::u16string wide;
  for (const char* c = path; *c != '\0'; ++c) wide += Cp1252ToUnicode(static_cast<uint8_t>(*c));
  return OpenExisting(Map(wide), access, creation);
}

HFile HostedDisk::OpenExisting(std::optional<std::filesystem::path> disk, uint32_t access,
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
  uintptr_t handle = handles_.Next();
  files_[handle] = std::move(file);
  return Handle<HFile>(handle);
}

bool HostedDisk::Read(HFile file, void* buffer, uint32_t size, uint32_t* read) {
  auto open = files_.find(HandleValue(file));
  if (open == files_.end() || buffer == nullptr || read == nullptr) return false;
  open->second->read(static_cast<char*>(buffer), size);
  *read = static_cast<uint32_t>(open->second->gcount());
  if (open->second->bad()) return false;
  open->second->clear();  // the end of the file is no error
  return true;
}

}  // namespace qel
