// The diff command: what an edit of a properties file changes in the category
// map, class by class, and which inserted or removed marked lines shift the
// categories of the classes below them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/PropertiesCheck.h"

namespace qel::tool {

struct DiffSide {
  int line = 0;
  uint32_t id = 0;
  std::string category;
};

struct DiffClass {
  std::string className;
  DiffSide side;  // in the new file when added, in the old one when removed
  // A removed class whose line is still there but marks nothing: where and
  // why, e.g. "on line 3 its marker is written \"Telvar_Servics.\"".
  std::string unmarked{};
};

struct ChangedClass {
  std::string className;
  DiffSide before;
  DiffSide after;
};

// Marked lines that one file has and the other lacks between two lines both
// share, moving the ids of the marked lines below them by |move|.
struct Shift {
  std::string cause;  // e.g. "line 12 (CIM_Fan) inserted"
  int lines = 0;      // marked lines in |cause|
  int classes = 0;    // changed classes below it, up to the next shift
  int lost = 0;       // mapped classes below it pushed past the string table
  int move = 0;       // categories on (negative: back)
};

// "line 12 (CIM_Fan) inserted: 7 classes below it move to the next category"
std::string ShiftText(const Shift& shift);

struct DiffReport {
  std::vector<DiffClass> added;
  std::vector<DiffClass> removed;
  std::vector<ChangedClass> changed;
  // Classes that a marked line of one file names and no marked line of the
  // other, and that map nothing there (past the last category, say); their
  // category is empty when the string table has none for them.
  std::vector<DiffClass> addedMappingNothing;
  std::vector<DiffClass> removedMappingNothing;
  std::vector<Shift> shifts;
  bool Empty() const {
    return added.empty() && removed.empty() && changed.empty() && addedMappingNothing.empty() &&
           removedMappingNothing.empty();
  }
};

// The classes each report maps, compared.
DiffReport DiffMappings(const CheckReport& before, const CheckReport& after);

struct DiffSettings {
  std::filesystem::path before;
  std::filesystem::path after;
  // By default the qelevent.dll beside the new file, else beside the old
  // one, else the sample installation's.
  std::optional<std::filesystem::path> module;
  bool json = false;
  // Set on the server: the defaults are the registered installation's.
  Platform* server = nullptr;
};

// Prints the differences on |out|, as text or as one JSON document. Returns
// kAllWell when no class is added, removed or moved, kFindings when one is,
// kMapsNothing when the plug-in would map nothing from the new file, and
// kCouldNotRun when a file or the module cannot be read (one line on |err|).
int RunDiff(const DiffSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace qel::tool
