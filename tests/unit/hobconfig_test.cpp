#include "hobconfig.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hob_test.h"
#include "hobfile.h"

namespace fs = std::filesystem;

namespace {

// Each test runs in a fresh working directory.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(dir_);
  }

  fs::path home_ = fs::current_path();
  fs::path dir_ = fs::temp_directory_path() / ("hobconfig_test." + std::to_string(getpid()));
};

// The entries as "key=value;" in map order.
std::string Entries(const CHobConfig& config) {
  std::string all;
  for (int i = 0; i < config.count; i++) {
    all += std::string(config.items[i].tag.m_pszText) + "=" + config.items[i].data.m_pszText + ";";
  }
  return all;
}

std::string ReadEntries(const std::string& file, bool perHex) {
  hobtest::WriteWhole("s.dat", file);
  CHobConfig config(perHex);
  int count = config.ReadFile("s.dat");
  return std::to_string(count) + ":" + Entries(config);
}

TEST_F(ConfigTest, CommentsEmptyLinesJunkAndDuplicatesSkipped) {
  EXPECT_EQ(ReadEntries("a=1\n# c=3\n\njunk\na=2\nb==x\n #x=y\nk=v # text\n", false),
            "4:a=1;b==x; #x=y;k=v # text;");
}

TEST_F(ConfigTest, BlanksKeptAndLineEndsRemoved) {
  EXPECT_EQ(ReadEntries("key = value\r\nc=x\ry\r\n\r\nlast=no newline", false),
            "3:key = value;c=xy;last=no newline;");
  std::string value(5000, 'v');
  EXPECT_EQ(ReadEntries("long=" + value + "\nnext=1\n", false), "2:long=" + value + ";next=1;");
}

TEST_F(ConfigTest, PercentDecodingOnlyWithPerHex) {
  EXPECT_EQ(ReadEntries("k%3D1=a+b%0Ac\n", false), "1:k%3D1=a+b%0Ac;");
  EXPECT_EQ(ReadEntries("k%3D1=a+b%0Ac\n", true), "1:k=1=a b\nc;");
}

TEST_F(ConfigTest, PerHexRoundTripsAwkwardKeysAndValues) {
  CHobConfig out(true);
  out.Add("a b", "x=y");
  out.Add("k=1", "line1\nline2\r\n");
  out.Add("#pad ", " 100%");
  EXPECT_EQ(out.WriteFile("s.dat"), 52);
  EXPECT_EQ(hobtest::ReadWhole("s.dat"), "a+b=x%3Dy\nk%3D1=line1%0Aline2%0D%0A\n%23pad+=+100%25\n");
  CHobConfig in(true);
  EXPECT_EQ(in.ReadFile("s.dat"), 3);
  EXPECT_EQ(Entries(in), Entries(out));
}

TEST_F(ConfigTest, FailedReadLeavesMapEmpty) {
  fs::create_directory("dir");
  CHobConfig config;
  for (const char* path : {"missing.dat", "dir"}) {
    config.Add("old", "x");
    EXPECT_EQ(config.ReadFile(path), HOB_FAILED) << path;
    EXPECT_EQ(config.count, 0) << path;
  }
}

TEST_F(ConfigTest, WriteReplacesFileOrFails) {
  hobtest::WriteWhole("s.dat", "a=1\n");
  CHobConfig config;
  EXPECT_EQ(config.WriteFile("s.dat"), 0);
  EXPECT_EQ(hobtest::ReadWhole("s.dat"), "");
  config.Add("k", "v w");
  EXPECT_EQ(config.WriteFile("s.dat", true), 6);
  EXPECT_EQ(hobtest::ReadWhole("s.dat"), "k=v w\n");
  EXPECT_EQ(config.WriteFile("missing/s.dat"), HOB_FAILED);
}

TEST_F(ConfigTest, LockHeldByAnotherProcessGivesMinusTwo) {
  hobtest::WriteWhole("s.dat", "a=1\n");
  CHobFlock held;
  ASSERT_EQ(held.Lock(nullptr), HOB_OK);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    CHobConfig config;
    config.Add("old", "x");
    bool refused = config.ReadFile("s.dat", true) == HOB_LOCKED && config.count == 0 &&
                   config.WriteFile("s.dat", true) == HOB_LOCKED;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(hobtest::ReadWhole("s.dat"), "a=1\n");

  held.Unlock();
  CHobConfig config;
  EXPECT_EQ(config.ReadFile("s.dat", true), 1);
  EXPECT_EQ(held.Lock(nullptr), HOB_OK) << "the read must release its lock";
}

}  // namespace
