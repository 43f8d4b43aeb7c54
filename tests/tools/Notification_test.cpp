#include "tools/Notification.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qel::tool {
namespace {

using ::testing::HasSubstr;

TEST(NotificationTest, ReadsTheFiveArguments) {
  Notification n;
  std::string error;
  ASSERT_TRUE(ParseNotification(
      R"({"target": "srv\u00e401", "eventCode": -7, "className": "CIM_Fan",
          "eventText": "Fan \"2\" stopped", "categoryAttribute": ""})",
      n, error))
      << error;
  EXPECT_EQ(n.eventCode, -7);
  EXPECT_EQ(n.className, u"CIM_Fan");
  EXPECT_EQ(n.eventText, u"Fan \"2\" stopped");
  EXPECT_EQ(n.categoryAttribute, u"");
  EXPECT_EQ(n.target, u"srv\u00e401");

  // Text beyond the BMP arrives as a surrogate pair, and the code range is
  // the whole of int32.
  ASSERT_TRUE(ParseNotification(
      "{\"eventCode\": 2147483647, \"className\": \"\xF0\x9F\x94\xA5\", \"eventText\": \"\", "
      "\"categoryAttribute\": \"\", \"target\": \"\"}",
      n, error))
      << error;
  EXPECT_EQ(n.eventCode, 2147483647);
  EXPECT_EQ(n.className, u"\U0001F525");
  ASSERT_TRUE(ParseNotification(R"({"eventCode": -2147483648, "className": "", "eventText": "",
                                    "categoryAttribute": "", "target": ""})",
                                n, error));
  EXPECT_EQ(n.eventCode, INT32_MIN);
}

TEST(NotificationTest, RefusesWhatIsNotANotification) {
  const std::string rest = R"("eventText": "t", "categoryAttribute": "c", "target": "x")";
  const struct {
    std::string line;
    std::string reason;
  } cases[] = {
      {R"({"eventCode": 1, "className": "A", )" + rest, "not valid JSON"},
      {"eventCode=1", "not valid JSON"},
      {"{\"eventCode\": 1, \"className\": \"\xC3\x28\", " + rest + "}", "not valid JSON"},
      {R"([1, "CIM_Fan"])", "not a JSON object"},
      {R"("CIM_Fan")", "not a JSON object"},
      {R"({"className": "A", )" + rest + "}", "\"eventCode\" is missing"},
      {R"({"eventCode": 1, )" + rest + "}", "\"className\" is missing"},
      {R"({"eventCode": 1, "className": "A", "categoryAttribute": "c", "target": "x"})",
       "\"eventText\" is missing"},
      {R"({"eventCode": 1, "className": "A", "eventText": "t", "target": "x"})",
       "\"categoryAttribute\" is missing"},
      {R"({"eventCode": 1, "className": "A", "eventText": "t", "categoryAttribute": "c"})",
       "\"target\" is missing"},
      {R"({"eventCode": "1", "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": 1.5, "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": 2147483648, "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": -2147483649, "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": 18446744073709551615, "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": null, "className": "A", )" + rest + "}", "whole number"},
      {R"({"eventCode": 1, "className": 7, )" + rest + "}", "\"className\" must be a string"},
      {R"({"eventCode": 1, "className": null, )" + rest + "}", "\"className\" must be a string"},
      {R"({"eventCode": 1, "className": "A", "eventText": ["t"], "categoryAttribute": "c",
           "target": "x"})",
       "\"eventText\" must be a string"},
      {R"({"eventCode": 1, "className": "A", "classname": "B", )" + rest + "}",
       "unknown field \"classname\""},
      {R"({"eventCode": 1, "className": "A", "className": "B", )" + rest + "}",
       "\"className\" is given twice"},
  };
  for (const auto& c : cases) {
    Notification n;
    n.className = u"untouched";
    std::string error;
    EXPECT_FALSE(ParseNotification(c.line, n, error)) << c.line;
    EXPECT_THAT(error, HasSubstr(c.reason)) << c.line;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(n.className, u"untouched") << c.line;
  }
}

TEST(NotificationTest, ConvertsJsonTextByTheStandards) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } pairs[] = {
      {"", u""},
      {"CIM_Fan", u"CIM_Fan"},
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", u"gr\u00FC\u00DF \u20AC"},
      {"\xF0\x9F\x94\xA5!", u"\U0001F525!"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(FromJsonText(p.utf8), p.utf16) << p.utf8;
    EXPECT_EQ(ToJsonText(p.utf16), p.utf8) << p.utf8;
  }
  // What is not a character comes out as U+FFFD, one per byte or unit.
  EXPECT_EQ(FromJsonText("a\xC3(b"), u"a\uFFFD(b");
  EXPECT_EQ(FromJsonText("\xC0\xAF"), u"\uFFFD\uFFFD");                      // overlong "/"
  EXPECT_EQ(FromJsonText("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // a surrogate
  EXPECT_EQ(FromJsonText("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  EXPECT_EQ(FromJsonText("\xF0\x9F\x94"), u"\uFFFD\uFFFD\uFFFD");            // cut short
  EXPECT_EQ(ToJsonText(std::u16string(u"a") + char16_t(0xD83D) + u"b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToJsonText(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

// |parse| reads each text of |good| as its value, and refuses each of |bad|
// with |reason|, leaving the value it was given as it was.
template <typename Value>
void ExpectOptionValues(bool (*parse)(const std::string&, Value&, std::string&),
                        const std::vector<std::pair<std::string, Value>>& good,
                        const std::vector<std::string>& bad, const std::string& reason,
                        const Value& before) {
  for (const auto& [text, expected] : good) {
    Value value = before;
    std::string error;
    EXPECT_TRUE(parse(text, value, error)) << text << ": " << error;
    EXPECT_EQ(value, expected) << text;
  }
  for (const std::string& text : bad) {
    Value value = before;
    std::string error;
    EXPECT_FALSE(parse(text, value, error)) << text;
    EXPECT_THAT(error, HasSubstr(reason)) << text;
    EXPECT_EQ(value, before) << text;
  }
}

TEST(NotificationTest, ReadsResultLists) {
  ExpectOptionValues<std::vector<int32_t>>(
      ParseResults,
      {{"18,0", {18, 0}},
       {" 6 , 6 ", {6, 6}},
       {"-1", {-1}},
       {"+5", {5}},
       {"2147483647,-2147483648", {INT32_MAX, INT32_MIN}}},
      {"", "18,", ",0", "18;0", "eighteen", "1 8", "0x12", "18.0", "2147483648", "-2147483649",
       "99999999999999999999", "-"},
      "not a list of results", {42});
}

TEST(NotificationTest, ReadsLocaleIdentifiers) {
  ExpectOptionValues<uint32_t>(
      ParseLcid,
      {{"0x0407", 0x0407}, {"0X0C04", 0x0C04}, {"1031", 1031}, {"0", 0}, {"0xFFFFF", 0xFFFFF}},
      {"", "de", "0x", "-1", "+1031", "0x100000", "1048576", "0x04 07", "0x0407h",
       "99999999999999999999999"},
      "not a locale identifier", 0x0409);
}

}  // namespace
}  // namespace qel::tool
