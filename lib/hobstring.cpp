// CHobString: one owned, NUL-terminated byte string on the C heap.
// Operations that change the string build the new text in a fresh block
// before releasing the old one, so a source inside the string stays valid.
#include "hobstring.h"

#include <strings.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "hobbuffer.h"

namespace {

// Large enough for the decimal text of any 64-bit value with its sign and NUL.
constexpr size_t kNumberBlock = 24;
// Format writes into a block of this size, so its result holds at most one
// byte less.
constexpr size_t kFormatBlock = 4096;

char* EmptyBlock() { return static_cast<char*>(calloc(1, 1)); }

// A block of exactly n + 1 bytes holding the n bytes at text and a NUL.
char* CopyBlock(const char* text, size_t n) {
  char* block = static_cast<char*>(malloc(n + 1));
  memcpy(block, text, n);
  block[n] = '\0';
  return block;
}

char* CopyBlock(const char* text) { return CopyBlock(text, strlen(text)); }

// Give the string a new block, releasing the old one only now so that the
// new text may have been made from it.
void Adopt(CHobString& s, char* block) {
  free(s.m_pszText);
  s.m_pszText = block;
}

char* NumberBlock(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* NumberBlock(const char* format, ...) {
  char* block = static_cast<char*>(calloc(kNumberBlock, 1));
  va_list args;
  va_start(args, format);
  vsnprintf(block, kNumberBlock, format, args);
  va_end(args);
  return block;
}

// The six white-space bytes of the C locale; no byte of 0x80 or above.
bool IsWhiteSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A string holding the n bytes at text.
CHobString FromBytes(const char* text, int n) {
  CHobString result;
  result.Alloc(static_cast<unsigned>(n));
  memcpy(result.m_pszText, text, static_cast<size_t>(n));
  return result;
}

// Text built piece by piece in one block that doubles when full; Take hands
// the block over as a string's. A page's template is rewritten this way once
// per placeholder, so the block, made at the first piece, is as large as the
// text it replaces and some: a replacement a little longer than its
// placeholder then needs no second block.
class GrowingText {
 public:
  explicit GrowingText(size_t reserve) : m_pBlock(nullptr), m_nUsed(0), m_nSize(reserve) {}
  ~GrowingText() { free(m_pBlock); }
  GrowingText(const GrowingText&) = delete;
  GrowingText& operator=(const GrowingText&) = delete;

  void Append(const char* text, int n) {
    if (n <= 0) return;
    const size_t length = static_cast<size_t>(n);
    if (m_pBlock == nullptr || m_nUsed + length > m_nSize) {
      if (m_pBlock != nullptr) m_nSize *= 2;
      if (m_nUsed + length > m_nSize) m_nSize = m_nUsed + length;
      m_pBlock = static_cast<char*>(realloc(m_pBlock, m_nSize + 1));
    }
    memcpy(m_pBlock + m_nUsed, text, length);
    m_nUsed += length;
  }
  void Append(const char* text) {
    if (text != nullptr) Append(text, static_cast<int>(strlen(text)));
  }
  // The text with its NUL; the block is no longer this object's.
  char* Take() {
    if (m_pBlock == nullptr) return EmptyBlock();
    m_pBlock[m_nUsed] = '\0';
    char* block = m_pBlock;
    m_pBlock = nullptr;
    return block;
  }

 private:
  char* m_pBlock;
  size_t m_nUsed;
  size_t m_nSize;
};

using FindFunction = int (*)(const char*, int, const char*, int);

// What one replace call looks for and what it writes in place of a match.
struct ReplaceRule {
  FindFunction find;
  const char* begin;     // the search text, or the opening marker
  const char* end;       // the closing marker; null for a plain search
  const char* newBegin;  // written in place of the match (or the opening marker)
  const char* newEnd;    // written in place of the closing marker
  bool keepInner;        // keep the text between the markers
};

// The shared one-pass engine of the Replace and ReplaceNoCase forms. Text is
// copied piece by piece into an accumulator that becomes the string's block
// at the end, so replacement text is never searched again.
int ReplaceWith(CHobString& s, const ReplaceRule& rule, bool bAll) {
  if (s.m_pszText == nullptr || rule.begin == nullptr || rule.begin[0] == '\0') return 0;
  const char* text = s.m_pszText;
  const int length = static_cast<int>(strlen(text));
  const int beginLength = static_cast<int>(strlen(rule.begin));
  const int endLength = rule.end != nullptr ? static_cast<int>(strlen(rule.end)) : 0;
  GrowingText accumulator(static_cast<size_t>(length) + 512);
  int p = 0;
  int count = 0;
  for (;;) {
    const int a = rule.find(text, length, rule.begin, p);
    if (a < 0) break;
    const int inner = a + beginLength;
    int next = inner;
    int e = inner;
    if (rule.end != nullptr) {
      e = rule.find(text, length, rule.end, inner);
      if (e < 0) break;
      next = e + endLength;
    }
    accumulator.Append(text + p, a - p);
    accumulator.Append(rule.newBegin);
    if (rule.keepInner) {
      accumulator.Append(text + inner, e - inner);
      accumulator.Append(rule.newEnd);
    }
    p = next;
    ++count;
    if (!bAll) break;
  }
  if (count == 0) return 0;
  accumulator.Append(text + p, length - p);
  Adopt(s, accumulator.Take());
  return count;
}

int HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

const char kHexDigits[] = "0123456789ABCDEF";

enum class PercentSet { kNone, kUrlSafe, kUrlSafeAndSlash };

bool IsUnreserved(PercentSet set, unsigned char c) {
  if (set == PercentSet::kNone) return false;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  if (c == '*' || c == '-' || c == '.' || c == '_') return true;
  return set == PercentSet::kUrlSafeAndSlash && c == '/';
}

CHobString PercentEncode(const char* text, PercentSet set) {
  CHobString result;
  if (text == nullptr || text[0] == '\0') return result;
  const size_t length = strlen(text);
  result.Alloc(static_cast<unsigned>(length * 3));
  char* out = result.m_pszText;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ' ') {
      *out++ = '+';
    } else if (IsUnreserved(set, c)) {
      *out++ = static_cast<char>(c);
    } else {
      *out++ = '%';
      *out++ = kHexDigits[c >> 4];
      *out++ = kHexDigits[c & 0x0F];
    }
  }
  return result;
}

