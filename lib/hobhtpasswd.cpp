// CHobHtPasswd: starts the password tool with an argument vector, never
// through a shell, so user names reach it as typed; "--" ends the tool's
// options, so a name starting with "-" stays a name. The password travels on
// the tool's standard input, never in an argument, which every local user
// could read in the process list while the tool runs. A password
// file is written only when it is a regular file reached without a link, and
// writes to it are serialised by a lock on it, because the tool rewrites the
// whole file without one.
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

// The last letter of the tool's option word for each encryption type: crypt,
// MD5, SHA-1, bcrypt, SHA-256 crypt, SHA-512 crypt.
const char kTypeLetters[] = "dmsB25";
const int kTypeCount = sizeof(kTypeLetters) - 1;

// The option word prefix followed by the letter of type; "" for a type the
// tool does not know, which must never run: without its option word the
// tool would read the next argument as a password file.
CHobString OptionWord(const char* prefix, int type) {
  if (type < 0 || type >= kTypeCount) return CHobString();
  char letter[2] = {kTypeLetters[type], '\0'};
  return CHobString(prefix) + letter;
}

// A pipe whose read end holds password and a line feed and whose write end is
// already closed, for the tool's standard input; -1 when the password cannot
// travel that way (a line break would end it early) or does not fit.
int PasswordPipe(const char* password) {
  if (password[strcspn(password, "\r\n")] != '\0') return -1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  // Written whole before the tool starts, so the write can neither block nor
  // meet a reader that is gone.
  CHobString line = CHobString(password) + "\n";
  ssize_t length = line.GetLength();
  int flags = fcntl(fds[1], F_GETFL);
  bool written = flags >= 0 && fcntl(fds[1], F_SETFL, flags | O_NONBLOCK) == 0 &&
                 write(fds[1], line.m_pszText, static_cast<size_t>(length)) == length;
  close(fds[1]);
  if (!written) {
    close(fds[0]);
    return -1;
  }
  return fds[0];
}

