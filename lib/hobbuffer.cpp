// CHobBuffer: a counted run of bytes on the C heap, always followed by one
// zero byte. Storage is sized exactly (length + 1 bytes); every resize goes
// through realloc.
#include "hobbuffer.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

// Exchange the storage of two buffers; used to move a finished result into
// place without copying it again.
void SwapStorage(CHobBuffer& a, CHobBuffer& b) {
  const int length = a.length;
  char* data = a.data;
  a.length = b.length;
  a.data = b.data;
  b.length = length;
  b.data = data;
}

// True when p points into the n bytes at block (so it may move on realloc).
bool PointsInto(const char* p, const char* block, int n) {
  const std::less<const char*> before;
  return block != nullptr && !before(p, block) && before(p, block + n);
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The six-bit value of a Base64 character; -1 for "=" and -2 for any byte
// outside the alphabet.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return -1;
  return -2;
}

}  // namespace

CHobBuffer::CHobBuffer() : length(0), data(nullptr) {}

CHobBuffer::CHobBuffer(unsigned n) : length(0), data(nullptr) {
  if (n > 0) Alloc(n);
}

CHobBuffer::CHobBuffer(const char* src, unsigned n) : length(0), data(nullptr) {
  if (n == 0) return;
  Alloc(n);
  memcpy(data, src, n);
}

CHobBuffer::CHobBuffer(const char* s) : length(0), data(nullptr) {
  if (s == nullptr) return;
  const size_t n = strlen(s);
  Alloc(static_cast<unsigned>(n));
  memcpy(data, s, n);
}

CHobBuffer::CHobBuffer(const CHobBuffer& other) : length(0), data(nullptr) {
  if (other.data == nullptr) return;
  Alloc(static_cast<unsigned>(other.length));
  memcpy(data, other.data, static_cast<size_t>(other.length));
}

CHobBuffer& CHobBuffer::operator=(const CHobBuffer& other) {
  if (this == &other) return *this;
  CHobBuffer copy(other);
  SwapStorage(*this, copy);
  return *this;
}

CHobBuffer::~CHobBuffer() { free(data); }

void CHobBuffer::Alloc(unsigned n) {
  free(data);
  data = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
  length = static_cast<int>(n);
}

char* CHobBuffer::ReAlloc(unsigned n) {
  data = static_cast<char*>(realloc(data, static_cast<size_t>(n) + 1));
  const int newLength = static_cast<int>(n);
  if (newLength > length) memset(data + length, 0, static_cast<size_t>(newLength - length));
  data[newLength] = '\0';
  length = newLength;
  return data;
}

void CHobBuffer::Free() {
  free(data);
  data = nullptr;
  length = 0;
}

void CHobBuffer::Delete(int pos) {
  if (pos <= 0) {
    Free();
    return;
  }
  if (pos >= length) return;
  ReAlloc(static_cast<unsigned>(pos));
}

void CHobBuffer::Delete(int pos, int n) {
  if (pos < 0) pos = 0;
  if (data == nullptr || n <= 0 || pos >= length) return;
  const int rest = length - pos;
  if (n > rest) n = rest;
  memmove(data + pos, data + pos + n, static_cast<size_t>(rest - n));
  ReAlloc(static_cast<unsigned>(length - n));
}

CHobBuffer& CHobBuffer::operator+=(const CHobBuffer& other) { return Append(other); }

CHobBuffer& CHobBuffer::Append(const CHobBuffer& other) {
  if (other.data == nullptr) return *this;
  return Append(other.data, static_cast<unsigned>(other.length));
}

CHobBuffer& CHobBuffer::Append(const char* src, unsigned n) {
  if (n == 0) return *this;
  // Appending a piece of this buffer: remember where it sits, as realloc may
  // move the storage.
  const bool own = PointsInto(src, data, length + 1);
  const ptrdiff_t offset = own ? src - data : 0;
  // The new bytes are copied over at once, so they are not cleared first.
  const int oldLength = length;
  data = static_cast<char*>(realloc(data, static_cast<size_t>(oldLength) + n + 1));
  if (own) src = data + offset;
  memcpy(data + oldLength, src, n);
  length = oldLength + static_cast<int>(n);
  data[length] = '\0';
  return *this;
}

