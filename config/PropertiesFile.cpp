#include "config/PropertiesFile.h"

#include <algorithm>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"

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

}  // namespace

void TrimLeft(std::string& text, const char* set) { text.erase(0, text.find_first_not_of(set)); }

void TrimRight(std::string& text, const char* set) {
  const size_t last = text.find_last_not_of(set);
  text.erase(last == std::string::npos ? 0 : last + 1);
}

void WidePathFile::Open(const std::u16string& path, std::ios_base::openmode mode) {
  path_ = PathParts(path).Join();
  exceptions(std::ios_base::badbit);
  if (is_open()) {
    setstate(std::ios_base::failbit);
    return;
  }
  if (platform_.OpenFileStream(*rdbuf(), path_, mode | std::ios_base::binary)) {
    clear();
  } else {
    setstate(std::ios_base::failbit);
  }
}

void WidePathFile::Open(const std::string& path, std::ios_base::openmode mode) {
  Open(Utf8ToWide(path), mode);
}

void WidePathFile::Rewind() {
  clear();
  seekg(0, std::ios_base::beg);
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
  const traits_type::int_type kEnd = traits_type::eof();
  std::string line;
  bool readAny = false;
  bool excessEnded = false;   // the skipped part reached a comment or a NUL
  bool excessCounts = false;  // the skipped part holds something that is no blank
  for (;;) {
    const traits_type::int_type next = get();
    if (traits_type::eq_int_type(next, kEnd)) break;
    const char c = traits_type::to_char_type(next);
    if (c == '\x1A') {
      setstate(std::ios_base::eofbit);
      break;
    }
    readAny = true;
    if (c == '\n') break;
    if (c == '\r' && traits_type::eq_int_type(peek(), traits_type::to_int_type('\n'))) {
      get();
      break;
    }
    if (line.size() < kMaxLine) {
      line += c;
    } else if (!excessEnded) {
      excessEnded = EndsContent(c);
      excessCounts = excessCounts || (!excessEnded && !IsBlank(c));
    }
  }
  // Like a line read of the library: meeting the end fails only a read that
  // delivered nothing, not a last line without LF.
  if (eof()) {
    if (readAny) {
      clear(rdstate() & ~std::ios_base::failbit);
    } else {
      setstate(std::ios_base::failbit);
    }
  }

  const size_t contentEnd = line.find_first_of(std::string("#;\0", 3));
  if (contentEnd != std::string::npos) {
    line.erase(contentEnd);
  } else if (excessCounts) {
    return false;
  }
  TrimLeft(line, kBlanks);
  TrimRight(line, kBlanks);
  const size_t split = line.find('=');
  if (split == std::string::npos) return false;
  entry.key = Utf8ToWide(line.substr(0, split));
  entry.value = Utf8ToWide(line.substr(split + 1));
  return !entry.key.empty() && !entry.value.empty();
}

}  // namespace qel
