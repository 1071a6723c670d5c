// CHobPgWire, CHobPgSql and CHobPgUsers without a database: the messages
// between the program and its helper, a helper that cannot be started, and
// the names and literals that go into statements and server texts. With a
// database: tests/cgi/store_test.cpp.
#include "hobpgsql.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace {

TEST(PgUsersTableName, OnlyLettersDigitsAndUnderscoreUpTo63Bytes) {
  for (const char* good : {"hob_users", "Users2", "1", "_"}) {
    EXPECT_TRUE(CHobPgUsers::IsTableName(good)) << good;
  }
  EXPECT_TRUE(CHobPgUsers::IsTableName(std::string(63, 'u').c_str()));
  EXPECT_FALSE(CHobPgUsers::IsTableName(std::string(64, 'u').c_str()));
  for (const char* bad : {"", "hob-users", "a b", "x;drop", "\"q\"", "s.t", "caf\xc3\xa9"}) {
    EXPECT_FALSE(CHobPgUsers::IsTableName(bad)) << bad;
  }
}

// Apache's query reads "%" as a format and lighttpd's "?" as the user; '"'
// and "\" end or escape the servers' quoted strings; a line break ends the
// line.
TEST(PgUsersConfigLiteral, QuoteIsDoubledAndServerSpecialCharactersBecomeChr) {
  EXPECT_STREQ("'/var/www/it''s; --'", CHobPgUsers::ConfigLiteral("/var/www/it's; --").m_pszText);
  EXPECT_STREQ(
      "'100' || chr(37) || '' || chr(63) || 'a' || chr(34) || '' || chr(92) || "
      "'' || chr(10) || 'b'",
      CHobPgUsers::ConfigLiteral("100%?a\"\\\nb").m_pszText);
  EXPECT_STREQ("'テスト'", CHobPgUsers::ConfigLiteral("テスト").m_pszText);
}

class PgWireTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_)); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  int fds_[2];
};

// Fields of every length, an empty one and one larger than a block among
// them, arrive whole and in order; an input that ends inside a message is
// damaged, one that ends between messages is done.
TEST_F(PgWireTest, FieldsArriveWholeAndAnInputCutInsideAMessageIsDamaged) {
  const std::string large(200 * 1024, 'x');
  const char* const fields[] = {"",
                                "a\x01"
                                "b",
                                large.c_str()};
  CHobPgWire out(-1, fds_[0]), in(fds_[1], -1);
  out.Put('R', fields, 3);
  out.Put('D', fields + 1, 1);
  std::thread writer([&] { EXPECT_EQ(0, out.Flush()); });
  char kind = 0;
  CHobStrAry got;
  ASSERT_EQ(1, in.Get(kind, got));
  writer.join();
  EXPECT_EQ('R', kind);
  ASSERT_EQ(3, got.count);
  EXPECT_STREQ("", got.items[0].m_pszText);
  EXPECT_STREQ(
      "a\x01"
      "b",
      got.items[1].m_pszText);
  EXPECT_EQ(large, got.items[2].m_pszText);
  ASSERT_EQ(1, in.Get(kind, got));
  EXPECT_EQ('D', kind);
  ASSERT_EQ(7, write(fds_[0], "Q\x01\0\0\0\x09\0", 7));
  shutdown(fds_[0], SHUT_WR);
  EXPECT_EQ(-1, in.Get(kind, got));
  CHobPgWire ended(fds_[1], -1);
  EXPECT_EQ(0, ended.Get(kind, got));
}

// The reader gone, a write fails with EPIPE instead of killing the
// process with SIGPIPE.
TEST_F(PgWireTest, WriteToAReaderThatIsGoneFailsWithEpipe) {
  close(fds_[1]);
  fds_[1] = -1;
  const char* const fields[] = {"SELECT 1"};
  CHobPgWire out(-1, fds_[0]);
  out.Put('Q', fields, 1);
  EXPECT_EQ(EPIPE, out.Flush());
}

TEST(PgSql, HelperThatCannotBeStartedLeavesTheDatabaseUnreachableWithTheReason) {
  CHobPgSql::m_pszHelper = "/nonexistent/hob-htpasswd-pg";
  CHobPgSql db;
  EXPECT_EQ(HOB_PG_UNREACHABLE, db.Connect("host=/tmp", ""));
  EXPECT_NE(-1, db.m_strError.Find("No such file or directory")) << db.m_strError.m_pszText;
  EXPECT_EQ(HOB_PG_UNREACHABLE, db.Exec("SELECT 1", 0, nullptr));
}

}  // namespace
