// Kept events delivered again (qelevent-tool resend's core), through the
// plug-in's own one-post resend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "bridge/KeptEventsResend.h"
#include "bridge/ModuleState.h"
#include "config/InstallPaths.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/HostedInstallation.h"
#include "support/SampleKeptEvent.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char16_t kPath[] = u"C:\\Prog\\Telvar\\ci\\qelevent-undelivered.txt";

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Record(const std::string& text) {
  return FormatKeptRecord(test::SampleKeptEvent(std::u16string(text.begin(), text.end())));
}

std::string Text(const PostedEvent& event) {
  return std::string(event.text.begin(), event.text.end());
}

class Resending : public ::testing::Test {
 protected:
  void SetUp() override {
    installation_.InstallStringModule();
    installation_.WriteProperties("a=x.Telvar_Services.CIM_Fan\n");
    platform_.SetDiskWritable(true);
  }
  std::filesystem::path KeptFile() const {
    return installation_.CiFolder() / "qelevent-undelivered.txt";
  }
  void WriteKept(const std::string& bytes) const {
    std::ofstream(KeptFile(), std::ios::binary) << bytes;
  }
  ResendReport Resend() {
    return ResendKeptEvents(
        platform_, kPath,
        [this](std::string_view line, int32_t& answer) {
          return state_.ResendKeptEvent(line, answer) == 0;
        },
        nullptr);
  }
  std::vector<std::string> PostedTexts() const {
    std::vector<std::string> texts;
    for (const PostedEvent& event : platform_.Events()) texts.push_back(Text(event));
    return texts;
  }
  std::vector<std::string> KeptTexts() const {
    std::vector<std::string> texts;
    for (const KeptEvent& event : ReadKeptRecords(ReadBytes(KeptFile())).events) {
      texts.emplace_back(event.text.begin(), event.text.end());
    }
    return texts;
  }
  HostedPlatform platform_;
  test::HostedInstallation installation_{platform_};
  ModuleState state_{platform_};
};

// A refused event stays with every one after it, whole and in order; the
// delivered ones before it are gone, and a run answered 0 throughout then
// empties the file. The plug-in answering 14 (no desktop) takes nothing out.
TEST_F(Resending, StopsAtTheFirstEventNotDeliveredAndKeepsItAndAllAfter) {
  const struct {
    std::vector<int32_t> results;
    const char* failCall;  // the attach fails: the plug-in cannot post
    ResendReport::Stop stop;
    size_t delivered;
    std::vector<std::string> kept;
  } cases[] = {
      {{0, 0, 18}, nullptr, ResendReport::Stop::refused, 2, {"c", "d", "e"}},
      {{7}, nullptr, ResendReport::Stop::refused, 0, {"a", "b", "c", "d", "e"}},
      {{0, 0, 0, 0, 5}, nullptr, ResendReport::Stop::refused, 4, {"e"}},
      {{}, "OpenWindowStationA", ResendReport::Stop::notPosted, 0, {"a", "b", "c", "d", "e"}},
      {{}, nullptr, ResendReport::Stop::allDelivered, 5, {}},
  };
  for (const auto& c : cases) {
    WriteKept(Record("a") + Record("b") + Record("c") + Record("d") + Record("e"));
    platform_.ClearRecords();
    platform_.ClearFailures();
    for (int32_t result : c.results) platform_.QueueEventResults({result});
    if (c.failCall != nullptr) platform_.FailCall(c.failCall);
    const ResendReport report = Resend();
    EXPECT_EQ(report.stop, c.stop);
    EXPECT_EQ(report.delivered, c.delivered);
    EXPECT_EQ(KeptTexts(), c.kept);
    EXPECT_THAT(ReadKeptRecords(ReadBytes(KeptFile())).skippedLines, IsEmpty());
    EXPECT_EQ(platform_.Sleeps().size(), 0u);  // no two-minute waits
    if (c.stop == ResendReport::Stop::refused) {
      ASSERT_TRUE(report.refused.has_value());
      EXPECT_EQ(report.refused->text, std::u16string(1, static_cast<char16_t>(c.kept[0][0])));
      EXPECT_EQ(report.answer, c.results.back());
    }
    // Each post is the kept event's own, the first one again.
    for (const PostedEvent& event : platform_.Events()) {
      EXPECT_THAT(event.typePath, ElementsAre(u"Marquel Agent Events", u"Fan"));
      EXPECT_EQ(event.eventCode, 3);
    }
    // What a stopped run leaves, the next run delivers, and the file empties.
    platform_.ClearRecords();
    platform_.ClearFailures();
    EXPECT_EQ(Resend().stop, ResendReport::Stop::allDelivered);
    EXPECT_EQ(PostedTexts(), c.kept);
    EXPECT_EQ(ReadBytes(KeptFile()), "");
  }
}

