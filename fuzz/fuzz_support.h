// Helpers shared by the fuzz targets: a check that aborts (so libFuzzer
// records the input), and the splitting of an input into fields.
#ifndef HOB_FUZZ_SUPPORT_H_
#define HOB_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A property that must hold for every input; a violation aborts the run.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

// Reads an input front to back: single bytes, then fields ended by a
// delimiter byte, then the rest. Past the end every read gives 0 or "".
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size)
      : data_(reinterpret_cast<const char*>(data)), size_(size), pos_(0) {}

  uint8_t Byte() { return pos_ < size_ ? static_cast<uint8_t>(data_[pos_++]) : 0; }

  // The next n bytes, or fewer at the end.
  std::string Bytes(size_t n) {
    if (n > size_ - pos_) n = size_ - pos_;
    pos_ += n;
    return std::string(data_ + pos_ - n, n);
  }

  // The bytes up to the next delimiter (consumed, not returned), or up to
  // the end when there is none.
  std::string Field(char delimiter) {
    const char* start = data_ + pos_;
    const void* found = memchr(start, delimiter, size_ - pos_);
    const size_t n = found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - start)
                                      : size_ - pos_;
    pos_ += found != nullptr ? n + 1 : n;
    return std::string(start, n);
  }

  // The unread bytes, in the fuzzer's own buffer: reading past them is caught.
  const char* Rest() const { return data_ + pos_; }
  size_t RestSize() const { return size_ - pos_; }

 private:
  const char* data_;
  size_t size_;
  size_t pos_;
};

#endif  // HOB_FUZZ_SUPPORT_H_
