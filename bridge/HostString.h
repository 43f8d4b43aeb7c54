// The host's wide string objects. The host passes ProcessEvent references to
// objects of its own C++ library, so the plug-in reads them the way that
// library lays them out; which library that is, is found per calling module
// (bridge/CallerLayout.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qel {

class ModuleState;

// The libraries a host may have been built with, named as the registry value
// HostStringLayout names them. All of them hold 16-bit units, with the length and the capacity
// counted in units.
enum class HostStringLayout {
  msvc6,   // Microsoft C++ 6.0: allocator word, buffer (none when empty), length, capacity
  msvc7,   // Microsoft C++ 2002-2008: allocator word, 8-unit inline buffer or pointer, length,
           // capacity; the inline buffer holds the text exactly when the capacity is 7
  msvc10,  // Microsoft C++ 2010 and later: inline buffer or pointer, length, capacity (2010
           // keeps its allocator after them, where nothing here reads)
  mingw,   // our own toolchain's library: pointer, length, then an 8-unit local buffer or the
           // capacity; the local buffer holds the text when the pointer points at it
};

// The names that the registry value, the event log and the tool give the
// layouts ("msvc6" ...); nothing for any other name.
std::string_view HostStringLayoutName(HostStringLayout layout);
std::optional<HostStringLayout> HostStringLayoutNamed(std::string_view name);

// The page protections under which memory can be read: read-only,
// read-write, write-copy and their executable forms.
constexpr uint32_t kReadableProtections = 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80;

// The longest text read: no notification carries more than a few hundred
// units, and a length above this is a wrong or corrupted object (two
// characters or a low address read as a length), not a text.
constexpr size_t kMaxHostStringLength = 65535;

// Why an object of the host was refused (ProcessEvent then answers 14).
enum class HostObjectRefusal {
  kObjectNotReadable,  // its own bytes are not committed, readable memory (or a guard page)
  kNotAString,         // fields that no string of its library has
  kTextNotReadable,    // its characters and their NUL are not committed, readable memory
  kNoTerminator,       // no NUL after the text, which every one of the libraries keeps
  kFaulted,            // a read faulted all the same: the memory went away after it was looked at
};
constexpr size_t kHostObjectRefusals = 5;

// How many objects were refused, by reason, since the counts were last
// taken: what the event log's rate-limited report of refused objects says.
// Several threads may count at once.
class HostObjectRefusals {
 public:
  void Count(HostObjectRefusal why) noexcept {
    counts_[static_cast<size_t>(why)].fetch_add(1, std::memory_order_relaxed);
  }
  // The count since the last Take, which starts again from 0.
  uint32_t Take(HostObjectRefusal why) noexcept {
    return counts_[static_cast<size_t>(why)].exchange(0, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> counts_[kHostObjectRefusals]{};
};

// The refusals counted since the last time, by reason, for the event log:
// "no NUL followed the text (2); ...". Takes the counts.
std::string TakeRefusalsText(HostObjectRefusals& refusals);

// Runs |read| on |context|, which reads [begin, begin + size) of memory that
// is not ours, and returns true; or returns false when that read touched
// memory that is gone and did not finish. |read| throws nothing. Any other
// fault, and any other exception, is not the guard's: it goes on as if there
// were no guard. The win32 exports pass a guard that survives the access
// violation; elsewhere a bad address cannot be survived and the read is
// simply called.
using MemoryGuard = bool (*)(void (*read)(void* context), void* context, const void* begin,
                             size_t size);
bool CallUnguarded(void (*read)(void* context), void* context, const void* begin, size_t size);

// The text of the host's object at |object|, laid out as |layout| lays it out
// on this build's pointer width, checked as its library makes it: before any
// read, |platform| (VirtualQuery) must show the object's fields committed,
// readable and not a guard page; the fields must be a string's (a length of
// at most kMaxHostStringLength and within the capacity; the object's own
// buffer exactly when the library keeps the text there; a heap buffer of at
// least 8 units where the library has an inline one); then the characters
// and the NUL after them must be readable memory, and the NUL must be there.
// Each read of the host's memory runs under |guard|. The view points into the
// host's memory and covers exactly the length. Nothing, with *why set, when
// the object is refused.
std::optional<std::u16string_view> ReadHostString(Platform& platform, MemoryGuard guard,
                                                  const void* object, HostStringLayout layout,
                                                  HostObjectRefusal* why);

// ProcessEvent on the host's four objects, each read by ReadHostString and
// each refusal counted in |refusals| when given. The class name is read
// first: 14 when it cannot be read, 2 when it is empty (the other objects are then not
// read at all, as the call ends there). Then 14 when another object cannot be
// read; otherwise |state| forwards the event. Every read of the host's memory
// runs under |guard|, and nothing else does; nothing is posted and the module
// state is left as it was unless all four objects were read and copied.
int32_t ProcessHostEvent(ModuleState& state, Platform& platform, HostStringLayout layout,
                         MemoryGuard guard, int32_t eventCode, const void* className,
                         const void* eventText, const void* categoryAttribute, const void* target,
                         HostObjectRefusals* refusals = nullptr) noexcept;

}  // namespace qel
