#include "config/TextConversions.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/hosted/HostedPlatform.h"

namespace qel {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string text;
  for (int b : bytes) text += static_cast<char>(b);
  return text;
}

std::u16string Units(std::initializer_list<int> units) {
  std::u16string text;
  for (int u : units) text += static_cast<char16_t>(u);
  return text;
}

// Pairs that convert into each other in both directions.
struct Pair {
  std::u16string wide;
  std::string utf8;
};

TEST(TextConversions, EncodesAndDecodesEachUnitOnItsOwn) {
  const Pair pairs[] = {
      {u"", ""},
      {Units({0x41, 0xE9, 0x20AC}), Bytes({0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC})},
      {Units({0x7F, 0x80}), Bytes({0x7F, 0xC2, 0x80})},
      {Units({0x7FF, 0x800}), Bytes({0xDF, 0xBF, 0xE0, 0xA0, 0x80})},
      {Units({0xFFFF}), Bytes({0xEF, 0xBF, 0xBF})},
      // A surrogate pair is two units, each encoded as three bytes.
      {Units({0xD83D, 0xDE00}), Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
      {Units({0xFEFF, 0x6B}), Bytes({0xEF, 0xBB, 0xBF, 0x6B})},
  };
  for (const Pair& pair : pairs) {
    EXPECT_EQ(WideToUtf8(pair.wide), pair.utf8) << ::testing::PrintToString(pair.wide);
    EXPECT_EQ(Utf8ToWide(pair.utf8), pair.wide) << ::testing::PrintToString(pair.utf8);
  }
}

TEST(TextConversions, WideToUtf8StopsAtTheFirstNul) {
  EXPECT_EQ(WideToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(WideToUtf8(std::u16string(u"\0ab", 3)), "");
}

TEST(TextConversions, Utf8ToWideFollowsItsOwnRulesOnMalformedInput) {
  const struct {
    const char* what;
    std::string utf8;
    std::u16string wide;
  } cases[] = {
      {"four bytes keep the low 16 bits", Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({0xF600})},
      {"five bytes keep the low 16 bits", Bytes({0xF8, 0x80, 0x81, 0x88, 0xB4}), Units({0x1234})},
      {"six bytes keep the low 16 bits", Bytes({0xFC, 0x80, 0x80, 0x81, 0x88, 0xB4}),
       Units({0x1234})},
      {"continuation bytes are not checked", Bytes({0xC3, 0x28}), Units({0xE8})},
      {"top bits of continuations ignored", Bytes({0xE1, 0x48, 0xB4}), Units({0x1234})},
      {"overlong NUL is a NUL unit", Bytes({0xC0, 0x80}), Units({0})},
      {"Latin-1 text", Bytes({0x61, 0x62, 0x63, 0xE9, 0x64, 0x65, 0x66}),
       Units({0x61, 0x62, 0x63, 0x9925, 0x66})},
      {"stray continuation leads six bytes", Bytes({0x80, 0x61, 0x62, 0x63, 0x64, 0x65}),
       Units({0x3925})},
      {"and what follows is read on", Bytes({0x80, 0x61, 0x62, 0x63, 0x64, 0x65, 0x58}),
       Units({0x3925, 0x58})},
      {"stops at the first NUL", std::string("ab\0cd", 5), u"ab"},
      {"a NUL cuts a sequence short", std::string("\xC3\0A", 3), Units({0xFFFD})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.what;
  }
}

// A sequence cut off by the end of the input gives one U+FFFD and ends. The
// inputs sit in heap buffers that end where the input ends, so the sanitizer
// build catches any read beyond them.
TEST(TextConversions, Utf8ToWideEndsACutSequenceWithoutReadingPastTheInput) {
  const std::string lead(20, 'a');
  const std::string tails[] = {
      Bytes({0xC3}),
      Bytes({0xE2}),
      Bytes({0xE2, 0x82}),
      Bytes({0xF0, 0x9F, 0x98}),
      Bytes({0xF8, 0x80, 0x81, 0x88}),
      Bytes({0xFC, 0x80, 0x80, 0x81, 0x88}),
      Bytes({0x80}),
      Bytes({0x80, 0x61, 0x62, 0x63, 0x64}),
      Bytes({0xFF}),
  };
  for (const std::string& tail : tails) {
    std::string input = lead + tail;
    input.shrink_to_fit();
    ASSERT_EQ(input.capacity(), input.size()) << "the input must end where its buffer does";

    std::u16string expected(lead.begin(), lead.end());
    expected += u'\uFFFD';
    EXPECT_EQ(Utf8ToWide(input), expected) << ::testing::PrintToString(tail);
  }
}

TEST(TextConversions, EveryWideTextWithoutNulSurvivesTheRoundTrip) {
  std::mt19937 random(20240611);
  // Each range of the encoder, surrogates included, gets its share.
  const char16_t ranges[][2] = {
      {0x01, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xD800, 0xDFFF}, {0xE000, 0xFFFF}};
  std::uniform_int_distribution<int> pickRange(0, 4);
  std::uniform_int_distribution<int> pickLength(0, 40);
  for (int round = 0; round < 4000; ++round) {
    std::u16string text;
    for (int i = pickLength(random); i > 0; --i) {
      const auto& range = ranges[pickRange(random)];
      text += static_cast<char16_t>(std::uniform_int_distribution<int>(range[0], range[1])(random));
    }
    ASSERT_EQ(Utf8ToWide(WideToUtf8(text)), text) << ::testing::PrintToString(text);
  }
}

TEST(TextConversions, AnsiConversionsUseTheSystemCodePage) {
  HostedPlatform platform;
  const struct {
    std::u16string wide;
    std::string ansi;
  } toAnsi[] = {
      {u"", ""},
      {std::u16string(u"\0abc", 4), ""},
      {std::u16string(u"ab\0cd", 5), "ab"},
      {u"caf\u00E9 \u20AC", "caf\xE9 \x80"},
      {u"a\u4E2Db\u0100", "a?b?"},  // outside the code page: its default character
  };
  for (const auto& c : toAnsi) {
    EXPECT_EQ(WideToAnsi(platform, c.wide), c.ansi) << ::testing::PrintToString(c.wide);
  }

  const struct {
    std::string ansi;
    std::u16string wide;
  } toWide[] = {
      {"", u""},
      {std::string("ab\0cd", 5), std::u16string(u"ab\0cd", 5)},  // NUL converted like the rest
      {"\x80\x81\xDC", u"\u20AC\u0081\u00DC"},
  };
  for (const auto& c : toWide) {
    EXPECT_EQ(AnsiToWide(platform, c.ansi), c.wide) << ::testing::PrintToString(c.ansi);
  }
}

TEST(TextConversions, AnsiConversionsAskForTheSizeThenConvertWithoutTerminator) {
  HostedPlatform platform;
  EXPECT_EQ(WideToAnsi(platform, u"abc"), "abc");
  EXPECT_EQ(AnsiToWide(platform, "abc"), u"abc");
  // Code page 0 (the ANSI one); flags 0 and MB_PRECOMPOSED; explicit lengths.
  EXPECT_EQ(platform.CallLog(),
            (std::vector<std::string>{
                "WideCharToMultiByte(0, 0, 3, 0)", "WideCharToMultiByte(0, 0, 3, 3)",
                "MultiByteToWideChar(0, 1, 3, 0)", "MultiByteToWideChar(0, 1, 3, 3)"}));
}

TEST(TextConversions, AFailedAnsiConversionGivesAnEmptyText) {
  HostedPlatform platform;
  platform.FailCall("WideCharToMultiByte");
  platform.FailCall("MultiByteToWideChar");
  EXPECT_EQ(WideToAnsi(platform, u"abc"), "");
  EXPECT_EQ(AnsiToWide(platform, "abc"), u"");
}

}  // namespace
}  // namespace qel
