#include "hobstring.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string Text(const CHobString& s) { return s.m_pszText != nullptr ? s.m_pszText : "<none>"; }

}  // namespace

TEST(StringStorage, NullSourcesStillLeaveAnEmptyBlock) {
  CHobString assigned("x");
  assigned = static_cast<const char*>(nullptr);
  CHobString released("x");
  released._Free();
  CHobString copyOfReleased(released);
  released = static_cast<const char*>(nullptr);
  for (const CHobString* s : {&assigned, &copyOfReleased, &released}) {
    ASSERT_NE(s->m_pszText, nullptr);
    EXPECT_STREQ(s->m_pszText, "");
  }
  CHobString grown("hello");
  grown.ReAlloc(2);
  grown.ReAlloc(8);
  EXPECT_EQ(Text(grown), "he");
  EXPECT_EQ(std::string(grown.m_pszText + 2, 7), std::string(7, '\0'));
}

TEST(StringNumber, ExtremeValuesOfEveryTypePrintInFull) {
  EXPECT_EQ(Text(CHobString(static_cast<unsigned short>(65535))), "65535");
  EXPECT_EQ(Text(CHobString(static_cast<short>(-1))), "-1");
  EXPECT_EQ(Text(CHobString(INT_MIN)), "-2147483648");
  EXPECT_EQ(Text(CHobString(UINT_MAX)), "4294967295");
  EXPECT_EQ(Text(CHobString(LONG_MAX)), std::to_string(LONG_MAX));
  CHobString s("old text");
  s = LONG_MIN;
  EXPECT_EQ(Text(s), std::to_string(LONG_MIN));
  s = ULONG_MAX;
  EXPECT_EQ(Text(s), std::to_string(ULONG_MAX));
}

TEST(StringNumber, ConversionsParseAsLongThenTruncate) {
  EXPECT_EQ(static_cast<int>(CHobString(" 42abc")), 42);
  EXPECT_EQ(static_cast<int>(CHobString("abc")), 0);
  EXPECT_EQ(static_cast<unsigned int>(CHobString("-1")), 4294967295u);
  EXPECT_EQ(static_cast<unsigned short>(CHobString("70000")), 4464);
  EXPECT_EQ(static_cast<int>(CHobString("99999999999")), static_cast<int>(99999999999L));
  EXPECT_EQ(static_cast<long>(CHobString("-99999999999999999999")), LONG_MIN);
}

