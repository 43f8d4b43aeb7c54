// The resend command: the kept events (ci\qelevent-undelivered.txt) listed,
// or delivered again through the installed plug-in on the server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace qel {
class Platform;
}  // namespace qel

namespace qel::tool {

struct ResendSettings {
  bool list = false;  // only show what is kept
  bool json = false;  // with list: one JSON document
  // By default the registered installation's ci\qelevent-undelivered.txt.
  std::optional<std::filesystem::path> file;
  // By default the registered installation's ci\qelevent.dll.
  std::optional<std::filesystem::path> dll;
};

// With |settings.list|: prints the kept events of the file (on Linux, where
// |server| is null, only of a file named), and returns kAllWell when none is
// kept, kFindings when some are (or lines that are no whole record).
// Otherwise, on the server only: delivers them oldest first through the
// plug-in's ResendKeptEvent export and stops at the first one the server
// does not take; kAllWell when all went, kFindings when some stay kept.
// kCouldNotRun when it could not run (one line on |err|).
int RunResend(Platform* server, const ResendSettings& settings, std::ostream& out,
              std::ostream& err);

// Where the installed plug-in keeps events, and how far the file reached,
// taken before send fires its event.
struct KeptEventsMark {
  std::optional<std::filesystem::path> file;
  uint32_t size = 0;
};
KeptEventsMark MarkKeptEvents(Platform& server);
// Whether a record of |className| was kept since |mark|: then says so on
// |out| (the server's answers, the file, resend) and returns true.
bool TellIfKept(Platform& server, const KeptEventsMark& mark, const std::string& className,
                std::ostream& out);

}  // namespace qel::tool
