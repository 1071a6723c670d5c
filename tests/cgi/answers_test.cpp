// Nothing lost by accident, every answer clear: create never wipes users
// unasked, the password never comes back, new passwords are long enough and
// repeated alike, the status line says what happened, and each failure gets
// its own message.
#include <gtest/gtest.h>

#include "cgi_harness.h"

namespace {

const char* const kTemplate =
    "O=%OPT0%,%OPT1%,%OPT2%,%OPT3%,%OPT4%,%OPT5%|S=%PASS%|H=%RESULTHIDDEN%|ST=%STATUS%|"
    "R=<!--RESULT-->";
const char* const kPassword = "Zebra-Quartz-42";

// "msgNN=MNN/%USER%/%N%" for every key: the page shows which text was used
// and what was filled into it.
class Answers : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", kTemplate);
    site.Write("templ_info.html", "[%MESSAGE%]{%PATH%}");
    site.Write("dat-message.dat", cgi::StubMessages("/%USER%/%N%"));
    site.Write("dat-htaccess.dat", "");
    remove(site.Path("dat-nginx.dat").c_str());
    Settings("");
    mkdir(site.Path("d").c_str(), 0755);
  }

  void Settings(const std::string& more) {
    site.Write("dat-system.dat", "writemode=1\nhtpasswd=htpasswd\n" + more);
  }

  cgi::Result Send(const std::string& option, const std::string& user,
                   const std::vector<std::pair<std::string, std::string>>& more = {},
                   const std::string& dir = "") {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"path", dir.empty() ? site.Path("d") : dir},
        {"user", user},
        {"pass", kPassword},
        {"type", "1"},
        {"option", option},
        {"submit", "1"}};
    fields.insert(fields.end(), more.begin(), more.end());
    return site.Post(cgi::FormBody(fields));
  }

  // The status line of a result page.
  static std::string Status(const cgi::Result& r) {
    size_t at = r.out.find("|ST=");
    return at == std::string::npos ? "(no status: " + r.out + ")"
                                   : r.out.substr(at + 4, r.out.find("|R=") - at - 4);
  }
  // The text of a message page.
  static std::string Message(const cgi::Result& r) {
    size_t at = r.out.find("[");
    return r.status == 1 && at != std::string::npos ? r.out.substr(at) : "(no message)";
  }

  cgi::Site site;
};

TEST_F(Answers, CreateOverUsersNeedsReplaceAndAfterACreateAddIsMarked) {
  cgi::Result r = Send("c", "ann");
  EXPECT_EQ("M45/ann/1", Status(r));
  EXPECT_NE(std::string::npos, r.out.find("O=,,checked,,,|")) << r.out;
  ASSERT_EQ("M37/bob/2", Status(Send("a", "bob")));
  const std::string before = site.Read("d/.htpasswd");
  EXPECT_EQ("[M23/%USER%/2]{" + site.Path("d") + "}", Message(Send("c", "carl")));
  EXPECT_EQ("[M23/%USER%/2]{" + site.Path("d") + "}",
            Message(Send("c", "carl", {{"replace", "yes"}})));
  EXPECT_TRUE(before == site.Read("d/.htpasswd")) << "a refused create changed the file";
  EXPECT_EQ("M46/carl/1", Status(Send("c", "carl", {{"replace", "1"}})));
  EXPECT_EQ(0u, site.Read("d/.htpasswd").find("carl:"));
  EXPECT_EQ(1u, cgi::CountOf(site.Read("d/.htpasswd"), "\n"));
  // A file of comments only holds no user: nothing to lose.
  site.Write("d/.htpasswd", "# nobody yet\n");
  EXPECT_EQ("M46/dee/1", Status(Send("c", "dee")));
}

TEST_F(Answers, StatusLineSaysWhatHappenedWithTheCount) {
  Send("c", "ann");
  EXPECT_EQ("M37/bob/2", Status(Send("a", "bob")));
  EXPECT_EQ("M38/bob/2", Status(Send("a", "bob")));
  EXPECT_EQ("M49//2", Status(Send("l", "")));
  EXPECT_EQ("M47/bob/1", Status(Send("d", "bob")));
  EXPECT_EQ("M48/ann/0", Status(Send("n", "ann")));
  EXPECT_EQ("M20/ann/0 ann", Status(Send("v", "ann")));
  cgi::Result first = site.Get("");
  EXPECT_NE(std::string::npos, first.out.find("H=hidden|ST=|R="));
}

TEST_F(Answers, NoPageHoldsThePassword) {
  Send("c", "ann");
  for (const char* option : {"n", "c", "a", "l", "d", "v"}) {
    for (const auto& more : std::vector<std::vector<std::pair<std::string, std::string>>>{
             {}, {{"replace", "1"}}, {{"pass2", "other"}}}) {
      cgi::Result r = Send(option, "ann", more);
      EXPECT_EQ(std::string::npos, r.out.find(kPassword)) << option << " " << r.out;
      EXPECT_EQ(std::string::npos, r.out.find("other")) << option << " " << r.out;
    }
  }
}

TEST_F(Answers, RepeatedPasswordMustMatchWhereTheFormAsksForIt) {
  for (const char* option : {"n", "c", "a"}) {
    EXPECT_EQ("[M25/%USER%/0]{" + site.Path("d") + "}",
              Message(Send(option, "ann", {{"pass2", "Zebra-Quartz-43"}})))
        << option;
    EXPECT_EQ("[M25/%USER%/0]{" + site.Path("d") + "}",
              Message(Send(option, "ann", {{"pass2", ""}})))
        << option;
  }
  EXPECT_FALSE(site.Exists("d/.htpasswd"));
  EXPECT_EQ(0, Send("c", "ann", {{"pass2", kPassword}}).status);
  EXPECT_EQ(0, Send("a", "bob").status) << "a request without the second field is a script's";
  EXPECT_EQ("M20/ann/0 ann", Status(Send("v", "ann", {{"pass2", ""}})));
}

