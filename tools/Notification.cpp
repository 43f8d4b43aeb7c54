#include "tools/Notification.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/hosted/HostText.h"

namespace qel::tool {
namespace {

using nlohmann::json;

constexpr const char* kTextFields[] = {"className", "eventText", "categoryAttribute", "target"};
constexpr const char* kEventCode = "eventCode";

// nlohmann's messages start with "[json.exception.parse_error.101] parse
// error at line 1, column 7: "; the line is already named by the caller.
std::string ParseErrorText(const json::parse_error& e) {
  std::string what = e.what();
  const size_t detail = what.find(": ");
  if (detail != std::string::npos) what.erase(0, detail + 2);
  return "not valid JSON at byte " + std::to_string(e.byte) + ": " + what;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsHexDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ParseNotification(const std::string& line, Notification& notification, std::string& error) {
  // The library keeps the last of two equal keys; a notification that names a
  // field twice is more likely a mistake than a wish.
  std::string duplicate;
  std::set<std::string> seen;
  const json::parser_callback_t noteKeys = [&](int depth, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::key && depth == 1 && parsed.is_string() &&
        !seen.insert(parsed.get<std::string>()).second && duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  json object;
  try {
    object = json::parse(line, noteKeys);
  } catch (const json::parse_error& e) {
    error = ParseErrorText(e);
    return false;
  }
  if (!object.is_object()) {
    error = "not a JSON object: a notification is {\"eventCode\": ..., \"className\": ...}";
    return false;
  }
  if (!duplicate.empty()) {
    error = "field \"" + duplicate + "\" is given twice";
    return false;
  }
  for (const auto& field : object.items()) {
    bool known = field.key() == kEventCode;
    for (const char* name : kTextFields) known = known || field.key() == name;
    if (!known) {
      error = "unknown field \"" + field.key() +
              "\" (the fields are eventCode, className, eventText, categoryAttribute, target)";
      return false;
    }
  }

  Notification result;
  const auto code = object.find(kEventCode);
  if (code == object.end()) {
    error = "field \"eventCode\" is missing";
    return false;
  }
  const bool inRange = code->is_number_unsigned()
                           ? code->get<uint64_t>() <= uint64_t{std::numeric_limits<int32_t>::max()}
                           : code->is_number_integer() &&
                                 code->get<int64_t>() >= std::numeric_limits<int32_t>::min() &&
                                 code->get<int64_t>() <= std::numeric_limits<int32_t>::max();
  if (!inRange) {
    error = "field \"eventCode\" must be a whole number from -2147483648 to 2147483647, not " +
            code->dump();
    return false;
  }
  result.eventCode = static_cast<int32_t>(code->get<int64_t>());

  std::u16string* const targets[] = {&result.className, &result.eventText,
                                     &result.categoryAttribute, &result.target};
  for (size_t i = 0; i < std::size(kTextFields); ++i) {
    const auto text = object.find(kTextFields[i]);
    if (text == object.end()) {
      error = std::string("field \"") + kTextFields[i] + "\" is missing";
      return false;
    }
    if (!text->is_string()) {
      error = std::string("field \"") + kTextFields[i] + "\" must be a string, not " + text->dump();
      return false;
    }
    *targets[i] = FromJsonText(text->get<std::string>());
  }
  notification = std::move(result);
  return true;
}

std::u16string FromJsonText(const std::string& utf8) {
  constexpr char32_t kReplacement = 0xFFFD;
  std::u16string result;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xE  ? 3
                       : (lead >> 3) == 0x1E ? 4
                                             : 0;
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    bool valid = length > 0 && i + length <= utf8.size();
    for (int k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not characters.
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      result += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      result += static_cast<char16_t>(0xD800 + (code >> 10));
      result += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      result += static_cast<char16_t>(code);
    }
    i += static_cast<size_t>(length);
  }
  return result;
}

std::string ToJsonText(const std::u16string& utf16) { return ToStandardUtf8(utf16); }

bool ParseResults(const std::string& text, std::vector<int32_t>& results, std::string& error) {
  std::vector<int32_t> parsed;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = TrimBlanks(
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::string digits =
        !item.empty() && (item[0] == '-' || item[0] == '+') ? item.substr(1) : item;
    errno = 0;
    const long long value = IsDigits(digits) ? std::strtoll(item.c_str(), nullptr, 10) : 0;
    if (!IsDigits(digits) || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
      error = "\"" + text + "\" is not a list of results such as 18,0: \"";
      error += item;
      error += "\" is not a whole number that fits in 32 bits";
      return false;
    }
    parsed.push_back(static_cast<int32_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  results = std::move(parsed);
  return true;
}

bool ParseLcid(const std::string& text, uint32_t& lcid, std::string& error) {
  constexpr unsigned long long kMaxLcid = 0xFFFFF;  // a language id and a sort id
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  errno = 0;
  const bool wellFormed = hex ? IsHexDigits(digits) : IsDigits(digits);
  const unsigned long long value =
      wellFormed ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
  if (!wellFormed || errno == ERANGE || value > kMaxLcid) {
    error = "\"" + text +
            "\" is not a locale identifier: give one such as 0x0407 or 1031, at most 0xFFFFF";
    return false;
  }
  lcid = static_cast<uint32_t>(value);
  return true;
}

}  // namespace qel::tool
