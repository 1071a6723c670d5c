#include "hobstrary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hob_test.h"

namespace {

using Pieces = std::vector<std::string>;

Pieces Elements(const CHobStrAry& ary) {
  Pieces out;
  for (int i = 0; i < ary.count; i++) out.push_back(ary.GetAt(i)->m_pszText);
  return out;
}

TEST(StrAryStorage, CapacityRuns11Then22AndReallocationKeepsOrder) {
  CHobStrAry ary(0, 10);
  for (int i = 0; i < 11; i++) ary.Add(CHobString(i).m_pszText);
  EXPECT_EQ(ary.capacity, 11);
  EXPECT_EQ(ary.Add(ary.GetAt(10)->m_pszText), 11);  // value lies in the array being released
  EXPECT_EQ(ary.capacity, 22);
  EXPECT_EQ(Elements(ary), (Pieces{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "10"}));
}

TEST(StrAryStorage, LargeArraysGrowByHalfTheirSizeSoHugeSplitsStayLinear) {
  CHobStrAry ary(0, 10);
  for (int i = 0; i < 1024; i++) ary.Add("x");
  EXPECT_EQ(ary.capacity, 1034);  // still n + growBy up to the limit
  for (int i = 0; i < 11; i++) ary.Add("x");
  EXPECT_EQ(ary.capacity, 1035 + 10 + 1035 / 2);

  EXPECT_EQ(ary.SetToken(std::string(100000, '&').c_str(), "&"), 100001);
  EXPECT_STREQ(ary.GetAt(100000)->m_pszText, "");
}

TEST(StrAryStorage, ShrinkingMovesToNewArrayKeepingOrDroppingElements) {
  CHobStrAry ary;
  ary.SetToken("a,b,c", ",");
  ary.SetSize(4, false);  // within the capacity keep plays no part
  ary.SetSize(2, true);
  EXPECT_EQ(Elements(ary), (Pieces{"a", "b"}));
  EXPECT_EQ(ary.capacity, 12);
  ary.SetSize(1, false);
  EXPECT_EQ(Elements(ary), Pieces{""});
}

// Appends n strings to each of 100 arrays of this growBy.
void AppendToArrays(int growBy, int n) {
  for (int round = 0; round < 100; round++) {
    CHobStrAry ary(0, growBy);
    for (int i = 0; i < n; i++) ary.Add("item");
  }
}

// Below kHobSlotsLinearLimit the capacity grows by growBy alone; an array
// that moved to a block of that size each time would take quadratic time.
TEST(StrAryGrowth, AppendsTakeLinearTimeForGrowByOneAndTheDefault) {
  hobtest::ExpectLinearGrowth([](int n) { AppendToArrays(1, n); }, 128);
  hobtest::ExpectLinearGrowth([](int n) { AppendToArrays(10, n); }, 128);
}

// Each string must keep its index and its very block across the moves.
TEST(StrAryGrowth, GrowingMovesEachStringToItsIndexWithoutCopyingIt) {
  CHobStrAry ary(0, 1);
  std::vector<const char*> blocks;
  Pieces texts;
  for (int i = 0; i < 100; i++) {
    texts.push_back(std::to_string(i));
    blocks.push_back(ary.GetAt(ary.Add(texts.back().c_str()))->m_pszText);
  }
  int moved = 0;
  for (int i = 0; i < ary.count; i++) moved += ary.GetAt(i)->m_pszText == blocks[i];
  EXPECT_EQ(moved, 100);
  EXPECT_EQ(Elements(ary), texts);
  EXPECT_EQ(ary.capacity, 100);  // n + growBy as the 99th append left it
}

TEST(StrAryIndexing, InsertAndRemoveShiftElementsAndIgnoreBadIndexes) {
  CHobStrAry ary;
  ary.SetToken("a,b", ",");
  ary.InsertAt(0, ary.GetAt(1)->m_pszText);
  ary.RemoveAt(1);
  ary.RemoveAt(2);
  ary.SetAt(-1, "n");
  ary.InsertAt(-1, "n");
  EXPECT_EQ(ary.GetAt(-1), nullptr);
  ary.InsertAt(4, "y");  // the slot RemoveAt vacated must be empty again
  EXPECT_EQ(Elements(ary), (Pieces{"b", "b", "", "", "y"}));
}

TEST(StrAryOwnership, AssignTakesOverStorageAndDeletesTheSource) {
  CHobStrAry ary;
  ary.Add("old");
  CHobStrAry* other = new CHobStrAry(0, 5);
  other->Add("n");
  ary.Assign(other);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(ary.growBy, 5);
  EXPECT_EQ(Elements(ary), Pieces{"n"});
  ary.Assign(other);
  EXPECT_EQ(ary.count, 0);
}

TEST(StrArySort, OrdersByUnsignedBytesCaseSensitively) {
  CHobStrAry ary;
  ary.SetToken("b,\xC3\xA9,B,a", ",");
  ary.Sort(0);
  EXPECT_EQ(Elements(ary), (Pieces{"B", "a", "b", "\xC3\xA9"}));
  ary.Sort(1);
  EXPECT_EQ(Elements(ary), (Pieces{"\xC3\xA9", "b", "a", "B"}));
}

TEST(StrArySetToken, KSeparatorsGiveKPlusOnePieces) {
  CHobStrAry ary;
  ary.SetToken(",a--b--", "--");
  EXPECT_EQ(Elements(ary), (Pieces{",a", "b", ""}));
  ary.SetToken(ary.GetAt(0)->m_pszText, ",");  // text inside the array being emptied
  EXPECT_EQ(Elements(ary), (Pieces{"", "a"}));
  EXPECT_EQ(ary.SetToken("", ","), 1);
  EXPECT_EQ(ary.SetToken(nullptr, ","), 0);
  EXPECT_EQ(ary.SetToken("a,b", ""), 0);
}

TEST(StrArySetToken, MarkersAndCharacterSetsDropWhatTheyShould) {
  CHobStrAry ary;
  ary.SetToken("x[a]y[b]z[c", "[", "]");
  EXPECT_EQ(Elements(ary), (Pieces{"a", "b"}));
  ary.SetTokenOneOf("a, b;", ", ;");
  EXPECT_EQ(Elements(ary), (Pieces{"a", "", "b", ""}));
}

TEST(StrArySetToken, CodeRangeTokensKeepEndOfTextOnlyWhenCodeZeroStops) {
  CHobStrAry ary;
  ary.SetTokenToNotCode("id=abc;id=de", "id=", 97, 122);
  EXPECT_EQ(Elements(ary), (Pieces{"abc", "de"}));
  EXPECT_EQ(ary.SetTokenToNotCode("k=12", "k=", 0, 57), 0);
  EXPECT_EQ(ary.SetTokenToCode("a=xy;b=z", "=", 59, 59), 1);
  ary.SetTokenToCode("a=xy", "=", 0, 32);
  EXPECT_EQ(Elements(ary), Pieces{"xy"});
  ary.SetTokenToCode("a==b", "=", 0, 61);  // the consumed stop byte is no marker
  EXPECT_EQ(Elements(ary), Pieces{""});
  ary.SetTokenToNotCode("=\xE9\xFFx", "=", 0x80, 0xFF);
  EXPECT_EQ(Elements(ary), Pieces{"\xE9\xFF"});
}

}  // namespace
