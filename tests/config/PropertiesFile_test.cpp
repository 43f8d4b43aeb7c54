#include "config/PropertiesFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/TextConversions.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using Entries = std::vector<std::pair<std::u16string, std::u16string>>;

class PropertiesFileTest : public ::testing::Test {
 protected:
  PropertiesFileTest() { platform_.SetDiskRoot(disk_.Path()); }

  // Writes |bytes| as C:\ci\test.properties and returns its Windows path.
  std::u16string Write(const std::string& bytes, const std::string& name = "test.properties") {
    disk_.Write("C/ci/" + name, bytes);
    return u"C:\\ci\\" + std::u16string(name.begin(), name.end());
  }

  // The entries as category map loading sees them: the keys listed, one
  // rewind, then each key's value by a forward search.
  static Entries Read(PropertiesFile& file) {
    std::vector<std::u16string> keys;
    file.EnumerateKeys(keys);
    file.Rewind();
    Entries entries;
    for (const std::u16string& key : keys) {
      std::u16string value = u"unset";
      file.FindValue(key, value);
      entries.emplace_back(key, value);
    }
    return entries;
  }

  Entries ReadBytes(const std::string& bytes) {
    PropertiesFile file(platform_, Write(bytes), std::ios_base::in);
    EXPECT_TRUE(file.is_open());
    return Read(file);
  }

  test::TempFolder disk_;
  HostedPlatform platform_;
};

