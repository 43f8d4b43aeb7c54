#include "bridge/EventForwarding.h"

#include <array>
#include <cstddef>
#include <vector>

#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "config/StringResources.h"
#include "config/TextConversions.h"
#include "ipc/IpcBinding.h"

namespace qel {
namespace {

constexpr uint32_t kSourceStringId = 1000;
constexpr uint32_t kTypeNameStringId = 1001;
constexpr char16_t kMissingString[] = u"*";
constexpr char kFallbackLanguage[] = "en";
constexpr char kDestination[] = "@EventServer";
constexpr char kInteractiveWindowStation[] = "Winsta0";
constexpr char kDefaultDesktop[] = "Default";
constexpr int32_t kUseInputDesktop = 1;

// The type name, the category, and the null that ends the path.
using TypePath = std::array<const char16_t*, 3>;
// The three attribute records and the all-zero fourth that ends the array.
using AttributeRecords = std::array<EventAttribute, 4>;
// The event library walks the records through this null-terminated list.
using AttributeList = std::array<EventAttribute*, 4>;

#if defined(_WIN32) && defined(__i386__)
// The event library reads these with the 32-bit layout it was built with.
static_assert(sizeof(EventAttribute) == 20, "EventAttribute is a 20-byte record");
static_assert(offsetof(EventAttribute, name) == 0, "name at offset 0");
static_assert(offsetof(EventAttribute, reserved1) == 4, "zero word at offset 4");
static_assert(offsetof(EventAttribute, reserved2) == 8, "zero word at offset 8");
static_assert(offsetof(EventAttribute, type) == 12, "type code at offset 12");
static_assert(offsetof(EventAttribute, value) == 16, "value at offset 16");
static_assert(sizeof(TypePath::value_type) == 4 && sizeof(TypePath) == 12,
              "the type path is an array of 32-bit pointers");
static_assert(sizeof(AttributeList::value_type) == 4 && sizeof(AttributeList) == 16,
              "the attribute list is an array of 32-bit pointers");
static_assert(sizeof(AttributeRecords) == 80, "four records lie back to back");
#endif

std::u16string LoadStringOrStar(const ForwardingContext& context, uint32_t id) {
  try {
    return LoadResourceString(context.platform, context.resourceModulePath, id);
  } catch (...) {
    // Whatever went wrong, the event still goes out; "*" marks the gap.
    if (context.reporter != nullptr) {
      context.reporter->Report(ReportKind::stringTableMissing, [&] {
        return std::vector<std::u16string>{context.resourceModulePath};
      });
    }
    return kMissingString;
  }
}

// The process on the interactive window station and the calling thread on
// its default desktop, for as long as this object lives. Whatever the attach
// changed is undone when the object goes away, after a failed step, after the
// post, and on an exception alike, always in the same order: the process's
// window station set back, the thread's desktop set back, then the opened
// window station and the opened desktop closed.
class InteractiveDesktopAttachment {
 public:
  explicit InteractiveDesktopAttachment(Platform& platform) : platform_(platform) {
    try {
      attached_ = Attach();
    } catch (...) {
      // No destructor runs for an object whose constructor throws.
      Undo();
      throw;
    }
  }
  ~InteractiveDesktopAttachment() { Undo(); }
  InteractiveDesktopAttachment(const InteractiveDesktopAttachment&) = delete;
  InteractiveDesktopAttachment& operator=(const InteractiveDesktopAttachment&) = delete;

  bool attached() const { return attached_; }

 private:
  // Stops at the first step that fails.
  bool Attach() {
    savedStation_ = platform_.GetProcessWindowStation();
    if (!savedStation_) return false;
    savedDesktop_ = platform_.GetThreadDesktop(platform_.GetCurrentThreadId());
    if (!savedDesktop_) return false;
    openedStation_ =
        platform_.OpenWindowStationA(kInteractiveWindowStation, false, kMaximumAllowed);
    if (!openedStation_) return false;
    stationSwitched_ = platform_.SetProcessWindowStation(openedStation_);
    if (!stationSwitched_) return false;
    openedDesktop_ = platform_.OpenDesktopA(kDefaultDesktop, 0, false, kMaximumAllowed);
    if (!openedDesktop_) return false;
    desktopSwitched_ = platform_.SetThreadDesktop(openedDesktop_);
    return desktopSwitched_;
  }

  void Undo() {
    if (stationSwitched_) platform_.SetProcessWindowStation(savedStation_);
    if (desktopSwitched_) platform_.SetThreadDesktop(savedDesktop_);
    if (openedStation_) platform_.CloseWindowStation(openedStation_);
    if (openedDesktop_) platform_.CloseDesktop(openedDesktop_);
  }

