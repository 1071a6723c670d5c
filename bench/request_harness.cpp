// request_harness: whole-process timings of the CGI program, each beside the
// floor program that produces the same bytes with the least possible work.
//
//   request_harness --cgi PATH --floor-page PATH --floor-submit PATH
//                   --site DIR [--runs N] [--submit-runs N] [--work-root DIR]
//
// Every run is started as a web server starts a CGI program: fork and exec
// with a CGI environment, a working directory holding the site files, the
// request body on a pipe to standard input and the page read from a pipe on
// standard output, until the process has been reaped. Program and floor runs
// alternate, so that drift of the machine hits both alike. The figures are
// printed as tab-separated rows:
//
//   section  case  figure  median  p10  p90  floor-median  floor-p10  floor-p90  target
//
// where target is the ratio to the floor the figure must stay within
// ("<=1.10", "-" for none). A submit's peak resident set is that of the
// password tool, so only its wall time is reported. Two further sections:
// "stdin" puts the floor that passes the password on the tool's standard
// input beside the one that passes it as an argument, and "oversized" times
// the program's answer to an 8 MB path and to an 8 MB body of small fields
// beside its answer to a normal submit. The working directory is made under
// --work-root (default /tmp; on a tmpfs neither side waits for the disk,
// where the program syncs each file it writes and the floor syncs nothing).
//
// With --scale SIZES (comma-separated user counts) only the "scale" section
// runs: each action on password files of those sizes, MD5 and bcrypt, beside
// the htpasswd command doing the same on a copy of the same file (htpasswd
// -v for verify, cut -d: -f1 for list), in working directories under
// --work-root. Its rows are
//
//   scale  action  hash  users  wall-median  p10  p90  floor-median  p10  p90
//   cpu-median  floor-cpu-median  peak-KiB  floor-peak-KiB  runs
//
// with wall and CPU times in ms and the largest peak resident set of the
// runs, the children the process waited for included.
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::Figure;
using harness::Now;
using harness::Summarise;
using harness::UrlEncode;

struct Options {
  std::string cgi;
  std::string floorPage;
  std::string floorSubmit;
  std::string site;
  int runs = 300;
  int submitRuns = 150;
  std::string scale;  // user counts of the scale section, comma-separated; "": none
  std::string workRoot = "/tmp";
};

// One request as the web server hands it over.
struct Request {
  std::string method;
  std::string body;
};

// One process run: what it printed, how it ended, what it cost.
struct Run {
  std::string out;  // what it printed, or its first kKeptOutput bytes (Start's bShort)
  size_t outLength = 0;
  int status = -1;  // exit status; -1 when it did not exit normally
  double wallMs = 0;
  double cpuMs = 0;     // user and system time, the children it waited for included
  long peakRssKiB = 0;  // the largest of the process and the children it waited for
};

// The two series of one case: the program and its floor.
struct Series {
  std::vector<double> wall;
  std::vector<double> rss;
  std::vector<double> floorWall;
  std::vector<double> floorRss;
};

bool ParseOptions(int argc, char** argv, Options& options);
int Measure(const Options& options);
int MeasureScale(const Options& options);

}  // namespace

int main(int argc, char** argv) {
  // A refused request's body is left unread: writing it then meets EPIPE.
  signal(SIGPIPE, SIG_IGN);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    fprintf(stderr,
            "usage: request_harness --cgi PATH --floor-page PATH --floor-submit PATH --site DIR "
            "[--runs N] [--submit-runs N] [--scale SIZES] [--work-root DIR]\n");
    return 2;
  }
  return options.scale.empty() ? Measure(options) : MeasureScale(options);
}

