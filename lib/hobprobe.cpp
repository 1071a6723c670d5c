// CHobProbe: the check is made by starting the curl command with an argument
// vector, never through a shell, so that the program links no HTTP or TLS
// library and a request that makes no check pays nothing for it. Every input
// that reaches the command is checked first; "-q" keeps the command from
// reading a configuration file of the web server's user, and "--noproxy *"
// keeps a proxy from the environment (a CGI request can set HTTP_PROXY
// through its Proxy header) from seeing the request. The command prints only
// the status and its own error text, on a pipe read here under a deadline of
// its own, so that even a hanging command cannot hold up the page.
#include "hobprobe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hobbuffer.h"

extern char** environ;

const char* CHobProbe::m_pszCurl = "curl";

namespace {

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsUnreserved(unsigned char c) {
  return IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

CHobString CHobProbe::UrlPath(const char* dir, const char* documentRoot) {
  size_t rootLength = strlen(documentRoot);
  if (rootLength == 0) return CHobString();
  while (rootLength > 0 && documentRoot[rootLength - 1] == '/') rootLength--;
  const char* rest = dir + rootLength;
  if (strncmp(dir, documentRoot, rootLength) != 0 || (*rest != '/' && *rest != '\0') ||
      (rootLength == 0 && *rest == '\0')) {
    return CHobString();
  }
  static const char kHex[] = "0123456789ABCDEF";
  CHobBuffer path(static_cast<unsigned>(3 * strlen(rest) + 2));
  int used = 0;
  path.data[used++] = '/';
  for (const char* at = rest; *at != '\0';) {
    while (*at == '/') at++;
    size_t length = strcspn(at, "/");
    if (length == 0) break;
    if ((length == 1 && at[0] == '.') || (length == 2 && at[0] == '.' && at[1] == '.')) {
      return CHobString();
    }
    for (size_t i = 0; i < length; i++) {
      unsigned char c = static_cast<unsigned char>(at[i]);
      if (IsUnreserved(c)) {
        path.data[used++] = static_cast<char>(c);
      } else {
        path.data[used++] = '%';
        path.data[used++] = kHex[c >> 4];
        path.data[used++] = kHex[c & 0x0F];
      }
    }
    path.data[used++] = '/';
    at += length;
  }
  path.ReAlloc(static_cast<unsigned>(used));
  return CHobString(path.data);
}

namespace {

bool IsIpAddress(const char* addr) {
  unsigned char binary[16];
  return inet_pton(AF_INET, addr, binary) == 1 || inet_pton(AF_INET6, addr, binary) == 1;
}

bool IsPort(const char* port) {
  size_t digits = strspn(port, "0123456789");
  if (digits == 0 || digits > 5 || port[digits] != '\0') return false;
  long value = strtol(port, nullptr, 10);
  return value >= 1 && value <= 65535;
}

bool IsHost(const char* host) {
  for (const char* at = host; *at != '\0'; at++) {
    if (!IsAsciiAlnum(static_cast<unsigned char>(*at)) && strchr(".-:[]", *at) == nullptr) {
      return false;
    }
  }
  return *host != '\0';
}

bool IsUrlPath(const char* urlPath) {
  for (const char* at = urlPath; *at != '\0'; at++) {
    if (*at <= ' ' || *at > '~') return false;
  }
  return urlPath[0] == '/';
}

// Why the request must not be sent, or null when it may.
const char* Refusal(const char* addr, const char* port, const char* host, const char* urlPath) {
  if (!IsIpAddress(addr)) return "the server address is no IP address";
  if (!IsPort(port)) return "the server port is no number from 1 to 65535";
  if (!IsHost(host)) return "the host name is empty or holds a character it may not hold";
  if (!IsUrlPath(urlPath)) return "the URL path is no path";
  return nullptr;
}

// Start argv[0] with argv, its standard output going to the write end of a
// new pipe and its standard input and error to /dev/null. Returns the pid and
// puts the pipe's read end into readFd, or -1 when the command cannot be
// started.
pid_t Start(const char* const* argv, int& readFd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  pid_t pid = -1;
  int error = posix_spawn_file_actions_init(&actions);
  if (error == 0) {
    error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (error == 0) error = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (error == 0) {
      error =
          posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return -1;
  }
  readFd = fds[0];
  return pid;
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Everything the command prints on fd until it closes it, keeping the first
// 1023 bytes, into text; false when seconds pass first.
bool ReadUntil(int fd, double seconds, CHobString& text) {
  char kept[1024];
  size_t used = 0;
  const double deadline = Now() + seconds;
  bool closed = false;
  while (!closed) {
    double left = deadline - Now();
    if (left <= 0) break;
    pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, static_cast<int>(left * 1000) + 1);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    char chunk[512];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    closed = got <= 0;
    size_t take = got > 0 ? static_cast<size_t>(got) : 0;
    if (take > sizeof kept - 1 - used) take = sizeof kept - 1 - used;
    memcpy(kept + used, chunk, take);
    used += take;
  }
  kept[used] = '\0';
  text = kept;
  return closed;
}

}  // namespace

int CHobProbe::Status(const char* addr, const char* port, const char* host, const char* urlPath,
                      bool tls, int timeoutSeconds, CHobString& reason) {
  reason = "";
  const char* refusal = Refusal(addr, port, host, urlPath);
  if (refusal != nullptr) {
    reason = refusal;
    return -1;
  }
  if (timeoutSeconds < 1) timeoutSeconds = 1;
  const bool v6 = strchr(addr, ':') != nullptr;
  CHobString url = CHobString(tls ? "https://" : "http://") + (v6 ? "[" : "") + addr +
                   (v6 ? "]:" : ":") + port + urlPath;
  CHobString hostHeader = CHobString("Host: ") + host;
  CHobString seconds(timeoutSeconds);
  const char* const options[] = {m_pszCurl,
                                 "-q",
                                 "--silent",
                                 "--globoff",
                                 "--path-as-is",
                                 "--noproxy",
                                 "*",
                                 "--max-time",
                                 seconds.m_pszText,
                                 "--connect-timeout",
                                 seconds.m_pszText,
                                 "--user-agent",
                                 "hob-htpasswd",
                                 "-H",
                                 hostHeader.m_pszText,
                                 "--output",
                                 "/dev/null",
                                 "--write-out",
                                 "%{http_code} %{errormsg}"};
  const char* argv[sizeof options / sizeof options[0] + 3];
  int argc = 0;
  for (const char* option : options) argv[argc++] = option;
  // The certificate is not checked: nothing secret is sent and only the
  // status is read.
  if (tls) argv[argc++] = "--insecure";
  argv[argc++] = url.m_pszText;
  argv[argc] = nullptr;

  int fd = -1;
  pid_t pid = Start(argv, fd);
  if (pid < 0) {
    reason = "curl cannot be started";
    return -1;
  }
  CHobString printed;
  bool ended = ReadUntil(fd, timeoutSeconds + 1, printed);
  close(fd);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
  if (!ended) {
    reason = "curl gave no result in time";
    return -1;
  }

  // "401 " for an answer, "000 Could not connect ..." for none.
  int code = atoi(printed.m_pszText);
  if (code >= 100 && code <= 599) return code;
  int space = printed.Find(" ");
  reason = space >= 0 ? printed.Mid(space + 1) : CHobString();
  reason.Trim();
  if (reason.IsEmpty()) {
    reason.Format("curl ended with status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return -1;
}
