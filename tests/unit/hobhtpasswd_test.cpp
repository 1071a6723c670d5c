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
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "hob_test.h"
#include "hobfile.h"
#include "hobglobal.h"

namespace {

using Lines = std::vector<std::string>;

// Each test has a fresh directory holding the password file and the trace
// log, and a working directory of its own, where the private copies go.
class HtPasswdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hobhtp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ + "/.htpasswd";
    go.log.strFileName = (dir_ + "/trace.log").c_str();
    go.log.bTrace = 1;
    ASSERT_EQ(open_.Open(dir_.c_str()), HOB_DIR_OK);
    ASSERT_TRUE(getcwd(cwd_, sizeof cwd_) != nullptr);
    ASSERT_EQ(chdir(work_.dir().c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd_), 0);
    go.log.strFileName = "";
    go.strHtpasswd = "htpasswd";
    std::filesystem::remove_all(dir_);
  }

  // The operations on the password file of dir_, with no lock wait.
  int New(const char* user, const char* pass, int type, bool replace = true) {
    return CHobHtPasswd::WriteNew(open_, ".htpasswd", user, pass, type, replace, 0, &count_);
  }
  int Add(const char* user, const char* pass, int type) {
    return CHobHtPasswd::WriteAdd(open_, ".htpasswd", user, pass, type, 0, &count_);
  }
  int Delete(const char* user) {
    return CHobHtPasswd::Delete(open_, ".htpasswd", user, 0, &count_);
  }
  int Verify(const char* user, const char* pass) {
    return CHobHtPasswd::Verify(open_, ".htpasswd", user, pass, 0);
  }
  // The users as "name kind" lines, or the failure's code as text.
  Lines List() {
    CHobHtList list;
    int count = CHobHtPasswd::OpenList(open_, ".htpasswd", 0, list);
    if (count < 0) return {std::to_string(count)};
    Lines users;
    const char *name, *kind;
    int length;
    while (list.Next(&name, &length, &kind) == 1) {
      users.push_back(std::string(name, static_cast<size_t>(length)) + " " + kind);
    }
    EXPECT_EQ(users.size(), static_cast<size_t>(count));
    return users;
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
  // The arguments of the last run, a private copy in the working directory
  // shown as "COPY".
  Lines Argv() {
    Lines args = hobtest::ReadLines(dir_ + "/argv");
    for (std::string& arg : args) {
      if (std::regex_match(arg, std::regex("htpasswd-copy\\.[A-Za-z0-9]{6}"))) arg = "COPY";
    }
    return args;
  }

  std::string Stdin() { return hobtest::ReadWhole(dir_ + "/stdin"); }
  std::string Stdout() { return hobtest::ReadWhole(dir_ + "/stdout"); }
  bool ToolRan() { return std::filesystem::exists(dir_ + "/argv"); }

  std::string dir_, file_;
  CHobDir open_;
  hobtest::TempDir work_;
  char cwd_[4096];
  CHobHtCount count_;
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
    EXPECT_EQ(New("-ann lee", "p w", c.type), HOB_HTP_OK);
    expect(c.create, "/dev/null");
    EXPECT_EQ(Add("-ann lee", "p w", c.type), HOB_HTP_OK);
    expect(c.add, "/dev/null");
  }
}

TEST_F(HtPasswdTest, PasswordWithALineBreakRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "old:entry\n");
  for (const char* password : {"a\nb", "a\rb", "\n"}) {
    EXPECT_STREQ(CHobHtPasswd::Encrypt("ann", password, 1).m_pszText, "-1");
    EXPECT_EQ(New("ann", password, 1), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(Add("ann", password, 1), HOB_HTP_RUN_FAILED);
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
    EXPECT_EQ(New("ann", "pw", type), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(Add("ann", "pw", type), HOB_HTP_RUN_FAILED);
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
    EXPECT_EQ(Add(payload.c_str(), payload.c_str(), 0), HOB_HTP_OK);
    EXPECT_EQ(Argv(), (Lines{"-id", "--", "COPY", payload}));
    EXPECT_EQ(Stdin(), payload + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(x));
}

TEST_F(HtPasswdTest, FailedChecksRunNothingAndCreateNothing) {
  StandIn(0);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_MISSING);
  EXPECT_FALSE(std::filesystem::exists(file_));
  std::filesystem::create_directory(file_);  // opening it for writing fails with EISDIR
  EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_FALSE(ToolRan());
}

TEST_F(HtPasswdTest, PasswordFileThatIsALinkOrAFifoIsNeverWritten) {
  StandIn(0);
  std::string target = dir_ + "/target";
  hobtest::WriteWhole(target, "other:entry\n");
  chmod(target.c_str(), 0600);
  symlink(target.c_str(), file_.c_str());
  EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(hobtest::ReadWhole(target), "other:entry\n");
  EXPECT_EQ(CHobFile::GetFileAttr(target.c_str()) & 07777, 0600);
  remove(file_.c_str());
  mkfifo(file_.c_str(), 0600);
  EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_NO_ACCESS);
  EXPECT_FALSE(ToolRan());
}

