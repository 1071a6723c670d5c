#include "hobfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "hob_test.h"

namespace fs = std::filesystem;

namespace {

// Each test runs in a fresh working directory, under umask 022, holding a
// directory "dir" and a file "data.txt" with "old".
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "dir");
    fs::current_path(dir_);
    umask(022);
    hobtest::WriteWhole("data.txt", "old");
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(dir_);
  }

  fs::path home_ = fs::current_path();
  fs::path dir_ = fs::temp_directory_path() / ("hobfile_test." + std::to_string(getpid()));
};

int Mode(const char* path) { return static_cast<int>(fs::status(path).permissions()); }

int LockInChild(const char* path) {
  return hobtest::InChild([path] { return CHobFlock().Lock(path); });
}

TEST_F(FileTest, MissingLockFileCreatedWith0666ExistingOneUsedAsIs) {
  CHobFlock lock;
  EXPECT_EQ(lock.Lock(nullptr), HOB_OK);
  EXPECT_EQ(Mode("lockfile.lock"), 0666);
  chmod("data.txt", 0600);
  EXPECT_EQ(lock.Lock("data.txt"), HOB_OK);
  EXPECT_EQ(Mode("data.txt"), 0600);
  EXPECT_EQ(hobtest::ReadWhole("data.txt"), "old");
}

TEST_F(FileTest, LockFileThatIsALinkIsRefusedAndItsTargetLeftAlone) {
  chmod("data.txt", 0600);
  fs::create_symlink("data.txt", "my.lock");
  fs::create_symlink("missing.txt", "dangling.lock");
  CHobFlock lock;
  EXPECT_EQ(lock.Lock("my.lock"), HOB_FAILED);
  EXPECT_EQ(lock.Lock("dangling.lock"), HOB_FAILED);
  EXPECT_EQ(Mode("data.txt"), 0600);
  EXPECT_FALSE(fs::exists("missing.txt"));
}

TEST_F(FileTest, SecondProcessRefusedUntilLockReleased) {
  {
    CHobFlock lock;
    ASSERT_EQ(lock.Lock("my.lock"), HOB_OK);
    EXPECT_EQ(LockInChild("my.lock"), HOB_LOCKED);
    EXPECT_EQ(lock.Unlock(), HOB_OK);
    EXPECT_EQ(lock.Unlock(), HOB_FAILED);
    EXPECT_EQ(LockInChild("my.lock"), HOB_OK);
    ASSERT_EQ(lock.Lock("my.lock"), HOB_OK);
  }
  EXPECT_EQ(LockInChild("my.lock"), HOB_OK) << "the destructor must release the lock";
}

// A holder that ends while a program it started still runs (a request cut
// off by the web server while the password tool works) leaves the lock free.
TEST_F(FileTest, ProgramStartedWhileTheLockIsHeldDoesNotKeepIt) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t holder = fork();
  if (holder == 0) {
    CHobFlock lock;
    if (lock.Lock("my.lock") != HOB_OK) _exit(1);
    // The child's copy of the close-on-exec pipe closes when it starts the
    // program, which ends the read below.
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0) _exit(1);
    pid_t program = fork();
    if (program == 0) {
      execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(started[1]);
    char byte;
    if (read(started[0], &byte, 1) != 0) _exit(1);
    _exit(write(report[1], &program, sizeof program) == sizeof program ? 0 : 1);
  }
  close(report[1]);
  pid_t program = 0;
  ASSERT_EQ(read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
  close(report[0]);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(LockInChild("my.lock"), HOB_OK) << "the running program kept the lock";
  kill(program, SIGKILL);
}

TEST_F(FileTest, LockHeldElsewhereIsWaitedForUpToTheGivenSeconds) {
  pid_t holder = hobtest::HoldLock("my.lock", 1);
  ASSERT_GT(holder, 0);
  CHobFlock lock;
  EXPECT_EQ(lock.Lock("my.lock", false, 0), HOB_LOCKED) << "no wait: refused at once";
  EXPECT_EQ(lock.Lock("my.lock", false, 3), HOB_OK);
  waitpid(holder, nullptr, 0);
  lock.Unlock();

  holder = hobtest::HoldLock("my.lock", 3);
  ASSERT_GT(holder, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lock.Lock("my.lock", true, 1), HOB_LOCKED);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 1.0);
  EXPECT_LT(waited, 2.5);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

