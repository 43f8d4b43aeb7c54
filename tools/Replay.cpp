#include "tools/Replay.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <istream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bridge/EventLogReports.h"
#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "bridge/ModuleState.h"
#include "config/InstallPaths.h"
#include "config/LocaleSelection.h"
#include "config/TextConversions.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostText.h"
#include "platform/hosted/PeResources.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "tools/Notification.h"
#include "tools/PropertiesCheck.h"

namespace qel::tool {
namespace {

using Clock = std::chrono::steady_clock;

// The progress display looks at the clock once per this many notifications.
constexpr int64_t kNotificationsPerClockCheck = 256;

// The installation, noting the waits that follow each post, so that posts and
// waits are reported in the order the plug-in made them.
class ReplayPlatform : public InstallationPlatform {
 public:
  ReplayPlatform() : ticks_(InstallationPlatform::GetTickCount()) {
    // Nothing reads the calls' arguments, and formatting them would cost more
    // than the plug-in's own work.
    LogCallArguments(false);
    // The plug-in loads only where the maker's IPC library is: it binds it at
    // the first event, and for good.
    standin::InstallIpcLibrary(*this);
  }
  // The binding names this platform.
  ~ReplayPlatform() override { ForgetIpcBindingOf(*this); }
  ReplayPlatform(const ReplayPlatform&) = delete;
  ReplayPlatform& operator=(const ReplayPlatform&) = delete;

  int32_t VNXEventW(const VnxEventArgs& args) override {
    const size_t before = Events().size();
    const int32_t result = InstallationPlatform::VNXEventW(args);
    if (Events().size() > before) waitsAfterPost_.push_back(0);
    return result;
  }
  // The tick count runs with the simulated waits, so that the event log's
  // once-a-minute limit sees the minutes that an outage takes.
  void Sleep(uint32_t milliseconds) override {
    InstallationPlatform::Sleep(milliseconds);
    if (!waitsAfterPost_.empty()) waitsAfterPost_.back() += milliseconds;
    ticks_ += milliseconds;  // wraps after 49.7 days, as Windows' does
    SetTickCount(ticks_);
  }
  // Between notifications: what was recorded of the last one is forgotten, so
  // that nothing grows with their number.
  void StartNotification() {
    ClearRecords();
    waitsAfterPost_.clear();
  }
  const std::vector<uint32_t>& WaitsAfterPost() const { return waitsAfterPost_; }

 private:
  std::vector<uint32_t> waitsAfterPost_;  // one per post in Events()
  uint32_t ticks_;
};

// The undelivered-events file that the plug-in appends to during the replay.
// The hosted disk opens a file in a temporary folder in its place, so that
// the installation (the sample's, or a copy of a server's) is never written.
// It starts as a copy of the installation's own file, when there is one: a
// file taken from a server near its limit fills as it would there.
class KeptEventsOverlay {
 public:
  KeptEventsOverlay() = default;
  KeptEventsOverlay(const KeptEventsOverlay&) = delete;
  KeptEventsOverlay& operator=(const KeptEventsOverlay&) = delete;
  ~KeptEventsOverlay() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }

  // False, with a reason, when no temporary file could be made. Where the
  // plug-in cannot compose or place the file's path, nothing is laid over
  // it, and the plug-in fails to keep its events as it would on the server.
  bool Open(ReplayPlatform& platform, std::string& error) {
    windowsPath_ = ComposeCiFilePath(platform, kKeptEventsFileName);
    const std::optional<std::filesystem::path> installed =
        windowsPath_.empty() ? std::nullopt : platform.MapPath(windowsPath_);
    if (!installed) return true;
    if (!MakeFolder()) {
      error = "cannot make a temporary folder for the undelivered-events file";
      return false;
    }
    file_ = folder_ / kKeptEventsFileName;
    std::error_code failed;
    if (std::filesystem::is_regular_file(*installed, failed)) {
      std::filesystem::copy_file(*installed, file_, failed);
    } else {
      std::ofstream(file_, std::ios::binary);
    }
    read_ = std::filesystem::file_size(file_, failed);
    if (failed) {
      error = "cannot make the undelivered-events file in " + folder_.u8string();
      return false;
    }
    platform.SubstituteFile(windowsPath_, file_);
    // Writes reach this file alone: the plug-in writes no other.
    platform.SetDiskWritable(true);
    return true;
  }

