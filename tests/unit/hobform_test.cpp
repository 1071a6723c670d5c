// CHobForm: request decoding from go.env and a body fed through standard input.
#include "hobform.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hobglobal.h"

namespace {

long long NowMs() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec * 1000LL + now.tv_usec / 1000;
}

// Each test starts from a GET with no query and traces into a fresh directory.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hobform-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    go.env.REQUEST_METHOD = "GET";
    go.env.CONTENT_LENGTH = "";
    go.env.CONTENT_TYPE = "";
    go.env.QUERY_STRING = "";
    go.log.strFileName = (dir_ + "/trace.log").c_str();
    go.log.bTrace = 1;
  }
  void TearDown() override {
    go.log.strFileName = "";
    std::filesystem::remove_all(dir_);
  }

  // A POST of body with CONTENT_LENGTH length (-1: the body's size), the
  // body on standard input.
  void Post(const char* type, const std::string& body, long length = -1) {
    go.env.REQUEST_METHOD = "POST";
    go.env.CONTENT_TYPE = type;
    go.env.CONTENT_LENGTH = length >= 0 ? length : static_cast<long>(body.size());
    std::string path = dir_ + "/body";
    std::ofstream(path, std::ios::binary) << body;
    ASSERT_NE(freopen(path.c_str(), "rb", stdin), nullptr);
  }
  std::string Trace() {
    std::ostringstream text;
    text << std::ifstream(dir_ + "/trace.log").rdbuf();
    return text.str();
  }

  std::string dir_;
  CHobForm form_;
};

TEST_F(FormTest, QueryStringDecodesPercentPlusAndKeepsFirstOfEachName) {
  go.env.QUERY_STRING = "a=1&b=x+y%21&a=2&&c&d&l=l1%0D%0Al2&a%62=first&ab=dup";
  EXPECT_EQ(form_.QueryString(), 5);
  ASSERT_EQ(form_.GetCount(), 5);
  EXPECT_STREQ(form_.items[0].tag.m_pszText, "a");
  EXPECT_STREQ(form_.Value(0).m_pszText, "1");
  EXPECT_STREQ(form_.Value("b").m_pszText, "x y!");
  EXPECT_STREQ(form_.items[2].tag.m_pszText, "");  // "c" has no "=": empty name; "d" dropped
  EXPECT_STREQ(form_.Value(2).m_pszText, "c");
  EXPECT_STREQ(form_.Value("l").m_pszText, "l1\nl2");
  EXPECT_STREQ(form_.Value("ab").m_pszText, "first");  // names compare decoded
}

TEST_F(FormTest, PostBodyIsChosenByMethodAnyCaseAndContentTypeAndHidesTheQuery) {
  go.env.QUERY_STRING = "x=2&y=3";
  Post("application/x-www-form-urlencoded", "x=1");
  go.env.REQUEST_METHOD = "post";
  EXPECT_EQ(form_.QueryString(), 2);
  EXPECT_STREQ(form_.Value("x").m_pszText, "1");
  EXPECT_STREQ(form_.Value("y").m_pszText, "3");

  for (const char* type : {"text/plain", ""}) {
    Post(type, "a=%41+b");
    EXPECT_EQ(form_.QueryString(), 3);  // the entries of the last call are gone
    EXPECT_STREQ(form_.Value("a").m_pszText, "%41+b");
  }

  // A body shorter than CONTENT_LENGTH reads as if it ended in zero bytes.
  Post("application/x-www-form-urlencoded", "p=1&q=2", 50);
  EXPECT_EQ(form_.QueryString(), 4);
  EXPECT_STREQ(form_.Value("q").m_pszText, "2");
}

TEST_F(FormTest, UnreadableStandardInputLeavesOnlyTheQuery) {
  go.env.QUERY_STRING = "q=1";
  Post("application/x-www-form-urlencoded", "x=1");
  ASSERT_NE(freopen(dir_.c_str(), "rb", stdin), nullptr);  // reads fail with EISDIR
  EXPECT_EQ(form_.QueryString(), 1);
  EXPECT_STREQ(form_.Value("q").m_pszText, "1");
}

TEST_F(FormTest, BodyOverTheLimitIsLeftUnreadAndTraced) {
  go.env.QUERY_STRING = "q=1";
  Post("application/x-www-form-urlencoded", "x=1", kHobMaxBodySize + 1L);
  EXPECT_EQ(form_.QueryString(), 1);
  EXPECT_EQ(fgetc(stdin), 'x');
  EXPECT_NE(Trace().find("not read"), std::string::npos);

  Post("application/x-www-form-urlencoded", "x=1&" + std::string(kHobMaxBodySize - 4, 'a'));
  EXPECT_EQ(form_.QueryString(), 3);
  EXPECT_EQ(form_.Value(1).GetLength(), kHobMaxBodySize - 4);
}

