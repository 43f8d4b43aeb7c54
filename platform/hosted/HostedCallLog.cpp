#include "platform/hosted/HostedCallLog.h"

#include <algorithm>

#include "platform/hosted/HostText.h"

namespace qel {

int HostedCallLog::Count(const std::string& call) const {
  return static_cast<int>(
      std::count_if(names_.begin(), names_.end(), [&](const char* name) { return call == name; }));
}

namespace hosted_log {

// Without printf's cost: a test run logs a dozen handles per event.
std::string Hex(uintptr_t value) {
  if (value == 0) return "0";
  char text[2 + 2 * sizeof value];
  char* const end = text + sizeof text;
  char* first = end;
  for (; value != 0; value >>= 4) *--first = "0123456789abcdef"[value & 0xF];
  *--first = 'x';
  *--first = '0';
  return std::string(first, end);
}

std::string Text(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

std::string Text(const char16_t* text) {
  return text ? Text(ToStandardUtf8(text).c_str()) : "null";
}

}  // namespace hosted_log
}  // namespace qel
