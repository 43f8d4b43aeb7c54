// The plug-in's string table: event source, event type and category names.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace qel {

// String |id| of the module at |modulePath|, loaded and released within the
// call. Throws std::invalid_argument with "::LoadLibrary() failed." or
// "::LoadString() failed.".
std::u16string LoadResourceString(Platform& platform, const std::u16string& modulePath,
                                  uint32_t id);

}  // namespace qel