TEST(StringJoin, OwnTextAsSourceSurvivesReallocation) {
  CHobString s("abcdefghijklmnopqrstuvwxyz");
  s += s;
  EXPECT_EQ(Text(s), "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
  s = "abc";
  s += s.m_pszText + 1;
  s.Insert(s);
  EXPECT_EQ(Text(s), "abcbcabcbc");
  char bang[] = "!";
  EXPECT_EQ(Text(CHobString("world").Insert("hello ") + bang), "hello world!");
}

TEST(StringExtract, OutOfRangeAndNegativeArgumentsClamp) {
  const CHobString s("hello");
  EXPECT_EQ(Text(s.Mid(5)), "");
  EXPECT_EQ(Text(s.Mid(-3)), "hello");
  EXPECT_EQ(Text(s.Mid(3, 10)), "lo");
  EXPECT_EQ(Text(s.Mid(-2, 2)), "he");
  EXPECT_EQ(Text(s.Left(10)), "hello");
  EXPECT_EQ(Text(s.Left(-1)), "");
  EXPECT_EQ(Text(s.Right(3)), "llo");
  EXPECT_EQ(Text(s.Right(10)), "hello");
}

TEST(StringDelete, CutAndRangeClampToTheText) {
  struct Case {
    int pos, n;
    const char* expected;
  } cases[] = {{1, 2, "hlo"},   {3, 10, "hel"}, {1, 0, "hello"},
               {5, 1, "hello"}, {-1, 2, "llo"}, {4, -3, "hello"}};
  for (const Case& c : cases) {
    CHobString s("hello");
    s.Delete(c.pos, c.n);
    EXPECT_EQ(Text(s), c.expected) << c.pos << "," << c.n;
  }
  CHobString s("hello");
  s.Delete(5);
  EXPECT_EQ(Text(s), "hello");
  s.Delete(2);
  EXPECT_EQ(Text(s), "he");
  s.Delete(-1);
  EXPECT_EQ(Text(s), "");
}

TEST(StringFind, StartAtOrPastEndFindsNothing) {
  const CHobString s("abcabc");
  EXPECT_EQ(s.Find("c", 3), 5);
  EXPECT_EQ(s.Find("c", 6), -1);
  EXPECT_EQ(s.Find("", 2), 2);
  EXPECT_EQ(s.Find("", 6), -1);
  EXPECT_EQ(s.FindNoCase("BC", 2), 4);
  EXPECT_EQ(s.FindNoCase("CABCX", 0), -1);
}

TEST(StringFind, KnownLengthFormsStopAtTheGivenLength) {
  EXPECT_EQ(CHobString::FindIn("abcabc", 6, "c", 3), 5);
  EXPECT_EQ(CHobString::FindIn("abcabc", 6, "c", 6), -1);
  EXPECT_EQ(CHobString::FindIn("abcabc", 3, "", 3), -1);
  EXPECT_EQ(CHobString::FindNoCaseIn("abcabc", 6, "BC", 2), 4);
  EXPECT_EQ(CHobString::FindNoCaseIn("abcabc", 4, "BC", 2), -1);
}

TEST(StringTrim, OnlySingleByteWhiteSpaceIsRemoved) {
  EXPECT_EQ(Text(CHobString(" \t a b \r\n").Trim()), "a b");
  EXPECT_EQ(Text(CHobString("\v\f   ").Trim()), "");
  EXPECT_EQ(Text(CHobString("a\xA0").TrimRight()), "a\xA0");
}

// No byte that may follow a lead byte is white space, so a space after one
// is no second byte: Latin-1 "café " (E9 20) loses its space.
TEST(StringTrim, SpaceAfterALeadByteIsTrimmed) {
  EXPECT_EQ(Text(CHobString("caf\xE9 ").TrimRight()), "caf\xE9");
  EXPECT_EQ(Text(CHobString("\x82\x20 \t").TrimRight()), "\x82");
  EXPECT_EQ(Text(CHobString("\xA4\xA2 ").TrimRight()), "\xA4\xA2");
  EXPECT_EQ(Text(CHobString("ab \x82").TrimRight()), "ab \x82");
}

TEST(StringReplace, ReplacementIsNeverSearchedAgain) {
  CHobString s("aaaa");
  EXPECT_EQ(s.Replace("aa", "a", true), 2);
  EXPECT_EQ(Text(s), "aa");
  s = "banana";
  EXPECT_EQ(s.Replace("a", "aa", true), 3);
  EXPECT_EQ(Text(s), "baanaanaa");
  EXPECT_EQ(s.Replace("aa", "x", false), 1);
  EXPECT_EQ(Text(s), "bxnaanaa");
  EXPECT_EQ(s.Replace("", "x", true) + s.ReplaceNoCase("", "]", "x", true), 0);
  EXPECT_EQ(Text(s), "bxnaanaa");
}

TEST(StringReplace, UnterminatedBeginStopsTheSearch) {
  CHobString s("a<!--W-->b<!--/W-->c<!--W-->d<!--w-->e");
  EXPECT_EQ(s.Replace("<!--W-->", "<!--/W-->", "X", true), 1);
  EXPECT_EQ(Text(s), "aXc<!--W-->d<!--w-->e");
  s = "a%b%c%d";
  EXPECT_EQ(s.Replace("%", "%", "X", true), 1);
  EXPECT_EQ(Text(s), "aXc%d");
}

TEST(StringReplace, MarkerPairKeepsTheTextBetween) {
  CHobString s("x[1]y[2]");
  EXPECT_EQ(s.Replace("[", "]", "<b>", "</b>", true), 2);
  EXPECT_EQ(Text(s), "x<b>1</b>y<b>2</b>");
  s = "x<B>1</b>y<b>2</B>";
  EXPECT_EQ(s.ReplaceNoCase("<b>", "</b>", "[", "]", false), 1);
  EXPECT_EQ(Text(s), "x[1]y<b>2</B>");
  s = "Hi %name%, %Name%";
  EXPECT_EQ(s.ReplaceNoCase("%NAME%", "Bob", true), 2);
  EXPECT_EQ(Text(s), "Hi Bob, Bob");
}

TEST(StringFormat, OutputIsCutAt4095Bytes) {
  CHobString s("own");
  EXPECT_EQ(Text(s.Format("%d-%s", 7, s.m_pszText)), "7-own");
  const std::string big(5000, 'q');
  EXPECT_EQ(Text(s.Format("%s", big.c_str())), big.substr(0, 4095));
}

TEST(StringCode, FirstDecidingByteWins) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {{"", 0},
               {"abc", 0},
               {"\x1b$B", 3},
               {"\x1b(Bab", 0},
               {"a\xA4\xA2", 1},
               {"\x82\xA0", 2},
               {"\xE0\xA1", 2},
               {"\xFD", 1},
               {"ab\xE0", 0},
               {"\xE0\xA1\xE0", 2},
               {"\x8E\x40", 2},
               {"\xA1", 2},
               {"\xE0\x40", 2},
               {"\xE0\xA1\xFE", 1},
               {"\x8E\xA1\xA4\xA2", 1},
               // The edges of the lead-byte ranges, each with a second byte both codes allow.
               {"\x9F\xA1", 2},
               {"\xA0\xA1", 1},
               {"\xDF\xA1", 1},
               {"\xFC\xA1", 2},
               {"\xFD\xA1", 1}};
  for (const Case& c : cases) EXPECT_EQ(CHobString::IsCode(c.text), c.code) << Text(c.text);
}

