// CHobFlock and CHobFile: stdio file access under an advisory flock on a
// separate lock file: shared for readers, exclusive for writers, taken at
// once or after a bounded wait.
#include "hobfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "hobglobal.h"

const char* const kHobDefaultLockFile = "lockfile.lock";

namespace {

// Lines are read in pieces of at most this many characters.
const int kPieceSize = 2048;

bool IsStandardStream(const FILE* stream) {
  return stream == stdin || stream == stdout || stream == stderr;
}

// "r" and "rb" only read; "r+", "w" and "a" modes write.
bool IsReadOnlyMode(const char* mode) {
  return mode != nullptr && mode[0] == 'r' && strchr(mode, '+') == nullptr;
}

bool EndsWithNewline(const CHobString& text) {
  int length = text.GetLength();
  return length > 0 && text.m_pszText[length - 1] == '\n';
}

}  // namespace

CHobFlock::CHobFlock() : m_nFd(-1) {}

CHobFlock::~CHobFlock() { Unlock(); }

int CHobFlock::Lock(const char* path, bool shared, int waitSeconds) {
  return LockAt(AT_FDCWD, path == nullptr ? kHobDefaultLockFile : path, shared, waitSeconds);
}

int CHobFlock::LockAt(int dirFd, const char* name, bool shared, int waitSeconds) {
  Unlock();

  // A missing lock file is created and then given its mode explicitly, so its
  // permission bits do not depend on the umask. A link is never followed: a
  // lock file planted as a link must not create or chmod the file it points
  // to. Close-on-exec: a tool started while the lock is held must not keep it
  // alive after this process has ended.
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dirFd, name, flags);
  if (fd < 0 && errno == ENOENT) {
    fd = openat(dirFd, name, flags | O_CREAT | O_EXCL, go.nLockMode);
    if (fd >= 0) fchmod(fd, static_cast<mode_t>(go.nLockMode));
    // Another process created it first.
    if (fd < 0 && errno == EEXIST) fd = openat(dirFd, name, flags);
  }
  if (fd < 0) return HOB_FAILED;
  m_nFd = fd;
  return Take(m_nFd, shared, waitSeconds);
}

int CHobFlock::Take(int fd, bool shared, int waitSeconds) {
  const int operation = (shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  if (flock(fd, operation) == 0) return HOB_OK;
  // Tried again after pauses that grow from 1 ms to 50 ms, so that a lock
  // held for a moment is taken soon and a long wait costs little. The pause
  // varies with the process id, so that waiters do not retry in step.
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long pauseNs = 1000000 + (getpid() % 1000) * 1000;
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 >= waitSeconds) {
      return HOB_LOCKED;
    }
    struct timespec pause = {0, pauseNs};
    nanosleep(&pause, nullptr);
    if (flock(fd, operation) == 0) return HOB_OK;
    if (pauseNs < 50000000) pauseNs *= 2;
  }
}

int CHobFlock::Unlock() {
  if (m_nFd < 0) return HOB_FAILED;
  int released = flock(m_nFd, LOCK_UN);
  close(m_nFd);
  m_nFd = -1;
  return released == 0 ? HOB_OK : HOB_FAILED;
}

CHobFile::CHobFile() : m_pFile(stdout) {}

CHobFile::~CHobFile() {
  Close();
  Unlock();
}

int CHobFile::Open(const char* path, const char* mode, bool lock, const char* lockPath) {
  Close();
  if (lock) {
    int locked = Lock(lockPath, IsReadOnlyMode(mode));
    if (locked == HOB_FAILED) return HOB_NO_LOCK_FILE;
    if (locked != HOB_OK) return locked;
  }

  FILE* stream = path != nullptr && mode != nullptr ? fopen(path, mode) : nullptr;
  // A directory opens for reading but yields no bytes; it is not a file.
  struct stat info;
  if (stream != nullptr && (fstat(fileno(stream), &info) != 0 || S_ISDIR(info.st_mode))) {
    fclose(stream);
    stream = nullptr;
  }
  if (stream == nullptr) {
    Unlock();
    return HOB_FAILED;
  }
  m_pFile = stream;
  m_strPath = path;
  return HOB_OK;
}

