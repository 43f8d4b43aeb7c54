#include "bridge/KeptEvent.h"

namespace qel {
namespace {

constexpr int kRecordVersion = 1;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::u16string WideUpToNul(const char16_t* text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

void AppendEscapedUnit(std::string& out, uint32_t unit) {
  constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// |value| in exactly |digits| decimal digits, leading zeros included.
std::string Digits(unsigned value, int digits) {
  std::string text(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return text;
}

// Escapes what JSON must escape, and nothing printable.
bool AppendAsciiEscape(std::string& out, uint32_t c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      if (c < 0x20) {
        AppendEscapedUnit(out, c);
        return true;
      }
      return false;
  }
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendWide(std::string& out, const std::u16string& text) {
  out += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (AppendAsciiEscape(out, unit)) continue;
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendEscapedUnit(out, unit);
    } else {
      AppendUtf8(out, unit);
    }
  }
  out += '"';
}

void AppendNarrow(std::string& out, const std::string& bytes) {
  out += '"';
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (AppendAsciiEscape(out, byte)) continue;
    if (byte >= 0x80) {
      AppendEscapedUnit(out, byte);
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendIntegers(std::string& out, const int32_t* values, size_t count) {
  out += '[';
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += DecimalText(values[i]);
  }
  out += ']';
}

// A strict reader of exactly the record's shape: no white space, members in
// their order. Every failure leaves |ok_| false and the rest does nothing.
class RecordReader {
 public:
  explicit RecordReader(std::string_view line) : line_(line) {}

  bool ok() const { return ok_ && position_ == line_.size(); }

  void Expect(char c) {
    if (ok_ && position_ < line_.size() && line_[position_] == c) {
      ++position_;
    } else {
      ok_ = false;
    }
  }
  // ',"name":' (without the comma for the first member).
  void Member(const char* name, bool first = false) {
    if (!first) Expect(',');
    Expect('"');
    for (const char* c = name; *c != '\0'; ++c) Expect(*c);
    Expect('"');
    Expect(':');
  }

  std::u16string Wide() {
    std::u16string text;
    String([&](uint32_t unit, bool escaped) {
      if (escaped || unit < 0x10000) {
        text += static_cast<char16_t>(unit);
      } else {
        text += static_cast<char16_t>(0xD800 + ((unit - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((unit - 0x10000) & 0x3FF));
      }
      return true;
    });
    return text;
  }

  std::string Narrow() {
    std::string bytes;
    String([&](uint32_t unit, bool escaped) {
      // A byte above 0x7F comes only escaped.
      if (unit > 0xFF || (unit >= 0x80 && !escaped)) return false;
      bytes += static_cast<char>(unit);
      return true;
    });
    return bytes;
  }

  int32_t Integer() {
    const size_t start = position_;
    if (position_ < line_.size() && line_[position_] == '-') ++position_;
    const size_t digits = position_;
    while (position_ < line_.size() && line_[position_] >= '0' && line_[position_] <= '9') {
      ++position_;
    }
    if (!ok_ || position_ == digits || position_ - digits > 10) {
      ok_ = false;
      return 0;
    }
    int64_t value = 0;
    for (size_t i = digits; i < position_; ++i) value = value * 10 + (line_[i] - '0');
    if (digits != start) value = -value;
    if (value < INT32_MIN || value > int64_t{UINT32_MAX}) ok_ = false;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }

  // '[' item (',' item)* ']', or '[]'.
  template <typename Item>
  void Array(Item item) {
    Expect('[');
    if (ok_ && position_ < line_.size() && line_[position_] == ']') {
      ++position_;
      return;
    }
    do {
      item();
    } while (ok_ && Accept(','));
    Expect(']');
  }

 private:
  bool Accept(char c) {
    if (position_ < line_.size() && line_[position_] == c) {
      ++position_;
      return true;
    }
    return false;
  }

  // Calls |unit| with each code point (escaped: a \u unit) of a string.
  template <typename Unit>
  void String(Unit unit) {
    Expect('"');
    while (ok_) {
      if (position_ >= line_.size()) {
        ok_ = false;
        return;
      }
      const auto c = static_cast<uint8_t>(line_[position_++]);
      if (c == '"') return;
      if (c < 0x20) {
        ok_ = false;
      } else if (c == '\\') {
        ok_ = Escape(unit);
      } else if (c < 0x80) {
        ok_ = unit(c, false);
      } else {
        uint32_t code = 0;
        ok_ = Utf8Sequence(c, code) && unit(code, false);
      }
    }
  }

  template <typename Unit>
  bool Escape(Unit unit) {
    if (position_ >= line_.size()) return false;
    const char c = line_[position_++];
    switch (c) {
      case '"':
        return unit('"', false);
      case '\\':
        return unit('\\', false);
      case 'n':
        return unit('\n', false);
      case 'r':
        return unit('\r', false);
      case 't':
        return unit('\t', false);
      case 'u': {
        if (line_.size() - position_ < 4) return false;
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = line_[position_++];
          value <<= 4;
          if (h >= '0' && h <= '9') {
            value |= static_cast<uint32_t>(h - '0');
          } else if (h >= 'A' && h <= 'F') {
            value |= static_cast<uint32_t>(h - 'A' + 10);
          } else if (h >= 'a' && h <= 'f') {
            value |= static_cast<uint32_t>(h - 'a' + 10);
          } else {
            return false;
          }
        }
        return unit(value, true);
      }
      default:
        return false;
    }
  }

  // A whole, shortest-form sequence of a scalar value; false for anything else.
  bool Utf8Sequence(uint8_t lead, uint32_t& code) {
    int more = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = lead & 0x07u;
    } else {
      return false;
    }
    for (int i = 0; i < more; ++i) {
      if (position_ >= line_.size()) return false;
      const auto c = static_cast<uint8_t>(line_[position_++]);
      if ((c & 0xC0) != 0x80) return false;
      code = (code << 6) | (c & 0x3Fu);
    }
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    return code >= least[more] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  }

  std::string_view line_;
  size_t position_ = 0;
  bool ok_ = true;
};

std::string Two(unsigned value) { return Digits(value, 2); }

std::string DateAndTime(const SystemTime& t) {
  return Digits(t.wYear, 4) + "-" + Two(t.wMonth) + "-" + Two(t.wDay) + "T" + Two(t.wHour) + ":" +
         Two(t.wMinute) + ":" + Two(t.wSecond) + "." + Digits(t.wMilliseconds, 3);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

int64_t Milliseconds(const SystemTime& t) {
  const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay);
  return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + int64_t{t.wSecond} * 1000 +
         t.wMilliseconds;
}

}  // namespace

std::string DecimalText(int64_t value) {
  const bool negative = value < 0;
  // Negated as unsigned, so that the lowest value has its digits too.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  return negative ? "-" + text : text;
}

KeptEvent KeptEventOfPost(const VnxEventArgs& args) {
  KeptEvent event;
  event.source = WideUpToNul(args.source);
  for (const char16_t* const* entry = args.typePath; entry && *entry; ++entry) {
    event.typePath.emplace_back(*entry);
  }
  event.text = WideUpToNul(args.text);
  event.language = args.language ? args.language : "";
  event.eventCode = args.eventCode;
  for (EventAttribute* const* record = args.attributes; record && *record; ++record) {
    event.attributes.push_back(
        {WideUpToNul((*record)->name), (*record)->type, WideUpToNul((*record)->value)});
  }
  event.destination = args.destination ? args.destination : "";
  event.reserved = {args.arg5, args.arg8, args.arg9, args.arg11};
  return event;
}

KeptEventPost::KeptEventPost(const KeptEvent& event) {
  for (const std::u16string& entry : event.typePath) typePath_.push_back(entry.c_str());
  typePath_.push_back(nullptr);
  for (const KeptEvent::Attribute& a : event.attributes) {
    records_.push_back({a.name.c_str(), 0, 0, a.type, a.value.c_str()});
  }
  records_.push_back({nullptr, 0, 0, 0, nullptr});
  for (size_t i = 0; i + 1 < records_.size(); ++i) attributes_.push_back(&records_[i]);
  attributes_.push_back(nullptr);
  args_ = {event.source.c_str(),      typePath_.data(),  event.text.c_str(),
           event.language.c_str(),    event.reserved[0], event.eventCode,
           attributes_.data(),        event.reserved[1], event.reserved[2],
           event.destination.c_str(), event.reserved[3]};
}

std::string FormatUtcTime(const SystemTime& utc) { return DateAndTime(utc) + "Z"; }

std::string FormatLocalTime(const SystemTime& local, const SystemTime& utc) {
  const int64_t difference = Milliseconds(local) - Milliseconds(utc);
  const int64_t minutes = (difference + (difference >= 0 ? 30000 : -30000)) / 60000;
  const int64_t magnitude = minutes < 0 ? -minutes : minutes;
  return DateAndTime(local) + (minutes < 0 ? "-" : "+") +
         Two(static_cast<unsigned>(magnitude / 60)) + ":" +
         Two(static_cast<unsigned>(magnitude % 60));
}

std::string FormatKeptRecord(const KeptEvent& event) {
  std::string out = "{\"version\":" + DecimalText(kRecordVersion) + ",\"utc\":";
  AppendNarrow(out, event.utc);
  out += ",\"local\":";
  AppendNarrow(out, event.local);
  out += ",\"className\":";
  AppendWide(out, event.className);
  out += ",\"answers\":";
  AppendIntegers(out, event.answers.data(), event.answers.size());
  out += ",\"source\":";
  AppendWide(out, event.source);
  out += ",\"typePath\":[";
  for (size_t i = 0; i < event.typePath.size(); ++i) {
    if (i > 0) out += ',';
    AppendWide(out, event.typePath[i]);
  }
  out += "],\"text\":";
  AppendWide(out, event.text);
  out += ",\"language\":";
  AppendNarrow(out, event.language);
  out += ",\"eventCode\":" + DecimalText(event.eventCode) + ",\"attributes\":[";
  for (size_t i = 0; i < event.attributes.size(); ++i) {
    if (i > 0) out += ',';
    out += '[';
    AppendWide(out, event.attributes[i].name);
    out += ',' + DecimalText(event.attributes[i].type) + ',';
    AppendWide(out, event.attributes[i].value);
    out += ']';
  }
  out += "],\"destination\":";
  AppendNarrow(out, event.destination);
  out += ",\"reserved\":";
  AppendIntegers(out, event.reserved.data(), event.reserved.size());
  out += "}\r\n";
  return out;
}

std::optional<KeptEvent> ParseKeptRecord(std::string_view line) {
  RecordReader r(line);
  KeptEvent event;
  r.Expect('{');
  r.Member("version", true);
  if (r.Integer() != kRecordVersion) return std::nullopt;
  r.Member("utc");
  event.utc = r.Narrow();
  r.Member("local");
  event.local = r.Narrow();
  r.Member("className");
  event.className = r.Wide();
  r.Member("answers");
  r.Array([&] { event.answers.push_back(r.Integer()); });
  r.Member("source");
  event.source = r.Wide();
  r.Member("typePath");
  r.Array([&] { event.typePath.push_back(r.Wide()); });
  r.Member("text");
  event.text = r.Wide();
  r.Member("language");
  event.language = r.Narrow();
  r.Member("eventCode");
  event.eventCode = r.Integer();
  r.Member("attributes");
  r.Array([&] {
    KeptEvent::Attribute attribute;
    r.Expect('[');
    attribute.name = r.Wide();
    r.Expect(',');
    attribute.type = static_cast<uint32_t>(r.Integer());
    r.Expect(',');
    attribute.value = r.Wide();
    r.Expect(']');
    event.attributes.push_back(std::move(attribute));
  });
  r.Member("destination");
  event.destination = r.Narrow();
  r.Member("reserved");
  size_t reserved = 0;
  r.Array([&] {
    const int32_t value = r.Integer();
    if (reserved < event.reserved.size()) event.reserved[reserved] = value;
    ++reserved;
  });
  r.Expect('}');
  if (!r.ok() || reserved != event.reserved.size()) return std::nullopt;
  return event;
}

bool IsBlankKeptLine(std::string_view line) {
  return line.find_first_not_of(" \r\n") == std::string_view::npos;
}

KeptRecords ReadKeptRecords(std::string_view bytes) {
  KeptRecords records;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    ++lineNumber;
    std::string_view line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!IsBlankKeptLine(line)) {
      if (std::optional<KeptEvent> event = ParseKeptRecord(line)) {
        records.events.push_back(std::move(*event));
        records.eventLines.push_back(lineNumber);
      } else {
        records.skippedLines.push_back(lineNumber);
      }
    }
    start = end + 1;
  }
  return records;
}

}  // namespace qel
