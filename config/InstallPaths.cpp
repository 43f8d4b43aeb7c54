#include "config/InstallPaths.h"

#include <cstring>
#include <optional>

#include "config/TextConversions.h"

namespace qel {
namespace {

constexpr size_t kValueBufferSize = 256;

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// An open registry key, closed exactly once.
constexpr uint32_t kRegDword = 4;  // REG_DWORD

class ScopedKey {
 public:
  explicit ScopedKey(Platform& platform) : platform_(platform) {}
  ~ScopedKey() {
    if (key_ != nullptr) platform_.RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  bool Open(const std::string& subKey, uint32_t access) {
    return platform_.RegOpenKeyExA(HkeyLocalMachine(), subKey.c_str(), 0, access, &key_) ==
           kErrorSuccess;
  }

  // A REG_DWORD value; nothing for a value of another type or size.
  std::optional<uint32_t> ReadDword(const char* valueName) {
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    if (platform_.RegQueryValueExA(key_, valueName, &type, reinterpret_cast<uint8_t*>(&value),
                                   &size) != kErrorSuccess ||
        type != kRegDword || size != sizeof value) {
      return std::nullopt;
    }
    return value;
  }

  // The value's text up to its first NUL byte. A value needs its terminator
  // within the buffer: one of 256 characters or more counts as missing, even
  // when it was stored without a terminator and so happens to fit.
  std::optional<std::string> ReadText(const char* valueName) {
    uint8_t buffer[kValueBufferSize] = {};
    uint32_t size = sizeof buffer;
    if (platform_.RegQueryValueExA(key_, valueName, nullptr, buffer, &size) != kErrorSuccess) {
      return std::nullopt;
    }
    const void* end = std::memchr(buffer, 0, sizeof buffer);
    if (end == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer),
                       static_cast<const uint8_t*>(end) - buffer);
  }

 private:
  Platform& platform_;
  HKey key_ = nullptr;
};

}  // namespace

PathParts::PathParts(const std::u16string& path) {
  const std::u16string text = path.substr(0, path.find(u'\0'));
  size_t rest = 0;
  if (text.size() >= 2 && text[1] == u':') {
    drive = text.substr(0, 2);
    rest = 2;
  }
  size_t nameStart = rest;
  for (size_t i = rest; i < text.size(); ++i) {
    if (IsSeparator(text[i])) nameStart = i + 1;
  }
  directory = text.substr(rest, nameStart - rest);
  fileName = text.substr(nameStart);
}

void PathParts::SetFileName(const std::u16string& name) { fileName = name; }

std::u16string PathParts::Join() const {
  const size_t dot = fileName.rfind(u'.');
  const size_t nameLength = dot == std::u16string::npos ? fileName.size() : dot;
  const size_t extensionLength = fileName.size() - nameLength;
  if (directory.size() > kMaxComponent || nameLength > kMaxComponent ||
      extensionLength > kMaxComponent) {
    return std::u16string();
  }

  std::u16string joined;
  if (!drive.empty()) {
    joined += drive[0];
    joined += u':';
  }
  if (!directory.empty()) {
    joined += directory;
    if (!IsSeparator(directory.back())) joined += u'\\';
  }
  joined += fileName;
  return joined.size() > kMaxPath ? std::u16string() : joined;
}

int32_t GetInstallDirectory(Platform& platform, std::u16string& directory) {
  std::string keyPath;
  return ReadInstallDirectory(platform, kKeyRead, keyPath, directory);
}

int32_t ReadInstallDirectory(Platform& platform, uint32_t access, std::string& keyPath,
                             std::u16string& directory) {
  int32_t result = -1;
  try {
    keyPath = kProductKey;
    {
      ScopedKey product(platform);
      if (product.Open(keyPath, access)) {
        if (std::optional<std::string> version = product.ReadText("Version")) {
          keyPath += '\\';
          keyPath += *version;
        }
      }
    }

    ScopedKey key(platform);
    if (!key.Open(keyPath, access)) return -1;
    if (std::optional<std::string> path = key.ReadText("TELVARPATH")) {
      // The narrow registry read delivers the text in the system ANSI code
      // page, so that is how it is decoded: a folder such as
      // C:\Programme\Überwachung must name itself, not a folder that does not
      // exist.
      std::u16string decoded = AnsiToWide(platform, *path);
      if (!decoded.empty() && decoded.back() != u'\\') decoded += u'\\';
      directory.swap(decoded);
      result = 0;
    }
  } catch (...) {
    // Out of memory: what was reached stands, the key is closed by now.
  }
  return result;
}

int32_t GetCiDirectory(Platform& platform, std::u16string& directory) {
  GetInstallDirectory(platform, directory);
  try {
    directory += u"\\ci\\";
  } catch (...) {
    return -1;
  }
  return 0;
}

std::u16string ComposeCiFilePath(Platform& platform, const std::u16string& fileName) {
  std::u16string folder;
  GetCiDirectory(platform, folder);
  PathParts parts(folder);
  parts.SetFileName(fileName);
  return parts.Join();
}

std::optional<std::string> ReadProductKeyText(Platform& platform, const char* valueName) {
  ScopedKey key(platform);
  if (!key.Open(kProductKey, kKeyRead)) return std::nullopt;
  return key.ReadText(valueName);
}

std::optional<uint32_t> ReadProductKeyDword(Platform& platform, const char* valueName) {
  ScopedKey key(platform);
  if (!key.Open(kProductKey, kKeyRead)) return std::nullopt;
  return key.ReadDword(valueName);
}

}  // namespace qel
