#include "hoblog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "hob_test.h"

namespace fs = std::filesystem;

namespace {

// Each test runs in a fresh working directory under umask 022, with a log
// named "t.log".
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    fs::current_path(dir_);
    umask(022);
    log_.Initialize("t.log");
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(dir_);
  }

  fs::path home_ = fs::current_path();
  fs::path dir_ = fs::temp_directory_path() / ("hoblog_test." + std::to_string(getpid()));
  CHobLog log_;
};

// Seconds of the clock the log reads (time() may lag it by a tick).
time_t Now() { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); }

TEST_F(LogTest, LineCarriesLocalTimeMillisecondsPidAndExpandedText) {
  time_t before = Now();
  log_.Trace("Encrypt=(%s)", "abc");
  time_t after = Now();

  std::string line = hobtest::ReadWhole("t.log");
  std::smatch m;
  std::regex format(R"(^(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)\.\d{3}, (\d+), Encrypt=\(abc\)\n$)");
  ASSERT_TRUE(std::regex_match(line, m, format)) << line;
  struct tm stamp = {};
  stamp.tm_isdst = -1;
  ASSERT_NE(strptime(m.str(1).c_str(), "%Y/%m/%d %H:%M:%S", &stamp), nullptr);
  EXPECT_GE(mktime(&stamp), before) << line;
  EXPECT_LE(mktime(&stamp), after) << line;
  EXPECT_EQ(m.str(2), std::to_string(getpid()));
}

TEST_F(LogTest, CallerTextExpandedOnceAndAppended) {
  log_.Trace("%s", "100%d %s");
  log_.Trace(10, "END\n\n");
  std::string text = hobtest::ReadWhole("t.log");
  EXPECT_NE(text.find(", 100%d %s\n"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 6), "END\n\n\n") << "a line and two empty lines";
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
}

TEST_F(LogTest, NothingWrittenWhileUnnamedOffOrAboveLimit) {
  CHobLog unnamed;
  unnamed.Initialize(nullptr);
  unnamed.Trace("unnamed");
  log_.Initialize(nullptr);
  log_.Trace(11, "above the limit");
  log_.bTrace = 0;
  log_.Trace("tracing off");
  EXPECT_TRUE(fs::is_empty("."));
  log_.bTrace = 2;
  log_.Trace("on");
  EXPECT_TRUE(fs::exists("t.log")) << "Initialize(nullptr) must keep the name";
}

TEST_F(LogTest, ModeSetTo0666AfterEachLine) {
  log_.Trace("first");
  EXPECT_EQ(fs::status("t.log").permissions(), fs::perms(0666));
  chmod("t.log", 0600);
  log_.Trace("second");
  EXPECT_EQ(fs::status("t.log").permissions(), fs::perms(0666));
}

TEST_F(LogTest, UnopenableLogLosesLineQuietly) {
  fs::create_directory("dir");
  log_.Initialize("missing/t.log");
  log_.Trace("lost");
  log_.Initialize("dir");
  log_.Trace("lost");
  EXPECT_FALSE(fs::exists("missing"));
  EXPECT_TRUE(fs::is_empty("dir"));
}

}  // namespace
