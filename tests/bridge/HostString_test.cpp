#include "bridge/HostString.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/HostStringObject.h"
#include "bridge/ModuleState.h"
#include "platform/hosted/HostedPlatform.h"

#if defined(_WIN32) && defined(__i386__)
#include <windows.h>

#include "platform/win32/AccessViolationGuard.h"
#endif

#if defined(_WIN32) && defined(__GLIBCXX__)
// The win32 build's own library is the mingw layout.
static_assert(sizeof(std::wstring) == 24, "the toolchain's wide string is 24 bytes");
#endif

namespace qel {
namespace {

using namespace std::string_view_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

struct LayoutCase {
  HostStringLayout layout;
  size_t size32;  // the host's object on 32-bit Windows
  size_t size64;  // the same library's object with 64-bit words
};

constexpr LayoutCase kLayouts[] = {
    {HostStringLayout::msvc6, 16, 32},
    {HostStringLayout::msvc7, 28, 40},
    {HostStringLayout::msvc10, 28, 40},  // 2010's: 2012's 24 and 32 bytes, then its allocator
    {HostStringLayout::mingw, 24, 32},
};

// 300 units, some beyond the Basic Multilingual Plane.
const std::u16string kLong = [] {
  std::u16string text;
  while (text.size() < 300) text += u"Fan \u00e9\U0001F300 2 ";
  return text;
}();

// ReadHostString on the hosted platform, which says that all memory but the
// first 64 KB and what a test marks is readable.
std::optional<std::u16string_view> Read(HostedPlatform& platform, const void* object,
                                        HostStringLayout layout, HostObjectRefusal* why) {
  return ReadHostString(platform, &CallUnguarded, object, layout, why);
}

TEST(HostString, ReadsEveryLayoutsTexts) {
  // Empty (msvc6 with no buffer, the others in their own buffer), in the
  // object's buffer up to 7 units, 8 units (one too many for that buffer)
  // and long; a NUL inside a text is one of its units.
  const std::u16string_view texts[] = {u""sv,        u"F"sv,        u"Fan\0 2"sv,
                                       u"Host_Fa"sv, u"Host_Fan"sv, kLong};
  HostedPlatform platform;
  HostObjectRefusal why{};
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(HostStringLayoutName(c.layout));
    EXPECT_EQ(HostStringObject(c.layout, u"").Size(), sizeof(void*) == 4 ? c.size32 : c.size64);
    for (std::u16string_view text : texts) {
      SCOPED_TRACE(text.size());
      HostStringObject object(c.layout, text);
      std::optional<std::u16string_view> read = Read(platform, object.Address(), c.layout, &why);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read, text);
    }
  }
}

