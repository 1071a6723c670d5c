// Hostile requests: lying lengths, broken and huge multipart bodies, floods of
// separators, markup and shell syntax in every field, odd user names and
// paths. Each must end quickly with a clear page and write nothing but the
// requested password file.
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>

#include "cgi_harness.h"

namespace {

const char* const kMessages =
    "msg00=M00\nmsg01=M01\nmsg02=M02\nmsg03=M03\nmsg04=M04\nmsg05=M05\nmsg06=M06\nmsg07=M07\n"
    "msg08=M08\nmsg09=H9\nmsg10=H10\nmsg11=M11\nmsg44=M44\nmsg90=M90\n";

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("dat-message.dat", kMessages);
    mkdir(site.Path("d").c_str(), 0755);
    before = site.Listing();
  }

  // A clear page: the header once, then either the form (status 0) or a
  // message page (status 1); and no file but the lock file appeared in the
  // working directory.
  void ExpectClearPage(const cgi::Result& r, const std::string& what) {
    EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": status " << r.status;
    EXPECT_EQ(0u, r.out.find(cgi::kHeader)) << what;
    EXPECT_EQ(1u, cgi::CountOf(r.out, "Content-type:")) << what;
    EXPECT_NE(std::string::npos, r.out.find("</html>")) << what;
    for (const std::string& name : site.Listing()) {
      if (before.count(name) || name == "lockfile.lock") continue;
      ADD_FAILURE() << what << " left " << name;
    }
  }

  cgi::Result PostRaw(const std::string& body, const std::string& length,
                      const std::string& type = "application/x-www-form-urlencoded") {
    site.SetEnv("REQUEST_METHOD", "POST");
    site.SetEnv("CONTENT_LENGTH", length);
    site.SetEnv("CONTENT_TYPE", type);
    site.SetEnv("QUERY_STRING", "");
    return site.Run(body);
  }

  cgi::Site site;
  std::set<std::string> before;
};

TEST_F(Hostile, LyingOrMalformedContentLengthsAreSurvived) {
  const std::string body = "path=%2F&user=u&pass=p&submit=1";
  for (const char* length : {"99999999999", "-5", "abc", "1000", "1073741824", "", "  12",
                             "2147483648", "-2147483649"}) {
    ExpectClearPage(PostRaw(body, length), std::string("CONTENT_LENGTH=") + length);
  }
  ExpectClearPage(PostRaw("0123456789", "1073741824"), "1 GB declared, 10 bytes sent");
}

TEST_F(Hostile, BrokenMultipartBodiesAddNothing) {
  const std::string type = "multipart/form-data; boundary=xyz";
  for (const std::string& body :
       {std::string("--xyz no line end at all submit=1"),
        std::string("\r\n--xyz\r\nContent-Disposition: form-data; "
                    "name=\"submit\"\r\n\r\n1\r\n--xyz--\r\n"),
        std::string("--xyz\r\n"), std::string("\r\n"), std::string("--xyz\r\n\"\r\n\r\n")}) {
    cgi::Result r = PostRaw(body, std::to_string(body.size()), type);
    ExpectClearPage(r, "multipart: " + body);
    EXPECT_EQ(0, r.status);
  }
}

TEST_F(Hostile, TenThousandPartsAndAMegabytePartAreHandled) {
  const std::string type = "multipart/form-data; boundary=b";
  std::string many;
  for (int i = 0; i < 10000; i++) {
    many +=
        "--b\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\nv\r\n";
  }
  many += "--b--\r\n";
  ExpectClearPage(PostRaw(many, std::to_string(many.size()), type), "10,000 parts");

  std::string big =
      "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      std::string(1 << 20, '\0') + "\r\n--b--\r\n";
  ExpectClearPage(PostRaw(big, std::to_string(big.size()), type), "1 MB part");
}

