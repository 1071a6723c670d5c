// A submitted form: the checks and their messages, path normalisation, the
// three actions with a stand-in tool and with the real password tool, and
// hostile values that must neither run anything nor become markup.
#include <gtest/gtest.h>
#include <limits.h>

#include <regex>
#include <tuple>

#include "cgi_harness.h"

namespace {

const char* const kTemplate =
    "P=%PATH%|U=%USER%|S=%PASS%|T=%TYPE0%,%TYPE1%,%TYPE2%|O=%OPT0%,%OPT1%,%OPT2%|R=<!--RESULT-->";
// The form with every type and action.
const char* const kFullTemplate =
    "T=%TYPE0%,%TYPE1%,%TYPE2%,%TYPE3%,%TYPE4%,%TYPE5%|O=%OPT0%,%OPT1%,%OPT2%,%OPT3%,%OPT4%,%OPT5%"
    "|R=<!--RESULT-->";

const char* const kMessages =
    "msg00=M00\nmsg01=M01\nmsg02=M02\nmsg03=M03\nmsg04=M04\nmsg05=M05\nmsg06=M06\nmsg07=M07\n"
    "msg08=M08\nmsg09=H9\nmsg10=H10\nmsg11=M11\nmsg12=M12\nmsg13=M13\nmsg14=M14\nmsg15=M15\n"
    "msg16=M16\nmsg17=M17\nmsg18=H18\nmsg19=H19\nmsg20=H20\nmsg21=H21\nmsg22=H22\nmsg35=H35\n"
    "msg44=M44\nmsg90=M90\nmsg91=M91\n";

// A stand-in password tool: records each argument as "[arg]", its standard
// input as "<line>" and a "--" line per run in args.log, prints an entry for
// -ni*, writes one for -ic*, deletes the user's line for -D, answers -iv with
// status 3 unless the password is "right", appends an entry for -i*.
const char* const kStandIn =
    "log=\"$(dirname \"$0\")/args.log\"\n"
    "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$log\"; done\n"
    "if IFS= read -r line; then printf '<%s>\\n' \"$line\" >> \"$log\"; fi\n"
    "echo -- >> \"$log\"\n"
    "option=$1; shift 2\n"
    "case \"$option\" in\n"
    "  -ni*) printf '%s:STANDIN\\n' \"$1\" ;;\n"
    "  -ic*) printf '%s:STANDIN\\n' \"$2\" > \"$1\" ;;\n"
    "  -D) grep -v \"^$2:\" \"$1\" > \"$1.new\"; cat \"$1.new\" > \"$1\"; rm \"$1.new\" ;;\n"
    "  -iv) [ \"$line\" = right ] || exit 3 ;;\n"
    "  -i*) printf '%s:STANDIN\\n' \"$2\" >> \"$1\" ;;\n"
    "esac\n";

// The headers a browser sends with a form the person submitted.
void SetPersonsSubmit(cgi::Site& site) {
  site.SetEnv("HTTP_SEC_FETCH_MODE", "navigate");
  site.SetEnv("HTTP_SEC_FETCH_DEST", "document");
  site.SetEnv("HTTP_SEC_FETCH_USER", "?1");
}

class Submit : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", kTemplate);
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", kMessages);
    site.Write("dat-htaccess.dat", "F=%FILE% U=%USER%");
    remove(site.Path("dat-nginx.dat").c_str());
    UseTool(site.WriteScript("tool", kStandIn));
  }

  void UseTool(const std::string& tool) {
    site.Write("dat-system.dat", "opt_trace=0\nwritemode=1\nhtpasswd=" + tool + "\n");
  }

  cgi::Result Send(const std::string& path, const std::string& user, const std::string& pass,
                   const std::string& type, const std::string& option,
                   const std::vector<std::pair<std::string, std::string>>& more = {}) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"path", path}, {"user", user},     {"pass", pass},
        {"type", type}, {"option", option}, {"submit", "Run"}};
    fields.insert(fields.end(), more.begin(), more.end());
    return site.Post(cgi::FormBody(fields));
  }

  // Expects the message page of key's text, with one header and status 1.
  void ExpectMessage(const cgi::Result& r, const std::string& text) {
    EXPECT_EQ(cgi::kHeader + "[" + text + "]", r.out);
    EXPECT_EQ(1, r.status);
  }

  // The arguments the tool was given, the private copy of a password file it
  // works on shown as "COPY".
  std::string ToolArgs() {
    return std::regex_replace(site.Read("args.log"),
                              std::regex(R"(\[htpasswd-copy\.[A-Za-z0-9]{6}\])"), "[COPY]");
  }

  cgi::Site site;
};

