// CHobHtPasswd: runs the host's password tool (go.strHtpasswd) to print an
// entry, create a password file, or add a user to one. The tool is started
// directly, without a shell; each argument reaches it unchanged.
#ifndef HOB_HOBHTPASSWD_H_
#define HOB_HOBHTPASSWD_H_

#include "hobstring.h"

// Results of WriteNew and WriteAdd.
enum {
  HOB_HTP_OK = 0,
  HOB_HTP_RUN_FAILED = -1,  // the tool could not be started or exited non-zero
  HOB_HTP_MISSING = -2,     // WriteNew: no directory; WriteAdd: no password file
  HOB_HTP_NO_ACCESS = -3,   // the password file cannot be opened for writing
  HOB_HTP_BUSY = -4         // another process holds the password file's lock
};

class CHobHtPasswd {
 public:
  // Everything the tool printed for the entry of user (type 0 crypt, 1 MD5,
  // 2 SHA-1), or "-1" when it cannot be started.
  // REQUIRES: user and password are not null.
  static CHobString Encrypt(const char* user, const char* password, int type);
  // Create or replace the password file path holding user's entry; a HOB_HTP_*
  // code. A failed run leaves an existing file as it was.
  // REQUIRES: path, user and password are not null.
  static int WriteNew(const char* path, const char* user, const char* password, int type);
  // Add or update user's entry in the existing password file path; a HOB_HTP_*
  // code. REQUIRES: path, user and password are not null.
  static int WriteAdd(const char* path, const char* user, const char* password, int type);
};

#endif  // HOB_HOBHTPASSWD_H_