TEST_F(Hostile, FloodOfSeparatorsInTheQueryString) {
  ExpectClearPage(site.Get(std::string(100000, '&')), "100,000 &");
  ExpectClearPage(site.Get(std::string(100000, '=')), "100,000 =");
  ExpectClearPage(site.Get(std::string(30000, '%')), "30,000 %");
}

TEST_F(Hostile, MarkupInEveryFieldNeverReachesThePage) {
  const char* payloads[] = {
      "<script>alert(1)</script>",
      "\"><script>alert(1)</script>",
      "'><img src=x onerror=alert(1)>",
      "<img src=x onerror=alert(1)>",
      "<svg onload=alert(1)>",
      "<iframe src=javascript:alert(1)>",
      "\" autofocus onfocus=alert(1) x=\"",
      "' autofocus onfocus=alert(1) x='",
      "</textarea><script>alert(1)</script>",
      "</title><script>alert(1)</script>",
      "<body onload=alert(1)>",
      "<a href=\"javascript:alert(1)\">x</a>",
      "<math><mi xlink:href=\"javascript:alert(1)\">x</mi></math>",
      "<details open ontoggle=alert(1)>",
      "<input onfocus=alert(1) autofocus>",
      "<!--<script>alert(1)</script>-->",
      "<style>*{display:none}</style>",
      "<meta http-equiv=\"refresh\" content=\"0;url=http://example.invalid\">",
      "<base href=\"http://example.invalid/\">",
      "<form action=\"http://example.invalid\"><button>x</button></form>",
  };
  const char* fields[] = {"path", "user", "pass", "type", "option", "submit"};
  for (const char* payload : payloads) {
    for (const char* field : fields) {
      std::vector<std::pair<std::string, std::string>> form = {
          {"path", site.Path("d")}, {"user", "u"},    {"pass", "long-enough-pw"}, {"type", "1"},
          {"option", "n"},          {"submit", "Run"}};
      for (auto& f : form) {
        if (f.first == field)
          f.second = f.first == "path" ? "/tmp/" + std::string(payload) : payload;
      }
      cgi::Result r = site.Post(cgi::FormBody(form));
      std::string what = std::string(field) + " = " + payload;
      ExpectClearPage(r, what);
      EXPECT_EQ(std::string::npos, r.out.find(payload)) << what;
    }
  }
}

TEST_F(Hostile, ShellSyntaxInEveryFieldRunsNothing) {
  const std::string x = site.Path("x");
  const std::string payloads[] = {"; touch " + x, "$(touch " + x + ")", "`touch " + x + "`",
                                  "a' b\"c",      "| cat /etc/passwd",  "&& id"};
  const char* fields[] = {"path", "user", "pass", "type", "option", "submit"};
  for (const std::string& payload : payloads) {
    for (const char* field : fields) {
      std::vector<std::pair<std::string, std::string>> form = {{"path", site.Path("d")},
                                                               {"user", "u"},
                                                               {"pass", "long-enough-pw"},
                                                               {"type", "1"},
                                                               {"option", "c"},
                                                               {"submit", "Run"},
                                                               {"replace", "1"}};
      for (auto& f : form) {
        if (f.first == field) f.second = f.first == "path" ? site.Path("d/") + payload : payload;
      }
      cgi::Result r = site.Post(cgi::FormBody(form));
      std::string what = std::string(field) + " = " + payload;
      ExpectClearPage(r, what);
      EXPECT_FALSE(site.Exists("x")) << "a command ran for " << what;
      if (std::string(field) == "user") {
        EXPECT_EQ(0u, site.Read("d/.htpasswd").find(payload + ":")) << "stored as typed: " << what;
      }
    }
  }
}