TEST(HostString, RefusesObjectsNoStringCanBe) {
  // Exactly the longest length accepted, in a buffer of that many units.
  const std::u16string longest(kMaxHostStringLength, u'x');
  using L = HostStringLayout;
  using R = HostObjectRefusal;
  // Where a row marks memory for VirtualQuery: the object's fields, or, in a
  // copy of kLong that the object's buffer then points at, its characters or
  // only the NUL after them.
  enum Marked { kNothing, kObject, kText, kTerminator };
  struct Edit {
    const char* what;
    std::u16string_view text;
    std::optional<const char16_t*> buffer;
    std::optional<size_t> length;
    std::optional<size_t> capacity;
    std::optional<size_t> readLength;  // nothing: refused
    std::vector<L> layouts = {};       // none: every layout
    R why = R::kNotAString;
    Marked marked = kNothing;
    uint32_t state = kMemCommit;
    uint32_t protect = kPageReadWrite;
  };
  const auto* low = reinterpret_cast<const char16_t*>(uintptr_t{0x1000});
  const std::vector<L> heapBuffers = {L::msvc7, L::msvc10, L::mingw};
  const Edit edits[] = {
      {"no buffer but a length", kLong, nullptr, {}, {}, {}},
      {"no buffer and no length: 6.0's empty string", kLong, nullptr, 0, {}, 0, {L::msvc6}},
      {"no heap buffer and no length", kLong, nullptr, 0, {}, {}, heapBuffers},
      {"a length above the longest",
       kLong,
       {},
       kMaxHostStringLength + 1,
       kMaxHostStringLength + 1,
       {}},
      {"the longest length", kLong, longest.data(), kMaxHostStringLength, kMaxHostStringLength,
       kMaxHostStringLength},
      {"a capacity below the length", kLong, {}, {}, kLong.size() - 1, {}},
      // Beyond the 7 units of the object's own buffer (msvc6: its capacity of 31).
      {"a short string's length beyond its capacity", u"Fan", {}, 32, {}, {}},
      {"a heap buffer of 8 units", u"Host_Fan", {}, {}, 8, 8},
      {"a heap buffer of 7 units", u"Host_Fan", {}, 7, 7, {}, {L::mingw}},
      {"a capacity below the object's own 7 units", u"Fan", {}, {}, 6, {}, {L::msvc7, L::msvc10}},
      {"no NUL after the text", kLong, {}, kLong.size() - 1, {}, {}, {}, R::kNoTerminator},
      {"a buffer in the first 64 KB", kLong, low, {}, {}, {}, {}, R::kTextNotReadable},
      {"the object in a guard page",
       kLong,
       {},
       {},
       {},
       {},
       {},
       R::kObjectNotReadable,
       kObject,
       kMemCommit,
       kPageReadWrite | kPageGuard},
      {"the object freed",
       kLong,
       {},
       {},
       {},
       {},
       {},
       R::kObjectNotReadable,
       kObject,
       kMemFree,
       kPageNoAccess},
      {"the text reserved, not committed",
       kLong,
       {},
       {},
       {},
       {},
       {},
       R::kTextNotReadable,
       kText,
       kMemReserve,
       kPageNoAccess},
      {"the NUL after the text in a page of no access",
       kLong,
       {},
       {},
       {},
       {},
       {},
       R::kTextNotReadable,
       kTerminator,
       kMemCommit,
       kPageNoAccess},
      {"the text read-only",
       kLong,
       {},
       {},
       {},
       kLong.size(),
       {},
       {},
       kText,
       kMemCommit,
       kPageReadOnly},
  };
  const std::vector<L> everyLayout = {L::msvc6, L::msvc7, L::msvc10, L::mingw};
  for (const Edit& edit : edits) {
    for (HostStringLayout layout : edit.layouts.empty() ? everyLayout : edit.layouts) {
      SCOPED_TRACE(std::string(HostStringLayoutName(layout)) + ": " + edit.what);
      HostedPlatform platform;
      HostStringObject object(layout, edit.text);
      const std::u16string text(kLong);
      if (edit.marked == kText || edit.marked == kTerminator) object.SetBuffer(text.data());
      if (edit.buffer) object.SetBuffer(*edit.buffer);
      if (edit.length) object.SetLength(*edit.length);
      if (edit.capacity) object.SetCapacity(*edit.capacity);
      if (edit.marked == kObject) {
        platform.MarkMemory(object.Address(), object.Size(), edit.state, edit.protect);
      } else if (edit.marked != kNothing) {
        const size_t at = edit.marked == kText ? 0 : text.size();
        const size_t units = edit.marked == kText ? text.size() : 1;
        platform.MarkMemory(text.data() + at, units * sizeof(char16_t), edit.state, edit.protect);
      }
      HostObjectRefusal why{};
      std::optional<std::u16string_view> read = Read(platform, object.Address(), layout, &why);
      ASSERT_EQ(read.has_value(), edit.readLength.has_value());
      if (read) {
        EXPECT_EQ(read->size(), *edit.readLength);
      } else {
        EXPECT_EQ(why, edit.why);
      }
    }
  }
}

TEST(HostString, ProcessHostEventPostsOnlyWhatItCouldRead) {
  struct Call {
    const char* what;
    std::u16string_view className;
    bool brokenClassName;  // no buffer but a length (the class name has 8 units)
    bool brokenTarget;
    int32_t result;
  };
  const Call calls[] = {
      {"four readable objects", u"Host_Fan", false, false, 0},
      {"a class name that cannot be read", u"Host_Fan", true, false, 14},
      {"a target that cannot be read", u"Host_Fan", false, true, 14},
      {"an empty class name", u"", false, false, 2},
      // The call ends at the class name; the other objects are not looked at.
      {"an empty class name and a target that cannot be read", u"", false, true, 2},
  };
  for (const LayoutCase& c : kLayouts) {
    for (const Call& call : calls) {
      SCOPED_TRACE(std::string(HostStringLayoutName(c.layout)) + ": " + call.what);
      HostedPlatform platform;
      ModuleState state(platform);
      HostObjectRefusals refusals;
      HostStringObject className(c.layout, call.className);
      HostStringObject eventText(c.layout, kLong);
      HostStringObject categoryAttribute(c.layout, u"");
      HostStringObject target(c.layout, u"server-room-1");  // on the heap in every layout
      if (call.brokenClassName) className.SetBuffer(nullptr);
      if (call.brokenTarget) target.SetBuffer(nullptr);
      EXPECT_EQ(ProcessHostEvent(state, platform, c.layout, &CallUnguarded, 7, className.Address(),
                                 eventText.Address(), categoryAttribute.Address(), target.Address(),
                                 &refusals),
                call.result);
      EXPECT_EQ(refusals.Take(HostObjectRefusal::kNotAString), call.result == 14 ? 1u : 0u);
      if (call.result != 0) {
        EXPECT_THAT(platform.Events(), IsEmpty());
        continue;
      }
      ASSERT_EQ(platform.Events().size(), 1u);
      const PostedEvent& event = platform.Events()[0];
      EXPECT_EQ(event.eventCode, 7);
      EXPECT_EQ(event.text, kLong);
      EXPECT_THAT(
          event.attributes,
          ElementsAre(PostedEvent::Attribute{u"CATEGORY", 9, u""},
                      PostedEvent::Attribute{u"CLASSNAME", 9, std::u16string(call.className)},
                      PostedEvent::Attribute{u"TARGET", 9, u"server-room-1"}));
    }
  }
}

