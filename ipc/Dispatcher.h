// The message dispatcher of an IPC application: the one entry through which
// incoming messages and timer ticks reach the application object.
#pragma once

#include <cstdint>

#include "ipc/IpcLibrary.h"

namespace qel {

class IpcApplication;

// |message| null is a timer tick and |value| the time elapsed since the
// previous one; with a message, |value| is only passed on. Returns 0.
int32_t QEL_STDCALL OnIpcMessage(IpcApplication* application, void* message, uint32_t value);

}  // namespace qel