CHobBuffer CHobBuffer::operator+(const CHobBuffer& other) const {
  CHobBuffer result(*this);
  result.Append(other);
  return result;
}

CHobBuffer& CHobBuffer::Insert(const char* src, unsigned n) {
  if (n == 0) return *this;
  // A fresh block is filled before the old one is released, so src may
  // point into this buffer.
  CHobBuffer joined(static_cast<unsigned>(length) + n);
  memcpy(joined.data, src, n);
  if (length > 0) memcpy(joined.data + n, data, static_cast<size_t>(length));
  SwapStorage(*this, joined);
  return *this;
}

CHobBuffer& CHobBuffer::Insert(const CHobBuffer& other) {
  if (other.data == nullptr) return *this;
  return Insert(other.data, static_cast<unsigned>(other.length));
}

CHobBuffer CHobBuffer::Mid(int pos) const {
  if (pos < 0) pos = 0;
  if (data == nullptr || pos >= length) return CHobBuffer();
  return CHobBuffer(data + pos, static_cast<unsigned>(length - pos));
}

CHobBuffer CHobBuffer::Mid(int pos, int n) const {
  if (pos < 0) pos = 0;
  if (data == nullptr || n <= 0 || pos >= length) return CHobBuffer();
  const int count = n < length - pos ? n : length - pos;
  return CHobBuffer(data + pos, static_cast<unsigned>(count));
}

CHobBuffer CHobBuffer::Left(int n) const { return Mid(0, n); }

CHobBuffer CHobBuffer::Right(int n) const {
  if (data == nullptr || n <= 0) return CHobBuffer();
  const int count = n < length ? n : length;
  return CHobBuffer(data + length - count, static_cast<unsigned>(count));
}

CHobBuffer CHobBuffer::GetToken(const char* separator, int separatorLen, bool bWhole) const {
  const int p = Find(separator, separatorLen, 0);
  if (p > 0) return CHobBuffer(data, static_cast<unsigned>(p));
  if (p == 0) return CHobBuffer();
  return bWhole ? CHobBuffer(*this) : CHobBuffer();
}

CHobBuffer CHobBuffer::GetToken(const char* begin, int beginLen, const char* end,
                                int endLen) const {
  const int a = Find(begin, beginLen, 0);
  if (a < 0) return CHobBuffer();
  const int inner = a + beginLen;
  const int b = Find(end, endLen, inner);
  if (b < 0) return CHobBuffer();
  return CHobBuffer(data + inner, static_cast<unsigned>(b - inner));
}

int CHobBuffer::Find(const char* pattern, int patternLen, int start) const {
  if (start < 0) start = 0;
  if (pattern == nullptr || data == nullptr || patternLen < 0 || start >= length) return -1;
  for (int p = start; p <= length - patternLen; ++p) {
    if (memcmp(data + p, pattern, static_cast<size_t>(patternLen)) == 0) return p;
  }
  return -1;
}

int CHobBuffer::Replace(const char* search, int searchLen, const char* replacement,
                        int replacementLen, bool bAll) {
  if (data == nullptr || search == nullptr || searchLen <= 0) return 0;
  CHobBuffer result;
  int p = 0;
  int count = 0;
  for (;;) {
    const int found = Find(search, searchLen, p);
    if (found < 0) break;
    result.Append(data + p, static_cast<unsigned>(found - p));
    if (replacementLen > 0) result.Append(replacement, static_cast<unsigned>(replacementLen));
    p = found + searchLen;
    ++count;
    if (!bAll) break;
  }
  if (count == 0) return 0;
  result.Append(data + p, static_cast<unsigned>(length - p));
  SwapStorage(*this, result);
  return count;
}

int CHobBuffer::Replace(const char* begin, int beginLen, const char* end, int endLen,
                        const char* replacement, int replacementLen, bool bAll) {
  if (data == nullptr || begin == nullptr || beginLen <= 0) return 0;
  CHobBuffer result;
  int p = 0;
  int count = 0;
  for (;;) {
    const int a = Find(begin, beginLen, p);
    if (a < 0) break;
    const int b = Find(end, endLen, a + beginLen);
    if (b < 0) break;
    result.Append(data + p, static_cast<unsigned>(a - p));
    if (replacementLen > 0) result.Append(replacement, static_cast<unsigned>(replacementLen));
    p = b + endLen;
    ++count;
    if (!bAll) break;
  }
  if (count == 0) return 0;
  result.Append(data + p, static_cast<unsigned>(length - p));
  SwapStorage(*this, result);
  return count;
}