// Start the tool with option, "--" and the given arguments; its standard
// input is inFd (-1: /dev/null) and its standard output goes to outFd (-1:
// /dev/null). Returns the child's pid, or -1 when the tool cannot be started.
pid_t StartTool(const char* option, const char* const* args, int nArgs, int inFd, int outFd) {
  const char* tool = go.strHtpasswd.m_pszText;
  if (tool == nullptr || *tool == '\0') return -1;

  const char* argv[7];
  int argc = 0;
  argv[argc++] = tool;
  argv[argc++] = option;
  argv[argc++] = "--";
  for (int i = 0; i < nArgs; i++) argv[argc++] = args[i];
  argv[argc] = nullptr;

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  int error = inFd >= 0 ? posix_spawn_file_actions_adddup2(&actions, inFd, 0)
                        : posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
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

// Waits for the tool; its exit status, or -1 when it did not exit normally.
int WaitTool(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  go.log.Trace("HtPasswd tool ended with status 0x%x", static_cast<unsigned>(status));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Start the tool with option, "--" and args, the password (unless null) and
// a line feed on its standard input and its standard output going to outFd
// (-1: discarded, so that nothing of it lands in the page); the pid, or -1
// when it cannot be started.
pid_t StartWithPassword(const char* option, const char* const* args, int nArgs,
                        const char* password, int outFd) {
  go.log.Trace("HtPasswd run [%s] [%s] [%s] [%s] (password not shown)", go.strHtpasswd.m_pszText,
               option, args[0], nArgs > 1 ? args[1] : "");
  int inFd = -1;
  if (password != nullptr && (inFd = PasswordPipe(password)) < 0) return -1;
  pid_t pid = StartTool(option, args, nArgs, inFd, outFd);
  if (inFd >= 0) close(inFd);
  return pid;
}

// Run the tool as StartWithPassword does and wait for it: its exit status,
// or -1 when it cannot be started or did not exit normally.
int RunTool(const char* option, const char* const* args, int nArgs, const char* password) {
  pid_t pid = StartWithPassword(option, args, nArgs, password, -1);
  return pid < 0 ? -1 : WaitTool(pid);
}

// Run the tool to write the password file path for user; true when it ran
// and succeeded.
bool RunWrite(const char* option, const char* path, const char* user, const char* password) {
  const char* const args[] = {path, user};
  return RunTool(option, args, 2, password) == 0;
}

// Open path with flags without following a link: a descriptor of a regular
// file, or -1. A FIFO or device is refused without waiting for a peer.
int OpenRegular(const char* path, int flags) {
  int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, go.nFileMode);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
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

// Run the tool with option on the password file open as fd at path, under
// the file's lock, waited for up to lockWait seconds; the file gets the
// program's mode. With repair, an unterminated last line is ended first. A
// HOB_HTP_* code.
int WriteLocked(int fd, const char* option, const char* path, const char* user,
                const char* password, bool repair, int lockWait) {
  if (CHobFlock::Take(fd, false, lockWait) != HOB_OK) return HOB_HTP_BUSY;
  if (repair && !EndWithNewline(fd)) return HOB_HTP_NO_ACCESS;
  if (!RunWrite(option, path, user, password)) return HOB_HTP_RUN_FAILED;
  fchmod(fd, static_cast<mode_t>(go.nFileMode));
  return HOB_HTP_OK;
}

// The entries of the password file open as fd, read from its start: the user
// names and hashes of its "name:hash" lines into names and hashes (blank
// lines, lines starting with "#" and lines without ":" are no entries).
// False when it cannot be read.
bool ReadEntries(int fd, CHobStrAry& names, CHobStrAry& hashes) {
  names.RemoveAll();
  hashes.RemoveAll();
  CHobBuffer text;
  char chunk[8192];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.Append(chunk, static_cast<unsigned>(n));
    at += n;
  }
  CHobStrAry lines(0, 10);
  lines.SetToken(text.data != nullptr ? text.data : "", "\n");
  for (int i = 0; i < lines.count; i++) {
    CHobString& line = lines.items[i];
    line.Replace("\r", "", true);
    int colon = line.Find(":");
    if (line.m_pszText[0] == '#' || colon <= 0) continue;
    names.Add(line.Left(colon).m_pszText);
    hashes.Add(line.Mid(colon + 1).m_pszText);
  }
  return true;
}

// The index of user among names, or -1.
int FindUser(const CHobStrAry& names, const char* user) {
  for (int i = 0; i < names.count; i++) {
    if (names.items[i] == user) return i;
  }
  return -1;
}

// Open the existing password file path for reading (or, with bWrite, for
// update too) and take its lock, shared for reading, waited for up to
// lockWait seconds, and read its entries. The descriptor, or a negative
// HOB_HTP_* code.
int OpenEntries(const char* path, bool bWrite, int lockWait, CHobStrAry& names,
                CHobStrAry& hashes) {
  struct stat info;
  if (lstat(path, &info) != 0) return HOB_HTP_MISSING;
  int fd = OpenRegular(path, bWrite ? O_RDWR | O_APPEND : O_RDONLY);
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  int result = CHobFlock::Take(fd, !bWrite, lockWait) != HOB_OK ? HOB_HTP_BUSY
               : !ReadEntries(fd, names, hashes)                ? HOB_HTP_NO_ACCESS
                                                                : HOB_HTP_OK;
  if (result == HOB_HTP_OK) return fd;
  close(fd);
  return result;
}

}  // namespace

