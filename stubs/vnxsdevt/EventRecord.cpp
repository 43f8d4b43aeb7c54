#include "stubs/vnxsdevt/EventRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qel::stub {
namespace {

void AppendEscapedUnit(std::string& out, uint32_t unit) {
  switch (unit) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (unit >= 0x20 && unit < 0x7F) {
    out += static_cast<char>(unit);
    return;
  }
  // Everything else as \uXXXX, one escape per 16-bit unit: a lone surrogate
  // the plug-in might pass stays visible instead of being mangled.
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit & 0xFFFF));
  out += escape;
}

std::string Wide(const char16_t* text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (; *text; ++text) AppendEscapedUnit(out, *text);
  return out + "\"";
}

// Narrow text is shown byte for byte, each byte as the code point of its value.
std::string Narrow(const char* text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (; *text; ++text) AppendEscapedUnit(out, static_cast<unsigned char>(*text));
  return out + "\"";
}

std::string Number(int64_t value) { return std::to_string(value); }

std::string TypePath(const char16_t* const* entries) {
  if (entries == nullptr) return "null";
  std::string out = "[";
  int i = 0;
  for (; i < kMaxListEntries && entries[i] != nullptr; ++i) {
    if (i) out += ",";
    out += Wide(entries[i]);
  }
  if (i == kMaxListEntries) out += std::string(i ? "," : "") + "\"unterminated\"";
  return out + "]";
}

std::string Attribute(const EventAttribute& a) {
  return "{\"name\":" + Wide(a.name) + ",\"reserved\":[" + Number(a.reserved1) + "," +
         Number(a.reserved2) + "],\"type\":" + Number(a.type) + ",\"value\":" + Wide(a.value) + "}";
}

std::string Attributes(EventAttribute* const* entries) {
  if (entries == nullptr) return "null";
  std::string out = "[";
  int i = 0;
  for (; i < kMaxListEntries && entries[i] != nullptr; ++i) {
    if (i) out += ",";
    out += Attribute(*entries[i]);
  }
  if (i == kMaxListEntries) out += std::string(i ? "," : "") + "\"unterminated\"";
  return out + "]";
}

}  // namespace

std::string EventToJson(const VnxEventArgs& args, int32_t result) {
  return "{\"source\":" + Wide(args.source) + ",\"typePath\":" + TypePath(args.typePath) +
         ",\"text\":" + Wide(args.text) + ",\"language\":" + Narrow(args.language) +
         ",\"arg5\":" + Number(args.arg5) + ",\"eventCode\":" + Number(args.eventCode) +
         ",\"attributes\":" + Attributes(args.attributes) + ",\"arg8\":" + Number(args.arg8) +
         ",\"arg9\":" + Number(args.arg9) + ",\"destination\":" + Narrow(args.destination) +
         ",\"arg11\":" + Number(args.arg11) + ",\"result\":" + Number(result) + "}";
}

bool ResultQueue::Set(const std::string& list) {
  results_.clear();
  const char* at = list.c_str();
  for (;;) {
    while (*at == ' ' || *at == '\t' || *at == ',' || *at == ';') ++at;
    if (*at == '\0') return true;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(at, &end, 10);
    if (end == at || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    results_.push_back(static_cast<int32_t>(value));
    at = end;
  }
}

int32_t ResultQueue::Next() {
  if (results_.empty()) return 0;
  int32_t result = results_.front();
  results_.pop_front();
  return result;
}

}  // namespace qel::stub
