// Registers the stand-in IPC library with a hosted platform. Header-only, so
// that the stand-in's own sources do not depend on the hosted platform that
// links them in.
#pragma once

#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/StandInIpcLibrary.h"

namespace qel::standin {

// Offers the stand-in under its file name (LoadLibraryA("VOVURU32.DLL") then
// finds it) and routes the platform's imports by number to it. |exports| lets
// a test offer a library that lacks some names.
inline void InstallIpcLibrary(HostedPlatform& platform,
                              HostedPlatform::ExportTable exports = IpcLibraryExports()) {
  platform.InstallCodeLibrary("VOVURU32.DLL", std::move(exports));
  platform.SetIpcImports([](uint32_t size) { return StandInAllocateByNumber(size); },
                         [](void* message) { return StandInReleaseByNumber(message); });
}

}  // namespace qel::standin