  // The whole lines appended since the last call, without their line ends.
  std::vector<std::string> NewRecords() {
    std::vector<std::string> records;
    if (file_.empty()) return records;
    std::ifstream file(file_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(read_));
    const std::string added((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t end = added.find('\n'); end != std::string::npos;
         start = end + 1, end = added.find('\n', start)) {
      const size_t length = end > start && added[end - 1] == '\r' ? end - 1 - start : end - start;
      if (length > 0) records.push_back(added.substr(start, length));
    }
    read_ += start;
    return records;
  }

  const std::u16string& WindowsPath() const { return windowsPath_; }

 private:
  bool MakeFolder() {
    std::error_code failed;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(failed);
    if (failed) return false;
    std::random_device random;
    for (int tries = 0; tries < 100; ++tries) {
      const std::filesystem::path folder =
          temporary / ("qelevent-replay-" + std::to_string(random()));
      if (std::filesystem::create_directory(folder, failed)) {
        folder_ = folder;
        return true;
      }
    }
    return false;
  }

  std::u16string windowsPath_;
  std::filesystem::path folder_;  // ours to remove
  std::filesystem::path file_;
  uint64_t read_ = 0;  // bytes of the file already reported
};

constexpr size_t kReportKinds = static_cast<size_t>(ReportKind::count);
using PerKind = std::array<int64_t, kReportKinds>;

const char* KindName(size_t kind) { return MessageOf(static_cast<ReportKind>(kind)).name; }

size_t KindIndexOf(const EventLogEntry& entry) {
  for (size_t kind = 0; kind < kReportKinds; ++kind) {
    if (MessageOf(static_cast<ReportKind>(kind)).eventId == entry.eventId) return kind;
  }
  return kReportKinds;
}

bool NeedsJsonEscape(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
}

void AppendJsonEscape(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default: {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    }
  }
}

// JSON text as the writer of the posted events needs it: quotes, backslashes
// and control characters escaped, every other unit appended as the byte it is
// (UTF-8 bytes, or ASCII held in wider units). What lies between escapes goes
// in one step.
template <typename Unit>
void AppendJsonString(std::string& out, std::basic_string_view<Unit> text) {
  out += '"';
  auto next = text.begin();
  while (next != text.end()) {
    const auto escape = std::find_if(
        next, text.end(), [](Unit unit) { return NeedsJsonEscape(static_cast<char>(unit)); });
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(escape - next));
    std::transform(next, escape, out.begin() + static_cast<std::ptrdiff_t>(at),
                   [](Unit unit) { return static_cast<char>(unit); });
    if (escape == text.end()) break;
    AppendJsonEscape(out, static_cast<char>(*escape));
    next = escape + 1;
  }
  out += '"';
}

void AppendJsonString(std::string& out, const std::string& text) {
  AppendJsonString(out, std::string_view(text));
}

// Most texts are ASCII, which needs no conversion of its own.
void AppendJsonString(std::string& out, const std::u16string& text) {
  if (std::all_of(text.begin(), text.end(), [](char16_t unit) { return unit < 0x80; })) {
    AppendJsonString(out, std::u16string_view(text));
  } else {
    AppendJsonString(out, ToStandardUtf8(text));
  }
}