TEST_F(Submit, EmptyOrRootPathIsRefusedFirst) {
  ExpectMessage(Send("", "", "", "0", "n"), "M00");
  ExpectMessage(Send("/", "u", "p", "0", "n"), "M00");
  ExpectMessage(Send("\\//", "u", "p", "0", "n"), "M00");
}

TEST_F(Submit, RelativePathsAreRefused) {
  for (const char* path : {".", "./a", "home/x", "a\\b"})
    ExpectMessage(Send(path, "u", "p", "0", "n"), "M07");
}

TEST_F(Submit, ChecksStopAtTheFirstFailure) {
  ExpectMessage(Send("/tmp", "", "", "0", "n"), "M01");
  ExpectMessage(Send("/tmp", "u", "", "0", "n"), "M02");
  EXPECT_FALSE(site.Exists("args.log")) << "the tool ran after a failed check";
}

TEST_F(Submit, UserNamesThatWouldInjectEntriesAreRefusedBeforeTheToolRuns) {
  for (const char* user : {"a\nevil:hash", "a\rb", "a\tb", "a:b", "a\x7f", "\x1b[0m", "a\x1f"}) {
    ExpectMessage(Send("/tmp", user, "p", "1", "c"), "M11");
  }
  EXPECT_FALSE(site.Exists("args.log"));
}

TEST_F(Submit, PathIsNormalisedAndTheFormIsFilled) {
  cgi::Result r = Send("\\home\\www//", "bob", "secret", "1", "n");
  EXPECT_EQ(cgi::kHeader + "P=/home/www/|U=bob|S=|T=,checked,|O=checked,,|R=H10\n\nbob:STANDIN\n",
            r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[-nim]\n[--]\n[bob]\n<secret>\n--\n", ToolArgs());
}

TEST_F(Submit, DotDotComponentsStayAsTyped) {
  cgi::Result r = Send("/a/../b/", "u", "p", "2", "n");
  EXPECT_NE(std::string::npos, r.out.find("P=/a/../b/|")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("T=,,checked|")) << r.out;
}

// Without its option word the tool would take the user name for a password
// file: "user=/some/dir/.htpasswd" with type 7 once added a user there.
TEST_F(Submit, TypeThatIsNotExactlyAKnownOneIsRefusedBeforeAnythingRuns) {
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "old:hash\n");
  for (const char* type : {"", "x", "-1", "7", "01", " 1", "1 "}) {
    for (const char* option : {"n", "c", "a"}) {
      ExpectMessage(Send(site.Path("d"), site.Path("d/.htpasswd"), "eve", type, option), "M13");
    }
  }
  EXPECT_FALSE(site.Exists("args.log"));
  EXPECT_EQ("old:hash\n", site.Read("d/.htpasswd"));
}

TEST_F(Submit, UnknownOptionAnswersTheFilledFormWithNoActionChosen) {
  cgi::Result r = Send("/tmp", "u", "p", "0", "x");
  EXPECT_EQ(cgi::kHeader + "P=/tmp/|U=u|S=|T=checked,,|O=,,|R=", r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_FALSE(site.Exists("args.log"));
}

// A tool that prints nothing for -ni writes the entry into the file it is given.
std::string QuietTool(int status) {
  return "log=\"$(dirname \"$0\")/args.log\"\n"
         "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$log\"; done\n"
         "case \"$1\" in -ic*) printf '%s:FROMFILE\\n' \"$4\" > \"$3\" ;; esac\n"
         "exit " +
         std::to_string(status) + "\n";
}

TEST_F(Submit, DisplayFallsBackToAPrivateScratchFileThatIsGoneAfterwards) {
  UseTool(site.WriteScript("quiet", QuietTool(0)));
  cgi::Result r = Send("/tmp", "u", "p", "0", "n");
  const std::string end = "R=H10\n\nu:FROMFILE\n\n";
  EXPECT_EQ(r.out.size() - end.size(), r.out.rfind(end)) << r.out;
  EXPECT_TRUE(std::regex_match(
      ToolArgs(),
      std::regex(
          R"(\[-nid\]\n\[--\]\n\[u\]\n\[-icd\]\n\[--\]\n\[tmp\.htpasswd\.\w{6}\]\n\[u\]\n)")))
      << ToolArgs();
  auto scratchFiles = [&] {
    int n = 0;
    for (const std::string& name : site.Listing()) n += name.rfind("tmp.htpasswd", 0) == 0;
    return n;
  };
  EXPECT_EQ(0, scratchFiles());

  UseTool(site.WriteScript("quiet", QuietTool(1)));
  ExpectMessage(Send("/tmp", "u", "p", "0", "n"), "M08");
  EXPECT_EQ(0, scratchFiles()) << "the scratch file of a failed run stays";
}

TEST_F(Submit, DisplayWithAToolThatCannotRunReportsTheFailure) {
  UseTool(site.Path("no-such-tool"));
  ExpectMessage(Send("/tmp", "u", "p", "0", "n"), "M08");
}

TEST_F(Submit, CreateInAMissingDirectoryIsRefused) {
  ExpectMessage(Send(site.Path("missing"), "u", "p", "1", "c"), "M03");
  EXPECT_FALSE(site.Exists("args.log"));
}

TEST_F(Submit, CreateWhereThePasswordFileIsADirectoryIsRefused) {
  mkdir(site.Path("d").c_str(), 0755);
  mkdir(site.Path("d/.htpasswd").c_str(), 0755);
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "c"), "M04");
}

