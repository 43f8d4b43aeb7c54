// CallCatchingAccessViolation. The compiler has no __try, so the frame is
// built by hand: a registration record on the stack, linked at the head of the
// thread's handler chain (FS:[0]) for the call and unlinked after it. Every
// 32-bit Windows dispatches through that chain; the handler resumes the guard
// past the call, with the stack and frame pointers the record keeps, and the
// guard unlinks its record before it returns, so the chain stays whole for
// the checks Windows makes of it (SEHOP). Only a read of the memory the guard
// was given is survived: any other fault is a fault of ours, or the host's,
// and the host's own handlers must see it as if the guard were not there. The
// test is by page, as protection is: a copy may load a whole aligned word or
// more, starting below the first byte asked for but in the same page. The DLL
// carries no safe-handler
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
// and with which frame pointer the guard goes on after an access violation,
// and the memory whose reads it survives.
struct GuardRecord {
  GuardRecord* next;
  void* handler;
  DWORD frame;
  DWORD resumeAt;
  uintptr_t begin;
  uintptr_t size;
};

// Every 32-bit x86 Windows protects memory in pages of 4 KB.
constexpr uintptr_t kPageMask = ~uintptr_t{0xFFF};

// An access violation that read an address in a page of the guarded memory.
bool IsReadOfGuardedMemory(const EXCEPTION_RECORD& exception, const GuardRecord& record) {
  if (exception.ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
      (exception.ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0 ||
      exception.NumberParameters < 2 || exception.ExceptionInformation[0] != 0 ||
      record.size == 0) {
    return false;
  }
  const uintptr_t page = exception.ExceptionInformation[1] & kPageMask;
  return page >= (record.begin & kPageMask) &&
         page <= ((record.begin + record.size - 1) & kPageMask);
}

}  // namespace

extern "C" {

int QelCallCatchingAccessViolation(void (*read)(void*), void* context, const void* begin,
                                   size_t size);

EXCEPTION_DISPOSITION __cdecl QelAccessViolationHandler(EXCEPTION_RECORD* exception,
                                                        void* establisher, CONTEXT* context,
                                                        void* /*dispatcher*/) {
  const auto* record = static_cast<const GuardRecord*>(establisher);
  // An unwind passing through needs nothing of us: the guard holds nothing.
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsReadOfGuardedMemory(*exception, *record)) {
    return ExceptionContinueSearch;
  }
  context->Esp = reinterpret_cast<uintptr_t>(record);
  context->Ebp = record->frame;
  context->Eip = record->resumeAt;
  return ExceptionContinueExecution;
}

}  // extern "C"

// The registers that the C convention preserves are saved above the record and
// restored from there on both ways out, as the interrupted read may have left
// anything in them. The record lies at EBP - 36.
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
	pushl	20(%ebp)
	pushl	16(%ebp)
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
	leal	-36(%ebp), %esp
	popl	%fs:0
	addl	$20, %esp
	popl	%edi
	popl	%esi
	popl	%ebx
	popl	%ebp
	.cfi_def_cfa %esp, 4
	ret
	.cfi_endproc
)");

namespace qel {

bool CallCatchingAccessViolation(void (*read)(void* context), void* context, const void* begin,
                                 size_t size) noexcept {
  return QelCallCatchingAccessViolation(read, context, begin, size) != 0;
}

}  // namespace qel
