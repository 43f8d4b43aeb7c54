#include "bridge/EventForwarding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A hosted platform that also checks the shape of every post through its raw
// pointers (which the decoded record cannot show), and can make one call
// throw as an allocation failure would.
class CheckingPlatform : public HostedPlatform {
 public:
  std::vector<std::string> shapeProblems;
  std::string throwIn;

  HDesk OpenDesktopA(const char* name, uint32_t flags, bool inherit, uint32_t access) override {
    if (throwIn == "OpenDesktopA") throw std::bad_alloc();
    return HostedPlatform::OpenDesktopA(name, flags, inherit, access);
  }

  int32_t VNXEventW(const VnxEventArgs& args) override {
    CheckShape(args);
    if (throwIn == "VNXEventW") {
      HostedPlatform::VNXEventW(args);
      throw std::bad_alloc();
    }
    return HostedPlatform::VNXEventW(args);
  }

 private:
  void CheckShape(const VnxEventArgs& args) {
    auto problem = [this](const char* text) { shapeProblems.push_back(text); };
    // Empty texts are pointers to empty strings, never null pointers.
    if (!args.source || !args.text || !args.language || !args.destination) {
      problem("a text argument is a null pointer");
    }
    if (!args.typePath || !args.typePath[0] || !args.typePath[1] || args.typePath[2]) {
      problem("the type path is not two entries and a null");
    }
    if (args.arg5 || args.arg8 || args.arg9 || args.arg11) problem("a zero argument is not zero");
    EventAttribute* const* list = args.attributes;
    if (!list || !list[0] || !list[1] || !list[2] || list[3]) {
      problem("the attribute list is not three records and a null");
      return;
    }
    if (list[1] != list[0] + 1 || list[2] != list[0] + 2) problem("records not back to back");
    for (int i = 0; i < 3; ++i) {
      if (!list[i]->name || !list[i]->value || list[i]->reserved1 || list[i]->reserved2) {
        problem("a record has a null pointer or a non-zero reserved word");
      }
    }
    const EventAttribute& fourth = list[0][3];
    if (fourth.name || fourth.reserved1 || fourth.reserved2 || fourth.type || fourth.value) {
      problem("the fourth record is not all zero");
    }
  }
};

// One call's world: a platform, the module state that forwarding reads, and
// optionally an installation with the plug-in's string module.
struct Forwarding {
  explicit Forwarding(bool installed = true) {
    if (installed) {
      installation = std::make_unique<test::HostedInstallation>(platform);
      installation->InstallStringModule();
      modulePath = installation->ResourceModulePath();
    }
  }
  ~Forwarding() { EXPECT_THAT(platform.shapeProblems, IsEmpty()); }

  int32_t Post(const std::u16string& className, const std::u16string& text = u"Fan 2 failed",
               const std::u16string& categoryAttribute = u"Critical",
               const std::u16string& target = u"server1", int32_t eventCode = 42) {
    return ForwardEvent({platform, modulePath, language, categories}, eventCode, className, text,
                        categoryAttribute, target);
  }

  // The calls that attach, bind, post, wait and detach, by name, in order.
  std::vector<std::string> Road() const {
    static const std::set<std::string> kShown = {"GetProcessWindowStation",
                                                 "GetThreadDesktop",
                                                 "OpenWindowStationA",
                                                 "SetProcessWindowStation",
                                                 "OpenDesktopA",
                                                 "SetThreadDesktop",
                                                 "CloseWindowStation",
                                                 "CloseDesktop",
                                                 "VNXEventW",
                                                 "Sleep"};
    std::vector<std::string> names;
    for (const std::string& entry : platform.CallLog()) {
      if (entry.rfind("LoadLibraryA(\"VOVURU32.DLL\")", 0) == 0) {
        names.push_back("StartIpcBinding");
        continue;
      }
      std::string name = entry.substr(0, entry.find('('));
      if (kShown.count(name)) names.push_back(name);
    }
    return names;
  }