TEST_F(FileTest, ReadersShareTheLockAndWritersExcludeThem) {
  auto openInChild = [](const char* mode) {
    return hobtest::InChild([mode] { return CHobFile().Open("data.txt", mode, true, "my.lock"); });
  };
  {
    CHobFile reader;
    ASSERT_EQ(reader.Open("data.txt", "rb", true, "my.lock"), HOB_OK);
    EXPECT_EQ(openInChild("rb"), HOB_OK) << "a second reader must not be refused";
    EXPECT_EQ(openInChild("r+b"), HOB_LOCKED);
    EXPECT_EQ(openInChild("ab"), HOB_LOCKED);
  }
  CHobFile writer;
  ASSERT_EQ(writer.Open("data.txt", "ab", true, "my.lock"), HOB_OK);
  EXPECT_EQ(openInChild("rb"), HOB_LOCKED) << "a reader must wait for the writer";
  EXPECT_EQ(LockInChild("my.lock"), HOB_LOCKED);
}

TEST_F(FileTest, LockFileInMissingDirectoryOrOnDirectoryFails) {
  CHobFlock lock;
  EXPECT_EQ(lock.Lock("missing/my.lock"), HOB_FAILED);
  EXPECT_EQ(lock.Lock("dir"), HOB_FAILED);
  EXPECT_EQ(lock.m_nFd, -1);
  CHobFile file;
  EXPECT_EQ(file.Open("data.txt", "rb", true, "missing/my.lock"), HOB_NO_LOCK_FILE);
  EXPECT_EQ(file.Open("data.txt", "rb", true, "dir"), HOB_NO_LOCK_FILE);
}

TEST_F(FileTest, RefusedLockLeavesDataFileUntouched) {
  CHobFlock lock;
  ASSERT_EQ(lock.Lock("my.lock"), HOB_OK);
  EXPECT_EQ(hobtest::InChild([] {
              CHobFile file;
              int result = file.Open("data.txt", "wb", true, "my.lock");
              return file.m_pFile == stdout ? result : 99;
            }),
            HOB_LOCKED);
  EXPECT_EQ(
      hobtest::InChild([] { return CHobFile().WriteFile("data.txt", "new", 3, true, "my.lock"); }),
      HOB_LOCKED);
  EXPECT_EQ(hobtest::InChild([] {
              CHobBuffer out;
              int result = CHobFile().ReadFile("data.txt", out, true, "my.lock");
              return out.length == 0 ? result : 99;
            }),
            HOB_LOCKED);
  EXPECT_EQ(hobtest::ReadWhole("data.txt"), "old");
}

TEST_F(FileTest, OpenHoldsLockUntilClose) {
  CHobFile file;
  ASSERT_EQ(file.Open("data.txt", "rb", true, "my.lock"), HOB_OK);
  EXPECT_EQ(LockInChild("my.lock"), HOB_LOCKED);
  file.Close();
  EXPECT_EQ(file.m_pFile, stdout);
  EXPECT_TRUE(file.m_strPath.IsEmpty());
  EXPECT_EQ(LockInChild("my.lock"), HOB_OK);
}

TEST_F(FileTest, FailedOpenReleasesLockAndStaysOnStdout) {
  CHobFile file;
  for (const char* path : {"missing.txt", "dir", "missing/new.txt"}) {
    EXPECT_EQ(file.Open(path, "rb", true, "my.lock"), HOB_FAILED) << path;
    EXPECT_EQ(file.m_lock.m_nFd, -1) << path;
    EXPECT_EQ(file.m_pFile, stdout) << path;
  }
  EXPECT_EQ(file.Open("missing/new.txt", "wb"), HOB_FAILED);
  EXPECT_EQ(LockInChild("my.lock"), HOB_OK);
}

TEST_F(FileTest, FreshObjectCloseAndSeekDoNothing) {
  CHobFile file;
  file.Close();
  EXPECT_EQ(file.m_pFile, stdout);
  EXPECT_EQ(file.Seek(0, SEEK_SET), HOB_FAILED);
  ASSERT_EQ(file.Open("data.txt", "rb"), HOB_OK);
  EXPECT_EQ(file.Seek(1, SEEK_SET), 0);
  EXPECT_STREQ(file.ReadString(10).m_pszText, "ld");
}

