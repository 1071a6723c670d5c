// CHobLineReader and the check of a changed password file on arbitrary
// files: the lines read give the file back, and a result that only appends
// one entry of a user the file does not name is accepted with one more user.
//
// Input: the password file.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "hobfile.h"
#include "hobhtpasswd.h"

namespace {

// A file in memory holding bytes, open for reading from its start.
int MemoryFile(const std::string& bytes) {
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  int fd = MemoryFile(file);
  CHobLineReader reader(fd);
  std::string rebuilt;
  bool damaged = false;
  const char* line;
  int length;
  for (int read; (read = reader.Next(&line, &length)) != HOB_LINE_END;) {
    FUZZ_CHECK(read != HOB_LINE_ERROR);
    if (read != HOB_LINE_OK) {
      damaged = true;
      FUZZ_CHECK(read == HOB_LINE_ZERO || (read == HOB_LINE_TOO_LONG && length == 0));
      if (read == HOB_LINE_TOO_LONG) break;
    }
    FUZZ_CHECK(length >= 0 && length <= kHobMaxLine);
    rebuilt.append(line, static_cast<size_t>(length));
    if (reader.m_bNewline) rebuilt += '\n';
  }
  if (!damaged || rebuilt.size() == file.size()) FUZZ_CHECK(rebuilt == file);

  // A user no line of the file starts with, added at the end.
  const std::string user = "\x7f\x7f";
  bool named = file.compare(0, user.size() + 1, user + ":") == 0 ||
               file.find("\n" + user + ":") != std::string::npos;
  std::string after = file;
  if (!after.empty() && after.back() != '\n') after += '\n';
  after += user + ":hash\n";
  int changed = MemoryFile(after);
  CHobHtCount count = {0, 0, false};
  int result = CHobHtPasswd::CheckChange(fd, changed, user.c_str(), HOB_HTP_ADD, -1, &count);
  if (!damaged && !named) {
    FUZZ_CHECK(result == HOB_HTP_OK);
    FUZZ_CHECK(count.nBefore == 0 && count.nUsers >= 1);
  }
  if (damaged) FUZZ_CHECK(result != HOB_HTP_OK);
  close(changed);
  close(fd);
  return 0;
}
