// CHobGlobal: the process context. The single instance go is built during
// static initialisation, before main, and destroyed at process exit.
#include "hobglobal.h"

CHobGlobal go;

CHobGlobal::CHobGlobal()
    : nBcryptCost(0), nFileMode(0), bFileMode(false), nLockMode(0), nDirMode(0) {
  strSendmail = "sendmail";
  strHtpasswd = "htpasswd";
  nFileMode = 0666;
  nLockMode = 0666;
  nDirMode = 0777;
  // Last, so that the trace calls it makes find the log fully built; the log
  // has no name yet, so they write nothing.
  env.GetEnv();
}

CHobGlobal::~CHobGlobal() = default;
