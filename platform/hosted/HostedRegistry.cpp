#include "platform/hosted/HostedRegistry.h"

#include <algorithm>
#include <cstdlib>

#include "platform/hosted/HostText.h"

namespace qel {
namespace {

std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Reads a quoted REGEDIT4 string starting at text[pos] == '"'; on success
// leaves pos just after the closing quote.
bool ReadQuoted(const std::string& text, size_t& pos, std::string* out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  out->clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < text.size()) c = text[++pos];
    *out += c;
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = Trim(text.substr(start, end - start));
    if (!item.empty()) {
      char* stop = nullptr;
      unsigned long value = std::strtoul(item.c_str(), &stop, 16);
      if (*stop != '\0' || item.size() > 2 || value > 0xFF) return false;
      bytes->push_back(static_cast<uint8_t>(value));
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

HostedRegistry::Key& HostedRegistry::CreateKey(const std::string& path) {
  Key* key = &root_;
  for (const std::string& part : SplitKeyPath(path)) {
    std::unique_ptr<Key>& child = key->subkeys[UpperAscii(part)];
    if (!child) child = std::make_unique<Key>();
    key = child.get();
  }
  return *key;
}

const HostedRegistry::Key* HostedRegistry::FindKey(const std::string& path) const {
  const Key* key = &root_;
  for (const std::string& part : SplitKeyPath(path)) {
    auto child = key->subkeys.find(UpperAscii(part));
    if (child == key->subkeys.end()) return nullptr;
    key = child->second.get();
  }
  return key;
}

void HostedRegistry::DeleteKey(const std::string& path) {
  std::vector<std::string> parts = SplitKeyPath(path);
  if (parts.empty()) return;
  std::string last = UpperAscii(parts.back());
  parts.pop_back();
  Key* key = &root_;
  for (const std::string& part : parts) {
    auto child = key->subkeys.find(UpperAscii(part));
    if (child == key->subkeys.end()) return;
    key = child->second.get();
  }
  auto doomed = key->subkeys.find(last);
  if (doomed == key->subkeys.end()) return;
  ForgetOpened(*doomed->second);
  key->subkeys.erase(doomed);
}

void HostedRegistry::ForgetOpened(const Key& key) {
  for (auto& [handle, open] : openKeys_) {
    if (open == &key) open = nullptr;
  }
  for (const auto& [name, subkey] : key.subkeys) ForgetOpened(*subkey);
}

void HostedRegistry::SetString(const std::string& keyPath, const std::string& name,
                               const std::string& text) {
  Value value;
  value.type = kRegSz;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  SetValue(keyPath, name, std::move(value));
}

void HostedRegistry::SetValue(const std::string& keyPath, const std::string& name, Value value) {
  CreateKey(keyPath).values[UpperAscii(name)] = std::move(value);
}

bool HostedRegistry::LoadRegedit4(const std::string& text, std::string* error) {
  // Join continuation lines (a trailing backslash) first, remembering where
  // each logical line started for the messages.
  std::vector<std::pair<int, std::string>> lines;
  int number = 0;
  bool continuing = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++number;
    start = end + 1;
    if (continuing) {
      lines.back().second += Trim(line);
    } else {
      lines.emplace_back(number, line);
    }
    std::string& joined = lines.back().second;
    continuing = !joined.empty() && joined.back() == '\\' &&
                 joined.find('=') != std::string::npos && joined.find("=\"") == std::string::npos;
    if (continuing) joined.pop_back();
  }
  auto fail = [&](int line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  if (lines.empty() || Trim(lines[0].second) != "REGEDIT4") {
    return fail(1, "the file does not start with REGEDIT4");
  }
  const std::string hive = "HKEY_LOCAL_MACHINE\\";
  std::string currentKey;
  bool haveKey = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const int line = lines[i].first;
    std::string entry = Trim(lines[i].second);
    if (entry.empty() || entry[0] == ';') continue;
    if (entry[0] == '[') {
      if (entry.back() != ']') return fail(line, "a key line must end with ']'");
      std::string path = entry.substr(1, entry.size() - 2);
      bool remove = !path.empty() && path[0] == '-';
      if (remove) path = path.substr(1);
      if (UpperAscii(path.substr(0, hive.size())) != hive) {
        return fail(line, "only keys under HKEY_LOCAL_MACHINE are supported");
      }
      path = path.substr(hive.size());
      if (remove) {
        DeleteKey(path);
        haveKey = false;
      } else {
        CreateKey(path);
        currentKey = path;
        haveKey = true;
      }
      continue;
    }
    if (!haveKey) return fail(line, "a value outside of any key");
    std::string name;
    size_t pos = 0;
    if (entry[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(entry, pos, &name)) {
      return fail(line, "a value name must be quoted");
    }
    while (pos < entry.size() && (entry[pos] == ' ' || entry[pos] == '\t')) ++pos;
    if (pos >= entry.size() || entry[pos] != '=') return fail(line, "'=' expected after the name");
    std::string data = Trim(entry.substr(pos + 1));
    Value value;
    if (data == "-") {
      Key& key = CreateKey(currentKey);
      key.values.erase(UpperAscii(name));
      continue;
    }
    if (!data.empty() && data[0] == '"') {
      std::string textValue;
      size_t at = 0;
      if (!ReadQuoted(data, at, &textValue) || Trim(data.substr(at)) != "") {
        return fail(line, "unterminated string");
      }
      SetString(currentKey, name, textValue);
      continue;
    }
    if (data.rfind("dword:", 0) == 0) {
      std::string digits = data.substr(6);
      char* stop = nullptr;
      unsigned long number32 = std::strtoul(digits.c_str(), &stop, 16);
      if (digits.empty() || digits.size() > 8 || *stop != '\0') {
        return fail(line, "dword: takes eight hexadecimal digits");
      }
      value.type = kRegDword;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<uint8_t>(number32 >> (8 * b)));
    } else if (data.rfind("hex", 0) == 0) {
      size_t colon = data.find(':');
      if (colon == std::string::npos) return fail(line, "hex data needs ':'");
      value.type = kRegBinary;
      if (colon > 3) {  // hex(N):
        std::string kind = data.substr(3, colon - 3);
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') {
          return fail(line, "bad hex(type)");
        }
        value.type = static_cast<uint32_t>(std::strtoul(kind.substr(1).c_str(), nullptr, 16));
      }
      if (!ParseHexBytes(data.substr(colon + 1), &value.data)) {
        return fail(line, "bad hexadecimal byte list");
      }
    } else {
      return fail(line, "unknown value data '" + data + "'");
    }
    SetValue(currentKey, name, std::move(value));
  }
  return true;
}

// ---- The registry calls ---------------------------------------------------

namespace {
const long kErrorInvalidHandle = 6;
const long kErrorInvalidParameter = 87;
const long kErrorKeyDeleted = 1018;
}  // namespace

long HostedRegistry::OpenKey(HKey root, const char* subKey, HandleCounter& handles, HKey* result) {
  if (root != HkeyLocalMachine() || subKey == nullptr) return kErrorFileNotFound;
  const Key* key = FindKey(subKey);
  if (key == nullptr) return kErrorFileNotFound;
  uintptr_t handle = handles.Next();
  openKeys_[handle] = key;
  *result = Handle<HKey>(handle);
  return kErrorSuccess;
}

long HostedRegistry::QueryValue(HKey key, const char* valueName, uint32_t* type, uint8_t* data,
                                uint32_t* size) const {
  auto open = openKeys_.find(HandleValue(key));
  if (open == openKeys_.end()) return kErrorInvalidHandle;
  if (open->second == nullptr) return kErrorKeyDeleted;
  auto value = open->second->values.find(UpperAscii(valueName ? valueName : ""));
  if (value == open->second->values.end()) return kErrorFileNotFound;
  const std::vector<uint8_t>& bytes = value->second.data;
  if (type) *type = value->second.type;
  if (data == nullptr) {
    if (size) *size = static_cast<uint32_t>(bytes.size());
    return kErrorSuccess;
  }
  if (size == nullptr) return kErrorInvalidParameter;
  if (*size < bytes.size()) {
    *size = static_cast<uint32_t>(bytes.size());
    return kErrorMoreData;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  *size = static_cast<uint32_t>(bytes.size());
  return kErrorSuccess;
}

long HostedRegistry::CloseKey(HKey key) {
  return openKeys_.erase(HandleValue(key)) ? kErrorSuccess : kErrorInvalidHandle;
}

}  // namespace qel