template <typename Number>
void AppendNumber(std::string& out, Number number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, end);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// 1234567 as "1,234,567".
std::string Grouped(uint64_t number) {
  std::string digits = std::to_string(number);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

struct Summary {
  int64_t notifications = 0;
  int64_t rejected = 0;
  int64_t notPosted = 0;
  // Posted, but the last post was answered with anything but 0.
  int64_t lost = 0;
  std::unordered_map<std::u16string, int64_t> lostPerCategory;
  int64_t linesWithOtherFields = 0;
  std::vector<std::string> otherFieldNames;  // in the order first met
  // Mapped class names by their ASCII lower-case form, to point out an
  // unmapped name that differs from a mapped one only in case.
  std::unordered_map<std::u16string, std::u16string> mappedByFoldedName;
  std::string languageNote;  // why the language is not the locale's own; empty when it is
  // Of the lost events: appended to the undelivered-events file, refused by
  // it for its size limit, or not written to it.
  int64_t kept = 0;
  int64_t notKeptFull = 0;
  int64_t notKeptFailed = 0;
  std::u16string keptPath;
  // By ReportKind: the entries written, and those left out by the limit of
  // one of a kind a minute.
  PerKind logEntries{};
  PerKind logLeftOut{};
  int64_t posts = 0;
  int64_t retried = 0;
  int64_t waits = 0;
  uint64_t waitedMs = 0;
  // Both grow with the number of distinct class names only.
  std::unordered_map<std::u16string, int64_t> eventsPerCategory;
  std::vector<std::pair<std::u16string, int64_t>> unmapped;  // in the order first met
  std::unordered_map<std::u16string, size_t> unmappedIndex;

  void CountUnmapped(const std::u16string& className) {
    const auto [at, added] = unmappedIndex.try_emplace(className, unmapped.size());
    if (added) unmapped.emplace_back(className, 0);
    ++unmapped[at->second].second;
  }

  void CountOtherFields(const std::vector<std::string>& names) {
    if (names.empty()) return;
    ++linesWithOtherFields;
    for (const std::string& name : names) {
      if (std::find(otherFieldNames.begin(), otherFieldNames.end(), name) ==
          otherFieldNames.end()) {
        otherFieldNames.push_back(name);
      }
    }
  }

  // Categories in UTF-8 order, each with its count of events and of those lost.
  struct Category {
    std::string name;
    int64_t events;
    int64_t lost;
    bool operator<(const Category& other) const { return name < other.name; }
  };
  std::vector<Category> Categories() const {
    std::vector<Category> categories;
    for (const auto& [category, count] : eventsPerCategory) {
      const auto lostHere = lostPerCategory.find(category);
      categories.push_back({ToStandardUtf8(category), count,
                            lostHere == lostPerCategory.end() ? 0 : lostHere->second});
    }
    std::sort(categories.begin(), categories.end());
    return categories;
  }

  // The mapped class that |name| differs from only in letter case, if any.
  const std::u16string* CaseTwin(const std::u16string& name) const {
    const auto twin = mappedByFoldedName.find(FoldAscii(name));
    return twin == mappedByFoldedName.end() ? nullptr : &twin->second;
  }

  static std::u16string FoldAscii(std::u16string text) {
    for (char16_t& c : text) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
  }

  void Print(std::ostream& err) const {
    err << "replay: " << notifications
        << (notifications == 1 ? " notification, " : " notifications, ") << posts
        << (posts == 1 ? " post (" : " posts (") << retried << " retried, " << waitedMs
        << " ms waited)";
    if (lost > 0) {
      err << ", " << lost << " lost (" << notifications - notPosted - lost
          << " delivered; the server's last answer to a lost event was not 0)";
    }
    if (notPosted > 0) err << ", " << notPosted << " not posted";
    if (rejected > 0) {
      err << ", " << rejected << (rejected == 1 ? " line" : " lines") << " rejected";
    }
    err << "\n";
    PrintKept(err);
    PrintEventLog(err);
    const auto categories = Categories();
    if (!categories.empty()) {
      err << "events per category:\n";
      size_t width = 0;
      for (const Category& category : categories) width = std::max(width, category.name.size());
      for (const Category& category : categories) {
        err << "  " << std::left << std::setw(static_cast<int>(width) + 2) << category.name
            << category.events;
        if (category.lost > 0) err << " (" << category.lost << " lost)";
        err << "\n";
      }
    }
    if (!unmapped.empty()) {
      err << "class names that no entry maps (posted under their own name):";
      const char* separator = " ";
      for (const auto& [name, count] : unmapped) {
        err << separator << ToStandardUtf8(name);
        if (const std::u16string* twin = CaseTwin(name)) {
          err << " (mapped as " << ToStandardUtf8(*twin) << ": letter case counts)";
        }
        separator = ", ";
      }
      err << "\n";
    }
    if (linesWithOtherFields > 0) {
      err << linesWithOtherFields << (linesWithOtherFields == 1 ? " line" : " lines")
          << " with fields replay does not use, replayed without them:";
      const char* separator = " ";
      for (const std::string& name : otherFieldNames) {
        err << separator << name;
        separator = ", ";
      }
      err << "\n";
    }
    if (!languageNote.empty()) err << languageNote << "\n";
  }

  void PrintKept(std::ostream& err) const {
    if (kept + notKeptFull + notKeptFailed == 0) return;
    err << "undelivered: " << kept << " kept";
    if (!keptPath.empty()) err << " in " << ToStandardUtf8(keptPath);
    if (notKeptFull > 0) err << ", " << notKeptFull << " not kept (the file was full)";
    if (notKeptFailed > 0) {
      err << ", " << notKeptFailed << " not kept (the file could not be written)";
    }
    err << "\n";
  }

  static int64_t Total(const PerKind& counts) {
    int64_t total = 0;
    for (const int64_t count : counts) total += count;
    return total;
  }
  static void PrintPerKind(std::ostream& err, const PerKind& counts) {
    const char* separator = " (";
    for (size_t kind = 0; kind < counts.size(); ++kind) {
      if (counts[kind] == 0) continue;
      err << separator << KindName(kind) << " " << counts[kind];
      separator = ", ";
    }
    err << ")";
  }
  void PrintEventLog(std::ostream& err) const {
    const int64_t entries = Total(logEntries);
    const int64_t leftOut = Total(logLeftOut);
    if (entries + leftOut == 0) return;
    err << "event log: " << entries << (entries == 1 ? " entry" : " entries");
    if (entries > 0) PrintPerKind(err, logEntries);
    if (leftOut > 0) {
      err << ", " << leftOut << " left out by the limit of one of a kind a minute";
      PrintPerKind(err, logLeftOut);
    }
    err << "\n";
  }

  static nlohmann::ordered_json PerKindJson(const PerKind& counts) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (size_t kind = 0; kind < counts.size(); ++kind) {
      if (counts[kind] > 0) json[KindName(kind)] = counts[kind];
    }
    return json;
  }

  std::string Json() const {
    nlohmann::ordered_json json;
    json["notifications"] = notifications;
    json["posts"] = posts;
    json["retried"] = retried;
    json["waits"] = waits;
    json["waitedMs"] = waitedMs;
    json["notPosted"] = notPosted;
    json["delivered"] = notifications - notPosted - lost;
    json["lost"] = lost;
    json["rejectedLines"] = rejected;
    json["linesWithOtherFields"] = linesWithOtherFields;
    json["eventsPerCategory"] = nlohmann::ordered_json::object();
    json["lostPerCategory"] = nlohmann::ordered_json::object();
    for (const Category& category : Categories()) {
      json["eventsPerCategory"][category.name] = category.events;
      if (category.lost > 0) json["lostPerCategory"][category.name] = category.lost;
    }
    json["unmappedClassNames"] = nlohmann::ordered_json::object();
    for (const auto& [name, count] : unmapped) {
      json["unmappedClassNames"][ToStandardUtf8(name)] = count;
    }
    json["kept"] = kept;
    json["notKeptFull"] = notKeptFull;
    json["notKeptFailed"] = notKeptFailed;
    json["eventLogEntries"] = PerKindJson(logEntries);
    json["eventLogLeftOut"] = PerKindJson(logLeftOut);
    return json.dump(2) + "\n";
  }
};

