// Another local user against the program: one who can write the directory
// being protected and swaps names in it while the program works, one who
// can read or lock the password file, and directories outside the site.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>

#include <climits>
#include <cstdlib>

#include "cgi_harness.h"

namespace {

const uid_t kNobody = 65534;

// "msgNN=MNN" for every key the program may answer with.
// The real tool, started by a wrapper that first records where the file it
// is given ($3) really is.
const char* const kRecordingTool =
    "readlink -f -- \"$3\" >> \"$(dirname \"$0\")/files.log\"\n"
    "exec htpasswd \"$@\"\n";

class Intruder : public ::testing::Test {
 protected:
  void SetUp() override {
    site.Write("templ_config.html", "R=<!--RESULT-->");
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", cgi::StubMessages(""));
    site.Write("dat-htaccess.dat", "");
    remove(site.Path("dat-nginx.dat").c_str());
    Settings("");
    mkdir(site.Path("d").c_str(), 0755);
  }

  void Settings(const std::string& more) {
    site.Write("dat-system.dat", "writemode=1\nlockwait=1\nhtpasswd=" +
                                     site.WriteScript("tool", kRecordingTool) + "\n" + more);
  }

  cgi::Result Send(const std::string& dir, const std::string& option,
                   const std::string& user = "ann") {
    return site.Post(cgi::FormBody({{"path", dir},
                                    {"user", user},
                                    {"pass", "long-enough-pw"},
                                    {"type", "1"},
                                    {"option", option},
                                    {"submit", "1"}}));
  }

  std::string Message(const std::string& key) { return cgi::kHeader + "[M" + key + "]"; }

  cgi::Site site;
};

// Runs as user nobody until the write end of the pipe stop is closed: every
// name made in dir but the password file and its lock is at once replaced
// by a link to victim, the attack that once redirected the tool's write.
pid_t StartRacer(const std::string& dir, const std::string& victim, const int stop[2]) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  close(stop[1]);
  if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
  int watch = inotify_init1(IN_NONBLOCK);
  if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) _exit(2);
  struct pollfd fds[2] = {{watch, POLLIN, 0}, {stop[0], POLLIN, 0}};
  alignas(struct inotify_event) char events[8192];
  for (;;) {
    poll(fds, 2, -1);
    if (fds[1].revents != 0) _exit(0);
    ssize_t n = read(watch, events, sizeof events);
    for (char* p = events; n > 0 && p < events + n;) {
      auto* event = reinterpret_cast<struct inotify_event*>(p);
      std::string name = event->len > 0 ? event->name : "";
      if (name.rfind(".htpasswd.", 0) == 0 && name != ".htpasswd.lock") {
        std::string path = dir + "/" + name;
        unlink(path.c_str());
        symlink(victim.c_str(), path.c_str());
      }
      p += sizeof(struct inotify_event) + event->len;
    }
  }
}

TEST_F(Intruder, RacerNeverRedirectsTheWriteAndTheToolSeesOnlyPrivateFiles) {
  hobtest::TempDir elsewhere;
  chmod(elsewhere.dir().c_str(), 0755);
  const std::string victim = elsewhere.Path("victim");
  const std::string guarded = "other:$apr1$abcdefgh$0123456789012345678901\n";
  cgi::WriteWhole(victim, guarded);
  chmod(victim.c_str(), 0644);
  // The attacker owns the directory the owner protects; the program may
  // write it too.
  chmod(site.dir().c_str(), 0711);
  ASSERT_EQ(0, chown(site.Path("d").c_str(), kNobody, kNobody));
  const std::string file = site.Path("d/.htpasswd");
  int stop[2];
  ASSERT_EQ(0, pipe(stop));
  pid_t racer = StartRacer(site.Path("d"), victim, stop);
  int raced = 0;
  for (int run = 0; run < 200; run++) {
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      raced++;
      remove(file.c_str());
    }
    if (lstat(file.c_str(), &st) != 0) cgi::WriteWhole(file, "ann:$apr1$x$y\n");
    Send(site.Path("d"), "a", "user" + std::to_string(run));
    ASSERT_EQ(guarded, cgi::ReadWhole(victim)) << "run " << run;
  }
  close(stop[1]);
  waitpid(racer, nullptr, 0);
  close(stop[0]);
  EXPECT_GT(raced, 0) << "the racer never won a race: the test shows nothing";
  char home[PATH_MAX];
  ASSERT_NE(nullptr, realpath(site.dir().c_str(), home));
  std::vector<std::string> files = hobtest::ReadLines(site.Path("files.log"));
  EXPECT_EQ(200u, files.size());
  for (const std::string& path : files) {
    EXPECT_EQ(std::string(home), path.substr(0, path.rfind('/'))) << path;
  }
}

// A password file there protects nothing: any local user may rename it away.
TEST_F(Intruder, DirectoryOpenToAllIsRefusedAndAStickyOneWorks) {
  chmod(site.Path("d").c_str(), 0777);
  for (const char* option : {"c", "a", "d", "l", "v"}) {
    EXPECT_EQ(Message("42"), Send(site.Path("d"), option).out) << option;
  }
  EXPECT_FALSE(site.Exists("d/.htpasswd"));
  chmod(site.Path("d").c_str(), 01777);
  EXPECT_EQ(0, Send(site.Path("d"), "c").status);
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "ann", "long-enough-pw"));
}

