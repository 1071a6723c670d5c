// Where the users are kept: password files unless the settings say
// store=pgsql, and then a table of a real PostgreSQL cluster, started by the
// suite as an unprivileged user (scripts/pg-cluster.sh) and removed after it.
// Values that look like SQL stay plain data, create keeps the replace rule,
// a change is whole or not at all even when the database stops in the middle
// of it, and the database's password never reaches a page or the trace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <thread>

#include "cgi_harness.h"

namespace {

const char* const kPassword = "Zebra-Quartz-42";
const std::string kClusterScript = std::string(HOB_SITE_DIR) + "/../scripts/pg-cluster.sh";

// "msgNN=MNN(%USER%|%TEXT%|%N%)" for every key.
// The output of a shell command.
std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char block[4096];
  for (size_t n; (n = fread(block, 1, sizeof block, pipe)) > 0;) out.append(block, n);
  pclose(pipe);
  return out;
}

// A site whose requests run the built program with stub messages and a
// bare template, for the settings more.
class StoreSite {
 public:
  explicit StoreSite(const std::string& more) {
    site.Write("templ_config.html", "ST=%STATUS%|R=<!--RESULT-->");
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", cgi::StubMessages("(%USER%|%TEXT%|%N%)"));
    Settings(more);
    site.SetEnv("SERVER_SOFTWARE", "Apache/2.4.62 (Debian)");
    site.SetEnv("DOCUMENT_ROOT", site.dir());
  }
  void Settings(const std::string& more) {
    site.Write("dat-system.dat", "writemode=1\nhtpasswd=htpasswd\nlockwait=10\n" + more);
  }
  // A directory of the site (made when missing) as the form names it.
  std::string Dir(const std::string& name) {
    mkdir(site.Path(name).c_str(), 0755);
    return site.Path(name);
  }
  cgi::Result Send(const std::string& option, const std::string& dir, const std::string& user,
                   const std::string& pass = kPassword, const std::string& type = "1",
                   const std::vector<std::pair<std::string, std::string>>& more = {}) {
    std::vector<std::pair<std::string, std::string>> fields = {{"path", dir},      {"user", user},
                                                               {"pass", pass},     {"type", type},
                                                               {"option", option}, {"submit", "1"}};
    fields.insert(fields.end(), more.begin(), more.end());
    return site.Post(cgi::FormBody(fields));
  }
  // The status line and result of a page, or its message.
  static std::string Answer(const cgi::Result& r) {
    size_t at = r.out.find("ST=");
    return r.status == 0 && at != std::string::npos ? r.out.substr(at + 3)
                                                    : r.out.substr(r.out.find('['));
  }

  cgi::Site site;
};

// No database needed: what the settings say, and a database that is not
// there.
TEST(StoreSettings, BadTableOrUnknownStoreRefusesEveryRequestAndWritesNothing) {
  StoreSite s("store=pgsql\npgtable=hob-users\n");
  cgi::Result r = s.site.Get("");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.out.find("[M41(%USER%|hob-users|0)]")) << r.out;
  for (const char* table : {"x;drop", "a b", "\"q\""}) {
    s.Settings(std::string("store=pgsql\npgtable=") + table + "\n");
    EXPECT_NE(std::string::npos, s.Send("c", s.Dir("d"), "ann").out.find("[M41(")) << table;
  }
  s.Settings("store=pgsql\npgtable=" + std::string(64, 't') + "\n");
  EXPECT_NE(std::string::npos, s.Send("c", s.Dir("d"), "ann").out.find("[M41("));
  s.Settings("store=mysql\n");
  EXPECT_NE(std::string::npos, s.Send("c", s.Dir("d"), "ann").out.find("[M61(%USER%|mysql|0)]"));
  EXPECT_FALSE(s.site.Exists("d/.htpasswd"));
}

// Settings for a database, without store=pgsql, change nothing: the users
// go into the password file, and no database is asked.
TEST(StoreSettings, PasswordFileUnlessStoreSaysPgsql) {
  for (const char* store : {"", "store=file\n"}) {
    StoreSite s(std::string(store) + "pgconninfo=host=/nonexistent port=1\npgtable=bad-name\n");
    cgi::Result r = s.Send("c", s.Dir("d"), "ann");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(hobtest::Verifies(s.site.Path("d/.htpasswd"), "ann", kPassword)) << store;
  }
}

