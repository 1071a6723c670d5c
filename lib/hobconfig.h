// CHobConfig: a string map read from and written to a key=value settings file.
#ifndef HOB_HOBCONFIG_H_
#define HOB_HOBCONFIG_H_

#include "hobstrmap.h"

class CHobConfig : public CHobStrMap {
 public:
  CHobConfig();
  // perHex: keys and values are percent-encoded in the file.
  explicit CHobConfig(bool perHex);

  // Replace the entries by the file's: returns the entry count, -1 when the
  // file cannot be opened (the map is left empty), -2 when lock is true and
  // the lock is refused. lockPath null means "lockfile.lock".
  int ReadFile(const char* path, bool lock = false, const char* lockPath = nullptr);
  // Write one "key=value\n" line per entry, replacing the file: the number of
  // characters written, -1 or -2 as for reading.
  int WriteFile(const char* path, bool lock = false, const char* lockPath = nullptr);

  bool perHex;
};

#endif  // HOB_HOBCONFIG_H_