TEST_F(FormTest, MultipartGivesFieldsAndBinaryUploads) {
  const char png[10] = {'\x89', 'P', 'N', 'G', 0, 0, '\r', '\n', 0, '\xff'};
  const std::string parts[] = {
      "\"t\"\r\n\r\nhello",
      "\"f\"; filename=\"C:\\dir\\pic.png\"\r\nContent-Type: image/png\r\n\r\n" +
          std::string(png, 10),
      "\"m\"\r\n\r\nl1\r\nl2",
      "\"t\"\r\n\r\nrepeat",
      "\"g\"; filename=\"\"\r\nContent-Type: text/plain\r\n\r\n",
  };
  std::string body;
  for (const std::string& part : parts) {
    body += "--Xy\r\nContent-Disposition: form-data; name=" + part + "\r\n";
  }
  body += "--Xy--";  // no final CR LF
  go.env.QUERY_STRING = "t=query";
  Post("multipart/form-data; boundary=Xy", body);
  long long before = NowMs();
  EXPECT_EQ(form_.QueryString(), 4);
  long long after = NowMs();

  EXPECT_STREQ(form_.Value("t").m_pszText, "hello");
  EXPECT_EQ(form_.Data("t")->data.m_bufData.length, 0);
  EXPECT_STREQ(form_.Value("m").m_pszText, "l1\nl2");
  const CHobFormItem& f = form_.Data("f")->data;
  EXPECT_STREQ(f.m_strValue.m_pszText, "pic.png");
  EXPECT_STREQ(f.m_strContentType.m_pszText, "image/png");
  ASSERT_EQ(f.m_bufData.length, 10);
  EXPECT_EQ(memcmp(f.m_bufData.data, png, 10), 0);
  std::string save = f.m_strSaveName.m_pszText;  // milliseconds since 1970, then ".png"
  ASSERT_EQ(save.size(), 17u) << save;
  EXPECT_EQ(save.substr(13), ".png");
  EXPECT_LE(before, std::atoll(save.c_str()));
  EXPECT_GE(after, std::atoll(save.c_str()));
  const CHobFormItem& g = form_.Data("g")->data;
  EXPECT_STREQ(g.m_strValue.m_pszText, "");
  EXPECT_STREQ(g.m_strSaveName.m_pszText, "");
  EXPECT_STREQ(g.m_strContentType.m_pszText, "text/plain");
  EXPECT_EQ(form_.m_nTotalSize, 10);
}

TEST_F(FormTest, MultipartWithoutAFirstLineAddsNothing) {
  for (const char* text : {"\r\n--Xy\r\nname=\"t\"\r\n\r\nv\r\n--Xy--", "name=\"t\" v", ""}) {
    CHobBuffer body(text, static_cast<unsigned>(strlen(text)));
    EXPECT_EQ(form_.QueryMultipart(body), 0) << text;
  }
  EXPECT_EQ(form_.GetCount(), 0);
}

TEST_F(FormTest, EachDecoderTracesItsInputAndItemCount) {
  CHobBuffer body("--B\r\nname=\"m\"\r\n\r\nv\r\n--B--");
  form_.QueryUrlEncoded("u=1");
  form_.QueryTextPlain("p=1");
  form_.QueryMultipart(body);
  std::string trace = Trace();
  int num = 1;
  for (std::string name : {"QueryUrlEncoded", "QueryTextPlain", "QueryMultipart"}) {
    std::string input = num == 1 ? "u=1" : num == 2 ? "p=1" : body.data;
    EXPECT_NE(trace.find(name + " START\n --- QueryString dump start ---\n[" + input +
                         "]\n --- QueryString dump  end ---\n"),
              std::string::npos)
        << name;
    EXPECT_NE(trace.find(name + " END item num=" + std::to_string(num++) + "\n"), std::string::npos)
        << name;
  }
}

TEST_F(FormTest, AddRefusesAnExistingNameAndSetAtEmptiesTheUploadFields) {
  EXPECT_STREQ(form_.Value("missing").m_pszText, "");
  EXPECT_EQ(form_.Data("missing"), nullptr);
  EXPECT_EQ(form_.Add("a", "1"), 0);
  EXPECT_EQ(form_.Data(-1), nullptr);
  EXPECT_EQ(form_.Data(1), nullptr);
  EXPECT_EQ(form_.Add("a", "2"), -1);
  EXPECT_STREQ(form_.Value("a").m_pszText, "1");

  CHobFormItem& a = form_.Data("a")->data;
  a.m_strSaveName = "1.png";
  a.m_strContentType = "image/png";
  a.m_bufData = CHobBuffer("xy");
  EXPECT_EQ(form_.SetAt("a", "3"), 0);
  EXPECT_STREQ(a.m_strValue.m_pszText, "3");
  EXPECT_STREQ(a.m_strSaveName.m_pszText, "");
  EXPECT_STREQ(a.m_strContentType.m_pszText, "");
  EXPECT_EQ(a.m_bufData.length, 0);
  EXPECT_EQ(form_.SetAt("b", "4"), 1);
}

// Seconds to decode a query of fields distinct names.
double SecondsToDecodeDistinctFields(int fields) {
  std::string query;
  for (int i = 0; i < fields; i++) query += "f" + std::to_string(i) + "=&";
  go.env.REQUEST_METHOD = "GET";
  go.env.QUERY_STRING = query.c_str();
  CHobForm form;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(form.QueryString(), fields);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  go.env.QUERY_STRING = "";
  return seconds;
}

// Linear decoding takes 8 times as long for 8 times the fields; a scan of
// the entries per field would take 64 times as long. A busy machine may slow
// one run, so a run somewhat over the limit is tried again.
TEST(FormGrowth, EightTimesTheDistinctFieldsTakeAtMostSixteenTimesAsLong) {
  double small = 1e9;
  for (int run = 0; run < 3; run++) small = std::min(small, SecondsToDecodeDistinctFields(10000));
  double large = SecondsToDecodeDistinctFields(80000);
  for (int retry = 0; retry < 2 && large >= 16 * small && large < 32 * small; retry++) {
    large = std::min(large, SecondsToDecodeDistinctFields(80000));
  }
  EXPECT_LT(large, 16 * small) << small << " s for 10,000 fields, " << large << " s for 80,000";
}

}  // namespace