namespace {

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--cgi") {
      options.cgi = value;
    } else if (name == "--floor-page") {
      options.floorPage = value;
    } else if (name == "--floor-submit") {
      options.floorSubmit = value;
    } else if (name == "--site") {
      options.site = value;
    } else if (name == "--runs") {
      options.runs = atoi(value);
    } else if (name == "--submit-runs") {
      options.submitRuns = atoi(value);
    } else if (name == "--scale") {
      options.scale = value;
    } else if (name == "--work-root") {
      options.workRoot = value;
    } else {
      return false;
    }
  }
  // The programs run in a working directory of their own: their paths must
  // not be relative.
  for (std::string* path :
       {&options.cgi, &options.floorPage, &options.floorSubmit, &options.site}) {
    char* absolute = realpath(path->c_str(), nullptr);
    if (absolute == nullptr) return false;
    *path = absolute;
    free(absolute);
  }
  return argc % 2 == 1 && options.runs > 0 && options.submitRuns > 0;
}

std::string ReadFile(const std::string& path) {
  std::string contents;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return contents;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) contents.append(chunk, n);
  fclose(f);
  return contents;
}

bool WriteFile(const std::string& path, const std::string& contents) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool written = fwrite(contents.data(), 1, contents.size(), f) == contents.size();
  return fclose(f) == 0 && written;
}

// A working directory of its own with the site files copied in, and a
// directory to protect beside them.
bool MakeWorkDir(const std::string& site, std::string& work, const std::string& root = "/tmp") {
  std::string tmpl = root + "/hob-bench-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) return false;
  work = tmpl;
  for (const char* name : {"templ_config.html", "templ_info.html", "sys-signature",
                           "dat-message.dat", "dat-system.dat", "dat-htaccess.dat"}) {
    std::string contents = ReadFile(site + "/" + name);
    // A create would ask a web server that the harness does not run whether
    // the directory asks for a password, and its answer differs from run to
    // run.
    size_t check = contents.find("\nselfcheck=1");
    if (check != std::string::npos) contents.replace(check, 12, "\nselfcheck=0");
    if (contents.empty() || !WriteFile(work + "/" + name, contents)) return false;
  }
  return mkdir((work + "/protect").c_str(), 0755) == 0;
}

void RemoveWorkDir(const std::string& work) {
  nftw(
      work.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

// The variables a web server sets for a request to the program.
std::vector<std::string> CgiEnvironment(const Request& request, const std::string& work) {
  std::vector<std::string> env = {
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "GATEWAY_INTERFACE=CGI/1.1",
      "SERVER_SOFTWARE=Apache",
      "SERVER_NAME=127.0.0.1",
      "SERVER_ADDR=127.0.0.1",
      "SERVER_PORT=18280",
      "SERVER_PROTOCOL=HTTP/1.1",
      "SERVER_SIGNATURE=",
      "SERVER_ADMIN=[no address given]",
      "REQUEST_SCHEME=http",
      "DOCUMENT_ROOT=" + work,
      "CONTEXT_PREFIX=/cgi-bin/",
      "CONTEXT_DOCUMENT_ROOT=" + work + "/",
      "SCRIPT_FILENAME=" + work + "/hob-htpasswd.cgi",
      "SCRIPT_NAME=/cgi-bin/hob-htpasswd.cgi",
      "REQUEST_URI=/cgi-bin/hob-htpasswd.cgi",
      "QUERY_STRING=",
      "REQUEST_METHOD=" + request.method,
      "REMOTE_ADDR=127.0.0.1",
      "REMOTE_PORT=40000",
      "HTTP_HOST=127.0.0.1:18280",
      "HTTP_USER_AGENT=request_harness",
      "HTTP_ACCEPT=text/html,application/xhtml+xml,*/*;q=0.8",
      "HTTP_ACCEPT_LANGUAGE=en",
      "HTTP_ACCEPT_ENCODING=gzip, deflate",
      "HTTP_CONNECTION=keep-alive",
  };
  if (request.method == "POST") {
    env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
    env.push_back("CONTENT_LENGTH=" + std::to_string(request.body.size()));
  }
  return env;
}

// The bytes of a long output that Start keeps with bShort: a page of
// millions of users would grow the harness, and every child forked later
// would count the harness's pages in its peak resident set.
const size_t kKeptOutput = 64 * 1024;

// Starts argv[0] in work with env, feeds it the body (or the file bodyFile as
// its standard input), reads its output (with bShort, keeps only its start)
// and waits for it; the time runs from before the fork until it has been
// reaped.
Run Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& body, const std::string& work, const char* bodyFile = nullptr,
          bool bShort = false) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  Run run;
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return run;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return run;
  }
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    int input = bodyFile != nullptr ? open(bodyFile, O_RDONLY) : in[0];
    if (chdir(work.c_str()) != 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 || null < 0 ||
        dup2(null, 2) < 0) {
      _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  // The body is written while the answer is read, as a web server does. A
  // program may answer without reading all of it (a request it refuses); the
  // writing then ends with EPIPE, and the run counts as fed.
  int flags = fcntl(in[1], F_GETFL);
  fcntl(in[1], F_SETFL, flags | O_NONBLOCK);
  size_t written = 0;
  bool writing = pid > 0 && !body.empty();
  bool fed = pid > 0;
  if (!writing) close(in[1]);
  char chunk[8192];
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (poll(fds, writing ? 2 : 1, -1) < 0 && errno != EINTR) break;
    if (writing && fds[1].revents != 0) {
      ssize_t w = write(in[1], body.data() + written, body.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN) || written == body.size()) {
        writing = false;
        close(in[1]);
      }
    }
    if (fds[0].revents != 0) {
      ssize_t n = read(out[0], chunk, sizeof chunk);
      if (n <= 0) break;
      run.outLength += static_cast<size_t>(n);
      if (!bShort || run.out.size() < kKeptOutput) run.out.append(chunk, static_cast<size_t>(n));
    }
  }
  if (writing) close(in[1]);
  close(out[0]);
  if (pid < 0) return run;
  int status = 0;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  run.wallMs = Now() - start;
  run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  run.status = fed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakRssKiB = usage.ru_maxrss;
  return run;
}

