// The maker's two libraries as the plug-in calls them: imported at load time
// (see resources/*.def), so only a program that links this file depends on
// them.
#include <windows.h>

#include "platform/win32/Win32Platform.h"

extern "C" {
__declspec(dllimport) int __stdcall VNXEventW(const wchar_t* source, const wchar_t* const* typePath,
                                              const wchar_t* text, const char* language, int arg5,
                                              int eventCode, qel::EventAttribute* const* attributes,
                                              int arg8, int arg9, const char* destination,
                                              int arg11);
// Exports 5 and 6 of the IPC library. Their convention is not fixed: declared
// __stdcall (as the import library names them), called through
// CallEitherConvention.
__declspec(dllimport) void* __stdcall VovuruAllocateMessage(uint32_t size);
__declspec(dllimport) int32_t __stdcall VovuruReleaseMessage(void* message);
}

namespace qel {
namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

int32_t Win32Platform::VNXEventW(const VnxEventArgs& a) {
  return ::VNXEventW(Wide(a.source), reinterpret_cast<const wchar_t* const*>(a.typePath),
                     Wide(a.text), a.language, a.arg5, a.eventCode, a.attributes, a.arg8, a.arg9,
                     a.destination, a.arg11);
}

void* Win32Platform::IpcAllocateMessage(uint32_t size) {
  return CallEitherConvention(&::VovuruAllocateMessage, size);
}

int32_t Win32Platform::IpcReleaseMessage(void* message) {
  return CallEitherConvention(&::VovuruReleaseMessage, message);
}

}  // namespace qel
