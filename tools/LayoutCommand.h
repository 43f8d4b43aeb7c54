// The layout command: what the plug-in will choose for a host's strings,
// told before deployment from the host's executable (or any module) on disk.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace qel {
class Platform;
}  // namespace qel

namespace qel::tool {

struct LayoutSettings {
  std::filesystem::path module;
  // Where the registry value is read: the server's registry, or an
  // installation's exports (--install); null when neither is at hand.
  Platform* registry = nullptr;
};

// Reads |settings.module|'s import directory from the file and prints the
// DLLs it imports, the layout the plug-in will choose for the strings it
// passes and why, and what the registry value HostStringLayout does to that.
// kAllWell when the imports or a valid value name the layout; kFindings when
// the strings will be refused (a debug library), the value is invalid, or
// nothing names the layout (the built-in one is read); kCouldNotRun when the
// file cannot be read or is no PE image (one line on |err|).
int RunLayout(const LayoutSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace qel::tool
