// A password file is never half-written: the tool killed at any instant, a
// tool that empties the file, writes a line that is no entry or fails half
// way, and a full disk all leave the file as it was; in a directory the web
// server cannot write, too.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdio>
#include <random>

#include "cgi_harness.h"

namespace {

const char* const kMessages = "msg08=M08\nmsg09=H9\nmsg26=M26\nmsg90=M90\nmsg92=M92\n";

// The real tool, started by a wrapper that kills it after the number of
// seconds in the file "delay" beside the wrapper; its standard input is the
// wrapper's.
const char* const kKillingTool =
    "exec 3<&0\n"
    "htpasswd \"$@\" <&3 3<&- 2>/dev/null &\n"
    "sleep \"$(cat \"$(dirname \"$0\")/delay\")\"\n"
    "kill -9 $! 2>/dev/null\n"
    "wait $!\n";

// Tools that damage the file they are given ($3), then exit, with the
// message each gets: msg26 for a result that is not the change asked for,
// msg08 for a tool that failed.
const struct {
  const char* what;
  const char* body;
  const char* message;
} kDamagingTools[] = {{"empties the file and exits 0", "cat >/dev/null; : > \"$3\"\n", "[M26]"},
                      {"adds a line that is no entry and exits 0",
                       "cat >/dev/null; echo 'no entry' >> \"$3\"\n", "[M26]"},
                      {"writes half the file and exits 1",
                       "cat >/dev/null; half=$(head -c $(($(wc -c < \"$3\") / 2)) \"$3\")\n"
                       "printf '%s' \"$half\" > \"$3\"; exit 1\n",
                       "[M08]"},
                      {"writes half the file and is killed",
                       "cat >/dev/null; half=$(head -c $(($(wc -c < \"$3\") / 2)) \"$3\")\n"
                       "printf '%s' \"$half\" > \"$3\"; kill -9 $$\n",
                       "[M08]"}};

// A password file of users entries with made-up hashes.
std::string ManyUsers(int users) {
  std::string file;
  char line[64];
  for (int i = 0; i < users; i++) {
    snprintf(line, sizeof line, "user%05d:{SHA}%027d=\n", i, i);
    file += line;
  }
  return file;
}

class Durability : public ::testing::Test {
 public:
  void SetUp() override {
    site.Write("templ_config.html", "R=<!--RESULT-->");
    site.Write("templ_info.html", "[%MESSAGE%]");
    site.Write("dat-message.dat", kMessages);
    remove(site.Path("dat-nginx.dat").c_str());
    mkdir(site.Path("d").c_str(), 0755);
  }

  void UseTool(const std::string& name, const std::string& body) {
    site.Write("dat-system.dat",
               "writemode=1\nfilemode=0644\nhtpasswd=" + site.WriteScript(name, body) + "\n");
  }

  cgi::Result Add(const std::string& dir, const std::string& user) {
    return site.Post(cgi::FormBody({{"path", dir},
                                    {"user", user},
                                    {"pass", "pw"},
                                    {"type", "1"},
                                    {"option", "a"},
                                    {"submit", "1"}}));
  }

  // Each damaging tool is answered with its message and leaves file byte
  // for byte.
  void ExpectDamagingToolsChangeNothing(const std::string& dir, const std::string& file) {
    const std::string before = cgi::ReadWhole(file);
    for (const auto& [what, body, message] : kDamagingTools) {
      UseTool("damaging", body);
      cgi::Result r = Add(dir, "newuser");
      EXPECT_EQ(cgi::kHeader + message, r.out) << what;
      EXPECT_EQ(before, cgi::ReadWhole(file)) << what;
    }
  }

