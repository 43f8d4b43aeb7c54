// Text files as Windows' own tools write them: regedit's exports ("Windows
// Registry Editor Version 5.00"), Notepad's "Unicode" and PowerShell 5.1's >
// and Out-File all give UTF-16LE with a byte-order mark, and every line ends
// in CR LF.
#pragma once

#include <string>

#include "tools/Notification.h"

namespace qel::tool {

// |lines| with CR LF line ends, as Notepad saves them in UTF-8 or ANSI.
inline std::string WindowsLineEnds(const std::string& lines) {
  std::string crlf;
  for (const char c : lines) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

// |lines|: UTF-8 text whose lines end in LF.
inline std::string WindowsUnicodeFile(const std::string& lines) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : FromJsonText(WindowsLineEnds(lines))) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

}  // namespace qel::tool