TEST(StringPercent, EncodersKeepTheirOwnSafeSets) {
  const CHobString s("a b/c~\xC3\xA9");
  EXPECT_EQ(Text(s.CharToPerHex()), "a+b%2Fc%7E%C3%A9");
  EXPECT_EQ(Text(s.CharToPerHexWithoutSlash()), "a+b/c%7E%C3%A9");
  EXPECT_EQ(Text(CHobString("a b").CharToPerHexAll()), "%61+%62");
  EXPECT_EQ(Text(CHobString("*-._%+!'()").CharToPerHex()), "*-._%25%2B%21%27%28%29");
}

TEST(StringPercent, DecodingEndsAtDecodedZeroByte) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"a+b%2Fc%7e", "a b/c~"}, {"%41%4a", "AJ"}, {"%zz1", ""}, {"x%5", "xP"},
               {"100%", "100"},          {"a%00b", "a"},   {"%", ""},    {"ab%4", "ab@"}};
  for (const Case& c : cases) EXPECT_EQ(Text(CHobString(c.in).PerHexToChar()), c.out) << c.in;
}

TEST(StringPercent, EveryByteRoundTripsThroughAllEncoders) {
  for (int b = 1; b <= 255; ++b) {
    const char one[] = {'<', static_cast<char>(b), '>', '\0'};
    const CHobString s(one);
    EXPECT_EQ(Text(s.CharToPerHexAll().PerHexToChar()), one) << b;
    EXPECT_EQ(Text(s.CharToPerHex().PerHexToChar()), one) << b;
    EXPECT_EQ(Text(s.CharToPerHexWithoutSlash().PerHexToChar()), one) << b;
    EXPECT_EQ(Text(s.CharToHex().HexToChar()), one) << b;
  }
}

TEST(StringPercent, EveryPrefixOfAnEscapeDecodesWithinBounds) {
  const std::string encoded = "%41%4a+%7E";
  const std::string full = "AJ ~";
  for (size_t k = 0; k <= encoded.size(); ++k) {
    const std::string got = Text(CHobString(encoded.substr(0, k).c_str()).PerHexToChar());
    // A cut escape may decode to a different last byte; everything before it is kept.
    const std::string settled = got.empty() ? got : got.substr(0, got.size() - 1);
    EXPECT_EQ(full.compare(0, settled.size(), settled), 0) << k;
  }
}

TEST(StringHex, OddLengthTakesTerminatorAsLowDigit) {
  EXPECT_EQ(Text(CHobString("AZ\xFF").CharToHex()), "415AFF");
  EXPECT_EQ(Text(CHobString("414a").HexToChar()), "AJ");
  EXPECT_EQ(Text(CHobString("ABC").HexToChar()), "\xAB\xC0");
  EXPECT_EQ(Text(CHobString("41004142").HexToChar()), "A");
}

// Octal escapes keep the letter after a high byte a separate character:
// "\203AB" is 0x83 "A" "B".
TEST(StringCase, SecondByteOfTwoByteCharacterIsLeftAlone) {
  EXPECT_EQ(Text(CHobString("aBc").ToUpper()), "ABC");
  EXPECT_EQ(Text(CHobString("AbC").ToLower()), "abc");
  EXPECT_EQ(Text(CHobString("\203AB").ToLower()), "\203Ab");
  EXPECT_EQ(Text(CHobString("\340ab").ToUpper()), "\340aB");
  EXPECT_EQ(Text(CHobString("\244\242A").ToLower()), "\244\242a");
  EXPECT_EQ(Text(CHobString("\304b").ToUpper()), "\304B");
  EXPECT_EQ(Text(CHobString("a\375").ToUpper()), "A\375");
  // Shift_JIS half-width katakana look like EUC-JP pairs: "\261\262\263\203A"
  // is "ｱｲｳア", whose "A" is the second byte of "ア".
  EXPECT_EQ(Text(CHobString("\261\262\263\203A").ToLower()), "\261\262\263\203A");
}

TEST(StringToken, MissingMarkersGiveEmptyOrWhole) {
  EXPECT_EQ(Text(CHobString("</a>x<a>hi</a>").GetToken("<a>", "</a>")), "hi");
  EXPECT_EQ(Text(CHobString("x<a>hi").GetToken("<a>", "</a>")), "");
  EXPECT_EQ(Text(CHobString("key=value").GetToken("=", false)), "key");
  EXPECT_EQ(Text(CHobString("=value").GetToken("=", true)), "");
  EXPECT_EQ(Text(CHobString("novalue").GetToken("=", false)), "");
  EXPECT_EQ(Text(CHobString("novalue").GetToken("=", true)), "novalue");
  EXPECT_EQ(Text(CHobString("a;b,c").GetTokenOneOf(",;", false)), "a");
  EXPECT_EQ(Text(CHobString("abc").GetTokenOneOf(",;", false)), "");
}

TEST(StringToken, FindOneOfStopsAtTheEnd) {
  const CHobString s("a;b,c");
  EXPECT_EQ(s.FindOneOf(",;", 0), 1);
  EXPECT_EQ(s.FindOneOf(",;", 2), 3);
  EXPECT_EQ(s.FindOneOf(",;", 4), -1);
  EXPECT_EQ(s.FindOneOf(",;", 5), -1);
}