void PrintRow(const char* section, const std::string& name, const char* figure,
              const std::vector<double>& values, const std::vector<double>& floorValues,
              const char* target) {
  Figure v = Summarise(values);
  Figure f = Summarise(floorValues);
  printf("%s\t%s\t%s\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%s\n", section, name.c_str(), figure,
         v.median, v.p10, v.p90, f.median, f.p10, f.p90, target);
  fflush(stdout);
}

// A measured run must answer exactly as the reference run did: the same
// length of output (a fresh salt changes bytes, never the length) and exit
// status 0; anything else is a failure, not a figure.
bool Expect(const Run& run, const std::string& reference, const std::string& what) {
  if (run.status == 0 && run.out.size() == reference.size()) return true;
  fprintf(stderr, "request_harness: %s answered with status %d and %zu bytes (expected 0, %zu)\n",
          what.c_str(), run.status, run.out.size(), reference.size());
  return false;
}

// Runs the program and its floor n times each, alternating which goes first,
// after a few unmeasured runs of each.
bool Alternate(const std::vector<std::string>& program, const std::vector<std::string>& floor,
               const Request& request, const std::string& work, const std::string& reference, int n,
               Series& series) {
  std::vector<std::string> env = CgiEnvironment(request, work);
  const int warmUp = 10;
  for (int i = 0; i < warmUp + n; i++) {
    Run p;
    Run f;
    if (i % 2 == 0) {
      p = Start(program, env, request.body, work);
      f = Start(floor, env, request.body, work);
    } else {
      f = Start(floor, env, request.body, work);
      p = Start(program, env, request.body, work);
    }
    if (!Expect(p, reference, program[0]) || !Expect(f, reference, floor[0])) return false;
    if (i < warmUp) continue;
    series.wall.push_back(p.wallMs);
    series.rss.push_back(static_cast<double>(p.peakRssKiB));
    series.floorWall.push_back(f.wallMs);
    series.floorRss.push_back(static_cast<double>(f.peakRssKiB));
  }
  return true;
}