  Platform& platform_;
  bool attached_ = false;
  HWinSta savedStation_ = nullptr;
  HDesk savedDesktop_ = nullptr;
  HWinSta openedStation_ = nullptr;
  HDesk openedDesktop_ = nullptr;
  bool stationSwitched_ = false;
  bool desktopSwitched_ = false;
};

bool CallsForRepost(int32_t result) { return result == 5 || result == 6 || result == 18; }

// A result that calls for a repost is always followed by the wait, also when
// no post may follow it any more; but a host that cannot spare the wait keeps
// the event at once instead (KeepWhenBusy, read only once the server is
// busy, so that a delivered event reads nothing more). Each post's answer is
// added to |answers|, which has room for kMaxPosts already, so that nothing
// here allocates.
void PostWithRepost(Platform& platform, const VnxEventArgs& args, std::vector<int32_t>& answers) {
  for (int posts = 1;; ++posts) {
    answers.push_back(platform.VNXEventW(args));
    if (!CallsForRepost(answers.back())) return;
    if (posts == 1 && KeepsWhenBusy(platform)) return;
    platform.Sleep(kRepostDelayMs);
    if (posts == kMaxPosts) return;
  }
}

// The event of |args|, whose posts the server answered with |answers|, kept
// in the undelivered-events file and told to the event log. Throws nothing.
void KeepUndelivered(const ForwardingContext& context, const VnxEventArgs& args,
                     const std::u16string& className, const std::u16string& target,
                     const std::vector<int32_t>& answers) {
  try {
    Platform& platform = context.platform;
    KeptEvent event = KeptEventOfPost(args);
    SystemTime utc{};
    SystemTime local{};
    platform.GetSystemTime(&utc);
    platform.GetLocalTime(&local);
    event.utc = FormatUtcTime(utc);
    event.local = FormatLocalTime(local, utc);
    event.className = className;
    event.answers = answers;
    const KeepOutcome outcome = KeepRecord(platform, FormatKeptRecord(event));
    if (context.reporter == nullptr) return;
    const std::u16string category = event.typePath.size() > 1 ? event.typePath[1] : u"";
    auto common = [&] {
      return std::vector<std::u16string>{className,
                                         category,
                                         event.text,
                                         target,
                                         AnswersText(answers),
                                         outcome.path.empty() ? u"-" : outcome.path};
    };
    switch (outcome.result) {
      case KeepResult::kept:
        context.reporter->Report(ReportKind::eventKept, common);
        break;
      case KeepResult::full:
        context.reporter->Report(ReportKind::eventNotKeptFull, [&] {
          std::vector<std::u16string> strings = common();
          strings.push_back(Utf8ToWide(DecimalText(outcome.limitBytes / 1024)));
          return strings;
        });
        break;
      case KeepResult::failed:
        context.reporter->Report(ReportKind::eventNotKept, [&] {
          std::vector<std::u16string> strings = common();
          strings.push_back(Utf8ToWide(outcome.reason));
          return strings;
        });
        break;
    }
  } catch (...) {
    // The host has its answer; keeping the event must not change it.
  }
}

}  // namespace

int32_t ForwardEvent(const ForwardingContext& context, int32_t eventCode,
                     const std::u16string& className, const std::u16string& eventText,
                     const std::u16string& categoryAttribute, const std::u16string& target) {
  if (className.empty()) return kProcessEventNoClassName;
  Platform& platform = context.platform;
  bool handedOver = false;
  try {
    std::u16string category = context.categories.lookup(className);
    if (category.empty()) category = className;
    const std::u16string source = LoadStringOrStar(context, kSourceStringId);
    const std::u16string typeName = LoadStringOrStar(context, kTypeNameStringId);
    const std::string language =
        context.languageCode ? *context.languageCode : std::string(kFallbackLanguage);
    const std::string destination = kDestination;

    std::optional<InteractiveDesktopAttachment> attachment;
    if (IsWindowsNt(platform)) {
      attachment.emplace(platform);
      if (!attachment->attached()) {
        attachment.reset();
        if (context.reporter != nullptr) {
          context.reporter->Report(ReportKind::desktopNotAttached,
                                   [&] { return std::vector<std::u16string>{className}; });
        }
        return kProcessEventNoDesktop;
      }
      StartIpcBinding(platform, kUseInputDesktop);  // a failed binding must not stop the post
    }

    TypePath typePath = {typeName.c_str(), category.c_str(), nullptr};
    AttributeRecords records = {{
        {u"CATEGORY", 0, 0, kEventAttributeWideString, categoryAttribute.c_str()},
        {u"CLASSNAME", 0, 0, kEventAttributeWideString, className.c_str()},
        {u"TARGET", 0, 0, kEventAttributeWideString, target.c_str()},
        {nullptr, 0, 0, 0, nullptr},
    }};
    AttributeList attributes = {&records[0], &records[1], &records[2], nullptr};
    const VnxEventArgs args{source.c_str(),
                            typePath.data(),
                            eventText.c_str(),
                            language.c_str(),
                            0,
                            eventCode,
                            attributes.data(),
                            0,
                            0,
                            destination.c_str(),
                            0};
    std::vector<int32_t> answers;
    answers.reserve(kMaxPosts);
    handedOver = true;
    PostWithRepost(platform, args, answers);
    if (answers.back() != 0) {
      attachment.reset();
      KeepUndelivered(context, args, className, target, answers);
    }
    return kProcessEventPosted;
  } catch (...) {
    // Nothing may unwind into the host. The attachment, if any, has been
    // undone by now; an event that never reached the library is reported as
    // the failure the host already knows.
    return handedOver ? kProcessEventPosted : kProcessEventNoDesktop;
  }
}

}  // namespace qel

namespace qel {

int32_t ResendKeptRecord(Platform& platform, std::string_view line, int32_t& answer) {
  try {
    const std::optional<KeptEvent> event = ParseKeptRecord(line);
    if (!event) return kProcessEventNoClassName;
    const KeptEventPost post(*event);
    std::optional<InteractiveDesktopAttachment> attachment;
    if (IsWindowsNt(platform)) {
      attachment.emplace(platform);
      if (!attachment->attached()) return kProcessEventNoDesktop;
      StartIpcBinding(platform, kUseInputDesktop);
    }
    answer = platform.VNXEventW(post.Args());
    return kProcessEventPosted;
  } catch (...) {
    return kProcessEventNoDesktop;
  }
}

}  // namespace qel
