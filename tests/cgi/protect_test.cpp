// Protecting a directory for real: create and protect write the program's
// lines into the directory's access file and unprotect takes them out, every
// other line kept byte for byte; an access file that protects the directory
// by its own lines is left alone; and the check from outside, made by a
// stand-in for curl, says what the server does, putting the access file
// back when the server answers 500.
#include <gtest/gtest.h>

#include "cgi_harness.h"

namespace {

const char* const kPassword = "Zebra-Quartz-42";
const char* const kBlockText = "AuthType Basic\nAuthUserFile \"%FILE%\"\nRequire valid-user\n";

// "msgNN=MNN(%TEXT%|%N%)" for every key.
// Stands in for curl: records its arguments and what the access file held
// when it ran, and prints the answer in the file "answer".
const char* const kCurl =
    "here=$(dirname \"$0\")/..\n"
    "printf '%s\\n' \"$@\" > \"$here/curl.args\"\n"
    "cat \"$here/d/.htaccess\" > \"$here/seen\" 2>/dev/null || : > \"$here/seen\"\n"
    "cat \"$here/answer\"\n";

class Protect : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", "ST=%STATUS%|R=<!--RESULT-->");
    site.Write("dat-nginx.dat", "N %LOCATION%\n");
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", cgi::StubMessages("(%TEXT%|%N%)"));
    site.Write("dat-htaccess.dat", kBlockText);
    Settings("accessfile=.htaccess\nselfcheck=1\n");
    mkdir(site.Path("d").c_str(), 0755);
    mkdir(site.Path("bin").c_str(), 0755);
    site.WriteScript("bin/curl", kCurl);
    Answer("401 ");
    site.SetEnv("PATH", site.Path("bin") + ":/usr/bin:/bin");
    site.SetEnv("SERVER_ADDR", "127.0.0.1");
    site.SetEnv("SERVER_PORT", "8080");
    site.SetEnv("HTTP_HOST", "www.example.test:8080");
    site.SetEnv("DOCUMENT_ROOT", site.dir());
    site.SetEnv("SERVER_SOFTWARE", "Apache/2.4.62 (Debian)");
  }

  void Settings(const std::string& more) {
    site.Write("dat-system.dat", "writemode=1\nhtpasswd=htpasswd\n" + more);
  }
  void Answer(const std::string& printed) { site.Write("answer", printed); }

  cgi::Result Send(const std::string& option, const std::string& user = "ann",
                   const std::vector<std::pair<std::string, std::string>>& more = {}) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"path", site.Path("d")}, {"user", user}, {"pass", kPassword}, {"type", "1"},
        {"option", option},       {"submit", "1"}};
    fields.insert(fields.end(), more.begin(), more.end());
    return site.Post(cgi::FormBody(fields));
  }

  // The result text of a page, or its message.
  static std::string Result(const cgi::Result& r) {
    size_t at = r.out.find("R=");
    return r.status == 0 && at != std::string::npos ? r.out.substr(at + 2)
                                                    : r.out.substr(r.out.find('['));
  }

  std::string Block() {
    std::string block = kBlockText;
    block.replace(block.find("%FILE%"), 6, site.Path("d/.htpasswd"));
    return "# BEGIN hob-htpasswd\n" + block + "# END hob-htpasswd";
  }
  std::string Url() { return "http://www.example.test:8080/d/"; }

  cgi::Site site;
};

// The owner's lines, the last without line feed, stay byte for byte through
// create, protect and unprotect.
TEST_F(Protect, OwnersLinesStayByteForByteThroughCreateProtectAndUnprotect) {
  const std::string owners =
      "Options -Indexes\nRewriteEngine On\r\nRewriteRule ^old$ /new [R=301,L]";
  site.Write("d/.htaccess", owners);
  cgi::Result r = Send("c");
  EXPECT_EQ("M30(" + site.Path("d/.htaccess") + "|0)\nM31(" + Url() +
                "|0)\n\nAuthType Basic\nAuthUserFile &quot;" + site.Path("d/.htpasswd") +
                "&quot;\nRequire valid-user\n",
            Result(r));
  EXPECT_EQ(owners + "\n" + Block(), site.Read("d/.htaccess"));
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "ann", kPassword));
  EXPECT_EQ(0, Send("p").status);
  EXPECT_EQ(owners + "\n" + Block(), site.Read("d/.htaccess"));
  Answer("200 ");
  r = Send("u");
  EXPECT_EQ("M36(" + site.Path("d/.htaccess") + "|0)\nM52(" + Url() + "|0)\n", Result(r));
  EXPECT_EQ(owners, site.Read("d/.htaccess"));
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "ann", kPassword));
  EXPECT_EQ("M50(" + site.Path("d/.htaccess") + "|0)\nM52(" + Url() + "|0)\n", Result(Send("u")));
}

