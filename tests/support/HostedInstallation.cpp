#include "support/HostedInstallation.h"

#include <fstream>
#include <stdexcept>

namespace qel::test {
namespace {

constexpr char kProductKey[] = "SOFTWARE\\Korvane\\Telvar";

}  // namespace

HostedInstallation::HostedInstallation(HostedPlatform& platform, const std::string& installFolder,
                                       const std::string& version)
    : installFolder_(installFolder) {
  platform.SetDiskRoot(disk_.Path());
  platform.Registry().SetString(kProductKey, "Version", version);
  platform.Registry().SetString(std::string(kProductKey) + "\\" + version, "TELVARPATH",
                                installFolder);
  std::optional<std::filesystem::path> ci = platform.MapPath(installFolder + "\\ci");
  if (!ci) throw std::invalid_argument("not an absolute Windows path: " + installFolder);
  ciFolder_ = *ci;
  std::filesystem::create_directories(ciFolder_);
}

void HostedInstallation::InstallStringModule() const {
  std::filesystem::copy_file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / "qelevent.dll",
                             ciFolder_ / "qelevent.dll",
                             std::filesystem::copy_options::overwrite_existing);
}

void HostedInstallation::WriteProperties(const std::string& text) const {
  std::ofstream(ciFolder_ / "qelevent.properties", std::ios::binary) << text;
}

std::u16string HostedInstallation::ResourceModulePath() const {
  std::u16string path(installFolder_.begin(), installFolder_.end());
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path + u"\\ci\\qelevent.dll";
}

}  // namespace qel::test