void CHobFile::Close() {
  if (m_pFile == nullptr || IsStandardStream(m_pFile)) return;
  fclose(m_pFile);
  m_pFile = stdout;
  m_strPath = "";
  Unlock();
}

int CHobFile::Lock(const char* lockPath, bool shared) {
  m_lock.Unlock();
  return m_lock.Lock(lockPath, shared);
}

int CHobFile::Unlock() { return m_lock.Unlock(); }

int CHobFile::ReadString(char* buf, int size) {
  if (fgets(buf, size, m_pFile) != nullptr) return 1;
  return ferror(m_pFile) ? HOB_FAILED : 0;
}

int CHobFile::ReadString(CHobString& line) {
  // Pieces are read into the stack, so a line costs one block of its own
  // length rather than a cleared block of the piece size.
  char piece[kPieceSize + 1];
  int result = ReadString(piece, kPieceSize);
  line = result > 0 ? piece : "";
  if (result <= 0) return result;
  if (line.IsEmpty() || EndsWithNewline(line)) return 1;

  // A long line arrives in pieces; a last line without newline ends at end
  // of file and still counts as a line.
  do {
    result = ReadString(piece, kPieceSize);
    if (result > 0) line += piece;
  } while (result > 0 && !EndsWithNewline(line));
  return result < 0 ? HOB_FAILED : 1;
}

CHobString CHobFile::ReadString(int size) {
  CHobString text;
  if (size <= 0) return text;
  text.Alloc(size);
  if (ReadString(text.m_pszText, size) <= 0) text.Free();
  return text;
}

int CHobFile::ReadBuffer(char* buf, int len) {
  if (len <= 0) return 0;
  size_t count = fread(buf, 1, static_cast<size_t>(len), m_pFile);
  if (count > 0) return static_cast<int>(count);
  return ferror(m_pFile) ? HOB_FAILED : 0;
}

CHobBuffer CHobFile::ReadBuffer(int len) {
  CHobBuffer buffer;
  if (len <= 0) return buffer;
  buffer.Alloc(static_cast<unsigned>(len));
  ReadBuffer(buffer.data, len);
  return buffer;
}

int CHobFile::WriteString(const char* text) {
  if (text == nullptr) return 0;
  if (fputs(text, m_pFile) < 0) return 0;
  return static_cast<int>(strlen(text));
}

int CHobFile::WriteBuffer(const char* data, int len) {
  if (data == nullptr) return 0;
  if (len < 0) return HOB_FAILED;
  size_t count = fwrite(data, 1, static_cast<size_t>(len), m_pFile);
  return count == static_cast<size_t>(len) ? len : HOB_FAILED;
}

int CHobFile::WriteFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vfprintf(m_pFile, format, args);
  va_end(args);
  return result;
}

int CHobFile::Seek(long offset, int whence) {
  if (m_pFile == nullptr || IsStandardStream(m_pFile)) return HOB_FAILED;
  return fseek(m_pFile, offset, whence);
}

int CHobFile::GetFileAttr(const char* path) {
  struct stat info;
  if (path == nullptr || stat(path, &info) != 0) return HOB_FAILED;
  return static_cast<int>(info.st_mode);
}

int CHobFile::GetFileSize(const char* path) {
  struct stat info;
  if (path == nullptr || stat(path, &info) != 0) return HOB_FAILED;
  return static_cast<int>(info.st_size);
}

int CHobFile::ReadFile(const char* path, CHobBuffer& out, bool lock, const char* lockPath) {
  out.Free();
  int result = Open(path, "rb", lock, lockPath);
  if (result != HOB_OK) return result;

  // The size of the stream that is open, not of whatever the path names now.
  struct stat info;
  int size = fstat(fileno(m_pFile), &info) == 0 ? static_cast<int>(info.st_size) : HOB_FAILED;
  result = size < 0 ? HOB_FAILED : 0;
  if (size > 0) {
    out.Alloc(static_cast<unsigned>(size));
    size_t count = fread(out.data, 1, static_cast<size_t>(size), m_pFile);
    result = count == static_cast<size_t>(size) ? size : HOB_FAILED;
  }
  Close();
  return result;
}