TEST_F(Protect, AccessFileMadeByTheProgramIsRemovedWhenItsLinesGo) {
  ASSERT_EQ(0, Send("c").status);
  EXPECT_EQ(Block() + "\n", site.Read("d/.htaccess"));
  ASSERT_EQ(0, Send("u").status);
  EXPECT_FALSE(site.Exists("d/.htaccess"));
  EXPECT_TRUE(site.Exists("d/.htpasswd"));
}

// An access file that sets up a password by lines of its own is the
// owner's: nothing at all is written, not even the password file.
TEST_F(Protect, AccessFileWithItsOwnAuthenticationIsLeftAlone) {
  const std::string owners = "Options -Indexes\n  require user bob\n";
  site.Write("d/.htaccess", owners);
  EXPECT_EQ("[M29(  require user bob|2)]", Result(Send("c")));
  EXPECT_FALSE(site.Exists("d/.htpasswd"));
  site.Write("d/.htpasswd", "ann:$apr1$x$y\n");
  EXPECT_EQ("[M29(  require user bob|2)]", Result(Send("p")));
  EXPECT_EQ(owners, site.Read("d/.htaccess"));
  // A damaged mark of the program is not guessed at either.
  site.Write("d/.htaccess", "Options -Indexes\n# BEGIN hob-htpasswd\nRequire valid-user\n");
  EXPECT_EQ("[M29(# BEGIN hob-htpasswd|2)]", Result(Send("p")));
  EXPECT_FALSE(site.Exists("curl.args")) << "nothing was written, so nothing was checked";
}

TEST_F(Protect, AccessFileThatIsALinkIsNeverFollowed) {
  site.Write("elsewhere", "Options -Indexes\n");
  symlink(site.Path("elsewhere").c_str(), site.Path("d/.htaccess").c_str());
  EXPECT_EQ("[M04(|0)]", Result(Send("c")));
  EXPECT_EQ("Options -Indexes\n", site.Read("elsewhere"));
}

// The check goes to the server's own address, never to the host the
// request names, asks for the directory's URL without credentials and
// follows no redirect.
TEST_F(Protect, CheckAsksTheServersOwnAddressForTheDirectory) {
  mkdir(site.Path("d/a b").c_str(), 0755);
  cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d/a b")},
                                           {"user", "ann"},
                                           {"pass", kPassword},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}}));
  ASSERT_EQ(0, r.status) << r.out;
  std::string args = site.Read("curl.args");
  EXPECT_NE(std::string::npos, args.find("\nhttp://127.0.0.1:8080/d/a%20b/\n")) << args;
  EXPECT_NE(std::string::npos, args.find("\nHost: www.example.test:8080\n")) << args;
  EXPECT_EQ(std::string::npos, args.find("--location")) << args;
  EXPECT_EQ(std::string::npos, args.find("\n--user\n")) << args;
}

// What each answer means after protecting, per server.
TEST_F(Protect, EachAnswerOfTheServerIsReported) {
  ASSERT_EQ(0, Send("c").status);
  const std::string written = "M30(" + site.Path("d/.htaccess") + "|0)\n";
  const std::string cases[][3] = {
      {"200 ", "Apache/2.4", written + "M32(" + Url() + "|0)\nM53(" + Url() + "|0)\n"},
      {"302 ", "Apache/2.4", written + "M32(" + Url() + "|0)\nM53(" + Url() + "|0)\n"},
      {"404 ", "nginx/1.22", written + "M32(" + Url() + "|0)\nM54(" + Url() + "|0)\n"},
      {"200 ", "lighttpd/1.4", written + "M32(" + Url() + "|0)\nM54(" + Url() + "|0)\n"},
      {"000 Failed to connect", "Apache/2.4", written + "M33(Failed to connect|0)\n"},
      {"502 ", "Apache/2.4", written + "M33(M58(" + Url() + "|502)|0)\n"}};
  for (const auto& [answer, software, lines] : cases) {
    Answer(answer);
    site.SetEnv("SERVER_SOFTWARE", software);
    std::string result = Result(Send("p"));
    EXPECT_EQ(lines, result.substr(0, lines.size())) << answer << software;
  }
  site.SetEnv("DOCUMENT_ROOT", "/srv/elsewhere");
  std::string result = Result(Send("p"));
  EXPECT_EQ(written + "M33(M56(", result.substr(0, written.size() + 8));
  Answer("401 ");
  site.SetEnv("DOCUMENT_ROOT", site.dir());
  EXPECT_EQ("M36(" + site.Path("d/.htaccess") + "|0)\nM34(" + Url() + "|0)\n", Result(Send("u")));
}

