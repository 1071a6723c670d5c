#include "hobstrpath.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hob_test.h"

namespace {

using Pieces = std::vector<std::string>;

Pieces Components(const CHobStrPath& path) {
  Pieces out;
  for (int i = 0; i < path.m_aryDir.count; i++) out.push_back(path.m_aryDir.GetAt(i)->m_pszText);
  return out;
}

TEST(StrPathSplit, AbsoluteMixedSeparatorsJoinBackWithSlashes) {
  CHobStrPath path;
  path.Split("/var//www\\html/index.tar.gz");
  EXPECT_EQ(Components(path), (Pieces{"", "var", "www", "html"}));
  EXPECT_STREQ(path.m_strBase.m_pszText, "index.tar");
  EXPECT_STREQ(path.FullPath("/").m_pszText, "/var/www/html/index.tar.gz");
  EXPECT_STREQ(path.Directory(nullptr).m_pszText, "varwwwhtml");
}

TEST(StrPathSplit, DirectoryAndExtensionOfRelativeAndWindowsPaths) {
  // text, Directory("/"), FullPath("/"), extension
  const char* const cases[][4] = {
      {"file.txt", "", "/file.txt", ".txt"},
      {"C:\\dir\\f", "C:/dir", "C:/dir/f", ""},
      {"a/../b.d/.htaccess", "a/../b.d", "a/../b.d/.htaccess", ".htaccess"},
      {"site///", "site", "site/", ""},
      {"\\srv\\share/", "/srv/share", "/srv/share/", ""},
      {"//name.", "", "/name.", "."},
  };
  for (const auto& c : cases) {
    CHobStrPath path;
    path.Split(c[0]);
    EXPECT_STREQ(path.Directory("/").m_pszText, c[1]) << c[0];
    EXPECT_STREQ(path.FullPath("/").m_pszText, c[2]) << c[0];
    EXPECT_STREQ(path.m_strExt.m_pszText, c[3]) << c[0];
  }
}

TEST(StrPathSplit, SecondByteOfTwoByteCharacterIsNotASeparator) {
  CHobStrPath path;
  path.Split("a\x95\\b/c");  // Shift_JIS 0x95 0x5C
  EXPECT_EQ(Components(path), Pieces{"a\x95\\b"});
  path.Split("\xB1\\x");  // a Shift_JIS half-width katakana is one byte: the "\" splits
  EXPECT_EQ(Components(path), Pieces{"\xB1"});
  path.Split("a/\x95");  // lead byte before the terminator
  EXPECT_STREQ(path.m_strFile.m_pszText, "\x95");
}

// A lead byte pairs only with a byte that may follow it in the text's code,
// and "/" never may.
TEST(StrPathSplit, SlashAfterALeadByteAlwaysSeparates) {
  CHobStrPath path;
  path.Split("caf\xE9/x");  // Latin-1 "café": 63 61 66 E9 2F 78
  EXPECT_EQ(Components(path), Pieces{"caf\xE9"});
  path.Split("/\xB1\xB2\xB3\x82\xE0/x");  // Shift_JIS "ｱｲｳも": B1 B2 B3 half-width, 82 E0
  EXPECT_EQ(Components(path), (Pieces{"", "\xB1\xB2\xB3\x82\xE0"}));
  path.Split("\xA4\xA2\x8F\xB0\xE0\\x");  // EUC-JP A4 A2, the three bytes 8F B0 E0, "\"
  EXPECT_EQ(Components(path), Pieces{"\xA4\xA2\x8F\xB0\xE0"});
}

// Random bytes, many of them lead bytes, and "/" but no "\": every "/"
// separates, so the pieces hold no "/" and join back into the text with
// each run of "/" made one.
TEST(StrPathSplit, RandomBytesSplitAtEverySlash) {
  std::mt19937 random(2024);
  CHobStrPath path;
  for (int round = 0; round < 20000; round++) {
    std::string text = "/";
    for (int length = random() % 12; length > 0; length--) {
      const char byte = static_cast<char>(random() % 4 == 0 ? '/' : 1 + random() % 255);
      if (byte != '\\') text += byte;
    }
    std::string normal;
    for (char byte : text) {
      if (byte != '/' || normal.empty() || normal.back() != '/') normal += byte;
    }
    path.Split(text.c_str());
    ASSERT_EQ(path.FullPath("/").m_pszText, normal) << testing::PrintToString(text);
    for (const std::string& piece : Components(path)) ASSERT_EQ(piece.find('/'), std::string::npos);
  }
}

// In UTF-8 every byte of 0x80 and above belongs to a character that holds
// no "/" or "\\"; taken for Shift_JIS, "テ" (E3 83 86) would swallow a "/".
TEST(StrPathSplit, Utf8TextIsSplitByteByByte) {
  CHobStrPath path;
  path.Split("/var/www/\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88/");
  EXPECT_EQ(Components(path), (Pieces{"", "var", "www", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"}));
  path.Split("/a/\xC3\xA9\\b\xF0\x9F\x98\x80/c");  // é, a backslash, an emoji
  EXPECT_EQ(Components(path), (Pieces{"", "a", "\xC3\xA9", "b\xF0\x9F\x98\x80"}));
  path.Split("\xE3\x83\x86\\x");  // "テ\": in Shift_JIS 86 5C would be one character
  EXPECT_EQ(Components(path), Pieces{"\xE3\x83\x86"});
  // Not UTF-8 (an overlong form, a lone continuation byte): the old rule.
  path.Split("\xC0\xAF\x95\\/x");
  EXPECT_EQ(Components(path), Pieces{"\xC0\xAF\x95\\"});
}

TEST(StrPathSplit, EveryOneCharacterUtf8NameStaysOneComponent) {
  const std::pair<char32_t, char32_t> ranges[] = {{0xA0, 0x24F},     // Latin-1 and Latin Extended
                                                  {0x400, 0x4FF},    // Cyrillic
                                                  {0x3041, 0x30FF},  // hiragana and katakana
                                                  {0x4E00, 0x9FFF},  // CJK ideographs
                                                  {0xAC00, 0xD7A3},  // Hangul syllables
                                                  {0x1F600, 0x1F64F}};
  CHobStrPath path;
  for (const auto& [first, last] : ranges) {
    for (char32_t c = first; c <= last; c++) {
      std::string name = hobtest::Utf8(c);
      path.Split(("/var/www/" + name + "/").c_str());
      ASSERT_EQ(path.Directory("/").m_pszText, "/var/www/" + name) << std::hex << c;
    }
  }
}

TEST(StrPathGrowth, EightTimesTheComponentsTakeAtMostSixteenTimesAsLong) {
  hobtest::ExpectLinearGrowth(
      [](int components) {
        std::string text;
        for (int i = 0; i < components; i++) text += "/\xE3\x83\x86";
        CHobStrPath path;
        path.Split(text.c_str());
        EXPECT_EQ(path.Directory("/").GetLength(), 4 * (components - 1));
      },
      20000);
}

TEST(StrPathCopy, AssigningTextLeavesMembersAndMayReadTheOwnText) {
  CHobStrPath path("a/b");
  EXPECT_EQ(Components(path), Pieces{});
  path.Split(nullptr);
  path = "c/d";
  CHobStrPath copy(path);
  path.Split(nullptr);
  EXPECT_STREQ(copy.m_pszText, "c/d");
  EXPECT_EQ(Components(copy), Pieces{"a"});
  copy = path;
  EXPECT_STREQ(copy.m_strFile.m_pszText, "d");
  path.Split(path.m_pszText + 1);  // "/d", inside the block that Split releases
  EXPECT_EQ(Components(path), Pieces{""});
  path = path.m_pszText + 1;
  EXPECT_STREQ(path.m_pszText, "d");
}

}  // namespace