TEST_F(Submit, AddWithoutAPasswordFileIsRefused) {
  mkdir(site.Path("d").c_str(), 0755);
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "a"), "M05");
  EXPECT_FALSE(site.Exists("args.log"));
}

TEST_F(Submit, AddWhereThePasswordFileIsADirectoryIsRefused) {
  mkdir(site.Path("d").c_str(), 0755);
  mkdir(site.Path("d/.htpasswd").c_str(), 0755);
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "a"), "M06");
}

TEST_F(Submit, ToolThatFailsIsReportedAndTheOldFileIsKept) {
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "old:hash\n");
  UseTool(site.WriteScript("failing", "exit 3\n"));
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "c", {{"replace", "1"}}), "M08");
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "a"), "M08");
  EXPECT_EQ("old:hash\n", site.Read("d/.htpasswd"));
}

TEST_F(Submit, CreateAndAddShowTheAccessFileText) {
  mkdir(site.Path("d").c_str(), 0755);
  cgi::Result r = Send(site.Path("d"), "u1", "p", "0", "c");
  std::string file = site.Path("d/.htpasswd");
  // After a create the next submit adds: the file is not made anew by mistake.
  EXPECT_NE(std::string::npos, r.out.find("|O=,,checked|R=H9\n\nF=" + file + " U=u1")) << r.out;
  r = Send(site.Path("d"), "u2", "p", "2", "a");
  EXPECT_NE(std::string::npos, r.out.find("|O=,,checked|R=H9\n\nF=" + file + " U=u2")) << r.out;
  EXPECT_EQ("u1:STANDIN\nu2:STANDIN\n", site.Read("d/.htpasswd"));
  EXPECT_EQ("[-icd]\n[--]\n[COPY]\n[u1]\n<p>\n--\n[-is]\n[--]\n[COPY]\n[u2]\n<p>\n--\n",
            ToolArgs());
}

// A page on another site can make the owner's browser post here with the
// owner's cached credentials; the browser says where such a post comes from.
TEST_F(Submit, PostsFromOtherSitesAndSubmitsByGetRunNothing) {
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "alice:x\nbob:y\n");
  const std::pair<const char*, const char*> foreign[] = {
      {"HTTP_ORIGIN", "http://evil.test"},
      {"HTTP_ORIGIN", "null"},
      {"HTTP_ORIGIN", "https://www.example.test"},
      {"HTTP_ORIGIN", "http://www.example.test:8080"},
      {"HTTP_ORIGIN", "http://www.example.test.evil.test"},
      {"HTTP_SEC_FETCH_SITE", "cross-site"},
      {"HTTP_SEC_FETCH_SITE", "same-site"},
      {"HTTP_REFERER", "http://evil.test/www.example.test/"}};
  for (const auto& [header, value] : foreign) {
    site.SetEnv(header, value);
    ExpectMessage(Send(site.Path("d"), "mallory", "p", "1", "c"), "M12");
    site.UnsetEnv(header);
  }
  cgi::Result r = site.Get(cgi::FormBody({{"path", site.Path("d")},
                                          {"user", "mallory"},
                                          {"pass", "p"},
                                          {"type", "1"},
                                          {"option", "a"},
                                          {"submit", "1"}}));
  ExpectMessage(r, "M12");
  EXPECT_FALSE(site.Exists("args.log"));
  EXPECT_EQ("alice:x\nbob:y\n", site.Read("d/.htpasswd"));
}

