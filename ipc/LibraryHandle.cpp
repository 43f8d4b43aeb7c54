#include "ipc/LibraryHandle.h"

#include <algorithm>

#include "platform/ScopedHandles.h"

namespace qel {
namespace {

// Critical errors fail without a message box, and a file that cannot be
// opened shows none either: a missing optional library must go unnoticed.
constexpr uint32_t kQuietErrorMode = kSemFailCriticalErrors | kSemNoOpenFileErrorBox;

// The C runtime's file-name part holds at most this many characters.
constexpr size_t kMaxBaseNameLength = 255;

}  // namespace

std::string LibraryBaseName(const std::string& path) {
  // A drive ends at the colon in the second place; folders end at either slash.
  size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  size_t slash = path.find_last_of("\\/");
  if (slash != std::string::npos && slash + 1 > start) start = slash + 1;
  size_t dot = path.rfind('.');
  size_t end = dot != std::string::npos && dot >= start ? dot : path.size();
  std::string name = path.substr(start, std::min(end - start, kMaxBaseNameLength));
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

LibraryHandle::LibraryHandle(Platform& platform, const char* path) : platform_(platform) {
  if (path == nullptr) return;
  path_ = path;
  baseName_ = LibraryBaseName(*path_);
  Load();
}

bool LibraryHandle::Load() {
  if (module_ != nullptr) {
    ++loadCount_;
    return true;
  }
  if (!path_) return false;
  {
    ScopedErrorMode quiet(platform_, kQuietErrorMode);
    module_ = platform_.LoadLibraryA(path_->c_str());
  }
  loadCount_ = module_ != nullptr ? 1 : 0;
  return module_ != nullptr;
}

void* LibraryHandle::Resolve(const char* name) const {
  if (module_ == nullptr) return nullptr;
  return platform_.GetProcAddress(module_, name);
}

void LibraryHandle::Release() {
  path_.reset();
  baseName_.reset();
  if (module_ != nullptr && loadCount_ > 0) {
    platform_.FreeLibrary(module_);
    module_ = nullptr;
  }
}

}  // namespace qel
