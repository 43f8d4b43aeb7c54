// The send command: one test event through an installed plug-in, on the
// server, the way the host service passes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace qel {
class Platform;
enum class HostStringLayout;
}  // namespace qel

namespace qel::tool {

struct SendSettings {
  // By default the registered installation's ci\qelevent.dll.
  std::optional<std::filesystem::path> dll;
  int32_t eventCode = 0;
  std::string className;  // UTF-8, as are the texts below
  std::string eventText = "Test event from qelevent-tool send";
  std::string categoryAttribute;
  std::string target;
};

// What the plug-in chooses for the strings of a caller that is the module
// file |self| (the tool's own executable): its imports, else the registry
// value of |registry|, else the built-in layout, as one line that says why.
// A module that cannot be read is taken to import nothing.
HostStringLayout LayoutForCaller(Platform& registry, const std::filesystem::path& self,
                                 std::string* why);

// Loads the plug-in through |server|, calls InitMap and then ProcessEvent with
// strings laid out as the plug-in will read them from the tool itself
// (LayoutForCaller), and prints what each
// returned, what that means and the category the event went out under, as
// check reads the installed properties file (whose findings for the whole
// file come first). Returns kAllWell when ProcessEvent returned 0, kFindings
// when it returned anything else, kMapsNothing when the plug-in maps nothing
// from the installed file (or has none), and kCouldNotRun when it could not
// be called (one line on |err|).
int RunSend(Platform& server, const SendSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace qel::tool