bool FirstVisit(const Options& options, const std::string& work) {
  Request request{"GET", ""};
  Run reference = Start({options.cgi}, CgiEnvironment(request, work), "", work);
  if (reference.status != 0 || reference.out.rfind("Content-type: text/html\n", 0) != 0) {
    fprintf(stderr, "request_harness: the first visit failed (status %d)\n", reference.status);
    return false;
  }
  // Started as a CGI program the floor finds its page in the working directory.
  if (!WriteFile(work + "/floor-page.html", reference.out)) return false;
  Series s;
  if (!Alternate({options.cgi}, {options.floorPage}, request, work, reference.out, options.runs,
                 s)) {
    return false;
  }
  PrintRow("request", "first visit", "wall ms", s.wall, s.floorWall, "<=1.10");
  PrintRow("request", "first visit", "peak RSS KiB", s.rss, s.floorRss, "<=1.20");
  return true;
}

// The password-tool words of option "n", "c" or "a" with hash type 0, 1 or
// 2, the password on standard input ("-i") or, as the program once did, as
// the last word ("-b").
std::vector<std::string> ToolWords(char option, int type, bool onStdin, const std::string& file,
                                   const std::string& user, const std::string& pass) {
  const std::string letter(1, "dms"[type]);
  const std::string source = onStdin ? "i" : "b";
  std::vector<std::string> words;
  switch (option) {
    case 'n':
      words = {"htpasswd", "-n" + source + letter, "--", user};
      break;
    case 'c':
      words = {"htpasswd", "-" + source + "c" + letter, "--", file, user};
      break;
    default:
      words = {"htpasswd", "-" + source + letter, "--", file, user};
      break;
  }
  if (!onStdin) words.push_back(pass);
  return words;
}

const char* const kUser = "bench";
const char* const kPass = "s3cret-Pass";

// A create replaces the file that the run before it made ("replace=1").
Request SubmitRequest(const std::string& dir, char option, int type) {
  return Request{"POST", "path=" + UrlEncode(dir) + "&user=" + kUser + "&pass=" + UrlEncode(kPass) +
                             "&type=" + std::to_string(type) + "&option=" + option +
                             (option == 'c' ? "&replace=1" : "") + "&submit=Submit"};
}

// One submit case: option "n", "c" or "a" with hash type 0, 1 or 2. The floor
// runs the tool with the very words the program gives it.
bool Submit(const Options& options, const std::string& work, char option, int type) {
  const std::string dir = work + "/protect";
  Request request = SubmitRequest(dir, option, type);
  std::vector<std::string> words = ToolWords(option, type, true, dir + "/.htpasswd", kUser, kPass);

  std::string name = std::string("submit ") + option + " type " + std::to_string(type);
  // The reference answers as every measured run does: to a password file
  // that is already there.
  Start({options.cgi}, CgiEnvironment(request, work), request.body, work);
  Run reference = Start({options.cgi}, CgiEnvironment(request, work), request.body, work);
  if (reference.status != 0 || reference.out.find("<form") == std::string::npos) {
    fprintf(stderr, "request_harness: %s failed (status %d)\n", name.c_str(), reference.status);
    return false;
  }
  std::string page = work + "/floor-" + option + std::to_string(type) + ".html";
  if (!WriteFile(page, reference.out)) return false;
  std::vector<std::string> floor = {options.floorSubmit, page, kPass};
  floor.insert(floor.end(), words.begin(), words.end());

  Series s;
  if (!Alternate({options.cgi}, floor, request, work, reference.out, options.submitRuns, s)) {
    return false;
  }
  PrintRow("request", name, "wall ms", s.wall, s.floorWall, "<=1.10");
  return true;
}

// The password on the tool's standard input beside the password as an
// argument: both floors of a submit "n" with type 1, the same page.
bool StdinBesideArgument(const Options& options, const std::string& work) {
  const std::string dir = work + "/protect";
  Request request = SubmitRequest(dir, 'n', 1);
  std::string page = work + "/floor-n1.html";
  std::string reference = ReadFile(page);
  std::vector<std::string> onStdin = {options.floorSubmit, page, kPass};
  std::vector<std::string> asArgument = {options.floorSubmit, page, "-"};
  for (const std::string& w : ToolWords('n', 1, true, "", kUser, kPass)) onStdin.push_back(w);
  for (const std::string& w : ToolWords('n', 1, false, "", kUser, kPass)) asArgument.push_back(w);
  Series s;
  if (!Alternate(onStdin, asArgument, request, work, reference, options.submitRuns, s)) {
    return false;
  }
  PrintRow("stdin", "password on stdin beside as argument, -n type 1", "wall ms", s.wall,
           s.floorWall, "<=1.10");
  return true;
}