// A request killed mid-change leaves its files; the next one removes those
// older than a minute.
TEST_F(Intruder, KilledAddLeavesNothingAfterTheNextRequest) {
  cgi::WriteWhole(site.Path("d/.htpasswd"), "bob:$apr1$x$y\n");
  site.Write("dat-system.dat",
             "writemode=1\nhtpasswd=" + site.WriteScript("killer", "kill -9 $PPID\n") + "\n");
  EXPECT_EQ(-1, Send(site.Path("d"), "a").status);
  std::vector<std::string> left;
  for (const std::string& dir : {site.dir(), site.Path("d")}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::string name = entry.path().filename();
      if ((name.rfind(".htpasswd.", 0) == 0 && name != ".htpasswd.lock") ||
          name.rfind("htpasswd-copy.", 0) == 0) {
        left.push_back(entry.path());
      }
    }
  }
  ASSERT_EQ(2u, left.size()) << "the killed request left no files: the test shows nothing";
  struct timespec old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  for (const std::string& path : left) utimensat(AT_FDCWD, path.c_str(), old, 0);
  Settings("");
  EXPECT_EQ(0, Send(site.Path("d"), "a").status);
  for (const std::string& path : left) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  EXPECT_TRUE(hobtest::Verifies(site.Path("d/.htpasswd"), "ann", "long-enough-pw"));
}

// With the shipped settings no other local user reads the hashes, and a
// lock another process holds on the password file itself delays no reader.
TEST_F(Intruder, ShippedModeKeepsHashesFromOthersAndTheirLocksDelayNothing) {
  std::string shipped = cgi::ReadWhole(std::string(HOB_SITE_DIR) + "/dat-system.dat");
  shipped.replace(shipped.find("lockwait=10"), 11, "lockwait=1");
  shipped.replace(shipped.find("htpasswd=htpasswd"), 17,
                  "htpasswd=" + site.WriteScript("tool", kRecordingTool));
  site.Write("dat-system.dat", shipped);
  chmod(site.dir().c_str(), 0711);
  ASSERT_EQ(0, Send(site.Path("d"), "c").status);
  struct stat st;
  ASSERT_EQ(0, stat(site.Path("d/.htpasswd").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  ASSERT_EQ(0, stat(site.Path("d/.htpasswd.lock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  const std::string file = site.Path("d/.htpasswd");
  EXPECT_EQ(EACCES, hobtest::InChild([&] {
              if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 0;
              return open(file.c_str(), O_RDONLY) < 0 ? errno : 0;
            }));
  pid_t holder = hobtest::HoldLock(file, 5);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(cgi::kHeader + "R=M18 (1)\n\nann (MD5)\n", Send(site.Path("d"), "l").out);
  EXPECT_EQ(0, Send(site.Path("d"), "v").status);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

// The directory as resolved, links and ".." included, must lie in a base
// directory, for every action; a missing one is judged by its path.
TEST_F(Intruder, BasedirRefusesPathsOutsideHoweverSpelled) {
  mkdir(site.Path("base").c_str(), 0755);
  mkdir(site.Path("base/in").c_str(), 0755);
  mkdir(site.Path("out").c_str(), 0755);
  symlink(site.Path("out").c_str(), site.Path("base/link").c_str());
  symlink(site.Path("base/in").c_str(), site.Path("inlink").c_str());
  Settings("basedir=/nonexistent+" + site.Path("base") + "/\n");
  const std::string outside[] = {site.Path("out"),         site.Path("base/../out"),
                                 site.Path("base/link"),   site.Path("base/link/."),
                                 site.Path("out/missing"), site.Path("base/../missing"),
                                 site.Path("base") + "2"};
  for (const std::string& dir : outside) {
    for (const char* option : {"n", "c", "l"}) {
      EXPECT_EQ(Message("43"), Send(dir, option).out) << dir << " " << option;
    }
  }
  EXPECT_FALSE(site.Exists("out/.htpasswd"));
  EXPECT_FALSE(site.Exists("files.log"));
  EXPECT_EQ(0, Send(site.Path("base/in"), "c").status);
  EXPECT_EQ(0, Send(site.Path("inlink/.") + "/../in", "a", "bob").status);
  EXPECT_EQ(Message("03"), Send(site.Path("base/missing"), "a").out);
  EXPECT_EQ(0, Send(site.Path("base/missing"), "n").status);
}

// Only the last component: a link there may lead anywhere.
TEST_F(Intruder, DirectoryThatIsALinkIsRefused) {
  symlink(site.Path("d").c_str(), site.Path("dl").c_str());
  EXPECT_EQ(Message("04"), Send(site.Path("dl"), "c").out);
  EXPECT_EQ(Message("04"), Send(site.Path("dl"), "l").out);
  EXPECT_FALSE(site.Exists("d/.htpasswd"));
  EXPECT_EQ(0, Send(site.Path("d"), "c").status);
}

}  // namespace