TEST_F(FileTest, LongLinesAndLastLineWithoutNewlineReadWhole) {
  std::string line5000(5000, 'x');
  std::string line2047(2047, 'y');  // the first piece ends right before its newline
  std::string tail(3000, 'z');
  hobtest::WriteWhole("data.txt", line5000 + "\n" + line2047 + "\n" + tail);
  CHobFile file;
  ASSERT_EQ(file.Open("data.txt", "rb"), HOB_OK);
  CHobString line;
  for (const std::string& expected : {line5000 + "\n", line2047 + "\n", tail}) {
    EXPECT_EQ(file.ReadString(line), 1);
    EXPECT_EQ(line.m_pszText, expected);
  }
  EXPECT_EQ(file.ReadString(line), 0);
  EXPECT_STREQ(line.m_pszText, "") << "nothing of the last line is left at end of file";
}

TEST_F(FileTest, ReadsReportErrorOnWriteOnlyStream) {
  CHobFile file;
  ASSERT_EQ(file.Open("data.txt", "wb"), HOB_OK);
  CHobString line;
  char buf[8];
  EXPECT_EQ(file.ReadString(line), HOB_FAILED);
  EXPECT_EQ(file.ReadBuffer(buf, 8), HOB_FAILED);
}

TEST_F(FileTest, ReadBufferKeepsRequestedLengthZeroFilled) {
  CHobFile file;
  ASSERT_EQ(file.Open("data.txt", "rb"), HOB_OK);
  CHobBuffer buffer = file.ReadBuffer(5);
  EXPECT_EQ(std::string(buffer.data, buffer.length), std::string("old\0\0", 5));
  char buf[4];
  EXPECT_EQ(file.ReadBuffer(buf, 4), 0);
}

TEST_F(FileTest, ReadFileGivesWholeFileOrEmptyBuffer) {
  hobtest::WriteWhole("bin.dat", std::string("a\0b\n", 4));
  hobtest::WriteWhole("empty.txt", "");
  CHobFile file;
  CHobBuffer out;
  ASSERT_EQ(file.ReadFile("bin.dat", out), 4);
  EXPECT_EQ(std::string(out.data, 5), std::string("a\0b\n\0", 5));
  EXPECT_EQ(file.ReadFile("empty.txt", out), 0);
  EXPECT_EQ(out.length, 0);
  for (const char* path : {"missing.txt", "dir"}) {
    out = file.ReadFile("bin.dat");
    EXPECT_EQ(file.ReadFile(path, out), HOB_FAILED) << path;
    EXPECT_EQ(out.length, 0) << path;
  }
}

TEST_F(FileTest, WriteFileReplacesContentsOrFails) {
  CHobFile file;
  EXPECT_EQ(file.WriteFile("data.txt", "ab", 2, true, "my.lock"), 2);
  EXPECT_EQ(hobtest::ReadWhole("data.txt"), "ab");
  EXPECT_EQ(LockInChild("my.lock"), HOB_OK);
  EXPECT_EQ(file.WriteFile("data.txt", "", 0), 0);
  EXPECT_EQ(hobtest::ReadWhole("data.txt"), "");
  EXPECT_EQ(file.WriteFile("missing/data.txt", "ab", 2), HOB_FAILED);
  EXPECT_EQ(file.WriteFile("dir", "ab", 2), HOB_FAILED);
  EXPECT_EQ(file.WriteFile("/dev/full", "ab", 2), HOB_FAILED);
}

TEST_F(FileTest, WritesReportCountsAndFailures) {
  CHobFile file;
  ASSERT_EQ(file.Open("data.txt", "wb"), HOB_OK);
  EXPECT_EQ(file.WriteString(nullptr), 0);
  EXPECT_EQ(file.WriteString("abc"), 3);
  EXPECT_EQ(file.WriteBuffer("d\0e", 3), 3);
  EXPECT_EQ(file.WriteFormat("%d-%s", 7, "x"), 3);
  file.Close();
  EXPECT_EQ(hobtest::ReadWhole("data.txt"), std::string("abcd\0e7-x", 9));
  ASSERT_EQ(file.Open("/dev/full", "wb"), HOB_OK);
  setvbuf(file.m_pFile, nullptr, _IONBF, 0);
  EXPECT_EQ(file.WriteString("abc"), 0);
  EXPECT_EQ(file.WriteBuffer("abc", 3), HOB_FAILED);
}

