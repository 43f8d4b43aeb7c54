// CallCatchingAccessViolation. The compiler has no __try, so the frame is
// built by hand: a registration record on the stack, linked at the head of the
// thread's handler chain (FS:[0]) for the call and unlinked after it. Every
// 32-bit Windows dispatches through that chain; the handler resumes the guard
// past the call, with the stack and frame pointers the record keeps, and the
// guard unlinks its record before it returns, so the chain stays whole for
// the checks Windows makes of it (SEHOP). The DLL carries no safe-handler
// table, and its header leaves SEH allowed, so the handler is accepted where
// Windows checks handlers against the image.
#include "platform/win32/AccessViolationGuard.h"

#include <windows.h>

#include <cstdint>

#if !(defined(_WIN32) && defined(__i386__))
#error "the guard is 32-bit x86 Windows code"
#endif

namespace {

// The record as the guard pushes it: the two words Windows reads, then where
// and with which frame pointer the guard goes on after an access violation.
struct GuardRecord {
  GuardRecord* next;
  void* handler;
  DWORD frame;
  DWORD resumeAt;
};

}  // namespace

extern "C" {

int QelCallCatchingAccessViolation(void (*read)(void*), void* context);

EXCEPTION_DISPOSITION __cdecl QelAccessViolationHandler(EXCEPTION_RECORD* exception,
                                                        void* establisher, CONTEXT* context,
                                                        void* /*dispatcher*/) {
  // An unwind passing through needs nothing of us: the guard holds nothing.
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      exception->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return ExceptionContinueSearch;
  }
  const auto* record = static_cast<const GuardRecord*>(establisher);
  context->Esp = reinterpret_cast<uintptr_t>(record);
  context->Ebp = record->frame;
  context->Eip = record->resumeAt;
  return ExceptionContinueExecution;
}

}  // extern "C"

// The registers that the C convention preserves are saved above the record and
// restored from there on both ways out, as the interrupted read may have left
// anything in them. The record lies at EBP - 28.
asm(R"(
	.text
	.p2align 4
	.globl	_QelCallCatchingAccessViolation
	.def	_QelCallCatchingAccessViolation;	.scl	2;	.type	32;	.endef
_QelCallCatchingAccessViolation:
	.cfi_startproc
	pushl	%ebp
	.cfi_def_cfa_offset 8
	.cfi_offset %ebp, -8
	movl	%esp, %ebp
	.cfi_def_cfa_register %ebp
	pushl	%ebx
	.cfi_offset %ebx, -12
	pushl	%esi
	.cfi_offset %esi, -16
	pushl	%edi
	.cfi_offset %edi, -20
	pushl	$1f
	pushl	%ebp
	pushl	$_QelAccessViolationHandler
	pushl	%fs:0
	movl	%esp, %fs:0
	andl	$-16, %esp
	subl	$12, %esp
	pushl	12(%ebp)
	call	*8(%ebp)
	movl	$1, %eax
	jmp	2f
1:
	cld
	xorl	%eax, %eax
2:
	leal	-28(%ebp), %esp
	popl	%fs:0
	addl	$12, %esp
	popl	%edi
	popl	%esi
	popl	%ebx
	popl	%ebp
	.cfi_def_cfa %esp, 4
	ret
	.cfi_endproc
)");

namespace qel {

bool CallCatchingAccessViolation(void (*read)(void* context), void* context) noexcept {
  return QelCallCatchingAccessViolation(read, context) != 0;
}

}  // namespace qel
