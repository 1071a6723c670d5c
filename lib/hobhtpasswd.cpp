// CHobHtPasswd: starts the password tool with an argument vector, never
// through a shell, so user names reach it as typed; "--" ends the tool's
// options, so a name starting with "-" stays a name. The password travels on
// the tool's standard input, never in an argument, which every local user
// could read in the process list while the tool runs.
//
// The tool only ever sees files in the program's working directory, which
// no other local user may write: it changes a private copy of the password
// file there, and verifies against a private copy of one entry. A changed
// copy is checked against the old file, both read as streams, and written
// into a new file made beside the password file through the directory's
// descriptor, which is then renamed over it. A directory that another local
// user may change can therefore at worst lose the new file or gain a link of
// that user's own; no write follows a link. Changes are serialised by a lock
// file beside the password file, which, unlike the file itself, outlives the
// swap; readers take it shared. A change holds it only while it copies the
// file (shared, as readers do) and while it swaps the result in: the tool
// runs and its result is checked with no lock held, so that changes of one
// file run side by side, and a change that another one overtook meanwhile is
// made again on the newer file. Where the directory cannot be written but
// the password file can, the result is written into the file through its
// descriptor, with a private backup written back on any failure. Files are
// read and copied in blocks, so a change, a list or a verify costs the same
// little memory whatever the file's size.
#include "hobhtpasswd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hobglobal.h"

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
// /dev/null). A bcrypt option word (ending in "B") gets go.nBcryptCost as
// "-C cost" where that is set. Returns the child's pid, or -1 when the tool
// cannot be started.
pid_t StartTool(const char* option, const char* const* args, int nArgs, int inFd, int outFd) {
  const char* tool = go.strHtpasswd.m_pszText;
  if (tool == nullptr || *tool == '\0') return -1;

  const char* argv[9];
  int argc = 0;
  argv[argc++] = tool;
  argv[argc++] = option;
  char cost[16];
  size_t length = strlen(option);
  if (go.nBcryptCost > 0 && length > 0 && option[length - 1] == 'B') {
    snprintf(cost, sizeof cost, "%d", go.nBcryptCost);
    argv[argc++] = "-C";
    argv[argc++] = cost;
  }
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

// The prefixes of the private files the program makes in its working
// directory: copies the tool changes, and backups of a file changed in place.
const char* const kCopyPrefix = "htpasswd-copy";
const char* const kBackupPrefix = "htpasswd-backup";
// Files of killed requests older than this are removed by later ones.
const int kStaleSeconds = 60;
// The most the kernel is asked to copy at once.
const size_t kKernelCopy = 16 * 1024 * 1024;

// Closes a descriptor when it goes out of scope.
class Closer {
 public:
  explicit Closer(int fd) : m_nFd(fd) {}
  ~Closer() {
    if (m_nFd >= 0) close(m_nFd);
  }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

 private:
  int m_nFd;
};

// A private file in the working directory, "prefix.XXXXXX", mode 0600,
// removed again when the object goes unless Keep was called.
class PrivateFile {
 public:
  explicit PrivateFile(const char* prefix) : m_bKeep(false) {
    m_strName = CHobString(prefix) + ".XXXXXX";
    m_nFd = mkostemp(m_strName.m_pszText, O_CLOEXEC);
    m_nError = m_nFd < 0 ? errno : 0;
  }
  ~PrivateFile() {
    if (m_nFd < 0) return;
    close(m_nFd);
    if (!m_bKeep) unlink(m_strName.m_pszText);
  }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  void Keep() { m_bKeep = true; }

  CHobString m_strName;  // relative to the working directory
  int m_nFd;             // -1 when it could not be made, with errno m_nError
  int m_nError;
  bool m_bKeep;
};

// The code of a failed write or file creation with errno error.
int WriteFailure(int error) {
  return error == ENOSPC || error == EDQUOT ? HOB_HTP_DISK_FULL : HOB_HTP_NO_ACCESS;
}

// True when the password file open as fd holds a line the tool refuses or
// that cannot be carried over: a zero byte, a line longer than kHobMaxLine,
// or a line that is neither blank, a comment nor a "name:hash" entry.
bool HoldsUnreadableLine(int fd) {
  CHobLineReader reader(fd);
  const char* line;
  int length;
  for (int read; (read = reader.Next(&line, &length)) != HOB_LINE_END;) {
    if (read != HOB_LINE_OK) return read != HOB_LINE_ERROR;
    int start = 0;
    while (start < length && strchr(" \t\r", line[start]) != nullptr) start++;
    if (start < length && line[start] != '#' &&
        memchr(line + start, ':', static_cast<size_t>(length - start)) == nullptr) {
      return true;
    }
  }
  return false;
}

// The code of a tool run that failed on the file open as fd, a copy of the
// password file open as old (-1: none) of length bytes: HOB_HTP_UNREADABLE
// when the password file holds a line the tool refuses, HOB_HTP_DISK_FULL
// when the file system of fd has too little room left for the file, else
// HOB_HTP_RUN_FAILED.
int ToolFailure(int fd, int old, off_t length) {
  if (old >= 0 && HoldsUnreadableLine(old)) return HOB_HTP_UNREADABLE;
  struct statvfs room;
  bool full =
      fstatvfs(fd, &room) == 0 && static_cast<unsigned long long>(room.f_bavail) * room.f_frsize <
                                      static_cast<unsigned long long>(length) + 8192;
  return full ? HOB_HTP_DISK_FULL : HOB_HTP_RUN_FAILED;
}

// Write length bytes of data to fd at its offset: 0 or an errno.
int WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

// Copy the whole file open as from, from its start, to to at its offset: 0
// or an errno. The kernel copies where it can; otherwise blocks are read and
// written.
int CopyAll(int from, int to) {
  off_t at = 0;
  for (;;) {
    ssize_t n = copy_file_range(from, &at, to, nullptr, kKernelCopy, 0);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      return errno;
    }
    break;
  }
  static char block[kHobFileBlock];
  for (;;) {
    ssize_t n = pread(from, block, sizeof block, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (int error = WriteAll(to, block, static_cast<size_t>(n))) return error;
    at += n;
  }
}

// Copy the file open as from to to as CopyAll does, and tell whether a line
// of it starts with user and ":" (an entry of user, or a line the tool would
// take for one) and whether it holds a zero byte: 0 or an errno.
int CopyFinding(int from, int to, const char* user, bool& found, bool& zero) {
  static char block[kHobFileBlock];
  // "\n" + user + ":", and the bytes of the last block that may begin it.
  CHobString needle = CHobString("\n") + user + ":";
  size_t needleLength = static_cast<size_t>(needle.GetLength());
  size_t carry = 1;  // the file's start counts as the end of a line
  block[0] = '\n';
  found = zero = false;
  for (off_t at = 0;;) {
    ssize_t n = pread(from, block + carry, sizeof block - carry, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (int error = WriteAll(to, block + carry, static_cast<size_t>(n))) return error;
    at += n;
    size_t filled = carry + static_cast<size_t>(n);
    if (!found) found = memmem(block, filled, needle.m_pszText, needleLength) != nullptr;
    if (!zero) zero = memchr(block + carry, '\0', static_cast<size_t>(n)) != nullptr;
    carry = filled < needleLength - 1 ? filled : needleLength - 1;
    memmove(block, block + filled - carry, carry);
  }
}

// True when line (length bytes) is an entry: a "name:hash" line, not a
// comment.
bool IsEntry(const char* line, int length) {
  return length > 0 && line[0] != '#' && memchr(line + 1, ':', length - 1) != nullptr;
}

// True when line (length bytes) is an entry of user, userLength bytes.
bool IsUserEntry(const char* line, int length, const char* user, int userLength) {
  return length > userLength && line[userLength] == ':' && line[0] != '#' && userLength > 0 &&
         memcmp(line, user, static_cast<size_t>(userLength)) == 0;
}

// The entries of the file open as fd: their count, HOB_HTP_UNREADABLE when a
// line cannot be read back, HOB_HTP_NO_ACCESS on a read error.
int CountEntries(int fd) {
  CHobLineReader reader(fd);
  const char* line;
  int length;
  int count = 0;
  for (;;) {
    int read = reader.Next(&line, &length);
    if (read == HOB_LINE_END) return count;
    if (read == HOB_LINE_ERROR) return HOB_HTP_NO_ACCESS;
    if (read != HOB_LINE_OK) return HOB_HTP_UNREADABLE;
    if (IsEntry(line, length)) count++;
  }
}

// Bytes for out, written in blocks.
class BlockWriter {
 public:
  explicit BlockWriter(int fd) : m_nFd(fd), m_nUsed(0), m_nError(0) {}
  // Append length bytes of data, and a line feed when bNewline.
  void Line(const char* data, int length, bool bNewline) {
    if (m_nFd < 0) return;
    size_t size = static_cast<size_t>(length);
    if (m_nUsed + size + 1 > sizeof m_buf) Flush();
    if (size + 1 > sizeof m_buf) {
      if (m_nError == 0) m_nError = WriteAll(m_nFd, data, size);
    } else {
      memcpy(m_buf + m_nUsed, data, size);
      m_nUsed += size;
    }
    if (bNewline) m_buf[m_nUsed++] = '\n';
  }
  // Write what is held: 0, or the errno of the first failed write.
  int Flush() {
    if (m_nError == 0 && m_nUsed > 0) m_nError = WriteAll(m_nFd, m_buf, m_nUsed);
    m_nUsed = 0;
    return m_nError;
  }

 private:
  int m_nFd;
  size_t m_nUsed;
  int m_nError;
  char m_buf[kHobFileBlock];
};

// The most entries of one user whose places a change carried over to a
// newer file keeps track of, and the most bytes of them.
const int kMaxCarried = 16;
const int kMaxCarriedBytes = 16 * 1024;

// The lines of a file that a change keeps: every line but the user's.
class KeptLines {
 public:
  KeptLines(int fd, const char* user, int userLength)
      : m_reader(fd),
        m_pszUser(user),
        m_nUserLength(userLength),
        m_nUserLines(0),
        m_nKept(0),
        m_bNone(fd < 0) {}
  // The next kept line, as CHobLineReader::Next gives it; user's lines are
  // skipped and counted, each with the number of kept lines before it.
  int Next(const char** line, int* length) {
    if (m_bNone) return HOB_LINE_END;
    for (;;) {
      int read = m_reader.Next(line, length);
      if (read != HOB_LINE_OK || !IsUserEntry(*line, *length, m_pszUser, m_nUserLength)) {
        if (read == HOB_LINE_OK) m_nKept++;
        return read;
      }
      if (m_nUserLines < kMaxCarried) m_anPlaces[m_nUserLines] = m_nKept;
      m_nUserLines++;
    }
  }
  int UserLines() const { return m_nUserLines; }
  // The kept lines returned so far.
  int Kept() const { return m_nKept; }
  // The number of kept lines before user's line i. REQUIRES: i < kMaxCarried.
  int Place(int i) const { return m_anPlaces[i]; }

 private:
  CHobLineReader m_reader;
  const char* m_pszUser;
  int m_nUserLength;
  int m_nUserLines;
  int m_nKept;
  int m_anPlaces[kMaxCarried];
  bool m_bNone;
};

// Where a checked change put the user's entries, so that it can be made
// again on a file that changed since: each entry in place of one the user
// had, each in the same place; after the last line, where the user had none;
// or, for a delete, none left.
enum { kCarryNone = 0, kCarryInPlace = 1, kCarryAtEnd = 2, kCarryRemoved = 3 };

// The user's entries of a checked change and where they went.
struct CarriedChange {
  CarriedChange() : nWhere(kCarryNone), nLines(0) {}
  int nWhere;                 // a kCarry* value; kCarryNone: the change cannot be made again
  int nLines;                 // the user's entries in the result
  CHobBuffer entries;         // those entries, each with its line feed
  int anPlaces[kMaxCarried];  // the number of kept lines before each
};

// Where a checked change put the user's userLines entries of the result,
// the number of kept lines before each in places, as a kCarry* value: the
// user's entries of before each replaced in its place, appended after the
// last line where before had none, or all removed; kCarryNone for any other
// change.
int CarriedPlaces(const KeptLines& kept, int userLines, const int* places) {
  int before = kept.UserLines();
  if (userLines == 0) return before > 0 ? kCarryRemoved : kCarryNone;
  if (before == 0) {
    for (int i = 0; i < userLines; i++) {
      if (places[i] != kept.Kept()) return kCarryNone;
    }
    return kCarryAtEnd;
  }
  if (before != userLines || before > kMaxCarried) return kCarryNone;
  for (int i = 0; i < userLines; i++) {
    if (places[i] != kept.Place(i)) return kCarryNone;
  }
  return kCarryInPlace;
}

// The code of a kept line that could not be read.
int KeptFailure(int read) {
  return read == HOB_LINE_ERROR ? HOB_HTP_NO_ACCESS : HOB_HTP_UNREADABLE;
}

// The checked change, with the result's bytes written to out: a code as
// CheckChange returns.
// With carried, the user's entries of the result and their places are
// kept there.
int CompareAndCopy(int before, int after, const char* user, int kind, int out, CHobHtCount& count,
                   CarriedChange* carried = nullptr) {
  const int userLength = static_cast<int>(strlen(user));
  KeptLines kept(kind == HOB_HTP_CREATE ? -1 : before, user, userLength);
  CHobLineReader result(after);
  BlockWriter writer(out);
  int userLines = 0;
  int keptLines = 0;  // lines of the result that are kept lines of before
  bool carriable = carried != nullptr;
  const char *line, *keptLine;
  int length, keptLength;
  for (;;) {
    int read = result.Next(&line, &length);
    if (read == HOB_LINE_END) break;
    if (read == HOB_LINE_ERROR) return HOB_HTP_NO_ACCESS;
    if (read != HOB_LINE_OK) return HOB_CHECK_DAMAGED;
    writer.Line(line, length, result.m_bNewline);
    if (IsUserEntry(line, length, user, userLength)) {
      if (length == userLength + 1) return HOB_CHECK_NO_HASH;
      carriable = carriable && userLines < kMaxCarried && result.m_bNewline &&
                  carried->entries.length + length < kMaxCarriedBytes;
      if (carriable) {
        carried->anPlaces[userLines] = keptLines;
        carried->entries.Append(line, static_cast<unsigned>(length));
        carried->entries.Append("\n", 1);
      }
      userLines++;
      count.nUsers++;
      continue;
    }
    int keptRead = kept.Next(&keptLine, &keptLength);
    if (keptRead != HOB_LINE_OK && keptRead != HOB_LINE_END) return KeptFailure(keptRead);
    if (keptRead == HOB_LINE_END || keptLength != length ||
        memcmp(keptLine, line, static_cast<size_t>(length)) != 0) {
      return HOB_CHECK_LINE_CHANGED;
    }
    keptLines++;
    if (IsEntry(line, length)) count.nUsers++;
  }
  int keptRead = kept.Next(&keptLine, &keptLength);
  if (keptRead == HOB_LINE_OK) return HOB_CHECK_LINES_DROPPED;
  if (keptRead != HOB_LINE_END) return KeptFailure(keptRead);
  count.nBefore = kept.UserLines();
  if (kind == HOB_HTP_DELETE && userLines > 0) return HOB_CHECK_USER_LEFT;
  if (kind != HOB_HTP_DELETE && userLines == 0) return HOB_CHECK_USER_MISSING;
  if (carriable) carried->nWhere = CarriedPlaces(kept, userLines, carried->anPlaces);
  if (carried != nullptr) carried->nLines = userLines;
  int error = writer.Flush();
  return error == 0 ? HOB_HTP_OK : WriteFailure(error);
}

// One change: its kind, the tool's option word, the user, the password on
// the tool's standard input (null: none), and for a create whether a file
// holding users may be replaced.
struct Change {
  int kind;
  const char* option;
  const char* user;
  const char* password;
  bool bReplace;
};

// Give the new password file open as fd the old one's owner and group and
// the program's mode, or the old file's when the settings name none. old is
// null for a new password file.
void SetOwnerAndMode(int fd, const struct stat* old) {
  bool keepMode = old != nullptr && !go.bFileMode;
  CHobDir::TakeOwner(fd, old, keepMode ? -1 : go.nFileMode);
}

// Write the checked copy into the password file open as fd itself, with a
// private backup of the file written back on any failure; the backup is
// kept where writing it back failed too.
int WriteInPlace(int fd, int copy) {
  PrivateFile backup(kBackupPrefix);
  if (backup.m_nFd < 0) return WriteFailure(backup.m_nError);
  int error = CopyAll(fd, backup.m_nFd);
  if (error == 0 && fsync(backup.m_nFd) != 0) error = errno;
  if (error != 0) return WriteFailure(error);
  error = ftruncate(fd, 0) != 0 ? errno : 0;
  if (error == 0 && lseek(fd, 0, SEEK_SET) < 0) error = errno;
  if (error == 0) error = CopyAll(copy, fd);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (error == 0) {
    if (go.bFileMode) fchmod(fd, static_cast<mode_t>(go.nFileMode));
    return HOB_HTP_OK;
  }
  bool restored = ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 &&
                  CopyAll(backup.m_nFd, fd) == 0 && fsync(fd) == 0;
  if (!restored) {
    backup.Keep();
    go.log.Trace("HtPasswd could not restore the password file; its backup is [%s]",
                 backup.m_strName.m_pszText);
  }
  return WriteFailure(error);
}

// Removes a new file in dir when the object goes, unless Keep was called.
class NewFile {
 public:
  NewFile(const CHobDir& dir, int fd, const CHobString& name)
      : m_dir(dir), m_nFd(fd), m_strName(name) {}
  ~NewFile() {
    if (m_nFd < 0) return;
    close(m_nFd);
    if (!m_strName.IsEmpty()) m_dir.Remove(m_strName.m_pszText);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  void Keep() { m_strName = ""; }

 private:
  const CHobDir& m_dir;
  int m_nFd;
  CHobString m_strName;
};

// The users of the password file open as old (-1: none) when a create
// without bReplace must leave it as it is: HOB_HTP_HAS_USERS with their
// number in count, or a code of a file that cannot be read; else HOB_HTP_OK.
int RefuseCreateOverUsers(int old, const Change& change, CHobHtCount& count) {
  if (change.kind != HOB_HTP_CREATE || old < 0 || change.bReplace) return HOB_HTP_OK;
  int users = CountEntries(old);
  if (users < 0) return users;
  count.nUsers = users;
  return users > 0 ? HOB_HTP_HAS_USERS : HOB_HTP_OK;
}

// What every change does first with the password file open as old (-1:
// none): its status into oldInfo, whether it exists into count, and the
// refusal of a create over users. A HOB_HTP_* code.
int BeginChange(int old, const Change& change, struct stat& oldInfo, CHobHtCount& count) {
  if (old >= 0 && fstat(old, &oldInfo) != 0) return HOB_HTP_NO_ACCESS;
  count.bExisted = old >= 0;
  return RefuseCreateOverUsers(old, change, count);
}

// The result file open as result given the owner and mode of the password
// file it replaces (info, or null for a new one) and synced: 0, or a
// HOB_HTP_* code.
int SealResult(int result, const struct stat* info) {
  SetOwnerAndMode(result, info);
  return fsync(result) == 0 ? 0 : WriteFailure(errno);
}

// The change made by the tool on the private copy, of the password file
// open as old (-1: none; size bytes), and checked, the result written to out
// (-1: nowhere): a HOB_HTP_* code. held (unless null) is released once the
// copy is made. With carried, where the change put the user's entries is
// kept there.
int ChangeCopy(int old, off_t size, const Change& change, const PrivateFile& copy, int out,
               CHobFlock* held, CHobHtCount& count, CarriedChange* carried) {
  int error = 0;
  if (change.kind == HOB_HTP_DELETE) {
    bool found = false, zero = false;
    error = CopyFinding(old, copy.m_nFd, change.user, found, zero);
    if (error == 0 && zero) return HOB_HTP_UNREADABLE;
    if (error == 0 && !found) return HOB_HTP_NO_USER;
  } else if (change.kind == HOB_HTP_ADD) {
    // The new entry must start a line of its own.
    error = CopyAll(old, copy.m_nFd);
    char last = '\n';
    if (error == 0 && size > 0 && pread(old, &last, 1, size - 1) != 1) error = errno;
    if (error == 0 && last != '\n') error = WriteAll(copy.m_nFd, "\n", 1);
  }
  if (error != 0) return WriteFailure(error);
  if (held != nullptr) held->Unlock();

  const char* const args[] = {copy.m_strName.m_pszText, change.user};
  if (RunTool(change.option, args, 2, change.password) != 0) {
    return ToolFailure(copy.m_nFd, change.kind == HOB_HTP_CREATE ? -1 : old, old >= 0 ? size : 0);
  }
  int checked = CompareAndCopy(old, copy.m_nFd, change.user, change.kind, out, count, carried);
  if (checked <= HOB_CHECK_LINE_CHANGED) {
    go.log.Trace("HtPasswd result of [%s] refused (%d): not the change asked for", change.option,
                 checked);
    return HOB_HTP_REFUSED;
  }
  if (checked != HOB_HTP_OK) return checked;
  if (change.kind == HOB_HTP_DELETE && count.nBefore == 0) return HOB_HTP_NO_USER;
  return HOB_HTP_OK;
}

// Opens the password file name in dir for a change: *fd the descriptor, or
// -1 where there is none and change is a create; else a HOB_HTP_* code.
// Opening for update proves an existing file writable: a password file made
// read-only stays as it is.
int OpenForChange(const CHobDir& dir, const char* name, const Change& change, int* fd) {
  *fd = dir.OpenFile(name, O_RDWR);
  if (*fd == -ENOENT && change.kind != HOB_HTP_CREATE) return HOB_HTP_MISSING;
  if (*fd < 0 && *fd != -ENOENT) return HOB_HTP_NO_ACCESS;
  if (*fd < 0) *fd = -1;
  return HOB_HTP_OK;
}

// The change made on a private copy, checked, then written beside the
// password file name in dir and renamed over it, or written into it where
// dir cannot be written. old is the password file open for update (-1: none).
int ChangeOpenFile(const CHobDir& dir, const char* name, int old, const Change& change,
                   CHobHtCount& count) {
  struct stat oldInfo;
  if (int refused = BeginChange(old, change, oldInfo, count)) return refused;
  // Where the result goes: a new file beside the password file, or, where
  // the directory cannot be written, the password file itself.
  CHobString resultName;
  int result = dir.MakeFile(name, resultName);
  bool inPlace = result == -EACCES || result == -EPERM || result == -EROFS;
  if (result < 0 && (!inPlace || old < 0)) return WriteFailure(-result);
  NewFile removeResult(dir, result, resultName);

  PrivateFile toolCopy(kCopyPrefix);
  if (toolCopy.m_nFd < 0) return WriteFailure(toolCopy.m_nError);
  off_t size = old >= 0 ? oldInfo.st_size : 0;
  int changed =
      ChangeCopy(old, size, change, toolCopy, inPlace ? -1 : result, nullptr, count, nullptr);
  if (changed != HOB_HTP_OK) return changed;
  if (inPlace) return WriteInPlace(old, toolCopy.m_nFd);

  if (int error = SealResult(result, old >= 0 ? &oldInfo : nullptr)) return error;
  if (dir.Rename(resultName.m_pszText, name) != 0) return HOB_HTP_NO_ACCESS;
  removeResult.Keep();
  return HOB_HTP_OK;
}

// What ChangeBesideLock and CarryOver return for a change that must be made
// under the lock from its start, as ChangeOpenFile makes it.
const int kMakeUnderLock = 1;

// True when the password file open as now is the one that was open as old
// (-1 for either: there was none), unchanged since info was taken of it.
bool Unchanged(int old, const struct stat& info, int now) {
  if (old < 0 || now < 0) return old < 0 && now < 0;
  struct stat current;
  return fstat(now, &current) == 0 && current.st_dev == info.st_dev &&
         current.st_ino == info.st_ino && current.st_size == info.st_size &&
         current.st_mtim.tv_sec == info.st_mtim.tv_sec &&
         current.st_mtim.tv_nsec == info.st_mtim.tv_nsec &&
         current.st_ctim.tv_sec == info.st_ctim.tv_sec &&
         current.st_ctim.tv_nsec == info.st_ctim.tv_nsec;
}

// The checked change carried made again on the password file open as now,
// which another change replaced since: now's lines written to out with the
// user's entries replaced, appended or removed as carried says, and count
// set from them. HOB_HTP_OK; kMakeUnderLock where the change does not fit
// now (the user's entries are not there as before); or a code as
// CompareAndCopy gives for a file it cannot read or write.
int CarryOver(int now, const CarriedChange& carried, const char* user, int out,
              CHobHtCount& count) {
  const int userLength = static_cast<int>(strlen(user));
  CHobLineReader reader(now);
  BlockWriter writer(out);
  const char* next = carried.entries.data;  // the user's next entry
  int users = 0, before = 0;
  bool newline = true;  // the last line read ended with a line feed
  const char* line;
  int length;
  for (;;) {
    int read = reader.Next(&line, &length);
    if (read == HOB_LINE_END) break;
    if (read != HOB_LINE_OK) return KeptFailure(read);
    newline = reader.m_bNewline;
    if (!IsUserEntry(line, length, user, userLength)) {
      writer.Line(line, length, newline);
      if (IsEntry(line, length)) users++;
      continue;
    }
    before++;
    if (carried.nWhere == kCarryRemoved) continue;
    if (carried.nWhere != kCarryInPlace || before > carried.nLines) return kMakeUnderLock;
    const char* end = static_cast<const char*>(memchr(next, '\n', strlen(next)));
    writer.Line(next, static_cast<int>(end - next), true);
    next = end + 1;
    users++;
  }
  bool fits = carried.nWhere == kCarryInPlace   ? before == carried.nLines
              : carried.nWhere == kCarryRemoved ? before > 0
                                                : carried.nWhere == kCarryAtEnd && before == 0;
  if (!fits) return kMakeUnderLock;
  if (carried.nWhere == kCarryAtEnd) {
    // The new entries start a line of their own.
    if (!newline) writer.Line("", 0, true);
    writer.Line(carried.entries.data, carried.entries.length, false);
    users += carried.nLines;
  }
  count.nUsers = users;
  count.nBefore = before;
  if (int error = writer.Flush()) return WriteFailure(error);
  return HOB_HTP_OK;
}

// Makes the change with the lock held only while the password file is
// copied (shared, as readers take it) and while the result is swapped in:
// the tool changes a private copy, and its result is checked and written
// beside the password file, with no lock held, so that changes of the same
// file run side by side. A change that another one overtook is made again
// on the file as it is now (CarryOver), or, where it does not fit, under the
// lock from its start. A HOB_HTP_* code, or kMakeUnderLock where the whole
// change must be made under the lock: there is no lock file, or the result
// cannot be written beside the password file.
int ChangeBesideLock(const CHobDir& dir, const char* name, const Change& change, int lockWait,
                     CHobHtCount& count) {
  CHobString lockName = CHobString(name) + ".lock";
  CHobFlock lock;
  int taken = lock.LockAt(dir.m_nFd, lockName.m_pszText, true, lockWait);
  if (taken == HOB_LOCKED) return HOB_HTP_BUSY;
  if (taken != HOB_OK) return kMakeUnderLock;
  int old;
  if (int opened = OpenForChange(dir, name, change, &old)) return opened;
  Closer closeOld(old);
  struct stat oldInfo;
  if (int refused = BeginChange(old, change, oldInfo, count)) return refused;
  CHobString resultName;
  int result = dir.MakeFile(name, resultName);
  if (result < 0) return kMakeUnderLock;
  NewFile removeResult(dir, result, resultName);
  PrivateFile copy(kCopyPrefix);
  if (copy.m_nFd < 0) return WriteFailure(copy.m_nError);

  // The copy is made under the shared lock, so a file written in place is
  // never read half-written; the old file stays readable through old after
  // another change replaced it.
  CarriedChange carried;
  off_t size = old >= 0 ? oldInfo.st_size : 0;
  int changed = ChangeCopy(old, size, change, copy, result, &lock, count, &carried);
  if (changed != HOB_HTP_OK) return changed;
  if (int error = SealResult(result, old >= 0 ? &oldInfo : nullptr)) return error;

  taken = lock.LockAt(dir.m_nFd, lockName.m_pszText, false, lockWait);
  if (taken == HOB_LOCKED) return HOB_HTP_BUSY;
  if (taken != HOB_OK) return HOB_HTP_NO_ACCESS;
  int now;
  if (int opened = OpenForChange(dir, name, change, &now)) return opened;
  Closer closeNow(now);
  if (!Unchanged(old, oldInfo, now)) {
    struct stat nowInfo;
    if (now >= 0 && fstat(now, &nowInfo) != 0) return HOB_HTP_NO_ACCESS;
    CHobHtCount recount = {count.nUsers, count.nBefore, now >= 0};
    int redone;
    if (change.kind == HOB_HTP_CREATE) {
      // The new file does not depend on the old one, unless that holds users.
      CHobHtCount users = recount;
      redone = RefuseCreateOverUsers(now, change, users);
      if (redone != HOB_HTP_OK) recount = users;
    } else {
      redone = ftruncate(result, 0) != 0 || lseek(result, 0, SEEK_SET) != 0
                   ? WriteFailure(errno)
                   : CarryOver(now, carried, change.user, result, recount);
    }
    if (redone == kMakeUnderLock) {
      count = CHobHtCount{0, 0, false};
      return ChangeOpenFile(dir, name, now, change, count);
    }
    count = recount;
    if (redone != HOB_HTP_OK) return redone;
    if (int error = SealResult(result, now >= 0 ? &nowInfo : nullptr)) return error;
  }
  // Renamed without CHobDir::Rename, which syncs the directory at once: here
  // that waits until the lock is released.
  if (renameat(dir.m_nFd, resultName.m_pszText, dir.m_nFd, name) != 0) return HOB_HTP_NO_ACCESS;
  removeResult.Keep();
  // The swap is done: the directory is synced, so that it outlives a crash,
  // with the lock already released.
  lock.Unlock();
  fsync(dir.m_nFd);
  return HOB_HTP_OK;
}

// Makes change to the password file name in dir under its lock.
int ChangePasswordFile(const CHobDir& dir, const char* name, const Change& change, int lockWait,
                       CHobHtCount* count) {
  CHobHtCount counted = {0, 0, false};
  if (count == nullptr) count = &counted;
  *count = counted;
  CHobDir work;
  if (work.Open(".") == HOB_DIR_OK) work.RemoveStale(kCopyPrefix, kStaleSeconds);
  dir.RemoveStale(name, kStaleSeconds);
  int beside = ChangeBesideLock(dir, name, change, lockWait, *count);
  if (beside != kMakeUnderLock) return beside;
  *count = counted;

  CHobString lockName = CHobString(name) + ".lock";
  CHobFlock lock;
  int locked = lock.LockAt(dir.m_nFd, lockName.m_pszText, false, lockWait);
  if (locked == HOB_LOCKED) return HOB_HTP_BUSY;
  int old;
  if (int opened = OpenForChange(dir, name, change, &old)) return opened;
  Closer closeOld(old);
  // No lock file can be made: the password file's own lock.
  if (locked != HOB_OK) {
    if (old < 0) return HOB_HTP_NO_ACCESS;
    if (CHobFlock::Take(old, false, lockWait) != HOB_OK) return HOB_HTP_BUSY;
  }
  return ChangeOpenFile(dir, name, old, change, *count);
}

// Open the password file name in dir for reading under its shared lock:
// the descriptor, or a negative HOB_HTP_* code.
int OpenForReading(const CHobDir& dir, const char* name, int lockWait, CHobFlock& lock) {
  int fd = dir.OpenFile(name, O_RDONLY);
  if (fd == -ENOENT) return HOB_HTP_MISSING;
  if (fd < 0) return HOB_HTP_NO_ACCESS;
  CHobString lockName = CHobString(name) + ".lock";
  int locked = lock.LockAt(dir.m_nFd, lockName.m_pszText, true, lockWait);
  if (locked == HOB_FAILED) locked = CHobFlock::Take(fd, true, lockWait);
  if (locked == HOB_OK) return fd;
  close(fd);
  return HOB_HTP_BUSY;
}

// Write user's first entry in the password file name in dir, as the tool
// would find it, with a line feed to out: a HOB_HTP_* code.
int FindEntry(const CHobDir& dir, const char* name, const char* user, int lockWait, int out) {
  CHobFlock lock;
  int fd = OpenForReading(dir, name, lockWait, lock);
  if (fd < 0) return fd;
  Closer closeFd(fd);
  CHobLineReader reader(fd);
  const int userLength = static_cast<int>(strlen(user));
  const char* line;
  int length;
  for (;;) {
    int read = reader.Next(&line, &length);
    if (read == HOB_LINE_END) return HOB_HTP_NO_USER;
    if (read != HOB_LINE_OK) return KeptFailure(read);
    if (IsUserEntry(line, length, user, userLength)) break;
  }
  if (WriteAll(out, line, static_cast<size_t>(length)) != 0 || WriteAll(out, "\n", 1) != 0) {
    return HOB_HTP_DISK_FULL;
  }
  return HOB_HTP_OK;
}

// Whether password is user's by the entry the private file entry holds, as
// the tool says: a HOB_HTP_* code, as Verify returns.
int VerifyCopy(const PrivateFile& entry, const char* user, const char* password) {
  // The tool exits with 3 when the password does not match.
  const char* const args[] = {entry.m_strName.m_pszText, user};
  int status = RunTool("-iv", args, 2, password);
  return status == 0 ? HOB_HTP_OK : status == 3 ? HOB_HTP_MISMATCH : HOB_HTP_RUN_FAILED;
}

}  // namespace

CHobHtList::CHobHtList() : m_nFd(-1) {}

CHobHtList::~CHobHtList() {
  if (m_nFd >= 0) close(m_nFd);
}

int CHobHtList::Next(const char** name, int* length, const char** kind) {
  const char* line;
  int size;
  for (;;) {
    int read = m_reader.Next(&line, &size);
    if (read == HOB_LINE_END) return 0;
    if (read == HOB_LINE_ERROR) return HOB_HTP_NO_ACCESS;
    if (read != HOB_LINE_OK) return HOB_HTP_UNREADABLE;
    if (size > 0 && line[size - 1] == '\r') size--;
    if (!IsEntry(line, size)) continue;
    const char* colon = static_cast<const char*>(memchr(line, ':', static_cast<size_t>(size)));
    *name = line;
    *length = static_cast<int>(colon - line);
    *kind = CHobHtPasswd::HashKind(colon + 1, static_cast<int>(line + size - colon - 1));
    return 1;
  }
}

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

int CHobHtPasswd::WriteNew(const CHobDir& dir, const char* name, const char* user,
                           const char* password, int type, bool bReplace, int lockWait,
                           CHobHtCount* count) {
  CHobString option = OptionWord("-ic", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  return ChangePasswordFile(dir, name,
                            Change{HOB_HTP_CREATE, option.m_pszText, user, password, bReplace},
                            lockWait, count);
}

int CHobHtPasswd::WriteAdd(const CHobDir& dir, const char* name, const char* user,
                           const char* password, int type, int lockWait, CHobHtCount* count) {
  CHobString option = OptionWord("-i", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  return ChangePasswordFile(dir, name, Change{HOB_HTP_ADD, option.m_pszText, user, password, false},
                            lockWait, count);
}

int CHobHtPasswd::Delete(const CHobDir& dir, const char* name, const char* user, int lockWait,
                         CHobHtCount* count) {
  return ChangePasswordFile(dir, name, Change{HOB_HTP_DELETE, "-D", user, nullptr, false}, lockWait,
                            count);
}

int CHobHtPasswd::WriteScratch(const char* path, const char* user, const char* password, int type) {
  CHobString option = OptionWord("-ic", type);
  if (option.IsEmpty()) return HOB_HTP_RUN_FAILED;
  int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  bool regular = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (fd >= 0) close(fd);
  if (!regular) return HOB_HTP_NO_ACCESS;
  const char* const args[] = {path, user};
  return RunTool(option.m_pszText, args, 2, password) == 0 ? HOB_HTP_OK : HOB_HTP_RUN_FAILED;
}

int CHobHtPasswd::Verify(const CHobDir& dir, const char* name, const char* user,
                         const char* password, int lockWait) {
  PrivateFile entry(kCopyPrefix);
  if (entry.m_nFd < 0) return WriteFailure(entry.m_nError);
  int found = FindEntry(dir, name, user, lockWait, entry.m_nFd);
  return found == HOB_HTP_OK ? VerifyCopy(entry, user, password) : found;
}

int CHobHtPasswd::OpenList(const CHobDir& dir, const char* name, int lockWait, CHobHtList& list) {
  int fd = OpenForReading(dir, name, lockWait, list.m_lock);
  if (fd < 0) return fd;
  list.m_nFd = fd;
  int count = CountEntries(fd);
  list.m_reader.Reset(fd);
  return count;
}

const char* CHobHtPasswd::HashKind(const char* hash, int length) {
  static const struct {
    const char* prefix;
    const char* kind;
  } kPrefixes[] = {{"$2y$", "bcrypt"}, {"$2b$", "bcrypt"}, {"$2a$", "bcrypt"}, {"$5$", "SHA-256"},
                   {"$6$", "SHA-512"}, {"$apr1$", "MD5"},  {"$1$", "MD5"},     {"{SHA}", "SHA-1"}};
  size_t size = length < 0 ? strlen(hash) : static_cast<size_t>(length);
  for (const auto& p : kPrefixes) {
    size_t prefix = strlen(p.prefix);
    if (size >= prefix && memcmp(hash, p.prefix, prefix) == 0) return p.kind;
  }
  // Traditional crypt: two characters of salt and eleven of hash, all from
  // its own alphabet.
  static const char kCryptLetters[] =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (size != 13) return "plain";
  for (size_t i = 0; i < size; i++) {
    if (hash[i] == '\0' || strchr(kCryptLetters, hash[i]) == nullptr) return "plain";
  }
  return "crypt";
}

int CHobHtPasswd::CheckChange(int before, int after, const char* user, int kind, int out,
                              CHobHtCount* count) {
  CHobHtCount counted = {0, 0, before >= 0};
  int result = CompareAndCopy(before, after, user, kind, out, counted);
  if (count != nullptr) *count = counted;
  return result;
}

int CHobHtPasswd::VerifyEntry(const char* entry, const char* user, const char* password) {
  // A line break would let the stored hash bring entries of its own.
  if (entry[strcspn(entry, "\r\n")] != '\0') return HOB_HTP_UNREADABLE;
  PrivateFile line(kCopyPrefix);
  if (line.m_nFd < 0) return WriteFailure(line.m_nError);
  if (int error = WriteAll(line.m_nFd, entry, strlen(entry))) return WriteFailure(error);
  if (int error = WriteAll(line.m_nFd, "\n", 1)) return WriteFailure(error);
  return VerifyCopy(line, user, password);
}
