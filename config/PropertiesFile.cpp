#include "config/PropertiesFile.h"

#include <algorithm>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "platform/ScopedHandles.h"

namespace qel {
namespace {

constexpr char kBlanks[] = " \t";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// Bytes after which nothing more of a line counts.
bool EndsContent(char c) { return c == '#' || c == ';' || c == '\0'; }

// Equal up to the first NUL of each, with A-Z and a-z taken as the same and
// every other unit, non-ASCII letters included, compared as it is.
bool EqualIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  auto fold = [](char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
  };
  const size_t length = std::min(a.find(u'\0'), a.size());
  if (length != std::min(b.find(u'\0'), b.size())) return false;
  for (size_t i = 0; i < length; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The whole of the existing file at |path|, opened for |mode| (see
// WidePathFile::Open). False when it cannot be opened or read.
bool ReadWholeFile(Platform& platform, const std::u16string& path, std::ios_base::openmode mode,
                   std::string& contents) {
  if ((mode & std::ios_base::in) == 0 ||
      (mode & (std::ios_base::trunc | std::ios_base::app)) != 0) {
    return false;
  }
  const uint32_t access = kGenericRead | ((mode & std::ios_base::out) != 0 ? kGenericWrite : 0);
  const uint32_t share = kFileShareRead | kFileShareWrite;  // as the runtime's open shares it
  const HFile opened =
      IsWindowsNt(platform)
          ? platform.CreateFileW(path.c_str(), access, share, kOpenExisting)
          : platform.CreateFileA(WideToAnsi(platform, path).c_str(), access, share, kOpenExisting);
  if (opened == InvalidHandleValue()) return false;
  const UniqueFile file(opened, FileClose{&platform});
  char chunk[4096];
  for (;;) {
    uint32_t read = 0;
    if (!platform.ReadFile(file.get(), chunk, sizeof chunk, &read)) return false;
    if (read == 0) return true;
    contents.append(chunk, read);
  }
}

}  // namespace

void TrimLeft(std::string& text, const char* set) { text.erase(0, text.find_first_not_of(set)); }

void TrimRight(std::string& text, const char* set) {
  const size_t last = text.find_last_not_of(set);
  text.erase(last == std::string::npos ? 0 : last + 1);
}

void WidePathFile::Open(const std::u16string& path, std::ios_base::openmode mode) {
  path_ = PathParts(path).Join();
  std::string contents;
  if (is_open() || !ReadWholeFile(platform_, path_, mode, contents)) {
    failed_ = true;
    return;
  }
  contents_ = std::move(contents);
  position_ = 0;
  open_ = true;
  failed_ = false;
}

void WidePathFile::Open(const std::string& path, std::ios_base::openmode mode) {
  Open(Utf8ToWide(path), mode);
}

void WidePathFile::Rewind() {
  failed_ = false;
  position_ = 0;
}

bool WidePathFile::ReadLine(PropertiesLine& line) {
  return !fail() && ReadPropertiesLine(contents_, position_, line);
}

PropertiesFile::PropertiesFile(Platform& platform, const std::u16string& path,
                               std::ios_base::openmode mode)
    : WidePathFile(platform) {
  WidePathFile::Open(path, mode);
}

void PropertiesFile::EnumerateKeys(std::vector<std::u16string>& keys) {
  if (!is_open()) return;
  keys.clear();
  Entry entry;
  // A stream that failed short of the end (an open on an open file) has no
  // more lines to give, so the loops stop on any state, not only at the end.
  while (good()) {
    if (NextEntry(entry)) keys.push_back(entry.key);
  }
}

void PropertiesFile::FindValue(const std::u16string& key, std::u16string& value) {
  if (!is_open() || key.empty()) return;
  value.clear();
  Entry entry;
  while (good()) {
    if (NextEntry(entry) && EqualIgnoringAsciiCase(entry.key, key)) {
      value = entry.value;
      return;
    }
  }
}

bool PropertiesFile::NextEntry(Entry& entry) {
  PropertiesLine line;
  return ReadLine(line) && PropertiesEntryOf(line, entry.key, entry.value);
}

bool ReadPropertiesLine(std::string_view bytes, size_t& position, PropertiesLine& line) {
  line = PropertiesLine();
  if (position >= bytes.size() || bytes[position] == '\x1A') {
    position = bytes.size();
    return false;
  }
  // The line runs to LF, or to 0x1A, where the content ends.
  const size_t end =
      std::min(bytes.find_first_of(std::string_view("\n\x1A", 2), position), bytes.size());
  const bool lineFeed = end < bytes.size() && bytes[end] == '\n';
  std::string_view text = bytes.substr(position, end - position);
  position = lineFeed ? end + 1 : bytes.size();
  if (lineFeed && !text.empty() && text.back() == '\r') text.remove_suffix(1);  // CR LF is LF
  line.length = text.size();
  line.text = text.substr(0, PropertiesFile::kMaxLine);
  // Whether what lies beyond the limit would have belonged to the entry:
  // anything but blanks before a comment or a NUL.
  for (const char c : text.substr(line.text.size())) {
    if (EndsContent(c)) break;
    if (!IsBlank(c)) {
      line.excessCounts = true;
      break;
    }
  }
  return true;
}

bool PropertiesEntryOf(const PropertiesLine& line, std::u16string& key, std::u16string& value) {
  std::string content = line.text;
  const size_t contentEnd = content.find_first_of(std::string("#;\0", 3));
  if (contentEnd != std::string::npos) {
    content.erase(contentEnd);
  } else if (line.excessCounts) {
    return false;
  }
  TrimLeft(content, kBlanks);
  TrimRight(content, kBlanks);
  const size_t split = content.find('=');
  if (split == std::string::npos) return false;
  key = Utf8ToWide(content.substr(0, split));
  value = Utf8ToWide(content.substr(split + 1));
  return !key.empty() && !value.empty();
}

}  // namespace qel
