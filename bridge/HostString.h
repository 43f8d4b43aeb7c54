// The host's wide string objects. The host passes ProcessEvent references to
// objects of its own C++ library, so the plug-in reads them the way that
// library lays them out; each build of the DLL names one library
// (QEL_HOST_STRING_LAYOUT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qel {

class ModuleState;

// The libraries a host may have been built with, named as the build option
// names them. All of them hold 16-bit units, with the length and the capacity
// counted in units.
enum class HostStringLayout {
  msvc6,   // Microsoft C++ 6.0: allocator word, buffer (none when empty), length, capacity
  msvc7,   // Microsoft C++ 2002-2008: allocator word, 8-unit inline buffer or pointer, length,
           // capacity; the inline buffer holds the text while the capacity is below 8
  msvc10,  // Microsoft C++ 2010 and later: inline buffer or pointer, length, capacity (2010
           // keeps its allocator after them, where nothing here reads)
  mingw,   // our own toolchain's library: pointer, length, then an 8-unit local buffer or the
           // capacity; the local buffer holds the text when the pointer points at it
};

// The names that the build option and each DLL's FileDescription give the
// layouts ("msvc6" ...); nothing for any other name.
std::string_view HostStringLayoutName(HostStringLayout layout);
std::optional<HostStringLayout> HostStringLayoutNamed(std::string_view name);

// Longer texts are taken for a corrupted object: no notification carries 32 MB.
constexpr size_t kMaxHostStringLength = size_t{16} * 1024 * 1024;

// The text of the host's object at |object|, laid out as |layout| lays it out
// on this build's pointer width. The view points into the host's memory (into
// the object itself for an inline buffer) and covers exactly the length.
// Nothing for an object no real string can be: no buffer but a length, a
// length above kMaxHostStringLength, or a capacity below the length.
std::optional<std::u16string_view> ReadHostString(const void* object, HostStringLayout layout);

// Runs |read| on |context| and returns true, or returns false when |read|
// touched memory it may not and did not finish. |read| throws nothing. The
// win32 exports pass a guard that catches the access violation; elsewhere a
// bad address cannot be survived and the read is simply called.
using MemoryGuard = bool (*)(void (*read)(void* context), void* context);
bool CallUnguarded(void (*read)(void* context), void* context);

// ProcessEvent on the host's four objects. The class name is read first: 14
// when it cannot be read, 2 when it is empty (the other objects are then not
// read at all, as the call ends there). Then 14 when another object cannot be
// read; otherwise |state| forwards the event. Every read of the host's memory
// runs under |guard|, and nothing else does; nothing is posted and the module
// state is left as it was unless all four objects were read and copied.
int32_t ProcessHostEvent(ModuleState& state, HostStringLayout layout, MemoryGuard guard,
                         int32_t eventCode, const void* className, const void* eventText,
                         const void* categoryAttribute, const void* target) noexcept;

}  // namespace qel