  bool Detached() const {
    return platform.CurrentWindowStation() == platform.OriginalWindowStation() &&
           platform.CurrentDesktop() == platform.OriginalDesktop() &&
           platform.OpenDesktopObjects() == 0;
  }

  CheckingPlatform platform;
  std::unique_ptr<test::HostedInstallation> installation;
  std::u16string modulePath = u"C:\\Prog\\Telvar\\\\ci\\qelevent.dll";
  std::optional<std::string> language = std::string("en");
  CategoryMap categories;
};

const std::vector<std::string> kAttach = {
    "GetProcessWindowStation", "GetThreadDesktop", "OpenWindowStationA",
    "SetProcessWindowStation", "OpenDesktopA",     "SetThreadDesktop"};
const std::vector<std::string> kDetach = {"SetProcessWindowStation", "SetThreadDesktop",
                                          "CloseWindowStation", "CloseDesktop"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(EventForwarding, EmptyClassNameReturns2AndTouchesNothing) {
  Forwarding call;
  call.platform.ClearCallLog();
  EXPECT_EQ(call.Post(u""), kProcessEventNoClassName);
  EXPECT_THAT(call.platform.CallLog(), IsEmpty());
  EXPECT_THAT(call.platform.Events(), IsEmpty());
}

TEST(EventForwarding, MappedClassPostsItsCategoryWithTheHostsAttributes) {
  Forwarding call;
  call.categories.addIfAbsent(u"Host_Fan", u"Fan");
  call.language = "de";
  EXPECT_EQ(call.Post(u"Host_Fan", u"Fan 2 failed", u"Critical", u"server1", -9), 0);

  ASSERT_EQ(call.platform.Events().size(), 1u);
  const PostedEvent& event = call.platform.Events()[0];
  EXPECT_EQ(event.source, u"CIM");
  EXPECT_THAT(event.typePath, ElementsAre(u"Marquel Agent Events", u"Fan"));
  EXPECT_EQ(event.text, u"Fan 2 failed");
  EXPECT_EQ(event.language, "de");
  EXPECT_EQ(event.eventCode, -9);
  // "CATEGORY" carries what the host sent, not the mapped category.
  EXPECT_THAT(event.attributes, ElementsAre(PostedEvent::Attribute{u"CATEGORY", 9, u"Critical"},
                                            PostedEvent::Attribute{u"CLASSNAME", 9, u"Host_Fan"},
                                            PostedEvent::Attribute{u"TARGET", 9, u"server1"}));
  EXPECT_EQ(event.destination, "@EventServer");
  EXPECT_THAT(call.platform.Sleeps(), IsEmpty());
}

TEST(EventForwarding, UnmappedOrEmptyCategoryFallsBackToTheClassName) {
  Forwarding call;
  call.categories.addIfAbsent(u"Host_Empty", u"");
  call.categories.addIfAbsent(u"Host_Fan", u"Fan");
  EXPECT_EQ(call.Post(u"Host_Other"), 0);
  EXPECT_EQ(call.Post(u"Host_Empty"), 0);
  EXPECT_EQ(call.Post(u"host_fan"), 0);  // keys are case-sensitive
  ASSERT_EQ(call.platform.Events().size(), 3u);
  EXPECT_THAT(call.platform.Events()[0].typePath,
              ElementsAre(u"Marquel Agent Events", u"Host_Other"));
  EXPECT_THAT(call.platform.Events()[1].typePath,
              ElementsAre(u"Marquel Agent Events", u"Host_Empty"));
  EXPECT_THAT(call.platform.Events()[2].typePath,
              ElementsAre(u"Marquel Agent Events", u"host_fan"));
}

TEST(EventForwarding, EmptyTextsArePostedAsEmptyStrings) {
  Forwarding call;
  EXPECT_EQ(call.Post(u"Host_Fan", u"", u"", u""), 0);
  ASSERT_EQ(call.platform.Events().size(), 1u);
  const PostedEvent& event = call.platform.Events()[0];
  EXPECT_EQ(event.text, u"");
  EXPECT_THAT(event.attributes, ElementsAre(PostedEvent::Attribute{u"CATEGORY", 9, u""},
                                            PostedEvent::Attribute{u"CLASSNAME", 9, u"Host_Fan"},
                                            PostedEvent::Attribute{u"TARGET", 9, u""}));
  // The platform's shape check has seen non-null pointers for all of them.
}

TEST(EventForwarding, WithoutTheStringModuleSourceAndTypeNameAreStars) {
  Forwarding call(/*installed=*/false);
  EXPECT_EQ(call.Post(u"Host_Fan"), 0);
  ASSERT_EQ(call.platform.Events().size(), 1u);
  EXPECT_EQ(call.platform.Events()[0].source, u"*");
  EXPECT_THAT(call.platform.Events()[0].typePath, ElementsAre(u"*", u"Host_Fan"));
}

TEST(EventForwarding, SendsTheChosenLanguageOrEnWithoutOne) {
  for (const std::optional<std::string>& code :
       {std::optional<std::string>("de"), std::optional<std::string>("zhTW"),
        std::optional<std::string>()}) {
    Forwarding call;
    call.language = code;
    EXPECT_EQ(call.Post(u"Host_Fan"), 0);
    ASSERT_EQ(call.platform.Events().size(), 1u);
    EXPECT_EQ(call.platform.Events()[0].language, code.value_or("en"));
  }
}

TEST(EventForwarding, OnNtAttachesBindsPostsAndDetachesInThatOrder) {
  Forwarding call;
  call.platform.QueueEventResults({18, 0});
  EXPECT_EQ(call.Post(u"Host_Fan"), 0);
  EXPECT_THAT(call.Road(),
              ElementsAreArray(Concat(
                  {kAttach, {"StartIpcBinding", "VNXEventW", "Sleep", "VNXEventW"}, kDetach})));
  EXPECT_EQ(call.platform.CallCount("GetVersionExA"), 1);
  EXPECT_THAT(
      call.platform.CallLog(),
      ::testing::IsSupersetOf({std::string("GetVersionExA(148)"),
                               std::string("OpenWindowStationA(\"Winsta0\", false, 0x2000000)"),
                               std::string("OpenDesktopA(\"Default\", 0, false, 0x2000000)")}));
  EXPECT_TRUE(call.Detached());
}

TEST(EventForwarding, BindsTheIpcLibraryOnceWithTheInputDesktopFlag) {
  ResetIpcBindingForTesting();
  standin::ResetIpcLibrary();
  {
    Forwarding call;
    standin::InstallIpcLibrary(call.platform);
    EXPECT_EQ(call.Post(u"Host_Fan"), 0);
    EXPECT_EQ(call.Post(u"Host_Fan"), 0);
    EXPECT_EQ(call.platform.Events().size(), 2u);
    EXPECT_TRUE(CurrentIpcBinding().bound);
    standin::IpcLibraryState library = standin::CurrentIpcLibraryState();
    EXPECT_EQ(library.initApplicationCalls, 1);
    EXPECT_THAT(library.useInputDesktopFlags, ElementsAre(1));
  }
  ResetIpcBindingForTesting();
  standin::ResetIpcLibrary();
}

TEST(EventForwarding, ResultsFiveSixAndEighteenWaitAndPostOnceMore) {
  const std::string post = "VNXEventW";
  const std::string wait = "Sleep";
  struct Case {
    std::initializer_list<int32_t> results;
    std::vector<std::string> posting;
  } cases[] = {
      {{0}, {post}},
      {{7}, {post}},
      {{-1}, {post}},
      {{18, 0}, {post, wait, post}},
      {{5, 7}, {post, wait, post}},
      {{6, 6}, {post, wait, post, wait}},
      {{18, 5, 0}, {post, wait, post, wait}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<int32_t>(c.results)));
    Forwarding call;
    call.platform.QueueEventResults(c.results);
    EXPECT_EQ(call.Post(u"Host_Fan"), 0);
    // Posts and waits all happen while attached.
    EXPECT_THAT(call.Road(),
                ElementsAreArray(Concat({kAttach, {"StartIpcBinding"}, c.posting, kDetach})));
    for (uint32_t sleep : call.platform.Sleeps()) EXPECT_EQ(sleep, 120000u);
    const std::vector<PostedEvent>& events = call.platform.Events();
    if (events.size() == 2) {
      // The second post repeats the first.
      EXPECT_EQ(events[1].source, events[0].source);
      EXPECT_EQ(events[1].typePath, events[0].typePath);
      EXPECT_EQ(events[1].text, events[0].text);
      EXPECT_EQ(events[1].language, events[0].language);
      EXPECT_EQ(events[1].eventCode, events[0].eventCode);
      EXPECT_EQ(events[1].attributes, events[0].attributes);
      EXPECT_EQ(events[1].destination, events[0].destination);
    }
    EXPECT_TRUE(call.Detached());
  }
}