TEST_F(Submit, OwnPageIsRecognisedWhateverFormItsOriginTakes) {
  const std::vector<std::vector<std::pair<std::string, std::string>>> own = {
      {{"HTTP_HOST", "www.example.test:80"}, {"HTTP_ORIGIN", "http://WWW.example.test"}},
      {{"HTTPS", "on"},
       {"HTTP_HOST", "www.example.test"},
       {"HTTP_ORIGIN", "https://www.example.test:443"}},
      {{"SERVER_PORT", "8080"}, {"HTTP_ORIGIN", "http://www.example.test:8080"}},
      // A Host header passed on without its port.
      {{"HTTP_HOST", "www.example.test"},
       {"SERVER_PORT", "8080"},
       {"HTTP_ORIGIN", "http://www.example.test:8080"}},
      {{"HTTP_HOST", "[::1]:8080"}, {"HTTP_ORIGIN", "http://[::1]:8080"}},
      {{"HTTP_SEC_FETCH_SITE", "same-origin"},
       {"HTTP_HOST", "www.example.test"},
       {"HTTP_REFERER", "http://www.example.test/cgi-bin/hob-htpasswd.cgi"}},
      {{"HTTP_SEC_FETCH_SITE", "none"}}};
  for (const auto& headers : own) {
    for (const auto& [name, value] : headers) site.SetEnv(name, value);
    SetPersonsSubmit(site);
    cgi::Result r = Send("/tmp", "u", "p", "1", "n");
    EXPECT_EQ(0, r.status) << headers[0].first << "=" << headers[0].second << "\n" << r.out;
    for (const auto& header : headers) site.UnsetEnv(header.first);
  }
}

// A script on a page of this very origin (a fetch, or a form it submits
// itself) acts with the owner's cached credentials too: only a navigation
// the person started is served.
TEST_F(Submit, SameOriginPostsThatThePersonDidNotSubmitRunNothing) {
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "alice:x\n");
  site.SetEnv("HTTP_SEC_FETCH_SITE", "same-origin");
  const std::vector<std::pair<std::string, std::string>> unlike = {
      {"HTTP_SEC_FETCH_MODE", "cors"},     // fetch()
      {"HTTP_SEC_FETCH_MODE", "no-cors"},  // fetch() without CORS
      {"HTTP_SEC_FETCH_DEST", "iframe"},   // a form aimed at a frame
      {"HTTP_SEC_FETCH_DEST", "empty"},    // fetch()
      {"HTTP_SEC_FETCH_USER", ""},         // form.submit() from a script
  };
  for (const auto& [name, value] : unlike) {
    SetPersonsSubmit(site);
    if (value.empty()) {
      site.UnsetEnv(name);
    } else {
      site.SetEnv(name, value);
    }
    ExpectMessage(Send(site.Path("d"), "mallory", "p", "1", "a"), "M12");
  }
  EXPECT_FALSE(site.Exists("args.log"));
  SetPersonsSubmit(site);
  EXPECT_EQ(0, Send(site.Path("d"), "bob", "p", "1", "a").status);
}

// With host names set, a request naming another host is refused whatever it
// asks, and one naming a listed host (any case, default port or none) is served.
TEST_F(Submit, HostNamesRefuseEveryOtherHostFirstVisitsToo) {
  site.Write("dat-system.dat", "writemode=1\nhtpasswd=" + site.Path("tool") +
                                   "\nhostnames=www.example.test+localhost:8080\n");
  for (const char* host : {"rebind.test", "rebind.test:8080", "localhost", "localhost:8081",
                           "www.example.test.rebind.test", ""}) {
    site.SetEnv("HTTP_HOST", host);
    ExpectMessage(site.Get(""), "M12");
    site.SetEnv("HTTP_ORIGIN", std::string("http://") + host);
    ExpectMessage(Send("/tmp", "u", "p", "1", "n"), "M12");
    site.UnsetEnv("HTTP_ORIGIN");
  }
  for (const char* host : {"www.example.test", "WWW.Example.Test:80", "localhost:8080"}) {
    site.SetEnv("HTTP_HOST", host);
    EXPECT_EQ(0, site.Get("").status) << host;
    EXPECT_EQ(0, Send("/tmp", "u", "p", "1", "n").status) << host;
  }
  // A Host header passed on without its port, with the server's port.
  site.SetEnv("HTTP_HOST", "localhost");
  site.SetEnv("SERVER_PORT", "8080");
  EXPECT_EQ(0, site.Get("").status);
  site.SetEnv("SERVER_PORT", "8081");
  ExpectMessage(site.Get(""), "M12");
}