// A line that is no whole record is never posted and stays; the records
// around it go. Blanks left by a run that was stopped are passed over.
TEST_F(Resending, PassesOverACutRecordAndLeavesOnlyIt) {
  const std::string cut = Record("cut").substr(0, 60);
  WriteKept(Record("a") + cut + "\r\n" + std::string(40, ' ') + "\r\n" + Record("b") + cut);
  const ResendReport report = Resend();
  EXPECT_EQ(report.stop, ResendReport::Stop::allDelivered);
  EXPECT_EQ(report.delivered, 2u);
  EXPECT_EQ(report.cutLines, 2u);
  EXPECT_THAT(PostedTexts(), ElementsAre("a", "b"));
  EXPECT_EQ(ReadBytes(KeptFile()), cut + "\r\n" + cut);
}

// Appenders in eight threads (each with its own handle and the system's lock,
// as host processes have) while runs deliver: every record posted exactly
// once, none left.
TEST_F(Resending, EightThreadsAppendingWhileItRunsLoseNothingAndSendNothingTwice) {
  platform_.SetSleepHook([](uint32_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kKeptEventsLockRetryMs));
  });
  std::string before;
  for (int i = 0; i < 100; ++i) before += Record("before " + std::to_string(i));
  WriteKept(before);
  constexpr size_t kThreads = 8;
  constexpr size_t kRecords = 40;
  std::atomic<int> failures{0};
  std::atomic<size_t> running{kThreads};
  {
    std::vector<std::unique_ptr<SystemThread>> threads;
    for (size_t t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<SystemThread>([&, t] {
        for (size_t i = 0; i < kRecords; ++i) {
          const std::string text = "thread " + std::to_string(t) + " " + std::to_string(i);
          if (AppendKeptRecord(platform_, kPath, Record(text), 1u << 22).result !=
              KeepResult::kept) {
            ++failures;
          }
        }
        --running;
      }));
    }
    while (running > 0) {
      if (Resend().stop != ResendReport::Stop::allDelivered) ++failures;
    }
  }
  EXPECT_EQ(Resend().stop, ResendReport::Stop::allDelivered);
  EXPECT_EQ(failures.load(), 0);
  std::map<std::string, int> posts;
  for (const std::string& text : PostedTexts()) ++posts[text];
  EXPECT_EQ(posts.size(), 100 + kThreads * kRecords);
  for (const auto& [text, count] : posts) EXPECT_EQ(count, 1) << text;
  EXPECT_EQ(ReadBytes(KeptFile()), "");
}

// A run that finds the record it posted changed under it stops there and
// takes nothing out: it cannot tell what it delivered.
TEST_F(Resending, ARecordChangedDuringItsPostStaysAndStopsTheRun) {
  WriteKept(Record("a") + Record("b"));
  const ResendReport report = ResendKeptEvents(
      platform_, kPath,
      [this](std::string_view, int32_t& answer) {
        WriteKept(Record("x") + Record("b"));
        answer = 0;
        return true;
      },
      nullptr);
  EXPECT_EQ(report.stop, ResendReport::Stop::failed);
  EXPECT_EQ(report.delivered, 0u);
  EXPECT_THAT(KeptTexts(), ElementsAre("x", "b"));
}

}  // namespace
}  // namespace qel
