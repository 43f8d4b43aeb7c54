#include "tools/Notification.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "platform/hosted/HostText.h"

namespace qel::tool {
namespace {

using nlohmann::json;

// The five fields: the texts, in the order in which their problems are
// reported, then the event code.
constexpr const char* kFields[] = {"className", "eventText", "categoryAttribute", "target",
                                   "eventCode"};
constexpr size_t kTextFields = 4;
constexpr size_t kEventCode = 4;
constexpr size_t kNoField = std::size(kFields);

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

// Takes a notification apart while the library reads it, without building a
// document: a replay reads millions of lines. Problems are noted and reading
// goes on to the end, so that a line that is not JSON at all is reported as
// such; the other problems are reported afterwards, in a fixed order.
class NotificationReader : public json::json_sax_t {
 public:
  bool Read(const std::string& line, Notification& notification, std::string& error,
            std::vector<std::string>* otherFields) {
    if (!json::sax_parse(line, this)) {
      error = parseError_;
    } else if (!isObject_) {
      error = "not a JSON object: a notification is {\"eventCode\": ..., \"className\": ...}";
    } else if (!duplicate_.empty()) {
      error = "field \"" + duplicate_ + "\" is given twice";
    } else if (const auto twin = CaseTwin()) {
      error = "unknown field \"" + twin->first + "\": letter case counts, the field is \"" +
              twin->second + "\"";
    } else if (!unknown_.empty() && otherFields == nullptr) {
      error = "unknown field \"" + unknown_.front() +
              "\" (the fields are eventCode, className, eventText, categoryAttribute, target)";
    } else if (!seen_[kEventCode]) {
      error = "field \"eventCode\" is missing";
    } else if (!wrong_[kEventCode].empty()) {
      error = "field \"eventCode\" must be a whole number from -2147483648 to 2147483647, not " +
              wrong_[kEventCode];
    } else {
      for (size_t i = 0; i < kTextFields; ++i) {
        if (!seen_[i]) {
          error = std::string("field \"") + kFields[i] + "\" is missing";
          return false;
        }
        if (!wrong_[i].empty()) {
          error = std::string("field \"") + kFields[i] + "\" must be a string, not " + wrong_[i];
          return false;
        }
      }
      notification = std::move(result_);
      if (otherFields != nullptr) {
        otherFields->insert(otherFields->end(), unknown_.begin(), unknown_.end());
      }
      return true;
    }
    return false;
  }

  bool null() override { return Wrong("null"); }
  bool boolean(bool value) override { return Wrong(value ? "true" : "false"); }
  bool number_integer(number_integer_t value) override {
    if (depth_ == 1 && field_ == kEventCode && value >= std::numeric_limits<int32_t>::min() &&
        value <= std::numeric_limits<int32_t>::max()) {
      result_.eventCode = static_cast<int32_t>(value);
      return true;
    }
    return Wrong(std::to_string(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (value <= uint64_t{std::numeric_limits<int32_t>::max()}) {
      return number_integer(static_cast<number_integer_t>(value));
    }
    return Wrong(std::to_string(value));
  }
  bool number_float(number_float_t /*value*/, const string_t& text) override { return Wrong(text); }
  bool string(string_t& value) override {
    if (depth_ == 1 && field_ < kTextFields) {
      *Texts()[field_] = FromJsonText(value);
      return true;
    }
    return Wrong(json(value).dump());
  }
  bool binary(binary_t& /*value*/) override { return Wrong("binary data"); }
  bool start_object(size_t /*elements*/) override {
    isObject_ = isObject_ || depth_ == 0;
    Wrong("an object");
    ++depth_;
    return true;
  }
  bool start_array(size_t /*elements*/) override {
    Wrong("an array");
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool key(string_t& key) override {
    if (depth_ != 1) return true;
    field_ = static_cast<size_t>(std::find(std::begin(kFields), std::end(kFields), key) -
                                 std::begin(kFields));
    if (field_ == kNoField) {
      unknown_.push_back(key);
    } else if (seen_[field_]) {
      if (duplicate_.empty()) duplicate_ = key;
    } else {
      seen_[field_] = true;
    }
    return true;
  }
  bool parse_error(size_t position, const std::string& /*lastToken*/,
                   const nlohmann::detail::exception& e) override {
    // The library's message starts with "[json.exception.parse_error.101] parse
    // error at line 1, column 7: "; the line is already named by the caller.
    std::string what = e.what();
    const size_t detail = what.find(": ");
    if (detail != std::string::npos) what.erase(0, detail + 2);
    parseError_ = "not valid JSON at byte " + std::to_string(position) + ": " + what;
    return false;
  }

 private:
  // The first unknown field whose name is one of the five in another letter
  // case, with that one: a misspelling, not a field of an exported log.
  std::optional<std::pair<std::string, std::string>> CaseTwin() const {
    for (const std::string& name : unknown_) {
      for (const char* field : kFields) {
        if (UpperAscii(name) == UpperAscii(field)) return std::make_pair(name, std::string(field));
      }
    }
    return std::nullopt;
  }
  std::array<std::u16string*, kTextFields> Texts() {
    return {&result_.className, &result_.eventText, &result_.categoryAttribute, &result_.target};
  }
  // Notes a value that its field does not take, described as the message shows
  // it. Values inside nested objects and arrays are no field's.
  bool Wrong(const std::string& description) {
    if (depth_ == 1 && field_ != kNoField && wrong_[field_].empty()) wrong_[field_] = description;
    return true;
  }

  Notification result_;
  int depth_ = 0;
  bool isObject_ = false;
  size_t field_ = kNoField;  // the field whose value comes next
  std::array<bool, kNoField> seen_{};
  std::array<std::string, kNoField> wrong_;
  std::string duplicate_;
  std::vector<std::string> unknown_;  // in the line's order
  std::string parseError_;
};

}  // namespace

bool ParseNotification(const std::string& line, Notification& notification, std::string& error,
                       std::vector<std::string>* otherFields) {
  return NotificationReader().Read(line, notification, error, otherFields);
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
