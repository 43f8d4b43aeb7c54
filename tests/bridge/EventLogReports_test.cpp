// The plug-in's entries in the event log: what each trouble reports, the
// message table that gives them their sentences, and the rate limit.
#include "bridge/EventLogReports.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/ModuleState.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<uint32_t> EventIds(const HostedPlatform& platform) {
  std::vector<uint32_t> ids;
  for (const EventLogEntry& entry : platform.EventLogEntries()) ids.push_back(entry.eventId);
  return ids;
}

// Event Viewer fills a message's %1 ... %n from the entry's strings: the
// table's ids and insertion counts must be those the code reports with.
TEST(EventLogMessages, TheMessageTableHasEveryKindWithItsInsertions) {
  std::ifstream in(QEL_SOURCE_DIR "/resources/qelevent-messages.mc");
  ASSERT_TRUE(in) << "resources/qelevent-messages.mc";
  std::map<uint32_t, int> highestInsert;
  uint32_t id = 0;
  std::string line;
  const std::regex messageId("^MessageId=(\\d+)");
  const std::regex insert("%(\\d+)");
  while (std::getline(in, line)) {
    std::smatch match;
    if (std::regex_search(line, match, messageId)) {
      id = static_cast<uint32_t>(std::stoul(match[1]));
      highestInsert[id] = 0;
      continue;
    }
    if (id == 0) continue;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), insert);
         it != std::sregex_iterator(); ++it) {
      highestInsert[id] = std::max(highestInsert[id], std::stoi((*it)[1]));
    }
  }
  EXPECT_EQ(highestInsert.size(), static_cast<size_t>(ReportKind::count));
  for (int kind = 0; kind < static_cast<int>(ReportKind::count); ++kind) {
    const ReportMessage& message = MessageOf(static_cast<ReportKind>(kind));
    ASSERT_EQ(highestInsert.count(message.eventId), 1u) << message.eventId;
    // The caller's strings, then the count of those left out.
    EXPECT_EQ(highestInsert[message.eventId], message.inserts + 1) << message.eventId;
  }
}

TEST(EventLogReports, InitMapReportsWhyTheFileMapsNothing) {
  const struct {
    const char* what;
    std::string properties;  // empty: no file
    bool stringModule;
    const char* failOnce;  // a call that fails once
    std::vector<uint32_t> ids;
  } cases[] = {
      {"no file", "", true, nullptr, {110}},
      {"a file that cannot be read", "a=x.Telvar_Services.CIM_Fan\n", true, "CreateFileW", {111}},
      {"saved as UTF-16",
       std::string("\xFF\xFE"
                   "a\0=\0",
                   6),
       true,
       nullptr,
       {112}},
      {"UTF-16 without a byte order mark", std::string("a\0=\0x\0", 6), true, nullptr, {112}},
      {"no marked line", "a=b\n", true, nullptr, {113}},
      {"no string table", "a=x.Telvar_Services.CIM_Fan\n", false, nullptr, {120}},
      {"all is well", "a=x.Telvar_Services.CIM_Fan\n", true, nullptr, {}},
  };
  for (const auto& c : cases) {
    HostedPlatform platform;
    test::HostedInstallation installation(platform);
    if (c.stringModule) installation.InstallStringModule();
    if (!c.properties.empty()) installation.WriteProperties(c.properties);
    ModuleState state(platform);
    if (c.failOnce != nullptr) platform.FailCall(c.failOnce, 1);
    state.InitMap();
    EXPECT_EQ(EventIds(platform), c.ids) << c.what;
    if (!c.ids.empty() && c.ids[0] != 120) {
      EXPECT_EQ(platform.EventLogEntries()[0].strings[0],
                u"C:\\Prog\\Telvar\\\\ci\\qelevent.properties")
          << c.what;
    }
    EXPECT_EQ(platform.OpenEventSources(), 0) << c.what;
  }
}