// ASCII case conversion of the first byte of each character of the text's
// code, so the second byte of a two-byte character, which may be a letter,
// is left alone.
CHobString ConvertCase(const CHobString& source, bool toUpper) {
  CHobString result(source);
  const int code = CHobString::StepCode(result.m_pszText);
  char* text = result.m_pszText;
  for (int length; (length = CHobString::CharLength(code, text)) > 0; text += length) {
    if (toUpper && *text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
    if (!toUpper && *text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
  return result;
}

// True when byte may follow lead in a character of the given code: in
// Shift_JIS 0x40-0x7E or 0x80-0xFC, in EUC-JP 0xA1-0xFE (0xA1-0xDF after
// 0x8E, which introduces a half-width katakana). Never "/"; in Shift_JIS "\\".
bool IsTrailByte(int code, unsigned char lead, unsigned char byte) {
  if (code == HOB_CODE_SJIS)
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
  if (lead == 0x8E) return byte >= 0xA1 && byte <= 0xDF;
  return byte >= 0xA1 && byte <= 0xFE;
}

// True when every byte of 0x80 and above belongs to an EUC-JP character.
bool IsEucJp(const char* text) {
  for (int length; (length = CHobString::CharLength(HOB_CODE_EUC, text)) > 0; text += length) {
    if (length == 1 && static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

}  // namespace

CHobString::CHobString() : m_pszText(EmptyBlock()) {}

CHobString::CHobString(const char* text)
    : m_pszText(text != nullptr ? CopyBlock(text) : EmptyBlock()) {}

CHobString::CHobString(const CHobString& other)
    : m_pszText(other.m_pszText != nullptr ? CopyBlock(other.m_pszText) : EmptyBlock()) {}

CHobString::CHobString(unsigned short value)
    : m_pszText(NumberBlock("%u", static_cast<unsigned>(value))) {}
CHobString::CHobString(short value) : m_pszText(NumberBlock("%d", static_cast<int>(value))) {}
CHobString::CHobString(unsigned int value) : m_pszText(NumberBlock("%u", value)) {}
CHobString::CHobString(int value) : m_pszText(NumberBlock("%d", value)) {}
CHobString::CHobString(unsigned long value) : m_pszText(NumberBlock("%lu", value)) {}
CHobString::CHobString(long value) : m_pszText(NumberBlock("%ld", value)) {}

CHobString::~CHobString() { free(m_pszText); }

CHobString& CHobString::operator=(const char* text) {
  Adopt(*this, text != nullptr ? CopyBlock(text) : EmptyBlock());
  return *this;
}

CHobString& CHobString::operator=(const CHobString& other) {
  if (this == &other) return *this;
  return *this = other.m_pszText;
}

CHobString& CHobString::operator=(unsigned short value) {
  Adopt(*this, NumberBlock("%u", static_cast<unsigned>(value)));
  return *this;
}
CHobString& CHobString::operator=(short value) {
  Adopt(*this, NumberBlock("%d", static_cast<int>(value)));
  return *this;
}
CHobString& CHobString::operator=(unsigned int value) {
  Adopt(*this, NumberBlock("%u", value));
  return *this;
}
CHobString& CHobString::operator=(int value) {
  Adopt(*this, NumberBlock("%d", value));
  return *this;
}
CHobString& CHobString::operator=(unsigned long value) {
  Adopt(*this, NumberBlock("%lu", value));
  return *this;
}
CHobString& CHobString::operator=(long value) {
  Adopt(*this, NumberBlock("%ld", value));
  return *this;
}

// Every conversion parses with strtol and narrows by truncation, the
// unsigned ones included.
CHobString::operator long() const {
  return m_pszText != nullptr ? strtol(m_pszText, nullptr, 10) : 0;
}
CHobString::operator int() const { return static_cast<int>(static_cast<long>(*this)); }
CHobString::operator unsigned int() const {
  return static_cast<unsigned int>(static_cast<long>(*this));
}
CHobString::operator unsigned long() const {
  return static_cast<unsigned long>(static_cast<long>(*this));
}
CHobString::operator short() const { return static_cast<short>(static_cast<long>(*this)); }
CHobString::operator unsigned short() const {
  return static_cast<unsigned short>(static_cast<long>(*this));
}

void CHobString::Alloc(unsigned int n) {
  _Free();
  m_pszText = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
}

const char* CHobString::ReAlloc(unsigned int n) {
  const size_t oldLength = static_cast<size_t>(GetLength());
  m_pszText = static_cast<char*>(realloc(m_pszText, static_cast<size_t>(n) + 1));
  if (oldLength < n) memset(m_pszText + oldLength, 0, n - oldLength);
  m_pszText[n] = '\0';
  return m_pszText;
}

void CHobString::Free() {
  if (m_pszText == nullptr) return;
  free(m_pszText);
  m_pszText = EmptyBlock();
}

void CHobString::_Free() {
  free(m_pszText);
  m_pszText = nullptr;
}

int CHobString::GetLength() const {
  return m_pszText != nullptr ? static_cast<int>(strlen(m_pszText)) : 0;
}

int CHobString::Compare(const char* text, int bNoCase) const {
  const char* own = m_pszText != nullptr ? m_pszText : "";
  return bNoCase != 0 ? strcasecmp(own, text) : strcmp(own, text);
}

bool CHobString::operator==(const char* text) const { return Compare(text, 0) == 0; }
bool CHobString::operator!=(const char* text) const { return Compare(text, 0) != 0; }
bool CHobString::operator<(const char* text) const { return Compare(text, 0) < 0; }
bool CHobString::operator<=(const char* text) const { return Compare(text, 0) <= 0; }
bool CHobString::operator>(const char* text) const { return Compare(text, 0) > 0; }
bool CHobString::operator>=(const char* text) const { return Compare(text, 0) >= 0; }

bool CHobString::operator==(const CHobString& other) const {
  return *this == (other.m_pszText != nullptr ? other.m_pszText : "");
}
bool CHobString::operator!=(const CHobString& other) const { return !(*this == other); }
bool CHobString::operator<(const CHobString& other) const {
  return *this < (other.m_pszText != nullptr ? other.m_pszText : "");
}
bool CHobString::operator<=(const CHobString& other) const { return !(other < *this); }
bool CHobString::operator>(const CHobString& other) const { return other < *this; }
bool CHobString::operator>=(const CHobString& other) const { return !(*this < other); }

CHobString& CHobString::operator+=(const char* text) {
  if (text == nullptr) return *this;
  if (m_pszText == nullptr) return *this = text;
  const size_t oldLength = strlen(m_pszText);
  const size_t addLength = strlen(text);
  // Appending a piece of this string: find it again after realloc moves it.
  const std::less<const char*> before;
  const bool own = !before(text, m_pszText) && before(text, m_pszText + oldLength + 1);
  const ptrdiff_t offset = own ? text - m_pszText : 0;
  m_pszText = static_cast<char*>(realloc(m_pszText, oldLength + addLength + 1));
  if (own) text = m_pszText + offset;
  memcpy(m_pszText + oldLength, text, addLength);
  m_pszText[oldLength + addLength] = '\0';
  return *this;
}

CHobString& CHobString::operator+=(const CHobString& other) { return *this += other.m_pszText; }

CHobString CHobString::operator+(const char* text) const {
  CHobString result(*this);
  result += text;
  return result;
}

CHobString CHobString::operator+(const CHobString& other) const {
  return *this + static_cast<const char*>(other.m_pszText);
}

CHobString CHobString::operator+(char* text) const {
  return *this + static_cast<const char*>(text);
}

CHobString& CHobString::Insert(const char* text) {
  if (text == nullptr) return *this;
  const char* own = m_pszText != nullptr ? m_pszText : "";
  const size_t addLength = strlen(text);
  const size_t oldLength = strlen(own);
  char* block = static_cast<char*>(malloc(addLength + oldLength + 1));
  memcpy(block, text, addLength);
  memcpy(block + addLength, own, oldLength + 1);
  Adopt(*this, block);
  return *this;
}

CHobString& CHobString::Insert(const CHobString& other) { return Insert(other.m_pszText); }

CHobString CHobString::Mid(int pos) const {
  if (pos < 0) pos = 0;
  if (pos >= GetLength()) return CHobString();
  return CHobString(m_pszText + pos);
}

CHobString CHobString::Mid(int pos, int n) const {
  if (pos < 0) pos = 0;
  const int rest = GetLength() - pos;
  const int count = n < rest ? n : rest;
  if (count <= 0) return CHobString();
  return FromBytes(m_pszText + pos, count);
}

CHobString CHobString::Left(int n) const { return Mid(0, n); }

CHobString CHobString::Right(int n) const {
  const int length = GetLength();
  if (n <= 0 || length == 0) return CHobString();
  return CHobString(m_pszText + length - (n < length ? n : length));
}

void CHobString::Delete(int pos) {
  if (m_pszText == nullptr) return;
  if (pos <= 0) {
    Free();
    return;
  }
  if (pos >= GetLength()) return;
  m_pszText[pos] = '\0';
  ReAlloc(static_cast<unsigned>(pos));
}

void CHobString::Delete(int pos, int n) {
  if (m_pszText == nullptr || n <= 0) return;
  if (pos < 0) pos = 0;
  const int length = GetLength();
  const int rest = length - pos;
  if (rest <= 0) return;
  if (n > rest) n = rest;
  memmove(m_pszText + pos, m_pszText + pos + n, static_cast<size_t>(rest - n) + 1);
  ReAlloc(static_cast<unsigned>(length - n));
}

int CHobString::Find(const char* pattern, int start) const {
  if (m_pszText == nullptr) return -1;
  return FindIn(m_pszText, GetLength(), pattern, start);
}

int CHobString::FindNoCase(const char* pattern, int start) const {
  if (m_pszText == nullptr) return -1;
  return FindNoCaseIn(m_pszText, GetLength(), pattern, start);
}

// The pattern's first byte is looked for with memchr, which reads no further
// than the byte it finds. A search that measured the rest of the text on
// every call (as a checked strstr does) would make splitting a long text into
// many pieces take quadratic time.
int CHobString::FindIn(const char* text, int length, const char* pattern, int start) {
  if (start < 0) start = 0;
  if (start >= length) return -1;
  const size_t patternLength = strlen(pattern);
  if (patternLength == 0) return start;
  const char* end = text + length;
  for (const char* p = text + start;; p++) {
    p = static_cast<const char*>(memchr(p, pattern[0], static_cast<size_t>(end - p)));
    if (p == nullptr || static_cast<size_t>(end - p) < patternLength) return -1;
    if (memcmp(p, pattern, patternLength) == 0) return static_cast<int>(p - text);
  }
}

int CHobString::FindNoCaseIn(const char* text, int length, const char* pattern, int start) {
  if (start < 0) start = 0;
  if (start >= length) return -1;
  const int patternLength = static_cast<int>(strlen(pattern));
  for (int p = start; p <= length - patternLength; ++p) {
    if (strncasecmp(text + p, pattern, static_cast<size_t>(patternLength)) == 0) return p;
  }
  return -1;
}

CHobString& CHobString::TrimLeft() {
  if (m_pszText == nullptr) return *this;
  const char* p = m_pszText;
  while (IsWhiteSpace(static_cast<unsigned char>(*p))) ++p;
  if (p != m_pszText) *this = p;
  return *this;
}

// No byte of a two-byte character is white space (see CharLength), so the
// text is trimmed byte by byte whatever its code.
CHobString& CHobString::TrimRight() {
  if (m_pszText == nullptr) return *this;
  const int length = GetLength();
  int end = length;
  while (end > 0 && IsWhiteSpace(static_cast<unsigned char>(m_pszText[end - 1]))) --end;
  if (end < length) Adopt(*this, CopyBlock(m_pszText, static_cast<size_t>(end)));
  return *this;
}

CHobString& CHobString::Trim() {
  TrimLeft();
  return TrimRight();
}

int CHobString::Replace(const char* search, const char* replacement, bool bAll) {
  return ReplaceWith(*this, {&CHobString::FindIn, search, nullptr, replacement, nullptr, false},
                     bAll);
}

int CHobString::Replace(const char* begin, const char* end, const char* replacement, bool bAll) {
  return ReplaceWith(*this, {&CHobString::FindIn, begin, end, replacement, nullptr, false}, bAll);
}

int CHobString::Replace(const char* begin, const char* end, const char* newBegin,
                        const char* newEnd, bool bAll) {
  return ReplaceWith(*this, {&CHobString::FindIn, begin, end, newBegin, newEnd, true}, bAll);
}

int CHobString::ReplaceNoCase(const char* search, const char* replacement, bool bAll) {
  return ReplaceWith(
      *this, {&CHobString::FindNoCaseIn, search, nullptr, replacement, nullptr, false}, bAll);
}

int CHobString::ReplaceNoCase(const char* begin, const char* end, const char* replacement,
                              bool bAll) {
  return ReplaceWith(*this, {&CHobString::FindNoCaseIn, begin, end, replacement, nullptr, false},
                     bAll);
}

int CHobString::ReplaceNoCase(const char* begin, const char* end, const char* newBegin,
                              const char* newEnd, bool bAll) {
  return ReplaceWith(*this, {&CHobString::FindNoCaseIn, begin, end, newBegin, newEnd, true}, bAll);
}

CHobString& CHobString::Format(const char* format, ...) {
  char* block = static_cast<char*>(calloc(kFormatBlock, 1));
  va_list args;
  va_start(args, format);
  vsnprintf(block, kFormatBlock, format, args);
  va_end(args);
  Adopt(*this, static_cast<char*>(realloc(block, strlen(block) + 1)));
  return *this;
}

// The first deciding byte wins: ESC "$" means JIS, bytes only EUC-JP uses mean
// EUC-JP, bytes only Shift_JIS uses mean Shift_JIS; text whose pairs fit both
// codes counts as Shift_JIS.
int CHobString::IsCode(const char* text) {
  if (text == nullptr) return HOB_CODE_NONE;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  int pairs = 0;
  while (*p != '\0') {
    const unsigned char b = p[0];
    const unsigned char n = p[1];
    if (b == 0x1B && n == '$') return HOB_CODE_JIS;
    if (b < 0x80) {
      ++p;
    } else if (b == 0x8E) {
      if (n < 0xA1 || n > 0xDF) return HOB_CODE_SJIS;
      ++pairs;
      p += 2;
    } else if (b <= 0x9F) {
      return HOB_CODE_SJIS;
    } else if (b <= 0xDF) {
      return n > 0xA0 ? HOB_CODE_EUC : HOB_CODE_SJIS;
    } else if (b <= 0xFC) {
      if (n == '\0') break;
      if (n <= 0xA0) return HOB_CODE_SJIS;
      ++pairs;
      p += 2;
    } else {
      return HOB_CODE_EUC;
    }
  }
  return pairs > 0 ? HOB_CODE_SJIS : HOB_CODE_NONE;
}

int CHobString::IsCode() const { return IsCode(m_pszText); }

bool CHobString::IsLeadByte(int code, unsigned char byte) {
  if (code == HOB_CODE_EUC) return byte == 0x8E || byte == 0x8F || (byte >= 0xA1 && byte <= 0xFE);
  if (code == HOB_CODE_SJIS)
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
  return false;
}

// A lead byte without a byte that may follow it stands alone, so a Latin-1
// "\xE9" before a "/" leaves the "/" a byte of its own.
int CHobString::CharLength(int code, const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  if (p[0] == '\0') return 0;
  if (!IsLeadByte(code, p[0]) || !IsTrailByte(code, p[0], p[1])) return 1;
  if (code == HOB_CODE_EUC && p[0] == 0x8F) return IsTrailByte(code, p[1], p[2]) ? 3 : 1;
  return 2;
}

int CHobString::StepCode(const char* text) {
  const int code = IsCode(text);
  return code == HOB_CODE_EUC && !IsEucJp(text) ? HOB_CODE_SJIS : code;
}

CHobString CHobString::CharToPerHexAll() const {
  return PercentEncode(m_pszText, PercentSet::kNone);
}

CHobString CHobString::CharToPerHex() const {
  return PercentEncode(m_pszText, PercentSet::kUrlSafe);
}

CHobString CHobString::CharToPerHexWithoutSlash() const {
  return PercentEncode(m_pszText, PercentSet::kUrlSafeAndSlash);
}

CHobString CHobString::CharToHex() const {
  const int length = GetLength();
  CHobString result;
  if (length == 0) return result;
  result.Alloc(static_cast<unsigned>(length) * 2);
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(m_pszText[i]);
    result.m_pszText[2 * i] = kHexDigits[c >> 4];
    result.m_pszText[2 * i + 1] = kHexDigits[c & 0x0F];
  }
  return result;
}

// A malformed escape decodes to whatever its digits are worth (non-digits and
// positions past the end count as 0); a decoded zero byte ends the result.
CHobString CHobString::PerHexToChar() const {
  const int length = GetLength();
  CHobString result;
  if (length == 0) return result;
  result.Alloc(static_cast<unsigned>(length));
  const unsigned char* in = reinterpret_cast<const unsigned char*>(m_pszText);
  char* out = result.m_pszText;
  int i = 0;
  while (i < length) {
    unsigned char c = in[i];
    if (c == '%') {
      const int high = i + 1 < length ? HexDigitValue(in[i + 1]) : 0;
      const int low = i + 2 < length ? HexDigitValue(in[i + 2]) : 0;
      c = static_cast<unsigned char>(high * 16 + low);
      i += 3;
    } else {
      if (c == '+') c = ' ';
      ++i;
    }
    if (c == '\0') break;
    *out++ = static_cast<char>(c);
  }
  return result;
}

// An odd last digit takes the terminator as its low digit ("ABC" gives 0xAB 0xC0).
CHobString CHobString::HexToChar() const {
  const int length = GetLength();
  CHobString result;
  if (length == 0) return result;
  result.Alloc(static_cast<unsigned>(length / 2 + 1));
  const unsigned char* in = reinterpret_cast<const unsigned char*>(m_pszText);
  for (int i = 0, j = 0; i < length; i += 2, ++j) {
    const int value = HexDigitValue(in[i]) * 16 + HexDigitValue(in[i + 1]);
    if (value == 0) break;
    result.m_pszText[j] = static_cast<char>(value);
  }
  return result;
}

CHobString CHobString::ToLower() const { return ConvertCase(*this, false); }

CHobString CHobString::ToUpper() const { return ConvertCase(*this, true); }

CHobString CHobString::GetToken(const char* begin, const char* end) const {
  const int a = Find(begin, 0);
  if (a < 0) return CHobString();
  const int inner = a + static_cast<int>(strlen(begin));
  const int e = Find(end, inner);
  if (e < 0) return CHobString();
  return Mid(inner, e - inner);
}

CHobString CHobString::GetToken(const char* separator, bool bWhole) const {
  const int a = Find(separator, 0);
  if (a < 0) return bWhole ? CHobString(*this) : CHobString();
  return Mid(0, a);
}

int CHobString::FindOneOf(const char* chars, int start) const {
  if (start < 0) start = 0;
  const int length = GetLength();
  if (m_pszText == nullptr || start >= length) return -1;
  const int found = start + static_cast<int>(strcspn(m_pszText + start, chars));
  return found < length ? found : -1;
}

CHobString CHobString::GetTokenOneOf(const char* chars, bool bWhole) const {
  const int a = FindOneOf(chars, 0);
  if (a < 0) return bWhole ? CHobString(*this) : CHobString();
  return Mid(0, a);
}
