// A submitted form: the checks and their messages, path normalisation, the
// three actions with a stand-in tool and with the real password tool, and
// hostile values that must neither run anything nor become markup.
#include <gtest/gtest.h>

#include "cgi_harness.h"

namespace {

const char* const kTemplate =
    "P=%PATH%|U=%USER%|S=%PASS%|T=%TYPE0%,%TYPE1%,%TYPE2%|O=%OPT0%,%OPT1%,%OPT2%|R=<!--RESULT-->";

const char* const kMessages =
    "msg00=M00\nmsg01=M01\nmsg02=M02\nmsg03=M03\nmsg04=M04\nmsg05=M05\nmsg06=M06\nmsg07=M07\n"
    "msg08=M08\nmsg09=H9\nmsg10=H10\nmsg11=M11\nmsg44=M44\nmsg90=M90\n";

// A stand-in password tool: records each argument as "[arg]" and a "--" line
// per run in args.log, prints an entry for -nb*, writes one for -bc*, appends
// one for -b*.
const char* const kStandIn =
    "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$(dirname \"$0\")/args.log\"; done\n"
    "echo -- >> \"$(dirname \"$0\")/args.log\"\n"
    "case \"$1\" in\n"
    "  -nb*) printf '%s:STANDIN\\n' \"$2\" ;;\n"
    "  -bc*) printf '%s:STANDIN\\n' \"$3\" > \"$2\" ;;\n"
    "  -b*) printf '%s:STANDIN\\n' \"$3\" >> \"$2\" ;;\n"
    "esac\n";

class Submit : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", kTemplate);
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", kMessages);
    site.Write("dat-htaccess.dat", "F=%FILE% U=%USER%");
    UseTool(site.WriteScript("tool", kStandIn));
  }

  void UseTool(const std::string& tool) {
    site.Write("dat-system.dat", "opt_trace=0\nwritemode=1\nhtpasswd=" + tool + "\n");
  }

  cgi::Result Send(const std::string& path, const std::string& user, const std::string& pass,
                   const std::string& type, const std::string& option) {
    return site.Post(cgi::FormBody({{"path", path},
                                    {"user", user},
                                    {"pass", pass},
                                    {"type", type},
                                    {"option", option},
                                    {"submit", "Run"}}));
  }

  // Expects the message page of key's text, with one header and status 1.
  void ExpectMessage(const cgi::Result& r, const std::string& text) {
    EXPECT_EQ(cgi::kHeader + "[" + text + "]", r.out);
    EXPECT_EQ(1, r.status);
  }

  std::string ToolArgs() { return site.Read("args.log"); }

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
  EXPECT_EQ(cgi::kHeader +
                "P=/home/www/|U=bob|S=secret|T=,checked,|O=checked,,|R=H10\n\nbob:STANDIN\n\n"
                "H9\n\nF=/home/www/.htpasswd U=bob",
            r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[-nbm]\n[bob]\n[secret]\n--\n", ToolArgs());
}

TEST_F(Submit, DotDotComponentsStayAsTyped) {
  cgi::Result r = Send("/a/../b/", "u", "p", "2", "n");
  EXPECT_NE(std::string::npos, r.out.find("P=/a/../b/|")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("T=,,checked|")) << r.out;
}

TEST_F(Submit, UnknownTypeLeavesTheTypePlaceholdersAndDropsTheOptionWord) {
  cgi::Result r = Send("/tmp", "u", "p", "7", "n");
  EXPECT_NE(std::string::npos, r.out.find("|T=%TYPE0%,%TYPE1%,%TYPE2%|")) << r.out;
  // The stand-in prints nothing without an option word, so the fallback runs too.
  EXPECT_EQ("[u]\n[p]\n--\n[./tmp.htpasswd]\n[u]\n[p]\n--\n", ToolArgs());
}

TEST_F(Submit, UnknownOptionAnswersTheFilledFormWithNoActionChosen) {
  cgi::Result r = Send("/tmp", "u", "p", "0", "x");
  EXPECT_EQ(cgi::kHeader + "P=/tmp/|U=u|S=p|T=checked,,|O=,,|R=", r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_FALSE(site.Exists("args.log"));
}

TEST_F(Submit, DisplayFallsBackToAScratchFileWhenTheToolPrintsNothing) {
  UseTool(site.WriteScript(
      "quiet",
      "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$(dirname \"$0\")/args.log\"; done\n"
      "case \"$1\" in -bc*) printf '%s:FROMFILE\\n' \"$3\" > \"$2\" ;; esac\n"));
  cgi::Result r = Send("/tmp", "u", "p", "0", "n");
  EXPECT_NE(std::string::npos, r.out.find("R=H10\n\nu:FROMFILE\n\n\nH9")) << r.out;
  EXPECT_EQ("[-nbd]\n[u]\n[p]\n[-bcd]\n[./tmp.htpasswd]\n[u]\n[p]\n", ToolArgs());
  EXPECT_TRUE(site.Exists("tmp.htpasswd"));
  EXPECT_EQ("", site.Read("tmp.htpasswd"));
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
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "c"), "M08");
  ExpectMessage(Send(site.Path("d"), "u", "p", "1", "a"), "M08");
  EXPECT_EQ("old:hash\n", site.Read("d/.htpasswd"));
}