TEST_F(PropertiesFileTest, TurnsLinesIntoEntries) {
  const Entries none;
  const struct {
    std::string bytes;
    Entries entries;
  } cases[] = {
      {"alpha=one", {{u"alpha", u"one"}}},
      {"   alpha=one   # remark\n", {{u"alpha", u"one"}}},
      {"\talpha=one\t\n", {{u"alpha", u"one"}}},
      {"alpha = one", {{u"alpha ", u" one"}}},
      {"a=b=c", {{u"a", u"b=c"}}},
      {"alpha=on;e\nbeta=on#e", {{u"alpha", u"on"}, {u"beta", u"on"}}},
      {"#alpha=one\n;alpha=one\nalpha\n=one\nalpha=\nalpha=   \n\n \t \n\t=\t\n", none},
      {std::string("alpha=on\0more=x#\n", 17), {{u"alpha", u"on"}}},
      {"sch\xC3\xB6n=gr\xC3\xBC\xC3\x9F", {{u"sch\u00F6n", u"gr\u00FC\u00DF"}}},
      {"k=1\nK=2\nk=3", {{u"k", u"1"}, {u"K", u"2"}, {u"k", u"3"}}},
      {"", none},
      {"\n\n", none},
      // Line ends as the Windows text mode delivers them.
      {"a=1\r\nb=2\r\n", {{u"a", u"1"}, {u"b", u"2"}}},
      {"a=1\rb=2\n", {{u"a", u"1\rb=2"}}},
      {"a=1\r\r\nb=2\r", {{u"a", u"1\r"}, {u"b", u"2\r"}}},
      {"a=1\n\x1A"
       "b=2\n",
       {{u"a", u"1"}}},
      {"a=1\x1A"
       "b=2\n",
       {{u"a", u"1"}}},
      {"\x1A"
       "a=1\n",
       none},
      {"\xEF\xBB\xBFk=v\n", {{u"\uFEFFk", u"v"}}},
      {"k=" + std::string(1021, 'x') + "\nb=2", {{u"k", std::u16string(1021, u'x')}, {u"b", u"2"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadBytes(c.bytes), c.entries) << ::testing::PrintToString(c.bytes);
  }
}

// A line longer than 1023 bytes gives its entry only when the rest could not
// have changed it; the lines after it are read either way.
TEST_F(PropertiesFileTest, SkipsTheRestOfAnOverlongLine) {
  const std::string pad(1100, ' ');
  const Entries kept = {{u"k", u"v"}, {u"b", u"2"}};
  const Entries dropped = {{u"b", u"2"}};
  const struct {
    const char* what;
    std::string line;
    Entries entries;
  } cases[] = {
      {"value cut short", "k=" + std::string(1022, 'x'), dropped},
      {"value of exactly 1023 bytes and a CR LF",
       "k=" + std::string(1021, 'x') + "\r",
       {{u"k", std::u16string(1021, u'x')}, {u"b", u"2"}}},
      {"comment inside the limit", "k=v#" + std::string(1100, 'c'), kept},
      {"NUL inside the limit", std::string("k=v\0", 4) + std::string(1100, 'c'), kept},
      {"only blanks beyond", "k=v" + pad + "\t ", kept},
      {"a comment beyond", "k=v" + pad + "# x=y", kept},
      {"text beyond", "k=v" + pad + "x", dropped},
      {"a lone CR beyond", "k=v" + pad + "\r ", dropped},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadBytes(c.line + "\nb=2\n"), c.entries) << c.what;
  }
}

TEST_F(PropertiesFileTest, FindValueSearchesForwardFromWhereItStopped) {
  PropertiesFile file(platform_, Write("k=1\nK=2\nalpha=3\n\xC3\xA4rger=4\n"), std::ios_base::in);
  std::vector<std::u16string> keys;
  file.EnumerateKeys(keys);
  EXPECT_THAT(keys, ::testing::ElementsAre(u"k", u"K", u"alpha", u"\u00E4rger"));

  // Without Rewind the search starts at the end.
  std::u16string value = u"unset";
  file.FindValue(u"k", value);
  EXPECT_EQ(value, u"");

  file.Rewind();
  file.FindValue(u"K", value);
  EXPECT_EQ(value, u"1");  // k=1 is the first line that matches K
  file.FindValue(u"K", value);
  EXPECT_EQ(value, u"2");
  file.FindValue(u"ALPHA", value);
  EXPECT_EQ(value, u"3");
  file.FindValue(u"k", value);
  EXPECT_EQ(value, u"");  // nothing matches after alpha
  EXPECT_TRUE(file.eof());

  file.Rewind();
  file.FindValue(u"\u00C4rger", value);  // only A-Z fold
  EXPECT_EQ(value, u"");
  file.Rewind();
  file.FindValue(u"\u00E4rger", value);
  EXPECT_EQ(value, u"4");

  value = u"unset";
  file.Rewind();
  file.FindValue(u"", value);
  EXPECT_EQ(value, u"unset");
}

// Every unit from '@' to DEL against its counterpart 0x20 away: each of A-Z
// matches its lower-case letter and back, and '@', '[', '`', '{' and the
// others beside the letters match only themselves.
TEST_F(PropertiesFileTest, FindValueFoldsExactlyTheLettersAToZ) {
  std::string lines;
  for (int unit = 0x40; unit <= 0x7F; ++unit) {
    const char c = static_cast<char>(unit);
    lines += std::string("x") + c + "=" + c + "\n";
  }
  PropertiesFile file(platform_, Write(lines), std::ios_base::in);
  for (int unit = 0x40; unit <= 0x7F; ++unit) {
    const int counterpart = unit ^ 0x20;
    const bool letter = (unit | 0x20) >= 'a' && (unit | 0x20) <= 'z';
    // A letter's first line is its upper-case one; anything else finds its own.
    const int expected = letter ? unit & ~0x20 : counterpart;
    std::u16string value;
    file.Rewind();
    file.FindValue(std::u16string{u'x', static_cast<char16_t>(counterpart)}, value);
    EXPECT_EQ(value, std::u16string(1, static_cast<char16_t>(expected)))
        << "key x" << static_cast<char>(counterpart);
  }
}

TEST_F(PropertiesFileTest, AMissingFileGivesNothingAndKeepsThePath) {
  PropertiesFile file(platform_, u"C:\\ci/missing.properties", std::ios_base::in);
  EXPECT_FALSE(file.is_open());
  EXPECT_TRUE(file.fail());
  EXPECT_EQ(file.path(), u"C:\\ci/missing.properties");

  std::vector<std::u16string> keys = {u"kept"};
  file.EnumerateKeys(keys);
  EXPECT_THAT(keys, ::testing::ElementsAre(u"kept"));
  std::u16string value = u"kept";
  file.FindValue(u"k", value);
  EXPECT_EQ(value, u"kept");
}

TEST_F(PropertiesFileTest, OpensAReadOnlyFileForReadingButNotForUpdate) {
  const std::ios_base::openmode update = std::ios_base::in | std::ios_base::out;
  EXPECT_TRUE(PropertiesFile(platform_, Write("k=v\n", "writable.properties"), update).is_open());

  const std::u16string path = Write("k=v\n");
  platform_.SetReadOnly("C:\\ci\\test.properties");
  EXPECT_FALSE(PropertiesFile(platform_, path, update).is_open());
  PropertiesFile file(platform_, path, std::ios_base::in);
  EXPECT_EQ(Read(file), (Entries{{u"k", u"v"}}));
}

TEST_F(PropertiesFileTest, OpensByTheWidePathOrItsUtf8Form) {
  Write("k=v\n", "\xC3\xBC.properties");
  PropertiesFile file(platform_, u"C:\\ci\\\u00FC.properties", std::ios_base::in);
  EXPECT_EQ(Read(file), (Entries{{u"k", u"v"}}));
  EXPECT_THAT(
      platform_.CallLog(),
      ::testing::Contains(::testing::HasSubstr("CreateFileW(\"C:\\ci\\\xC3\xBC.properties\"")));

  PropertiesFile narrow(platform_, u"C:\\ci\\none", std::ios_base::in);
  narrow.Open(std::string("C:\\ci\\\xC3\xBC.properties"), std::ios_base::in);
  EXPECT_TRUE(narrow.is_open());
  EXPECT_EQ(narrow.path(), u"C:\\ci\\\u00FC.properties");
  EXPECT_EQ(Read(narrow), (Entries{{u"k", u"v"}}));
}

TEST_F(PropertiesFileTest, ASecondOpenFailsAndEndsTheReading) {
  PropertiesFile file(platform_, Write("k=v\n"), std::ios_base::in);
  file.Open(Write("other=1\n", "other.properties"), std::ios_base::in);
  EXPECT_TRUE(file.fail());
  EXPECT_TRUE(file.is_open());
  EXPECT_EQ(file.path(), u"C:\\ci\\other.properties");

  std::vector<std::u16string> keys = {u"old"};
  file.EnumerateKeys(keys);  // must come to an end, with nothing
  EXPECT_TRUE(keys.empty());

  // The first file is still the one attached.
  file.Rewind();
  std::u16string value;
  file.FindValue(u"k", value);
  EXPECT_EQ(value, u"v");
}

// The 9x family has no wide file functions: there the file is opened by the
// ANSI form of its path.
TEST_F(PropertiesFileTest, OnThe9xFamilyOpensTheAnsiPath) {
  Write("k=v\n", "\xC3\xBC.properties");
  platform_.SetPlatformId(1);
  PropertiesFile file(platform_, u"C:\\ci\\\u00FC.properties", std::ios_base::in);
  EXPECT_EQ(Read(file), (Entries{{u"k", u"v"}}));
  EXPECT_EQ(platform_.CallCount("CreateFileW"), 0);
  EXPECT_THAT(platform_.CallLog(),
              ::testing::Contains(::testing::HasSubstr("CreateFileA(\"C:\\ci\\\xFC.properties\"")));
}

// The file arrives in several reads: lines, and a CR LF pair, that straddle
// the reads' boundaries come out whole, and a read that fails after others
// succeeded leaves no file rather than a part of one.
TEST_F(PropertiesFileTest, ReadsAFileLargerThanOneReadWholeOrNotAtAll) {
  std::string bytes;
  Entries entries;
  for (int i = 0; bytes.size() < 3 * 4096; ++i) {
    const std::string value(i % 23 * 41 + 1, 'v');  // lengths that fall on every offset
    bytes += "k" + std::to_string(i) + "=" + value + "\r\n";
    entries.emplace_back(u"k" + Utf8ToWide(std::to_string(i)), Utf8ToWide(value));
  }
  const std::u16string path = Write(bytes + "last=1\x1A" + "after=2\n");
  entries.emplace_back(u"last", u"1");
  PropertiesFile whole(platform_, path, std::ios_base::in);
  EXPECT_EQ(Read(whole), entries);

  struct FailingSecondRead : HostedPlatform {
    bool ReadFile(HFile file, void* buffer, uint32_t size, uint32_t* read) override {
      return ++reads != 2 && HostedPlatform::ReadFile(file, buffer, size, read);
    }
    int reads = 0;
  } failing;
  failing.SetDiskRoot(disk_.Path());
  PropertiesFile file(failing, path, std::ios_base::in);
  EXPECT_FALSE(file.is_open());
  EXPECT_TRUE(file.fail());
  EXPECT_EQ(failing.CallCount("CloseHandle"), 1);
}

TEST_F(PropertiesFileTest, FailsToOpenWhatThePlatformRefusesOrAnOverlongPath) {
  const std::u16string path = Write("k=v\n");
  for (const char* call : {"CreateFileW", "ReadFile"}) {
    platform_.FailCall(call, 1);
    EXPECT_FALSE(PropertiesFile(platform_, path, std::ios_base::in).is_open()) << call;
  }
  EXPECT_EQ(platform_.CallCount("CloseHandle"), 1);  // the file that could not be read
  // A reader neither creates nor cuts a file.
  for (std::ios_base::openmode mode : {std::ios_base::out, std::ios_base::in | std::ios_base::trunc,
                                       std::ios_base::in | std::ios_base::app}) {
    EXPECT_FALSE(PropertiesFile(platform_, path, mode).is_open()) << mode;
  }
  EXPECT_EQ(platform_.CallCount("CreateFileW"), 2);

  PropertiesFile overlong(platform_, u"C:\\ci\\" + std::u16string(300, u'x'), std::ios_base::in);
  EXPECT_FALSE(overlong.is_open());
  EXPECT_EQ(overlong.path(), u"");
}

}  // namespace
}  // namespace qel
