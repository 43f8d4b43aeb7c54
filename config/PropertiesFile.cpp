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

WidePathFile::WidePathFile(Platform& platform) : std::iostream(nullptr), platform_(platform) {
  rdbuf(&contents_);
}

void WidePathFile::Open(const std::u16string& path, std::ios_base::openmode mode) {
  path_ = PathParts(path).Join();
  exceptions(std::ios_base::badbit);
  std::string contents;
  if (is_open() || !ReadWholeFile(platform_, path_, mode, contents)) {
    setstate(std::ios_base::failbit);
    return;
  }
  contents_.str(contents);
  open_ = true;
  clear();
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
  PropertiesLine line;
  ReadPropertiesLine(*this, line);
  return PropertiesEntryOf(line, entry.key, entry.value);
}

bool ReadPropertiesLine(std::istream& stream, PropertiesLine& line) {
  using traits_type = std::istream::traits_type;
  const traits_type::int_type kEnd = traits_type::eof();
  line = PropertiesLine();
  bool readAny = false;
  bool excessEnded = false;  // the skipped part reached a comment or a NUL
  for (;;) {
    const traits_type::int_type next = stream.get();
    if (traits_type::eq_int_type(next, kEnd)) break;
    const char c = traits_type::to_char_type(next);
    if (c == '\x1A') {
      stream.setstate(std::ios_base::eofbit);
      break;
    }
    readAny = true;
    if (c == '\n') break;
    if (c == '\r' && traits_type::eq_int_type(stream.peek(), traits_type::to_int_type('\n'))) {
      stream.get();
      break;
    }
    ++line.length;
    if (line.text.size() < PropertiesFile::kMaxLine) {
      line.text += c;
    } else if (!excessEnded) {
      excessEnded = EndsContent(c);
      line.excessCounts = line.excessCounts || (!excessEnded && !IsBlank(c));
    }
  }
  // Like a line read of the library: meeting the end fails only a read that
  // delivered nothing, not a last line without LF.
  if (stream.eof()) {
    if (readAny) {
      stream.clear(stream.rdstate() & ~std::ios_base::failbit);
    } else {
      stream.setstate(std::ios_base::failbit);
    }
  }
  return readAny;
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
