// The run-time binding to the maker's IPC library (VOVURU32.DLL): loaded and
// bound once, on first use.
#pragma once

#include <cstdint>

#include "ipc/IpcLibrary.h"
#include "platform/Platform.h"

namespace qel {

// Stores the use-input-desktop flag and binds the library unless it is bound
// already. 1 when bound, 0 when this attempt failed (nothing is kept then).
int32_t StartIpcBinding(Platform& platform, int32_t useInputDesktop);

// Binds the library unless it is bound already: loads it, looks up all
// eighteen entry points, checks the required ones, installs the dispatcher as
// the message callback, passes the stored use-input-desktop flag to the
// library and initialises it. 1 when bound, 0 when this attempt failed; a
// failed attempt unloads the library again so that the next one starts afresh.
// Two threads that bind at the same moment bind once.
int32_t BindIpcLibrary(Platform& platform);

// The binding as it stands. Reading it never waits: the table of a binding is
// published, complete, once InitApplication has returned, and never changes
// afterwards. So the dispatcher, which the library may call on any thread and
// at any time (from inside InitApplication too), sees either no binding or a
// whole one, never one in progress.
struct IpcBindingSnapshot {
  bool bound = false;
  int32_t useInputDesktop = 0;  // the flag last stored, bound or not
  // The platform that bound the library; its export 6 releases messages.
  Platform* platform = nullptr;
  IpcMessageCallback messageCallback = nullptr;
  IpcEntryPoints entries;  // all null while not bound
};
IpcBindingSnapshot CurrentIpcBinding();

// Forgets the binding if |platform| made it, leaving the library loaded as
// the plug-in always does: for a host of the plug-in's logic whose platform
// ends before the process (the replay tool), so that no binding names a
// platform that is gone. Nothing may be reading the binding at the time.
void ForgetIpcBindingOf(const Platform& platform);

// Tests only: forgets the binding without touching the platform that made it
// (which may be gone), so that the next start binds from the beginning.
// Nothing may be reading the binding at the time.
void ResetIpcBindingForTesting();

}  // namespace qel
