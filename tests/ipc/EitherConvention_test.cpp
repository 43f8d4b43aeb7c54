// The IPC library's one-argument entry points may remove their argument
// themselves (__stdcall) or leave it to the caller (__cdecl), and on 32-bit
// Windows the calls go through QelCallRestoringStack. Elsewhere there is one
// convention, and nothing to test here.
#if defined(_WIN32) && defined(__i386__)

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "IpcTestMessages.h"
#include "ipc/Dispatcher.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"

namespace qel {
namespace {

using ::testing::ElementsAre;

// The stand-in's entries as a library built __cdecl would export them.
void* __attribute__((cdecl)) CallerPopsAllocateMessage(uint32_t size) {
  return StandInAllocateMessage(size);
}
int32_t __attribute__((cdecl)) CallerPopsEnqueueMessage(void* message) {
  return StandInEnqueueMessage(message);
}
int32_t __attribute__((cdecl)) CallerPopsUseInputDesktop(int32_t flag) {
  return StandInQelUseInputDesktop(flag);
}

class Application : public IpcApplication {
 public:
  using IpcApplication::IpcApplication;
  int32_t HandleCommand(Command* command) override {
    command->AddReplyParamCopy("r", 1);
    return 1;
  }
  void HandleMessage(void*, uint32_t) override {}
  void OnTick() override {}
};

void* Received(const test::TestMessage& message) {
  const std::vector<uint8_t> bytes = message.Bytes();
  void* received = StandInAllocateByNumber(static_cast<uint32_t>(bytes.size()));
  std::memcpy(received, bytes.data(), bytes.size());
  return received;
}

// Binding, echo replies and request replies, over many calls, against a
// library of each convention: every call is answered, and a stack left a few
// bytes off per call would long have broken the caller.
TEST(EitherConvention, TheLibraryIsUsableWhicheverConventionItWasBuiltWith) {
  for (bool callerPops : {false, true}) {
    SCOPED_TRACE(callerPops ? "__cdecl" : "__stdcall");
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
    HostedPlatform platform;
    HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
    if (callerPops) {
      exports["AllocateMessage"] = reinterpret_cast<void*>(&CallerPopsAllocateMessage);
      exports["EnqueueMessage"] = reinterpret_cast<void*>(&CallerPopsEnqueueMessage);
      exports["QelUseInputDesktop"] = reinterpret_cast<void*>(&CallerPopsUseInputDesktop);
    }
    standin::InstallIpcLibrary(platform, exports);
    ASSERT_EQ(StartIpcBinding(platform, 1), 1);
    EXPECT_THAT(standin::CurrentIpcLibraryState().useInputDesktopFlags, ElementsAre(1));

    Application application(platform);
    application.name = "server";
    application.synchronous = 1;
    constexpr int kCalls = 1000;
    for (int i = 0; i < kCalls; ++i) {
      test::TestMessage message;
      message.flags = i % 2 == 0 ? 4 : 0;  // an echo, then a request
      message.sender = "client";
      message.recipient = "server";
      message.sequence = static_cast<uint32_t>(i);
      EXPECT_EQ(OnIpcMessage(&application, Received(message), 0), 0);
    }
    const std::vector<std::vector<uint8_t>> replies = standin::DrainEnqueuedMessages();
    ASSERT_EQ(replies.size(), static_cast<size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_EQ(test::GetLe32(replies[i], 28), static_cast<uint32_t>(i));
      EXPECT_EQ(replies[i][6], i % 2 == 0 ? 5 : 1);
    }
    EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
  }
  ResetIpcBindingForTesting();
  standin::ResetIpcLibrary();
}

uint32_t __attribute__((stdcall, noinline)) CalleePops(uint32_t value) { return value * 3 + 1; }
uint32_t __attribute__((cdecl, noinline)) CallerPops(uint32_t value) { return value * 5 + 2; }

// One call of the thunk as its own callers make it, in assembly so that no
// compiler adjustment hides a difference: the stack pointer's change across
// the call, 0 when the thunk put it back.
int32_t StackChangeAcrossThunk(const void* entry, uint32_t argument, uint32_t* result) {
  int32_t change = 0;
  uint32_t value = 0;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %[argument]\n\t"
      "pushl %[entry]\n\t"
      "call _QelCallRestoringStack\n\t"
      "addl $8, %%esp\n\t"
      "subl %%esp, %%esi\n\t"
      : "=&S"(change), "=&a"(value)
      : [entry] "r"(entry), [argument] "r"(argument)
      : "ecx", "edx", "memory", "cc");
  *result = value;
  return change;
}

TEST(EitherConvention, TheThunkPutsTheStackPointerBackForEitherConvention) {
  const struct {
    const char* what;
    const void* entry;
    uint32_t expected;
  } cases[] = {
      {"__stdcall", reinterpret_cast<const void*>(&CalleePops), 7 * 3 + 1},
      {"__cdecl", reinterpret_cast<const void*>(&CallerPops), 7 * 5 + 2},
  };
  for (const auto& c : cases) {
    uint32_t result = 0;
    EXPECT_EQ(StackChangeAcrossThunk(c.entry, 7, &result), 0) << c.what;
    EXPECT_EQ(result, c.expected) << c.what;
  }
}

struct Thrown {
  uint32_t value;
};

uint32_t __attribute__((stdcall, noinline)) CalleePopsThrows(uint32_t value) {
  throw Thrown{value * 3};
}
uint32_t __attribute__((cdecl, noinline)) CallerPopsThrows(uint32_t value) {
  throw Thrown{value * 5};
}

// An exception thrown by the entry (given as the library's exports give it),
// caught around CallEitherConvention: the value it carried, or 0 when nothing
// was caught, and the stack pointer's change from before the try to after the
// handler, 0 when the unwinder found this frame as the thunk's caller left it.
__attribute__((noinline)) uint32_t CatchThroughThunk(void* entry, uint32_t argument,
                                                     int32_t* stackChange) {
  uint32_t before = 0;
  uint32_t after = 0;
  uint32_t caught = 0;
  asm volatile("movl %%esp, %0" : "=r"(before));
  try {
    CallEitherConvention(reinterpret_cast<uint32_t(QEL_STDCALL*)(uint32_t)>(entry), argument);
  } catch (const Thrown& thrown) {
    caught = thrown.value;
  }
  asm volatile("movl %%esp, %0" : "=r"(after));
  *stackChange = static_cast<int32_t>(before - after);
  return caught;
}

TEST(EitherConvention, AnExceptionFromTheEntryReachesTheCallersHandler) {
  const struct {
    const char* what;
    void* entry;
    uint32_t expected;
  } cases[] = {
      {"__stdcall", reinterpret_cast<void*>(&CalleePopsThrows), 7 * 3},
      {"__cdecl", reinterpret_cast<void*>(&CallerPopsThrows), 7 * 5},
  };
  for (const auto& c : cases) {
    int32_t stackChange = -1;
    EXPECT_EQ(CatchThroughThunk(c.entry, 7, &stackChange), c.expected) << c.what;
    EXPECT_EQ(stackChange, 0) << c.what;
  }
}

}  // namespace
}  // namespace qel

#endif
