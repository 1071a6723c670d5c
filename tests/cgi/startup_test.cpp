// The program at start-up and on a first visit: settings, trace log, the form
// page, and the message page for a busy lock.
#include <gtest/gtest.h>

#include <regex>

#include "cgi_harness.h"
#include "hobfile.h"

namespace {

// Every placeholder of the form page, each between visible delimiters.
const char* const kTemplate =
    "P=%PATH%|U=%USER%|S=%PASS%|T=%TYPE0%,%TYPE1%,%TYPE2%|O=%OPT0%,%OPT1%,%OPT2%"
    "|R=<!--RESULT-->|D=%DOMAIN%|G=%SIGNATURE%";
const char* const kFirstVisit = "P=|U=|S=|T=checked,,|O=checked,,|R=|D=www.example.test|G=sig";

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", kTemplate);
    site.Write("sys-signature", "sig");
    site.Write("templ_info.html", "[%MESSAGE%]%SIGNATURE%");
    site.Write("dat-system.dat", "opt_trace=0\nwritemode=1\nhtpasswd=htpasswd\n");
  }
  cgi::Site site;
};

TEST_F(Startup, FirstVisitByGetShowsTypeZeroAndOptionNPreselected) {
  cgi::Result r = site.Get("");
  EXPECT_EQ(cgi::kHeader + kFirstVisit, r.out);
  EXPECT_EQ(0, r.status);
}

TEST_F(Startup, RequestWithItemsButNoSubmitGetsTheFirstVisitPage) {
  cgi::Result r = site.Post("path=%2Ftmp&user=u");
  EXPECT_EQ(cgi::kHeader + kFirstVisit, r.out);
  EXPECT_EQ(0, r.status);
  r = site.Get("foo=bar");
  EXPECT_EQ(cgi::kHeader + kFirstVisit, r.out);
}

TEST_F(Startup, FirstVisitMarksTheDefaultTypeOrCryptWithoutOne) {
  site.Write("templ_config.html", "%TYPE0%,%TYPE1%,%TYPE2%,%TYPE3%,%TYPE4%,%TYPE5%");
  for (const auto& [setting, marked] : {std::pair<const char*, const char*>{"", "checked,,,,,"},
                                        {"defaulttype=5\n", ",,,,,checked"},
                                        {"defaulttype=9\n", "checked,,,,,"}}) {
    site.Write("dat-system.dat", setting);
    EXPECT_EQ(cgi::kHeader + marked, site.Get("").out) << setting;
  }
}

TEST_F(Startup, RepeatedRequestIndependentPlaceholdersAreAllReplaced) {
  site.Write("templ_config.html", "%DOMAIN% %DOMAIN% %SIGNATURE%%SIGNATURE% %USER% %USER%");
  EXPECT_EQ(cgi::kHeader + "www.example.test www.example.test sigsig  %USER%", site.Get("").out);
}

TEST_F(Startup, DomainFromTheRequestIsNotMarkup) {
  site.Write("templ_config.html", "%DOMAIN%");
  site.SetEnv("SERVER_NAME", "<script>x</script>");
  EXPECT_EQ(cgi::kHeader + "&lt;script&gt;x&lt;/script&gt;", site.Get("").out);
}

TEST_F(Startup, MissingTemplatesAndSettingsStillAnswerWithAHeader) {
  cgi::Site bare(false);
  cgi::Result r = bare.Get("");
  EXPECT_EQ(cgi::kHeader, r.out);
  EXPECT_EQ(0, r.status);
}

TEST_F(Startup, WritemodeZeroRemovesEveryWriteSection) {
  site.Write("templ_config.html", "a<!--WRITE-->b<!--/WRITE-->c<!--WRITE-->d<!--/WRITE-->e");
  site.Write("dat-system.dat", "writemode=0\n");
  EXPECT_EQ(cgi::kHeader + "ace", site.Get("").out);
}

TEST_F(Startup, WritemodeMissingRemovesWriteSectionsAndOneKeepsThem) {
  site.Write("templ_config.html", "a<!--WRITE-->b<!--/WRITE-->c<!--WRITE-->d");
  site.Write("dat-system.dat", "opt_trace=0\n");
  EXPECT_EQ(cgi::kHeader + "ac<!--WRITE-->d", site.Get("").out);
  site.Write("dat-system.dat", "writemode=1\n");
  EXPECT_EQ(cgi::kHeader + "a<!--WRITE-->b<!--/WRITE-->c<!--WRITE-->d", site.Get("").out);
}

TEST_F(Startup, TraceOffLeavesNoLogFile) {
  site.Get("");
  EXPECT_FALSE(site.Exists("hob-htpasswd.cgi.log"));
}

TEST_F(Startup, TraceOnWritesStartAndEndLines) {
  site.Write("dat-system.dat", "opt_trace=1\n");
  site.Get("");
  std::string log = site.Read("hob-htpasswd.cgi.log");
  std::regex start(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}, \d+, hob-htpasswd\.cgi START =+\n)");
  std::regex end(
      R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}, \d+, hob-htpasswd\.cgi  END  =+\n\n\n$)");
  EXPECT_TRUE(std::regex_search(log, start)) << log;
  EXPECT_TRUE(std::regex_search(log, end)) << log;
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("hob-htpasswd.cgi.log").c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
}

TEST_F(Startup, LockHeldByAnotherProcessAnswersBusyAtOnce) {
  site.Write("dat-message.dat", "msg90=busy\n");
  CHobFlock holder;
  ASSERT_EQ(0, holder.Lock(site.Path("lockfile.lock").c_str()));
  cgi::Result r = site.Get("");
  EXPECT_EQ(cgi::kHeader + "[busy]sig", r.out);
  EXPECT_EQ(1, r.status);
  holder.Unlock();
  EXPECT_EQ(0, site.Get("").status);
}

