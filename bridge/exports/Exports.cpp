// The plug-in's boundary with its host: the entry point and the two exports
// (named and numbered by resources/qelevent.def), over the one module state;
// and a third that only qelevent-tool calls.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "bridge/CallerLayout.h"
#include "bridge/EventForwarding.h"
#include "bridge/HostString.h"
#include "bridge/ModuleState.h"
#include "platform/win32/AccessViolationGuard.h"
#include "platform/win32/Win32Platform.h"

namespace {

// Built before the entry point sees the process attach and destroyed after it
// has seen the detach, as the library's own static object.
qel::ModuleState gModuleState(qel::Win32Platform::Instance());

// The layout of each calling module's strings, found at its first call; its
// choice is reported through the module state's event log.
qel::CallerLayouts gCallerLayouts(qel::Win32Platform::Instance(), &qel::CallCatchingAccessViolation,
                                  &gModuleState.Reporter());

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" bool InitMap() noexcept { return gModuleState.InitMap(); }

// The four arguments are references to the host's wide string objects, which
// are only ever read, through the layout of the library that the calling
// module imports. An object that cannot be read (one of another library, or
// freed) must not end the host: the reads are guarded, and such a call
// returns 14, which the module state then reports to the event log.
extern "C" int __stdcall ProcessEvent(int eventCode, const void* className, const void* eventText,
                                      const void* categoryAttribute, const void* target) noexcept {
  // Nothing when the caller's strings are refused (that was reported once).
  const std::optional<qel::HostStringLayout> layoutOfCaller =
      gCallerLayouts.LayoutFor(__builtin_return_address(0));
  if (!layoutOfCaller) return qel::kProcessEventNoDesktop;
  const int32_t result =
      qel::ProcessHostEvent(gModuleState, qel::Win32Platform::Instance(), *layoutOfCaller,
                            &qel::CallCatchingAccessViolation, eventCode, className, eventText,
                            categoryAttribute, target, &gModuleState.HostRefusals());
  try {
    const std::string_view layout = qel::HostStringLayoutName(*layoutOfCaller);
    gModuleState.AfterHostCall(result, std::u16string(layout.begin(), layout.end()));
  } catch (...) {
    // The host's answer stands, reported or not.
  }
  return result;
}

// qelevent-tool resend's entry (ordinal 3): one kept event's record posted
// again through this DLL's own posting, once and without waiting. Only plain
// data crosses: |record| points to |length| bytes of one record line (UTF-8,
// no terminator needed), and the server's answer goes to |answer|. Returns
// 0 once posted, 2 for no record (null pointers, a length past 16 MB, a line
// that is no whole record), 14 when the desktop could not be attached.
extern "C" int __stdcall ResendKeptEvent(const char* record, unsigned int length,
                                         int* answer) noexcept {
  constexpr unsigned int kMaxRecordBytes = 16u * 1024 * 1024;
  if (record == nullptr || answer == nullptr || length > kMaxRecordBytes) return 2;
  int32_t result = 0;
  const int32_t status = gModuleState.ResendKeptEvent(std::string_view(record, length), result);
  if (status == 0) *answer = result;
  return status;
}
