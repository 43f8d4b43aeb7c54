// The stand-in for the maker's IPC library. The same source serves twice: in
// the win32 build as VOVURU32.DLL (names and ordinals from vovuru32.def), and
// in the hosted platform as an in-process library (HostedStandInIpcLibrary.h).
//
// It honours the library's ownership rule: allocation gives a buffer of at
// least the asked size, or null; release frees; EnqueueMessage takes over a
// complete message (total size at least 32, header size 32, no larger than
// its buffer) into an in-process queue and refuses anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"

extern "C" {
// Exports 5 and 6, imported by number.
void* QEL_STDCALL StandInAllocateByNumber(uint32_t size);
int32_t QEL_STDCALL StandInReleaseByNumber(void* message);

// The eighteen named exports, in the plug-in's table order.
int32_t QEL_STDCALL StandInInitApplication();
int32_t QEL_STDCALL StandInTermApplication();
void* QEL_STDCALL StandInAllocateMessage(uint32_t size);
int32_t QEL_STDCALL StandInFreeMessage(void* message);
int32_t QEL_STDCALL StandInEnqueueMessage(void* message);
int32_t QEL_STDCALL StandInSvcNodeExists(const char* node);
int32_t QEL_STDCALL StandInCreateSvcNode(const char* node);
int32_t QEL_STDCALL StandInDeleteSvcNode(const char* node);
uint32_t QEL_STDCALL StandInGetGlobalTimeout();
int32_t QEL_STDCALL StandInSetGlobalTimeout(uint32_t timeout);
int32_t QEL_STDCALL StandInSetLocalSysName(const char* name);
const char* QEL_STDCALL StandInLocalSysName();
int32_t QEL_STDCALL StandInEnqueueMessage2(void* message, uint32_t options);
int32_t QEL_STDCALL StandInQueue32LocalMACAddr(uint8_t* address);
uint32_t QEL_STDCALL StandInQelLocalUniqueID();
int32_t QEL_STDCALL StandInQelUseInputDesktop(int32_t useInputDesktop);
uint32_t QEL_STDCALL StandInQueue32SetFeatureFlags(uint32_t flags);
uint32_t QEL_STDCALL StandInQueue32GetFeatureFlags();
}

namespace qel::standin {

// Every byte of a new message, until its writer sets it: not zero, so that a
// byte the writer forgets shows.
constexpr uint8_t kFreshMessageFill = 0xCD;

// Export name -> entry point, all eighteen.
std::map<std::string, void*> IpcLibraryExports();

// What tests look at.
struct IpcLibraryState {
  int initApplicationCalls = 0;
  std::vector<int32_t> useInputDesktopFlags;  // one entry per call
  size_t liveMessages = 0;                    // allocated, not released and not taken over
  int unknownReleases = 0;                    // releases of anything this library did not hand out
};
IpcLibraryState CurrentIpcLibraryState();

// The messages EnqueueMessage took over, oldest first, as their total-size
// bytes; the queue is empty afterwards and the buffers are freed.
std::vector<std::vector<uint8_t>> DrainEnqueuedMessages();

// A clean slate between tests: frees every message this library handed out
// (queued or not), forgets the service nodes and settings and zeroes the
// counters.
void ResetIpcLibrary();

}  // namespace qel::standin
