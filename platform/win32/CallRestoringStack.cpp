// QelCallRestoringStack, declared in platform/Platform.h. The maker's IPC
// library does not fix the calling convention of its one-argument entry
// points: an entry built __stdcall removes its argument on return, one built
// __cdecl leaves it for the caller. Calling either through a pointer of the
// other convention would leave the stack pointer four bytes off. This thunk
// keeps its own stack pointer in EBP, which both conventions preserve, and
// takes it back from there after the call, so the difference never shows.
// The stack is aligned to 16 bytes at the call, as the compiler's own calls
// are, in case the entry relies on it.
//
// The call frame information says where the return address and the caller's
// EBP are at every instruction, so that a C++ exception thrown by the entry
// unwinds through the thunk to its caller's handler; without it the unwinder
// finds no frame for the thunk and the exception ends the program.
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
	.cfi_startproc
	pushl	%ebp
	.cfi_def_cfa_offset 8
	.cfi_offset %ebp, -8
	movl	%esp, %ebp
	.cfi_def_cfa_register %ebp
	andl	$-16, %esp
	subl	$12, %esp
	pushl	12(%ebp)
	call	*8(%ebp)
	movl	%ebp, %esp
	popl	%ebp
	.cfi_restore %ebp
	.cfi_def_cfa %esp, 4
	ret
	.cfi_endproc
)");
