// The SetToken family of CHobStrAry and CHobBufAry on arbitrary text and
// markers, including text that lies inside the array being refilled.
//
// Input: byte 0 chooses the operation, bytes 1 and 2 are lo and hi, then the
// first and second marker, then the text. The string operations take each
// marker up to a zero byte and the text up to its first zero byte; the byte
// operations take markers of lo % 5 and hi % 5 bytes, zero bytes included.
//   0  CHobStrAry::SetToken(text, separator)
//   1  CHobStrAry::SetToken(text, begin, end)
//   2  CHobStrAry::SetTokenOneOf(text, chars)
//   3  CHobStrAry::SetTokenToCode(text, marker, lo, hi)
//   4  CHobStrAry::SetTokenToNotCode(text, marker, lo, hi)
//   5  CHobBufAry::SetToken(bytes, separator)
//   6  CHobBufAry::SetToken(bytes, begin, end)
#include <string>

#include "fuzz_support.h"
#include "hobbufary.h"
#include "hobstrary.h"

namespace {

struct Case {
  int op;
  unsigned lo;
  unsigned hi;
  std::string first;
  std::string second;
  const char* bytes;  // the text, in the fuzzer's buffer
  size_t size;
  std::string text;  // the text up to its first zero byte
};

int Split(CHobStrAry& ary, const Case& c, const char* text) {
  switch (c.op) {
    case 0:
      return ary.SetToken(text, c.first.c_str());
    case 1:
      return ary.SetToken(text, c.first.c_str(), c.second.c_str());
    case 2:
      return ary.SetTokenOneOf(text, c.first.c_str());
    case 3:
      return ary.SetTokenToCode(text, c.first.c_str(), c.lo, c.hi);
    default:
      return ary.SetTokenToNotCode(text, c.first.c_str(), c.lo, c.hi);
  }
}

int Split(CHobBufAry& ary, const Case& c, const char* bytes, size_t size) {
  const unsigned len = static_cast<unsigned>(size);
  const int firstLen = static_cast<int>(c.first.size());
  if (c.op == 5) return ary.SetToken(bytes, len, c.first.data(), firstLen);
  return ary.SetToken(bytes, len, c.first.data(), firstLen, c.second.data(),
                      static_cast<int>(c.second.size()));
}

// Pieces cut at a separator join back into the text; pieces between
// markers never hold the closing marker; pieces after a marker hold no stop
// byte.
void CheckPieces(const CHobStrAry& ary, const Case& c) {
  if (c.first.empty() || (c.op == 1 && c.second.empty())) {
    FUZZ_CHECK(ary.count == 0);
    return;
  }
  std::string joined;
  for (int i = 0; i < ary.count; i++) {
    const std::string piece = ary.items[i].m_pszText;
    if (c.op == 0) joined += (i > 0 ? c.first : "") + piece;
    if (c.op == 1) FUZZ_CHECK(piece.find(c.second) == std::string::npos);
    if (c.op == 2) {
      FUZZ_CHECK(piece.find_first_of(c.first) == std::string::npos);
      joined += piece;
    }
    for (unsigned char b : piece) {
      if (c.op == 3) FUZZ_CHECK(b < c.lo || b > c.hi);
      if (c.op == 4) FUZZ_CHECK(c.lo <= b && b <= c.hi);
    }
  }
  if (c.op == 0) FUZZ_CHECK(joined == c.text);
  if (c.op == 2) FUZZ_CHECK(joined.size() + ary.count - 1 == c.text.size());
}

void CheckPieces(const CHobBufAry& ary, const Case& c) {
  if (c.first.empty() || (c.op == 6 && c.second.empty())) {
    FUZZ_CHECK(ary.count == 0);
    return;
  }
  std::string joined;
  for (int i = 0; i < ary.count; i++) {
    const CHobBuffer& piece = ary.items[i];
    const std::string bytes(piece.data != nullptr ? piece.data : "",
                            static_cast<size_t>(piece.length));
    if (c.op == 5) joined += (i > 0 ? c.first : "") + bytes;
    if (c.op == 6) FUZZ_CHECK(bytes.find(c.second) == std::string::npos);
  }
  if (c.op == 5) FUZZ_CHECK(joined == std::string(c.bytes, c.size));
}

bool SameStrings(const CHobStrAry& a, const CHobStrAry& b) {
  if (a.count != b.count) return false;
  for (int i = 0; i < a.count; i++) {
    if (a.items[i] != b.items[i]) return false;
  }
  return true;
}

bool SameBuffers(const CHobBufAry& a, const CHobBufAry& b) {
  if (a.count != b.count) return false;
  for (int i = 0; i < a.count; i++) {
    if (a.items[i].length != b.items[i].length) return false;
    if (a.items[i].length > 0 &&
        memcmp(a.items[i].data, b.items[i].data, static_cast<size_t>(a.items[i].length)) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  Case c;
  c.op = input.Byte() % 7;
  c.lo = input.Byte();
  c.hi = input.Byte();
  if (c.op <= 4) {
    c.first = input.Field('\0');
    c.second = input.Field('\0');
  } else {
    c.first = input.Bytes(c.lo % 5);
    c.second = input.Bytes(c.hi % 5);
  }
  c.bytes = input.Rest();
  c.size = input.RestSize();
  c.text.assign(c.bytes, strnlen(c.bytes, c.size));

  if (c.op <= 4) {
    CHobStrAry ary(0, 10);
    FUZZ_CHECK(Split(ary, c, c.text.c_str()) == ary.count);
    CheckPieces(ary, c);
    // Splitting the last piece again, from inside the array that is emptied.
    if (ary.count == 0) return 0;
    CHobStrAry expected(0, 10);
    const std::string last = ary.items[ary.count - 1].m_pszText;
    Split(expected, c, last.c_str());
    Split(ary, c, ary.items[ary.count - 1].m_pszText);
    FUZZ_CHECK(SameStrings(ary, expected));
    return 0;
  }
  CHobBufAry ary(0, 10);
  FUZZ_CHECK(Split(ary, c, c.bytes, c.size) == ary.count);
  CheckPieces(ary, c);
  if (ary.count == 0) return 0;
  const CHobBuffer last = ary.items[ary.count - 1];
  CHobBufAry expected(0, 10);
  Split(expected, c, last.data, static_cast<size_t>(last.length));
  Split(ary, c, ary.items[ary.count - 1].data,
        static_cast<size_t>(ary.items[ary.count - 1].length));
  FUZZ_CHECK(SameBuffers(ary, expected));
  return 0;
}