  cgi::Site site;
};

// Runs adds of new users with the real tool killed after a random delay of
// up to maxDelayMs (fixed seed). Each leaves the password file in dir as it
// was, answered with msg08, or, when the tool finished first, with exactly
// the one user added. Returns how many finished.
int AddWhileKillingTheTool(Durability& test, const std::string& dir, int runs, int maxDelayMs) {
  const std::string file = dir + "/.htpasswd";
  test.UseTool("killing", kKillingTool);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delayMs(0, maxDelayMs);
  int finished = 0;
  for (int run = 0; run < runs; run++) {
    const std::string before = cgi::ReadWhole(file);
    test.site.Write("delay", std::to_string(delayMs(random) / 1000.0));
    const std::string user = "new" + std::to_string(run);
    cgi::Result r = test.Add(dir, user);
    const std::string after = cgi::ReadWhole(file);
    if (r.status == 0) {
      finished++;
      EXPECT_EQ(0u, after.find(before)) << "run " << run;
      EXPECT_EQ(before.size(), after.find(user + ":$apr1$", before.size())) << "run " << run;
      EXPECT_EQ(after.size(), after.find('\n', before.size()) + 1) << "run " << run;
    } else {
      EXPECT_EQ(cgi::kHeader + "[M08]", r.out) << "run " << run;
      EXPECT_TRUE(before == after) << "run " << run << ": the file changed";
    }
  }
  return finished;
}

TEST_F(Durability, ToolKilledAtARandomInstantLeavesTheFileWholeOrChangedByOneUser) {
  site.Write("d/.htpasswd", ManyUsers(20000));
  int finished = AddWhileKillingTheTool(*this, site.Path("d"), 50, 150);
  // Both outcomes happened, or the delays test nothing.
  EXPECT_GT(finished, 0);
  EXPECT_LT(finished, 50);
  EXPECT_EQ(20000u + finished, hobtest::ReadLines(site.Path("d/.htpasswd")).size());
}

TEST_F(Durability, ToolThatDamagesTheFileChangesNothing) {
  site.Write("d/.htpasswd", ManyUsers(100));
  ExpectDamagingToolsChangeNothing(site.Path("d"), site.Path("d/.htpasswd"));
}

TEST_F(Durability, FullDiskIsReportedAndChangesNothing) {
  const std::string dir = site.Path("full");
  mkdir(dir.c_str(), 0755);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "this machine refuses to mount a small tmpfs: " << strerror(errno);
  }
  // A password file of 700 KB leaves no room for a changed copy of it.
  cgi::WriteWhole(dir + "/.htpasswd", ManyUsers(16000));
  const std::string before = cgi::ReadWhole(dir + "/.htpasswd");
  UseTool("tool", "exec htpasswd \"$@\"\n");
  cgi::Result r = Add(dir, "newuser");
  EXPECT_EQ(cgi::kHeader + "[M92]", r.out);
  EXPECT_EQ(before, cgi::ReadWhole(dir + "/.htpasswd"));
  umount(dir.c_str());
}

// Where only the password file is writable, the tool works in place: a
// failure writes the file back from the backup.
TEST_F(Durability, FileInADirectoryTheServerCannotWriteIsRestoredAfterEveryFailure) {
  const std::string dir = site.Path("ro");
  const std::string file = dir + "/.htpasswd";
  mkdir(dir.c_str(), 0755);
  cgi::WriteWhole(file, ManyUsers(2000));
  ASSERT_EQ(0, chown(file.c_str(), 65534, 65534));
  ASSERT_EQ(0, chown(site.dir().c_str(), 65534, 65534));
  site.RunAsNobody();

  ExpectDamagingToolsChangeNothing(dir, file);
  AddWhileKillingTheTool(*this, dir, 20, 20);

  UseTool("tool", "exec htpasswd \"$@\"\n");
  EXPECT_EQ(0, Add(dir, "newuser").status);
  EXPECT_TRUE(hobtest::Verifies(file, "newuser", "pw"));
  EXPECT_EQ(0u, cgi::ReadWhole(file).find(ManyUsers(2000)));
  for (const std::string& name : site.Listing()) {
    EXPECT_EQ(std::string::npos, name.find("backup")) << "a backup was left: " << name;
  }
}

// Where only the password file is writable, a disk that fills while the
// result is written into it gets the file written back from the backup.
TEST_F(Durability, FullDiskWhileWritingInPlaceWritesTheFileBack) {
  const std::string dir = site.Path("full");
  mkdir(dir.c_str(), 0755);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "this machine refuses to mount a small tmpfs: " << strerror(errno);
  }
  chmod(dir.c_str(), 0755);  // a new tmpfs is writable by all
  // A file of whole pages, and the rest of the disk filled: one more line
  // needs a page there is not.
  std::string users = ManyUsers(5000);
  while (users.size() < 54 * 4096) users += "#\n";
  const std::string file = dir + "/.htpasswd";
  cgi::WriteWhole(file, users);
  int filler = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  std::string block(4096, 'x');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  close(filler);
  ASSERT_EQ(0, chown(file.c_str(), 65534, 65534));
  ASSERT_EQ(0, chown(site.dir().c_str(), 65534, 65534));
  site.RunAsNobody();
  UseTool("tool", "exec htpasswd \"$@\"\n");
  cgi::Result r = Add(dir, "newuser");
  EXPECT_EQ(cgi::kHeader + "[M92]", r.out);
  EXPECT_TRUE(users == cgi::ReadWhole(file)) << "the file was not written back whole";
  umount(dir.c_str());
}

}  // namespace
