// A product installation on a hosted platform, as the installer leaves it: a
// temporary folder serving as drive C:, the product's registry key naming the
// installation folder (through a "Version" subkey), and the plug-in's ci
// folder, into which a test puts the string module and a properties file.
#pragma once

#include <filesystem>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel::test {

class HostedInstallation {
 public:
  // Registers |installFolder| (a Windows path on drive C:) under "Version"
  // |version|, and sets the platform's disk root to a fresh temporary folder.
  // The ci folder exists; nothing is in it yet.
  explicit HostedInstallation(HostedPlatform& platform,
                              const std::string& installFolder = "C:\\Prog\\Telvar",
                              const std::string& version = "4.1");

  // The plug-in's string table (ids 1000 to 1020), as ci\qelevent.dll.
  void InstallStringModule() const;
  // |text| as ci\qelevent.properties, byte for byte.
  void WriteProperties(const std::string& text) const;

  // What the plug-in composes for its string module: the folder, "\ci\" and
  // the file name, with the doubled backslash that composition gives.
  std::u16string ResourceModulePath() const;
  const std::filesystem::path& CiFolder() const { return ciFolder_; }

 private:
  TempFolder disk_;
  std::string installFolder_;
  std::filesystem::path ciFolder_;
};

}  // namespace qel::test