TEST_F(Submit, WritemodeZeroRefusesEveryActionThatWrites) {
  site.Write("dat-system.dat", "writemode=0\nhtpasswd=" + site.Path("tool") + "\n");
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "alice:x\n");
  ExpectMessage(Send(site.Path("d"), "eve", "p", "1", "c"), "M15");
  ExpectMessage(Send(site.Path("d"), "eve", "p", "1", "a"), "M15");
  EXPECT_FALSE(site.Exists("args.log"));
  EXPECT_EQ("alice:x\n", site.Read("d/.htpasswd"));
  EXPECT_EQ(0, Send(site.Path("d"), "eve", "p", "1", "n").status);
}

TEST_F(Submit, PasswordFileThatIsALinkIsRefusedAndItsTargetKept) {
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("other", "alice:x\n");
  chmod(site.Path("other").c_str(), 0600);
  ASSERT_EQ(0, symlink(site.Path("other").c_str(), site.Path("d/.htpasswd").c_str()));
  ExpectMessage(Send(site.Path("d"), "eve", "p", "1", "c"), "M04");
  ExpectMessage(Send(site.Path("d"), "eve", "p", "1", "a"), "M06");
  EXPECT_EQ("alice:x\n", site.Read("other"));
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("other").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(Submit, OverlongPathOrRequestIsRefusedUnread) {
  ExpectMessage(Send("/" + std::string(PATH_MAX, 'a'), "u", "p", "1", "c"), "M14");
  std::string body = cgi::FormBody({{"path", "/tmp"},
                                    {"user", "u"},
                                    {"pass", "p"},
                                    {"type", "1"},
                                    {"option", "n"},
                                    {"submit", "1"}});
  ExpectMessage(site.Post(body + "&pad=" + std::string(64 * 1024, 'x')), "M14");
  ExpectMessage(site.Get(body + "&pad=" + std::string(64 * 1024, 'x')), "M14");
  EXPECT_FALSE(site.Exists("args.log"));
}

TEST_F(Submit, PasswordWithALineBreakIsRefusedBeforeTheToolRuns) {
  for (const char* pass : {"a\nb", "a\rb", "ab\r\n"})
    ExpectMessage(Send("/tmp", "u", pass, "1", "n"), "M16");
  EXPECT_FALSE(site.Exists("args.log"));
}

// The trace log may be read by others; the password is in it in no form.
TEST_F(Submit, TraceLogHoldsThePasswordInNoEncoding) {
  site.Write("dat-system.dat", "opt_trace=1\nwritemode=1\nhtpasswd=" + site.Path("tool") + "\n");
  const std::string pass = "S3cr3t Pass/\xC3\xBC+%";
  std::vector<std::pair<std::string, std::string>> fields = {{"path", "/tmp"}, {"user", "u"},
                                                             {"pass", pass},   {"type", "1"},
                                                             {"option", "n"},  {"submit", "1"}};
  site.Post(cgi::FormBody(fields));
  site.Post("pa%73s=" + cgi::UrlEncode(pass) + "&" + cgi::FormBody(fields));
  site.SetEnv("QUERY_STRING", "pass=" + cgi::UrlEncode(pass));
  site.Post(cgi::FormBody(fields));
  site.SetEnv("QUERY_STRING", "");
  std::string plain;
  for (const auto& [name, value] : fields) plain += name + "=" + value + "&";
  site.Post(plain, "text/plain");
  std::string multipart;
  for (const auto& [name, value] : fields) {
    multipart +=
        "--b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  }
  site.Post(multipart + "--b--\r\n", "multipart/form-data; boundary=b");

  std::string log = site.Read("hob-htpasswd.cgi.log");
  std::string plus = cgi::UrlEncode(pass);
  for (size_t at = plus.find("%20"); at != std::string::npos; at = plus.find("%20")) {
    plus.replace(at, 3, "+");
  }
  for (const std::string& form : {pass, std::string("S3cr3t"), cgi::UrlEncode(pass), plus}) {
    EXPECT_EQ(std::string::npos, log.find(form)) << form;
  }
  EXPECT_EQ(5u, cgi::CountOf(log, "pass=***")) << log;
  EXPECT_EQ(1u, cgi::CountOf(log, "pa%73s=***")) << log;
  EXPECT_EQ(1u, cgi::CountOf(log, "name=\"pass\"\r\n\r\n***")) << log;
}

TEST_F(Submit, FilesGetTheModeTheSettingsName) {
  mkdir(site.Path("d").c_str(), 0755);
  for (const auto& [setting, mode] : {std::pair<std::string, unsigned>{"filemode=0640\n", 0640},
                                      {"filemode=600\n", 0600},
                                      {"filemode=rw-r--r--\n", 0600},
                                      {"", 0666}}) {
    site.Write("dat-system.dat",
               setting + "opt_trace=1\nwritemode=1\nhtpasswd=" + site.Path("tool") + "\n");
    remove(site.Path("hob-htpasswd.cgi.log").c_str());
    remove(site.Path("d/.htpasswd").c_str());
    ASSERT_EQ(0, Send(site.Path("d"), "u", "p", "1", "c").status);
    for (const char* file : {"d/.htpasswd", "hob-htpasswd.cgi.log"}) {
      struct stat st;
      ASSERT_EQ(0, stat(site.Path(file).c_str(), &st));
      EXPECT_EQ(mode, st.st_mode & 07777) << setting << file;
    }
  }
}

TEST_F(Submit, LockHeldByAnotherRequestIsWaitedForAsLongAsLockwaitSays) {
  site.Write("dat-system.dat", "lockwait=2\nwritemode=1\nhtpasswd=" + site.Path("tool") + "\n");
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "alice:x\n");
  pid_t holder = hobtest::HoldLock(site.Path("d/.htpasswd.lock"), 1);
  EXPECT_EQ(0, Send(site.Path("d"), "u1", "p", "1", "a").status);
  waitpid(holder, nullptr, 0);
  holder = hobtest::HoldLock(site.Path("d/.htpasswd.lock"), 3);
  ExpectMessage(Send(site.Path("d"), "u2", "p", "1", "a"), "M90");
  waitpid(holder, nullptr, 0);
  EXPECT_EQ("alice:x\nu1:STANDIN\n", site.Read("d/.htpasswd"));
}

TEST_F(Submit, NewTypesPassTheirLettersAndAreMarked) {
  site.Write("templ_config.html", kFullTemplate);
  for (const auto& [type, word, marked] :
       {std::tuple<const char*, const char*, const char*>{"3", "-niB", ",,,checked,,"},
        {"4", "-ni2", ",,,,checked,"},
        {"5", "-ni5", ",,,,,checked"}}) {
    remove(site.Path("args.log").c_str());
    cgi::Result r = Send("/tmp", "u", "p", type, "n");
    EXPECT_NE(std::string::npos, r.out.find(std::string("T=") + marked + "|")) << r.out;
    EXPECT_EQ(std::string("[") + word + "]\n[--]\n[u]\n<p>\n--\n", ToolArgs());
  }
}

// The users and the kinds of their hashes, never a hash.
TEST_F(Submit, ListShowsNamesAndHashKindsOnly) {
  site.Write("templ_config.html", kFullTemplate);
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd",
             "ann:$2y$05$abcdefghijklmnopqrstuOabcdefghijklmnopqrstuvwxyz01234\n"
             "bob:$apr1$x1y2z3$SECRETHASHSECRETHASH1\n"
             "# cid:commented\n"
             "<i>dee:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n");
  cgi::Result r = Send(site.Path("d"), "", "", "", "l");
  EXPECT_EQ(cgi::kHeader +
                "T=,,,,,|O=,,,checked,,|R=H18 (3)\n\nann (bcrypt)\nbob (MD5)\n"
                "&lt;i&gt;dee (SHA-1)\n",
            r.out);
  EXPECT_FALSE(site.Exists("args.log"));
  ExpectMessage(Send(site.Path("missing"), "", "", "", "l"), "M03");
  mkdir(site.Path("e").c_str(), 0755);
  ExpectMessage(Send(site.Path("e"), "", "", "", "l"), "M05");
}