CHobBuffer& CHobBuffer::Base64Encode(int lineLen) {
  if (data == nullptr || length == 0) return *this;
  CHobBuffer encoded = Base64Encode(data, length, lineLen);
  SwapStorage(*this, encoded);
  return *this;
}

CHobBuffer& CHobBuffer::Base64Decode() {
  if (data == nullptr) return *this;
  CHobBuffer decoded = Base64Decode(data, length);
  SwapStorage(*this, decoded);
  return *this;
}

CHobBuffer CHobBuffer::Base64Encode(const char* src, int len, int lineLen) {
  if (src == nullptr || len <= 0) return CHobBuffer();
  const int groups = (len + 2) / 3;
  // A line holds the smallest whole number of groups reaching lineLen.
  const int groupsPerLine = lineLen > 0 ? (lineLen + 3) / 4 : 0;
  const int lineFeeds = groupsPerLine > 0 ? (groups - 1) / groupsPerLine : 0;
  CHobBuffer result(static_cast<unsigned>(groups * 4 + lineFeeds));
  const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
  char* out = result.data;
  int onLine = 0;
  for (int i = 0; i < len; i += 3) {
    if (lineLen > 0 && onLine >= lineLen) {
      *out++ = '\n';
      onLine = 0;
    }
    const int rest = len - i;
    const unsigned bits = (static_cast<unsigned>(in[i]) << 16) |
                          (rest > 1 ? static_cast<unsigned>(in[i + 1]) << 8 : 0u) |
                          (rest > 2 ? static_cast<unsigned>(in[i + 2]) : 0u);
    *out++ = kBase64Alphabet[(bits >> 18) & 0x3F];
    *out++ = kBase64Alphabet[(bits >> 12) & 0x3F];
    *out++ = rest > 1 ? kBase64Alphabet[(bits >> 6) & 0x3F] : '=';
    *out++ = rest > 2 ? kBase64Alphabet[bits & 0x3F] : '=';
    onLine += 4;
  }
  return result;
}

// Groups of four symbols (alphabet characters and "=") are decoded in turn;
// every other byte, line feeds included, is skipped. A group ending in "=="
// gives one byte, one ending in "=" two, any other three. An unfinished last
// group counts as padded with "=", so two or three symbols still give one or
// two bytes, while a single symbol gives none.
CHobBuffer CHobBuffer::Base64Decode(const char* src, int len) {
  if (src == nullptr || len <= 0) return CHobBuffer();
  CHobBuffer result(static_cast<unsigned>((len / 4 + 1) * 3));
  unsigned char* out = reinterpret_cast<unsigned char*>(result.data);
  int produced = 0;
  int symbols[4];
  int filled = 0;
  for (int i = 0; i <= len; ++i) {
    const bool atEnd = i == len;
    if (!atEnd) {
      const int value = Base64Value(static_cast<unsigned char>(src[i]));
      if (value == -2) continue;
      symbols[filled++] = value;
      if (filled < 4) continue;
    } else {
      if (filled < 2) break;
      while (filled < 4) symbols[filled++] = -1;
    }
    unsigned bits = 0;
    for (int k = 0; k < 4; ++k)
      bits = (bits << 6) | static_cast<unsigned>(symbols[k] < 0 ? 0 : symbols[k]);
    const int bytes = symbols[2] < 0 && symbols[3] < 0 ? 1 : symbols[3] < 0 ? 2 : 3;
    out[produced++] = static_cast<unsigned char>(bits >> 16);
    if (bytes > 1) out[produced++] = static_cast<unsigned char>(bits >> 8);
    if (bytes > 2) out[produced++] = static_cast<unsigned char>(bits);
    filled = 0;
  }
  if (produced == 0) return CHobBuffer();
  result.ReAlloc(static_cast<unsigned>(produced));
  return result;
}
