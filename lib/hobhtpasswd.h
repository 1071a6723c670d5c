// CHobHtPasswd: runs the host's password tool (go.strHtpasswd) to print an
// entry, create a password file, or add a user to one. The tool is started
// directly, without a shell; each argument reaches it unchanged, and the
// password reaches it on its standard input.
#ifndef HOB_HOBHTPASSWD_H_
#define HOB_HOBHTPASSWD_H_

#include "hobstrary.h"
#include "hobstring.h"

// Results of WriteNew and WriteAdd.
enum {
  HOB_HTP_OK = 0,
  HOB_HTP_RUN_FAILED = -1,  // the tool did not run (unknown type, a password with a line
                            // break, no tool) or exited non-zero
  HOB_HTP_MISSING = -2,     // WriteNew: no directory; WriteAdd: no password file
  HOB_HTP_NO_ACCESS = -3,   // the password file cannot be opened for writing, or is no
                            // regular file
  HOB_HTP_BUSY = -4,        // another process held the password file's lock throughout
  HOB_HTP_NO_USER = -5,     // Delete, Verify: the user is not in the password file
  HOB_HTP_MISMATCH = -6,    // Verify: the password is not the user's
  HOB_HTP_DISK_FULL = -7    // no room on the disk for the changed password file
};

// Encryption types: 0 crypt, 1 MD5, 2 SHA-1, 3 bcrypt, 4 SHA-256 crypt, 5
// SHA-512 crypt.
class CHobHtPasswd {
 public:
  // Everything the tool printed for the entry of user, or "-1" when it
  // cannot be started. REQUIRES: user and password are not null.
  static CHobString Encrypt(const char* user, const char* password, int type);
  // Create or replace the password file path holding user's entry; a HOB_HTP_*
  // code. A change that fails in any way (the tool fails or is killed, its
  // result is not the change asked for, the disk is full) leaves an existing
  // file as it was. A lock held by another process is waited for up to
  // lockWait seconds.
  // REQUIRES: path, user and password are not null.
  static int WriteNew(const char* path, const char* user, const char* password, int type,
                      int lockWait = 0);
  // Add or update user's entry in the existing password file path; a HOB_HTP_*
  // code, failing and waiting for the lock as WriteNew does.
  // REQUIRES: path, user and password are not null.
  static int WriteAdd(const char* path, const char* user, const char* password, int type,
                      int lockWait = 0);
  // Remove user from the existing password file path, failing and waiting
  // for the lock as WriteNew does; a HOB_HTP_* code, HOB_HTP_NO_USER when the
  // user is not in the file, which is then left as it was.
  // REQUIRES: path and user are not null.
  static int Delete(const char* path, const char* user, int lockWait = 0);
  // Whether password is user's in the password file path: HOB_HTP_OK when it
  // is, HOB_HTP_MISMATCH when it is not, or another HOB_HTP_* code. Writes
  // nothing. REQUIRES: path, user and password are not null.
  static int Verify(const char* path, const char* user, const char* password, int lockWait = 0);
  // The users of the password file path in file order, with the kind of each
  // one's hash ("bcrypt", "SHA-256", "SHA-512", "MD5", "SHA-1", "crypt" or
  // "plain"), into names and kinds: their count, or HOB_HTP_MISSING or
  // HOB_HTP_NO_ACCESS. Writes nothing.
  // REQUIRES: path is not null.
  static int List(const char* path, CHobStrAry& names, CHobStrAry& kinds, int lockWait = 0);
  // The kind of a password-file hash, as List names it. REQUIRES: hash is not null.
  static const char* HashKind(const char* hash);
  // Have the tool write user's entry into path, an existing regular file of
  // the caller's own, for a tool that cannot print it; no lock is taken and
  // the file's mode is left alone. A HOB_HTP_* code.
  // REQUIRES: path, user and password are not null.
  static int WriteScratch(const char* path, const char* user, const char* password, int type);
};

#endif  // HOB_HOBHTPASSWD_H_
