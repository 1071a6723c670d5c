#include "hobstrpath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
