#include "tools/Replay.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iomanip>
#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bridge/ModuleState.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostText.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "tools/Notification.h"

namespace qel::tool {
namespace {

using Clock = std::chrono::steady_clock;

// The progress display looks at the clock once per this many notifications.
constexpr int64_t kNotificationsPerClockCheck = 256;

// The installation, noting the waits that follow each post, so that posts and
// waits are reported in the order the plug-in made them.
class ReplayPlatform : public InstallationPlatform {
 public:
  ReplayPlatform() {
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
  void Sleep(uint32_t milliseconds) override {
    InstallationPlatform::Sleep(milliseconds);
    if (!waitsAfterPost_.empty()) waitsAfterPost_.back() += milliseconds;
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
};

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

  // Categories in UTF-8 order, each with its count.
  std::vector<std::pair<std::string, int64_t>> Categories() const {
    std::vector<std::pair<std::string, int64_t>> categories;
    for (const auto& [category, count] : eventsPerCategory) {
      categories.emplace_back(ToStandardUtf8(category), count);
    }
    std::sort(categories.begin(), categories.end());
    return categories;
  }

  void Print(std::ostream& err) const {
    err << "replay: " << notifications
        << (notifications == 1 ? " notification, " : " notifications, ") << posts
        << (posts == 1 ? " post (" : " posts (") << retried << " retried, " << waitedMs
        << " ms waited)";
    if (notPosted > 0) err << ", " << notPosted << " not posted";
    if (rejected > 0) {
      err << ", " << rejected << (rejected == 1 ? " line" : " lines") << " rejected";
    }
    err << "\n";
    const auto categories = Categories();
    if (!categories.empty()) {
      err << "events per category:\n";
      size_t width = 0;
      for (const auto& [category, count] : categories) width = std::max(width, category.size());
      for (const auto& [category, count] : categories) {
        err << "  " << std::left << std::setw(static_cast<int>(width) + 2) << category << count
            << "\n";
      }
    }
    if (!unmapped.empty()) {
      err << "class names that no entry maps (posted under their own name):";
      const char* separator = " ";
      for (const auto& [name, count] : unmapped) {
        err << separator << ToStandardUtf8(name);
        separator = ", ";
      }
      err << "\n";
    }
  }

  std::string Json() const {
    nlohmann::ordered_json json;
    json["notifications"] = notifications;
    json["posts"] = posts;
    json["retried"] = retried;
    json["waits"] = waits;
    json["waitedMs"] = waitedMs;
    json["notPosted"] = notPosted;
    json["rejectedLines"] = rejected;
    json["eventsPerCategory"] = nlohmann::ordered_json::object();
    for (const auto& [category, count] : Categories()) json["eventsPerCategory"][category] = count;
    json["unmappedClassNames"] = nlohmann::ordered_json::object();
    for (const auto& [name, count] : unmapped) {
      json["unmappedClassNames"][ToStandardUtf8(name)] = count;
    }
    return json.dump(2) + "\n";
  }
};

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

int RunReplay(const ReplaySettings& settings, std::istream& in, const std::string& inputName,
              std::ostream& out, std::ostream& err) {
  ReplayPlatform platform;
  std::string error;
  std::vector<std::string> warnings;
  if (!platform.Open(settings.installation, error, warnings)) {
    err << "qelevent-tool replay: " << error << "\n";
    return 2;
  }
  // Opened before the replay, so that a summary that cannot be written is
  // known before a long replay, not after it.
  std::ofstream summaryFile;
  if (settings.summaryJson) {
    summaryFile.open(*settings.summaryJson, std::ios::binary | std::ios::trunc);
    if (!summaryFile) {
      err << "qelevent-tool replay: cannot write the summary to " << settings.summaryJson->string()
          << "\n";
      return 2;
    }
  }
  for (const std::string& warning : warnings) {
    err << "qelevent-tool replay: warning: " << warning << "\n";
  }
  platform.SetUserDefaultLCID(settings.lcid);
  for (int32_t result : settings.results) platform.QueueEventResults({result});

  // What the plug-in does when the host loads it, and then calls InitMap.
  ModuleState module(platform);
  if (settings.initMap) module.InitMap();

  Summary summary;
  ProgressDisplay progress(err, settings.progress, settings.progressInterval);
  uint64_t clockMs = 0;
  int64_t lineNumber = 0;
  std::string line;
  std::string posted;
  Notification notification;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.find_first_not_of(" \t") == std::string::npos) continue;

    if (!ParseNotification(line, notification, error)) {
      progress.Clear();
      err << inputName << ":" << lineNumber << ": " << error << "\n";
      ++summary.rejected;
      continue;
    }
    ++summary.notifications;
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
      ++summary.eventsPerCategory[first.typePath.size() > 1 ? first.typePath[1] : u""];
      if (!mapped) summary.CountUnmapped(notification.className);
    }
    progress.Update(summary);
  }
  out.flush();
  progress.Clear();
  summary.Print(err);
  if (summaryFile.is_open()) {
    summaryFile << summary.Json();
    summaryFile.close();
    if (!summaryFile) {
      err << "qelevent-tool replay: cannot write the summary to " << settings.summaryJson->string()
          << "\n";
      return 2;
    }
  }
  return summary.rejected == 0 ? 0 : 1;
}

}  // namespace qel::tool
