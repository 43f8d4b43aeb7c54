// A read of memory that belongs to someone else (the host's objects), run so
// that an access violation in it returns to us instead of ending the process.
#pragma once

namespace qel {

// Runs |read| on |context| inside a structured exception frame of its own and
// returns true; returns false when |read| raised an access violation, which
// ends it where it was (nothing it would have done after that point is done,
// and no destructor of its runs). Every other exception passes on to the
// handlers further up. |read| must throw no C++ exception and must not leave
// the frame by longjmp. A MemoryGuard of bridge/HostString.h.
bool CallCatchingAccessViolation(void (*read)(void* context), void* context) noexcept;

}  // namespace qel
