// Makes a test program (or DLL) import a C++ runtime DLL as one built with
// that library does: the import library made from a .def file (see
// CMakeLists.txt) names the DLL's first export, by ordinal, as qel_anchor.
// It is never called; the reference alone puts the DLL into the import
// directory, which the plug-in reads to choose its caller's layout.
extern "C" void qel_anchor();
extern "C" __attribute__((used)) void (*const qel_keep_import)() = &qel_anchor;
