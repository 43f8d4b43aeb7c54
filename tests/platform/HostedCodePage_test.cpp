// The hosted platform's ANSI code page (Windows-1252): the ground under the
// text conversion tests.
#include <gtest/gtest.h>

#include <string>

#include "platform/hosted/HostedPlatform.h"

namespace qel {
namespace {

std::u16string ToWide(HostedPlatform& platform, const std::string& ansi) {
  std::u16string wide(ansi.size(), u'\0');
  int n = platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, ansi.data(),
                                       static_cast<int>(ansi.size()), &wide[0],
                                       static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(n));
  return wide;
}

std::string ToAnsi(HostedPlatform& platform, const std::u16string& wide,
                   const char* defaultChar = nullptr, int* usedDefault = nullptr) {
  std::string ansi(wide.size(), '\0');
  int n =
      platform.WideCharToMultiByte(kCpAcp, 0, wide.data(), static_cast<int>(wide.size()), &ansi[0],
                                   static_cast<int>(ansi.size()), defaultChar, usedDefault);
  ansi.resize(static_cast<size_t>(n));
  return ansi;
}

TEST(HostedCodePage, EveryByteRoundTrips) {
  HostedPlatform platform;
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::u16string wide = ToWide(platform, all);
  ASSERT_EQ(wide.size(), 256u);

  const struct {
    uint8_t byte;
    char16_t unit;
  } known[] = {
      {0x00, 0x0000}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160},
      {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x99, 0x2122}, {0x9D, 0x009D},
      {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xDC, 0x00DC}, {0xFF, 0x00FF},
  };
  for (const auto& k : known) {
    EXPECT_EQ(wide[k.byte], k.unit) << "byte " << int{k.byte};
  }

  int usedDefault = -1;
  EXPECT_EQ(ToAnsi(platform, wide, nullptr, &usedDefault), all);
  EXPECT_EQ(usedDefault, 0);
}

TEST(HostedCodePage, WhatItCannotRepresentBecomesTheDefaultCharacter) {
  HostedPlatform platform;
  int usedDefault = -1;
  // Han, Latin Extended-A, a lone surrogate, a C1 control Windows-1252 assigns.
  const std::u16string text = {u'a', 0x4E2D, 0x0100, 0xD800, 0x0080};
  EXPECT_EQ(ToAnsi(platform, text, nullptr, &usedDefault), "a????");
  EXPECT_EQ(usedDefault, 1);
  EXPECT_EQ(ToAnsi(platform, u"a\u4E2D", "*"), "a*");
}

TEST(HostedCodePage, FollowsTheSizeQueryProtocol) {
  HostedPlatform platform;
  char narrow[8] = {};
  char16_t wide[8] = {};
  // Size 0 asks for the size; -1 counts the terminator; a short buffer fails.
  EXPECT_EQ(platform.WideCharToMultiByte(kCpAcp, 0, u"abc", 3, nullptr, 0, nullptr, nullptr), 3);
  EXPECT_EQ(platform.WideCharToMultiByte(kCpAcp, 0, u"abc", -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(platform.WideCharToMultiByte(kCpAcp, 0, u"abc", 3, narrow, 2, nullptr, nullptr), 0);
  EXPECT_EQ(platform.WideCharToMultiByte(kCpAcp, 0, u"abc", 0, narrow, 8, nullptr, nullptr), 0);
  EXPECT_EQ(platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, "abc", 3, nullptr, 0), 3);
  EXPECT_EQ(platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, "abc", 3, wide, 2), 0);
  EXPECT_EQ(platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, "abc", 0, wide, 8), 0);

  EXPECT_EQ(platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, "abc", -1, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide), u"abc");
}

}  // namespace
}  // namespace qel
