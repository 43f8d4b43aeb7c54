// A server installation of the plug-in, seen through the hosted platform: the
// folder holds registry exports (*.reg, REGEDIT4) and one folder per drive
// letter, so C:\Program Files\... lies under <folder>/C/Program Files/...
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"

namespace qel::tool {

// The sample installation that the native build assembles.
std::filesystem::path SampleInstallation();
// How to get the sample installation's plug-in built, as one line.
std::string SampleBuildHint();

struct InstallationSettings {
  std::filesystem::path folder;
  // Read in place of the installation's ci\qelevent.properties.
  std::optional<std::filesystem::path> properties;
  // Windows path of the host executable, beside which the language folders
  // are looked for. By default <installation folder>\bin\host.exe.
  std::optional<std::string> hostExecutable;
};

class InstallationPlatform : public HostedPlatform {
 public:
  // Imports every *.reg file at the top of |folder|, in name order, and maps
  // the drive folders. False with a one-line reason when the folder does not
  // exist, holds no registry export, or one of them is broken.
  bool LoadRegistry(const std::filesystem::path& folder, std::string& error);
  // Where the file |name| of the plug-in's ci folder lies on disk, composed
  // as the plug-in composes it; std::nullopt when no folder is mapped.
  std::optional<std::filesystem::path> CiFileOnDisk(const std::u16string& name);

  // LoadRegistry, then places the host executable. Fails, with a one-line
  // reason, when the installation could not run the plug-in: no such folder,
  // no registry export or a broken one, no installation folder named in it,
  // no ci\qelevent.dll, or a substitute properties file that does not exist.
  // What would only make the plug-in map nothing (no properties file) is
  // added to |warnings|.
  bool Open(const InstallationSettings& settings, std::string& error,
            std::vector<std::string>& warnings);
};

}  // namespace qel::tool
