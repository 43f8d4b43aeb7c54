// The texts of a version resource (VS_VERSION_INFO): what a module's file
// properties show, such as "FileDescription" and "FileVersion".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qel {

using VersionStrings = std::vector<std::pair<std::u16string, std::u16string>>;

// The texts of the first string table of the version resource in the
// |size| bytes at |resource|, in file order: its first language's. Empty when
// it has none, or when any part of it cannot be read (the resource is then
// taken as having no texts, and nothing outside the bytes given is read).
VersionStrings ReadVersionStrings(const uint8_t* resource, uint32_t size);

}  // namespace qel
