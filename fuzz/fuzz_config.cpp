// CHobConfig::ReadFile on arbitrary file contents, and the write-read round
// trip of whatever it read.
//
// Input: bit 0 of byte 0 chooses perHex, bit 1 the round trip; the rest is
// the file.
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <string>

#include "fuzz_support.h"
#include "hobconfig.h"

namespace {

// A memory file reached by a path, so ReadFile and WriteFile open it as a
// file on disk would be opened.
struct MemoryFile {
  explicit MemoryFile(const char* name) : fd(memfd_create(name, 0)) {
    FUZZ_CHECK(fd >= 0);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  int fd;
  std::string path;
};

void Fill(const MemoryFile& file, const char* bytes, size_t n) {
  FUZZ_CHECK(ftruncate(file.fd, 0) == 0);
  FUZZ_CHECK(pwrite(file.fd, bytes, n, 0) == static_cast<ssize_t>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemoryFile source("fuzz_config_source");
  static const MemoryFile copy("fuzz_config_copy");
  FuzzInput input(data, size);
  const uint8_t flags = input.Byte();
  const bool perHex = (flags & 1) != 0;
  Fill(source, input.Rest(), input.RestSize());

  CHobConfig config(perHex);
  const int count = config.ReadFile(source.path.c_str());
  FUZZ_CHECK(count == config.count);
  std::set<std::string> keys;
  for (int i = 0; i < config.count; i++) {
    const CHobConfig::Entry& entry = config.items[i];
    FUZZ_CHECK(keys.insert(entry.tag.m_pszText).second);
    if (!perHex) {
      FUZZ_CHECK(entry.tag.Find("=") < 0);
      FUZZ_CHECK(entry.data.FindOneOf("\r\n") < 0);
    }
  }

  if (count > 0) {
    const CHobConfig::Entry& last = config.items[count - 1];
    FUZZ_CHECK(config.Value(last.tag.m_pszText) == last.data);
  }

  // What was read is written back and read again unchanged.
  if ((flags & 2) == 0) return 0;
  FUZZ_CHECK(config.WriteFile(copy.path.c_str()) >= 0);
  CHobConfig again(perHex);
  FUZZ_CHECK(again.ReadFile(copy.path.c_str()) == count);
  for (int i = 0; i < count; i++) {
    FUZZ_CHECK(again.items[i].tag == config.items[i].tag);
    FUZZ_CHECK(again.items[i].data == config.items[i].data);
  }
  return 0;
}
