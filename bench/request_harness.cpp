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
// ("<=1.10"). A submit's peak resident set is that of the password tool, so
// only its wall time is reported.
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// Starts argv[0] in work with env, feeds it the body, reads its output and
// waits for it; the time runs from before the fork until it has been reaped.
Run Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& body, const std::string& work) {
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
    if (chdir(work.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || null < 0 ||
        dup2(null, 2) < 0) {
      _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  // The body fits the pipe, so writing it all before reading cannot block.
  bool fed = body.empty() || (pid > 0 && write(in[1], body.data(), body.size()) ==
                                             static_cast<ssize_t>(body.size()));
  close(in[1]);
  char chunk[8192];
  ssize_t n;
  while ((n = read(out[0], chunk, sizeof chunk)) > 0) run.out.append(chunk, static_cast<size_t>(n));
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

// One submit case: option "n", "c" or "a" with hash type 0, 1 or 2. The floor
// runs the tool with the very words the program gives it.
bool Submit(const Options& options, const std::string& work, char option, int type) {
  const std::string dir = work + "/protect";
  const std::string user = "bench";
  const std::string pass = "s3cret-Pass";
  Request request{"POST", "path=" + UrlEncode(dir) + "&user=" + user + "&pass=" + UrlEncode(pass) +
                              "&type=" + std::to_string(type) + "&option=" + option +
                              "&submit=Submit"};
  const char letter = "dms"[type];
  const std::string file = dir + "/.htpasswd";
  std::vector<std::string> words;
  switch (option) {
    case 'n':
      words = {"htpasswd", std::string("-nb") + letter, user, pass};
      break;
    case 'c':
      words = {"htpasswd", std::string("-bc") + letter, file, user, pass};
      break;
    default:
      words = {"htpasswd", std::string("-b") + letter, file, user, pass};
      break;
  }

  std::string name = std::string("submit ") + option + " type " + std::to_string(type);
  Run reference = Start({options.cgi}, CgiEnvironment(request, work), request.body, work);
  if (reference.status != 0 || reference.out.find("<form") == std::string::npos) {
    fprintf(stderr, "request_harness: %s failed (status %d)\n", name.c_str(), reference.status);
    return false;
  }
  std::string page = work + "/floor-" + option + std::to_string(type) + ".html";
  if (!WriteFile(page, reference.out)) return false;
  std::vector<std::string> floor = {options.floorSubmit, page};
  floor.insert(floor.end(), words.begin(), words.end());

  Series s;
  if (!Alternate({options.cgi}, floor, request, work, reference.out, options.submitRuns, s)) {
    return false;
  }
  PrintRow("request", name, "wall ms", s.wall, s.floorWall, "<=1.10");
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
  RemoveWorkDir(work);
  return ok ? 0 : 1;
}

}  // namespace
