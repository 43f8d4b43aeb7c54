#include "stubs/vnxsdevt/EventRecord.h"

#include <gtest/gtest.h>

#include <vector>

namespace qel::stub {
namespace {

TEST(EventRecord, WritesEveryArgumentAndFollowsTheLists) {
  EventAttribute records[3] = {{u"CATEGORY", 0, 0, 9, u"c\"1\\"},
                               {u"CLASSNAME", 1, 2, 9, u"Caf\u00e9\n"},
                               {nullptr, 0, 0, 0, nullptr}};
  EventAttribute* list[] = {&records[0], &records[1], &records[2], nullptr};
  const char16_t* typePath[] = {u"Marquel Agent Events", u"", nullptr};
  VnxEventArgs args{u"CIM", typePath, u"t\u00e9xt\U0001F600", "en", 5, -7, list,
                    8,      9,        "@EventServer",         11};
  EXPECT_EQ(EventToJson(args, 18),
            "{\"source\":\"CIM\",\"typePath\":[\"Marquel Agent Events\",\"\"],"
            "\"text\":\"t\\u00e9xt\\ud83d\\ude00\",\"language\":\"en\",\"arg5\":5,"
            "\"eventCode\":-7,\"attributes\":["
            "{\"name\":\"CATEGORY\",\"reserved\":[0,0],\"type\":9,\"value\":\"c\\\"1\\\\\"},"
            "{\"name\":\"CLASSNAME\",\"reserved\":[1,2],\"type\":9,\"value\":\"Caf\\u00e9\\n\"},"
            "{\"name\":null,\"reserved\":[0,0],\"type\":0,\"value\":null}],"
            "\"arg8\":8,\"arg9\":9,\"destination\":\"@EventServer\",\"arg11\":11,"
            "\"result\":18}");
}

TEST(EventRecord, ShowsNullPointersAndStopsAtAMissingTerminator) {
  std::vector<const char16_t*> endless(kMaxListEntries + 1, u"x");
  VnxEventArgs args{nullptr, endless.data(), nullptr, nullptr, 0, 0, nullptr, 0, 0, "\xe9", 0};
  std::string json = EventToJson(args, 0);
  EXPECT_NE(json.find("\"source\":null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"text\":null,\"language\":null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"attributes\":null,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"destination\":\"\\u00e9\""), std::string::npos) << json;
  std::string typePath = json.substr(json.find("\"typePath\":"));
  typePath = typePath.substr(0, typePath.find(']') + 1);
  std::string expected = "\"typePath\":[";
  for (int i = 0; i < kMaxListEntries; ++i) expected += "\"x\",";
  EXPECT_EQ(typePath, expected + "\"unterminated\"]");
}

TEST(ResultQueue, HandsOutTheListInOrderThenZero) {
  struct Case {
    const char* list;
    bool complete;
    std::vector<int32_t> results;
  } cases[] = {
      {"", true, {}},           {"18,0", true, {18, 0}}, {" 6 ; 6,\t7 ", true, {6, 6, 7}},
      {"-1,+5", true, {-1, 5}}, {"5,x,6", false, {5}},   {"99999999999,1", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    ResultQueue queue;
    queue.Set("42");
    EXPECT_EQ(queue.Set(c.list), c.complete);
    for (int32_t expected : c.results) EXPECT_EQ(queue.Next(), expected);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Next(), 0);
  }
}

}  // namespace
}  // namespace qel::stub
