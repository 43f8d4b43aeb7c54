#include "tools/Installation.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kPluginFileName[] = u"qelevent.dll";
constexpr char16_t kPropertiesFileName[] = u"qelevent.properties";

bool IsRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool ReadDiskFile(const fs::path& path, std::string& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  bytes = text.str();
  return true;
}

}  // namespace

fs::path SampleInstallation() { return fs::path(QEL_SAMPLE_INSTALL_DIR); }

std::string SampleBuildHint() {
  return "build the plug-in with `cmake --preset win32 && cmake --build --preset win32`, then "
         "`cmake --build --preset native` to copy it into the sample installation (or run "
         "scripts/run-sample.sh, which does both)";
}

bool InstallationPlatform::LoadRegistry(const fs::path& folder, std::string& error) {
  std::error_code ignored;
  if (!fs::is_directory(folder, ignored)) {
    error = "installation folder " + folder.string() + " does not exist";
    if (folder == SampleInstallation()) {
      error += ": build the native preset (`cmake --build --preset native`)";
    }
    return false;
  }
  std::vector<fs::path> exports;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.path().extension() == ".reg" && IsRegularFile(entry.path())) {
      exports.push_back(entry.path());
    }
  }
  if (exports.empty()) {
    error = "installation folder " + folder.string() +
            " holds no registry export (*.reg) naming the product's installation folder";
    return false;
  }
  std::sort(exports.begin(), exports.end());
  for (const fs::path& file : exports) {
    std::string text;
    std::string why;
    if (!ReadDiskFile(file, text)) {
      error = file.string() + ": cannot be read";
      return false;
    }
    if (!Registry().LoadRegedit4(text, &why)) {
      error = file.string() + ": " + why;
      return false;
    }
  }
  SetDiskRoot(folder);
  return true;
}

std::optional<fs::path> InstallationPlatform::CiFileOnDisk(const std::u16string& name) {
  return MapPath(ComposeCiFilePath(*this, name));
}

bool InstallationPlatform::Open(const InstallationSettings& settings, std::string& error,
                                std::vector<std::string>& warnings) {
  const fs::path& folder = settings.folder;
  if (!LoadRegistry(folder, error)) return false;

  std::u16string installFolder;
  if (GetInstallDirectory(*this, installFolder) != 0) {
    error = "the registry export in " + folder.string() +
            " names no installation folder: HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar needs "
            "\"TELVARPATH\" (in the subkey that its \"Version\" names, when it has one)";
    return false;
  }
  SetHostExecutable(settings.hostExecutable.value_or(WideToUtf8(installFolder) + "bin\\host.exe"));

  // The paths are composed as the plug-in composes them, so what is checked
  // here is what it will open.
  const std::u16string plugin = ComposeCiFilePath(*this, kPluginFileName);
  const std::optional<fs::path> pluginOnDisk = MapPath(plugin);
  if (!pluginOnDisk || !IsRegularFile(*pluginOnDisk)) {
    error = "no plug-in at " + WideToUtf8(plugin) + " (" +
            (pluginOnDisk ? pluginOnDisk->string() : std::string("outside the folder")) + "): " +
            (folder == SampleInstallation() ? SampleBuildHint() : "copy qelevent.dll there");
    return false;
  }

  // A substitute properties file is opened whenever the plug-in opens its own.
  const std::u16string properties = ComposeCiFilePath(*this, kPropertiesFileName);
  const std::optional<fs::path> propertiesOnDisk = MapPath(properties);
  if (settings.properties) {
    if (!IsRegularFile(*settings.properties)) {
      error = "properties file " + settings.properties->string() + " does not exist";
      return false;
    }
    SubstituteFile(properties, *settings.properties);
  } else if (!propertiesOnDisk || !IsRegularFile(*propertiesOnDisk)) {
    warnings.push_back("no properties file at " + WideToUtf8(properties) +
                       ": InitMap maps nothing, and every class is posted under its own name");
  }
  ClearCallLog();
  return true;
}

}  // namespace qel::tool
