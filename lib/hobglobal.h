// CHobGlobal: the process-wide context, the single global go, built during
// static initialisation and destroyed at process exit.
#ifndef HOB_HOBGLOBAL_H_
#define HOB_HOBGLOBAL_H_

#include "hobenv.h"
#include "hoblog.h"
#include "hobstring.h"

class CHobGlobal {
 public:
  // Builds the log (unnamed), captures the environment, and sets the tool
  // names and file modes.
  CHobGlobal();
  virtual ~CHobGlobal();

  CHobLog log;             // the trace log
  CHobEnv env;             // the CGI environment at start
  CHobString strSendmail;  // "sendmail"
  CHobString strHtpasswd;  // name or path of the password tool
  int nBcryptCost;         // the cost the tool is given for bcrypt (-C); 0: its own default
  int nFileMode;           // 0666: mode of every file the program writes
  bool bFileMode;          // false: the settings name no mode; a rewritten file keeps its own
  int nLockMode;           // 0666: mode of a lock file the program creates
  int nDirMode;            // 0777
};

extern CHobGlobal go;

#endif  // HOB_HOBGLOBAL_H_
