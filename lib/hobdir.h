// CHobDir: one directory held open by a descriptor, and the files in it
// reached through that descriptor only. Nothing is looked up by path after
// the directory is opened, and no link is followed, so a directory whose
// names another local user may change can at worst lose or gain names, never
// send a write anywhere else.
#ifndef HOB_HOBDIR_H_
#define HOB_HOBDIR_H_

#include <sys/stat.h>

#include "hobbuffer.h"
#include "hobstring.h"

// Results of CHobDir::Open.
enum {
  HOB_DIR_OK = 0,
  HOB_DIR_MISSING = -1,    // the directory, or a directory above it, does not exist
  HOB_DIR_NOT_DIR = -2,    // the path names something that is not a directory
  HOB_DIR_LINK = -3,       // the last component of the path is a symbolic link
  HOB_DIR_NO_ACCESS = -4,  // it cannot be opened (permissions, a path too long, ...)
};

class CHobDir {
 public:
  CHobDir();
  CHobDir(const CHobDir&) = delete;
  CHobDir& operator=(const CHobDir&) = delete;
  // Closes the directory.
  virtual ~CHobDir();

  // Open the directory path (closing one held before); a link as its last
  // component is not followed. A HOB_DIR_* code. REQUIRES: path is not null.
  int Open(const char* path);

  // The absolute path of the open directory with every link and ".."
  // resolved, or "" when it cannot be learnt or none is open.
  CHobString RealPath() const;
  // True when every local user may create, rename and remove names in the
  // open directory: others may write it and its sticky bit is not set.
  bool IsOpenToAll() const;

  // Open the file name in the directory with open(2) flags (O_CREAT makes it
  // with mode): a descriptor of a regular file, or -errno; a link gives
  // -ELOOP, a directory, FIFO or device -EINVAL. The descriptor is
  // close-on-exec. REQUIRES: name is not null and holds no "/".
  int OpenFile(const char* name, int flags, int mode = 0600) const;
  // Make a new empty file "prefix.XXXXXX" (six random letters and digits),
  // mode 0600, that no other process opened: its descriptor (open for reading
  // and writing) with its name in name, or -errno. REQUIRES: prefix is not null.
  int MakeFile(const char* prefix, CHobString& name) const;
  // Rename from over to, both in the directory, then sync the directory so
  // that the rename outlives a crash: 0 or -errno.
  int Rename(const char* from, const char* to) const;
  // Remove the name name from the directory: 0 or -errno.
  int Remove(const char* name) const;
  // The whole regular file name, at most maxSize bytes, into out: its size,
  // or -errno (-ENOENT when missing, -ELOOP for a link, -EINVAL for no
  // regular file, -EFBIG when larger). REQUIRES: name is not null.
  int ReadFile(const char* name, CHobBuffer& out, int maxSize) const;
  // Replace the file name by length bytes of data: a new file made beside it
  // (MakeFile), written, given the old file's owner and group (see
  // TakeOwner) and mode (mode < 0: the old file's, or 0644 for a new one),
  // synced and renamed over it; no link is followed. 0 or -errno.
  // REQUIRES: name is not null; data holds length bytes.
  int WriteFile(const char* name, const char* data, int length, int mode) const;
  // Give the file open as fd the owner and group of old where the process
  // may, else old's group alone, and the mode mode (< 0: old's). old is null
  // for a file that replaces none: the mode (< 0: 0644) alone is set.
  static void TakeOwner(int fd, const struct stat* old, int mode);

  // Remove the regular files and links named "prefix.XXXXXX", as MakeFile
  // names them, last changed more than seconds ago: files of processes that
  // were killed. Their count.
  int RemoveStale(const char* prefix, int seconds) const;

  int m_nFd;  // descriptor of the open directory, or -1
};

#endif  // HOB_HOBDIR_H_
