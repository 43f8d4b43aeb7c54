// A reader for properties files: lines of key=value in UTF-8, with # and ;
// comments.
#pragma once

#include <ios>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qel {

struct PropertiesLine;

// The bytes of a file, read forward line by line, that remembers the wide
// path it was last asked to open, also when the open failed.
//
// The open reads the whole file through the platform and closes it again;
// the lines are then read from memory. No standard stream is used: the
// library's stream and locale machinery would make up most of the DLL, and
// its file access imports a runtime function that the C runtime of older
// Windows lacks. The bytes are taken as they are: the line reader applies the
// rules of the Windows text mode itself (see PropertiesFile), so that the same
// bytes give the same lines on every platform.
//
// The reading has a stream's three states: at the end (eof), failed (the
// open failed, or an open met a file already open) and neither (good).
class WidePathFile {
 public:
  explicit WidePathFile(Platform& platform) : platform_(platform) {}
  virtual ~WidePathFile() = default;
  WidePathFile(const WidePathFile&) = delete;
  WidePathFile& operator=(const WidePathFile&) = delete;

  // Brings |path| into its split-and-joined form, remembers it and reads the
  // existing file at that path. On NT the wide path itself reaches the file
  // system, so any character works; elsewhere its ANSI form is opened. A mode
  // with output asks for write access as well, so a file that may not be
  // written fails to open for update (nothing is ever written); a mode that
  // would create or cut a file fails. Failure, and an open while a file is
  // already open, set the failed state.
  virtual void Open(const std::u16string& path, std::ios_base::openmode mode);
  // The same for a UTF-8 path.
  virtual void Open(const std::string& path, std::ios_base::openmode mode);
  // Clears the failed state and goes back to the start of the file.
  virtual void Rewind();

  bool is_open() const { return open_; }
  const std::u16string& path() const { return path_; }
  bool eof() const { return position_ >= contents_.size(); }
  bool fail() const { return failed_; }
  bool good() const { return !fail() && !eof(); }

 protected:
  // Reads the next line (see ReadPropertiesLine); false when none is left or
  // the reading failed.
  bool ReadLine(PropertiesLine& line);

 private:
  Platform& platform_;
  std::u16string path_;
  std::string contents_;
  size_t position_ = 0;
  bool open_ = false;
  bool failed_ = false;
};

// The lines of a properties file, read forward from the current position.
// Each line gives at most one entry, by these rules in this order:
//  - a line ends at LF; CR LF counts as LF, a lone CR is kept, and the first
//    byte 0x1A ends the file's content;
//  - a NUL byte ends the line's content;
//  - "#" or ";" anywhere starts a comment that runs to the end of the line;
//  - tabs and spaces at both ends are trimmed;
//  - the first "=" splits key from value; both are decoded from UTF-8;
//  - an empty key or value gives no entry.
// A line holds at most 1023 bytes. The rest of a longer line is skipped, and
// the line still gives its entry when what was skipped could not have changed
// it (it lies in a comment or after a NUL, or is only blanks); otherwise the
// line gives none, since its value would be cut short. Reading goes on with
// the next line either way.
class PropertiesFile : public WidePathFile {
 public:
  static constexpr size_t kMaxLine = 1023;

  PropertiesFile(Platform& platform, const std::u16string& path, std::ios_base::openmode mode);

  // Replaces |keys| with the keys of all entries from here to the end, in
  // file order. Without a file, |keys| stays as it was.
  void EnumerateKeys(std::vector<std::u16string>& keys);
  // Sets |value| to the value of the first entry from here on whose key
  // equals |key| ignoring the case of A-Z, and stops just after its line;
  // empty when there is none. Without a file or with an empty key, |value|
  // stays as it was.
  void FindValue(const std::u16string& key, std::u16string& value);

 private:
  struct Entry {
    std::u16string key;
    std::u16string value;
  };
  // Reads the next line and tells whether it gives an entry. False without
  // an entry, also when no line was left.
  bool NextEntry(Entry& entry);
};

// One line of a properties file as the reader takes it in, for tools that
// need to see more of a line than its entry (PropertiesFile reads its lines
// the same way).
struct PropertiesLine {
  std::string text;           // the first PropertiesFile::kMaxLine bytes
  size_t length = 0;          // the bytes of the whole line, its line end not counted
  bool excessCounts = false;  // bytes beyond kMaxLine would have belonged to the entry
};

// Reads the line of |bytes| that starts at |position|: up to LF (CR LF counts
// as LF), or up to the first byte 0x1A, which ends the content. Moves
// |position| past the line and its line end, or to the end of |bytes| at
// 0x1A. False when nothing was left to read.
bool ReadPropertiesLine(std::string_view bytes, size_t& position, PropertiesLine& line);
// The key and value that |line| gives by the rules above; false when none.
bool PropertiesEntryOf(const PropertiesLine& line, std::u16string& key, std::u16string& value);

// Remove the characters of |set| from the start, or from the end, of |text|.
void TrimLeft(std::string& text, const char* set);
void TrimRight(std::string& text, const char* set);

}  // namespace qel
