// A DLL that calls the plug-in on the test host's behalf, as a host's own
// library may: it imports another C++ runtime DLL (msvcp71.dll) than the
// program that loads it, and the plug-in must choose by this DLL, whose code
// makes the call.
#include <windows.h>

namespace {

using ProcessEventFunction = int(__stdcall*)(int, const void*, const void*, const void*,
                                             const void*);
ProcessEventFunction gTarget = nullptr;

}  // namespace

extern "C" __declspec(dllexport) void __stdcall QelSetProcessEvent(ProcessEventFunction target) {
  gTarget = target;
}

extern "C" __declspec(dllexport) int __stdcall QelProcessEventVia(int code, const void* className,
                                                                  const void* text,
                                                                  const void* category,
                                                                  const void* target) {
  const int result = gTarget(code, className, text, category, target);
  // Code after the call keeps it a call: a jump would return to the program.
  asm volatile("" ::: "memory");
  return result;
}
