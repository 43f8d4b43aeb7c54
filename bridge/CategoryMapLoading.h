// The work of InitMap: the category map filled from the properties file in the
// plug-in's ci folder and the category names of its string table.
#pragma once

#include <string>

#include "bridge/CategoryMap.h"
#include "platform/Platform.h"

namespace qel {

// The file's location is composed afresh, registry read included. Every
// entry whose value holds "Telvar_Services." after at least one character is
// marked; the n-th marked entry gives the class name after the marker the
// string 1001 + n of the module at |resourceModulePath|. Entries are only
// ever added, never replaced. Nothing is thrown: a missing file or string
// leaves the map as it is, or that one entry out, and the result says what
// went wrong, for the caller to report.
struct CategoryMapLoad {
  enum class File {
    read,        // the file was read
    missing,     // there is no file at the path (or no path at all)
    unreadable,  // a file is there, but it could not be opened for reading
  };
  File file = File::missing;
  std::u16string path;
  bool utf16 = false;          // the file starts as UTF-16 does (a BOM, or a NUL byte)
  size_t marked = 0;           // the file's marked entries
  bool stringMissing = false;  // a category name could not be loaded
};
CategoryMapLoad LoadCategoryMap(Platform& platform, const std::u16string& resourceModulePath,
                                CategoryMap& map);

}  // namespace qel