// Our own library's strings are the mingw layout: the win32 build's
// std::wstring, and on any build std::u16string, which has the same fields.
TEST(HostString, ReadsTheToolchainsOwnStrings) {
#if defined(_WIN32)
  using OwnString = std::wstring;
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "16-bit wide characters");
#else
  using OwnString = std::u16string;
#endif
  for (size_t length : {0, 1, 7, 8, 9, 300}) {
    for (bool reserved : {false, true}) {
      SCOPED_TRACE(std::to_string(length) + (reserved ? " after reserve" : ""));
      OwnString own;
      if (reserved) own.reserve(100);  // a short text in a heap buffer, or a long one grown
      for (size_t i = 0; i < length; ++i)
        own.push_back(static_cast<OwnString::value_type>('a' + i % 26));
      HostedPlatform platform;
      HostObjectRefusal why{};
      std::optional<std::u16string_view> read = Read(platform, &own, HostStringLayout::mingw, &why);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read,
                std::u16string_view(reinterpret_cast<const char16_t*>(own.data()), own.size()));
    }
  }
}

// A read that faults ends the call before the module state sees it, wherever
// the fault comes: any object's fields, its NUL, or its characters (two
// reads of each of the four objects, then four copies).
TEST(HostString, ProcessHostEventLeavesEverythingAsItWasWhenAReadFaults) {
  static int callsBeforeFault;
  MemoryGuard faultingGuard = [](void (*read)(void*), void* context, const void*, size_t) {
    if (callsBeforeFault-- == 0) return false;
    read(context);
    return true;
  };
  for (int reads = 0; reads < 12; ++reads) {
    SCOPED_TRACE(reads);
    HostedPlatform platform;
    ModuleState state(platform);
    HostObjectRefusals refusals;
    HostStringObject className(HostStringLayout::msvc6, u"Host_Fan");
    HostStringObject text(HostStringLayout::msvc6, kLong);
    platform.ClearCallLog();
    callsBeforeFault = reads;
    EXPECT_EQ(ProcessHostEvent(state, platform, HostStringLayout::msvc6, faultingGuard, 7,
                               className.Address(), text.Address(), text.Address(), text.Address(),
                               &refusals),
              14);
    EXPECT_EQ(refusals.Take(HostObjectRefusal::kFaulted), 1u);
    EXPECT_THAT(platform.Events(), IsEmpty());
    // Not even the module lock was taken.
    EXPECT_THAT(platform.CallLog(), Each(StartsWith("VirtualQuery(")));
  }
}

#if defined(_WIN32) && defined(__i386__)
void* HandlerChain() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

// The real guard under Windows, behind a VirtualQuery that says all memory is
// readable, as when the host frees it after the query: an object whose buffer
// is not mapped gives 14, any number of times, for every layout; the thread's
// handler chain is as it was, and C++ exceptions and later events still work.
TEST(HostString, AGuardedReadOfUnmappedMemoryGives14AndTheProcessGoesOn) {
  void* region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(region, nullptr);
  ASSERT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
  void* const chain = HandlerChain();
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(HostStringLayoutName(c.layout));
    HostedPlatform platform;
    ModuleState state(platform);
    HostObjectRefusals refusals;
    HostStringObject name(c.layout, u"Host_Fan");
    HostStringObject unmapped(c.layout, kLong);
    unmapped.SetBuffer(static_cast<const char16_t*>(region));
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(ProcessHostEvent(state, platform, c.layout, &CallCatchingAccessViolation, 7,
                                 name.Address(), unmapped.Address(), name.Address(), name.Address(),
                                 &refusals),
                14);
    }
    EXPECT_EQ(refusals.Take(HostObjectRefusal::kFaulted), 100u);
    EXPECT_EQ(HandlerChain(), chain);
    EXPECT_THROW(throw std::runtime_error("still unwinds"), std::runtime_error);
    EXPECT_EQ(ProcessHostEvent(state, platform, c.layout, &CallCatchingAccessViolation, 7,
                               name.Address(), name.Address(), name.Address(), name.Address()),
              0);
    EXPECT_EQ(platform.Events().size(), 1u);
  }
}