// Writes pieces made by piece(i) to path until it holds at least size bytes,
// then tail; its length. The harness stays small, so that the child it forks
// does not count the harness's pages as its own.
size_t WriteBody(const std::string& path, size_t size, std::string (*piece)(int),
                 const std::string& tail) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  size_t length = 0;
  for (int i = 0; length < size; i++) {
    std::string p = piece(i);
    length += fwrite(p.data(), 1, p.size(), f);
  }
  length += fwrite(tail.data(), 1, tail.size(), f);
  fclose(f);
  return length;
}

// The answers to an 8 MB path and to an 8 MB body of small fields, both
// refused unread, beside the answer to a normal submit "n" with type 1.
bool Oversized(const Options& options, const std::string& work) {
  const size_t size = 8 << 20;
  struct Case {
    const char* name;
    std::string (*piece)(int);
    std::string tail;
  } cases[] = {{"8 MB path", [](int i) { return std::string(i == 0 ? "path=" : "%2Fabc"); },
                "&user=u&pass=p&type=1&option=n&submit=1"},
               {"8 MB body of small fields", [](int i) { return "f" + std::to_string(i) + "=v&"; },
                "submit=1"}};
  Request normal = SubmitRequest(work + "/protect", 'n', 1);
  std::vector<std::string> normalEnv = CgiEnvironment(normal, work);
  const std::string file = work + "/oversized-body";
  for (const Case& c : cases) {
    std::vector<std::string> env = CgiEnvironment(Request{"POST", ""}, work);
    env.back() = "CONTENT_LENGTH=" + std::to_string(WriteBody(file, size, c.piece, c.tail));
    Series s;
    for (int i = 0; i < options.submitRuns / 5; i++) {
      Run big = Start({options.cgi}, env, "", work, file.c_str());
      Run small = Start({options.cgi}, normalEnv, normal.body, work);
      if (big.status != 1 || small.status != 0) {
        fprintf(stderr, "request_harness: %s answered with status %d\n", c.name, big.status);
        return false;
      }
      s.wall.push_back(big.wallMs);
      s.rss.push_back(static_cast<double>(big.peakRssKiB));
      s.floorWall.push_back(small.wallMs);
      s.floorRss.push_back(static_cast<double>(small.peakRssKiB));
    }
    PrintRow("oversized", c.name, "wall ms", s.wall, s.floorWall, "-");
    PrintRow("oversized", c.name, "peak RSS KiB", s.rss, s.floorRss, "-");
  }
  remove(file.c_str());
  return true;
}

int Measure(const Options& options) {
  std::string work;
  if (!MakeWorkDir(options.site, work, options.workRoot)) {
    fprintf(stderr, "request_harness: cannot lay out a working directory from %s\n",
            options.site.c_str());
    return 1;
  }
  bool ok = FirstVisit(options, work);
  // "c" comes before "a", so that "a" finds the password file it adds to.
  for (char option : {'n', 'c', 'a'}) {
    for (int type = 0; ok && type <= 2; type++) ok = Submit(options, work, option, type);
  }
  ok = ok && StdinBesideArgument(options, work) && Oversized(options, work);
  RemoveWorkDir(work);
  return ok ? 0 : 1;
}

// The path of program found on PATH, or "" when none is.
std::string OnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