CHobBuffer CHobFile::ReadFile(const char* path, bool lock, const char* lockPath) {
  CHobBuffer out;
  if (ReadFile(path, out, lock, lockPath) < 0) out.Free();
  return out;
}

int CHobFile::WriteFile(const char* path, const char* data, int len, bool lock,
                        const char* lockPath) {
  // Refused before the file is opened, which would empty it.
  if (len < 0 || (data == nullptr && len > 0)) return HOB_FAILED;
  int result = Open(path, "wb", lock, lockPath);
  if (result != HOB_OK) return result;

  size_t count = len > 0 ? fwrite(data, 1, static_cast<size_t>(len), m_pFile) : 0;
  // Flushing here reports a full disk, which fclose alone would hide.
  bool written = count == static_cast<size_t>(len) && fflush(m_pFile) == 0;
  Close();
  return written ? len : HOB_FAILED;
}

CHobLineReader::CHobLineReader(int fd)
    : m_bNewline(false),
      m_nFd(fd),
      m_nOffset(0),
      m_nStart(0),
      m_nEnd(0),
      m_bEnd(false),
      m_bError(false) {}

void CHobLineReader::Reset(int fd) {
  m_bNewline = false;
  m_nFd = fd;
  m_nOffset = 0;
  m_nStart = m_nEnd = 0;
  m_bEnd = m_bError = false;
}

bool CHobLineReader::Fill() {
  if (m_bEnd || m_bError) return false;
  memmove(m_buf, m_buf + m_nStart, m_nEnd - m_nStart);
  m_nEnd -= m_nStart;
  m_nStart = 0;
  // At most a block at a time, and a small one: a page of the buffer first
  // touched is a page fault, which on a virtual machine costs about ten
  // system calls, while the reads that larger blocks would save cost about
  // 1 % of a change of a million users.
  const size_t room = sizeof m_buf - m_nEnd < kHobFileBlock ? sizeof m_buf - m_nEnd : kHobFileBlock;
  for (;;) {
    ssize_t n = pread(m_nFd, m_buf + m_nEnd, room, m_nOffset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) m_bError = true;
    if (n <= 0) {
      m_bEnd = true;
      return false;
    }
    m_nEnd += static_cast<size_t>(n);
    m_nOffset += n;
    return true;
  }
}

int CHobLineReader::Next(const char** line, int* length) {
  const char* feed = nullptr;
  size_t searched = 0;  // bytes after m_nStart known to hold no line feed
  for (;;) {
    feed = static_cast<const char*>(
        memchr(m_buf + m_nStart + searched, '\n', m_nEnd - m_nStart - searched));
    if (feed != nullptr) break;
    searched = m_nEnd - m_nStart;
    if (searched == sizeof m_buf) return SkipLongLine(line, length);
    if (!Fill()) break;
  }
  if (m_bError) return HOB_LINE_ERROR;
  size_t end = feed != nullptr ? static_cast<size_t>(feed - m_buf) : m_nEnd;
  if (end == m_nStart && feed == nullptr) return HOB_LINE_END;
  *line = m_buf + m_nStart;
  *length = static_cast<int>(end - m_nStart);
  m_bNewline = feed != nullptr;
  m_nStart = feed != nullptr ? end + 1 : end;
  return memchr(*line, '\0', static_cast<size_t>(*length)) != nullptr ? HOB_LINE_ZERO : HOB_LINE_OK;
}

int CHobLineReader::SkipLongLine(const char** line, int* length) {
  const char* feed = nullptr;
  m_nStart = m_nEnd;
  while (feed == nullptr && Fill()) {
    feed = static_cast<const char*>(memchr(m_buf, '\n', m_nEnd));
    m_nStart = feed != nullptr ? static_cast<size_t>(feed - m_buf) + 1 : m_nEnd;
  }
  *line = m_buf;
  *length = 0;
  m_bNewline = feed != nullptr;
  return m_bError ? HOB_LINE_ERROR : HOB_LINE_TOO_LONG;
}
