// The product's registry key for the Windows test programs (the test host,
// the tool's tests), written as the installer writes it and removed again.
#pragma once

#include <windows.h>

#include <string>

namespace qel::test {

constexpr char kProductKey[] = "SOFTWARE\\Korvane\\Telvar";
constexpr char kVendorKey[] = "SOFTWARE\\Korvane";
constexpr char kVersion[] = "qel-testhost";
constexpr char kVersionKey[] = "SOFTWARE\\Korvane\\Telvar\\qel-testhost";

std::string Narrow(UINT codePage, const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  }
  return out;
}

// The product's registry key, written as the installer writes it ("Version"
// naming a subkey that holds "TELVARPATH", in the ANSI code page) and removed
// again afterwards. A key that this program did not write is never touched.
class ProductRegistration {
 public:
  bool Register(const std::wstring& installFolder, std::string* error) {
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
        !SetString(kVersionKey, "TELVARPATH", Narrow(CP_ACP, installFolder))) {
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

}  // namespace qel::test