// The first line the password tool prints for options and password, without
// its line feed; "" when it fails.
std::string ToolLine(const std::string& tool, const std::string& options,
                     const std::string& password) {
  std::string command = tool + " " + options + " x '" + password + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return "";
  char line[512] = "";
  bool read = fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  std::string text = read ? line : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The name of user number i of a generated password file.
std::string ScaleUser(int i) {
  char name[16];
  snprintf(name, sizeof name, "u%07d", i);
  return name;
}

// Writes a password file of users entries, all with the one hash, to path;
// its size, or 0 on failure.
off_t WriteUsers(const std::string& path, int users, const std::string& hash) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  static char block[1 << 16];
  setvbuf(f, block, _IOFBF, sizeof block);
  for (int i = 0; i < users; i++) fprintf(f, "%s:%s\n", ScaleUser(i).c_str(), hash.c_str());
  if (fclose(f) != 0) return 0;
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Copies the file from to to, replacing it.
bool CopyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  std::string part = to + ".part";
  int out = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool copied = out >= 0;
  static char block[1 << 20];
  for (ssize_t n; copied && (n = read(in, block, sizeof block)) != 0;) {
    copied = n > 0 && write(out, block, static_cast<size_t>(n)) == n;
  }
  close(in);
  if (out >= 0 && close(out) != 0) copied = false;
  return copied && rename(part.c_str(), to.c_str()) == 0;
}

off_t SizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// One action of the scale section on one file.
struct ScaleAction {
  const char* name;
  char option;  // the form's option
  bool bNewUser;
  bool bChanges;  // changes the file, which is put back before each run
};

// The runs at a size: fewer where one run takes long, more at the smallest
// size, where a run takes milliseconds and the start of a process, which
// varies by a tenth from run to run, is most of it. At a million users a run
// takes one of two times about a third apart, on either side, so that the
// median of five landed on either.
int ScaleRuns(int users) { return users >= 100000 ? 9 : users >= 10000 ? 21 : 101; }

// One action at one size: the program on dir's password file beside the
// floor on floorFile, both put back from base, whose entries have hashes of
// hashLength bytes, before every run that changes them. A run must exit with
// status 0, a change must leave the file with the user's entry added,
// changed or gone, the program's verify must find the password and its list
// must be long enough to name every user.
bool ScaleCase(const Options& options, const std::string& work, const std::string& base,
               const std::string& hashName, size_t hashLength, int type, int users,
               const ScaleAction& action, const std::string& tool, const std::string& cut) {
  const std::string dir = work + "/protect";
  const std::string file = dir + "/.htpasswd";
  const std::string floorFile = work + "/floor.htpasswd";
  const std::string user = action.bNewUser ? "newuser" : ScaleUser(users - 1);
  std::string body = "path=" + UrlEncode(dir) + "&option=" + action.option + "&submit=1";
  if (action.option != 'l') body += "&user=" + user;
  if (action.option == 'a' || action.option == 'v') body += "&pass=" + UrlEncode(kPass);
  if (action.option == 'a') body += "&type=" + std::to_string(type);
  Request request{"POST", body};
  std::vector<std::string> env = CgiEnvironment(request, work);
  // The tool's own scratch file goes where the copies go.
  env.push_back("TMPDIR=" + work);

  std::vector<std::string> floor;
  std::string floorInput = std::string(kPass) + "\n";
  const char* bcrypt = type == 3 ? "B" : "m";
  switch (action.option) {
    case 'a':
      floor = {tool, "-i" + std::string(bcrypt), "--", floorFile, user};
      if (type == 3) floor.insert(floor.begin() + 2, {"-C", "10"});
      break;
    case 'd':
      floor = {tool, "-D", "--", floorFile, user};
      floorInput = "";
      break;
    case 'v':
      floor = {tool, "-iv", "--", base, user};
      break;
    default:
      floor = {cut, "-d:", "-f1", base};
      floorInput = "";
      break;
  }
  if (!action.bChanges) CopyFile(base, file);
  const off_t entry = static_cast<off_t>(user.size() + 2 + hashLength);
  const off_t expected = SizeOf(base) + (!action.bChanges       ? 0
                                         : action.bNewUser      ? entry
                                         : action.option == 'd' ? -entry
                                                                : 0);
  Series s;
  std::vector<double> cpu, floorCpu;
  int runs = ScaleRuns(users);
  for (int i = 0; i < runs + 1; i++) {
    Run p, f;
    for (int side = 0; side < 2; side++) {
      bool program = (side == 0) == (i % 2 == 0);
      const std::string& target = program ? file : floorFile;
      if (action.bChanges && !CopyFile(base, target)) return false;
      Run r = program ? Start({options.cgi}, env, body, work, nullptr, true)
                      : Start(floor, env, floorInput, work, nullptr, true);
      if (r.status != 0 || (action.bChanges && SizeOf(target) != expected) ||
          (program && action.option == 'v' &&
           r.out.find("The password matches") == std::string::npos) ||
          (program && action.option == 'l' && r.outLength < static_cast<size_t>(users) * 9)) {
        fprintf(stderr, "request_harness: %s %s at %d users: %s answered with status %d\n",
                action.name, hashName.c_str(), users, program ? "the program" : "the floor",
                r.status);
        return false;
      }
      (program ? p : f) = r;
    }
    // The first run of each warms the caches and is not counted.
    if (i == 0) continue;
    s.wall.push_back(p.wallMs);
    s.floorWall.push_back(f.wallMs);
    cpu.push_back(p.cpuMs);
    floorCpu.push_back(f.cpuMs);
    s.rss.push_back(static_cast<double>(p.peakRssKiB));
    s.floorRss.push_back(static_cast<double>(f.peakRssKiB));
  }
  Figure wall = Summarise(s.wall);
  Figure floorWall = Summarise(s.floorWall);
  printf("scale\t%s\t%s\t%d\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.0f\t%.0f\t%d\n",
         action.name, hashName.c_str(), users, wall.median, wall.p10, wall.p90, floorWall.median,
         floorWall.p10, floorWall.p90, Summarise(cpu).median, Summarise(floorCpu).median,
         *std::max_element(s.rss.begin(), s.rss.end()),
         *std::max_element(s.floorRss.begin(), s.floorRss.end()), runs);
  fflush(stdout);
  return true;
}