TEST_F(Submit, DeleteRemovesTheUserAndAMissingUserChangesNothing) {
  site.Write("templ_config.html", kFullTemplate);
  mkdir(site.Path("d").c_str(), 0755);
  const std::string before = "ann:x\nbob:y\n";
  site.Write("d/.htpasswd", before);
  ExpectMessage(Send(site.Path("d"), "carl", "", "", "d"), "M17");
  ExpectMessage(Send(site.Path("d"), "an", "", "", "d"), "M17");
  EXPECT_EQ(before, site.Read("d/.htpasswd"));
  EXPECT_FALSE(site.Exists("args.log"));
  cgi::Result r = Send(site.Path("d"), "ann", "", "", "d");
  EXPECT_EQ(cgi::kHeader + "T=,,,,,|O=,,,,checked,|R=H19\n\nann\n", r.out);
  EXPECT_EQ("bob:y\n", site.Read("d/.htpasswd"));
  EXPECT_EQ("[-D]\n[--]\n[COPY]\n[ann]\n--\n", ToolArgs());
  site.Write("dat-system.dat", "writemode=0\nhtpasswd=" + site.Path("tool") + "\n");
  ExpectMessage(Send(site.Path("d"), "bob", "", "", "d"), "M15");
}

TEST_F(Submit, VerifyTellsAMatchFromAMismatchAndWritesNothing) {
  site.Write("templ_config.html", kFullTemplate);
  mkdir(site.Path("d").c_str(), 0755);
  site.Write("d/.htpasswd", "ann:x\n");
  EXPECT_EQ(cgi::kHeader + "T=,,,,,|O=,,,,,checked|R=H20\n\nann\n",
            Send(site.Path("d"), "ann", "right", "", "v").out);
  EXPECT_EQ(cgi::kHeader + "T=,,,,,|O=,,,,,checked|R=H21\n\nann\n",
            Send(site.Path("d"), "ann", "wrong", "", "v").out);
  EXPECT_EQ("[-iv]\n[--]\n[COPY]\n[ann]\n<right>\n--\n[-iv]\n[--]\n[COPY]\n[ann]\n<wrong>\n--\n",
            ToolArgs());
  ExpectMessage(Send(site.Path("d"), "bob", "right", "", "v"), "M17");
  ExpectMessage(Send(site.Path("d"), "ann", "", "", "v"), "M02");
  EXPECT_EQ("ann:x\n", site.Read("d/.htpasswd"));
}