TEST_F(Submit, CreateAndAddShowTheAccessFileText) {
  mkdir(site.Path("d").c_str(), 0755);
  cgi::Result r = Send(site.Path("d"), "u1", "p", "0", "c");
  std::string file = site.Path("d/.htpasswd");
  EXPECT_NE(std::string::npos, r.out.find("|O=,checked,|R=H9\n\nF=" + file + " U=u1")) << r.out;
  r = Send(site.Path("d"), "u2", "p", "2", "a");
  EXPECT_NE(std::string::npos, r.out.find("|O=,,checked|R=H9\n\nF=" + file + " U=u2")) << r.out;
  EXPECT_EQ("u1:STANDIN\nu2:STANDIN\n", site.Read("d/.htpasswd"));
  EXPECT_EQ("[-bcd]\n[" + file + "]\n[u1]\n[p]\n--\n[-bs]\n[" + file + "]\n[u2]\n[p]\n--\n",
            ToolArgs());
}

TEST_F(Submit, EnteredValuesNeverBecomeMarkup) {
  cgi::Result r =
      Send("/tmp/<b>", "<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "1", "n");
  ASSERT_EQ(0, r.status);
  EXPECT_EQ(std::string::npos, r.out.find("<script>"));
  EXPECT_EQ(std::string::npos, r.out.find("<img"));
  EXPECT_EQ(std::string::npos, r.out.find("<b>"));
  EXPECT_NE(std::string::npos, r.out.find("U=&lt;script&gt;alert(1)&lt;/script&gt;|"));
  EXPECT_NE(std::string::npos, r.out.find("S=&quot;&gt;&lt;img src=x onerror=alert(1)&gt;|"));
}

TEST_F(Submit, AccessFileTextIsShownAsTextNotMarkup) {
  site.Write("dat-htaccess.dat", "<Files \".ht*\">&</Files> %USER%");
  cgi::Result r = Send("/tmp", "u", "p", "1", "n");
  EXPECT_NE(std::string::npos,
            r.out.find("H9\n\n&lt;Files &quot;.ht*&quot;&gt;&amp;&lt;/Files&gt; u"))
      << r.out;
}

TEST_F(Submit, ValuesThatLookLikePlaceholdersAreNotFilledIn) {
  cgi::Result r = Send("/tmp/%USER%", "%PASS%", "%TYPE0%", "1", "n");
  EXPECT_NE(std::string::npos,
            r.out.find("P=/tmp/&#37;USER&#37;/|U=&#37;PASS&#37;|S=&#37;TYPE0&#37;|T=,checked,|"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("F=/tmp/&#37;USER&#37;/.htpasswd U=&#37;PASS&#37;"))
      << r.out;
}

class RealTool : public Submit {
 protected:
  void SetUp() override {
    Submit::SetUp();
    UseTool("htpasswd");
    mkdir(site.Path("d").c_str(), 0755);
  }
  bool Verifies(const std::string& file, const std::string& user, const std::string& pass) {
    std::string cmd = "htpasswd -vb '" + file + "' '" + user + "' '" + pass + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
  }
};

TEST_F(RealTool, DisplayShowsAnEntryThatVerifies) {
  for (const char* type : {"0", "1", "2"}) {
    cgi::Result r = Send("/tmp", "alice", "s3cret", type, "n");
    size_t at = r.out.find("R=H10\n\n");
    ASSERT_NE(std::string::npos, at) << r.out;
    std::string entry = r.out.substr(at + 7, r.out.find("\n\nH9") - at - 7);
    site.Write("entry", entry + "\n");
    EXPECT_TRUE(Verifies(site.Path("entry"), "alice", "s3cret")) << type << ": " << entry;
  }
}

TEST_F(RealTool, CreateReplacesAnExistingFileAndAddKeepsBothUsers) {
  site.Write("d/.htpasswd", "old:xyz\n");
  ASSERT_EQ(0, Send(site.Path("d"), "alice", "pw-a", "1", "c").status);
  std::string file = site.Read("d/.htpasswd");
  EXPECT_EQ(0u, file.find("alice:$apr1$")) << file;
  EXPECT_EQ(1u, cgi::CountOf(file, "\n"));
  ASSERT_EQ(0, Send(site.Path("d"), "bob", "pw-b", "2", "a").status);
  EXPECT_TRUE(Verifies(site.Path("d/.htpasswd"), "alice", "pw-a"));
  EXPECT_TRUE(Verifies(site.Path("d/.htpasswd"), "bob", "pw-b"));
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("d/.htpasswd").c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
}

TEST_F(RealTool, AddToAFileWithoutFinalNewlineKeepsTheLastUser) {
  site.Write("d/.htpasswd", "");
  ASSERT_EQ(0, Send(site.Path("d"), "alice", "pw-a", "1", "a").status);
  std::string file = site.Read("d/.htpasswd");
  site.Write("d/.htpasswd", file.substr(0, file.size() - 1));
  ASSERT_EQ(0, Send(site.Path("d"), "bob", "pw-b", "1", "a").status);
  EXPECT_TRUE(Verifies(site.Path("d/.htpasswd"), "alice", "pw-a"));
  EXPECT_TRUE(Verifies(site.Path("d/.htpasswd"), "bob", "pw-b"));
}

}  // namespace