TEST_F(HtPasswdTest, ToolExitingNonZeroFailsAndLeavesTheFileAsItWas) {
  StandIn(3);
  hobtest::WriteWhole(file_, "old:entry\n");
  EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_RUN_FAILED);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_RUN_FAILED);
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
    EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_RUN_FAILED);
    EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_RUN_FAILED);
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
  EXPECT_EQ(New("ann", "pw", 0), HOB_HTP_BUSY);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_BUSY);
  EXPECT_FALSE(ToolRan());
  ASSERT_EQ(write(release[1], "x", 1), 1);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_OK);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(HtPasswdTest, AddEndsAnUnterminatedLastLineFirst) {
  StandIn(0);
  for (auto [before, after] : {std::pair<const char*, const char*>{"q:xyz", "q:xyz\nann:x\n"},
                               {"q:xyz\n", "q:xyz\nann:x\n"},
                               {"", "ann:x\n"}}) {
    hobtest::WriteWhole(file_, before);
    EXPECT_EQ(Add("ann", "pw", 0), HOB_HTP_OK);
    EXPECT_EQ(hobtest::ReadWhole(file_), after);
  }
}

TEST_F(HtPasswdTest, WrittenFileGetsTheProgramsModeAndTheTraceHidesThePassword) {
  StandIn(0);
  mode_t mask = umask(077);
  EXPECT_EQ(New("ann", "s3cr3t", 0), HOB_HTP_OK);
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
  EXPECT_EQ(Delete("-bob"), HOB_HTP_OK);
  EXPECT_EQ(Argv(), (Lines{"-D", "--", "COPY", "-bob"}));
  EXPECT_EQ(Stdin(), "");
  EXPECT_EQ(Verify("ann", "p w"), HOB_HTP_OK);
  EXPECT_EQ(Argv(), (Lines{"-iv", "--", "COPY", "ann"}));
  EXPECT_EQ(Stdin(), "p w\n");
}

// The tool reports success when asked to delete a user it does not find.
TEST_F(HtPasswdTest, UserNotInTheFileIsReportedAndRunsNothing) {
  StandIn(0);
  hobtest::WriteWhole(file_, "ann:x\n# bob:y\nbob\n");
  EXPECT_EQ(Delete("bob"), HOB_HTP_NO_USER);
  EXPECT_EQ(Verify("bob", "pw"), HOB_HTP_NO_USER);
  EXPECT_EQ(Delete("an"), HOB_HTP_NO_USER);
  EXPECT_FALSE(ToolRan());
  remove(file_.c_str());
  EXPECT_EQ(Delete("ann"), HOB_HTP_MISSING);
  EXPECT_EQ(List(), Lines{std::to_string(HOB_HTP_MISSING)});
}