TEST_F(Answers, ShortNewPasswordsAreRefusedCountingCharacters) {
  Settings("minpasslen=10\n");
  auto withPassword = [&](const std::string& option, const std::string& password) {
    return site.Post(cgi::FormBody({{"path", site.Path("d")},
                                    {"user", "ann"},
                                    {"pass", password},
                                    {"type", "1"},
                                    {"option", option},
                                    {"submit", "1"}}));
  };
  for (const char* option : {"n", "c", "a"}) {
    EXPECT_EQ("[M24/%USER%/10]{" + site.Path("d") + "}", Message(withPassword(option, "123456789")))
        << option;
    // Nine characters of three bytes each.
    EXPECT_EQ("[M24/%USER%/10]{" + site.Path("d") + "}",
              Message(withPassword(option, "パスワードパスワー")))
        << option;
  }
  EXPECT_EQ(0, withPassword("c", "パスワードパスワード").status);
  EXPECT_EQ("M21/ann/0 ann", Status(withPassword("v", "short")));
  Settings("");
  EXPECT_EQ(0, withPassword("a", "x").status);
}

TEST_F(Answers, BcryptCostComesFromTheSettings) {
  const std::pair<std::string, std::string> cases[] = {{"bcryptcost=10\n", "$2y$10$"},
                                                       {"bcryptcost=4\n", "$2y$04$"},
                                                       {"", "$2y$05$"},
                                                       {"bcryptcost=3\n", "$2y$10$"},
                                                       {"bcryptcost=18\n", "$2y$10$"},
                                                       {"bcryptcost=many\n", "$2y$10$"}};
  for (const auto& [setting, prefix] : cases) {
    Settings(setting);
    cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d")},
                                             {"user", "ann"},
                                             {"pass", kPassword},
                                             {"type", "3"},
                                             {"option", "c"},
                                             {"replace", "1"},
                                             {"submit", "1"}}));
    EXPECT_EQ(0u, site.Read("d/.htpasswd").find("ann:" + prefix)) << setting;
    EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "ann", kPassword)) << setting;
  }
}

// Each failure names its cause, and the message page repeats the directory.
TEST_F(Answers, MissingDirectoriesFilesAndDamagedFilesEachGetTheirMessage) {
  const std::string missing = site.Path("missing");
  site.Write("file", "x");
  for (const char* option : {"c", "a", "l", "d", "v"}) {
    EXPECT_EQ("[M03/%USER%/0]{" + missing + "}", Message(Send(option, "ann", {}, missing)))
        << option;
    EXPECT_EQ("[M28/%USER%/0]{" + site.Path("file") + "}",
              Message(Send(option, "ann", {}, site.Path("file"))))
        << option;
  }
  EXPECT_EQ(0, Send("n", "ann", {}, missing).status);
  EXPECT_EQ("[M05/%USER%/0]{" + site.Path("d") + "}", Message(Send("a", "ann")));
  // The tool would lose every line after a zero byte.
  const std::string damaged = std::string("ann:$apr1$x$y\nbob:\0zz\n", 22) + "cid:$apr1$x$z\n";
  site.Write("d/.htpasswd", damaged);
  for (const char* option : {"a", "d", "l"}) {
    EXPECT_EQ("[M27/%USER%/0]{" + site.Path("d") + "}", Message(Send(option, "dee"))) << option;
  }
  EXPECT_TRUE(damaged == site.Read("d/.htpasswd"));
  // A line that is neither an entry, a comment nor blank: the tool refuses
  // the whole file.
  site.Write("d/.htpasswd", "ann:$apr1$x$y\nbroken line\n");
  EXPECT_EQ("[M27/%USER%/0]{" + site.Path("d") + "}", Message(Send("a", "dee")));
  EXPECT_EQ("ann:$apr1$x$y\nbroken line\n", site.Read("d/.htpasswd"));
  const cgi::Result r = Send("a", "ann", {}, site.Path("d") + "/<x>");
  EXPECT_EQ("[M03/%USER%/0]{" + site.Path("d") + "/&lt;x&gt;}", Message(r));
}

// Where the owner cannot be kept (the program runs as another user), the
// group is, so that the server's group can still read the file.
TEST_F(Answers, GroupIsKeptWhereTheOwnerCannotBe) {
  chmod(site.dir().c_str(), 0755);
  ASSERT_EQ(0, chown(site.dir().c_str(), 65534, 65534));
  ASSERT_EQ(0, chown(site.Path("d").c_str(), 0, 33));
  chmod(site.Path("d").c_str(), 0770);
  site.Write("d/.htpasswd", "ann:$apr1$x$y\n");
  ASSERT_EQ(0, chown(site.Path("d/.htpasswd").c_str(), 1000, 33));
  chmod(site.Path("d/.htpasswd").c_str(), 0660);
  site.RunAsNobody({33});
  ASSERT_EQ("M37/bob/2", Status(Send("a", "bob")));
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("d/.htpasswd").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(33u, st.st_gid);
  EXPECT_EQ(0660u, st.st_mode & 07777);
}

TEST_F(Answers, LockWaitIsCappedAtSixtySeconds) {
  Settings("opt_trace=1\nlockwait=1000\n");
  ASSERT_EQ(0, site.Get("").status);
  EXPECT_NE(std::string::npos, site.Read("hob-htpasswd.cgi.log").find("lock wait 60 s"));
}

}  // namespace
