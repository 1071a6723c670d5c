// CHobHtPasswd: starts the password tool with an argument vector, never
// through a shell, so user names and passwords reach it as typed. Writes to a
// password file are serialised by a lock on that file, because the tool
// rewrites the whole file without one.
#include "hobhtpasswd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hobfile.h"
#include "hobglobal.h"
#include "hobstrpath.h"

extern char** environ;

namespace {

// The option word for the encryption type: 0 crypt, 1 MD5, 2 SHA-1; any
// other type has none.
const char* OptionWord(const char* const (&words)[3], int type) {
  return type >= 0 && type <= 2 ? words[type] : "";
}

// Start the tool with tool, option (left out when empty) and the given
// arguments; its standard input is /dev/null and its standard output goes to
// outFd (-1: /dev/null). Returns the child's pid, or -1 when the tool cannot
// be started.
pid_t StartTool(const char* option, const char* const* args, int nArgs, int outFd) {
  const char* tool = go.strHtpasswd.m_pszText;
  if (tool == nullptr || *tool == '\0') return -1;

  const char* argv[6];
  int argc = 0;
  argv[argc++] = tool;
  if (*option != '\0') argv[argc++] = option;
  for (int i = 0; i < nArgs; i++) argv[argc++] = args[i];
  argv[argc] = nullptr;

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  int error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) {
    error = outFd >= 0 ? posix_spawn_file_actions_adddup2(&actions, outFd, 1)
                       : posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (error == 0) {
    error = posix_spawnp(&pid, tool, &actions, nullptr, const_cast<char* const*>(argv), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    go.log.Trace("HtPasswd cannot start [%s]: %s", tool, strerror(error));
    return -1;
  }
  return pid;
}

// Wait for the child; true when it exited with status 0.
bool WaitTool(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  go.log.Trace("HtPasswd tool ended with status 0x%x", static_cast<unsigned>(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Run the tool to write the password file path; stdout is discarded so that
// nothing of it lands in the page. True when it ran and succeeded.
bool RunWrite(const char* option, const char* path, const char* user, const char* password) {
  go.log.Trace("HtPasswd run [%s] [%s] [%s] [%s] (password not shown)", go.strHtpasswd.m_pszText,
               option, path, user);
  const char* const args[] = {path, user, password};
  pid_t pid = StartTool(option, args, 3, -1);
  return pid > 0 && WaitTool(pid);
}

// Append a newline to a file whose last byte is not one, so that the tool's
// new entry starts a line of its own. False when the file cannot be updated.
bool EndWithNewline(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (st.st_size == 0) return true;
  char last = '\0';
  if (pread(fd, &last, 1, st.st_size - 1) != 1) return false;
  if (last == '\n') return true;
  return write(fd, "\n", 1) == 1;
}

}  // namespace

CHobString CHobHtPasswd::Encrypt(const char* user, const char* password, int type) {
  static const char* const kWords[3] = {"-nbd", "-nbm", "-nbs"};
  const char* option = OptionWord(kWords, type);
  go.log.Trace("HtPasswd run [%s] [%s] [%s] (password not shown)", go.strHtpasswd.m_pszText, option,
               user);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return CHobString("-1");
  const char* const args[] = {user, password};
  pid_t pid = StartTool(option, args, 2, fds[1]);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return CHobString("-1");
  }

  CHobString output;
  char chunk[2048];
  for (;;) {
    ssize_t n = read(fds[0], chunk, sizeof(chunk) - 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    chunk[n] = '\0';
    output += chunk;
  }
  close(fds[0]);
  // The printed entry is the result; the tool's exit status adds nothing to it.
  WaitTool(pid);
  return output;
}

int CHobHtPasswd::WriteNew(const char* path, const char* user, const char* password, int type) {
  CHobStrPath file;
  file.Split(path);
  if (CHobFile::GetFileSize(file.Directory("/").m_pszText) < 0) return HOB_HTP_MISSING;

  // Appending proves the file writable (creating a missing one) without
  // emptying it, so a failed run leaves an existing file as it was.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  close(fd);

  CHobFlock lock;
  int locked = lock.Lock(path);
  if (locked == HOB_LOCKED) return HOB_HTP_BUSY;
  if (locked != HOB_OK) return HOB_HTP_NO_ACCESS;

  static const char* const kWords[3] = {"-bcd", "-bcm", "-bcs"};
  if (!RunWrite(OptionWord(kWords, type), path, user, password)) return HOB_HTP_RUN_FAILED;
  chmod(path, go.nFileMode);
  return HOB_HTP_OK;
}

int CHobHtPasswd::WriteAdd(const char* path, const char* user, const char* password, int type) {
  if (CHobFile::GetFileSize(path) < 0) return HOB_HTP_MISSING;

  int fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) return HOB_HTP_NO_ACCESS;

  CHobFlock lock;
  int locked = lock.Lock(path);
  if (locked == HOB_LOCKED) {
    close(fd);
    return HOB_HTP_BUSY;
  }
  bool updatable = locked == HOB_OK && EndWithNewline(fd);
  close(fd);
  if (!updatable) return HOB_HTP_NO_ACCESS;

  static const char* const kWords[3] = {"-bd", "-bm", "-bs"};
  if (!RunWrite(OptionWord(kWords, type), path, user, password)) return HOB_HTP_RUN_FAILED;
  chmod(path, go.nFileMode);
  return HOB_HTP_OK;
}