TEST_F(Hostile, OddUserNamesAreRefusedOrStoredAsOneEntry) {
  for (const std::string& user :
       {std::string("a\rb"), std::string("a\nb"), std::string("a\tb"), std::string("a:b")}) {
    cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d")},
                                             {"user", user},
                                             {"pass", "long-enough-pw"},
                                             {"type", "1"},
                                             {"option", "c"},
                                             {"submit", "1"}}));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("M11"));
    EXPECT_FALSE(site.Exists("d/.htpasswd"));
  }
  // %00 ends the decoded value: the name is "a" and one entry is written.
  site.Post("path=" + cgi::UrlEncode(site.Path("d")) +
            "&user=a%00b&pass=long-enough-pw&type=1&option=c&submit=1");
  std::string file = site.Read("d/.htpasswd");
  EXPECT_EQ(0u, file.find("a:$apr1$")) << file;
  EXPECT_EQ(1u, cgi::CountOf(file, "\n"));

  std::string longName(300, 'n');
  cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d")},
                                           {"user", longName},
                                           {"pass", "long-enough-pw"},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}}));
  ExpectClearPage(r, "300-byte user name");
}

// Creates a password file in the typed directory dir (made first); true when
// it landed there and nowhere above it.
bool LandsInTypedDirectory(cgi::Site& site, const std::string& dir, const std::string& typed) {
  mkdir(dir.c_str(), 0755);
  remove(site.Path("d/.htpasswd").c_str());
  cgi::Result r = site.Post(cgi::FormBody({{"path", typed},
                                           {"user", "u"},
                                           {"pass", "long-enough-pw"},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}}));
  struct stat st;
  return r.status == 0 && stat((dir + "/.htpasswd").c_str(), &st) == 0 &&
         !site.Exists("d/.htpasswd");
}

TEST_F(Hostile, Utf8DirectoryNamesGetTheirOwnPasswordFile) {
  const std::pair<char32_t, char32_t> ranges[] = {
      {0xC0, 0xFF}, {0x410, 0x44F}, {0x3041, 0x3096}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}};
  for (const auto& [first, last] : ranges) {
    // Twelve names a script, spread over its range; every other one with a final "/".
    for (int i = 0; i < 12; i++) {
      char32_t c = first + (last - first) * i / 11;
      std::string dir = site.Path("d/" + hobtest::Utf8(c) + hobtest::Utf8(c + 1));
      std::string typed = dir + (i % 2 ? "/" : "");
      EXPECT_TRUE(LandsInTypedDirectory(site, dir, typed)) << std::hex << c;
    }
  }
}

TEST_F(Hostile, DotDotShiftJisAndEucJpPathsStayWhereTyped) {
  mkdir(site.Path("d/sub").c_str(), 0755);
  ExpectClearPage(site.Post(cgi::FormBody({{"path", site.Path("d/sub/..")},
                                           {"user", "u"},
                                           {"pass", "long-enough-pw"},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}})),
                  "path with ..");
  EXPECT_TRUE(site.Exists("d/.htpasswd"));
  // "表" in Shift_JIS is 0x95 0x5C: its second byte is a backslash.
  EXPECT_TRUE(LandsInTypedDirectory(site, site.Path("d/\x95\x5C"), site.Path("d/\x95\x5C")));
  EXPECT_TRUE(LandsInTypedDirectory(site, site.Path("d/\x95\x5C\x95\x5C"),
                                    site.Path("d/\x95\x5C\x95\x5C/")));
  // "表示" in EUC-JP.
  EXPECT_TRUE(LandsInTypedDirectory(site, site.Path("d/\xC9\xBD\xBC\xA8"),
                                    site.Path("d/\xC9\xBD\xBC\xA8/")));
  // Latin-1 "café", and "ｱｲｳも" in Shift_JIS: a last byte that could lead a
  // pair never takes the "/" after it, which would write into the parent.
  EXPECT_TRUE(LandsInTypedDirectory(site, site.Path("d/caf\xE9"), site.Path("d/caf\xE9/")));
  EXPECT_TRUE(LandsInTypedDirectory(site, site.Path("d/\xB1\xB2\xB3\x82\xE0"),
                                    site.Path("d/\xB1\xB2\xB3\x82\xE0/")));
}

}  // namespace
