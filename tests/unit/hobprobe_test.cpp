// CHobProbe against a small HTTP server run by the test in a child process,
// and against stand-ins for the command that record whether they ran.
#include "hobprobe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hob_test.h"

namespace {

// A socket bound to a free port of addr (127.0.0.1 or ::1); -1 when the
// address is not available.
int BoundSocket(const char* addr, std::string& port) {
  bool v6 = strchr(addr, ':') != nullptr;
  sockaddr_storage where{};
  socklen_t length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  where.ss_family = v6 ? AF_INET6 : AF_INET;
  inet_pton(where.ss_family, addr,
            v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&where)->sin6_addr)
               : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&where)->sin_addr));
  int fd = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr* any = reinterpret_cast<sockaddr*>(&where);
  if (fd < 0 || bind(fd, any, length) != 0 || getsockname(fd, any, &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = std::to_string(ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                 : reinterpret_cast<sockaddr_in*>(&where)->sin_port));
  return fd;
}

// An HTTP server in a child process on a free port of addr. It answers each
// request with answer (empty: never answers) after appending the request
// line and the Host header line to the file log.
class TinyServer {
 public:
  TinyServer(const char* addr, const std::string& answer, const std::string& log) {
    fd_ = BoundSocket(addr, port_);
    if (fd_ < 0 || listen(fd_, 8) != 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) Serve(answer, log);
  }
  ~TinyServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  bool Running() const { return pid_ > 0; }
  const char* port() const { return port_.c_str(); }

 private:
  [[noreturn]] void Serve(const std::string& answer, const std::string& log) {
    for (;;) {
      int client = accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      std::string head;
      char chunk[1024];
      for (ssize_t n = 1; n > 0 && head.find("\r\n\r\n") == std::string::npos;) {
        n = read(client, chunk, sizeof chunk);
        if (n > 0) head.append(chunk, static_cast<size_t>(n));
      }
      size_t host = head.find("\r\nHost:");
      std::string line = head.substr(0, head.find("\r\n")) + "\n" +
                         (host == std::string::npos
                              ? ""
                              : head.substr(host + 2, head.find("\r\n", host + 2) - host - 2)) +
                         "\n";
      hobtest::WriteWhole(log, hobtest::ReadWhole(log) + line);
      if (answer.empty()) pause();
      if (write(client, answer.data(), answer.size()) < 0) _exit(1);
      close(client);
    }
  }

  int fd_ = -1;
  pid_t pid_ = -1;
  std::string port_;
};

