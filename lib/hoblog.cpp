// CHobLog: appends one time-stamped line per call to the trace file. Each
// call opens, appends and closes, so concurrent processes share the file;
// the process id in each line tells their lines apart.
#include "hoblog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "hobglobal.h"

namespace {

// The date, time, process id and the caller's format in one line. The
// caller's format is inserted as text here and expanded only when the line is
// written, so its conversions meet the caller's arguments exactly once.
CHobString LineFormat(const char* fmt) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  CHobString line;
  line.Format("%04d/%02d/%02d %02d:%02d:%02d.%03d, %u, %s\n", local.tm_year + 1900,
              local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
              static_cast<int>(now.tv_usec / 1000), static_cast<unsigned>(getpid()), fmt);
  return line;
}

void WriteLine(const CHobLog& log, int priority, const char* fmt, va_list args) {
  if (log.bTrace == 0 || priority > log.nTraceLimit || log.strFileName == "") return;
  CHobString line = LineFormat(fmt != nullptr ? fmt : "");

  // Appended only to a regular file reached without a link, so the log can
  // never be turned into a write to some other file; its mode is set on the
  // descriptor for the same reason.
  int fd = open(log.strFileName.m_pszText,
                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                static_cast<mode_t>(go.nFileMode));
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    vdprintf(fd, line.m_pszText, args);
    fchmod(fd, static_cast<mode_t>(go.nFileMode));
  }
  close(fd);
}

}  // namespace

CHobLog::CHobLog() : bTrace(1), nTraceLimit(10), nTraceDefault(0) {}

CHobLog::~CHobLog() = default;

void CHobLog::Initialize(const char* name) {
  if (name != nullptr) strFileName = name;
}

void CHobLog::Trace(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(*this, nTraceDefault, fmt, args);
  va_end(args);
}

void CHobLog::Trace(int priority, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(*this, priority, fmt, args);
  va_end(args);
}