TEST(EventForwarding, AFailedAttachStepUndoesExactlyWhatWasDoneAndReturns14) {
  struct Case {
    const char* failing;
    std::vector<std::string> undo;
  } cases[] = {
      {"GetProcessWindowStation", {}},
      {"GetThreadDesktop", {}},
      {"OpenWindowStationA", {}},
      {"SetProcessWindowStation", {"CloseWindowStation"}},
      {"OpenDesktopA", {"SetProcessWindowStation", "CloseWindowStation"}},
      {"SetThreadDesktop", {"SetProcessWindowStation", "CloseWindowStation", "CloseDesktop"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    Forwarding call;
    call.platform.FailCall(c.failing, 1);
    EXPECT_EQ(call.Post(u"Host_Fan"), kProcessEventNoDesktop);
    std::vector<std::string> attempted(kAttach.begin(),
                                       std::find(kAttach.begin(), kAttach.end(), c.failing) + 1);
    EXPECT_THAT(call.Road(), ElementsAreArray(Concat({attempted, c.undo})));
    EXPECT_THAT(call.platform.Events(), IsEmpty());
    EXPECT_THAT(call.platform.Sleeps(), IsEmpty());
    EXPECT_TRUE(call.Detached());
  }
}

TEST(EventForwarding, OffNtNoDesktopCallAndNoBindingButThePost) {
  Forwarding call;
  call.platform.SetPlatformId(1);
  call.platform.QueueEventResults({6, 0});
  EXPECT_EQ(call.Post(u"Host_Fan"), 0);
  EXPECT_THAT(call.Road(), ElementsAre("VNXEventW", "Sleep", "VNXEventW"));
  EXPECT_EQ(call.platform.CallCount("GetCurrentThreadId"), 0);
}

TEST(EventForwarding, OutOfMemoryBeforeThePostUndoesTheAttachAndReturns14) {
  Forwarding call;
  call.platform.throwIn = "OpenDesktopA";
  EXPECT_EQ(call.Post(u"Host_Fan"), kProcessEventNoDesktop);
  EXPECT_THAT(call.Road(), ElementsAre("GetProcessWindowStation", "GetThreadDesktop",
                                       "OpenWindowStationA", "SetProcessWindowStation",
                                       "SetProcessWindowStation", "CloseWindowStation"));
  EXPECT_THAT(call.platform.Events(), IsEmpty());
  EXPECT_TRUE(call.Detached());
}

TEST(EventForwarding, AnExceptionFromThePostStillDetachesAndReturns0) {
  Forwarding call;
  call.platform.throwIn = "VNXEventW";
  EXPECT_EQ(call.Post(u"Host_Fan"), 0);
  EXPECT_EQ(call.platform.Events().size(), 1u);
  EXPECT_TRUE(call.Detached());
}

}  // namespace
}  // namespace qel
