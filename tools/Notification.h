// The replay tool's input: one host notification per line, as a JSON object
// with the five arguments that the host hands to ProcessEvent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::tool {

struct Notification {
  int32_t eventCode = 0;
  std::u16string className;
  std::u16string eventText;
  std::u16string categoryAttribute;
  std::u16string target;
};

// Reads one line such as
//   {"eventCode": 3, "className": "CIM_Fan", "eventText": "Fan 2 stopped",
//    "categoryAttribute": "Hardware", "target": "srv01"}
// All five fields are required. Other fields (an exported log's timestamps)
// are refused when |otherFields| is null, so that a misspelt field is
// reported rather than sent as an empty text; otherwise their names are
// appended to it and the line is read. A name that differs from one of the
// five only in letter case is refused either way. False with a one-line
// reason in |error| when the line is not such an object.
bool ParseNotification(const std::string& line, Notification& notification, std::string& error,
                       std::vector<std::string>* otherFields = nullptr);

// Text between JSON (UTF-8) and the host's wide strings (UTF-16), by the
// standards: characters beyond U+FFFF become surrogate pairs and back. A
// surrogate without its partner, or a byte that is not UTF-8, becomes U+FFFD.
// (The plug-in's own codec differs at these edges; the host's text does not
// pass through it.)
std::u16string FromJsonText(const std::string& utf8);
std::string ToJsonText(const std::u16string& utf16);

// Option values. Each returns false with a one-line reason in |error|.
// A list of event-library results such as "18,0" (whole numbers that fit in 32 bits).
bool ParseResults(const std::string& text, std::vector<int32_t>& results, std::string& error);
// A locale identifier, decimal or 0x-prefixed hexadecimal, of at most 20 bits.
bool ParseLcid(const std::string& text, uint32_t& lcid, std::string& error);

}  // namespace qel::tool
