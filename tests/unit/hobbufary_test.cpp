#include "hobbufary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Pieces = std::vector<std::string>;

// The elements as byte strings, zero bytes included.
Pieces Elements(const CHobBufAry& ary) {
  Pieces out;
  for (int i = 0; i < ary.count; i++)
    out.emplace_back(ary.GetAt(i)->data ?: "", ary.GetAt(i)->length);
  return out;
}

TEST(BufArySetToken, ZeroBytesAreOrdinaryData) {
  CHobBufAry ary;
  ary.SetToken("a\0b\0c", 5, "\0", 1);
  EXPECT_EQ(Elements(ary), (Pieces{"a", "b", "c"}));
  ary.SetToken("x\0y--\0--", 8, "--", 2);
  EXPECT_EQ(Elements(ary), (Pieces{"x\0y"s, "\0"s, ""}));
  ary.SetToken("\0<a\0b>\0<c>\0<d", 13, "<", 1, ">", 1);
  EXPECT_EQ(Elements(ary), (Pieces{"a\0b"s, "c"}));
  ary.SetToken(ary.GetAt(0)->data, 3, "", 0);  // source inside the array being emptied
  EXPECT_EQ(ary.count, 0);
}

TEST(BufAryIndexing, ElementAddedToItselfSurvivesReallocation) {
  CHobBufAry ary;
  for (int i = 0; i < 11; i++) ary.Add("\0x", 2);
  EXPECT_EQ(ary.Add(*ary.GetAt(0)), 11);
  EXPECT_EQ(ary.capacity, 22);
  ary.InsertAt(1, "z\0", 2);
  ary.RemoveAt(0);
  EXPECT_EQ(Elements(ary).front(), "z\0"s);
}

TEST(BufAryIndexing, GrowingMovesEachBufferToItsIndexWithoutCopyingIt) {
  CHobBufAry ary(0, 1);
  std::vector<const char*> blocks;
  for (int i = 0; i < 100; i++) blocks.push_back(ary.GetAt(ary.Add("\0b", 2))->data);
  int moved = 0;
  for (int i = 0; i < ary.count; i++) moved += ary.GetAt(i)->data == blocks[i];
  EXPECT_EQ(moved, 100);
  EXPECT_EQ(Elements(ary), Pieces(100, "\0b"s));
}

}  // namespace
