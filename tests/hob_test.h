// Helpers shared by the unit and CGI tests: whole files, a private
// temporary directory, a forked child, and the real password tool's verdict.
#ifndef HOB_TESTS_HOB_TEST_H_
#define HOB_TESTS_HOB_TEST_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace hobtest {

inline std::string ReadWhole(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The lines of a file, without their line feeds.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::istringstream in(ReadWhole(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/hob-test-XXXXXX";
    dir_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// Runs body in a forked process; its result (-128..127) comes back through
// the exit status, 99 when the child did not exit normally.
inline int InChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body() & 0xff);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : 99;
}

// The UTF-8 form of the code point c.
inline std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Holds an exclusive flock on path in a child process for seconds; returns
// the child's pid once the lock is held, -1 when it could not be taken.
inline pid_t HoldLock(const std::string& path, double seconds) {
  int held[2];
  if (pipe(held) != 0) return -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(held[1], "y", 1) == 1) {
      usleep(static_cast<useconds_t>(seconds * 1e6));
    }
    _exit(0);
  }
  char byte;
  if (read(held[0], &byte, 1) != 1) pid = -1;
  close(held[0]);
  close(held[1]);
  return pid;
}

// Seconds of this thread's CPU time that run(size) takes: time the machine
// gives to other processes does not count.
inline double SecondsFor(const std::function<void(int)>& run, int size) {
  struct timespec start, end;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  run(size);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
}

// Expects run(8 * size) to take at most limit (default 16) times as long as
// run(size): linear work takes 8 times as long, quadratic work 64 times. Each
// size is timed three times, the two interleaved, and the fastest run of each
// counts, so that a busy machine slowing one run does not decide.
inline void ExpectLinearGrowth(const std::function<void(int)>& run, int size, double limit = 16) {
  // Large blocks stay in the heap once freed, so that no run pays for
  // pages the kernel hands out anew while another reuses them.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  double small = 1e9, large = 1e9;
  for (int i = 0; i < 3; i++) {
    small = std::min(small, SecondsFor(run, size));
    large = std::min(large, SecondsFor(run, 8 * size));
  }
  EXPECT_LT(large, limit * small) << small << " s for " << size << ", " << large << " s for "
                                  << 8 * size;
}

// The real password tool's verdict on user's password in file.
inline bool Verifies(const std::string& file, const std::string& user,
                     const std::string& password) {
  std::string command =
      "htpasswd -vb -- '" + file + "' '" + user + "' '" + password + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace hobtest

#endif  // HOB_TESTS_HOB_TEST_H_
