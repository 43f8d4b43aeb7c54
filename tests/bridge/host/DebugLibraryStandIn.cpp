// A stand-in for a debug C++ runtime DLL (msvcp90d.dll), which Wine does not
// have: a host built against one imports it, and the plug-in must refuse
// that host's strings. Its one export is what the host imports.
extern "C" __declspec(dllexport) void qel_anchor() {}
