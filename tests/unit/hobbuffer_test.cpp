#include "hobbuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace {

// The bytes of a buffer, after checking the zero byte that must follow them.
std::string Bytes(const CHobBuffer& b) {
  if (b.data == nullptr) {
    EXPECT_EQ(b.length, 0);
    return std::string();
  }
  EXPECT_EQ(b.data[b.length], '\0');
  return std::string(b.data, static_cast<size_t>(b.length));
}

CHobBuffer Of(const std::string& s) {
  return CHobBuffer(s.data(), static_cast<unsigned>(s.size()));
}

std::string RandomBytes(std::mt19937& random, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

}  // namespace

TEST(BufferStorage, EmptySourcesChooseNullOrZeroByteData) {
  EXPECT_EQ(CHobBuffer("abc", 0).data, nullptr);
  EXPECT_EQ(CHobBuffer(static_cast<const char*>(nullptr)).data, nullptr);
  const CHobBuffer empty("");
  ASSERT_NE(empty.data, nullptr);
  EXPECT_EQ(Bytes(empty), "");
  EXPECT_EQ(Bytes(CHobBuffer(3u)), std::string(3, '\0'));
}

TEST(BufferStorage, ZeroBytesSurviveCopiesAndAppends) {
  CHobBuffer b("a\0b", 3);
  EXPECT_EQ(b.Find("\0b", 2), 1);
  CHobBuffer copy(b);
  copy += b;
  EXPECT_EQ(Bytes(copy), std::string("a\0ba\0b", 6));
  copy.ReAlloc(8);
  EXPECT_EQ(Bytes(copy), std::string("a\0ba\0b\0\0", 8));
}

TEST(BufferStorage, AppendingOwnBytesSurvivesReallocation) {
  CHobBuffer b("abcdefgh");
  b.Append(b);
  EXPECT_EQ(Bytes(b), "abcdefghabcdefgh");
  b.Append(b.data + 1, 2);
  EXPECT_EQ(Bytes(b), "abcdefghabcdefghbc");
  b.Insert(b.data + 16, 2);
  EXPECT_EQ(Bytes(b), "bcabcdefghabcdefghbc");
}

TEST(BufferEdit, DeleteClampsToTheBytesAvailable) {
  struct Range {
    int pos, n;
    const char* expected;
  } ranges[] = {{1, 2, "ad"}, {3, 9, "abc"}, {4, 1, "abcd"}, {1, 0, "abcd"}, {-2, 1, "bcd"}};
  for (const Range& r : ranges) {
    CHobBuffer b("abcd");
    b.Delete(r.pos, r.n);
    EXPECT_EQ(Bytes(b), r.expected) << r.pos << "," << r.n;
  }
  CHobBuffer b("abcd");
  b.Delete(4);
  EXPECT_EQ(Bytes(b), "abcd");
  b.Delete(2);
  EXPECT_EQ(Bytes(b), "ab");
  b.Delete(-1);
  EXPECT_EQ(b.data, nullptr);
}

TEST(BufferEdit, PiecesClampAndJoinInOrder) {
  const CHobBuffer b("abcd");
  EXPECT_EQ(Bytes(b.Mid(4)), "");
  EXPECT_EQ(Bytes(b.Mid(-1)), "abcd");
  EXPECT_EQ(Bytes(b.Mid(3, 5)), "d");
  EXPECT_EQ(Bytes(b.Left(9)), "abcd");
  EXPECT_EQ(Bytes(b.Right(-2)), "");
  CHobBuffer x("abc");
  x.Insert("x", 1);
  EXPECT_EQ(Bytes(x + CHobBuffer("!")), "xabc!");
}

TEST(BufferFind, PatternIsTriedOnlyWhereItFits) {
  const CHobBuffer b("abcde");
  EXPECT_EQ(b.Find("de", 2), 3);
  EXPECT_EQ(b.Find("ef", 2), -1);
  EXPECT_EQ(b.Find("abcdef", 6), -1);
  EXPECT_EQ(b.Find("", 0, 2), 2);
  EXPECT_EQ(b.Find("", 0, 5), -1);
  EXPECT_EQ(b.Find("c", 1, 3), -1);
  // The zero byte after the data is no part of it.
  EXPECT_EQ(b.Find(std::string("e\0", 2).data(), 2), -1);
}

TEST(BufferToken, MissingMarkersGiveEmptyOrWhole) {
  EXPECT_EQ(Bytes(CHobBuffer("abc").GetToken("--", 2, false)), "");
  EXPECT_EQ(Bytes(CHobBuffer("abc").GetToken("--", 2, true)), "abc");
  EXPECT_EQ(Bytes(CHobBuffer("ab--c").GetToken("--", 2, false)), "ab");
  EXPECT_EQ(Bytes(CHobBuffer("x<yz>w").GetToken("<", 1, ">", 1)), "yz");
  EXPECT_EQ(Bytes(CHobBuffer("x<yz").GetToken("<", 1, ">", 1)), "");
  EXPECT_EQ(Bytes(CHobBuffer(">x<yz>").GetToken("<", 1, ">", 1)), "yz");
}

