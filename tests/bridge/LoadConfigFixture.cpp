// A DLL that carries the access-violation guard and a load-config directory
// with a safe-handler table of one entry: the guard's handler when
// QEL_LISTS_GUARD_HANDLER is 1, else another function. The binary check must
// refuse the second and not the first. The linker makes no load-config
// directory itself: set_load_config.py points the header at the .qelcfg
// section after the link.
#include <cstdint>

#include "platform/win32/AccessViolationGuard.h"

extern "C" const uint32_t qel_safe_handlers[];

#if QEL_LISTS_GUARD_HANDLER
asm(".section .rdata,\"dr\"\n_qel_safe_handlers:\n\t.rva _QelAccessViolationHandler\n\t.text\n");
#else
asm(".section .rdata,\"dr\"\n_qel_safe_handlers:\n\t.rva _QelNotTheGuard\n\t.text\n");
#endif

extern "C" void QelNotTheGuard() {}

// The first 0x48 bytes of IMAGE_LOAD_CONFIG_DIRECTORY32: its size, fields
// that nothing here uses, then SEHandlerTable and SEHandlerCount.
struct LoadConfig {
  uint32_t size;
  uint32_t unused[15];
  const uint32_t* safeHandlers;
  uint32_t safeHandlerCount;
};
static_assert(sizeof(LoadConfig) == 0x48, "SEHandlerCount ends at 0x48");

__attribute__((section(".qelcfg"), used)) extern const LoadConfig qel_load_config = {
    sizeof(LoadConfig), {}, qel_safe_handlers, 1};

// Keeps the guard, and with it its handler's symbol, in the DLL.
extern "C" __declspec(dllexport) bool QelGuardedCall(void (*read)(void*), void* context) {
  return qel::CallCatchingAccessViolation(read, context, context, 1);
}
