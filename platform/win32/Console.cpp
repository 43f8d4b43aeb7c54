#include "platform/win32/Console.h"

#include <windows.h>

#include <algorithm>

namespace qel {

std::function<void(const std::u16string& text)> ConsoleWriter(bool standardError) {
  HANDLE handle = GetStdHandle(standardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // Only a console has a console mode; a redirected handle fails here.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return [handle](const std::u16string& text) {
    // Older consoles refuse one write of much more than 32 KB.
    constexpr size_t kChunk = 8192;
    for (size_t at = 0; at < text.size(); at += kChunk) {
      const DWORD units = static_cast<DWORD>(std::min(kChunk, text.size() - at));
      DWORD written = 0;
      if (!WriteConsoleW(handle, reinterpret_cast<const wchar_t*>(text.data() + at), units,
                         &written, nullptr)) {
        return;
      }
    }
  };
}

}  // namespace qel
