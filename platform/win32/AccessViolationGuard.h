// A read of memory that belongs to someone else (the host's objects), run so
// that an access violation in it returns to us instead of ending the process.
#pragma once

#include <cstddef>

namespace qel {

// Runs |read| on |context|, which reads [begin, begin + size) of someone
// else's memory, inside a structured exception frame of its own and returns
// true; returns false when |read| faulted reading a page of that memory (a
// continuable access violation whose first parameter says read, on an
// address in a page that holds some of [begin, begin + size)), which ends it
// where it was: nothing it would have done after that point is done, and no
// destructor of its runs. Every other exception, writes and reads of other
// memory among them, passes on to the handlers further up as if there were
// no guard. |read| must throw no C++ exception and must not leave the frame
// by longjmp. A MemoryGuard of bridge/HostString.h.
bool CallCatchingAccessViolation(void (*read)(void* context), void* context, const void* begin,
                                 size_t size) noexcept;

}  // namespace qel
