// CHobHtPasswd: starts the password tool with an argument vector, never
// through a shell, so user names reach it as typed; "--" ends the tool's
// options, so a name starting with "-" stays a name. The password travels on
// the tool's standard input, never in an argument, which every local user
// could read in the process list while the tool runs.
//
// A password file is changed only when it is a regular file reached without a
// link, and never half-written: the tool works on a private copy beside it,
// the result is checked (every entry that should stay is there, the changed
// user is there or gone) and only then renamed over the file. Changes are
// serialised by a lock file beside the password file, which, unlike the file
// itself, outlives the swap. Where the directory cannot be written but the
// password file can, the tool works in place under the file's own lock, with
// a backup in the working directory that is written back on any failure.
#include "hobhtpasswd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

// The whole file open as fd, read from its start, into text (up to its first
// zero byte); false on a read error.
bool ReadAll(int fd, CHobString& text) {
  CHobBuffer bytes;
  char chunk[8192];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes.Append(chunk, static_cast<unsigned>(n));
    at += n;
  }
  text = bytes.data;
  return true;
}

// The lines of text, without their line feeds; a last line without one counts.
void SplitLines(const char* text, CHobStrAry& lines) {
  lines.SetToken(text, "\n");
  if (lines.count > 0 && lines.items[lines.count - 1].IsEmpty())
    lines.SetSize(lines.count - 1, true);
}

// The user of a "name:hash" line, or "" for a line that is no entry.
CHobString EntryName(const CHobString& line) {
  int colon = line.Find(":");
  if (line.m_pszText[0] == '#' || colon <= 0) return CHobString();
  return line.Left(colon);
}

// What a change does to the password file.
enum ChangeKind { kCreate, kAdd, kDelete };

// True when after is what the change of user makes of before: every line but
// user's as it was (none for kCreate), and user's lines, each a whole entry,
// there (kCreate, kAdd) or gone (kDelete).
bool IsChangedAsAsked(const char* before, const char* after, const char* user, ChangeKind kind) {
  CHobStrAry beforeLines(0, 10), afterLines(0, 10), kept(0, 10);
  if (kind != kCreate) SplitLines(before, beforeLines);
  SplitLines(after, afterLines);
  for (int i = 0; i < beforeLines.count; i++) {
    if (EntryName(beforeLines.items[i]) != user) kept.Add(beforeLines.items[i].m_pszText);
  }
  int userLines = 0;
  int next = 0;  // the next kept line expected in after
  for (int i = 0; i < afterLines.count; i++) {
    const CHobString& line = afterLines.items[i];
    if (EntryName(line) == user) {
      if (line.GetLength() == static_cast<int>(strlen(user)) + 1) return false;  // no hash
      userLines++;
    } else if (next < kept.count && line == kept.items[next]) {
      next++;
    } else {
      return false;
    }
  }
  return next == kept.count && (kind == kDelete ? userLines == 0 : userLines > 0);
}

// Replace the contents of the file open as fd by length bytes of data, on
// the disk before returning when bSync: 0, or the errno of the failure.
int WriteAll(int fd, const char* data, size_t length, bool bSync) {
  if (ftruncate(fd, 0) != 0) return errno;
  for (size_t done = 0; done < length;) {
    ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(n);
  }
  return !bSync || fsync(fd) == 0 ? 0 : errno;
}

// The code of a failed change: HOB_HTP_DISK_FULL when the file system of fd
// has too little room left for a password file of length bytes.
int FailureAt(int fd, size_t length) {
  struct statvfs room;
  bool full = fstatvfs(fd, &room) == 0 &&
              static_cast<unsigned long long>(room.f_bavail) * room.f_frsize < length + 8192;
  return full ? HOB_HTP_DISK_FULL : HOB_HTP_RUN_FAILED;
}

// One change: its kind, the tool's option word, the user and the password on
// the tool's standard input (null: none).
struct Change {
  ChangeKind kind;
  const char* option;
  const char* user;
  const char* password;
};