TEST(EventLogReports, ProcessEventTellsWhichFourteenItWas) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  ModuleState state(platform);
  // The desktop: reported by the forwarding, and not again by the exports.
  platform.FailCall("OpenDesktopA", 1);
  const int32_t noDesktop = state.ProcessEvent(1, u"CIM_Fan", u"t", u"c", u"x");
  EXPECT_EQ(noDesktop, 14);
  state.AfterHostCall(noDesktop, u"msvc6");
  // A host object that could not be read never reached the forwarding; the
  // entry says why the objects since the last one were refused.
  state.HostRefusals().Count(HostObjectRefusal::kNoTerminator);
  state.HostRefusals().Count(HostObjectRefusal::kNotAString);
  state.HostRefusals().Count(HostObjectRefusal::kNoTerminator);
  state.AfterHostCall(14, u"msvc6");
  state.AfterHostCall(0, u"msvc6");
  state.AfterHostCall(2, u"msvc6");
  EXPECT_THAT(EventIds(platform), ElementsAre(130u, 131u));
  EXPECT_EQ(platform.EventLogEntries()[0].strings[0], u"CIM_Fan");
  EXPECT_EQ(platform.EventLogEntries()[1].strings[0], u"msvc6");
  EXPECT_EQ(platform.EventLogEntries()[1].strings[1],
            u"its fields were no string of that library's (1); no NUL followed its text (2)");
}

// A day-long outage with an event every thirty seconds (a host of several
// threads) that cannot even be kept: one entry a minute, each counting those
// it stands for, across the tick count's wrap. (The disk is not writable, so
// that the day runs quickly under emulation too.)
TEST(EventLogReports, ADayLongOutageWritesOneEntryAMinute) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  ModuleState state(platform);
  constexpr int kEvents = 24 * 60 * 2;
  constexpr size_t kCount = 7;  // the insertion string with the count
  uint32_t tick = 0xFFFFFFFFu - 12 * 3600 * 1000u;
  uint64_t counted = 0;
  auto count = [&] {
    for (const EventLogEntry& entry : platform.EventLogEntries()) {
      EXPECT_EQ(entry.eventId, 102u);
      counted +=
          1 + std::stoul(std::string(entry.strings[kCount].begin(), entry.strings[kCount].end()));
    }
  };
  size_t entries = 0;
  for (int i = 0; i < kEvents; ++i) {
    platform.SetTickCount(tick);
    platform.QueueEventResults({7});
    state.ProcessEvent(1, u"CIM_Fan", u"t", u"c", u"x");
    tick += 30000;
    if (i % 500 == 0 || i == kEvents - 1) {
      entries += platform.EventLogEntries().size();
      if (i == kEvents - 1) {
        // Written: the first, then every second event (a minute later).
        EXPECT_EQ(platform.EventLogEntries().back().strings[kCount], u"1");
      }
      count();
      platform.ClearRecords();
    }
  }
  counted += state.Reporter().LeftOut(ReportKind::eventNotKept);
  EXPECT_EQ(counted, uint64_t{kEvents});  // every event written or counted
  EXPECT_EQ(entries, size_t{kEvents / 2});
}

TEST(EventLogReports, EntriesPerMinuteAreBoundedWhateverTheRate) {
  HostedPlatform platform;
  EventLogReporter reporter(platform);
  int built = 0;
  auto inserts = [&] {
    ++built;
    return std::vector<std::u16string>{u"msvc6", u"no NUL followed its text (100)"};
  };
  // A hundred calls a second for ten minutes.
  for (uint32_t ms = 0; ms < 10 * 60000; ms += 10) {
    platform.SetTickCount(ms);
    reporter.Report(ReportKind::hostObjectUnreadable, inserts);
  }
  EXPECT_EQ(platform.EventLogEntries().size(), 10u);
  EXPECT_EQ(built, 10);  // the strings are made only for an entry written
  EXPECT_EQ(platform.EventLogEntries()[1].strings[2], u"5999");
  // Another kind is not held back by this one.
  reporter.Report(ReportKind::propertiesMissing, [] { return std::vector<std::u16string>{u"p"}; });
  EXPECT_EQ(platform.EventLogEntries().size(), 11u);
  // Without an event log nothing breaks, and the entry is counted.
  platform.FailCall("RegisterEventSourceW");
  platform.SetTickCount(20 * 60000);
  reporter.Report(ReportKind::hostObjectUnreadable, inserts);
  EXPECT_EQ(platform.EventLogEntries().size(), 11u);
  EXPECT_EQ(reporter.LeftOut(ReportKind::hostObjectUnreadable), 6000u);
}

}  // namespace
}  // namespace qel
