// CHobHtPasswd: runs the host's password tool (go.strHtpasswd) to print an
// entry, create a password file, add a user to one or delete one, and
// verifies and lists the users of a password file. The tool is started
// directly, without a shell; each argument reaches it unchanged, and the
// password reaches it on its standard input. A password file is reached
// through its open directory (CHobDir) only.
#ifndef HOB_HOBHTPASSWD_H_
#define HOB_HOBHTPASSWD_H_

#include "hobdir.h"
#include "hobfile.h"
#include "hobstring.h"

// Results.
enum {
  HOB_HTP_OK = 0,
  HOB_HTP_RUN_FAILED = -1,  // the tool did not run (unknown type, a password with a line
                            // break, no tool) or exited non-zero
  HOB_HTP_MISSING = -2,     // there is no password file
  HOB_HTP_NO_ACCESS = -3,   // the password file cannot be read or written, or is no regular
                            // file, or a new one cannot be made in the directory
  HOB_HTP_BUSY = -4,        // another process held the password file's lock throughout
  HOB_HTP_NO_USER = -5,     // Delete, Verify: the user is not in the password file
  HOB_HTP_MISMATCH = -6,    // Verify: the password is not the user's
  HOB_HTP_DISK_FULL = -7,   // no room on the disk for the changed password file
  HOB_HTP_REFUSED = -8,     // the tool's result was not the change asked for
  HOB_HTP_UNREADABLE = -9,  // the password file holds a zero byte or a line longer than
                            // kHobMaxLine, which cannot be carried over unchanged
  HOB_HTP_HAS_USERS = -10   // WriteNew without bReplace: the password file holds users
};

// What a change does, for CheckChange.
enum { HOB_HTP_CREATE = 0, HOB_HTP_ADD = 1, HOB_HTP_DELETE = 2 };

// Reasons CheckChange refuses a changed file (besides HOB_HTP_* codes for
// files it cannot read or write).
enum {
  HOB_CHECK_LINE_CHANGED = -20,   // a line that should stay is changed, missing or moved,
                                  // or a line was added that is not the user's
  HOB_CHECK_LINES_DROPPED = -21,  // lines that should stay are missing at the end
  HOB_CHECK_NO_HASH = -22,        // an entry of the user has no hash
  HOB_CHECK_USER_MISSING = -23,   // create, add: no entry of the user
  HOB_CHECK_USER_LEFT = -24,      // delete: an entry of the user is still there
  HOB_CHECK_DAMAGED = -25         // the result holds a zero byte or a line too long to read
};

// Counts that a change, a list or a refused create report.
struct CHobHtCount {
  int nUsers;     // entries in the password file after the change (a refused create: in it)
  int nBefore;    // entries of the changed user before the change
  bool bExisted;  // the password file was there before the change
};

// The users of a password file, read one at a time: opened by
// CHobHtPasswd::OpenList, which holds the file open and locked until the
// object goes.
class CHobHtList {
 public:
  CHobHtList();
  CHobHtList(const CHobHtList&) = delete;
  CHobHtList& operator=(const CHobHtList&) = delete;
  // Closes the file and releases its lock.
  virtual ~CHobHtList();

  // The next user in file order: its name in *name and *length (valid until
  // the next call) and the kind of its hash (as HashKind names it) in *kind.
  // 1 for a user, 0 at the end, HOB_HTP_UNREADABLE for a line that cannot
  // be read back, HOB_HTP_NO_ACCESS on a read error.
  // REQUIRES: OpenList succeeded.
  int Next(const char** name, int* length, const char** kind);

  int m_nFd;                // the password file, or -1
  CHobFlock m_lock;         // its shared lock
  CHobLineReader m_reader;  // reads m_nFd
};

// Encryption types: 0 crypt, 1 MD5, 2 SHA-1, 3 bcrypt, 4 SHA-256 crypt, 5
// SHA-512 crypt.
class CHobHtPasswd {
 public:
  // Everything the tool printed for the entry of user, or "-1" when it
  // cannot be started. REQUIRES: user and password are not null.
  static CHobString Encrypt(const char* user, const char* password, int type);