std::string Answer(const std::string& statusLine, const std::string& headers = "") {
  return "HTTP/1.1 " + statusLine + "\r\n" + headers +
         "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

class ProbeTest : public ::testing::Test {
 protected:
  void TearDown() override { CHobProbe::m_pszCurl = "curl"; }

  // Make the command a shell script with body that first leaves the file
  // "ran" behind.
  void StandIn(const std::string& body) {
    curl_ = dir_.Path("curl");
    hobtest::WriteWhole(curl_, "#!/bin/sh\n: > " + dir_.Path("ran") + "\n" + body + "\n");
    chmod(curl_.c_str(), 0755);
    CHobProbe::m_pszCurl = curl_.c_str();
  }
  bool StandInRan() { return access(dir_.Path("ran").c_str(), F_OK) == 0; }

  hobtest::TempDir dir_;
  std::string curl_;
  CHobString reason_;
};

TEST_F(ProbeTest, StatusOfTheAnswerComesBackAndARedirectIsNotFollowed) {
  const std::string answers[][2] = {{"401 Unauthorized", "401"},
                                    {"200 OK", "200"},
                                    {"302 Found", "302"},
                                    {"500 Internal Server Error", "500"}};
  for (const auto& a : answers) {
    std::string log = dir_.Path("log" + a[1]);
    TinyServer server("127.0.0.1", Answer(a[0], "Location: /d/\r\n"), log);
    ASSERT_TRUE(server.Running());
    EXPECT_EQ(
        CHobProbe::Status("127.0.0.1", server.port(), "site.example", "/d/", false, 2, reason_),
        std::stoi(a[1]));
    EXPECT_STREQ(reason_.m_pszText, "");
    EXPECT_EQ(hobtest::ReadWhole(log), "GET /d/ HTTP/1.1\nHost: site.example\n") << a[0];
  }
}

// A URL built from the host would not even resolve; a proxy from the
// environment would refuse the connection.
TEST_F(ProbeTest, HostHeaderCarriesTheHostWhileTheRequestGoesToTheAddressWithoutProxy) {
  setenv("http_proxy", "http://127.0.0.1:9", 1);
  setenv("ALL_PROXY", "http://127.0.0.1:9", 1);
  for (const char* addr : {"127.0.0.1", "::1"}) {
    std::string log = dir_.Path(std::string("log") + addr);
    TinyServer server(addr, Answer("401 Unauthorized"), log);
    if (!server.Running()) continue;  // no IPv6 on this host
    EXPECT_EQ(CHobProbe::Status(addr, server.port(), "site.invalid:8080", "/a%20b/%C3%BC/", false,
                                2, reason_),
              401)
        << addr << ": " << reason_.m_pszText;
    EXPECT_EQ(hobtest::ReadWhole(log), "GET /a%20b/%C3%BC/ HTTP/1.1\nHost: site.invalid:8080\n");
  }
  unsetenv("http_proxy");
  unsetenv("ALL_PROXY");
}

TEST_F(ProbeTest, SilentServerOrClosedPortGivesNoStatusButCurlsReason) {
  TinyServer silent("127.0.0.1", "", dir_.Path("log"));
  ASSERT_TRUE(silent.Running());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CHobProbe::Status("127.0.0.1", silent.port(), "h", "/", false, 1, reason_), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(reason_.FindNoCase("timed out"), -1) << reason_.m_pszText;

  std::string port;
  int closed = BoundSocket("127.0.0.1", port);  // bound, never listening
  EXPECT_EQ(CHobProbe::Status("127.0.0.1", port.c_str(), "h", "/", false, 1, reason_), -1);
  EXPECT_NE(reason_.FindNoCase("connect"), -1) << reason_.m_pszText;
  close(closed);
}

TEST_F(ProbeTest, RefusedInputNeverReachesCurlAndTlsGoesUnverified) {
  StandIn("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + dir_.Path("argv") + "\necho 204");
  const char* const cases[][4] = {
      // addr, port, host, urlPath
      {"127.0.0.1", "80", "a\r\nX-Injected: 1", "/"},
      {"127.0.0.1", "80", "a b", "/"},
      {"127.0.0.1", "80", "", "/"},
      {"127.0.0.1", "80", "a/b@c", "/"},
      {"localhost", "80", "h", "/"},
      {"127.0.0.1 ", "80", "h", "/"},
      {"127.0.0.1", "0", "h", "/"},
      {"127.0.0.1", "65536", "h", "/"},
      {"127.0.0.1", "80\n", "h", "/"},
      {"127.0.0.1", "80", "h", "d/"},
      {"127.0.0.1", "80", "h", "/a b/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CHobProbe::Status(c[0], c[1], c[2], c[3], false, 1, reason_), -1) << c[2];
    EXPECT_FALSE(reason_.IsEmpty()) << c[2];
    EXPECT_FALSE(StandInRan()) << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
  }
  // A TLS request to an IPv6 address, the certificate not checked.
  EXPECT_EQ(CHobProbe::Status("::1", "65535", "[::1]:65535", "/~a-b_c.d/", true, 1, reason_), 204);
  std::string argv = hobtest::ReadWhole(dir_.Path("argv"));
  EXPECT_NE(argv.find("\n--insecure\nhttps://[::1]:65535/~a-b_c.d/\n"), std::string::npos) << argv;
}

TEST_F(ProbeTest, CurlMissingFailingOrHangingGivesNoStatus) {
  CHobProbe::m_pszCurl = "/nonexistent/curl";
  EXPECT_EQ(CHobProbe::Status("127.0.0.1", "80", "h", "/", false, 1, reason_), -1);
  EXPECT_STREQ(reason_.m_pszText, "curl cannot be started");

  StandIn("exit 3");
  EXPECT_EQ(CHobProbe::Status("127.0.0.1", "80", "h", "/", false, 1, reason_), -1);
  EXPECT_STREQ(reason_.m_pszText, "curl ended with status 3");

  StandIn("exec sleep 30");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CHobProbe::Status("127.0.0.1", "80", "h", "/", false, 1, reason_), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_STREQ(reason_.m_pszText, "curl gave no result in time");
}

TEST(ProbeUrlPath, PathUnderTheRootEncodedOrEmptyOutsideIt) {
  // dir, document root, URL path
  const char* const cases[][3] = {
      {"/srv/www/a b/\xC3\xBC", "/srv/www", "/a%20b/%C3%BC/"},
      {"/srv/www", "/srv/www/", "/"},
      {"/srv/www//x~y/", "/srv/www//", "/x~y/"},
      {"/srv/www/%?#&+", "/srv/www", "/%25%3F%23%26%2B/"},
      {"/etc", "/", "/etc/"},
      {"/", "/", "/"},
      {"/srv/www2/a", "/srv/www", ""},
      {"/srv/ww", "/srv/www", ""},
      {"/srv/www/../etc", "/srv/www", ""},
      {"/srv/www/./a", "/srv/www", ""},
      {"/srv/www/a", "", ""},
      {"srv/www/a", "/", ""},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(CHobProbe::UrlPath(c[0], c[1]).m_pszText, c[2]) << c[0] << " under " << c[1];
  }
}

}  // namespace