// Writes each entry that the event log recorded, one line each after
// |where|: its type, id and kind, then its insertion strings, the last one
// the count of its kind left out before it. The sentences around them are
// those of the message table, which Event Viewer shows.
void ReportEventLogEntries(const std::vector<EventLogEntry>& entries, const std::string& where,
                           Summary& summary, std::ostream& err) {
  for (const EventLogEntry& entry : entries) {
    err << where << "event log: "
        << (entry.type == kEventLogWarningType ? "warning"
            : entry.type == kEventLogErrorType ? "error"
                                               : "information")
        << " " << entry.eventId;
    const size_t kind = KindIndexOf(entry);
    if (kind < kReportKinds) {
      err << " " << KindName(kind);
      ++summary.logEntries[kind];
      int64_t leftOut = 0;
      const std::string count = entry.strings.empty() ? "" : ToStandardUtf8(entry.strings.back());
      std::from_chars(count.data(), count.data() + count.size(), leftOut);
      summary.logLeftOut[kind] += leftOut;
    }
    const char* separator = ": ";
    for (const std::u16string& text : entry.strings) {
      err << separator << ToStandardUtf8(text);
      separator = " | ";
    }
    err << "\n";
  }
}

// What became of an event whose last post the server did not take: the
// records the plug-in appended for it, or, when it appended none, which of
// its reports it made (written to the log or left out by the limit alike).
// |notKeptLeftOut| holds what the reporter had left out of the two kinds
// after the last lost event.
void ReportUndelivered(KeptEventsOverlay& overlay, EventLogReporter& reporter,
                       const std::vector<EventLogEntry>& entries,
                       std::array<uint32_t, 2>& notKeptLeftOut, const std::string& where,
                       Summary& summary, std::ostream& err) {
  for (const std::string& record : overlay.NewRecords()) {
    ++summary.kept;
    err << where << "kept: ";
    if (const std::optional<KeptEvent> event = ParseKeptRecord(record)) {
      err << ToStandardUtf8(event->className) << " ("
          << ToStandardUtf8(event->typePath.size() > 1 ? event->typePath[1] : u"") << "), answers "
          << ToStandardUtf8(AnswersText(event->answers)) << ", in "
          << ToStandardUtf8(overlay.WindowsPath()) << "\n";
    } else {
      err << "a line that is no whole record: " << record << "\n";
    }
  }
  bool reported[2] = {false, false};
  const ReportKind kinds[2] = {ReportKind::eventNotKeptFull, ReportKind::eventNotKept};
  for (size_t i = 0; i < 2; ++i) {
    const uint32_t leftOut = reporter.LeftOut(kinds[i]);
    reported[i] = leftOut > notKeptLeftOut[i] ||
                  std::any_of(entries.begin(), entries.end(), [&](const EventLogEntry& entry) {
                    return entry.eventId == MessageOf(kinds[i]).eventId;
                  });
    notKeptLeftOut[i] = leftOut;
  }
  if (reported[0]) {
    ++summary.notKeptFull;
    err << where << "not kept: the undelivered-events file has reached its size limit\n";
  } else if (reported[1]) {
    ++summary.notKeptFailed;
    err << where << "not kept: the undelivered-events file could not be written\n";
  }
}

