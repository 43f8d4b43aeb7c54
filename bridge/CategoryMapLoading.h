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
// ever added, never replaced. Nothing is reported and nothing is thrown: a
// missing file or string leaves the map as it is, or that one entry out.
void LoadCategoryMap(Platform& platform, const std::u16string& resourceModulePath,
                     CategoryMap& map);

}  // namespace qel
