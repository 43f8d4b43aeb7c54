// The check command: what a properties file maps, read by the plug-in's own
// line rules, and what in it silently goes wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qel {
class Platform;
class PeResources;
}  // namespace qel

namespace qel::tool {

// The exit statuses of every command. "Maps nothing" stands apart from the
// findings: a script that deploys a file may accept warnings, but never a
// file from which the plug-in would post every event under its class name.
enum ExitStatus : int { kAllWell = 0, kFindings = 1, kCouldNotRun = 2, kMapsNothing = 3 };

// The category text of a string id, or std::nullopt when the table has none.
using StringTable = std::function<std::optional<std::string>(uint32_t id)>;

// One marked entry, in file order.
struct MarkedEntry {
  int line = 0;
  std::string className;  // UTF-8
  uint32_t id = 0;
  std::optional<std::string> category;
  bool mapped = false;  // its class name gets this category
};

struct CheckWarning {
  int line = 0;
  std::string text;
};

struct UnusedCategory {
  uint32_t id = 0;
  std::string category;
};

// A line that names a class the way a marked line does, yet marks nothing:
// most likely a slip.
struct UnmarkedClass {
  int line = 0;
  std::string className;  // UTF-8, what follows the marker as it is written
  std::string why;        // e.g. "its marker is written \"Telvar_Servics.\""
};

struct CheckReport {
  // Set when the file cannot be a properties file at all (UTF-16): nothing
  // else is reported then.
  std::optional<std::string> error;
  std::vector<MarkedEntry> marked;
  std::vector<CheckWarning> warnings;  // in line order; line 0 is the whole file's
  std::vector<UnusedCategory> unused;  // categories of the table that no line maps
  std::vector<UnmarkedClass> unmarked;
  int Mappings() const;
  // The plug-in maps nothing from the file (its category map stays empty).
  bool MapsNothing() const { return error || Mappings() == 0; }
};

// What |report| says of the whole file, not of one line (the error, or why it
// maps nothing), as "FILE: error: ..." or "FILE: warning: ..." lines on |err|.
void PrintFileFindings(const CheckReport& report, const std::string& fileName, std::ostream& err);

// Reads |file| (opened in binary mode) line by line as the plug-in does.
CheckReport CheckProperties(std::istream& file, const StringTable& strings);

// The properties file that the package ships.
const char* ShippedProperties();
// Adds to |report| a warning for each marked line that, compared with the
// shipped file, was inserted or removed and so shifts the categories of the
// classes below it; nothing for a file that is no edit of the shipped one
// (it shares fewer than half of its classes).
void WarnAboutShiftsFromTheShippedFile(CheckReport& report, const StringTable& strings);

// The string table of a module file (the plug-in's qelevent.dll). False with a
// one-line reason when the file is missing, not a module, or lacks the
// plug-in's string 1000.
bool LoadStringTable(const std::filesystem::path& module, StringTable& strings, std::string& error);

// The resources of a module file; null with a one-line reason when it is
// missing or not a module.
std::shared_ptr<const PeResources> ReadModule(const std::filesystem::path& module,
                                              std::string& error);

// The ci folder that files are looked for in by default: on the server
// (|server| is its platform) the registered installation's, elsewhere the
// sample installation's; std::nullopt with the reason.
std::optional<std::filesystem::path> DefaultCiFolder(Platform* server, std::string& error);

// Opens |properties| in binary mode; false with a one-line reason when it is
// missing or a folder.
bool OpenPropertiesFile(const std::filesystem::path& properties, std::ifstream& file,
                        std::string& error);

// The string table of |given|, or else of the qelevent.dll in the first of
// |folders| that holds one; |module| says which. False with a one-line reason,
// which names DefaultCiFolder(server) as the last place looked in.
bool FindStringTable(const std::optional<std::filesystem::path>& given,
                     const std::vector<std::filesystem::path>& folders, Platform* server,
                     std::filesystem::path& module, StringTable& strings, std::string& error);

struct CheckSettings {
  // By default the sample installation's.
  std::optional<std::filesystem::path> properties;
  // By default the qelevent.dll beside the properties file, or else the
  // sample installation's.
  std::optional<std::filesystem::path> module;
  // Set on the server: the defaults are the registered installation's.
  Platform* server = nullptr;
};

// Lists the marked entries on |out| and the warnings, as file:line: lines, on
// |err|. Returns kAllWell, kFindings (warnings), kCouldNotRun, or
// kMapsNothing (also for a missing installed file, but not for a missing file
// named on the command line: that is kCouldNotRun).
int RunCheck(const CheckSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace qel::tool