CHobString CHobHtPasswd::Encrypt(const char* user, const char* password, int type) {
  CHobString option = OptionWord("-ni", type);
  if (option.IsEmpty()) return CHobString("-1");

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return CHobString("-1");
  const char* const args[] = {user};
  pid_t pid = StartWithPassword(option.m_pszText, args, 1, password, fds[1]);
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

int CHobHtPasswd::WriteNew(const char* path, const char* user, const char* password, int type,
                           int lockWait) {
  CHobString option = OptionWord("-ic", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  CHobStrPath file;
  file.Split(path);
  if (CHobFile::GetFileSize(file.Directory("/").m_pszText) < 0) return HOB_HTP_MISSING;

  // Appending proves the file writable (creating a missing one) without
  // emptying it, so a failed run leaves an existing file as it was.
  int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  int result = WriteLocked(fd, option.m_pszText, path, user, password, false, lockWait);
  close(fd);
  return result;
}

int CHobHtPasswd::WriteAdd(const char* path, const char* user, const char* password, int type,
                           int lockWait) {
  CHobString option = OptionWord("-i", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  struct stat info;
  if (lstat(path, &info) != 0) return HOB_HTP_MISSING;

  int fd = OpenRegular(path, O_RDWR | O_APPEND);
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  int result = WriteLocked(fd, option.m_pszText, path, user, password, true, lockWait);
  close(fd);
  return result;
}

int CHobHtPasswd::WriteScratch(const char* path, const char* user, const char* password, int type) {
  CHobString option = OptionWord("-ic", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  int fd = OpenRegular(path, O_WRONLY);
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  close(fd);
  return RunWrite(option.m_pszText, path, user, password) ? HOB_HTP_OK : HOB_HTP_RUN_FAILED;
}

int CHobHtPasswd::Delete(const char* path, const char* user, int lockWait) {
  CHobStrAry names(0, 10), hashes(0, 10);
  int fd = OpenEntries(path, true, lockWait, names, hashes);
  if (fd < 0) return fd;
  // The tool reports success for a user it does not find.
  int result = HOB_HTP_NO_USER;
  if (FindUser(names, user) >= 0) {
    const char* const args[] = {path, user};
    result = RunTool("-D", args, 2, nullptr) == 0 ? HOB_HTP_OK : HOB_HTP_RUN_FAILED;
    if (result == HOB_HTP_OK) fchmod(fd, static_cast<mode_t>(go.nFileMode));
  }
  close(fd);
  return result;
}

int CHobHtPasswd::Verify(const char* path, const char* user, const char* password, int lockWait) {
  CHobStrAry names(0, 10), hashes(0, 10);
  int fd = OpenEntries(path, false, lockWait, names, hashes);
  if (fd < 0) return fd;
  int result = HOB_HTP_NO_USER;
  if (FindUser(names, user) >= 0) {
    // The tool exits with 3 when the password does not match.
    const char* const args[] = {path, user};
    int status = RunTool("-iv", args, 2, password);
    result = status == 0 ? HOB_HTP_OK : status == 3 ? HOB_HTP_MISMATCH : HOB_HTP_RUN_FAILED;
  }
  close(fd);
  return result;
}

int CHobHtPasswd::List(const char* path, CHobStrAry& names, CHobStrAry& kinds, int lockWait) {
  CHobStrAry hashes(0, 10);
  int fd = OpenEntries(path, false, lockWait, names, hashes);
  if (fd < 0) return fd;
  close(fd);
  kinds.RemoveAll();
  for (int i = 0; i < hashes.count; i++) kinds.Add(HashKind(hashes.items[i].m_pszText));
  return names.count;
}

const char* CHobHtPasswd::HashKind(const char* hash) {
  static const struct {
    const char* prefix;
    const char* kind;
  } kPrefixes[] = {{"$2y$", "bcrypt"}, {"$2b$", "bcrypt"}, {"$2a$", "bcrypt"}, {"$5$", "SHA-256"},
                   {"$6$", "SHA-512"}, {"$apr1$", "MD5"},  {"$1$", "MD5"},     {"{SHA}", "SHA-1"}};
  for (const auto& p : kPrefixes) {
    if (strncmp(hash, p.prefix, strlen(p.prefix)) == 0) return p.kind;
  }
  // Traditional crypt: two characters of salt and eleven of hash, all from
  // its own alphabet.
  size_t length = strspn(hash, "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  return length == 13 && hash[13] == '\0' ? "crypt" : "plain";
}