TEST(BufferReplace, MatchesDoNotOverlapAndReplacementIsNotSearched) {
  CHobBuffer b("aaaaa");
  EXPECT_EQ(b.Replace("aa", 2, "b", 1, true), 2);
  EXPECT_EQ(Bytes(b), "bba");
  b = CHobBuffer("aaaaa");
  EXPECT_EQ(b.Replace("aa", 2, "b", 1, false), 1);
  EXPECT_EQ(Bytes(b), "baaa");
  b = CHobBuffer("a\0a", 3);
  EXPECT_EQ(b.Replace("a", 1, "aa", 2, true), 2);
  EXPECT_EQ(Bytes(b), std::string("aa\0aa", 5));
  EXPECT_EQ(b.Replace("", 0, "x", 1, true), 0);
  EXPECT_EQ(b.Replace("aa\0aa", 5, "", 0, true), 1);
  EXPECT_EQ(b.data, nullptr);
}

TEST(BufferReplace, SpansEndAtFirstEndMarkerAndUnterminatedBeginStops) {
  CHobBuffer b("a<b>c<d>e");
  EXPECT_EQ(b.Replace("<", 1, ">", 1, "", 0, true), 2);
  EXPECT_EQ(Bytes(b), "ace");
  b = CHobBuffer("a<b>>c<d");
  EXPECT_EQ(b.Replace("<", 1, ">", 1, "[]", 2, true), 1);
  EXPECT_EQ(Bytes(b), "a[]>c<d");
  b = CHobBuffer("a|b|c|d");
  EXPECT_EQ(b.Replace("|", 1, "|", 1, "X", 1, true), 1);
  EXPECT_EQ(Bytes(b), "aXc|d");
}

TEST(BufferBase64, KnownVectorsAndPadding) {
  const char* vectors[][2] = {{"a", "YQ=="},        {"ab", "YWI="},        {"abc", "YWJj"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"\xFF\xFE", "//4="}};
  for (const auto& v : vectors) {
    CHobBuffer b(v[0]);
    EXPECT_EQ(Bytes(b.Base64Encode(0)), v[1]);
    EXPECT_EQ(Bytes(b.Base64Decode()), v[0]);
  }
  CHobBuffer empty("");
  EXPECT_EQ(Bytes(empty.Base64Encode(4)), "");
}

TEST(BufferBase64, LineFeedGoesBeforeGroupOnceLineIsFull) {
  const std::string hundred(100, 'x');
  const std::string lines = Bytes(CHobBuffer::Base64Encode(hundred.data(), 100, 76));
  ASSERT_EQ(lines.size(), 137u);
  EXPECT_EQ(lines.find('\n'), 76u);
  EXPECT_EQ(lines.substr(lines.size() - 2), "==");
  const std::string twelve = Bytes(CHobBuffer::Base64Encode(hundred.data(), 18, 10));
  EXPECT_EQ(twelve.size(), 12u + 1 + 12);
  EXPECT_EQ(twelve.find('\n'), 12u);
  const std::string exact = Bytes(CHobBuffer::Base64Encode(hundred.data(), 57, 76));
  EXPECT_EQ(exact.size(), 76u);
  const std::string oneLine = Bytes(CHobBuffer::Base64Encode(hundred.data(), 100, -1));
  EXPECT_EQ(oneLine.find('\n'), std::string::npos);
}

TEST(BufferBase64, RandomBytesRoundTripAtEveryLineLength) {
  std::mt19937 random(20240611);
  for (int len = 0; len < 130; ++len) {
    const std::string original = RandomBytes(random, static_cast<size_t>(len));
    const int lineLen = len % 9 * 8 - 8;
    CHobBuffer b = Of(original);
    b.Base64Encode(lineLen).Base64Decode();
    EXPECT_EQ(Bytes(b), original) << len << " at " << lineLen;
  }
}

TEST(BufferBase64, EveryPrefixDecodesToPrefixOfInput) {
  std::mt19937 random(7);
  const std::string original = RandomBytes(random, 40);
  const std::string encoded = Bytes(CHobBuffer::Base64Encode(original.data(), 40, 8));
  size_t previous = 0;
  for (size_t k = 0; k <= encoded.size(); ++k) {
    // An exactly sized copy lets the address checker catch any read past it.
    std::unique_ptr<char[]> prefix(new char[k]);
    encoded.copy(prefix.get(), k);
    const std::string got = Bytes(CHobBuffer::Base64Decode(prefix.get(), static_cast<int>(k)));
    EXPECT_EQ(original.compare(0, got.size(), got), 0) << k;
    EXPECT_GE(got.size(), previous) << k;
    previous = got.size();
  }
  EXPECT_EQ(previous, original.size());
}

TEST(BufferBase64, BytesOutsideAlphabetAreSkipped) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"YW\r\nJj", "abc"}, {" Y Q = = ", "a"},  {"Y", ""},   {"YQ", "a"},
               {"YWI", "ab"},       {"YQ==YWI=", "aab"}, {"*#\n", ""}};
  for (const Case& c : cases) EXPECT_EQ(Bytes(CHobBuffer(c.in).Base64Decode()), c.out) << c.in;
}
