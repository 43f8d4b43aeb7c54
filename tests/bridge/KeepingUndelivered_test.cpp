// Events the event server did not take: kept in the installation's
// undelivered-events file, whole, under the file's lock and within its limit;
// and a delivered event costing nothing more.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "bridge/ModuleState.h"
#include "config/InstallPaths.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class KeepingUndelivered : public ::testing::Test {
 protected:
  void SetUp() override {
    installation_.InstallStringModule();
    installation_.WriteProperties("a=x.Telvar_Services.CIM_Fan\n");
    platform_.SetDiskWritable(true);
    state_.InitMap();
  }
  std::filesystem::path KeptFile() const {
    return installation_.CiFolder() / "qelevent-undelivered.txt";
  }
  KeptRecords Kept() const { return ReadKeptRecords(ReadBytes(KeptFile())); }
  int32_t Post(const std::u16string& text = u"Fan 2 stopped") {
    return state_.ProcessEvent(3, u"CIM_Fan", text, u"Hardware", u"srv01");
  }
  void SetDword(const char* name, uint32_t v) {
    platform_.Registry().SetValue(
        kProductKey, name,
        {kRegDword, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}});
  }
  void SetLimitKb(uint32_t kb) { SetDword(kKeptEventsLimitValue, kb); }
  std::vector<uint32_t> EventIds() const {
    std::vector<uint32_t> ids;
    for (const EventLogEntry& entry : platform_.EventLogEntries()) ids.push_back(entry.eventId);
    return ids;
  }

  HostedPlatform platform_;
  test::HostedInstallation installation_{platform_};
  ModuleState state_{platform_};
};