// Each server gets the text its own configuration needs, naming the
// directory's location under the document root: nginx's first, lighttpd's
// alone, Apache's access file alone, and for another server both texts.
TEST_F(Submit, ServerTextsComeForTheServerAndNameTheDirectorysLocation) {
  site.Write("dat-htaccess.dat", "A %FILE%");
  site.Write("dat-nginx.dat", "N %LOCATION% %FILE%\n");
  site.Write("dat-lighttpd.dat", "L %LOCATION% %FILE%\n");
  mkdir(site.Path("d").c_str(), 0755);
  mkdir(site.Path("d/a b\"").c_str(), 0755);
  const std::string dir = site.Path("d/a b\"");
  const std::string file = site.Path("d/a b&quot;/.htpasswd");
  const std::string apache = "H9\n\nA " + file + "\n";
  const std::string nginx = "H22\n\nN /d/a b\\&quot;/ " + file + "\n";
  const std::string cases[][2] = {{"Apache/2.4.62 (Debian)", "R=" + apache},
                                  {"nginx/1.22.1", "R=" + nginx + "\n" + apache},
                                  {"lighttpd/1.4.69", "R=H35\n\nL /d/a b\\&quot;/ " + file + "\n"},
                                  {"", "R=" + apache + "\n" + nginx}};
  site.SetEnv("DOCUMENT_ROOT", site.dir() + "/");
  Send(dir, "u", "p", "1", "c");
  for (const auto& [software, expected] : cases) {
    site.SetEnv("SERVER_SOFTWARE", software);
    cgi::Result r = Send(dir, "u", "p", "1", "a");
    EXPECT_EQ(expected, r.out.substr(r.out.find("R="))) << software;
  }
  site.SetEnv("DOCUMENT_ROOT", "/srv/elsewhere");
  site.SetEnv("SERVER_SOFTWARE", "nginx");
  EXPECT_NE(std::string::npos, Send(dir, "u", "p", "1", "a").out.find("N /protected/ " + file));
}