// The lines CHobLineReader gives for the file holding bytes, each as
// "text|" ("text" without its line feed), a code other than a line as "#code".
std::string ReadLinesOf(const std::string& bytes) {
  hobtest::TempDir t;
  hobtest::WriteWhole(t.Path("f"), bytes);
  int fd = open(t.Path("f").c_str(), O_RDONLY);
  CHobLineReader reader(fd);
  std::string out;
  const char* line;
  int length;
  for (int read; (read = reader.Next(&line, &length)) != HOB_LINE_END;) {
    out += read == HOB_LINE_OK ? std::string(line, static_cast<size_t>(length)) + "|"
                               : "#" + std::to_string(read) + "|";
  }
  close(fd);
  return out;
}

TEST(LineReader, LinesComeWholeWithOrWithoutAFinalLineFeed) {
  EXPECT_EQ(ReadLinesOf(""), "");
  EXPECT_EQ(ReadLinesOf("\n"), "|");
  EXPECT_EQ(ReadLinesOf("a\n\nb"), "a||b|");
  EXPECT_EQ(ReadLinesOf("a\r\nb\r\n"), "a\r|b\r|");
  // Every prefix of a file gives the lines of that prefix.
  const std::string text = "ann:x\nbob:yy\n\ncid:zzz";
  for (size_t n = 0; n <= text.size(); n++) {
    std::string expected;
    std::string prefix = text.substr(0, n);
    for (size_t at = 0; at < prefix.size();) {
      size_t end = prefix.find('\n', at);
      if (end == std::string::npos) end = prefix.size();
      expected += prefix.substr(at, end - at) + "|";
      at = end + 1;
    }
    EXPECT_EQ(ReadLinesOf(prefix), expected) << n;
  }
}

TEST(LineReader, LinesAcrossBlockEndsAndAtTheLengthLimit) {
  // Lines of every length around the buffer's size, so that line ends fall
  // at and next to each block boundary.
  std::string longest(kHobMaxLine, 'x');
  EXPECT_EQ(ReadLinesOf(longest + "\nz"), longest + "|z|");
  EXPECT_EQ(ReadLinesOf(longest), longest + "|");
  EXPECT_EQ(ReadLinesOf("a\n" + longest + "\nb\n"), "a|" + longest + "|b|");
  std::string many;
  for (int i = 0; i < 20000; i++) many += std::string(i % 97, 'a' + i % 26) + "\n";
  std::string read = ReadLinesOf(many);
  std::replace(many.begin(), many.end(), '\n', '|');
  EXPECT_TRUE(read == many);
}

TEST(LineReader, ZeroBytesAndOverlongLinesAreReported) {
  EXPECT_EQ(ReadLinesOf(std::string("a\0b\nc\n", 6)), "#" + std::to_string(HOB_LINE_ZERO) + "|c|");
  std::string tooLong(kHobMaxLine + 1, 'x');
  EXPECT_EQ(ReadLinesOf("a\n" + tooLong + "\nb\n"),
            "a|#" + std::to_string(HOB_LINE_TOO_LONG) + "|b|");
  EXPECT_EQ(ReadLinesOf(tooLong + tooLong), "#" + std::to_string(HOB_LINE_TOO_LONG) + "|");
}

// The failure twin: a descriptor that cannot be read.
TEST(LineReader, UnreadableDescriptorIsAnError) {
  CHobLineReader reader(-1);
  const char* line;
  int length;
  EXPECT_EQ(reader.Next(&line, &length), HOB_LINE_ERROR);
  hobtest::TempDir t;
  int dir = open(t.dir().c_str(), O_RDONLY | O_DIRECTORY);
  reader.Reset(dir);
  EXPECT_EQ(reader.Next(&line, &length), HOB_LINE_ERROR);  // EISDIR
  close(dir);
}

}  // namespace
