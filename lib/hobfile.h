// CHobFlock: an exclusive, non-blocking inter-process lock on a lock file.
// CHobFile: one stdio stream with an optional lock; an object with no file
// open is bound to standard output.
#ifndef HOB_HOBFILE_H_
#define HOB_HOBFILE_H_

#include <cstddef>
#include <cstdio>

#include "hobbuffer.h"
#include "hobstring.h"

// Results of the file operations.
enum {
  HOB_OK = 0,
  HOB_FAILED = -1,       // the file operation itself failed
  HOB_LOCKED = -2,       // another process holds the lock
  HOB_NO_LOCK_FILE = -3  // the lock file cannot be created or opened
};

// The lock file used when no lock path is given, in the working directory.
extern const char* const kHobDefaultLockFile;

class CHobFlock {
 public:
  CHobFlock();
  CHobFlock(const CHobFlock&) = delete;
  CHobFlock& operator=(const CHobFlock&) = delete;
  // Releases a held lock.
  virtual ~CHobFlock();

  // Take the lock on path (null: "lockfile.lock"), creating the file with mode
  // go.nLockMode when missing; a link is never followed. An exclusive lock
  // excludes every other holder; a shared lock (a reader's) excludes only
  // exclusive holders. A lock held by another process is waited for up to
  // waitSeconds. 0 taken; -1 the lock file cannot be created or opened; -2
  // another process holds it (the descriptor is kept until Unlock).
  int Lock(const char* path = nullptr, bool shared = false, int waitSeconds = 0);
  // Lock as Lock does, on the lock file name in the directory open as dirFd
  // (AT_FDCWD: name is a path). REQUIRES: name is not null.
  int LockAt(int dirFd, const char* name, bool shared = false, int waitSeconds = 0);
  // Release and close; -1 when no descriptor is held or the release failed.
  int Unlock();
  // Take the lock on the caller's open descriptor fd, waiting up to
  // waitSeconds for another holder: 0 taken, -2 still held by another.
  static int Take(int fd, bool shared, int waitSeconds);

  int m_nFd;  // descriptor of the lock file, or -1
};

class CHobFile {
 public:
  // Bound to standard output with no file open.
  CHobFile();
  CHobFile(const CHobFile&) = delete;
  CHobFile& operator=(const CHobFile&) = delete;
  // Closes the file and releases the lock.
  virtual ~CHobFile();

  // Close whatever is open, take the lock when asked (-2 when another process
  // holds it, -3 when the lock file cannot be created or opened), then fopen
  // path with mode. A read-only mode takes the lock shared, so readers do not
  // exclude each other; any other mode takes it exclusive. 0 opened; -1 the
  // file cannot be opened (the lock is released again).
  int Open(const char* path, const char* mode, bool lock = false, const char* lockPath = nullptr);
  // Close an own stream and release the lock; a standard stream is left alone.
  void Close();
  // Release any held lock, then take the lock on lockPath (null: default),
  // exclusive unless shared is true.
  int Lock(const char* lockPath = nullptr, bool shared = false);
  int Unlock();

  // fgets into buf: 1 when text was read, 0 at end of file, -1 on an error.
  // REQUIRES: buf holds size bytes.
  int ReadString(char* buf, int size);
  // One whole line of any length, newline included: 1 for a line (also a last
  // line without newline), 0 at end of file, -1 on a read error.
  int ReadString(CHobString& line);
  // One fgets of at most size - 1 characters; "" at end of file.
  CHobString ReadString(int size);
  // One fread of up to len bytes: the count read, 0 at end of file, -1 on an error.
  int ReadBuffer(char* buf, int len);
  // A buffer of exactly len bytes filled by one ReadBuffer; bytes not
  // delivered stay zero.
  CHobBuffer ReadBuffer(int len);

  // fputs: the length written, 0 for a null text or a failed write.
  int WriteString(const char* text);
  // fwrite: len when all bytes were written, -1 otherwise, 0 for null data.
  int WriteBuffer(const char* data, int len);
  // vfprintf to the stream; its result.
  int WriteFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // fseek on an own stream; -1 on a standard stream.
  int Seek(long offset, int whence);

  // The stat mode word of path, or -1.
  static int GetFileAttr(const char* path);
  // The size of path in bytes, or -1.
  static int GetFileSize(const char* path);

  // The whole file into out: its size, 0 for an empty file, -1 when it cannot
  // be opened or read whole, -2 or -3 when the lock is not taken (as Open).
  int ReadFile(const char* path, CHobBuffer& out, bool lock = false,
               const char* lockPath = nullptr);
  // The whole file, or an empty buffer on any failure.
  CHobBuffer ReadFile(const char* path, bool lock = false, const char* lockPath = nullptr);
  // Replace the file's contents by len bytes: len, -1 on failure, -2 or -3
  // when the lock is not taken (as Open).
  int WriteFile(const char* path, const char* data, int len, bool lock = false,
                const char* lockPath = nullptr);

  CHobString m_strPath;  // path of the open file; empty when none
  FILE* m_pFile;         // never null: a standard stream or a stream this object closes
  CHobFlock m_lock;      // the lock taken for this file
};

// Results of CHobLineReader::Next.
enum {
  HOB_LINE_END = 0,        // no line is left
  HOB_LINE_OK = 1,         // a line
  HOB_LINE_ERROR = -1,     // the file cannot be read
  HOB_LINE_ZERO = -2,      // a line holding a zero byte (still returned whole)
  HOB_LINE_TOO_LONG = -3,  // a line longer than kHobMaxLine, skipped (returned empty)
};

// The longest line CHobLineReader returns whole.
const int kHobMaxLine = 65535;

// The most bytes CHobLineReader reads at once, and the block the password
// files are copied and written in.
const size_t kHobFileBlock = 8 * 1024;

// Reads the file open as a descriptor line by line, from its start, in
// blocks: one block in memory, whatever the file's size. The descriptor's
// own offset is neither used nor moved.
class CHobLineReader {
 public:
  // REQUIRES: fd stays open while the reader is used.
  explicit CHobLineReader(int fd = -1);
  CHobLineReader(const CHobLineReader&) = delete;
  CHobLineReader& operator=(const CHobLineReader&) = delete;

  // The next line, without its line feed, in *line and *length; valid until
  // the next call. A HOB_LINE_* code; after a line, m_bNewline says whether a
  // line feed ended it (a last line may have none).
  int Next(const char** line, int* length);
  // Read fd from its start from now on. REQUIRES: as the constructor.
  void Reset(int fd);

  bool m_bNewline;

 private:
  // Move what is left to the front and read more after it; false at the end
  // of the file or on an error (m_bError).
  bool Fill();
  // Skip the rest of a line too long for the buffer.
  int SkipLongLine(const char** line, int* length);

  int m_nFd;
  long long m_nOffset;  // where the next read starts in the file
  size_t m_nStart;      // the first unread byte in m_buf
  size_t m_nEnd;        // the end of the bytes in m_buf
  bool m_bEnd;          // the file has been read to its end
  bool m_bError;
  char m_buf[kHobMaxLine + 1];
};

#endif  // HOB_HOBFILE_H_
