// An event the event server did not take, as the undelivered-events file
// keeps it: one record a line, UTF-8, written and read here.
//
// A record is one JSON object on one line, ended by CR LF (what Notepad
// writes and shows everywhere), with exactly these members in this order:
//   {"version":1,"utc":"2026-12-09T21:33:01.250Z","local":"2026-12-09T22:33:01.250+01:00",
//    "className":"CIM_Fan","answers":[18,18],
//    "source":"CIM","typePath":["Marquel Agent Events","Fan"],"text":"Fan 2 stopped",
//    "language":"en","eventCode":3,
//    "attributes":[["CATEGORY",9,"Hardware"],["CLASSNAME",9,"CIM_Fan"],["TARGET",9,"srv01"]],
//    "destination":"@EventServer","reserved":[0,0,0,0]}
// From "source" on it holds every argument of the post as the event library
// received it, so that posting the record again repeats that post exactly.
// Wide texts are UTF-8 (a surrogate pair as one 4-byte sequence); what UTF-8
// cannot carry exactly, a lone surrogate, is escaped as \uXXXX, as are
// control characters. The narrow texts (language, destination) hold bytes:
// one above 0x7F is written as \u00XX.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qel {

struct KeptEvent {
  struct Attribute {
    std::u16string name;
    uint32_t type = 0;
    std::u16string value;
    bool operator==(const Attribute& o) const {
      return name == o.name && type == o.type && value == o.value;
    }
  };

  // When, what and why.
  std::string utc;    // "YYYY-MM-DDThh:mm:ss.mmmZ"
  std::string local;  // "YYYY-MM-DDThh:mm:ss.mmm+hh:mm"
  std::u16string className;
  std::vector<int32_t> answers;  // the event library's answer to each post, in order

  // The post's arguments.
  std::u16string source;
  std::vector<std::u16string> typePath;  // the entries before the null pointer
  std::u16string text;
  std::string language;
  int32_t eventCode = 0;
  std::vector<Attribute> attributes;  // the records before the null pointer
  std::string destination;
  std::array<int32_t, 4> reserved{};  // arguments 5, 8, 9 and 11
};

// The post's arguments of |args|, each text up to its terminator, as the
// event library reads them; the other members are left empty.
KeptEvent KeptEventOfPost(const VnxEventArgs& args);

// The arguments of a post of |event|, pointing into |event| and into this
// object, which must both outlive the post.
class KeptEventPost {
 public:
  explicit KeptEventPost(const KeptEvent& event);
  KeptEventPost(const KeptEventPost&) = delete;
  KeptEventPost& operator=(const KeptEventPost&) = delete;
  const VnxEventArgs& Args() const { return args_; }

 private:
  std::vector<const char16_t*> typePath_;
  std::vector<EventAttribute> records_;
  std::vector<EventAttribute*> attributes_;
  VnxEventArgs args_{};
};

// The local time |local| with its offset from |utc|, and |utc| itself, in
// the record's forms. The offset is rounded to the minute: the two times are
// read one after the other, and may straddle a second.
std::string FormatUtcTime(const SystemTime& utc);
std::string FormatLocalTime(const SystemTime& local, const SystemTime& utc);

// |value| in decimal digits, with a minus sign when negative. The runtime's
// formatting (std::to_string, snprintf) would bring mingw's whole printf
// into the DLL.
std::string DecimalText(int64_t value);

// The record of |event|: one line, CR LF included.
std::string FormatKeptRecord(const KeptEvent& event);
// The event of one line (its line end left off), or nothing when the line is
// no whole record: cut short, a member missing, out of order or of another
// type, text after the object, a version other than 1.
std::optional<KeptEvent> ParseKeptRecord(std::string_view line);

// What a reader found in an undelivered-events file.
struct KeptRecords {
  std::vector<KeptEvent> events;     // the whole records, in file order
  std::vector<size_t> eventLines;    // the 1-based line number of each
  std::vector<size_t> skippedLines;  // 1-based numbers of the lines that are none
};
// Whether |line| holds nothing but blanks: no record, and nothing to report.
// qelevent-tool resend blanks each record it delivered before it takes the
// blanks out of the file, so a run that was stopped may leave such lines.
bool IsBlankKeptLine(std::string_view line);
// Reads every line of |bytes| (LF or CR LF ends a line; blank lines are no
// records and are not reported). A line that is no whole record, such as one
// cut short when the power failed while it was written, is skipped and
// reported by number; the records before and after it are read as usual.
KeptRecords ReadKeptRecords(std::string_view bytes);

}  // namespace qel