// check's reading of the properties file that the plug-in reads, with its
// path. No reading when there is no such file to open (|missing|: Open has
// warned of that) or no string table to read it with.
std::optional<CheckReport> ReadProperties(InstallationPlatform& platform,
                                          const InstallationSettings& installation,
                                          std::string& fileName, bool& missing) {
  const std::optional<std::filesystem::path> properties =
      installation.properties ? installation.properties
                              : platform.CiFileOnDisk(u"qelevent.properties");
  std::ifstream file;
  if (properties) file.open(*properties, std::ios::binary);
  missing = !file.is_open();
  const std::optional<std::filesystem::path> plugin = platform.CiFileOnDisk(u"qelevent.dll");
  StringTable strings;
  std::string ignored;
  if (missing || !plugin || !LoadStringTable(*plugin, strings, ignored)) return std::nullopt;
  fileName = properties->u8string();
  return CheckProperties(file, strings);
}

// The classes that InitMap mapped, by the properties file the plug-in read,
// under their ASCII lower-case names.
std::unordered_map<std::u16string, std::u16string> MappedByFoldedName(
    const std::optional<CheckReport>& properties, const ModuleState& module) {
  std::unordered_map<std::u16string, std::u16string> mapped;
  if (!properties) return mapped;
  for (const MarkedEntry& entry : properties->marked) {
    const std::u16string name = Utf8ToWide(entry.className);
    if (entry.mapped && !module.Categories().lookup(name).empty()) {
      mapped.emplace(Summary::FoldAscii(name), name);
    }
  }
  return mapped;
}

