#include "tools/LayoutCommand.h"

#include <fstream>
#include <iterator>
#include <ostream>
#include <vector>

#include "bridge/CallerLayout.h"
#include "config/InstallPaths.h"
#include "tools/PropertiesCheck.h"

namespace qel::tool {

int RunLayout(const LayoutSettings& settings, std::ostream& out, std::ostream& err) {
  const std::string name = settings.module.u8string();
  std::ifstream file(settings.module, std::ios::binary);
  if (!file) {
    err << "qelevent-tool layout: " << name << " does not exist or cannot be read\n";
    return kCouldNotRun;
  }
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  FileImageReader image(bytes);
  std::vector<std::string> imports;
  if (!ReadImportedNames(image, &imports)) {
    err << "qelevent-tool layout: " << name
        << " is no Windows executable or DLL whose import directory can be read (the plug-in, "
           "called from it, would read the registry value or the built-in layout)\n";
    return kCouldNotRun;
  }
  out << "module: " << name << "\nimports:";
  for (const std::string& dll : imports) out << " " << dll;
  out << (imports.empty() ? " nothing\n" : "\n");

  std::optional<std::string> value;
  if (settings.registry != nullptr) {
    value = ReadProductKeyText(*settings.registry, kHostStringLayoutValue);
  }
  const ImportVerdict verdict = LayoutOfImports(imports);
  const LayoutChoice choice = ChooseLayout(verdict, false, value);
  const std::string fileName = settings.module.filename().u8string();
  out << "the plug-in's choice: " << LayoutChoiceText(fileName, choice) << "\n";

  const std::string valueName = std::string("registry value ") + kHostStringLayoutValue;
  if (settings.registry == nullptr) {
    out << valueName
        << ": not at hand here (on the server, or with --install, it is read); where it names a "
           "layout (msvc6, msvc7, msvc10, mingw) it decides over the imports\n";
  } else if (!value) {
    out << valueName << ": not set under the product key\n";
  } else if (choice.invalidValue) {
    out << valueName << ": \"" << *value
        << "\" names no layout (msvc6, msvc7, msvc10, mingw): the plug-in reports and ignores "
           "it\n";
  } else {
    out << valueName << ": \"" << *value << "\" decides\n";
  }
  if (verdict.kind == ImportVerdict::Kind::kNone) {
    out << "no import names the compiler: the host links its C++ library statically, or passes "
           "strings made elsewhere. The registry value decides (without it, the built-in "
           "msvc6). Which compiler built it cannot be told here: the tool reads no Rich "
           "header, for want of a verified table of its compiler ids\n";
  }
  if (choice.source == LayoutChoice::Source::kImports ||
      choice.source == LayoutChoice::Source::kRegistry) {
    return choice.invalidValue ? kFindings : kAllWell;
  }
  return kFindings;
}

}  // namespace qel::tool