TEST_F(Startup, LockFileTheWebServerCannotCreateIsNotCalledBusy) {
  site.Write("dat-message.dat", "msg90=busy\nmsg91=unwritable\n");
  chmod(site.dir().c_str(), 0755);
  site.RunAsNobody();
  cgi::Result r = site.Get("");
  EXPECT_EQ(cgi::kHeader + "[unwritable]sig", r.out);
  EXPECT_EQ(1, r.status);
}

TEST_F(Startup, StartUpLockIsWaitedForAsLongAsLockwaitSays) {
  site.Write("dat-system.dat", "lockwait=2\n");
  site.Write("dat-message.dat", "msg90=busy\n");
  pid_t holder = hobtest::HoldLock(site.Path("lockfile.lock"), 1);
  EXPECT_EQ(0, site.Get("").status);
  waitpid(holder, nullptr, 0);
  holder = hobtest::HoldLock(site.Path("lockfile.lock"), 3);
  EXPECT_EQ(cgi::kHeader + "[busy]sig", site.Get("").out);
  waitpid(holder, nullptr, 0);
}

TEST_F(Startup, MessagePageShowsPercentSignsLiterallyAndCutsLongTexts) {
  CHobFlock holder;
  ASSERT_EQ(0, holder.Lock(site.Path("lockfile.lock").c_str()));
  site.Write("dat-message.dat", "msg90=100% busy %s %n %%\n");
  EXPECT_EQ(cgi::kHeader + "[100% busy %s %n %%]sig", site.Get("").out);

  site.Write("dat-message.dat", "msg90=" + std::string(5000, 'm') + "\n");
  EXPECT_EQ(cgi::kHeader + "[" + std::string(4095, 'm') + "]sig", site.Get("").out);
}

TEST_F(Startup, MissingMessageTemplateGivesTheHeaderAlone) {
  remove(site.Path("templ_info.html").c_str());
  CHobFlock holder;
  ASSERT_EQ(0, holder.Lock(site.Path("lockfile.lock").c_str()));
  cgi::Result r = site.Get("");
  EXPECT_EQ(cgi::kHeader, r.out);
  EXPECT_EQ(1, r.status);
}

TEST_F(Startup, HomeVariableNamesTheDirectoryOfTheSiteFiles) {
  cgi::Site elsewhere(false);
  elsewhere.SetEnv("HOB_HTPASSWD_HOME", site.dir());
  cgi::Result r = elsewhere.Get("");
  EXPECT_EQ(cgi::kHeader + kFirstVisit, r.out);
  EXPECT_EQ(0, r.status);

  elsewhere.SetEnv("HOB_HTPASSWD_HOME", site.Path("missing"));
  r = elsewhere.Get("");
  EXPECT_EQ(0u, r.out.find("Content-type: text/plain\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("HOB_HTPASSWD_HOME")) << r.out;
  EXPECT_EQ(1, r.status);
}

TEST(DefaultSiteFiles, FirstVisitIsACompleteFormWithNoPlaceholderLeft) {
  cgi::Site site;
  cgi::Result r = site.Get("");
  ASSERT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find(cgi::kHeader));
  EXPECT_FALSE(std::regex_search(r.out, std::regex("%[A-Z0-9]+%"))) << "a placeholder was left";
  for (const char* needle :
       {"name=\"path\"", "name=\"user\"", "name=\"pass\"", "name=\"submit\"",
        "name=\"type\" value=\"3\" checked", "name=\"option\" value=\"n\" checked", "<!--WRITE-->",
        "www.example.test", "</html>"}) {
    EXPECT_NE(std::string::npos, r.out.find(needle)) << needle;
  }
}

TEST(DefaultSiteFiles, JapaneseSetHasTheSamePlaceholdersAndKeys) {
  std::string base = HOB_SITE_DIR;
  std::regex token(R"(%[A-Z0-9]+%|<!--/?[A-Z]+-->|^msg\d\d=)", std::regex::multiline);
  for (const char* name : {"templ_config.html", "templ_info.html", "dat-message.dat"}) {
    std::string en = cgi::ReadWhole(base + "/" + name);
    std::string ja = cgi::ReadWhole(base + "/ja/" + name);
    std::vector<std::string> a, b;
    for (std::sregex_iterator i(en.begin(), en.end(), token), e; i != e; ++i) a.push_back(i->str());
    for (std::sregex_iterator i(ja.begin(), ja.end(), token), e; i != e; ++i) b.push_back(i->str());
    EXPECT_FALSE(a.empty()) << name;
    EXPECT_EQ(a, b) << name;
  }
}

TEST(DefaultSiteFiles, EveryMessageKeyTheProgramNamesIsInBothCatalogues) {
  std::string source = cgi::ReadWhole(HOB_APP_SOURCE);
  std::regex key("\"(msg\\d\\d)\"");
  int keys = 0;
  for (std::sregex_iterator i(source.begin(), source.end(), key), e; i != e; ++i, ++keys) {
    for (const char* set : {"/", "/ja/"}) {
      std::string catalogue = cgi::ReadWhole(std::string(HOB_SITE_DIR) + set + "dat-message.dat");
      EXPECT_NE(std::string::npos, catalogue.find("\n" + (*i)[1].str() + "="))
          << (*i)[1] << " in " << set;
    }
  }
  EXPECT_GT(keys, 10);
}

}  // namespace
