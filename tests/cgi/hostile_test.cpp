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

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) names.insert(e->d_name);
  if (d) closedir(d);
  return names;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("dat-message.dat", kMessages);
    mkdir(site.Path("d").c_str(), 0755);
    before = Listing(site.dir());
  }

  // A clear page: the header once, then either the form (status 0) or a
  // message page (status 1); and no file but the lock file and the scratch
  // file appeared in the working directory.
  void ExpectClearPage(const cgi::Result& r, const std::string& what) {
    EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": status " << r.status;
    EXPECT_EQ(0u, r.out.find(cgi::kHeader)) << what;
    EXPECT_EQ(1u, cgi::CountOf(r.out, "Content-type:")) << what;
    EXPECT_NE(std::string::npos, r.out.find("</html>")) << what;
    for (const std::string& name : Listing(site.dir())) {
      if (before.count(name) || name == "lockfile.lock" || name == "tmp.htpasswd") continue;
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
          {"path", site.Path("d")}, {"user", "u"},    {"pass", "p"}, {"type", "1"},
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
      std::vector<std::pair<std::string, std::string>> form = {
          {"path", site.Path("d")}, {"user", "u"},    {"pass", "p"}, {"type", "1"},
          {"option", "c"},          {"submit", "Run"}};
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
                                             {"pass", "p"},
                                             {"type", "1"},
                                             {"option", "c"},
                                             {"submit", "1"}}));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("M11"));
    EXPECT_FALSE(site.Exists("d/.htpasswd"));
  }
  // %00 ends the decoded value: the name is "a" and one entry is written.
  site.Post("path=" + cgi::UrlEncode(site.Path("d")) +
            "&user=a%00b&pass=p&type=1&option=c&submit=1");
  std::string file = site.Read("d/.htpasswd");
  EXPECT_EQ(0u, file.find("a:$apr1$")) << file;
  EXPECT_EQ(1u, cgi::CountOf(file, "\n"));

  std::string longName(300, 'n');
  cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d")},
                                           {"user", longName},
                                           {"pass", "p"},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}}));
  ExpectClearPage(r, "300-byte user name");
}

TEST_F(Hostile, DotDotAndShiftJisPathsStayWhereTyped) {
  mkdir(site.Path("d/sub").c_str(), 0755);
  cgi::Result r = site.Post(cgi::FormBody({{"path", site.Path("d/sub/..")},
                                           {"user", "u"},
                                           {"pass", "p"},
                                           {"type", "1"},
                                           {"option", "c"},
                                           {"submit", "1"}}));
  ExpectClearPage(r, "path with ..");
  EXPECT_TRUE(site.Exists("d/.htpasswd"));

  // "表" in Shift_JIS is 0x95 0x5C: its second byte is a backslash.
  std::string sjis = site.Path("d/\x95\x5C");
  mkdir(sjis.c_str(), 0755);
  r = site.Post(cgi::FormBody({{"path", sjis},
                               {"user", "u"},
                               {"pass", "p"},
                               {"type", "1"},
                               {"option", "c"},
                               {"submit", "1"}}));
  ExpectClearPage(r, "Shift_JIS path");
  struct stat st;
  EXPECT_EQ(0, stat((sjis + "/.htpasswd").c_str(), &st)) << r.out;
}

}  // namespace