// The reason libpq gives is shown; the password of the connection string is
// not, on the page or in the trace, and nothing is left behind.
TEST(StoreSettings, UnreachableDatabaseShowsItsReasonNeverThePassword) {
  StoreSite s("opt_trace=1\nstore=pgsql\n");
  std::string dir = s.Dir("d");
  s.Settings("opt_trace=1\nstore=pgsql\npgconninfo=host=" + s.site.Path("nosocket") +
             " port=5999 user=fleet password=Sekr3t-Pw-77\n");
  for (const char* option : {"c", "a", "l", "d", "v"}) {
    cgi::Result r = s.Send(option, dir, "ann");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("[M39(%USER%|connection to server on socket")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("Sekr3t")) << option;
  }
  EXPECT_EQ(std::string::npos, s.site.Read("hob-htpasswd.cgi.log").find("Sekr3t"));
  EXPECT_FALSE(s.site.Exists("d/.htpasswd"));
  for (const std::string& name : s.site.Listing()) {
    EXPECT_EQ(std::string::npos, name.find("htpasswd-copy")) << name;
  }
}

// lighttpd's SQL backend checks crypt(3) hashes only: the form offers those
// and refuses the others before any database is asked.
TEST(StoreSettings, LighttpdWithTheDatabaseOffersOnlyCryptHashes) {
  cgi::Site site;
  site.Write("dat-system.dat",
             "writemode=1\ndefaulttype=1\nstore=pgsql\n"
             "pgconninfo=host=/nonexistent port=1\n");
  site.SetEnv("SERVER_SOFTWARE", "lighttpd/1.4.69");
  std::string form = site.Get("").out;
  for (const char* type : {"type3", "type4", "type5"}) {
    EXPECT_NE(std::string::npos, form.find(std::string("id=\"") + type + "\"")) << type;
  }
  for (const char* type : {"type0", "type1", "type2"}) {
    EXPECT_EQ(std::string::npos, form.find(std::string("id=\"") + type + "\"")) << type;
  }
  EXPECT_NE(std::string::npos, form.find("value=\"3\" checked"));
  EXPECT_EQ(std::string::npos, form.find("id=\"opt6\""));  // no protect: no access file
  cgi::Result r = site.Post(cgi::FormBody({{"path", site.dir()},
                                           {"user", "ann"},
                                           {"pass", kPassword},
                                           {"type", "1"},
                                           {"option", "a"},
                                           {"submit", "1"}}));
  EXPECT_NE(std::string::npos, r.out.find("choose one of the hash types")) << r.out;
  site.SetEnv("SERVER_SOFTWARE", "Apache/2.4.62 (Debian)");
  EXPECT_NE(std::string::npos, site.Get("").out.find("id=\"type1\""));
}

// The helper reads statements from its standard input: run by a web server,
// that would be a visitor's request body.
TEST(StoreSettings, HelperRefusesToRunAsACgiProgram) {
  std::string helper = std::string(HOB_CGI_PATH);
  helper = helper.substr(0, helper.rfind('/')) + "/../hob-htpasswd/hob-htpasswd-pg";
  std::string out = Output(
      "printf 'Q\\001\\000\\000\\000\\010\\000\\000\\000SELECT 1' | GATEWAY_INTERFACE=CGI/1.1 " +
      helper + "; echo \" exit=$?\"");
  EXPECT_NE(std::string::npos, out.find("Not a CGI program.")) << out;
  EXPECT_NE(std::string::npos, out.find(" exit=2")) << out;
}

