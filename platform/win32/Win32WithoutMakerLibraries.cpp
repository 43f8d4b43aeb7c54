// The platform of qelevent-tool on the server. The tool never posts an event
// or a message itself: the plug-in it loads imports the maker's libraries on
// its own. Linking this file in place of Win32MakerLibraries.cpp keeps those
// libraries out of the tool's imports, so that it starts on a machine where
// the system cannot find them and can say so. Every call fails.
#include "platform/win32/Win32Platform.h"

namespace qel {

int32_t Win32Platform::VNXEventW(const VnxEventArgs&) { return -1; }

void* Win32Platform::IpcAllocateMessage(uint32_t) { return nullptr; }

int32_t Win32Platform::IpcReleaseMessage(void*) { return 0; }

}  // namespace qel