TEST_F(Submit, EnteredValuesNeverBecomeMarkup) {
  cgi::Result r =
      Send("/tmp/<b>", "<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "1", "n");
  ASSERT_EQ(0, r.status);
  EXPECT_EQ(std::string::npos, r.out.find("<script>"));
  EXPECT_EQ(std::string::npos, r.out.find("<img"));
  EXPECT_EQ(std::string::npos, r.out.find("<b>"));
  EXPECT_NE(std::string::npos, r.out.find("U=&lt;script&gt;alert(1)&lt;/script&gt;|"));
  EXPECT_NE(std::string::npos, r.out.find("S=|"));
}

TEST_F(Submit, AccessFileTextIsShownAsTextNotMarkup) {
  site.Write("dat-htaccess.dat", "<Files \".ht*\">&</Files> %USER%");
  mkdir(site.Path("d").c_str(), 0755);
  cgi::Result r = Send(site.Path("d"), "u", "p", "1", "c");
  EXPECT_NE(std::string::npos,
            r.out.find("H9\n\n&lt;Files &quot;.ht*&quot;&gt;&amp;&lt;/Files&gt; u"))
      << r.out;
}

TEST_F(Submit, ValuesThatLookLikePlaceholdersAreNotFilledIn) {
  const std::string dir = site.Path("%USER%");
  mkdir(dir.c_str(), 0755);
  cgi::Result r = Send(dir, "%PASS%", "%TYPE0%", "1", "c");
  EXPECT_NE(std::string::npos, r.out.find("/&#37;USER&#37;/|U=&#37;PASS&#37;|S=|T=,checked,|"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("/&#37;USER&#37;/.htpasswd U=&#37;PASS&#37;")) << r.out;
}

class RealTool : public Submit {
 protected:
  void SetUp() override {
    Submit::SetUp();
    UseTool("htpasswd");
    mkdir(site.Path("d").c_str(), 0755);
  }
};

TEST_F(RealTool, DisplayShowsAnEntryThatVerifies) {
  for (const char* type : {"0", "1", "2"}) {
    cgi::Result r = Send("/tmp", "alice", "s3cret", type, "n");
    size_t at = r.out.find("R=H10\n\n");
    ASSERT_NE(std::string::npos, at) << r.out;
    std::string entry = r.out.substr(at + 7, r.out.find("\n\nH9") - at - 7);
    site.Write("entry", entry + "\n");
    EXPECT_TRUE(hobtest::Verifies(site.Path("entry"), "alice", "s3cret")) << type << ": " << entry;
  }
}

TEST_F(RealTool, CreateReplacesAnExistingFileAndAddKeepsBothUsers) {
  site.Write("d/.htpasswd", "old:xyz\n");
  ASSERT_EQ(0, Send(site.Path("d"), "alice", "pw-a", "1", "c", {{"replace", "1"}}).status);
  std::string file = site.Read("d/.htpasswd");
  EXPECT_EQ(0u, file.find("alice:$apr1$")) << file;
  EXPECT_EQ(1u, cgi::CountOf(file, "\n"));
  ASSERT_EQ(0, Send(site.Path("d"), "bob", "pw-b", "2", "a").status);
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "alice", "pw-a"));
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "bob", "pw-b"));
  // Without a mode in the settings the file keeps its own.
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("d/.htpasswd").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
}

// "-pi" once made the tool print a plaintext entry for another user.
TEST_F(RealTool, UserNameStartingWithADashIsAName) {
  ASSERT_EQ(0, Send(site.Path("d"), "-pi", "pw", "1", "c").status);
  EXPECT_EQ(0u, site.Read("d/.htpasswd").find("-pi:$apr1$"));
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "-pi", "pw"));
}

TEST_F(RealTool, AddToAFileWithoutFinalNewlineKeepsTheLastUser) {
  site.Write("d/.htpasswd", "");
  ASSERT_EQ(0, Send(site.Path("d"), "alice", "pw-a", "1", "a").status);
  std::string file = site.Read("d/.htpasswd");
  site.Write("d/.htpasswd", file.substr(0, file.size() - 1));
  ASSERT_EQ(0, Send(site.Path("d"), "bob", "pw-b", "1", "a").status);
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "alice", "pw-a"));
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "bob", "pw-b"));
}

}  // namespace
