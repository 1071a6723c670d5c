#include "hobaccess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hob_test.h"

namespace {

using namespace std::string_literals;

const std::string kB = "# BEGIN hob-htpasswd\n";
const std::string kE = "# END hob-htpasswd";
const char kAuth[] = "AuthType Basic\nAuthUserFile /srv/www/d/.htpasswd\nRequire valid-user\n";

std::string Text(const CHobBuffer& bytes) {
  return bytes.data == nullptr ? std::string() : std::string(bytes.data, bytes.length);
}

// text with the block holding blockText, or "DAMAGED@line" / "BAD_BLOCK".
std::string With(const std::string& text, const char* blockText) {
  CHobBuffer out;
  int stray = 0;
  int result =
      CHobAccess::WithBlock(text.data(), static_cast<int>(text.size()), blockText, out, &stray);
  if (result == HOB_ACCESS_DAMAGED) return "DAMAGED@" + std::to_string(stray);
  if (result == HOB_ACCESS_BAD_BLOCK) return "BAD_BLOCK";
  EXPECT_EQ(out.data == nullptr ? 0 : out.data[out.length], '\0');
  return Text(out);
}

// text without the block, or "DAMAGED@line"; whether it had one into *found.
std::string Without(const std::string& text, bool* found = nullptr) {
  CHobBuffer out;
  bool had = false;
  int stray = 0;
  int result =
      CHobAccess::WithoutBlock(text.data(), static_cast<int>(text.size()), out, had, &stray);
  if (found != nullptr) *found = had;
  return result == HOB_ACCESS_OK ? Text(out) : "DAMAGED@" + std::to_string(stray);
}

bool Keeps(const std::string& before, const std::string& after) {
  return CHobAccess::KeepsOutsideLines(before.data(), static_cast<int>(before.size()), after.data(),
                                       static_cast<int>(after.size()));
}

TEST(AccessBlock, OwnerLinesWithoutFinalNewlineSurviveAddReplaceRemove) {
  const std::string owner = "Options -Indexes\nRewriteEngine On\nRewriteRule ^old$ /new [R=301,L]";
  std::string added = With(owner, kAuth);
  EXPECT_EQ(added, owner + "\n" + kB + kAuth + kE);
  std::string replaced = With(added, "Require user ann");
  EXPECT_EQ(replaced, owner + "\n" + kB + "Require user ann\n" + kE);
  bool found = false;
  EXPECT_EQ(Without(replaced, &found), owner);
  EXPECT_TRUE(found);
  EXPECT_EQ(Without(owner, &found), owner);
  EXPECT_FALSE(found);
  EXPECT_TRUE(Keeps(owner, added));
  EXPECT_TRUE(Keeps(added, replaced));
}

// Each case: the file, the file with the block "X", the file without block.
TEST(AccessBlock, BlockReplacedWhereItStandsOrAppendedKeepingEveryOtherByte) {
  const std::string block = kB + "X\n" + kE;
  const std::string cases[][3] = {
      {"", block + "\n", ""},
      {"a\n", "a\n" + block + "\n", "a\n"},
      {"a \t\n\0b\r"s, "a \t\n\0b\r\n"s + block, "a \t\n\0b\r"s},
      {"A\r\n# BEGIN hob-htpasswd\r\nold\r\n# END hob-htpasswd\r\nB \r\n",
       "A\r\n" + block + "\nB \r\n", "A\r\nB \r\n"},
      {"  # BEGIN hob-htpasswd \nx\n# END hob-htpasswd\t\nmid\n" + kB + "y\n" + kE + "\n",
       block + "\nmid\n", "mid\n"},
      {"a\n" + kB + "x\n" + kE + "\n" + kB + "y\n" + kE, "a\n" + block + "\n", "a\n"},
      {"\n" + kB + "x\n" + kE, "\n" + block, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(With(c[0], "X"), c[1]) << c[0];
    EXPECT_EQ(Without(c[0]), c[2]) << c[0];
    EXPECT_EQ(Without(c[1]), c[2]) << c[0];
    EXPECT_TRUE(Keeps(c[0], c[1])) << c[0];
  }
}

TEST(AccessBlock, BlockTextEndsInOneLineFeedAndHoldsNoMarker) {
  EXPECT_EQ(With("", "X\r\n\n\n"), kB + "X\n" + kE + "\n");
  EXPECT_EQ(With("", ""), kB + kE + "\n");
  EXPECT_EQ(With("a\n", "X\n# END hob-htpasswd\nY"), "BAD_BLOCK");
  CHobBuffer out;
  EXPECT_EQ(CHobAccess::WithBlock(nullptr, 0, "X", out), HOB_ACCESS_OK);
  EXPECT_EQ(Text(out), kB + "X\n" + kE + "\n");
}

TEST(AccessDamage, StrayMarkerRefusedWithItsLineAndNothingProduced) {
  const std::string cases[][2] = {
      {"a\n" + kB + "b\n", "DAMAGED@2"},
      {"a\nb\n" + kE, "DAMAGED@3"},
      {kB + "x\n" + kB + "y\n" + kE, "DAMAGED@3"},
      {kB + kE + "\n" + kE + "\n", "DAMAGED@3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(With(c[0], "X"), c[1]) << c[0];
    EXPECT_EQ(Without(c[0]), c[1]) << c[0];
    EXPECT_FALSE(Keeps(c[0], c[0])) << c[0];
  }
}

// Every prefix is copied into storage of its exact size, so that a read past
// its end is caught by the sanitizer build.
TEST(AccessDamage, EveryTruncatedFileParsesOrIsReportedDamaged) {
  const std::string whole = "Options -Indexes\r\n" + kB + kAuth + kE + "\r\nRewriteEngine On";
  for (size_t n = 0; n <= whole.size(); n++) {
    std::vector<char> prefix(whole.begin(), whole.begin() + static_cast<long>(n));
    std::string text(prefix.begin(), prefix.end());
    CHobBuffer out;
    bool found = false;
    int stray = 0;
    int result = CHobAccess::WithoutBlock(prefix.data(), static_cast<int>(n), out, found, &stray);
    if (result == HOB_ACCESS_DAMAGED) {
      EXPECT_EQ(stray, 2) << n;
      continue;
    }
    ASSERT_EQ(result, HOB_ACCESS_OK) << n;
    EXPECT_TRUE(Keeps(text, Text(out))) << n;
    EXPECT_EQ(Without(With(text, "Y")), Text(out)) << n;
  }
}

TEST(AccessCheck, DroppedChangedOrAddedOutsideBytesAreRejected) {
  const std::string before = "a\nb \n" + kB + "x\n" + kE + "\nc\n";
  EXPECT_TRUE(Keeps(before, "a\nb \n" + kB + "other\n" + kE + "\nc\n"));
  EXPECT_TRUE(Keeps(before, "a\nb \nc\n"));
  EXPECT_FALSE(Keeps(before, "a\nb \n" + kB + "x\n" + kE + "\n"));    // last line dropped
  EXPECT_FALSE(Keeps(before, "a\nb\n" + kB + "x\n" + kE + "\nc\n"));  // trailing blank lost
  EXPECT_FALSE(Keeps(before, "a\nb \nc"));                            // final line feed lost
  EXPECT_FALSE(Keeps(before, "a\nb \nc\n\n"));
  EXPECT_FALSE(Keeps("a\r\n", "a\n"));
}

TEST(AccessForeignAuth, FirstDirectiveOutsideTheBlockFoundWithItsLineNumber) {
  const std::string text = "Options -Indexes\n" + kB + "Require valid-user\nAuthType Basic\n" + kE +
                           "\nRequireSSL\n# Require user x\n<RequireAny>\nAuthNames y\n"
                           "  require user bob\r\nAuthType Basic\n";
  CHobString line;
  EXPECT_EQ(CHobAccess::FindForeignAuth(text.data(), static_cast<int>(text.size()), line), 10);
  EXPECT_STREQ(line.m_pszText, "  require user bob");

  // The last line of a CRLF file without final line feed still ends in CR.
  const char* const found[] = {"\tAUTHTYPE Basic", "Require",         "AuthBasicProvider\tfile",
                               "authname \"x\"",   "AuthUserFile /x", "Require\r"};
  for (const char* one : found) {
    EXPECT_EQ(CHobAccess::FindForeignAuth(one, static_cast<int>(strlen(one)), line), 1) << one;
  }
  const std::string none =
      "RequireSSL\nAuthTypes x\nx Require y\nRequire\r\r\n" + kB + "Require valid-user\n";
  line = "stale";
  EXPECT_EQ(CHobAccess::FindForeignAuth(none.data(), static_cast<int>(none.size()), line), 0);
  EXPECT_STREQ(line.m_pszText, "");
}

TEST(AccessGrowth, ManyBlocksAndLinesTakeLinearTime) {
  hobtest::ExpectLinearGrowth(
      [](int size) {
        std::string text;
        for (int i = 0; i < size; i++) text += "Options -Indexes\n" + kB + "x\n" + kE + "\n";
        CHobBuffer out;
        CHobAccess::WithBlock(text.data(), static_cast<int>(text.size()), "X", out);
        EXPECT_TRUE(CHobAccess::KeepsOutsideLines(text.data(), static_cast<int>(text.size()),
                                                  out.data, out.length));
      },
      16000);
}

}  // namespace
