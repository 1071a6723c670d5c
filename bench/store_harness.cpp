// store_harness: whole-process timings of add, list and verify with the
// users in a PostgreSQL table beside the same with them in a password file.
//
//   store_harness --cgi PATH --file-home DIR --db-home DIR --dir DIR
//                 [--label TEXT] [--runs N]
//
// Both homes are working directories of the program (site files and
// settings): the first keeps the users in password files, the second
// (store=pgsql) in the table. DIR is the protected directory: its
// .htpasswd and the table's rows of DIR hold the same users, among them
// "bench" with the password "s3cret-Pass". Each case starts the program as a
// web server would, with the body on its standard input, until it has been
// reaped; table and file alternate, N runs each (default 30) after three
// unmeasured ones. Every run must exit with status 0. Prints rows in the
// request harness's format, the file store as the floor, TEXT (what the
// users are) after each case's name:
//
//   pgsql  case, TEXT  wall ms  median  p10  p90  file-median  file-p10  file-p90  -
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
  std::string fileHome;
  std::string dbHome;
  std::string dir;
  std::string label = "users";
  int runs = 30;
};

// Runs the program in home with body posted to it; its wall time in ms, or
// -1 when it failed. The page is read and dropped as it comes.
double Post(const Options& options, const std::string& home, const std::string& body) {
  std::string length = "CONTENT_LENGTH=" + std::to_string(body.size());
  std::string root = "DOCUMENT_ROOT=" + options.dir;
  const char* env[] = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                       "GATEWAY_INTERFACE=CGI/1.1",
                       "SERVER_SOFTWARE=Apache",
                       "SERVER_NAME=127.0.0.1",
                       "SERVER_ADDR=127.0.0.1",
                       "SERVER_PORT=18280",
                       "HTTP_HOST=127.0.0.1:18280",
                       "REQUEST_METHOD=POST",
                       "CONTENT_TYPE=application/x-www-form-urlencoded",
                       length.c_str(),
                       root.c_str(),
                       nullptr};
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return -1;
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (chdir(home.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || null < 0 ||
        dup2(null, 2) < 0) {
      _exit(126);
    }
    const char* argv[] = {options.cgi.c_str(), nullptr};
    execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(env));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  // A body of a few hundred bytes fits the pipe: written whole at once.
  bool written = write(in[1], body.data(), body.size()) == static_cast<ssize_t>(body.size());
  close(in[1]);
  char block[65536];
  while (read(out[0], block, sizeof block) > 0) {
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double wall = Now() - start;
  return written && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

// One case, table and file alternating: false when a run failed.
bool Case(const Options& options, const std::string& name, const std::string& body) {
  std::vector<double> db, file;
  for (int i = 0; i < 3 + options.runs; i++) {
    bool dbFirst = i % 2 == 0;
    double a = Post(options, dbFirst ? options.dbHome : options.fileHome, body);
    double b = Post(options, dbFirst ? options.fileHome : options.dbHome, body);
    double dbMs = dbFirst ? a : b, fileMs = dbFirst ? b : a;
    if (dbMs < 0 || fileMs < 0) {
      fprintf(stderr, "store_harness: %s failed (table %s, file %s)\n", name.c_str(),
              dbMs < 0 ? "failed" : "ok", fileMs < 0 ? "failed" : "ok");
      return false;
    }
    if (i < 3) continue;
    db.push_back(dbMs);
    file.push_back(fileMs);
  }
  Figure d = Summarise(db), f = Summarise(file);
  printf("pgsql\t%s, %s\twall ms\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t-\n", name.c_str(),
         options.label.c_str(), d.median, d.p10, d.p90, f.median, f.p10, f.p90);
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--cgi") options.cgi = argv[i + 1];
    if (name == "--file-home") options.fileHome = argv[i + 1];
    if (name == "--db-home") options.dbHome = argv[i + 1];
    if (name == "--dir") options.dir = argv[i + 1];
    if (name == "--label") options.label = argv[i + 1];
    if (name == "--runs") options.runs = atoi(argv[i + 1]);
  }
  if (options.cgi.empty() || options.fileHome.empty() || options.dbHome.empty() ||
      options.dir.empty() || options.runs < 1) {
    fprintf(stderr,
            "usage: store_harness --cgi PATH --file-home DIR --db-home DIR --dir DIR [--runs N]\n");
    return 2;
  }
  const std::string path = "path=" + UrlEncode(options.dir);
  const std::string pass = "&pass=s3cret-Pass&submit=1";
  bool ok = Case(options, "add", path + "&user=bench&type=1&option=a" + pass) &&
            Case(options, "list", path + "&option=l&submit=1") &&
            Case(options, "verify", path + "&user=bench&option=v" + pass);
  return ok ? 0 : 1;
}