// KeepWhenBusy, once set, keeps a busy event after one post and no wait;
// 0 is as absent.
TEST_F(KeepingUndelivered, KeepsWhatTheLastPostDidNotDeliverAndNothingElse) {
  const struct {
    std::optional<uint32_t> keepWhenBusy;  // set before the row, when given
    std::vector<int32_t> results;          // one per post
    std::vector<uint32_t> sleeps;
    std::vector<int32_t> keptAnswers;  // empty: nothing kept
  } cases[] = {
      {std::nullopt, {18, 18}, {120000, 120000}, {18, 18}},
      {std::nullopt, {5, 6}, {120000, 120000}, {5, 6}},
      {std::nullopt, {7}, {}, {7}},
      {std::nullopt, {-1}, {}, {-1}},
      {std::nullopt, {18, 0}, {120000}, {}},
      {std::nullopt, {0}, {}, {}},
      {0, {18, 0}, {120000}, {}},
      {1, {18}, {}, {18}},
      {1, {6}, {}, {6}},
      {1, {7}, {}, {7}},
      {0xFFFFFFFF, {5}, {}, {5}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(KeptFile());
    if (c.keepWhenBusy) SetDword(kKeepWhenBusyValue, *c.keepWhenBusy);
    platform_.ClearRecords();
    for (int32_t result : c.results) platform_.QueueEventResults({result});
    // The host's answer and the waits are those of the posting alone.
    EXPECT_EQ(Post(), 0);
    EXPECT_EQ(platform_.Sleeps(), c.sleeps);
    EXPECT_EQ(platform_.Events().size(), c.results.size());
    if (c.keptAnswers.empty()) {
      EXPECT_FALSE(std::filesystem::exists(KeptFile()));
      continue;
    }
    const KeptRecords kept = Kept();
    ASSERT_EQ(kept.events.size(), 1u);
    EXPECT_THAT(kept.skippedLines, IsEmpty());
    EXPECT_EQ(kept.events[0].answers, c.keptAnswers);
    EXPECT_EQ(kept.events[0].className, u"CIM_Fan");
    EXPECT_EQ(kept.events[0].utc, "2026-12-09T21:33:01.250Z");
    EXPECT_EQ(kept.events[0].local, "2026-12-09T22:33:01.250+01:00");
  }
  // A delivered event does not even read the value.
  platform_.ClearCallLog();
  EXPECT_EQ(Post(), 0);
  EXPECT_EQ(platform_.CallCount("RegQueryValueExA"), 0);
}

TEST_F(KeepingUndelivered, ARepostOfTheRecordIsTheFirstPostFieldByField) {
  platform_.QueueEventResults({18, 18});
  Post(u"L\u00FCfter \"2\"\r\nstopped \U0001F4BE");
  ASSERT_EQ(platform_.Events().size(), 2u);
  const PostedEvent first = platform_.Events()[0];

  const KeptRecords kept = Kept();
  ASSERT_EQ(kept.events.size(), 1u);
  const KeptEventPost repost(kept.events[0]);
  platform_.VNXEventW(repost.Args());
  const PostedEvent again = platform_.Events().back();
  EXPECT_EQ(again.source, first.source);
  EXPECT_EQ(again.typePath, first.typePath);
  EXPECT_EQ(again.text, first.text);
  EXPECT_EQ(again.language, first.language);
  EXPECT_EQ(again.eventCode, first.eventCode);
  EXPECT_EQ(again.attributes, first.attributes);
  EXPECT_EQ(again.destination, first.destination);
  EXPECT_THAT(again.reservedArguments, ::testing::ElementsAreArray(first.reservedArguments));
  EXPECT_THAT(again.typePath, ElementsAre(u"Marquel Agent Events", u"System Enclosure"));
}

TEST_F(KeepingUndelivered, ADeliveredEventTouchesNeitherFileNorEventLog) {
  platform_.ClearCallLog();
  Post();
  for (const char* call :
       {"GetSystemTime", "GetLocalTime", "CreateFileW", "CreateFileA", "WriteFile", "LockFile",
        "GetFileSize", "RegisterEventSourceW", "ReportEventW", "GetTickCount"}) {
    EXPECT_EQ(platform_.CallCount(call), 0) << call;
  }
  EXPECT_EQ(platform_.CallCount("VNXEventW"), 1);
  EXPECT_FALSE(std::filesystem::exists(KeptFile()));
}

TEST_F(KeepingUndelivered, AFullFileRefusesCountsAndReportsAndKeepsWhatItHas) {
  SetLimitKb(1);  // room for one record of some 700 bytes, not two
  const std::u16string padding(300, u'x');
  platform_.QueueEventResults({7, 7, 7});
  Post(u"one" + padding);
  const std::string before = ReadBytes(KeptFile());
  Post(u"two" + padding);
  Post(u"three" + padding);
  EXPECT_EQ(ReadBytes(KeptFile()), before);
  ASSERT_EQ(Kept().events.size(), 1u);
  EXPECT_EQ(Kept().events[0].text, u"one" + padding);
  // The second is reported whole, the third within the same minute counted.
  EXPECT_THAT(EventIds(), ElementsAre(100u, 101u));
  const EventLogEntry& refused = platform_.EventLogEntries()[1];
  EXPECT_EQ(refused.type, kEventLogErrorType);
  EXPECT_EQ(refused.strings[2], u"two" + padding);
  EXPECT_EQ(refused.strings[6], u"1");  // KB
  EXPECT_EQ(state_.Reporter().LeftOut(ReportKind::eventNotKeptFull), 1u);
}

TEST_F(KeepingUndelivered, AFailedWriteLosesNothingElseAndIsReported) {
  platform_.QueueEventResults({7});
  Post(u"kept before");
  const std::string before = ReadBytes(KeptFile());
  const struct {
    const char* what;
    std::function<void()> fault;
    std::function<void()> undo;
    std::u16string reason = u"";  // how the entry's reason begins
  } cases[] = {
      {"a full disk", [&] { platform_.SetDiskFreeBytes(100); },
       [&] { platform_.SetDiskFreeBytes(std::nullopt); }},
      {"a folder the account may not write to",
       [&] { platform_.SetReadOnly("C:\\Prog\\Telvar\\ci"); }, [] {}},
      {"no installation", [&] { platform_.Registry().DeleteKey(kProductKey); }, [] {},
       u"No installation"},
  };
  for (const auto& c : cases) {
    platform_.ClearRecords();
    c.fault();
    platform_.SetTickCount(platform_.GetTickCount() + kReportIntervalMs);
    platform_.QueueEventResults({7});
    EXPECT_EQ(Post(u"not kept"), 0) << c.what;
    c.undo();
    EXPECT_EQ(ReadBytes(KeptFile()), before) << c.what;
    ASSERT_THAT(EventIds(), ElementsAre(102u)) << c.what;
    EXPECT_EQ(platform_.EventLogEntries()[0].strings[2], u"not kept") << c.what;
    EXPECT_EQ(platform_.EventLogEntries()[0].strings[6].find(c.reason), 0u) << c.what;
  }
}

TEST_F(KeepingUndelivered, ARecordAfterACutOneStandsOnALineOfItsOwn) {
  const std::string whole = FormatKeptRecord(KeptEventOfPost(VnxEventArgs{}));
  std::ofstream(KeptFile(), std::ios::binary) << whole << whole.substr(0, 30);
  platform_.QueueEventResults({7});
  Post(u"after the cut");
  const KeptRecords kept = Kept();
  ASSERT_EQ(kept.events.size(), 2u);
  EXPECT_EQ(kept.events[1].text, u"after the cut");
  EXPECT_THAT(kept.skippedLines, ElementsAre(2u));
}

// Each appender opens the file for itself and takes the system's lock, as
// separate host processes do; the ModuleState lock plays no part here.
TEST(KeptEventsFile, EightThreadsAppendingLoseAndMixNothing) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  platform.SetDiskWritable(true);
  // A thread that finds the file locked waits for real, as long as on
  // Windows, so the holder runs.
  platform.SetSleepHook([](uint32_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kKeptEventsLockRetryMs));
  });
  const std::u16string path = u"C:\\Prog\\Telvar\\ci\\qelevent-undelivered.txt";
  constexpr size_t kThreads = 8;
  constexpr size_t kRecords = 40;
  std::atomic<int> failures{0};
  {
    std::vector<std::unique_ptr<SystemThread>> threads;
    threads.reserve(kThreads);
    for (size_t t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<SystemThread>([&, t] {
        for (size_t i = 0; i < kRecords; ++i) {
          KeptEvent event;
          const std::string number = std::to_string(i);
          event.text = std::u16string(u"thread ") + static_cast<char16_t>(u'A' + t) + u" " +
                       std::u16string(number.begin(), number.end());
          if (AppendKeptRecord(platform, path, FormatKeptRecord(event), 1u << 20).result !=
              KeepResult::kept) {
            ++failures;
          }
        }
      }));
    }
  }
  EXPECT_EQ(failures.load(), 0);
  const KeptRecords kept =
      ReadKeptRecords(ReadBytes(installation.CiFolder() / "qelevent-undelivered.txt"));
  EXPECT_THAT(kept.skippedLines, IsEmpty());
  std::set<std::u16string> texts;
  for (const KeptEvent& event : kept.events) texts.insert(event.text);
  EXPECT_EQ(texts.size(), kThreads * kRecords);
  EXPECT_EQ(kept.events.size(), kThreads * kRecords);
}

