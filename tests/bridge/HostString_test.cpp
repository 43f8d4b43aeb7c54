#include "bridge/HostString.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

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
using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

TEST(HostString, ReadsEveryLayoutsTexts) {
  // Empty (msvc6 with no buffer, the others in their own buffer), in the
  // object's buffer up to 7 units, 8 units (one too many for that buffer)
  // and long; a NUL inside a text is one of its units.
  const std::u16string_view texts[] = {u""sv,        u"F"sv,        u"Fan\0 2"sv,
                                       u"Host_Fa"sv, u"Host_Fan"sv, kLong};
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(HostStringLayoutName(c.layout));
    EXPECT_EQ(HostStringObject(c.layout, u"").Size(), sizeof(void*) == 4 ? c.size32 : c.size64);
    for (std::u16string_view text : texts) {
      SCOPED_TRACE(text.size());
      HostStringObject object(c.layout, text);
      std::optional<std::u16string_view> read = ReadHostString(object.Address(), c.layout);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read, text);
    }
  }
}

TEST(HostString, RefusesObjectsNoStringCanBe) {
  // Exactly the longest length accepted, in a buffer of that many units.
  const std::u16string longest(kMaxHostStringLength, u'x');
  struct Edit {
    const char* what;
    std::u16string_view text;
    std::optional<const char16_t*> buffer;
    std::optional<size_t> length;
    std::optional<size_t> capacity;
    std::optional<size_t> readLength;  // nothing: refused
  };
  const Edit edits[] = {
      {"no buffer but a length", kLong, nullptr, {}, {}, {}},
      {"no buffer and no length", kLong, nullptr, 0, {}, 0},
      {"a length above the longest",
       kLong,
       {},
       kMaxHostStringLength + 1,
       kMaxHostStringLength + 1,
       {}},
      {"the longest length", kLong, longest.data(), kMaxHostStringLength, kMaxHostStringLength,
       kMaxHostStringLength},
      {"a capacity below the length", kLong, {}, {}, kLong.size() - 1, {}},
      // Beyond the 7 units of the object's own buffer (msvc6: its capacity of 3).
      {"a short string's length beyond its capacity", u"Fan", {}, 8, {}, {}},
  };
  for (const LayoutCase& c : kLayouts) {
    for (const Edit& edit : edits) {
      SCOPED_TRACE(std::string(HostStringLayoutName(c.layout)) + ": " + edit.what);
      HostStringObject object(c.layout, edit.text);
      if (edit.buffer) object.SetBuffer(*edit.buffer);
      if (edit.length) object.SetLength(*edit.length);
      if (edit.capacity) object.SetCapacity(*edit.capacity);
      std::optional<std::u16string_view> read = ReadHostString(object.Address(), c.layout);
      ASSERT_EQ(read.has_value(), edit.readLength.has_value());
      if (read) {
        EXPECT_EQ(read->size(), *edit.readLength);
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
      HostStringObject className(c.layout, call.className);
      HostStringObject eventText(c.layout, kLong);
      HostStringObject categoryAttribute(c.layout, u"");
      HostStringObject target(c.layout, u"server-room-1");  // on the heap in every layout
      if (call.brokenClassName) className.SetBuffer(nullptr);
      if (call.brokenTarget) target.SetBuffer(nullptr);
      EXPECT_EQ(
          ProcessHostEvent(state, c.layout, &CallUnguarded, 7, className.Address(),
                           eventText.Address(), categoryAttribute.Address(), target.Address()),
          call.result);
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
      std::optional<std::u16string_view> read = ReadHostString(&own, HostStringLayout::mingw);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read,
                std::u16string_view(reinterpret_cast<const char16_t*>(own.data()), own.size()));
    }
  }
}

// A read that faults ends the call before the module state sees it, wherever
// the fault comes: the class name, the other objects, or their characters.
TEST(HostString, ProcessHostEventLeavesEverythingAsItWasWhenAReadFaults) {
  static int callsBeforeFault;
  MemoryGuard faultingGuard = [](void (*read)(void*), void* context) {
    if (callsBeforeFault-- == 0) return false;
    read(context);
    return true;
  };
  for (int reads : {0, 1, 2}) {
    SCOPED_TRACE(reads);
    HostedPlatform platform;
    ModuleState state(platform);
    HostStringObject className(HostStringLayout::msvc6, u"Host_Fan");
    HostStringObject text(HostStringLayout::msvc6, kLong);
    platform.ClearCallLog();
    callsBeforeFault = reads;
    EXPECT_EQ(ProcessHostEvent(state, HostStringLayout::msvc6, faultingGuard, 7,
                               className.Address(), text.Address(), text.Address(), text.Address()),
              14);
    EXPECT_THAT(platform.Events(), IsEmpty());
    EXPECT_THAT(platform.CallLog(), IsEmpty());  // not even the module lock was taken
  }
}

#if defined(_WIN32) && defined(__i386__)
void* HandlerChain() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

// The real guard under Windows: an object whose buffer is not mapped gives
// 14, any number of times, for every layout; the thread's handler chain is
// as it was, and C++ exceptions and later events still work.
TEST(HostString, AGuardedReadOfUnmappedMemoryGives14AndTheProcessGoesOn) {
  void* region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(region, nullptr);
  ASSERT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
  void* const chain = HandlerChain();
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(HostStringLayoutName(c.layout));
    HostedPlatform platform;
    ModuleState state(platform);
    HostStringObject name(c.layout, u"Host_Fan");
    HostStringObject unmapped(c.layout, kLong);
    unmapped.SetBuffer(static_cast<const char16_t*>(region));
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(ProcessHostEvent(state, c.layout, &CallCatchingAccessViolation, 7, name.Address(),
                                 unmapped.Address(), name.Address(), name.Address()),
                14);
    }
    EXPECT_EQ(HandlerChain(), chain);
    EXPECT_THROW(throw std::runtime_error("still unwinds"), std::runtime_error);
    EXPECT_EQ(ProcessHostEvent(state, c.layout, &CallCatchingAccessViolation, 7, name.Address(),
                               name.Address(), name.Address(), name.Address()),
              0);
    EXPECT_EQ(platform.Events().size(), 1u);
  }
}
#endif

}  // namespace
}  // namespace qel
