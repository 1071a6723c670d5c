// CHobHtPasswd against a stand-in tool that records how it was started, and
// against the host's real password tool.
#include "hobhtpasswd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hob_test.h"
#include "hobfile.h"
#include "hobglobal.h"

namespace {

using Lines = std::vector<std::string>;

// Each test has a fresh directory holding the password file and the trace log.
class HtPasswdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hobhtp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ + "/.htpasswd";
    go.log.strFileName = (dir_ + "/trace.log").c_str();
    go.log.bTrace = 1;
  }
  void TearDown() override {
    go.log.strFileName = "";
    go.strHtpasswd = "htpasswd";
    std::filesystem::remove_all(dir_);
  }

  // Make dir_/name the tool: it writes its arguments (argv[0] aside) one per
  // line to dir_/argv, its standard input to dir_/stdin and where its stdout
  // leads to dir_/stdout; prints "printed" for -ni*, writes "user:x" into the
  // file for -ic*, appends it for -i*, removes the user's line for -D; and
  // exits with status.
  void StandIn(int status, const std::string& name = "tool") {
    std::string path = dir_ + "/" + name;
    const std::string script =
        "#!/bin/sh\n"
        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
        dir_ +
        "/argv\n"
        "cat > " +
        dir_ +
        "/stdin\n"
        "out=$(readlink /proc/$$/fd/1)\n"
        "echo \"$out\" > " +
        dir_ +
        "/stdout\n"
        "case \"$1\" in\n"
        "  -ni*) echo printed ;;\n"
        "  -ic*) printf '%s:x\\n' \"$4\" > \"$3\" ;;\n"
        "  -D) grep -v \"^$4:\" \"$3\" > \"$3.d\"; cat \"$3.d\" > \"$3\" ;;\n"
        "  -iv) ;;\n"
        "  -i*) printf '%s:x\\n' \"$4\" >> \"$3\" ;;\n"
        "esac\n"
        "exit " +
        std::to_string(status) + "\n";
    hobtest::WriteWhole(path, script);
    chmod(path.c_str(), 0755);
    go.strHtpasswd = path.c_str();
  }
  // The arguments of the last run, a private copy of the password file shown
  // as "COPY".
  Lines Argv() {
    Lines args = hobtest::ReadLines(dir_ + "/argv");
    for (std::string& arg : args) {
      if (arg.size() == file_.size() + 7 && arg.rfind(file_ + ".", 0) == 0) arg = "COPY";
    }
    return args;
  }

  std::string Stdin() { return hobtest::ReadWhole(dir_ + "/stdin"); }
  std::string Stdout() { return hobtest::ReadWhole(dir_ + "/stdout"); }
  bool ToolRan() { return std::filesystem::exists(dir_ + "/argv"); }

  std::string dir_, file_;
};

// Every local user can read the arguments of a running process, so the
// password travels on the tool's standard input.
TEST_F(HtPasswdTest, EachOperationPassesItsOptionWordDashDashTheArgumentsAndThePasswordOnStdin) {
  StandIn(0);
  const std::string f = "COPY";
  const struct {
    int type;
    Lines encrypt, create, add;
  } cases[] = {{0, {"-nid", "--"}, {"-icd", "--", f}, {"-id", "--", f}},
               {1, {"-nim", "--"}, {"-icm", "--", f}, {"-im", "--", f}},
               {2, {"-nis", "--"}, {"-ics", "--", f}, {"-is", "--", f}},
               {3, {"-niB", "--"}, {"-icB", "--", f}, {"-iB", "--", f}},
               {4, {"-ni2", "--"}, {"-ic2", "--", f}, {"-i2", "--", f}},
               {5, {"-ni5", "--"}, {"-ic5", "--", f}, {"-i5", "--", f}}};
  // The tool writes a private copy beside the password file.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    auto expect = [&](Lines args, const char* out) {
      args.push_back("-ann lee");
      EXPECT_EQ(Argv(), args);
      EXPECT_EQ(Stdin(), "p w\n");
      EXPECT_EQ(Stdout().rfind(out, 0), 0u) << "nothing printed into the page";
    };
    EXPECT_STREQ(CHobHtPasswd::Encrypt("-ann lee", "p w", c.type).m_pszText, "printed\n");
    expect(c.encrypt, "pipe:");
    EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "-ann lee", "p w", c.type), HOB_HTP_OK);
    expect(c.create, "/dev/null");
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "-ann lee", "p w", c.type), HOB_HTP_OK);
    expect(c.add, "/dev/null");
  }
}

