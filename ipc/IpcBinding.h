// The run-time binding to the maker's IPC library (VOVURU32.DLL): loaded and
// bound once, on first use.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace qel {

// Stores the use-input-desktop flag and binds the library unless it is bound
// already. 1 when bound, 0 when this attempt failed (nothing is kept then).
int32_t StartIpcBinding(Platform& platform, int32_t useInputDesktop);

}  // namespace qel
