// request_harness: whole-process timings of the CGI program, each beside the
// floor program that produces the same bytes with the least possible work.
//
//   request_harness --cgi PATH --floor-page PATH --floor-submit PATH
//                   --site DIR [--runs N] [--submit-runs N]
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
// beside its answer to a normal submit.
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

namespace {

struct Options {
  std::string cgi;
  std::string floorPage;
  std::string floorSubmit;
  std::string site;
  int runs = 300;
  int submitRuns = 150;
};

// One request as the web server hands it over.
struct Request {
  std::string method;
  std::string body;
};

// One process run: what it printed, how it ended, what it cost.
struct Run {
  std::string out;
  int status = -1;  // exit status; -1 when it did not exit normally
  double wallMs = 0;
  long peakRssKiB = 0;  // the largest of the process and the children it waited for
};

// A figure over many runs.
struct Figure {
  double median = 0;
  double p10 = 0;
  double p90 = 0;
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

}  // namespace

int main(int argc, char** argv) {
  // A refused request's body is left unread: writing it then meets EPIPE.
  signal(SIGPIPE, SIG_IGN);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    fprintf(stderr,
            "usage: request_harness --cgi PATH --floor-page PATH --floor-submit PATH --site DIR "
            "[--runs N] [--submit-runs N]\n");
    return 2;
  }
  return Measure(options);
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
bool MakeWorkDir(const std::string& site, std::string& work) {
  char tmpl[] = "/tmp/hob-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  work = tmpl;
  for (const char* name : {"templ_config.html", "templ_info.html", "sys-signature",
                           "dat-message.dat", "dat-system.dat", "dat-htaccess.dat"}) {
    std::string contents = ReadFile(site + "/" + name);
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

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Starts argv[0] in work with env, feeds it the body (or the file bodyFile as
// its standard input), reads its output and waits for it; the time runs from
// before the fork until it has been reaped.
Run Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& body, const std::string& work, const char* bodyFile = nullptr) {
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
      run.out.append(chunk, static_cast<size_t>(n));
    }
  }
  if (writing) close(in[1]);
  close(out[0]);
  if (pid < 0) return run;
  int status = 0;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  run.wallMs = Now() - start;
  run.status = fed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakRssKiB = usage.ru_maxrss;
  return run;
}

Figure Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  auto at = [&](double q) {
    return values[static_cast<size_t>(q * static_cast<double>(n - 1) + 0.5)];
  };
  Figure f;
  f.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  f.p10 = at(0.10);
  f.p90 = at(0.90);
  return f;
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

std::string UrlEncode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
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

Request SubmitRequest(const std::string& dir, char option, int type) {
  return Request{"POST", "path=" + UrlEncode(dir) + "&user=" + kUser + "&pass=" + UrlEncode(kPass) +
                             "&type=" + std::to_string(type) + "&option=" + option +
                             "&submit=Submit"};
}

// One submit case: option "n", "c" or "a" with hash type 0, 1 or 2. The floor
// runs the tool with the very words the program gives it.
bool Submit(const Options& options, const std::string& work, char option, int type) {
  const std::string dir = work + "/protect";
  Request request = SubmitRequest(dir, option, type);
  std::vector<std::string> words = ToolWords(option, type, true, dir + "/.htpasswd", kUser, kPass);

  std::string name = std::string("submit ") + option + " type " + std::to_string(type);
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
  if (!MakeWorkDir(options.site, work)) {
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

}  // namespace