// A real cluster for the suite.
class Database : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cluster_ = new hobtest::TempDir();
    chmod(cluster_->dir().c_str(), 0755);
    std::string line = Output(kClusterScript + " start " + cluster_->Path("pg") + " 2>&1");
    conninfo_ = line.substr(0, line.find('\n'));
  }
  static void TearDownTestSuite() {
    Output(kClusterScript + " stop " + cluster_->Path("pg") + " immediate");
    delete cluster_;
  }
  void SetUp() override {
    ASSERT_EQ(0u, conninfo_.find("host=")) << conninfo_;
    s.Settings("store=pgsql\nselfcheck=0\naccessfile=.htaccess\npgconninfo=" + conninfo_ + "\n");
  }

  // The rows of the table, "realm|username" a line, in order.
  static std::string Rows(const std::string& where = "true") {
    return Sql("SELECT realm || '|' || username FROM hob_users WHERE " + where + " ORDER BY 1");
  }
  static std::string Sql(const std::string& sql) {
    return Output(kClusterScript + " psql " + cluster_->Path("pg") + " -c \"" + sql + "\" 2>&1");
  }
  static std::string Psql() { return kClusterScript + " psql " + cluster_->Path("pg"); }
  // True once a session of the database is in the state the condition on
  // pg_stat_activity names, within ten seconds.
  static bool Awaits(const std::string& condition) {
    for (int i = 0; i < 100; i++) {
      if (Sql("SELECT count(*) FROM pg_stat_activity WHERE " + condition) == "1\n") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  static hobtest::TempDir* cluster_;
  static std::string conninfo_;
  StoreSite s{""};
};
hobtest::TempDir* Database::cluster_ = nullptr;
std::string Database::conninfo_;

// Quotes, semicolons and comment dashes in directories and user names are
// stored and found as the very strings typed; a name that would widen a
// query built from text finds nobody.
TEST_F(Database, QuotesSemicolonsAndDashesAreStoredAndFoundAsPlainData) {
  const std::string dirA = s.Dir("it's; --"), dirB = s.Dir("' OR '1'='1");
  const std::string injected = "nobody' OR '1'='1", dashed = "o'brien; --";
  ASSERT_EQ("M64(alice|%TEXT%|1)", s.Answer(s.Send("c", dirA, "alice")).substr(0, 19));
  ASSERT_EQ(0, s.Send("a", dirA, dashed, "pw-of-obrien", "3").status);
  ASSERT_EQ(0, s.Send("c", dirB, "' OR '1'='1", "pw-of-or", "5").status);
  EXPECT_EQ(dirB + "|' OR '1'='1\n" + dirA + "|alice\n" + dirA + "|" + dashed + "\n",
            Rows("realm LIKE '" + s.site.dir() + "%'"));
  EXPECT_EQ(
      "M67(|%TEXT%|2)|R=M69(&#37;USER&#37;|&#37;TEXT&#37;|&#37;N&#37;) (2)\n\nalice "
      "(MD5)\no&#39;brien; -- (bcrypt)\n",
      s.Answer(s.Send("l", dirA, "")));
  EXPECT_NE(std::string::npos, s.Answer(s.Send("v", dirA, dashed, "pw-of-obrien")).find("M20("));
  EXPECT_NE(std::string::npos, s.Answer(s.Send("v", dirB, "' OR '1'='1", "pw-of-or")).find("M20("));
  EXPECT_NE(std::string::npos, s.Answer(s.Send("v", dirA, injected)).find("[M17(")) << "verify";
  EXPECT_NE(std::string::npos, s.Answer(s.Send("d", dirA, injected)).find("[M17(")) << "delete";
  EXPECT_EQ(0, s.Send("d", dirA, dashed).status);
  EXPECT_EQ(dirA + "|alice\n", Rows("realm LIKE '%/it''s; --'"));
}

// Create over a directory that has users needs replace, as for a file; add
// says whether the user was added or its password changed.
TEST_F(Database, CreateKeepsTheReplaceRuleAndAddSaysAddedOrChanged) {
  const std::string dir = s.Dir("replace");
  const std::string mine = "realm = '" + dir + "'";
  ASSERT_EQ("M64(alice|%TEXT%|1)|R=", s.Answer(s.Send("c", dir, "alice")).substr(0, 22));
  EXPECT_EQ("M62(bob|%TEXT%|2)", s.Answer(s.Send("a", dir, "bob")).substr(0, 17));
  std::string before = Sql("SELECT hash FROM hob_users WHERE " + mine + " AND username = 'bob'");
  EXPECT_EQ("M63(bob|%TEXT%|2)", s.Answer(s.Send("a", dir, "bob", "a-new-password")).substr(0, 17));
  EXPECT_NE(before, Sql("SELECT hash FROM hob_users WHERE " + mine + " AND username = 'bob'"));
  EXPECT_EQ("[M68(%USER%||2)]", s.Answer(s.Send("c", dir, "carol")));
  EXPECT_EQ(dir + "|alice\n" + dir + "|bob\n", Rows(mine));
  EXPECT_EQ("M65(carol|%TEXT%|1)",
            s.Answer(s.Send("c", dir, "carol", kPassword, "1", {{"replace", "1"}})).substr(0, 19));
  EXPECT_EQ(dir + "|carol\n", Rows(mine));
  // Nothing is written into the access file, which the settings name.
  EXPECT_FALSE(s.site.Exists("replace/.htaccess"));
  EXPECT_EQ("[M74(%USER%||0)]", s.Answer(s.Send("p", dir, "")));
}

// List in the order of the names with each hash's kind; verify and delete
// of a user that is not there; a table not made yet.
TEST_F(Database, ListIsInNameOrderAndVerifyAndDeleteFindOnlyTheUserAsked) {
  const std::string dir = s.Dir("list");
  ASSERT_EQ(0, s.Send("c", dir, "zed", "pw-zed-12", "5").status);
  ASSERT_EQ(0, s.Send("a", dir, "amy", "pw-amy-12", "1").status);
  ASSERT_EQ(0, s.Send("a", dir, "Bob", "pw-bob-12", "3").status);
  EXPECT_EQ(
      "M67(|%TEXT%|3)|R=M69(&#37;USER&#37;|&#37;TEXT&#37;|&#37;N&#37;) (3)\n\nBob (bcrypt)\namy "
      "(MD5)\nzed (SHA-512)\n",
      s.Answer(s.Send("l", dir, "")));
  EXPECT_EQ("M20(amy|%TEXT%|0) amy", s.Answer(s.Send("v", dir, "amy", "pw-amy-12")).substr(0, 21));
  EXPECT_EQ("M21(amy|%TEXT%|0) amy", s.Answer(s.Send("v", dir, "amy", "pw-zed-12")).substr(0, 21));
  EXPECT_EQ("[M17(%USER%||0)]", s.Answer(s.Send("v", dir, "ann")));
  EXPECT_EQ("[M17(%USER%||0)]", s.Answer(s.Send("d", dir, "ann")));
  EXPECT_EQ("M66(amy|%TEXT%|2)", s.Answer(s.Send("d", dir, "amy")).substr(0, 17));
  s.Settings("store=pgsql\npgtable=not_made_yet\npgconninfo=" + conninfo_ + "\n");
  EXPECT_EQ("[M70(%USER%|not_made_yet|0)]", s.Answer(s.Send("l", dir, "")));
}

// The database stops while a create that replaces the users waits inside
// its transaction (its delete done, its insert held up by another session's
// row): the page says the database was lost, and after a restart every user
// is as it was.
TEST_F(Database, DatabaseStoppedInTheMiddleLeavesEveryUserAsItWas) {
  const std::string dir = s.Dir("stopped");
  const std::string mine = "realm = '" + dir + "'";
  ASSERT_EQ(0, s.Send("c", dir, "alice").status);
  ASSERT_EQ(0, s.Send("a", dir, "bob").status);
  FILE* other = popen((Psql() + " > /dev/null 2>&1").c_str(), "w");
  ASSERT_NE(nullptr, other);
  fprintf(other, "BEGIN; INSERT INTO hob_users VALUES ('%s', 'carol', 'x');\n", dir.c_str());
  fflush(other);
  EXPECT_TRUE(Awaits("state = 'idle in transaction'"));
  cgi::Result r;
  std::thread create([&] { r = s.Send("c", dir, "carol", kPassword, "1", {{"replace", "1"}}); });
  EXPECT_TRUE(Awaits("wait_event_type = 'Lock'"));
  Output(kClusterScript + " stop " + cluster_->Path("pg") + " immediate");
  create.join();
  pclose(other);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, s.Answer(r).find("[M39(%USER%|")) << r.out;
  EXPECT_EQ(conninfo_ + "\n", Output(kClusterScript + " start " + cluster_->Path("pg")));
  EXPECT_EQ(dir + "|alice\n" + dir + "|bob\n", Rows(mine));
}

}  // namespace
