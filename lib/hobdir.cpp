// CHobDir: a directory descriptor opened once, with O_NOFOLLOW on every name
// opened through it, and renames and removals relative to it.
#include "hobdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char kSuffixLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const int kSuffixLength = 6;

// True when name is prefix, ".", and a suffix as MakeFile makes it.
bool IsMadeName(const char* name, const char* prefix) {
  size_t length = strlen(prefix);
  if (strncmp(name, prefix, length) != 0 || name[length] != '.') return false;
  const char* suffix = name + length + 1;
  return strlen(suffix) == kSuffixLength &&
         strspn(suffix, kSuffixLetters) == static_cast<size_t>(kSuffixLength);
}

}  // namespace

CHobDir::CHobDir() : m_nFd(-1) {}

CHobDir::~CHobDir() {
  if (m_nFd >= 0) close(m_nFd);
}

int CHobDir::Open(const char* path) {
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (m_nFd >= 0) return HOB_DIR_OK;
  switch (errno) {
    case ENOENT:
      return HOB_DIR_MISSING;
    case ENOTDIR:
      // A link as last component also fails as "not a directory" when it
      // points to one: tell the two apart by what the name is.
      struct stat info;
      return lstat(path, &info) == 0 && S_ISLNK(info.st_mode) ? HOB_DIR_LINK : HOB_DIR_NOT_DIR;
    case ELOOP:
      return HOB_DIR_LINK;
    default:
      return HOB_DIR_NO_ACCESS;
  }
}

CHobString CHobDir::RealPath() const {
  if (m_nFd < 0) return CHobString();
  char link[64];
  char path[PATH_MAX + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", m_nFd);
  ssize_t length = readlink(link, path, PATH_MAX);
  if (length > 0 && path[0] == '/') {
    path[length] = '\0';
    // A directory removed since it was opened has no path.
    const char* deleted = " (deleted)";
    size_t tail = strlen(deleted);
    if (static_cast<size_t>(length) >= tail && strcmp(path + length - tail, deleted) == 0) {
      return CHobString();
    }
    return CHobString(path);
  }
  // Without /proc: the working directory's path while it is this directory.
  int saved = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (saved < 0) return CHobString();
  CHobString result;
  if (fchdir(m_nFd) == 0 && getcwd(path, sizeof path) != nullptr && path[0] == '/') result = path;
  if (fchdir(saved) != 0) result = "";
  close(saved);
  return result;
}

bool CHobDir::IsOpenToAll() const {
  struct stat info;
  return m_nFd >= 0 && fstat(m_nFd, &info) == 0 && (info.st_mode & S_IWOTH) != 0 &&
         (info.st_mode & S_ISVTX) == 0;
}

int CHobDir::OpenFile(const char* name, int flags, int mode) const {
  int fd = openat(m_nFd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -EINVAL;
  }
  // Non-blocking was only for the open: a FIFO must not wait for a peer.
  int status = fcntl(fd, F_GETFL);
  if (status >= 0) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  return fd;
}

int CHobDir::MakeFile(const char* prefix, CHobString& name) const {
  for (int attempt = 0; attempt < 100; attempt++) {
    unsigned char random[kSuffixLength];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -EIO;
    char suffix[kSuffixLength + 2] = ".";
    for (int i = 0; i < kSuffixLength; i++) {
      suffix[i + 1] = kSuffixLetters[random[i] % (sizeof kSuffixLetters - 1)];
    }
    name = CHobString(prefix) + suffix;
    int fd =
        openat(m_nFd, name.m_pszText, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

int CHobDir::Rename(const char* from, const char* to) const {
  if (renameat(m_nFd, from, m_nFd, to) != 0) return -errno;
  fsync(m_nFd);
  return 0;
}

int CHobDir::Remove(const char* name) const { return unlinkat(m_nFd, name, 0) == 0 ? 0 : -errno; }

int CHobDir::ReadFile(const char* name, CHobBuffer& out, int maxSize) const {
  out.Free();
  int fd = OpenFile(name, O_RDONLY);
  if (fd < 0) return fd;
  struct stat info;
  int result = fstat(fd, &info) != 0 ? -errno : info.st_size > maxSize ? -EFBIG : 0;
  if (result == 0 && info.st_size > 0) {
    out.Alloc(static_cast<unsigned>(info.st_size));
    ssize_t n = pread(fd, out.data, static_cast<size_t>(info.st_size), 0);
    result = n == info.st_size ? static_cast<int>(n) : n < 0 ? -errno : -EIO;
  }
  close(fd);
  if (result < 0) out.Free();
  return result;
}

int CHobDir::WriteFile(const char* name, const char* data, int length, int mode) const {
  int old = OpenFile(name, O_RDONLY);
  if (old < 0 && old != -ENOENT) return old;
  struct stat info;
  bool kept = old >= 0 && fstat(old, &info) == 0;
  if (old >= 0) close(old);
  CHobString temporary;
  int fd = MakeFile(name, temporary);
  if (fd < 0) return fd;
  int result = 0;
  for (ssize_t done = 0; result == 0 && done < length;) {
    ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) result = n < 0 ? -errno : -ENOSPC;
    if (n > 0) done += n;
  }
  if (result == 0) {
    TakeOwner(fd, kept ? &info : nullptr, mode);
    if (fsync(fd) != 0) result = -errno;
  }
  close(fd);
  if (result == 0) result = Rename(temporary.m_pszText, name);
  if (result != 0) Remove(temporary.m_pszText);
  return result;
}

void CHobDir::TakeOwner(int fd, const struct stat* old, int mode) {
  if (old != nullptr && fchown(fd, old->st_uid, old->st_gid) != 0) {
    (void)!fchown(fd, static_cast<uid_t>(-1), old->st_gid);
  }
  if (mode < 0) mode = old != nullptr ? static_cast<int>(old->st_mode & 07777) : 0644;
  fchmod(fd, static_cast<mode_t>(mode));
}

int CHobDir::RemoveStale(const char* prefix, int seconds) const {
  int fd = m_nFd >= 0 ? dup(m_nFd) : -1;
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return 0;
  }
  // Read from the start, whatever an earlier listing through a shared
  // descriptor left.
  rewinddir(listing);
  time_t before = time(nullptr) - seconds;
  int removed = 0;
  while (struct dirent* entry = readdir(listing)) {
    if (!IsMadeName(entry->d_name, prefix)) continue;
    struct stat info;
    if (fstatat(m_nFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) continue;
    if (info.st_mtime < before && unlinkat(m_nFd, entry->d_name, 0) == 0) removed++;
  }
  closedir(listing);
  return removed;
}