// A server that refuses the lines answers 500 for the whole directory: the
// access file goes back exactly as it was, and the site keeps working.
TEST_F(Protect, ServerErrorAfterWritingPutsTheAccessFileBack) {
  const std::string owners = "Options -Indexes\nRewriteEngine On";
  site.Write("d/.htaccess", owners);
  Answer("500 ");
  cgi::Result r = Send("c");
  EXPECT_EQ("M32(" + Url() + "|0)\nM53(" + Url() + "|0)\nM55(" + site.Path("d/.htaccess") + "|0)\n",
            Result(r).substr(0, Result(r).find("\n\n") + 1))
      << r.out;
  EXPECT_EQ(owners + "\n" + Block(), site.Read("seen")) << "the check came before the lines";
  EXPECT_EQ(owners, site.Read("d/.htaccess"));
  remove(site.Path("d/.htaccess").c_str());
  Send("p");
  EXPECT_FALSE(site.Exists("d/.htaccess")) << "an access file the program made stays";
}

TEST_F(Protect, ShowWritesNothingAndProtectNeedsAPasswordFileAndTheSetting) {
  cgi::Result r = Send("n");
  EXPECT_EQ(std::string::npos, r.out.find("AuthType")) << r.out;
  EXPECT_FALSE(site.Exists("d/.htaccess"));
  EXPECT_EQ("[M05(|0)]", Result(Send("p")));
  EXPECT_FALSE(site.Exists("d/.htaccess"));
  Settings("");
  EXPECT_EQ("[M51(|0)]", Result(Send("p")));
  EXPECT_EQ("[M51(|0)]", Result(Send("u")));
  // Without the setting create shows the text to put there, as ever.
  r = Send("c");
  EXPECT_NE(std::string::npos, Result(r).find("\n\nAuthType Basic")) << r.out;
  EXPECT_FALSE(site.Exists("d/.htaccess"));
  site.Write("dat-system.dat", "writemode=0\naccessfile=.htaccess\nhtpasswd=htpasswd\n");
  EXPECT_EQ("[M15(|0)]", Result(Send("p")));
  EXPECT_EQ("[M15(|0)]", Result(Send("u")));
}

// The status line sums up what the check found; under nginx the server's
// own text, naming the directory's location, comes before the lines.
TEST_F(Protect, StatusSaysWhetherTheDirectoryIsProtectedAndNginxGetsItsText) {
  ASSERT_EQ(0, Send("c").status);
  const std::pair<std::string, std::string> cases[] = {
      {"401 ", "M59"}, {"200 ", "M79"}, {"500 ", "M80"}, {"000 refused", "M81"}};
  for (const auto& [answer, status] : cases) {
    Answer(answer);
    cgi::Result r = Send("p");
    EXPECT_EQ(0u, r.out.find(cgi::kHeader + "ST=" + status)) << answer << r.out;
  }
  Answer("200 ");
  site.SetEnv("SERVER_SOFTWARE", "nginx/1.22.1");
  std::string result = Result(Send("p"));
  size_t nginx = result.find("N /d/\n");
  EXPECT_NE(std::string::npos, nginx) << result;
  EXPECT_LT(nginx, result.find("AuthType Basic")) << result;
}

// lighttpd passes DOCUMENT_ROOT twice when the site's configuration sets it
// for the program's alias: the last one is the site's.
TEST_F(Protect, LastDocumentRootIsTheSites) {
  site.SetEnv("DOCUMENT_ROOT", site.Path("bin"));
  site.RepeatEnv("DOCUMENT_ROOT", site.dir());
  cgi::Result r = Send("c");
  EXPECT_NE(std::string::npos, Result(r).find("M31(" + Url() + "|0)")) << r.out;
}

}  // namespace