// The text a copy of the password file starts from: before, its last line
// ended by a line feed for an add, so that the new entry starts a line of
// its own; nothing for a create.
CHobString StartingText(const CHobString& before, ChangeKind kind) {
  if (kind == kCreate) return CHobString();
  if (kind == kAdd && !before.IsEmpty() && before.Right(1) != "\n") return before + "\n";
  return before;
}

// Runs the tool on file, then reads the result back: HOB_HTP_OK when it ran
// and made what the change asks of before, else the failure's code.
int RunAndCheck(const char* file, int fd, const Change& change, const CHobString& before) {
  const char* const args[] = {file, change.user};
  if (RunTool(change.option, args, 2, change.password) != 0) {
    return FailureAt(fd, before.GetLength());
  }
  CHobString after;
  if (!ReadAll(fd, after)) return HOB_HTP_RUN_FAILED;
  if (!IsChangedAsAsked(before.m_pszText, after.m_pszText, change.user, change.kind)) {
    go.log.Trace("HtPasswd result of [%s] refused: not the change asked for", change.option);
    return HOB_HTP_RUN_FAILED;
  }
  return fsync(fd) == 0 ? HOB_HTP_OK : FailureAt(fd, before.GetLength());
}

// A code of ChangeByCopy: the copy cannot be made in the password file's
// directory, so the change must be made in place.
const int kNoCopyHere = 1;

// The change made on a private copy beside path and renamed over it. original
// is the password file open for update, or -1 when there is none; the copy
// gets the program's mode and, where it may, the original's owner and group.
int ChangeByCopy(const char* path, int original, const Change& change, const CHobString& before) {
  CHobString copy = CHobString(path) + ".XXXXXX";
  int fd = mkostemp(copy.m_pszText, O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM || errno == EROFS) return kNoCopyHere;
    return errno == ENOSPC || errno == EDQUOT ? HOB_HTP_DISK_FULL : HOB_HTP_NO_ACCESS;
  }
  fchmod(fd, static_cast<mode_t>(go.nFileMode));
  struct stat owner;
  if (original >= 0 && fstat(original, &owner) == 0) {
    (void)!fchown(fd, owner.st_uid, owner.st_gid);
  }
  CHobString start = StartingText(before, change.kind);
  // Synced once, with what the tool makes of it.
  int error = WriteAll(fd, start.m_pszText, static_cast<size_t>(start.GetLength()), false);
  int result = error == ENOSPC || error == EDQUOT ? HOB_HTP_DISK_FULL
               : error != 0                       ? HOB_HTP_RUN_FAILED
                                                  : RunAndCheck(copy.m_pszText, fd, change, before);
  if (result == HOB_HTP_OK && rename(copy.m_pszText, path) != 0) result = HOB_HTP_NO_ACCESS;
  close(fd);
  if (result != HOB_HTP_OK) {
    unlink(copy.m_pszText);
    return result;
  }
  // The rename itself reaches the disk with the directory.
  CHobStrPath file;
  file.Split(path);
  int dir = open(file.Directory("/").m_pszText, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return HOB_HTP_OK;
}

// The change made in place on the password file open (and locked) as fd,
// with a private backup of before in the working directory, written back on
// any failure; the backup is removed again unless writing it back failed.
int ChangeInPlace(const char* path, int fd, const Change& change, const CHobString& before) {
  char backup[] = "htpasswd-backup.XXXXXX";
  int saved = mkostemp(backup, O_CLOEXEC);
  if (saved < 0) return errno == ENOSPC || errno == EDQUOT ? HOB_HTP_DISK_FULL : HOB_HTP_RUN_FAILED;
  int error = WriteAll(saved, before.m_pszText, static_cast<size_t>(before.GetLength()), true);
  close(saved);
  if (error != 0) {
    unlink(backup);
    return error == ENOSPC || error == EDQUOT ? HOB_HTP_DISK_FULL : HOB_HTP_RUN_FAILED;
  }
  CHobString start = StartingText(before, change.kind);
  int result = start == before || WriteAll(fd, start.m_pszText, start.GetLength(), false) == 0
                   ? RunAndCheck(path, fd, change, before)
                   : HOB_HTP_NO_ACCESS;
  if (result == HOB_HTP_OK) {
    fchmod(fd, static_cast<mode_t>(go.nFileMode));
  } else if (WriteAll(fd, before.m_pszText, static_cast<size_t>(before.GetLength()), true) != 0) {
    go.log.Trace("HtPasswd could not restore [%s]; its backup is [%s]", path, backup);
    return result;
  }
  unlink(backup);
  return result;
}