  // Create or (with bReplace) replace the password file name in dir holding
  // user's entry only; a HOB_HTP_* code. Without bReplace a file that holds
  // users is left as it is: HOB_HTP_HAS_USERS, their number in count.
  //
  // Every change (WriteNew, WriteAdd, Delete) is made by the tool on a
  // private copy in the working directory; the result is checked
  // (CheckChange) and written into a new file in dir that is renamed over
  // the password file, which keeps its owner and group where it may and
  // takes go.nFileMode (or, when go.bFileMode is false, the old file's mode).
  // Where dir cannot be written, the result is written into the password file
  // itself, with a private backup written back on any failure. A change that
  // fails in any way (the tool fails or is killed, its result is not the
  // change asked for, the disk is full) leaves the file as it was. Changes
  // are serialised by the lock file name + ".lock" in dir (or, where it
  // cannot be made, the password file's own lock), each wait for it up to
  // lockWait seconds; changes made at the same time lose none of each
  // other's entries. On success count (unless null) holds the users after
  // the change and the user's entries before it.
  // REQUIRES: dir is open; name, user and password are not null.
  static int WriteNew(const CHobDir& dir, const char* name, const char* user, const char* password,
                      int type, bool bReplace, int lockWait, CHobHtCount* count);
  // Add user's entry to the existing password file, or change it when the
  // user has one; as WriteNew.
  static int WriteAdd(const CHobDir& dir, const char* name, const char* user, const char* password,
                      int type, int lockWait, CHobHtCount* count);
  // Remove user from the existing password file, as WriteNew;
  // HOB_HTP_NO_USER when the user is not in it, which is then left as it was.
  // REQUIRES: dir is open; name and user are not null.
  static int Delete(const CHobDir& dir, const char* name, const char* user, int lockWait,
                    CHobHtCount* count);
  // Whether password is user's in the password file: HOB_HTP_OK when it is,
  // HOB_HTP_MISMATCH when it is not, or another HOB_HTP_* code. The tool sees
  // only a private copy of the user's entry. Writes nothing else.
  // REQUIRES: dir is open; name, user and password are not null.
  static int Verify(const CHobDir& dir, const char* name, const char* user, const char* password,
                    int lockWait);
  // Open the existing password file for list and count its users, under a
  // shared lock waited for up to lockWait seconds: their count, or
  // HOB_HTP_MISSING, HOB_HTP_NO_ACCESS, HOB_HTP_BUSY or HOB_HTP_UNREADABLE.
  // REQUIRES: dir is open; name is not null; list is not open.
  static int OpenList(const CHobDir& dir, const char* name, int lockWait, CHobHtList& list);
  // The kind of a password-file hash of length bytes (-1: up to its zero
  // byte): "bcrypt", "SHA-256", "SHA-512", "MD5", "SHA-1", "crypt" or
  // "plain". REQUIRES: hash is not null.
  static const char* HashKind(const char* hash, int length = -1);
  // Have the tool write user's entry into path, an existing regular file of
  // the caller's own, for a tool that cannot print it; no lock is taken and
  // the file's mode is left alone. A HOB_HTP_* code.
  // REQUIRES: path, user and password are not null.
  static int WriteScratch(const char* path, const char* user, const char* password, int type);

  // Whether the file open as after is what the change kind (HOB_HTP_CREATE,
  // _ADD, _DELETE) of user makes of the file open as before (-1: none): every
  // line but user's the same and in order (none for a create), user's
  // entries, each with a hash, there (create, add) or gone (delete). Both are
  // read from their start as streams; with out >= 0 after's bytes are also
  // written to out as they are checked. 0 when it is; a HOB_CHECK_* reason;
  // HOB_HTP_UNREADABLE when before cannot be read back; HOB_HTP_NO_ACCESS on a
  // read error, HOB_HTP_DISK_FULL or HOB_HTP_NO_ACCESS when out cannot be
  // written. count (unless null) gets the users in after and the entries of
  // user in before. REQUIRES: user is not null.
  static int CheckChange(int before, int after, const char* user, int kind, int out,
                         CHobHtCount* count);
  // Whether password is that of entry, user's "user:hash" line kept
  // elsewhere (a database): HOB_HTP_OK when it is, HOB_HTP_MISMATCH when it
  // is not, HOB_HTP_UNREADABLE for an entry holding a line break, or another
  // HOB_HTP_* code. The tool checks a private copy of the entry (mode 0600)
  // in the working directory, removed again on every path.
  // REQUIRES: no argument is null.
  static int VerifyEntry(const char* entry, const char* user, const char* password);
};

#endif  // HOB_HOBHTPASSWD_H_
