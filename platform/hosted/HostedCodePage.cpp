#include "platform/hosted/HostedCodePage.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/hosted/CodePage1252.h"

namespace qel {
namespace {

bool IsAnsiCodePage(uint32_t codePage) { return codePage == kCpAcp || codePage == 1252; }

}  // namespace

int HostedWideCharToMultiByte(uint32_t codePage, const char16_t* wide, int wideLength, char* out,
                              int outSize, const char* defaultChar, int* usedDefault) {
  if (!IsAnsiCodePage(codePage) || wide == nullptr || outSize < 0) return 0;
  if (wideLength < 0) wideLength = static_cast<int>(std::char_traits<char16_t>::length(wide)) + 1;
  if (wideLength == 0) return 0;  // Windows refuses an empty input
  if (outSize == 0) return wideLength;
  if (outSize < wideLength) return 0;  // ERROR_INSUFFICIENT_BUFFER
  char fallback = defaultChar ? *defaultChar : '?';
  bool defaulted = false;
  for (int i = 0; i < wideLength; ++i) {
    std::optional<uint8_t> byte = Cp1252FromUnicode(wide[i]);
    defaulted = defaulted || !byte;
    out[i] = byte ? static_cast<char>(*byte) : fallback;
  }
  if (usedDefault) *usedDefault = defaulted;
  return wideLength;
}

int HostedMultiByteToWideChar(uint32_t codePage, const char* narrow, int narrowLength,
                              char16_t* out, int outSize) {
  if (!IsAnsiCodePage(codePage) || narrow == nullptr || outSize < 0) return 0;
  if (narrowLength < 0) narrowLength = static_cast<int>(std::strlen(narrow)) + 1;
  if (narrowLength == 0) return 0;
  if (outSize == 0) return narrowLength;
  if (outSize < narrowLength) return 0;
  for (int i = 0; i < narrowLength; ++i) {
    out[i] = Cp1252ToUnicode(static_cast<uint8_t>(narrow[i]));
  }
  return narrowLength;
}

}  // namespace qel
