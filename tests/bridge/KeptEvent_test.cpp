// The undelivered-events file's record: written and read back exactly, and
// every line that is no whole record skipped and reported.
#include "bridge/KeptEvent.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/SampleKeptEvent.h"

namespace qel {
namespace {

using ::testing::ElementsAre;

using test::SampleKeptEvent;

void ExpectSameEvent(const KeptEvent& a, const KeptEvent& b) {
  EXPECT_EQ(a.utc, b.utc);
  EXPECT_EQ(a.local, b.local);
  EXPECT_EQ(a.className, b.className);
  EXPECT_EQ(a.answers, b.answers);
  EXPECT_EQ(a.source, b.source);
  EXPECT_EQ(a.typePath, b.typePath);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.language, b.language);
  EXPECT_EQ(a.eventCode, b.eventCode);
  EXPECT_EQ(a.attributes, b.attributes);
  EXPECT_EQ(a.destination, b.destination);
  EXPECT_EQ(a.reserved, b.reserved);
}

TEST(KeptRecord, EveryTextComesBackExactlyFromOneLine) {
  const struct {
    const char* what;
    std::u16string text;
    std::string language;
  } cases[] = {
      {"quotes and backslashes", u"say \"hi\" \\ C:\\ci\\", "en"},
      {"line ends and tabs", u"a\r\nb\tc\nd\re", "en"},
      {"other control characters", std::u16string(u"\x01\x1F\x7F", 3), "en"},
      {"letters beyond ASCII", u"L\u00FCfter \u00E9 \u4E2D", "de"},
      {"a surrogate pair", u"disk \U0001F4BE", "en"},
      {"lone surrogates", std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC01)}, "en"},
      {"a narrow byte beyond ASCII", u"x", std::string("zh\xA9", 3)},
      {"empty texts", u"", ""},
  };
  for (const auto& c : cases) {
    KeptEvent event = SampleKeptEvent();
    event.text = c.text;
    event.className = c.text;
    event.attributes[2].value = c.text;
    event.language = c.language;
    event.eventCode = -2147483647 - 1;
    event.reserved = {1, -1, 0x7FFFFFFF, 4};
    const std::string line = FormatKeptRecord(event);
    // One line: the only line break is the CR LF at its end.
    ASSERT_GE(line.size(), 2u) << c.what;
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n") << c.what;
    EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 2) << c.what;
    const std::optional<KeptEvent> back = ParseKeptRecord(line.substr(0, line.size() - 2));
    ASSERT_TRUE(back.has_value()) << c.what << ": " << line;
    ExpectSameEvent(*back, event);
  }
}

TEST(KeptRecord, IsReadableText) {
  EXPECT_EQ(FormatKeptRecord(SampleKeptEvent()),
            "{\"version\":1,\"utc\":\"2026-12-09T21:33:01.250Z\","
            "\"local\":\"2026-12-09T22:33:01.250+01:00\",\"className\":\"CIM_Fan\","
            "\"answers\":[18,18],\"source\":\"CIM\",\"typePath\":[\"Marquel Agent Events\","
            "\"Fan\"],\"text\":\"Fan 2 stopped\",\"language\":\"en\",\"eventCode\":3,"
            "\"attributes\":[[\"CATEGORY\",9,\"Hardware\"],[\"CLASSNAME\",9,\"CIM_Fan\"],"
            "[\"TARGET\",9,\"srv01\"]],\"destination\":\"@EventServer\",\"reserved\":[0,0,0,0]}"
            "\r\n");
}

TEST(KeptRecord, ALineThatIsNoWholeRecordIsRefused) {
  std::string line = FormatKeptRecord(SampleKeptEvent());
  line.resize(line.size() - 2);
  // Cut anywhere, as the power failing mid-write cuts it.
  for (size_t length = 0; length < line.size(); ++length) {
    EXPECT_FALSE(ParseKeptRecord(line.substr(0, length)).has_value()) << length;
  }
  auto without = [&](const std::string& part) {
    std::string changed = line;
    changed.erase(changed.find(part), part.size());
    return changed;
  };
  auto replaced = [&](const std::string& part, const std::string& by) {
    std::string changed = line;
    changed.replace(changed.find(part), part.size(), by);
    return changed;
  };
  const struct {
    const char* what;
    std::string line;
  } cases[] = {
      {"a member missing", without(",\"text\":\"Fan 2 stopped\"")},
      {"the answers missing", without(",\"answers\":[18,18]")},
      {"another version", replaced("\"version\":1", "\"version\":2")},
      {"a text where a number goes", replaced("\"eventCode\":3", "\"eventCode\":\"3\"")},
      {"three reserved arguments", replaced("[0,0,0,0]", "[0,0,0]")},
      {"text after the record", line + "x"},
      {"a NUL where the disk lost bytes", replaced("Fan 2", std::string("Fan\0", 4) + "2")},
      {"a cut UTF-8 sequence", replaced("Fan 2", "Fan \xC3")},
  };
  for (const auto& c : cases) EXPECT_FALSE(ParseKeptRecord(c.line).has_value()) << c.what;
}

TEST(KeptRecords, ACutRecordIsSkippedAndReportedAndItsNeighboursRead) {
  KeptEvent first = SampleKeptEvent();
  KeptEvent second = SampleKeptEvent();
  second.text = u"second";
  KeptEvent third = SampleKeptEvent();
  third.text = u"third";
  const std::string cut = FormatKeptRecord(second).substr(0, 40);
  // The plug-in ends a cut line before it appends, so the next record
  // stands on a line of its own; an LF-only line is read as well.
  std::string third_lf = FormatKeptRecord(third);
  third_lf.erase(third_lf.size() - 2, 1);
  const std::string file =
      FormatKeptRecord(first) + cut + "\r\n" + "\r\n" + third_lf + FormatKeptRecord(second) + cut;

  const KeptRecords records = ReadKeptRecords(file);
  ASSERT_EQ(records.events.size(), 3u);
  EXPECT_EQ(records.events[0].text, u"Fan 2 stopped");
  EXPECT_EQ(records.events[1].text, u"third");
  EXPECT_EQ(records.events[2].text, u"second");
  EXPECT_THAT(records.skippedLines, ElementsAre(2u, 6u));
}

TEST(KeptRecordTimes, LocalTimeCarriesItsOffsetFromUtc) {
  const SystemTime utc{2026, 12, 3, 31, 23, 30, 0, 0};
  const struct {
    SystemTime local;
    const char* expected;
  } cases[] = {
      {{2027, 1, 5, 1, 0, 30, 0, 0}, "2027-01-01T00:30:00.000+01:00"},  // past the year's end
      {{2026, 12, 3, 31, 18, 30, 0, 0}, "2026-12-31T18:30:00.000-05:00"},
      {{2027, 1, 5, 1, 5, 15, 0, 0}, "2027-01-01T05:15:00.000+05:45"},
      {{2026, 12, 3, 31, 23, 30, 0, 999}, "2026-12-31T23:30:00.999+00:00"},  // read a moment later
      {{2026, 12, 3, 31, 22, 29, 59, 990}, "2026-12-31T22:29:59.990-01:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatLocalTime(c.local, utc), c.expected);
  EXPECT_EQ(FormatUtcTime(utc), "2026-12-31T23:30:00.000Z");
}

}  // namespace
}  // namespace qel
