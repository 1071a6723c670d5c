// Runs the built CGI program the way a web server does: a fresh working
// directory holding the site files, a CGI environment, the request body on
// standard input, the page read from standard output, and the exit status.
#ifndef HOB_TESTS_CGI_HARNESS_H_
#define HOB_TESTS_CGI_HARNESS_H_

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hob_test.h"

namespace cgi {

struct Result {
  std::string out;  // everything written to standard output
  int status;       // exit status; -1 when killed by a signal or the time limit
};

// The header of every page, ended by an empty line.
inline const std::string kHeader =
    "Content-type: text/html\n"
    "Cache-Control: no-store\n"
    "X-Frame-Options: DENY\n"
    "Content-Security-Policy: frame-ancestors 'none'\n"
    "Referrer-Policy: same-origin\n\n";

using hobtest::ReadWhole;
using hobtest::WriteWhole;

// Percent-encodes every byte but letters and digits.
inline std::string UrlEncode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// name=value pairs joined with "&", both sides percent-encoded.
inline std::string FormBody(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& f : fields) {
    if (!body.empty()) body += "&";
    body += UrlEncode(f.first) + "=" + UrlEncode(f.second);
  }
  return body;
}

// A message catalogue "msg00" to "msg99" whose texts are "M00" ... each
// followed by tail, so that a page names the key it shows and what was put
// into the placeholders tail holds.
inline std::string StubMessages(const std::string& tail) {
  std::string messages;
  for (int key = 0; key < 100; key++) {
    char number[4];
    snprintf(number, sizeof number, "%02d", key);
    messages += std::string("msg") + number + "=M" + number + tail + "\n";
  }
  return messages;
}

inline size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) {
    n++;
  }
  return n;
}

// A working directory of its own, with the default site files copied in.
class Site {
 public:
  explicit Site(bool withSiteFiles = true) {
    if (withSiteFiles) CopySiteFiles();
  }
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const std::string& dir() const { return temp_.dir(); }
  std::string Path(const std::string& name) const { return temp_.Path(name); }
  void Write(const std::string& name, const std::string& contents) const {
    WriteWhole(Path(name), contents);
  }
  std::string Read(const std::string& name) const { return ReadWhole(Path(name)); }
  // The names in the working directory.
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    DIR* d = opendir(dir().c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) names.insert(e->d_name);
    if (d) closedir(d);
    return names;
  }
  bool Exists(const std::string& name) const {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0;
  }

  // Writes an executable shell script named name.
  std::string WriteScript(const std::string& name, const std::string& body) const {
    Write(name, "#!/bin/sh\n" + body);
    chmod(Path(name).c_str(), 0755);
    return Path(name);
  }

  // Sets the environment variable name for the next runs ("" still sets it).
  void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  void UnsetEnv(const std::string& name) { env_.erase(name); }
  // Passes "name=value" once more, after every other variable, as a server
  // that sets a variable twice does.
  void RepeatEnv(const std::string& name, const std::string& value) {
    repeated_.push_back(name + "=" + value);
  }
  // Runs the program as the unprivileged user nobody from now on, with the
  // supplementary groups groups and no other.
  void RunAsNobody(const std::vector<gid_t>& groups = {}) {
    asNobody_ = true;
    groups_ = groups;
  }

  Result Get(const std::string& query) {
    SetEnv("REQUEST_METHOD", "GET");
    SetEnv("QUERY_STRING", query);
    env_.erase("CONTENT_LENGTH");
    env_.erase("CONTENT_TYPE");
    return Run("");
  }

  Result Post(const std::string& body,
              const std::string& contentType = "application/x-www-form-urlencoded") {
    SetEnv("REQUEST_METHOD", "POST");
    SetEnv("CONTENT_LENGTH", std::to_string(body.size()));
    SetEnv("CONTENT_TYPE", contentType);
    if (env_.find("QUERY_STRING") == env_.end()) SetEnv("QUERY_STRING", "");
    return Run(body);
  }

  // Runs the program with the environment set so far and body on standard input.
  Result Run(const std::string& body) {
    std::string in = dir() + ".stdin";
    std::string out = dir() + ".stdout";
    WriteWhole(in, body);
    std::map<std::string, std::string> merged = {
        {"GATEWAY_INTERFACE", "CGI/1.1"},
        {"SERVER_NAME", "www.example.test"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}};
    // Sanitizer settings of the test run reach the program too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = getenv(name)) merged[name] = value;
    }
    for (const auto& kv : env_) merged[kv.first] = kv.second;
    std::vector<std::string> vars;
    for (const auto& kv : merged) vars.push_back(kv.first + "=" + kv.second);
    vars.insert(vars.end(), repeated_.begin(), repeated_.end());
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
      int fin = open(in.c_str(), O_RDONLY);
      int fout = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fin < 0 || fout < 0 || chdir(dir().c_str()) != 0) _exit(126);
      // Tests run as root, where permission bits stop nothing.
      if (asNobody_ && (setgroups(groups_.size(), groups_.data()) != 0 || setgid(65534) != 0 ||
                        setuid(65534) != 0)) {
        _exit(126);
      }
      dup2(fin, 0);
      dup2(fout, 1);
      execle(HOB_CGI_PATH, "hob-htpasswd.cgi", static_cast<char*>(nullptr), envp.data());
      _exit(127);
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Result r{ReadWhole(out), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    remove(in.c_str());
    remove(out.c_str());
    return r;
  }

 private:
  void CopySiteFiles() {
    DIR* d = opendir(HOB_SITE_DIR);
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d)) {
      std::string src = std::string(HOB_SITE_DIR) + "/" + e->d_name;
      struct stat st;
      if (stat(src.c_str(), &st) == 0 && S_ISREG(st.st_mode)) Write(e->d_name, ReadWhole(src));
    }
    closedir(d);
  }

  hobtest::TempDir temp_;
  bool asNobody_ = false;
  std::vector<gid_t> groups_;
  std::vector<std::string> repeated_;
  std::map<std::string, std::string> env_;
};

}  // namespace cgi

#endif  // HOB_TESTS_CGI_HARNESS_H_
