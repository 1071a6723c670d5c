// CHobLog: the append-only trace log of the process.
#ifndef HOB_HOBLOG_H_
#define HOB_HOBLOG_H_

#include "hobstring.h"

class CHobLog {
 public:
  CHobLog();
  virtual ~CHobLog();

  // Name the log file; a null name changes nothing.
  void Initialize(const char* name);
  // Append "YYYY/MM/DD hh:mm:ss.mmm, pid, " and the formatted text and a
  // newline, at priority nTraceDefault. Nothing is written while tracing is
  // off, the log has no name, or the file cannot be opened.
  void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The same at the given priority.
  void Trace(int priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  CHobString strFileName;  // log file path; "" writes nothing
  int bTrace;              // 0 switches tracing off
  int nTraceLimit;         // lines above this priority are not written
  int nTraceDefault;       // priority of Trace(fmt, ...)
};

#endif  // HOB_HOBLOG_H_
