#include "tools/Installation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "platform/hosted/CodePage1252.h"

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

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// UTF-16LE bytes from |from| on as a 32-bit program reads them: in the ANSI
// code page, what that lacks as "?".
std::string AnsiOfUtf16(const std::string& bytes, size_t from) {
  std::string ansi;
  ansi.reserve(bytes.size() / 2);
  for (size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                            static_cast<uint8_t>(bytes[i + 1]) << 8);
    ansi += static_cast<char>(Cp1252FromUnicode(unit).value_or('?'));
  }
  return ansi;
}

// Version 5.00 writes the data of hex(2) (REG_EXPAND_SZ) and hex(7)
// (REG_MULTI_SZ) values as UTF-16LE, REGEDIT4 in the ANSI code page. The
// byte list runs on over lines that end in a backslash. A list that is not
// one is left for the registry's reader to report.
std::string AnsiStringData(const std::string& text) {
  constexpr size_t kPrefix = sizeof("=hex(2):") - 1;
  std::string result;
  size_t at = 0;
  for (;;) {
    const size_t found = std::min(text.find("=hex(2):", at), text.find("=hex(7):", at));
    if (found == std::string::npos) return result + text.substr(at);
    size_t end = found + kPrefix;
    std::string list;
    for (bool more = true; more;) {
      const size_t lineEnd = std::min(text.find('\n', end), text.size());
      std::string part = text.substr(end, lineEnd - end);
      part.erase(part.find_last_not_of(" \t\r") + 1);
      more = !part.empty() && part.back() == '\\' && lineEnd < text.size();
      if (more) part.pop_back();
      list += part;
      end = more ? lineEnd + 1 : lineEnd;
    }
    std::string bytes;
    std::istringstream items(list);
    bool wellFormed = true;
    for (std::string item; std::getline(items, item, ',');) {
      char* stop = nullptr;
      const unsigned long byte = std::strtoul(item.c_str(), &stop, 16);
      wellFormed = wellFormed && stop != item.c_str() && *stop == '\0' && byte <= 0xFF;
      bytes += static_cast<char>(byte);
    }
    std::string ansi;
    for (const char c : AnsiOfUtf16(bytes, 0)) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x,", static_cast<unsigned>(static_cast<uint8_t>(c)));
      ansi += hex;
    }
    if (!ansi.empty()) ansi.pop_back();
    result += text.substr(at, found + kPrefix - at) + (wellFormed ? ansi : list);
    at = end;
  }
}

// A registry export as the hosted registry reads it, REGEDIT4 in the ANSI
// code page. Regedit writes "Windows Registry Editor Version 5.00" in UTF-16LE
// with a byte-order mark. A 64-bit regedit shows the 32-bit view, the one
// the plug-in sees, under SOFTWARE\WOW6432Node.
std::string AsRegedit4(std::string text) {
  if (text.rfind("\xFF\xFE", 0) == 0) {
    text = AnsiOfUtf16(text, 2);
  } else if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    text.erase(0, 3);
  }
  const std::string header = "Windows Registry Editor Version 5.00";
  if (text.rfind(header, 0) == 0) {
    text = "REGEDIT4" + AnsiStringData(text.substr(header.size()));
  }
  const std::string view = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE";
  const std::string node = "\\WOW6432Node";
  for (size_t line = 0; line < text.size();) {
    const size_t end = text.find('\n', line);
    size_t key = text.find_first_not_of(" \t", line);
    if (key < end && text[key] == '[') {
      key += text.compare(key, 2, "[-") == 0 ? 2 : 1;
      const size_t after = key + view.size();
      if (after < end && after < text.size() && Upper(text.substr(key, view.size())) == view &&
          (text[after] == '\\' || text[after] == ']')) {
        text.erase(after - node.size(), node.size());
      }
    }
    if (end == std::string::npos) break;
    line = text.find('\n', line) + 1;
  }
  return text;
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
    error = "installation folder " + folder.u8string() + " does not exist";
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
    error = "installation folder " + folder.u8string() +
            " holds no registry export (*.reg) naming the product's installation folder";
    return false;
  }
  std::sort(exports.begin(), exports.end());
  for (const fs::path& file : exports) {
    std::string text;
    std::string why;
    if (!ReadDiskFile(file, text)) {
      error = file.u8string() + ": cannot be read";
      return false;
    }
    if (!Registry().LoadRegedit4(AsRegedit4(text), &why)) {
      error = file.u8string() + ": " + why;
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
    error = "the registry export in " + folder.u8string() +
            " names no installation folder: HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar needs "
            "\"TELVARPATH\" (in the subkey that its \"Version\" names, when it has one)";
    return false;
  }
  SetHostExecutable(settings.hostExecutable.value_or(WideToUtf8(installFolder) + "bin\\host.exe"));

  // The paths are composed as the plug-in composes them, so what is checked
  // here is what it will open. One longer than a path may be is no path at
  // all: the plug-in opens nothing there, and goes on.
  auto tooLong = [&](const std::u16string& name, const std::string& consequence) {
    return "the installation folder " + WideToUtf8(installFolder) + ", " +
           std::to_string(installFolder.size()) + " characters with its closing backslash, makes " +
           "ci\\" + WideToUtf8(name) + " a path of " +
           std::to_string(installFolder.size() + 4 + name.size()) + " characters, more than the " +
           std::to_string(PathParts::kMaxPath) + " a path may have: " + consequence;
  };
  const std::u16string plugin = ComposeCiFilePath(*this, kPluginFileName);
  const std::optional<fs::path> pluginOnDisk = MapPath(plugin);
  if (plugin.empty()) {
    warnings.push_back(tooLong(kPluginFileName,
                               "the plug-in loads no string table, and every event has the "
                               "source and type \"*\""));
  } else if (!pluginOnDisk || !IsRegularFile(*pluginOnDisk)) {
    error = "no plug-in at " + WideToUtf8(plugin) + " (" +
            (pluginOnDisk ? pluginOnDisk->string() : std::string("outside the folder")) + "): " +
            (folder == SampleInstallation() ? SampleBuildHint() : "copy qelevent.dll there");
    return false;
  }

  // A substitute properties file is opened whenever the plug-in opens its own.
  const std::u16string properties = ComposeCiFilePath(*this, kPropertiesFileName);
  const std::optional<fs::path> propertiesOnDisk = MapPath(properties);
  const std::string mapsNothing =
      "InitMap maps nothing, and every class is posted under its own name";
  if (settings.properties && !IsRegularFile(*settings.properties)) {
    error = "properties file " + settings.properties->string() + " does not exist";
    return false;
  }
  if (properties.empty()) {
    warnings.push_back(tooLong(kPropertiesFileName, mapsNothing));
  } else if (settings.properties) {
    SubstituteFile(properties, *settings.properties);
  } else if (!propertiesOnDisk || !IsRegularFile(*propertiesOnDisk)) {
    warnings.push_back("no properties file at " + WideToUtf8(properties) + ": " + mapsNothing);
  }
  ClearCallLog();
  return true;
}

}  // namespace qel::tool
