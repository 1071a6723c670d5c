// Helpers shared by the unit and CGI tests: whole files, a private
// temporary directory, a forked child, and the real password tool's verdict.
#ifndef HOB_TESTS_HOB_TEST_H_
#define HOB_TESTS_HOB_TEST_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

// The real password tool's verdict on user's password in file.
inline bool Verifies(const std::string& file, const std::string& user,
                     const std::string& password) {
  std::string command =
      "htpasswd -vb '" + file + "' '" + user + "' '" + password + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace hobtest

#endif  // HOB_TESTS_HOB_TEST_H_