// The tool runs with no lock held. Here another change lands while it runs:
// the tool first renames dir_/next over the password file, then replaces
// the user's entry by "user:x" (or appends it) or removes it. The checked
// change is made again on the newer file, or, where another change of the
// same user came first, the tool runs again on the newer file.
TEST_F(HtPasswdTest, ChangeOvertakenByAnotherIsMadeOnTheNewerFile) {
  const std::string script =
      "#!/bin/sh\n"
      "echo run >> " +
      dir_ +
      "/runs\n"
      "[ ! -f " +
      dir_ + "/next ] || mv " + dir_ + "/next " + file_ +
      "\n"
      "case \"$1\" in\n"
      "  -D) grep -v \"^$4:\" \"$3\" > \"$3.n\" ;;\n"
      "  *) awk -v u=\"$4\" -F: '$1 == u {print u \":x\"; f = 1; next} {print}"
      " END {if (!f) print u \":x\"}' \"$3\" > \"$3.n\" ;;\n"
      "esac\n"
      "cat \"$3.n\" > \"$3\"; rm \"$3.n\"\n";
  hobtest::WriteWhole(dir_ + "/tool", script);
  chmod((dir_ + "/tool").c_str(), 0755);
  go.strHtpasswd = (dir_ + "/tool").c_str();
  struct Case {
    const char* before;
    const char* next;
    bool add;
    int result;
    const char* after;
    int users;
    size_t runs;
  } cases[] = {{"a:1\nann:old\nb:2\n", "a:1\nann:old\nb:2\nc:3\n", true, HOB_HTP_OK,
                "a:1\nann:x\nb:2\nc:3\n", 4, 1},
               {"a:1\n", "z:0\na:1", true, HOB_HTP_OK, "z:0\na:1\nann:x\n", 3, 1},
               {"a:1\nann:old\n", "ann:old\n#c\nc:3\n", false, HOB_HTP_OK, "#c\nc:3\n", 1, 1},
               {"a:1\n", "a:1\nann:other\n", true, HOB_HTP_OK, "a:1\nann:x\n", 2, 2},
               {"ann:old\nann:old\n", "ann:old\n", true, HOB_HTP_OK, "ann:x\n", 1, 2},
               {"a:1\nann:old\n", "a:1\n", false, HOB_HTP_NO_USER, "a:1\n", 0, 1}};
  for (const Case& c : cases) {
    hobtest::WriteWhole(file_, c.before);
    hobtest::WriteWhole(dir_ + "/next", c.next);
    remove((dir_ + "/runs").c_str());
    EXPECT_EQ(c.add ? Add("ann", "pw", 1) : Delete("ann"), c.result) << c.next;
    EXPECT_EQ(hobtest::ReadWhole(file_), c.after) << c.next;
    if (c.result == HOB_HTP_OK) {
      EXPECT_EQ(count_.nUsers, c.users) << c.next;
    }
    EXPECT_EQ(hobtest::ReadLines(dir_ + "/runs").size(), c.runs) << c.next;
  }
}

// A list and an add cost what reading and copying the file costs: eight
// times the users take about eight times as long, not sixty-four. Each size
// has a password file of its own, written before the clock runs; each add
// adds one more user to it.
TEST_F(HtPasswdTest, ListAndAddOfEightTimesTheUsersTakeAtMostTenTimesAsLong) {
  StandIn(0);
  for (int n : {4000, 32000}) {
    std::string text;
    for (int i = 0; i < n; i++) text += "user" + std::to_string(i) + ":$apr1$salt$hash\n";
    hobtest::WriteWhole(dir_ + "/" + std::to_string(n), text);
  }
  hobtest::ExpectLinearGrowth(
      [&](int n) {
        CHobHtList list;
        EXPECT_EQ(CHobHtPasswd::OpenList(open_, std::to_string(n).c_str(), 0, list), n);
        const char *name, *kind;
        int length, listed = 0;
        while (list.Next(&name, &length, &kind) == 1) listed++;
        EXPECT_EQ(listed, n);
      },
      4000, 10);
  int added = 0;
  hobtest::ExpectLinearGrowth(
      [&](int n) {
        std::string user = "new" + std::to_string(added++);
        EXPECT_EQ(CHobHtPasswd::WriteAdd(open_, std::to_string(n).c_str(), user.c_str(), "pw", 1, 0,
                                         &count_),
                  HOB_HTP_OK);
        EXPECT_GT(count_.nUsers, n);
      },
      4000, 10);
}

// The check of a changed file, on before and after as file contents: its
// code, with the users counted in after.
int Check(const std::string& before, const std::string& after, const char* user, int kind,
          int* users = nullptr) {
  hobtest::TempDir t;
  hobtest::WriteWhole(t.Path("before"), before);
  hobtest::WriteWhole(t.Path("after"), after);
  int b = open(t.Path("before").c_str(), O_RDONLY);
  int a = open(t.Path("after").c_str(), O_RDONLY);
  CHobHtCount count = {-1, -1, false};
  int result = CHobHtPasswd::CheckChange(b, a, user, kind, -1, &count);
  close(a);
  close(b);
  if (users != nullptr) *users = count.nUsers;
  return result;
}

