#include "tools/Replay.h"

#include <algorithm>
#include <iomanip>
#include <istream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "bridge/ModuleState.h"
#include "tools/Notification.h"

namespace qel::tool {
namespace {

using ordered_json = nlohmann::ordered_json;

// The hosted platform names each call in its log; these two order the posts
// and the waits between them.
constexpr char kPostCall[] = "VNXEventW(";
constexpr char kSleepCall[] = "Sleep(";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Utf8(const std::u16string& text) { return ToJsonText(text); }

struct Summary {
  int notifications = 0;
  int rejected = 0;
  int notPosted = 0;
  int posts = 0;
  int retried = 0;
  uint64_t waitedMs = 0;
  std::map<std::string, int> eventsPerCategory;
  std::vector<std::string> unmapped;  // in the order first met

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
    if (!eventsPerCategory.empty()) {
      err << "events per category:\n";
      size_t width = 0;
      for (const auto& [category, count] : eventsPerCategory) {
        width = std::max(width, category.size());
      }
      for (const auto& [category, count] : eventsPerCategory) {
        err << "  " << std::left << std::setw(static_cast<int>(width) + 2) << category << count
            << "\n";
      }
    }
    if (!unmapped.empty()) {
      err << "class names that no entry maps (posted under their own name):";
      const char* separator = " ";
      for (const std::string& name : unmapped) {
        err << separator << name;
        separator = ", ";
      }
      err << "\n";
    }
  }
};

// The text after "Sleep(" up to ")".
uint32_t SleptMs(const std::string& call) {
  return static_cast<uint32_t>(std::stoul(call.substr(std::string(kSleepCall).size())));
}

}  // namespace

std::string PostedEventJson(const PostedEvent& event, int line, int attempt, uint64_t timeMs,
                            uint32_t waitMs) {
  ordered_json json;
  json["line"] = line;
  json["attempt"] = attempt;
  json["timeMs"] = timeMs;
  json["source"] = Utf8(event.source);
  json["typePath"] = ordered_json::array();
  for (const std::u16string& part : event.typePath) json["typePath"].push_back(Utf8(part));
  json["text"] = Utf8(event.text);
  json["language"] = event.language;
  json["eventCode"] = event.eventCode;
  json["attributes"] = ordered_json::array();
  for (const PostedEvent::Attribute& attribute : event.attributes) {
    json["attributes"].push_back({{"name", Utf8(attribute.name)},
                                  {"type", attribute.type},
                                  {"value", Utf8(attribute.value)}});
  }
  json["destination"] = event.destination;
  json["result"] = event.result;
  json["waitMs"] = waitMs;
  return json.dump();
}

int RunReplay(const ReplaySettings& settings, std::istream& in, const std::string& inputName,
              std::ostream& out, std::ostream& err) {
  InstallationPlatform platform;
  std::string error;
  std::vector<std::string> warnings;
  if (!platform.Open(settings.installation, error, warnings)) {
    err << "qelevent-tool replay: " << error << "\n";
    return 2;
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
  uint64_t clockMs = 0;
  int lineNumber = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.find_first_not_of(" \t") == std::string::npos) continue;

    Notification notification;
    if (!ParseNotification(line, notification, error)) {
      err << inputName << ":" << lineNumber << ": " << error << "\n";
      ++summary.rejected;
      continue;
    }
    ++summary.notifications;
    const bool mapped = !module.Categories().lookup(notification.className).empty();

    platform.ClearCallLog();
    const size_t firstEvent = platform.Events().size();
    const int32_t result =
        module.ProcessEvent(notification.eventCode, notification.className, notification.eventText,
                            notification.categoryAttribute, notification.target);

    // The posts of this call, each with the wait that followed it.
    std::vector<uint32_t> waits;
    for (const std::string& call : platform.CallLog()) {
      if (StartsWith(call, kPostCall)) {
        waits.push_back(0);
      } else if (StartsWith(call, kSleepCall) && !waits.empty()) {
        waits.back() += SleptMs(call);
      }
    }
    const std::vector<PostedEvent>& events = platform.Events();
    for (size_t i = firstEvent; i < events.size(); ++i) {
      const size_t attempt = i - firstEvent;
      const uint32_t waitMs = attempt < waits.size() ? waits[attempt] : 0;
      out << PostedEventJson(events[i], lineNumber, static_cast<int>(attempt) + 1, clockMs, waitMs)
          << "\n";
      clockMs += waitMs;
      summary.waitedMs += waitMs;
      ++summary.posts;
    }
    if (events.size() > firstEvent + 1) ++summary.retried;
    if (events.size() == firstEvent) {
      ++summary.notPosted;
      err << inputName << ":" << lineNumber << ": nothing posted: ProcessEvent returned " << result
          << (result == 2 ? " (the class name is empty)" : "")
          << (result == 14 ? " (the desktop could not be attached)" : "") << "\n";
      continue;
    }
    const PostedEvent& posted = events[firstEvent];
    ++summary.eventsPerCategory[posted.typePath.size() > 1 ? Utf8(posted.typePath[1]) : ""];
    const std::string className = Utf8(notification.className);
    if (!mapped && std::find(summary.unmapped.begin(), summary.unmapped.end(), className) ==
                       summary.unmapped.end()) {
      summary.unmapped.push_back(className);
    }
  }
  out.flush();
  summary.Print(err);
  return summary.rejected == 0 ? 0 : 1;
}

}  // namespace qel::tool