TEST_F(HtPasswdTest, PasswordWithALineBreakRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "old:entry\n");
  for (const char* password : {"a\nb", "a\rb", "\n"}) {
    EXPECT_STREQ(CHobHtPasswd::Encrypt("ann", password, 1).m_pszText, "-1");
    EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", password, 1), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", password, 1), HOB_HTP_RUN_FAILED);
  }
  EXPECT_FALSE(ToolRan());
  EXPECT_EQ(hobtest::ReadWhole(file_), "old:entry\n");
}

// Without its option word the tool would take the user name for a password
// file: a type it does not know runs nothing.
TEST_F(HtPasswdTest, UnknownTypeRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "old:entry\n");
  for (int type : {-1, 6, 7}) {
    EXPECT_STREQ(CHobHtPasswd::Encrypt("ann", "pw", type).m_pszText, "-1");
    EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", type), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", type), HOB_HTP_RUN_FAILED);
  }
  EXPECT_FALSE(ToolRan());
  EXPECT_EQ(hobtest::ReadWhole(file_), "old:entry\n");
}

TEST_F(HtPasswdTest, ShellSyntaxReachesTheToolVerbatimAndRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "");
  std::string x = dir_ + "/x";
  for (const std::string& payload : Lines{"; touch " + x, "$(touch " + x + ")", "`touch " + x + "`",
                                          "a' b\"c", "| cat /etc/passwd", "&& id"}) {
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), payload.c_str(), payload.c_str(), 0),
              HOB_HTP_OK);
    EXPECT_EQ(Argv(), (Lines{"-id", "--", "COPY", payload}));
    EXPECT_EQ(Stdin(), payload + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(x));
}

TEST_F(HtPasswdTest, FailedChecksRunNothingAndCreateNothing) {
  StandIn(0);
  std::string noDir = dir_ + "/missing/.htpasswd";
  EXPECT_EQ(CHobHtPasswd::WriteNew(noDir.c_str(), "ann", "pw", 0), HOB_HTP_MISSING);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_MISSING);
  EXPECT_FALSE(std::filesystem::exists(file_));
  std::filesystem::create_directory(file_);  // opening it for writing fails with EISDIR
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_FALSE(ToolRan());
}

TEST_F(HtPasswdTest, PasswordFileThatIsALinkOrAFifoIsNeverWritten) {
  StandIn(0);
  std::string target = dir_ + "/target";
  hobtest::WriteWhole(target, "other:entry\n");
  chmod(target.c_str(), 0600);
  symlink(target.c_str(), file_.c_str());
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(hobtest::ReadWhole(target), "other:entry\n");
  EXPECT_EQ(CHobFile::GetFileAttr(target.c_str()) & 07777, 0600);
  remove(file_.c_str());
  mkfifo(file_.c_str(), 0600);
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_FALSE(ToolRan());
}

TEST_F(HtPasswdTest, ToolExitingNonZeroFailsAndLeavesTheFileAsItWas) {
  StandIn(3);
  hobtest::WriteWhole(file_, "old:entry\n");
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_RUN_FAILED);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_RUN_FAILED);
  EXPECT_EQ(hobtest::ReadWhole(file_), "old:entry\n");
}

TEST_F(HtPasswdTest, BareToolNameIsFoundOnPathAndAMissingToolFails) {
  StandIn(0, "hob-stand-in");
  std::string path = getenv("PATH");
  setenv("PATH", (dir_ + ":" + path).c_str(), 1);
  go.strHtpasswd = "hob-stand-in";
  EXPECT_STREQ(CHobHtPasswd::Encrypt("ann", "pw", 0).m_pszText, "printed\n");
  setenv("PATH", path.c_str(), 1);

  hobtest::WriteWhole(file_, "old:entry\n");
  for (const char* tool : {"hob-stand-in", "/nonexistent/htpasswd", ""}) {  // ENOENT
    SCOPED_TRACE(tool);
    go.strHtpasswd = tool;
    EXPECT_STREQ(CHobHtPasswd::Encrypt("ann", "pw", 0).m_pszText, "-1");
    EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_RUN_FAILED);
  }
}

