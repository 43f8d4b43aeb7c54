// The replay command: host notifications run through the plug-in's own
// start-up, InitMap and ProcessEvent on a hosted copy of a server
// installation, and every event that it posts written out as one JSON line.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "tools/Installation.h"

namespace qel::tool {

struct ReplaySettings {
  InstallationSettings installation;
  uint32_t lcid = 0x0409;  // the user's default locale
  // What the event server answers, post by post across the whole replay;
  // 0 once they are used up.
  std::vector<int32_t> results;
  bool initMap = true;  // as the host does once before the first event
  // A one-line display of the progress on the error stream (for a terminal),
  // redrawn with a carriage return at most once per |progressInterval|.
  bool progress = false;
  std::chrono::milliseconds progressInterval{250};
  // Refuse notification lines with fields beyond the five, as a misspelt
  // field would be; otherwise such lines are replayed and counted.
  bool strict = false;
  // Where the closing summary is also written, as one JSON document.
  std::optional<std::filesystem::path> summaryJson;
};

// Appends one post as a JSON object on one line, without the line break:
// |line| is the notification's line, |attempt| 1 or 2, |timeMs| the simulated
// time of the post since the replay began, |waitMs| the wait that followed it
// (0 when none did).
void AppendPostedEventJson(std::string& out, const PostedEvent& event, int64_t line, int attempt,
                           uint64_t timeMs, uint32_t waitMs);

// |utf8| as a quoted JSON string, escaped as replay writes its events.
std::string JsonString(const std::string& utf8);

// Reads one notification per line of |in|, which messages call |inputName|.
// Posted events go to |out| and nothing else does; errors, the progress
// display and the closing summary go to |err|. A line that is not a
// notification is reported and skipped. check's findings for the whole
// properties file that the plug-in reads come first. So do, by line, the
// events that the plug-in kept in its undelivered-events file (a temporary
// copy of the installation's: the installation is never written) or could
// not keep, and the entries it wrote to the event log. Returns kAllWell,
// kFindings when a line was not a notification or an event was lost,
// kMapsNothing when the plug-in maps nothing from its properties file (or
// has none), and kCouldNotRun when the installation could not be opened, the
// summary file not written or the temporary file not made.
int RunReplay(const ReplaySettings& settings, std::istream& in, const std::string& inputName,
              std::ostream& out, std::ostream& err);

}  // namespace qel::tool
