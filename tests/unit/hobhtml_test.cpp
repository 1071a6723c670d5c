#include "hobhtml.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

// Runs body in a forked process with its standard output on a pipe and
// returns what it wrote. The header flag is process-wide, so every test that
// may set it runs in a child and leaves this process's flag alone.
std::string StdoutOfChild(const std::function<void()>& body) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    body();
    fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return out;
}

TEST(HttpHeaderTest, WrittenOncePerProcessAcrossObjects) {
  EXPECT_EQ(StdoutOfChild([] {
              CHobHtml page;
              page.WriteHttpHeader("text/html", "");
              page.WriteHttpHeader("text/plain", "X: 1\n");
              CHobHtml other;
              other.WriteHttpHeader("text/plain", "");
              other.WriteHttpCookie("Set-Cookie: a=b\n", "text/plain");
            }),
            "Content-type: text/html\n\n");
}

TEST(HttpHeaderTest, CookieTakesArgumentsTheOtherWayRoundAndSetsFlag) {
  EXPECT_EQ(StdoutOfChild([] {
              CHobHtml page;
              page.WriteHttpCookie("Set-Cookie: a=b\n", "text/html");
              page.WriteHttpHeader("text/plain", "");
              if (CHobHtml::HeaderWritten()) page.WriteString("flag set");
            }),
            "Content-type: text/html\nSet-Cookie: a=b\n\nflag set");
}

TEST(HtmlPageTest, TitleOnlyGivesBareHead) {
  std::string out = StdoutOfChild([] {
    CHobHtml page;
    page.WriteHtmlHeader(nullptr, nullptr, nullptr, nullptr, nullptr, "T", nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
    page.WriteHtmlFooter();
  });
  EXPECT_EQ(out, "<html>\n<head>\n<title>T</title>\n</head>\n<body>\n</body>\n</html>\n");
}

TEST(HtmlPageTest, EveryArgumentInItsPlace) {
  std::string out = StdoutOfChild([] {
    CHobHtml page;
    int last = page.WriteHtmlHeader("cs", "rf", "pr", "ro", "kw", "ti", "st", "sc", "ol", "bg",
                                    "bc", "tx", "ln", "vl", "al", "lm", "tm", "mw", "mh");
    if (last != 2) _exit(1);  // the count of the closing ">\n"
  });
  EXPECT_EQ(out,
            "<html>\n<head>\n"
            "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=cs\">\n"
            "<meta http-equiv=\"refresh\" content=\"rf\">\n"
            "<meta http-equiv=\"pragma\" content=\"pr\">\n"
            "<meta name=\"robots\" content=\"ro\">\n"
            "<meta name=\"keywords\" content=\"kw\">\n"
            "<meta name=\"description\" content=\"kw\">\n"
            "<title>ti</title>\n"
            "<link rel=\"stylesheet\" href=\"st\" type=\"text/css\">\n"
            "<script language=\"JavaScript\">\n<!--\nsc\n//-->\n</script>"
            "</head>\n"
            "<body bgcolor=\"bc\" text=\"tx\" link=\"ln\" vlink=\"vl\" alink=\"al\""
            " leftmargin=\"lm\" topmargin=\"tm\" marginwidth=\"mw\" marginheight=\"mh\""
            " background=\"bg\" onLoad=\"ol\">\n");
}

}  // namespace