// Makes change to the password file path: the common checks, the lock, then
// the change on a copy or, where the directory cannot be written, in place.
int ChangePasswordFile(const char* path, const Change& change, int lockWait) {
  struct stat info;
  const bool exists = lstat(path, &info) == 0;
  if (!exists && change.kind != kCreate) return HOB_HTP_MISSING;
  if (!exists) {
    CHobStrPath file;
    file.Split(path);
    if (CHobFile::GetFileSize(file.Directory("/").m_pszText) < 0) return HOB_HTP_MISSING;
  }
  CHobString lockPath = CHobString(path) + ".lock";
  CHobFlock lock;
  int locked = lock.Lock(lockPath.m_pszText, false, lockWait);
  if (locked == HOB_LOCKED) return HOB_HTP_BUSY;
  bool inPlace = locked != HOB_OK;

  // Opening for update proves an existing file writable: a password file
  // made read-only stays as it is.
  int fd = exists || inPlace ? OpenRegular(path, O_RDWR | (exists ? 0 : O_CREAT)) : -1;
  if ((exists || inPlace) && fd < 0) return HOB_HTP_NO_ACCESS;
  int result = HOB_HTP_OK;
  if (inPlace && CHobFlock::Take(fd, false, lockWait) != HOB_OK) result = HOB_HTP_BUSY;
  CHobString before;
  if (result == HOB_HTP_OK && fd >= 0 && !ReadAll(fd, before)) result = HOB_HTP_NO_ACCESS;
  if (result == HOB_HTP_OK && change.kind == kDelete) {
    // The tool reports success for a user it does not find.
    result = HOB_HTP_NO_USER;
    CHobStrAry lines(0, 10);
    SplitLines(before.m_pszText, lines);
    for (int i = 0; i < lines.count; i++) {
      if (EntryName(lines.items[i]) == change.user) result = HOB_HTP_OK;
    }
  }
  if (result == HOB_HTP_OK && !inPlace) {
    result = ChangeByCopy(path, fd, change, before);
    if (result == kNoCopyHere) {
      inPlace = true;
      result = fd < 0                                           ? HOB_HTP_NO_ACCESS
               : CHobFlock::Take(fd, false, lockWait) != HOB_OK ? HOB_HTP_BUSY
                                                                : HOB_HTP_OK;
    }
  }
  if (result == HOB_HTP_OK && inPlace) result = ChangeInPlace(path, fd, change, before);
  if (fd >= 0) close(fd);
  return result;
}

// The entries of the password file open as fd, read from its start: the user
// names and hashes of its "name:hash" lines into names and hashes (blank
// lines, lines starting with "#" and lines without ":" are no entries).
// False when it cannot be read.
bool ReadEntries(int fd, CHobStrAry& names, CHobStrAry& hashes) {
  names.RemoveAll();
  hashes.RemoveAll();
  CHobString text;
  if (!ReadAll(fd, text)) return false;
  CHobStrAry lines(0, 10);
  SplitLines(text.m_pszText, lines);
  for (int i = 0; i < lines.count; i++) {
    CHobString& line = lines.items[i];
    line.Replace("\r", "", true);
    CHobString name = EntryName(line);
    if (name.IsEmpty()) continue;
    names.Add(name.m_pszText);
    hashes.Add(line.Mid(name.GetLength() + 1).m_pszText);
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
  return ChangePasswordFile(path, Change{kCreate, option.m_pszText, user, password}, lockWait);
}

int CHobHtPasswd::WriteAdd(const char* path, const char* user, const char* password, int type,
                           int lockWait) {
  CHobString option = OptionWord("-i", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  return ChangePasswordFile(path, Change{kAdd, option.m_pszText, user, password}, lockWait);
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
  return ChangePasswordFile(path, Change{kDelete, "-D", user, nullptr}, lockWait);
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