TEST_F(HtPasswdTest, FileLockedByAnotherProcessIsBusyAndRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "old:entry\n");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    CHobFlock lock;
    char byte = lock.Lock((file_ + ".lock").c_str()) == HOB_OK ? 'y' : 'n';
    if (write(ready[1], &byte, 1) == 1) (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw", 0), HOB_HTP_BUSY);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_BUSY);
  EXPECT_FALSE(ToolRan());
  ASSERT_EQ(write(release[1], "x", 1), 1);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_OK);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(HtPasswdTest, AddEndsAnUnterminatedLastLineFirst) {
  StandIn(0);
  for (auto [before, after] : {std::pair<const char*, const char*>{"q:xyz", "q:xyz\nann:x\n"},
                               {"q:xyz\n", "q:xyz\nann:x\n"},
                               {"", "ann:x\n"}}) {
    hobtest::WriteWhole(file_, before);
    EXPECT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "ann", "pw", 0), HOB_HTP_OK);
    EXPECT_EQ(hobtest::ReadWhole(file_), after);
  }
}

TEST_F(HtPasswdTest, WrittenFileGetsTheProgramsModeAndTheTraceHidesThePassword) {
  StandIn(0);
  mode_t mask = umask(077);
  EXPECT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "s3cr3t", 0), HOB_HTP_OK);
  umask(mask);
  EXPECT_EQ(CHobFile::GetFileAttr(file_.c_str()) & 07777, 0666);
  CHobHtPasswd::Encrypt("ann", "s3cr3t", 0);
  std::string trace = hobtest::ReadWhole(dir_ + "/trace.log");
  EXPECT_NE(trace.find("ann"), std::string::npos);
  EXPECT_EQ(trace.find("s3cr3t"), std::string::npos);
}

TEST_F(HtPasswdTest, DeleteAndVerifyPassTheirOptionWordsAndTheUser) {
  StandIn(0);
  hobtest::WriteWhole(file_, "ann:x\n-bob:y\n");
  EXPECT_EQ(CHobHtPasswd::Delete(file_.c_str(), "-bob"), HOB_HTP_OK);
  EXPECT_EQ(Argv(), (Lines{"-D", "--", "COPY", "-bob"}));
  EXPECT_EQ(Stdin(), "");
  EXPECT_EQ(CHobHtPasswd::Verify(file_.c_str(), "ann", "p w"), HOB_HTP_OK);
  EXPECT_EQ(Argv(), (Lines{"-iv", "--", file_, "ann"}));
  EXPECT_EQ(Stdin(), "p w\n");
}

// The tool reports success when asked to delete a user it does not find.
TEST_F(HtPasswdTest, UserNotInTheFileIsReportedAndRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "ann:x\n# bob:y\nbob\n");
  EXPECT_EQ(CHobHtPasswd::Delete(file_.c_str(), "bob"), HOB_HTP_NO_USER);
  EXPECT_EQ(CHobHtPasswd::Verify(file_.c_str(), "bob", "pw"), HOB_HTP_NO_USER);
  EXPECT_EQ(CHobHtPasswd::Delete(file_.c_str(), "an"), HOB_HTP_NO_USER);
  EXPECT_FALSE(ToolRan());
  remove(file_.c_str());
  EXPECT_EQ(CHobHtPasswd::Delete(file_.c_str(), "ann"), HOB_HTP_MISSING);
  CHobStrAry names(0, 10), kinds(0, 10);
  EXPECT_EQ(CHobHtPasswd::List(file_.c_str(), names, kinds), HOB_HTP_MISSING);
}

TEST(HtPasswdHashKind, EachHashIsNamedByItsForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"$2y$05$abcdefghijklmnopqrstuuvwxyz0123456789ABCDEFGHIJKLMNOPQ", "bcrypt"},
      {"$5$rounds=5000$salt$hash", "SHA-256"},
      {"$6$salt$hash", "SHA-512"},
      {"$apr1$salt$hash", "MD5"},
      {"{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=", "SHA-1"},
      {"abJnggxhB/yWI", "crypt"},
      {"abJnggxhB/yW", "plain"},
      {"abJnggxhB/yWI!", "plain"},
      {"secret", "plain"},
      {"", "plain"}};
  for (const auto& [hash, kind] : cases) EXPECT_STREQ(CHobHtPasswd::HashKind(hash), kind) << hash;
}

class RealToolTest : public HtPasswdTest {
 protected:
  void SetUp() override {
    HtPasswdTest::SetUp();
    go.strHtpasswd = "/usr/bin/htpasswd";
  }
};

TEST_F(RealToolTest, EncryptedEntryVerifies) {
  CHobString entry = CHobHtPasswd::Encrypt("ann", "pw one", 1);
  ASSERT_EQ(entry.Find("ann:$apr1$"), 0) << entry.m_pszText;
  hobtest::WriteWhole(file_, entry.m_pszText);
  EXPECT_TRUE(hobtest::Verifies(file_, "ann", "pw one"));
  EXPECT_FALSE(hobtest::Verifies(file_, "ann", "pw two"));
}

