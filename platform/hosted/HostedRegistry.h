// An in-memory registry: a tree of keys (names compared ignoring ASCII case,
// as Windows does) holding typed binary values, and the keys that the
// registry calls opened. Leaves out every root key but HKEY_LOCAL_MACHINE,
// access rights, security and writing through the calls.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/hosted/HostedHandles.h"

namespace qel {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

class HostedRegistry {
 public:
  struct Value {
    uint32_t type = kRegSz;
    std::vector<uint8_t> data;
  };
  struct Key {
    std::map<std::string, std::unique_ptr<Key>> subkeys;  // by upper-case name
    std::map<std::string, Value> values;                  // by upper-case name
  };

  // Path below HKEY_LOCAL_MACHINE, separated by backslashes, e.g.
  // "SOFTWARE\\Vendor\\Product". Creates missing keys.
  Key& CreateKey(const std::string& path);
  // Null when any part is missing.
  const Key* FindKey(const std::string& path) const;
  // A handle still open to the key or a key below it stays open, as on
  // Windows, and reads nothing more (ERROR_KEY_DELETED).
  void DeleteKey(const std::string& path);

  // A REG_SZ value stores its bytes and a terminating NUL, as Windows does.
  void SetString(const std::string& keyPath, const std::string& name, const std::string& text);
  void SetValue(const std::string& keyPath, const std::string& name, Value value);

  // Loads a registry export in the REGEDIT4 text format ("REGEDIT4" first,
  // [HKEY_LOCAL_MACHINE\...] sections, "name"="text", @="text", dword:xxxxxxxx,
  // hex:xx,xx with backslash continuations, ; comments, [-key] deletions, and
  // "name"=- removals). Text is taken byte for byte, which is what regedit does
  // with the ANSI code page. Returns false with a message naming the line on
  // the first error; what was read before it stays.
  bool LoadRegedit4(const std::string& text, std::string* error);

  // RegOpenKeyExA, RegQueryValueExA and RegCloseKey.
  long OpenKey(HKey root, const char* subKey, HandleCounter& handles, HKey* result);
  long QueryValue(HKey key, const char* valueName, uint32_t* type, uint8_t* data,
                  uint32_t* size) const;
  long CloseKey(HKey key);

 private:
  // Marks the handles open to |key| and the keys below it as deleted.
  void ForgetOpened(const Key& key);

  Key root_;
  std::map<uintptr_t, const Key*> openKeys_;  // null: the key was deleted
};

}  // namespace qel
