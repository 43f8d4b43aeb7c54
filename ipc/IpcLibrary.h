// The maker's IPC library (VOVURU32.DLL) as the plug-in sees it.
//
// Two message operations are imported by number at load time (export 5
// allocates, export 6 releases; Platform::IpcAllocateMessage and
// Platform::IpcReleaseMessage). Eighteen more entry points are bound by name
// at run time into IpcEntryPoints, in the order given here.
//
// Every message, whichever operation made it, is released with export 6 once
// the plug-in is done with it. A message that EnqueueMessage takes over
// (non-zero result) belongs to the library from then on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace qel {

class IpcApplication;

// The message callback of an IPC application: the application object, a
// message or null for a timer tick, and the elapsed time on a tick (otherwise
// a value passed through). The dispatcher's OnIpcMessage has this type; the
// library calls it, so no exception may leave it.
using IpcMessageCallback = int32_t(QEL_STDCALL*)(IpcApplication* application, void* message,
                                                 uint32_t value) noexcept;

// Entry points whose use the plug-in relies on. The library fixes no calling
// convention for them: those of one argument are called only through
// CallEitherConvention (platform/Platform.h), and InitApplication has no
// argument, which both conventions pass and clean up alike.
using InitApplicationFn = int32_t(QEL_STDCALL*)();
using AllocateMessageFn = void*(QEL_STDCALL*)(uint32_t size);
using EnqueueMessageFn = int32_t(QEL_STDCALL*)(void* message);
using QelUseInputDesktopFn = int32_t(QEL_STDCALL*)(int32_t useInputDesktop);

// Entry points that the plug-in only looks up (and, for the required ones,
// checks for). Their arguments are the stand-in library's choice; nothing here
// calls them, so nothing depends on these shapes.
using TermApplicationFn = int32_t(QEL_STDCALL*)();
using FreeMessageFn = int32_t(QEL_STDCALL*)(void* message);
using SvcNodeExistsFn = int32_t(QEL_STDCALL*)(const char* node);
using CreateSvcNodeFn = int32_t(QEL_STDCALL*)(const char* node);
using DeleteSvcNodeFn = int32_t(QEL_STDCALL*)(const char* node);
using GetGlobalTimeoutFn = uint32_t(QEL_STDCALL*)();
using SetGlobalTimeoutFn = int32_t(QEL_STDCALL*)(uint32_t timeout);
using SetLocalSysNameFn = int32_t(QEL_STDCALL*)(const char* name);
using LocalSysNameFn = const char*(QEL_STDCALL*)();
using EnqueueMessage2Fn = int32_t(QEL_STDCALL*)(void* message, uint32_t options);
using Queue32LocalMACAddrFn = int32_t(QEL_STDCALL*)(uint8_t* address);
using QelLocalUniqueIDFn = uint32_t(QEL_STDCALL*)();
using Queue32SetFeatureFlagsFn = uint32_t(QEL_STDCALL*)(uint32_t flags);
using Queue32GetFeatureFlagsFn = uint32_t(QEL_STDCALL*)();

// One slot per named entry point; null when the library does not export it.
struct IpcEntryPoints {
  InitApplicationFn initApplication = nullptr;
  TermApplicationFn termApplication = nullptr;
  AllocateMessageFn allocateMessage = nullptr;
  FreeMessageFn freeMessage = nullptr;
  EnqueueMessageFn enqueueMessage = nullptr;
  SvcNodeExistsFn svcNodeExists = nullptr;
  CreateSvcNodeFn createSvcNode = nullptr;
  DeleteSvcNodeFn deleteSvcNode = nullptr;
  GetGlobalTimeoutFn getGlobalTimeout = nullptr;
  SetGlobalTimeoutFn setGlobalTimeout = nullptr;
  SetLocalSysNameFn setLocalSysName = nullptr;
  LocalSysNameFn localSysName = nullptr;
  EnqueueMessage2Fn enqueueMessage2 = nullptr;
  Queue32LocalMACAddrFn queue32LocalMACAddr = nullptr;
  QelLocalUniqueIDFn qelLocalUniqueID = nullptr;
  QelUseInputDesktopFn qelUseInputDesktop = nullptr;
  Queue32SetFeatureFlagsFn queue32SetFeatureFlags = nullptr;
  Queue32GetFeatureFlagsFn queue32GetFeatureFlags = nullptr;
};

constexpr size_t kIpcEntryPointCount = 18;
// The first eight entry points of the table are the required ones.
constexpr size_t kIpcRequiredEntryPointCount = 8;

// Calls visit(name, required, slot) for every entry point in table order. The
// one place that ties each exported name to its slot. |Entries| is
// IpcEntryPoints, const or not.
template <typename Entries, typename Visit>
void ForEachIpcEntryPoint(Entries& entries, Visit&& visit) {
  visit("InitApplication", true, entries.initApplication);
  visit("TermApplication", true, entries.termApplication);
  visit("AllocateMessage", true, entries.allocateMessage);
  visit("FreeMessage", true, entries.freeMessage);
  visit("EnqueueMessage", true, entries.enqueueMessage);
  visit("SvcNodeExists", true, entries.svcNodeExists);
  visit("CreateSvcNode", true, entries.createSvcNode);
  visit("DeleteSvcNode", true, entries.deleteSvcNode);
  visit("GetGlobalTimeout", false, entries.getGlobalTimeout);
  visit("SetGlobalTimeout", false, entries.setGlobalTimeout);
  visit("SetLocalSysName", false, entries.setLocalSysName);
  visit("LocalSysName", false, entries.localSysName);
  visit("EnqueueMessage2", false, entries.enqueueMessage2);
  visit("Queue32LocalMACAddr", false, entries.queue32LocalMACAddr);
  visit("QelLocalUniqueID", false, entries.qelLocalUniqueID);
  visit("QelUseInputDesktop", false, entries.qelUseInputDesktop);
  visit("Queue32SetFeatureFlags", false, entries.queue32SetFeatureFlags);
  visit("Queue32GetFeatureFlags", false, entries.queue32GetFeatureFlags);
}

}  // namespace qel
