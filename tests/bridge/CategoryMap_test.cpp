#include "bridge/CategoryMap.h"

#include <gtest/gtest.h>

namespace qel {
namespace {

TEST(CategoryMap, AddsOnlyWhatIsAbsentAndLooksUpWithoutAdding) {
  CategoryMap map;
  EXPECT_EQ(map.lookup(u"Fan"), u"");
  EXPECT_EQ(map.lookup(u"Fan"), u"");
  EXPECT_EQ(map.size(), 0u);  // unknown names leave no entry behind

  map.addIfAbsent(u"Fan", u"Fan category");
  map.addIfAbsent(u"Fan", u"other");  // never replaces
  map.addIfAbsent(u"fan", u"lower");  // keys are case-sensitive
  map.addIfAbsent(u"", u"empty name");
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.lookup(u"Fan"), u"Fan category");
  EXPECT_EQ(map.lookup(u"fan"), u"lower");
  EXPECT_EQ(map.lookup(u"FAN"), u"");
  EXPECT_EQ(map.lookup(u""), u"empty name");
  EXPECT_EQ(map.size(), 3u);
}

}  // namespace
}  // namespace qel