// The changed file is swapped in whole: a new inode each time, and only the
// password file and its lock file in the directory afterwards.
TEST_F(RealToolTest, NewThenAddSwapInANewFileAndKeepBothUsers) {
  hobtest::WriteWhole(file_, "stale:entry\n");
  // Held open, the old file keeps its inode number from being reused.
  int old = open(file_.c_str(), O_RDONLY);
  struct stat before, after;
  ASSERT_EQ(fstat(old, &before), 0);
  ASSERT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "ann", "pw-a", 0), HOB_HTP_OK);
  ASSERT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), "bob", "pw-b", 2), HOB_HTP_OK);
  ASSERT_EQ(stat(file_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  close(old);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Lines{".htpasswd", ".htpasswd.lock", "trace.log"}));
  EXPECT_EQ(hobtest::ReadLines(file_).size(), 2u);
  EXPECT_TRUE(hobtest::Verifies(file_, "ann", "pw-a"));
  EXPECT_TRUE(hobtest::Verifies(file_, "bob", "pw-b"));
}

TEST_F(RealToolTest, ConcurrentAddsLoseNoUserThatWasReportedAdded) {
  ASSERT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "first", "pw", 1), HOB_HTP_OK);
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  fflush(nullptr);
  std::vector<pid_t> children;
  for (int i = 0; i < 10; i++) {
    pid_t child = fork();
    if (child == 0) {
      char byte;
      close(start[1]);
      (void)!read(start[0], &byte, 1);  // all start together when the pipe closes
      std::string user = "user" + std::to_string(i);
      _exit(-CHobHtPasswd::WriteAdd(file_.c_str(), user.c_str(), "pw", 1));
    }
    children.push_back(child);
  }
  close(start[0]);
  close(start[1]);
  Lines added{"first"};
  for (size_t i = 0; i < children.size(); i++) {
    int status = 0;
    waitpid(children[i], &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    int result = -WEXITSTATUS(status);
    ASSERT_TRUE(result == HOB_HTP_OK || result == HOB_HTP_BUSY) << result;
    if (result == HOB_HTP_OK) added.push_back("user" + std::to_string(i));
  }
  EXPECT_EQ(hobtest::ReadLines(file_).size(), added.size());
  for (const std::string& user : added) EXPECT_TRUE(hobtest::Verifies(file_, user, "pw")) << user;
}

TEST_F(RealToolTest, EveryTypeIsListedByKindAndVerifiesAndDeleteRemovesOneUser) {
  const char* const kinds[] = {"crypt", "MD5", "SHA-1", "bcrypt", "SHA-256", "SHA-512"};
  ASSERT_EQ(CHobHtPasswd::WriteNew(file_.c_str(), "u0", "pw0", 0), HOB_HTP_OK);
  for (int type = 1; type <= 5; type++) {
    std::string user = "u" + std::to_string(type), pass = "pw" + std::to_string(type);
    ASSERT_EQ(CHobHtPasswd::WriteAdd(file_.c_str(), user.c_str(), pass.c_str(), type), HOB_HTP_OK);
  }
  CHobStrAry names(0, 10), listed(0, 10);
  ASSERT_EQ(CHobHtPasswd::List(file_.c_str(), names, listed), 6);
  for (int type = 0; type <= 5; type++) {
    std::string user = "u" + std::to_string(type), pass = "pw" + std::to_string(type);
    EXPECT_STREQ(names.items[type].m_pszText, user.c_str());
    EXPECT_STREQ(listed.items[type].m_pszText, kinds[type]);
    EXPECT_EQ(CHobHtPasswd::Verify(file_.c_str(), user.c_str(), pass.c_str()), HOB_HTP_OK) << user;
    EXPECT_EQ(CHobHtPasswd::Verify(file_.c_str(), user.c_str(), "wrong"), HOB_HTP_MISMATCH);
  }
  EXPECT_EQ(CHobHtPasswd::Delete(file_.c_str(), "u3"), HOB_HTP_OK);
  ASSERT_EQ(CHobHtPasswd::List(file_.c_str(), names, listed), 5);
  EXPECT_EQ(CHobHtPasswd::Verify(file_.c_str(), "u3", "pw3"), HOB_HTP_NO_USER);
  EXPECT_TRUE(hobtest::Verifies(file_, "u5", "pw5"));
}

}  // namespace
