// The plug-in's boundary with its host: the entry point and the two exports
// (named and numbered by resources/qelevent.def), over the one module state.
#include <windows.h>

#include <string>

#include "bridge/EventForwarding.h"
#include "bridge/ModuleState.h"
#include "platform/win32/Win32Platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the host's wide strings hold 16-bit units");

namespace {

// Built before the entry point sees the process attach and destroyed after it
// has seen the detach, as the library's own static object.
qel::ModuleState gModuleState(qel::Win32Platform::Instance());

// The host's objects are only read: their length and their characters.
std::u16string Copy(const std::wstring& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" bool InitMap() noexcept { return gModuleState.InitMap(); }

extern "C" int __stdcall ProcessEvent(int eventCode, const std::wstring& className,
                                      const std::wstring& eventText,
                                      const std::wstring& categoryAttribute,
                                      const std::wstring& target) noexcept {
  try {
    return gModuleState.ProcessEvent(eventCode, Copy(className), Copy(eventText),
                                     Copy(categoryAttribute), Copy(target));
  } catch (...) {
    return qel::kProcessEventNoDesktop;  // no memory for the copies: nothing was done
  }
}
