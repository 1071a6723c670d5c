// CHobDir: what opening a directory answers for each kind of path, and the
// files made, opened, renamed and swept through its descriptor.
#include "hobdir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>

#include "hob_test.h"

namespace {

using hobtest::TempDir;

TEST(DirOpen, EachKindOfPathGetsItsOwnCode) {
  TempDir t;
  mkdir(t.Path("d").c_str(), 0755);
  hobtest::WriteWhole(t.Path("f"), "x");
  symlink(t.Path("d").c_str(), t.Path("link").c_str());
  symlink(t.Path("f").c_str(), t.Path("filelink").c_str());
  CHobDir dir;
  EXPECT_EQ(dir.Open(t.Path("d").c_str()), HOB_DIR_OK);
  EXPECT_EQ(dir.Open(t.Path("missing").c_str()), HOB_DIR_MISSING);
  EXPECT_EQ(dir.Open(t.Path("missing/below").c_str()), HOB_DIR_MISSING);
  EXPECT_EQ(dir.Open(t.Path("f").c_str()), HOB_DIR_NOT_DIR);
  EXPECT_EQ(dir.Open(t.Path("f/below").c_str()), HOB_DIR_NOT_DIR);
  EXPECT_EQ(dir.Open(t.Path("link").c_str()), HOB_DIR_LINK);
  EXPECT_EQ(dir.Open(t.Path("filelink").c_str()), HOB_DIR_LINK);
  EXPECT_EQ(dir.m_nFd, -1);
}

TEST(DirOpen, LinksAboveTheLastComponentAreFollowed) {
  TempDir t;
  mkdir(t.Path("real").c_str(), 0755);
  mkdir(t.Path("real/sub").c_str(), 0755);
  symlink(t.Path("real").c_str(), t.Path("link").c_str());
  CHobDir dir;
  ASSERT_EQ(dir.Open(t.Path("link/sub").c_str()), HOB_DIR_OK);
  char real[4096];
  ASSERT_NE(realpath(t.Path("real/sub").c_str(), real), nullptr);
  EXPECT_STREQ(dir.RealPath().m_pszText, real);
  ASSERT_EQ(dir.Open((t.Path("real/sub") + "/../sub/.").c_str()), HOB_DIR_OK);
  EXPECT_STREQ(dir.RealPath().m_pszText, real);
}

TEST(DirOpen, OpenToAllMeansWritableByOthersWithoutTheStickyBit) {
  TempDir t;
  const std::pair<mode_t, bool> cases[] = {
      {0755, false}, {0777, true}, {01777, false}, {0770, false}, {0757, true}};
  for (auto [mode, open] : cases) {
    std::string path = t.Path(std::to_string(mode));
    mkdir(path.c_str(), 0700);
    chmod(path.c_str(), mode);
    CHobDir dir;
    ASSERT_EQ(dir.Open(path.c_str()), HOB_DIR_OK);
    EXPECT_EQ(dir.IsOpenToAll(), open) << std::oct << mode;
  }
}

TEST(DirFiles, OpenFileFollowsNoLinkAndTakesOnlyRegularFiles) {
  TempDir t;
  hobtest::WriteWhole(t.Path("f"), "x");
  hobtest::WriteWhole(t.Path("other"), "secret");
  symlink(t.Path("other").c_str(), t.Path("link").c_str());
  mkfifo(t.Path("fifo").c_str(), 0600);
  mkdir(t.Path("sub").c_str(), 0755);
  CHobDir dir;
  ASSERT_EQ(dir.Open(t.dir().c_str()), HOB_DIR_OK);
  int fd = dir.OpenFile("f", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
  EXPECT_EQ(dir.OpenFile("missing", O_RDONLY), -ENOENT);
  EXPECT_EQ(dir.OpenFile("link", O_RDWR), -ELOOP);
  EXPECT_EQ(dir.OpenFile("link", O_RDWR | O_CREAT), -ELOOP);
  // Opened without waiting for a writer, then refused.
  EXPECT_EQ(dir.OpenFile("fifo", O_RDONLY), -EINVAL);
  EXPECT_EQ(dir.OpenFile("sub", O_RDONLY), -EINVAL);
  EXPECT_EQ(hobtest::ReadWhole(t.Path("other")), "secret");
}

TEST(DirFiles, MadeFilesAreNewPrivateAndRenamedInTheDirectory) {
  TempDir t;
  CHobDir dir;
  ASSERT_EQ(dir.Open(t.dir().c_str()), HOB_DIR_OK);
  CHobString first, second;
  int a = dir.MakeFile(".htpasswd", first);
  int b = dir.MakeFile(".htpasswd", second);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_NE(first, second);
  EXPECT_STREQ(first.Left(10).m_pszText, ".htpasswd.");
  EXPECT_EQ(first.GetLength(), 16);
  struct stat info;
  ASSERT_EQ(fstat(a, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_EQ(write(a, "new\n", 4), 4);
  EXPECT_EQ(dir.Rename(first.m_pszText, ".htpasswd"), 0);
  EXPECT_EQ(hobtest::ReadWhole(t.Path(".htpasswd")), "new\n");
  EXPECT_EQ(dir.Remove(second.m_pszText), 0);
  EXPECT_EQ(dir.Remove(second.m_pszText), -ENOENT);
  EXPECT_EQ(dir.Rename("missing", ".htpasswd"), -ENOENT);
  close(a);
  close(b);
}

// A directory that cannot be written: the failure twin of the test above.
TEST(DirFiles, MakeFileInADirectoryThatCannotBeWrittenFails) {
  TempDir t;
  chmod(t.dir().c_str(), 0755);
  mkdir(t.Path("ro").c_str(), 0755);
  int result = hobtest::InChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
    CHobDir dir;
    CHobString name;
    if (dir.Open(t.Path("ro").c_str()) != HOB_DIR_OK) return 2;
    return dir.MakeFile("x", name) == -EACCES ? 0 : 3;
  });
  EXPECT_EQ(result, 0);
}

TEST(DirFiles, RemoveStaleSweepsOnlyOldFilesNamedAsMadeFilesAre) {
  TempDir t;
  const char* const names[] = {".htpasswd.AbC123", ".htpasswd.xyz",   ".htpasswd.AbC1234",
                               ".htpasswd.fresh1", "other.AbC123",    ".htpasswd",
                               ".htpasswd.lock",   ".htpasswd.link12"};
  for (const char* name : names) hobtest::WriteWhole(t.Path(name), "x");
  remove(t.Path(".htpasswd.link12").c_str());
  symlink("/etc/passwd", t.Path(".htpasswd.link12").c_str());
  mkdir(t.Path(".htpasswd.dir123").c_str(), 0755);
  struct timespec old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  for (const char* name : names) {
    if (std::string(name) != ".htpasswd.fresh1") {
      utimensat(AT_FDCWD, t.Path(name).c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
  }
  utimensat(AT_FDCWD, t.Path(".htpasswd.dir123").c_str(), old, 0);
  CHobDir dir;
  ASSERT_EQ(dir.Open(t.dir().c_str()), HOB_DIR_OK);
  EXPECT_EQ(dir.RemoveStale(".htpasswd", 60), 2);
  for (const char* gone : {".htpasswd.AbC123", ".htpasswd.link12"}) {
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(t.Path(gone)))) << gone;
  }
  for (const char* kept : {".htpasswd.xyz", ".htpasswd.AbC1234", ".htpasswd.fresh1", "other.AbC123",
                           ".htpasswd", ".htpasswd.lock", ".htpasswd.dir123"}) {
    EXPECT_TRUE(std::filesystem::exists(t.Path(kept))) << kept;
  }
  EXPECT_TRUE(std::filesystem::exists("/etc/passwd"));
}

}  // namespace