// One refusal per reason: each is a way a tool's result can lose or forge
// an entry.
TEST(HtPasswdCheckChange, EachWayOfNotMakingTheChangeIsRefused) {
  const std::string before = "ann:1\n# note\nbob:2\ncid:3\n";
  const std::string zero("bob:\0\n", 6);
  const struct {
    const char* what;
    const char* user;
    int kind;
    std::string after;
    int expected;
  } cases[] = {
      {"add at the end", "dee", HOB_HTP_ADD, before + "dee:4\n", HOB_HTP_OK},
      {"change in place", "bob", HOB_HTP_ADD, "ann:1\n# note\nbob:9\ncid:3\n", HOB_HTP_OK},
      {"delete", "bob", HOB_HTP_DELETE, "ann:1\n# note\ncid:3\n", HOB_HTP_OK},
      {"users after the changed one dropped", "bob", HOB_HTP_ADD, "ann:1\n# note\nbob:9\n",
       HOB_CHECK_LINES_DROPPED},
      {"all dropped but the user", "bob", HOB_HTP_ADD, "bob:9\n", HOB_CHECK_LINES_DROPPED},
      {"a comment dropped", "bob", HOB_HTP_ADD, "ann:1\nbob:9\ncid:3\n", HOB_CHECK_LINE_CHANGED},
      {"another entry changed", "bob", HOB_HTP_ADD, "ann:X\n# note\nbob:9\ncid:3\n",
       HOB_CHECK_LINE_CHANGED},
      {"another user added", "dee", HOB_HTP_ADD, before + "dee:4\neve:5\n", HOB_CHECK_LINE_CHANGED},
      {"a line duplicated", "bob", HOB_HTP_ADD, "ann:1\nann:1\n# note\nbob:9\ncid:3\n",
       HOB_CHECK_LINE_CHANGED},
      {"lines swapped", "bob", HOB_HTP_ADD, "# note\nann:1\nbob:9\ncid:3\n",
       HOB_CHECK_LINE_CHANGED},
      {"truncated mid-line", "bob", HOB_HTP_ADD,
       "ann:1\n# note\nbob:9\ncid:", HOB_CHECK_LINE_CHANGED},
      {"an entry without hash", "bob", HOB_HTP_ADD, "ann:1\n# note\nbob:\ncid:3\n",
       HOB_CHECK_NO_HASH},
      {"the user not added", "dee", HOB_HTP_ADD, before, HOB_CHECK_USER_MISSING},
      {"the user still there", "bob", HOB_HTP_DELETE, before, HOB_CHECK_USER_LEFT},
      {"a zero byte in the result", "dee", HOB_HTP_ADD, before + zero, HOB_CHECK_DAMAGED},
      {"a line too long to read back", "dee", HOB_HTP_ADD,
       before + "dee:" + std::string(70000, 'x') + "\n", HOB_CHECK_DAMAGED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Check(before, c.after, c.user, c.kind), c.expected) << c.what;
  }
  // Create keeps nothing of before; only the user may be there.
  EXPECT_EQ(Check(before, "bob:9\n", "bob", HOB_HTP_CREATE), HOB_HTP_OK);
  EXPECT_EQ(Check(before, "ann:1\nbob:9\n", "bob", HOB_HTP_CREATE), HOB_CHECK_LINE_CHANGED);
  // A damaged file before the change cannot be carried over.
  EXPECT_EQ(Check(std::string("ann:\0\n", 6) + "bob:2\n", "bob:9\n", "bob", HOB_HTP_ADD),
            HOB_HTP_UNREADABLE);
}

// The same refusals deep inside a large file, read as streams in blocks.
TEST(HtPasswdCheckChange, LargeFilesAreComparedToTheirLastLine) {
  std::string before;
  for (int i = 0; i < 100000; i++) before += "user" + std::to_string(i) + ":{SHA}hash=\n";
  int users = 0;
  EXPECT_EQ(Check(before, before + "new:x\n", "new", HOB_HTP_ADD, &users), HOB_HTP_OK);
  EXPECT_EQ(users, 100001);
  std::string withoutLast = before.substr(0, before.rfind("user99999:"));
  EXPECT_EQ(Check(before, withoutLast + "new:x\n", "new", HOB_HTP_ADD), HOB_CHECK_LINES_DROPPED);
  EXPECT_EQ(Check(before, withoutLast, "user99999", HOB_HTP_DELETE, &users), HOB_HTP_OK);
  EXPECT_EQ(users, 99999);
  size_t middle = before.find("user50000:");
  std::string duplicated =
      before.substr(0, middle) + before.substr(middle, 20) + before.substr(middle) + "new:x\n";
  EXPECT_EQ(Check(before, duplicated, "new", HOB_HTP_ADD), HOB_CHECK_LINE_CHANGED);
  EXPECT_EQ(Check(before, before.substr(0, before.size() - 5) + "\nnew:x\n", "new", HOB_HTP_ADD),
            HOB_CHECK_LINE_CHANGED);
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
  ASSERT_EQ(New("ann", "pw-a", 0), HOB_HTP_OK);
  ASSERT_EQ(Add("bob", "pw-b", 2), HOB_HTP_OK);
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
  ASSERT_EQ(New("first", "pw", 1), HOB_HTP_OK);
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
      _exit(-Add(user.c_str(), "pw", 1));
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
  ASSERT_EQ(New("u0", "pw0", 0), HOB_HTP_OK);
  for (int type = 1; type <= 5; type++) {
    std::string user = "u" + std::to_string(type), pass = "pw" + std::to_string(type);
    ASSERT_EQ(Add(user.c_str(), pass.c_str(), type), HOB_HTP_OK);
  }
  Lines listed = List();
  ASSERT_EQ(listed.size(), 6u);
  for (int type = 0; type <= 5; type++) {
    std::string user = "u" + std::to_string(type), pass = "pw" + std::to_string(type);
    EXPECT_EQ(listed[type], user + " " + kinds[type]);
    EXPECT_EQ(Verify(user.c_str(), pass.c_str()), HOB_HTP_OK) << user;
    EXPECT_EQ(Verify(user.c_str(), "wrong"), HOB_HTP_MISMATCH);
  }
  EXPECT_EQ(Delete("u3"), HOB_HTP_OK);
  ASSERT_EQ(List().size(), 5u);
  EXPECT_EQ(Verify("u3", "pw3"), HOB_HTP_NO_USER);
  EXPECT_TRUE(hobtest::Verifies(file_, "u5", "pw5"));
}

