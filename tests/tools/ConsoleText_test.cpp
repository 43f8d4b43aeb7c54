#include "tools/ConsoleText.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace qel::tool {
namespace {

// What a console is handed: UTF-16 in whole characters, whatever the pieces
// the UTF-8 arrives in.
TEST(ConsoleTextTest, HandsWholeCharactersAsUtf16) {
  const struct {
    std::vector<std::string> writes;  // each followed by a flush
    std::vector<std::u16string> handed;
  } cases[] = {
      {{"\xC3\x9C"
        "berwachung\n"},
       {u"\u00DCberwachung\n"}},
      {{"Pr\xC3",
        "\xBC"
        "fung"},
       {u"Pr", u"\u00FCfung"}},
      {{"\xE2\x84", "\xA6 \xF0\x9F\x98", "\x80"}, {u"\u2126 ", u"\U0001F600"}},
      {{"cut \xE2\x84"}, {u"cut ", u"\uFFFD\uFFFD"}},  // the rest never came: handed at the end
  };
  for (const auto& c : cases) {
    std::vector<std::u16string> handed;
    {
      ConsoleTextBuffer buffer([&handed](const std::u16string& text) { handed.push_back(text); });
      std::ostream out(&buffer);
      for (const std::string& write : c.writes) out << write << std::flush;
    }
    EXPECT_EQ(handed, c.handed) << c.writes.front();
  }
}

}  // namespace
}  // namespace qel::tool