TEST(KeptEventsFile, AReaderThatIgnoresTheLockIsRefusedRatherThanShownHalfARecord) {
  HostedPlatform platform;
  test::HostedInstallation installation(platform);
  platform.SetDiskWritable(true);
  const char16_t* path = u"C:\\Prog\\Telvar\\ci\\qelevent-undelivered.txt";
  ASSERT_EQ(AppendKeptRecord(platform, path, "{}\r\n", 1024).result, KeepResult::kept);
  const HFile holder = platform.CreateFileW(path, kGenericRead | kGenericWrite, 3, kOpenAlways);
  ASSERT_TRUE(platform.LockFile(holder, kKeptEventsLockOffset, 0, kKeptEventsLockLength, 0));
  const HFile reader = platform.CreateFileW(path, kGenericRead, 3, kOpenExisting);
  char buffer[8];
  uint32_t read = 0;
  EXPECT_FALSE(platform.ReadFile(reader, buffer, sizeof buffer, &read));
  // An appender gives up after its tries, and says why.
  const KeepOutcome outcome = AppendKeptRecord(platform, path, "{}\r\n", 1024);
  EXPECT_EQ(outcome.result, KeepResult::failed);
  EXPECT_EQ(platform.Sleeps().size(), size_t{kKeptEventsLockTries - 1});
  platform.UnlockFile(holder, kKeptEventsLockOffset, 0, kKeptEventsLockLength, 0);
  EXPECT_TRUE(platform.ReadFile(reader, buffer, sizeof buffer, &read));
  EXPECT_EQ(read, 4u);
  platform.CloseHandle(reader);
  platform.CloseHandle(holder);
}

}  // namespace
}  // namespace qel
