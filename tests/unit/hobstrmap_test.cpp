#include "hobstrmap.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(StrMapLookup, FirstOfDuplicateTagsWinsAndMissesGiveEmptyResults) {
  CHobStrMap map;
  map.AppendTag("k");
  map.AppendTag("k");
  map.items[1].data = "x,y";
  CHobStrAry out;
  EXPECT_EQ(map.Values("k", ",", out), 1);
  EXPECT_EQ(map.SetAt("k", "new"), 0);
  EXPECT_EQ(map.Add("k", "other"), -1);
  EXPECT_STREQ(map.Value("k").m_pszText, "new");
  EXPECT_STREQ(map.Value(1).m_pszText, "x,y");
  EXPECT_EQ(map.Values(1, ",", out), 2);
  EXPECT_STREQ(map.Value("K").m_pszText, "");
  EXPECT_EQ(map.Data(2), nullptr);
  EXPECT_EQ(map.Values("x", ",", out), 0);
  EXPECT_EQ(out.count, 0);
}

TEST(StrMapInsert, AddKeepsAndSetAtReplacesTheValue) {
  CHobStrMap map;
  EXPECT_EQ(map.Add("a", "1"), 0);
  EXPECT_EQ(map.Add("a", "2"), -1);
  EXPECT_STREQ(map.Value("a").m_pszText, "1");
  EXPECT_EQ(map.SetAt("a", map.Data("a")->data.m_pszText), 0);  // value inside the entry
  EXPECT_EQ(map.SetAtFormat("b", "%d", 3), 1);
  EXPECT_EQ(map.AddFormat("c", "%s", std::string(5000, 'z').c_str()), 2);
  EXPECT_EQ(map.Value("c").GetLength(), 4095);
}

TEST(StrMapStorage, AppendsGrowCapacity11Then22KeepingOrder) {
  CHobStrMap map;
  for (int i = 0; i < 11; i++) map.AddFormat(CHobString(i).m_pszText, "v%d", i);
  EXPECT_EQ(map.capacity, 11);
  // Key "v0" and value "10" lie in the old array; both must survive the move.
  EXPECT_EQ(map.Add(map.Data(0)->data.m_pszText, map.Data(10)->tag.m_pszText), 11);
  EXPECT_EQ(map.capacity, 22);
  EXPECT_STREQ(map.items[10].tag.m_pszText, "10");
  EXPECT_STREQ(map.Value("v0").m_pszText, "10");
}

TEST(StrMapStorage, GrowingMovesTagsAndValuesWithoutCopyingThem) {
  CHobStrMap map;
  std::vector<std::pair<const char*, const char*>> blocks;
  for (int i = 0; i < 100; i++) {
    const CHobStrMap::Entry* entry = map.Data(map.Add(CHobString(i).m_pszText, "v"));
    blocks.emplace_back(entry->tag.m_pszText, entry->data.m_pszText);
  }
  int moved = 0;
  for (int i = 0; i < map.count; i++) {
    moved += map.items[i].tag.m_pszText == blocks[i].first &&
             map.items[i].data.m_pszText == blocks[i].second && map.items[i].tag == CHobString(i);
  }
  EXPECT_EQ(moved, 100);
}

TEST(StrMapStorage, ShrinkingMovesToNewArrayKeepingOrDroppingEntries) {
  CHobStrMap map;
  map.Add("a", "1");
  map.Add("b", "2");
  map.SetSize(3, false);  // within the capacity keep plays no part
  map.SetSize(2, true);
  EXPECT_EQ(map.capacity, 12);
  EXPECT_STREQ(map.Value("b").m_pszText, "2");
  map.SetSize(1, false);
  EXPECT_STREQ(map.items[0].tag.m_pszText, "");
}

}  // namespace