int MeasureScale(const Options& options) {
  std::string tool = OnPath("htpasswd");
  std::string cut = OnPath("cut");
  std::string work;
  if (tool.empty() || cut.empty() || !MakeWorkDir(options.site, work, options.workRoot)) {
    fprintf(stderr, "request_harness: no htpasswd or cut, or no working directory in %s\n",
            options.workRoot.c_str());
    return 1;
  }
  // One real entry of each kind, reused under every name.
  struct Hash {
    const char* name;
    int type;
    std::string hash;
  } hashes[] = {{"MD5", 1, ""}, {"bcrypt", 3, ""}};
  for (Hash& h : hashes) {
    std::string line = ToolLine(tool, h.type == 3 ? "-nbB -C 10" : "-nbm", kPass);
    h.hash = line.substr(line.find(':') + 1);
  }
  std::vector<int> sizes;
  for (const char* p = options.scale.c_str(); *p != '\0';) {
    char* end;
    sizes.push_back(static_cast<int>(strtol(p, &end, 10)));
    p = *end == ',' ? end + 1 : end;
    if (sizes.back() < 1 || end == p) break;
  }
  bool ok = !hashes[0].hash.empty() && !hashes[1].hash.empty();
  for (int users : sizes) {
    for (const Hash& h : hashes) {
      if (!ok) break;
      const std::string base = work + "/base.htpasswd";
      ok = WriteUsers(base, users, h.hash) > 0;
      const ScaleAction actions[] = {{"add", 'a', true, true},
                                     {"change", 'a', false, true},
                                     {"delete", 'd', false, true},
                                     {"list", 'l', false, false},
                                     {"verify", 'v', false, false}};
      for (const ScaleAction& a : actions) {
        ok = ok &&
             ScaleCase(options, work, base, h.name, h.hash.size(), h.type, users, a, tool, cut);
      }
    }
  }
  RemoveWorkDir(work);
  return ok ? 0 : 1;
}

}  // namespace