// The entry is looked for while the file is copied in blocks: one that a
// block ends inside of is found all the same.
TEST_F(RealToolTest, DeleteFindsAnEntryThatABlockEndsInside) {
  for (size_t at = kHobFileBlock - 12; at <= kHobFileBlock + 2; at++) {
    // Entries of 64 bytes, the first one shorter, so that bob's starts at at.
    std::string before;
    for (int i = 0; before.size() < at; i++) {
      size_t length = i == 0 ? 64 + at % 64 : 64;
      std::string name = "f" + std::to_string(i) + ":";
      before += name + std::string(length - name.size() - 1, 'x') + "\n";
    }
    ASSERT_EQ(before.size(), at);
    hobtest::WriteWhole(file_, before + "bob:x\ncarl:y\n");
    ASSERT_EQ(Delete("bob"), HOB_HTP_OK) << at;
    EXPECT_EQ(hobtest::ReadWhole(file_), before + "carl:y\n") << at;
  }
}

// An entry kept elsewhere reaches the tool as a private copy (0600) in the
// working directory, with the password on its standard input; the copy is
// gone afterwards, and an entry holding a line break runs nothing.
TEST_F(HtPasswdTest, EntryKeptElsewhereIsCheckedOnAPrivateCopyThatGoes) {
  StandIn(3);
  std::string seen = dir_ + "/seen";
  std::string script = hobtest::ReadWhole(dir_ + "/tool");
  script.insert(script.find("case"),
                "stat -c %a \"$3\" > " + seen + "; cat \"$3\" >> " + seen + "\n");
  hobtest::WriteWhole(dir_ + "/tool", script);
  EXPECT_EQ(CHobHtPasswd::VerifyEntry("ann:$2y$05$hash", "ann", "p w"), HOB_HTP_MISMATCH);
  EXPECT_EQ(Argv(), (Lines{"-iv", "--", "COPY", "ann"}));
  EXPECT_EQ(Stdin(), "p w\n");
  EXPECT_EQ(hobtest::ReadWhole(seen), "600\nann:$2y$05$hash\n");
  EXPECT_TRUE(std::filesystem::is_empty(work_.dir()));
  std::filesystem::remove(dir_ + "/argv");
  EXPECT_EQ(CHobHtPasswd::VerifyEntry("ann:x\nann:y", "ann", "pw"), HOB_HTP_UNREADABLE);
  EXPECT_FALSE(ToolRan());
}

// The failure twin: a working directory the process may not write.
TEST_F(HtPasswdTest, EntryKeptElsewhereWithoutAWritableWorkingDirectoryRunsNothing) {
  StandIn(0);
  chmod(work_.dir().c_str(), 0755);
  int result = hobtest::InChild([] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 99;
    return -CHobHtPasswd::VerifyEntry("ann:x", "ann", "pw");
  });
  EXPECT_EQ(-result, HOB_HTP_NO_ACCESS);
  EXPECT_FALSE(ToolRan());
}

TEST_F(RealToolTest, EntryKeptElsewhereVerifiesItsPasswordOnly) {
  for (int type : {1, 3, 5}) {
    CHobString entry = CHobHtPasswd::Encrypt("ann", "pw one", type);
    entry.Trim();
    EXPECT_EQ(CHobHtPasswd::VerifyEntry(entry.m_pszText, "ann", "pw one"), HOB_HTP_OK) << type;
    EXPECT_EQ(CHobHtPasswd::VerifyEntry(entry.m_pszText, "ann", "pw two"), HOB_HTP_MISMATCH);
  }
}

}  // namespace
