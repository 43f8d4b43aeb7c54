// ProcessEvent's work: one host notification turned into one posted event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/CategoryMap.h"
#include "bridge/EventLogReports.h"
#include "platform/Platform.h"

namespace qel {

// Results the host sees.
constexpr int32_t kProcessEventPosted = 0;
constexpr int32_t kProcessEventNoClassName = 2;
constexpr int32_t kProcessEventNoDesktop = 14;

// The wait before a post is tried again, and the longest a call may wait.
constexpr uint32_t kRepostDelayMs = 120000;
constexpr int kMaxPosts = 2;

// What forwarding reads of the module state.
struct ForwardingContext {
  Platform& platform;
  const std::u16string& resourceModulePath;
  const std::optional<std::string>& languageCode;  // "en" is sent when absent
  const CategoryMap& categories;
  // Where trouble is told; none: nothing is told.
  EventLogReporter* reporter = nullptr;
};

// The host's event: posted through VNXEventW with the category from
// |categories| (the class name when it has none), and, on NT, while the
// process is attached to the interactive window station and the thread to its
// default desktop. Returns 0 once posted (whatever the post returned), 2 for
// an empty class name, 14 when the attach failed or memory ran out before the
// post. Throws nothing.
//
// An event whose last post did not return 0 is kept (or at once, after one
// busy answer and no wait, when the registry's KeepWhenBusy asks for it): appended, once the
// attachment is undone, to the installation's undelivered-events file
// (bridge/KeptEventsFile.h) and reported. A delivered event touches neither
// the file nor the event log. A string table that cannot be loaded and a
// failed attachment are reported as well.
int32_t ForwardEvent(const ForwardingContext& context, int32_t eventCode,
                     const std::u16string& className, const std::u16string& eventText,
                     const std::u16string& categoryAttribute, const std::u16string& target);

// A kept event's record |line| (bridge/KeptEvent.h, without its line end)
// posted again exactly as it was first posted, on NT attached and bound as
// ForwardEvent is, once and without waiting, whatever the server answers:
// qelevent-tool resend decides what follows. Returns 0 once posted, with the
// server's |answer|; 2 when |line| is no whole record; 14 when the attach
// failed or memory ran out before the post. Neither keeps nor reports
// anything. Throws nothing.
int32_t ResendKeptRecord(Platform& platform, std::string_view line, int32_t& answer);

}  // namespace qel
