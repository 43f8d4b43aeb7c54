// QelCallRestoringStack, declared in platform/Platform.h. The maker's IPC
// library does not fix the calling convention of its one-argument entry
// points: an entry built __stdcall removes its argument on return, one built
// __cdecl leaves it for the caller. Calling either through a pointer of the
// other convention would leave the stack pointer four bytes off. This thunk
// keeps its own stack pointer in EBP, which both conventions preserve, and
// takes it back from there after the call, so the difference never shows.
// The stack is aligned to 16 bytes at the call, as the compiler's own calls
// are, in case the entry relies on it.
#include "platform/Platform.h"

#if !(defined(_WIN32) && defined(__i386__))
#error "the thunk is 32-bit x86 Windows code"
#endif

asm(R"(
	.text
	.p2align 4
	.globl	_QelCallRestoringStack
	.def	_QelCallRestoringStack;	.scl	2;	.type	32;	.endef
_QelCallRestoringStack:
	pushl	%ebp
	movl	%esp, %ebp
	andl	$-16, %esp
	subl	$12, %esp
	pushl	12(%ebp)
	call	*8(%ebp)
	movl	%ebp, %esp
	popl	%ebp
	ret
)");