std::string LanguageIdText(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

// What the language check finds in the module at |windowsPath|: the languages
// of its first string table.
std::string FirstStringTable(const InstallationPlatform& platform, const std::string& windowsPath) {
  const std::optional<std::filesystem::path> disk = platform.MapPath(windowsPath);
  std::ifstream file(disk.value_or(std::filesystem::path()), std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  const std::shared_ptr<const PeResources> resources = PeResources::Parse(bytes);
  const std::vector<ResourceName> names =
      resources ? resources->Names(kRtString) : std::vector<ResourceName>();
  if (names.empty()) return "no string table";
  std::string languages;
  for (const uint16_t language : resources->Languages(kRtString, names.front())) {
    languages += (languages.empty() ? "" : ", ") + LanguageIdText(language);
  }
  return "its first string table in " + languages;
}

// One line on why the language |sent| with the events is not the code of the
// user's locale, empty when it is: the codes tried, and what the module found for each held.
std::string LanguageNote(InstallationPlatform& platform, const std::string& sent, uint32_t lcid) {
  const std::string own = DefaultLanguageCode(platform);
  if (sent == own) return "";
  std::vector<std::string> trials;
  if (own.size() >= 4) trials.push_back(own.substr(0, 4));
  trials.push_back(own.substr(0, 2));
  // As large a buffer as the plug-in's, which reads 255 characters.
  char host[255] = {};
  const uint32_t length =
      platform.GetModuleFileNameA(platform.GetModuleHandleA(nullptr), host, sizeof host);
  const std::string hostPath(host, std::min<size_t>(length, sizeof host));
  std::string note = "language: \"" + sent + "\", not the locale's \"" + own + "\" (" +
                     LanguageIdText(lcid & 0xFFFF) + ")";
  const char* separator = ": tried ";
  for (const std::string& trial : trials) {
    const std::string module = FindLanguageModule(platform, "qelevent.dll", trial);
    note += separator + Quoted(trial) + ", ";
    note += module.empty() ? "no language module beside the host, so the host executable " +
                                 hostPath + " decides: " + FirstStringTable(platform, hostPath)
                           : module + ": " + FirstStringTable(platform, module);
    separator = "; then ";
  }
  return note;
}

// One line on a terminal: notifications done, their rate and the posts,
// redrawn in place. The clock is read only every so many notifications.
class ProgressDisplay {
 public:
  ProgressDisplay(std::ostream& err, bool enabled, std::chrono::milliseconds interval)
      : err_(err), enabled_(enabled), interval_(interval), start_(Clock::now()), drawn_(start_) {}

  void Update(const Summary& summary) {
    if (!enabled_ || summary.notifications % kNotificationsPerClockCheck != 0) return;
    const Clock::time_point now = Clock::now();
    if (now - drawn_ < interval_) return;
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const auto rate = static_cast<uint64_t>(
        seconds > 0 ? static_cast<double>(summary.notifications) / seconds : 0);
    std::string line = "\rreplay: " + Grouped(summary.notifications) + " notifications, " +
                       Grouped(rate) + "/s, " + Grouped(summary.posts) + " posts";
    // A shorter line than the last one leaves no trace of it.
    const size_t length = line.size();
    if (length < width_) line.append(width_ - length, ' ');
    width_ = length;
    err_ << line << std::flush;
  }
  // Before anything else is written to the error stream.
  void Clear() {
    if (width_ == 0) return;
    err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    width_ = 0;
  }

 private:
  std::ostream& err_;
  const bool enabled_;
  const Clock::duration interval_;
  const Clock::time_point start_;
  Clock::time_point drawn_;
  size_t width_ = 0;  // of the line on display, 0 when none is
};

}  // namespace

void AppendPostedEventJson(std::string& out, const PostedEvent& event, int64_t line, int attempt,
                           uint64_t timeMs, uint32_t waitMs) {
  out += "{\"line\":";
  AppendNumber(out, line);
  out += ",\"attempt\":";
  AppendNumber(out, attempt);
  out += ",\"timeMs\":";
  AppendNumber(out, timeMs);
  out += ",\"source\":";
  AppendJsonString(out, event.source);
  out += ",\"typePath\":[";
  for (size_t i = 0; i < event.typePath.size(); ++i) {
    if (i > 0) out += ',';
    AppendJsonString(out, event.typePath[i]);
  }
  out += "],\"text\":";
  AppendJsonString(out, event.text);
  out += ",\"language\":";
  AppendJsonString(out, event.language);
  out += ",\"eventCode\":";
  AppendNumber(out, event.eventCode);
  out += ",\"attributes\":[";
  for (size_t i = 0; i < event.attributes.size(); ++i) {
    out += i > 0 ? ",{\"name\":" : "{\"name\":";
    AppendJsonString(out, event.attributes[i].name);
    out += ",\"type\":";
    AppendNumber(out, event.attributes[i].type);
    out += ",\"value\":";
    AppendJsonString(out, event.attributes[i].value);
    out += '}';
  }
  out += "],\"destination\":";
  AppendJsonString(out, event.destination);
  out += ",\"result\":";
  AppendNumber(out, event.result);
  out += ",\"waitMs\":";
  AppendNumber(out, waitMs);
  out += '}';
}

std::string JsonString(const std::string& utf8) {
  std::string out;
  AppendJsonString(out, utf8);
  return out;
}

int RunReplay(const ReplaySettings& settings, std::istream& in, const std::string& inputName,
              std::ostream& out, std::ostream& err) {
  ReplayPlatform platform;
  std::string error;
  std::vector<std::string> warnings;
  if (!platform.Open(settings.installation, error, warnings)) {
    err << "qelevent-tool replay: " << error << "\n";
    return kCouldNotRun;
  }
  // Opened before the replay, so that a summary that cannot be written is
  // known before a long replay, not after it.
  std::ofstream summaryFile;
  if (settings.summaryJson) {
    summaryFile.open(*settings.summaryJson, std::ios::binary | std::ios::trunc);
    if (!summaryFile) {
      err << "qelevent-tool replay: cannot write the summary to " << settings.summaryJson->string()
          << "\n";
      return kCouldNotRun;
    }
  }
  for (const std::string& warning : warnings) {
    err << "qelevent-tool replay: warning: " << warning << "\n";
  }
  std::string propertiesName;
  bool propertiesMissing = false;
  const std::optional<CheckReport> properties =
      ReadProperties(platform, settings.installation, propertiesName, propertiesMissing);
  if (properties) PrintFileFindings(*properties, propertiesName, err);
  const bool mapsNothing = propertiesMissing || (properties && properties->MapsNothing());
  platform.SetUserDefaultLCID(settings.lcid);
  for (int32_t result : settings.results) platform.QueueEventResults({result});
  KeptEventsOverlay kept;
  if (!kept.Open(platform, error)) {
    err << "qelevent-tool replay: " << error << "\n";
    return kCouldNotRun;
  }

  // What the plug-in does when the host loads it, and then calls InitMap.
  ModuleState module(platform);
  if (settings.initMap) module.InitMap();

  Summary summary;
  summary.keptPath = kept.WindowsPath();
  ReportEventLogEntries(platform.EventLogEntries(), "qelevent-tool replay: InitMap: ", summary,
                        err);
  std::array<uint32_t, 2> notKeptLeftOut{};
  ProgressDisplay progress(err, settings.progress, settings.progressInterval);
  uint64_t clockMs = 0;
  int64_t lineNumber = 0;
  std::string line;
  std::string posted;
  Notification notification;
  std::vector<std::string> otherFields;
  summary.mappedByFoldedName = MappedByFoldedName(properties, module);
  std::optional<std::string> sentLanguage;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.find_first_not_of(" \t") == std::string::npos) continue;

    otherFields.clear();
    if (!ParseNotification(line, notification, error, settings.strict ? nullptr : &otherFields)) {
      progress.Clear();
      err << inputName << ":" << lineNumber << ": " << error << "\n";
      ++summary.rejected;
      continue;
    }
    ++summary.notifications;
    summary.CountOtherFields(otherFields);
    const bool mapped = !module.Categories().lookup(notification.className).empty();

    platform.StartNotification();
    const int32_t result =
        module.ProcessEvent(notification.eventCode, notification.className, notification.eventText,
                            notification.categoryAttribute, notification.target);

    const std::vector<PostedEvent>& events = platform.Events();
    const std::vector<uint32_t>& waits = platform.WaitsAfterPost();
    posted.clear();
    for (size_t i = 0; i < events.size(); ++i) {
      AppendPostedEventJson(posted, events[i], lineNumber, static_cast<int>(i) + 1, clockMs,
                            waits[i]);
      posted += '\n';
      clockMs += waits[i];
      summary.waitedMs += waits[i];
      if (waits[i] > 0) ++summary.waits;
    }
    out.write(posted.data(), static_cast<std::streamsize>(posted.size()));
    summary.posts += static_cast<int64_t>(events.size());
    if (events.size() > 1) ++summary.retried;
    if (events.empty()) {
      ++summary.notPosted;
      progress.Clear();
      err << inputName << ":" << lineNumber << ": nothing posted: ProcessEvent returned " << result
          << (result == 2 ? " (the class name is empty)" : "")
          << (result == 14 ? " (the desktop could not be attached)" : "") << "\n";
    } else {
      const PostedEvent& first = events.front();
      if (!sentLanguage) sentLanguage = first.language;
      const std::u16string& category = first.typePath.size() > 1 ? first.typePath[1] : u"";
      ++summary.eventsPerCategory[category];
      if (events.back().result != 0) {
        ++summary.lost;
        ++summary.lostPerCategory[category];
        progress.Clear();
        ReportUndelivered(kept, module.Reporter(), platform.EventLogEntries(), notKeptLeftOut,
                          inputName + ":" + std::to_string(lineNumber) + ": ", summary, err);
      }
      if (!mapped) summary.CountUnmapped(notification.className);
    }
    if (!platform.EventLogEntries().empty()) {
      progress.Clear();
      ReportEventLogEntries(platform.EventLogEntries(),
                            inputName + ":" + std::to_string(lineNumber) + ": ", summary, err);
    }
    progress.Update(summary);
  }
  // Those left out since the last entry of their kind, which no entry counts.
  for (size_t kind = 0; kind < kReportKinds; ++kind) {
    summary.logLeftOut[kind] += module.Reporter().LeftOut(static_cast<ReportKind>(kind));
  }
  out.flush();
  progress.Clear();
  if (sentLanguage) summary.languageNote = LanguageNote(platform, *sentLanguage, settings.lcid);
  summary.Print(err);
  if (summaryFile.is_open()) {
    summaryFile << summary.Json();
    summaryFile.close();
    if (!summaryFile) {
      err << "qelevent-tool replay: cannot write the summary to " << settings.summaryJson->string()
          << "\n";
      return kCouldNotRun;
    }
  }
  if (mapsNothing) return kMapsNothing;
  return summary.rejected == 0 && summary.lost == 0 ? kAllWell : kFindings;
}

}  // namespace qel::tool