// A handler of the host's, linked above the guard: it records what reached
// it and makes the faulting page readable and writable, or lets a raised
// exception return, so that the read goes on.
struct HostHandlerSaw {
  DWORD code;
  ULONG_PTR accessKind;
};
HostHandlerSaw hostHandlerSaw;
void* faultPage;

extern "C" EXCEPTION_DISPOSITION __cdecl HostHandler(EXCEPTION_RECORD* exception, void*, CONTEXT*,
                                                     void*) {
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  hostHandlerSaw = {exception->ExceptionCode,
                    exception->NumberParameters > 0 ? exception->ExceptionInformation[0] : 0};
  DWORD old;
  VirtualProtect(faultPage, 4096, PAGE_READWRITE, &old);
  return ExceptionContinueExecution;
}

// Only a read of the memory the guard was given is survived; a write there,
// a read elsewhere and any other exception reach the host's own handler.
TEST(HostString, TheGuardSurvivesOnlyReadsOfTheMemoryItWasGiven) {
  enum Access { kRead, kWrite, kRaise };
  struct Case {
    const char* what;
    DWORD protect;
    Access access;
    bool guarded;  // the page is the memory the guard was given
    bool survived;
    HostHandlerSaw host;
  };
  constexpr DWORD kRaised = 0xE0514C01;
  const Case cases[] = {
      {"a read of the guarded memory", PAGE_NOACCESS, kRead, true, true, {}},
      {"a read of other memory",
       PAGE_NOACCESS,
       kRead,
       false,
       false,
       {EXCEPTION_ACCESS_VIOLATION, 0}},
      {"a write to the guarded memory",
       PAGE_READONLY,
       kWrite,
       true,
       false,
       {EXCEPTION_ACCESS_VIOLATION, 1}},
      {"another exception", PAGE_READWRITE, kRaise, true, false, {kRaised, 0}},
  };
  struct Record {
    void* next;
    void* handler;
  } record{HandlerChain(), reinterpret_cast<void*>(&HostHandler)};
  asm volatile("movl %0, %%fs:0" : : "r"(&record) : "memory");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    faultPage = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, c.protect);
    hostHandlerSaw = {};
    static Access access;
    access = c.access;
    auto touch = [](void* page) {
      if (access == kRead) static_cast<void>(*static_cast<volatile char*>(page));
      if (access == kWrite) *static_cast<volatile char*>(page) = 1;
      if (access == kRaise) RaiseException(kRaised, 0, 0, nullptr);
    };
    char other = 0;
    EXPECT_EQ(CallCatchingAccessViolation(touch, faultPage, c.guarded ? faultPage : &other, 1),
              !c.survived);
    EXPECT_EQ(hostHandlerSaw.code, c.host.code);
    EXPECT_EQ(hostHandlerSaw.accessKind, c.host.accessKind);
    VirtualFree(faultPage, 0, MEM_RELEASE);
  }
  asm volatile("movl %0, %%fs:0" : : "r"(record.next) : "memory");
}

// The registers that the caller keeps across a call are as the caller left
// them after a read that changed them and then faulted.
TEST(HostString, TheCallersRegistersSurviveAFaultingRead) {
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(page, nullptr);
  auto clobberAndFault = [](void* at) {
    asm volatile("movl $0, %%ebx\n\tmovl $0, %%esi\n\tmovl $0, %%edi\n\tmovl (%0), %%eax"
                 :
                 : "r"(at)
                 : "eax", "ebx", "esi", "edi", "memory");
  };
  void (*read)(void*) = clobberAndFault;
  void* at = page;
  bool (*guard)(void (*)(void*), void*, const void*, size_t) = &CallCatchingAccessViolation;
  auto result = reinterpret_cast<uintptr_t>(guard);
  uint32_t ebx, esi, edi;
  asm volatile(
      "movl $0x5EB15EB1, %%ebx\n\t"
      "movl $0x5E515E51, %%esi\n\t"
      "movl $0x5ED15ED1, %%edi\n\t"
      "pushl $1\n\t"
      "pushl %%edx\n\t"
      "pushl %%edx\n\t"
      "pushl %%ecx\n\t"
      "call *%%eax\n\t"
      "addl $16, %%esp\n\t"
      "movl %%ebx, %1\n\t"
      "movl %%esi, %2\n\t"
      "movl %%edi, %3"
      : "+a"(result), "=m"(ebx), "=m"(esi), "=m"(edi), "+c"(read), "+d"(at)
      :
      : "ebx", "esi", "edi", "memory", "cc");
  EXPECT_EQ(result & 0xFF, 0u);  // the fault was survived
  EXPECT_EQ(ebx, 0x5EB15EB1u);
  EXPECT_EQ(esi, 0x5E515E51u);
  EXPECT_EQ(edi, 0x5ED15ED1u);
  VirtualFree(page, 0, MEM_RELEASE);
}
#endif

}  // namespace
}  // namespace qel
