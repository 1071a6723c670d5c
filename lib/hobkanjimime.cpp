// MIME in the converter: encoded words (RFC 2047) in the input, and encoded
// words or a whole-output Base64 or quoted-printable encoding in the output.
#include <strings.h>

#include <cstring>

#include "hobkanjistate.h"

namespace hobkanji {

namespace {

// ---------------------------------------------------------------------------
// Encoded words in the input.

struct CHobWordHead {
  Charset m_charset;
  char m_encoding;
};

// The heads recognised in strict mode, after the leading "=".
struct CHobKnownHead {
  const char* m_text;
  Charset m_charset;
  char m_encoding;
};
const CHobKnownHead kMimeHeads[] = {
    {"?EUC-JP?B?", kCsEuc, 'B'},        {"?SHIFT_JIS?B?", kCsSjis, 'B'},
    {"?ISO-8859-1?Q?", kCsLatin1, 'Q'}, {"?ISO-2022-JP?B?", kCsJis, 'B'},
    {"?ISO-2022-JP?Q?", kCsJis, 'Q'},   {"?UTF-8?B?", kCsUtf8, 'B'},
    {"?UTF-8?Q?", kCsUtf8, 'Q'},
};

Charset CharsetNamed(const char* name, int n) {
  struct CHobCharsetName {
    const char* m_text;
    Charset m_charset;
  };
  static const CHobCharsetName names[] = {{"ISO-2022-JP", kCsJis},
                                          {"SHIFT_JIS", kCsSjis},
                                          {"EUC-JP", kCsEuc},
                                          {"UTF-8", kCsUtf8},
                                          {"ISO-8859-1", kCsLatin1}};
  for (const CHobCharsetName& c : names) {
    if (static_cast<int>(strlen(c.m_text)) == n && strncasecmp(c.m_text, name, n) == 0) {
      return c.m_charset;
    }
  }
  return kCsOther;
}

// The RFC 2047 especials, which cannot stand in a charset name.
bool IsEspecial(int c) { return c > 0 && strchr("()<>@,;:\"/[]?.=", c) != nullptr; }

// Reads the head of an encoded word after its "="; every character read is
// left in buf. Strict mode knows the heads of kMimeHeads; lenient mode takes
// any charset name of up to 20 characters (without an RFC 2231 language
// suffix, "*lang", in its meaning).
bool ReadHead(CHobKanjiState& s, char* buf, int* n, CHobWordHead* head) {
  if (s.m_opt.m_mimeIn == kMimeStrict) {
    for (;;) {
      int c = RawChar(s);
      if (c < 0) return false;
      buf[(*n)++] = static_cast<char>(c);
      bool prefix = false;
      for (const CHobKnownHead& h : kMimeHeads) {
        int len = static_cast<int>(strlen(h.m_text));
        if (len >= *n && strncasecmp(h.m_text, buf, *n) == 0) {
          if (len == *n) {
            *head = CHobWordHead{h.m_charset, h.m_encoding};
            return true;
          }
          prefix = true;
        }
      }
      if (!prefix) return false;
    }
  }
  int c = RawChar(s);
  if (c < 0) return false;
  buf[(*n)++] = static_cast<char>(c);
  if (c != '?') return false;
  int nameLen = 0;
  int lang = -1;
  for (;;) {
    c = RawChar(s);
    if (c < 0) return false;
    buf[(*n)++] = static_cast<char>(c);
    if (c == '?') break;
    if (c <= 0x20 || c >= 0x7F || IsEspecial(c) || nameLen == 20) return false;
    if (c == '*' && lang < 0) lang = nameLen;
    nameLen++;
  }
  if (nameLen == 0) return false;
  c = RawChar(s);
  if (c < 0) return false;
  buf[(*n)++] = static_cast<char>(c);
  char encoding = static_cast<char>(c == 'b' ? 'B' : c == 'q' ? 'Q' : c);
  if (encoding != 'B' && encoding != 'Q') return false;
  c = RawChar(s);
  if (c < 0) return false;
  buf[(*n)++] = static_cast<char>(c);
  if (c != '?') return false;
  *head = CHobWordHead{CharsetNamed(buf + 1, lang >= 0 ? lang : nameLen), encoding};
  return true;
}

void UnreadAll(CHobKanjiState& s, const char* buf, int n) {
  while (n) Unread(s, static_cast<unsigned char>(buf[--n]));
}

// The bytes of a Japanese or UTF-8 word are decoded in its own code; those
// of a Latin-1 word pass as Latin-1 characters; others go through detection.
void StartWord(CHobKanjiState& s, const CHobWordHead& head) {
  CHobMimeWord& w = s.m_word;
  w = CHobMimeWord();
  w.m_active = true;
  w.m_encoding = head.m_encoding;
  w.m_savedCode = s.m_inCode;
  w.m_overridesCode = head.m_charset == kCsSjis || head.m_charset == kCsEuc ||
                      head.m_charset == kCsUtf8 || head.m_charset == kCsLatin1;
  if (head.m_charset == kCsSjis) SetCode(s, kInSjis);
  if (head.m_charset == kCsEuc) SetCode(s, kInEuc);
  if (head.m_charset == kCsUtf8) SetCode(s, kInUtf8);
  if (head.m_charset == kCsLatin1) s.m_inCode = kInLatin1;
}

// Linear white space between two encoded words is no part of the text
// (RFC 2047, 6.2); before anything else it stays. A line end counts as white
// space only when a space or tab follows it (a folded line).
void SkipSpaceBetweenWords(CHobKanjiState& s) {
  char space[kMaxSpaceRun + 3];
  int n = 0;
  while (n < kMaxSpaceRun) {
    int c = RawChar(s);
    if (c == ' ' || c == '\t') {
      space[n++] = static_cast<char>(c);
      continue;
    }
    if (c == '\r' || c == '\n') {
      char lineEnd[2] = {static_cast<char>(c), 0};
      int k = 1;
      int d = RawChar(s);
      if (c == '\r' && d == '\n') {
        lineEnd[k++] = '\n';
        d = RawChar(s);
      }
      if (d == ' ' || d == '\t') {
        for (int i = 0; i < k; ++i) space[n++] = lineEnd[i];
        space[n++] = static_cast<char>(d);
        continue;
      }
      Unread(s, d);
      UnreadAll(s, lineEnd, k);
      break;
    }
    Unread(s, c);
    break;
  }
  if (n == 0) return;
  int c = RawChar(s);
  if (c == '=') {
    char buf[kHeadSize];
    int m = 0;
    CHobWordHead head;
    bool word = ReadHead(s, buf, &m, &head);
    UnreadAll(s, buf, m);
    Unread(s, c);
    if (word) return;
  } else {
    Unread(s, c);
  }
  UnreadAll(s, space, n);
}

void EndWord(CHobKanjiState& s) {
  CHobMimeWord& w = s.m_word;
  w.m_active = false;
  if (w.m_overridesCode) SetCode(s, w.m_savedCode);
  s.m_inMode = kModeAscii;
  s.m_shiftOut = false;
  SkipSpaceBetweenWords(s);
}

void WordPush(CHobKanjiState& s, int c) {
  s.m_word.m_ring[s.m_word.m_ringLen++] = static_cast<unsigned char>(c);
}

// One Base64 group of the word: white space and stray characters are
// skipped; a group cut short by "?=" gives the bytes it holds, as if padded.
void WordFillBase64(CHobKanjiState& s) {
  int v[4] = {0, 0, 0, 0};
  int k = 0;
  int pads = 0;
  while (k + pads < 4) {
    int c = RawChar(s);
    if (c < 0) {
      s.m_word.m_done = true;
      break;
    }
    if (c == '?') {
      int d = RawChar(s);
      if (d == '=') {
        s.m_word.m_done = true;
        break;
      }
      Unread(s, d);
      continue;
    }
    if (c == '=') {
      pads++;
      continue;
    }
    int x = Base64Value(c);
    if (x < 0) continue;
    if (pads) {
      Unread(s, c);
      break;
    }
    v[k++] = x;
  }
  unsigned char bytes[3];
  for (int i = 0, n = Base64Bytes(v, k, bytes); i < n; i++) WordPush(s, bytes[i]);
}

// One character of a "Q" word: "=XX" is a byte, "_" a space.
void WordFillQ(CHobKanjiState& s) {
  int c = RawChar(s);
  if (c < 0) {
    s.m_word.m_done = true;
    return;
  }
  if (c == '?') {
    int d = RawChar(s);
    if (d == '=') {
      s.m_word.m_done = true;
      return;
    }
    Unread(s, d);
    WordPush(s, '?');
    return;
  }
  if (c == '_') {
    WordPush(s, ' ');
    return;
  }
  if (c == '=') {
    int h = RawChar(s);
    if (HexValue(h) >= 0) {
      int l = RawChar(s);
      if (HexValue(l) >= 0) {
        WordPush(s, HexValue(h) << 4 | HexValue(l));
        return;
      }
      Unread(s, l);
    }
    Unread(s, h);
  }
  WordPush(s, c);
}

}  // namespace

bool TryMimeWord(CHobKanjiState& s) {
  char buf[kHeadSize];
  int n = 0;
  CHobWordHead head;
  if (ReadHead(s, buf, &n, &head)) {
    StartWord(s, head);
    return true;
  }
  UnreadAll(s, buf, n);
  return false;
}

int WordGetc(CHobKanjiState& s) {
  CHobMimeWord& w = s.m_word;
  for (;;) {
    if (w.m_ringHead < w.m_ringLen) return w.m_ring[w.m_ringHead++];
    if (w.m_done) {
      EndWord(s);
      return NextChar(s);
    }
    w.m_ringHead = w.m_ringLen = 0;
    if (w.m_encoding == 'B') {
      WordFillBase64(s);
    } else {
      WordFillQ(s);
    }
  }
}

// ---------------------------------------------------------------------------
// MIME output.
//
// With M every stretch of text that holds non-ASCII characters becomes
// encoded words. A reader drops the white space between two encoded words
// and before the first one on a line (RFC 2047, 6.2), so white space there
// is encoded inside a word; only white space that has plain text on one
// side is written as it is. ASCII glued to non-ASCII text rides inside the
// word, and so does an ASCII word too long for a line. No line grows past
// 76 columns: words are folded before they would, or once more than 66
// columns stand on the line.

namespace {

constexpr int kLineMax = 76;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

const char* CharsetName(Charset cs) {
  switch (cs) {
    case kCsJis:
      return "ISO-2022-JP";
    case kCsSjis:
      return "SHIFT_JIS";
    case kCsEuc:
      return "EUC-JP";
    case kCsUtf8:
      return "UTF-8";
    default:
      return "ISO-8859-1";
  }
}

void Base64Group(CHobKanjiState& s, const unsigned char* b, int n,
                 void (*write)(CHobKanjiState&, int)) {
  write(s, kBase64[b[0] >> 2]);
  write(s, kBase64[(b[0] << 4 | (n > 1 ? b[1] >> 4 : 0)) & 0x3F]);
  write(s, n > 1 ? kBase64[(b[1] << 2 | (n > 2 ? b[2] >> 6 : 0)) & 0x3F] : '=');
  write(s, n > 2 ? kBase64[b[2] & 0x3F] : '=');
}

void LineWrite(CHobKanjiState& s, int c) {
  MemPutc(s, c);
  s.m_mime.m_col = c == '\n' ? 0 : s.m_mime.m_col + 1;
  s.m_mime.m_last = c;
}

// "Q" words write letters, digits and "!*+-/" as they are, a space as "_".
bool IsQLiteral(int b) { return IsAlnum(b) || (b && strchr("!*+-/", b)); }

void WordByte(CHobKanjiState& s, int b) {
  CHobMimeOut& m = s.m_mime;
  if (m.m_wordEncoding == 'B') {
    m.m_group[m.m_groupN++] = static_cast<unsigned char>(b);
    if (m.m_groupN == 3) {
      Base64Group(s, m.m_group, 3, LineWrite);
      m.m_groupN = 0;
    }
  } else if (IsQLiteral(b)) {
    LineWrite(s, b);
  } else if (b == ' ') {
    LineWrite(s, '_');
  } else {
    LineWrite(s, '=');
    LineWrite(s, kHex[b >> 4]);
    LineWrite(s, kHex[b & 15]);
  }
}

void WholeLineWrite(CHobKanjiState& s, int c) {
  MemPutc(s, c);
  if (++s.m_mime.m_line == 72) {
    MemPutc(s, '\n');
    s.m_mime.m_line = 0;
  }
}

// Quoted-printable output (RFC 2045): a soft line break keeps lines within
// 72 characters plus the "=", and white space before a line end is encoded.
void QpToken(CHobKanjiState& s, const char* text, int n) {
  if (s.m_mime.m_line + n > 72) {
    MemPutc(s, '=');
    MemPutc(s, '\n');
    s.m_mime.m_line = 0;
  }
  for (int i = 0; i < n; ++i) MemPutc(s, text[i]);
  s.m_mime.m_line += n;
}

void QpEncoded(CHobKanjiState& s, int b) {
  char text[3] = {'=', kHex[b >> 4], kHex[b & 15]};
  QpToken(s, text, 3);
}

void QpByte(CHobKanjiState& s, int b) {
  CHobMimeOut& m = s.m_mime;
  int held = m.m_held;
  m.m_held = -1;
  if (held == '\r' && b == '\n') {
    MemPutc(s, '\r');
    MemPutc(s, '\n');
    m.m_line = 0;
    return;
  }
  if (held >= 0) {
    if (held == '\r' || b == '\n' || b == '\r' || b < 0) {
      QpEncoded(s, held);
    } else {
      char c = static_cast<char>(held);
      QpToken(s, &c, 1);
    }
  }
  if (b < 0) return;
  if (b == ' ' || b == '\t' || b == '\r') {
    m.m_held = b;
  } else if (b == '\n') {
    MemPutc(s, '\n');
    m.m_line = 0;
  } else if (b >= 0x21 && b <= 0x7E && b != '=') {
    char c = static_cast<char>(b);
    QpToken(s, &c, 1);
  } else {
    QpEncoded(s, b);
  }
}

Charset CharsetOf(const CHobKanjiState& s, int c1) {
  switch (s.m_opt.m_outCode) {
    case kOutUtf8:
      return kCsUtf8;
    case kOutJis:
      return c1 == kLatin1 ? kCsLatin1 : kCsJis;
    case kOutSjis:
      return c1 == kLatin1 ? kCsLatin1 : kCsSjis;
    default:
      return c1 == kLatin1 ? kCsLatin1 : kCsEuc;
  }
}

char EncodingOf(const CHobKanjiState& s, int c1) {
  return (c1 == kLatin1 && s.m_opt.m_outCode != kOutUtf8) ||
                 (c1 == kKana && s.m_opt.m_outCode == kOutJis)
             ? 'Q'
             : 'B';
}

// Bytes the encoder writes for a character and to return to ASCII after it.
int EncodedSize(const CHobKanjiState& s, int c1) {
  bool ascii = c1 == kAscii;
  switch (s.m_opt.m_outCode) {
    case kOutUtf8:
      return ascii ? 1 : c1 == kLatin1 ? 2 : 4;
    case kOutSjis:
      return ascii || c1 == kLatin1 || c1 == kKana ? 1 : 2;
    case kOutEuc:
      return ascii || c1 == kLatin1 ? 1 : c1 == kX0212 ? 3 : 2;
    default:
      break;
  }
  ShiftMode mode = (ascii || c1 == kLatin1) ? kModeAscii : c1 == kKana ? kModeKana : kModeKanji;
  int size = mode == kModeKanji ? 2 : 1;
  if (s.m_outMode != mode) size += 3;
  if (mode != kModeAscii) size += 3;
  return size;
}

// Columns that bytes more bytes take in the open word, its "?=" included.
int WordColumns(const CHobMimeOut& m, char encoding, int bytes) {
  return encoding == 'B' ? (m.m_groupN + bytes + 2) / 3 * 4 + 2 : 3 * bytes + 2;
}

int HeadSize(Charset cs) { return static_cast<int>(strlen(CharsetName(cs))) + 5; }

void Plain(CHobKanjiState& s, int c) {
  s.m_afterMime(s, kAscii, c);
  s.m_mime.m_afterPlain = c != '\n' && c != '\r';
}

void OpenWord(CHobKanjiState& s, Charset cs, char encoding) {
  CHobMimeOut& m = s.m_mime;
  LineWrite(s, '=');
  LineWrite(s, '?');
  for (const char* p = CharsetName(cs); *p; ++p) LineWrite(s, *p);
  LineWrite(s, '?');
  LineWrite(s, encoding);
  LineWrite(s, '?');
  m.m_wordOpen = true;
  m.m_wordHasText = false;
  m.m_afterPlain = false;
  m.m_wordCharset = cs;
  m.m_wordEncoding = encoding;
  m.m_groupN = 0;
}

void CloseWord(CHobKanjiState& s) {
  CHobMimeOut& m = s.m_mime;
  s.m_afterMime(s, kEnd, 0);  // the encoder back in ASCII, inside the word
  if (m.m_groupN) Base64Group(s, m.m_group, m.m_groupN, LineWrite);
  m.m_groupN = 0;
  m.m_wordOpen = false;
  LineWrite(s, '?');
  LineWrite(s, '=');
}

// A word with the first character c1 opens. After another word it needs a
// space of its own, or a line end and a space when the head and that
// character would not fit on this line.
void StartWordAt(CHobKanjiState& s, Charset cs, char encoding, int c1) {
  CHobMimeOut& m = s.m_mime;
  if (m.m_col > 0 && !m.m_afterPlain && m.m_last != ' ' && m.m_last != '\t') {
    int need = HeadSize(cs) + WordColumns(m, encoding, EncodedSize(s, c1));
    if (m.m_col + 1 + need > kLineMax) LineWrite(s, '\n');
    LineWrite(s, ' ');
  }
  OpenWord(s, cs, encoding);
}

// One character into the open word; the word is folded first when the
// character would take the line past its end.
void WordChar(CHobKanjiState& s, int c1, int c2) {
  CHobMimeOut& m = s.m_mime;
  if (m.m_wordHasText &&
      (m.m_col > 66 || m.m_col + WordColumns(m, m.m_wordEncoding, EncodedSize(s, c1)) > kLineMax)) {
    Charset cs = m.m_wordCharset;
    char encoding = m.m_wordEncoding;
    CloseWord(s);
    Plain(s, '\n');
    Plain(s, ' ');
    OpenWord(s, cs, encoding);
  }
  s.m_afterMime(s, c1, c2);
  m.m_wordHasText = true;
}

// Writes the held white space as plain text, on a new line when more than
// 50 columns stand on this one or when what follows would not fit:
// nextSize columns.
void FlushSpace(CHobKanjiState& s, int nextSize) {
  CHobMimeOut& m = s.m_mime;
  if (m.m_spaceN && m.m_col > 0 && (m.m_col > 50 || m.m_col + m.m_spaceN + nextSize > kLineMax)) {
    LineWrite(s, '\n');
  }
  for (int i = 0; i < m.m_spaceN; ++i) s.m_afterMime(s, kAscii, m.m_space[i]);
  m.m_spaceN = 0;
}

// The held white space and ASCII go into a word before the character c1 of
// charset cs: white space stays plain only after plain text.
void AttachHeld(CHobKanjiState& s, Charset cs, int c1) {
  CHobMimeOut& m = s.m_mime;
  if (m.m_wordOpen && cs != m.m_wordCharset) {
    for (int i = 0; i < m.m_spaceN; ++i) WordChar(s, kAscii, m.m_space[i]);
    m.m_spaceN = 0;
    CloseWord(s);
  }
  if (!m.m_wordOpen) {
    int first = m.m_tokenN ? kAscii : c1;
    if (m.m_afterPlain) {
      FlushSpace(s, HeadSize(cs) + WordColumns(m, EncodingOf(s, first), EncodedSize(s, first)));
    } else if (m.m_spaceN) {
      first = kAscii;
    }
    StartWordAt(s, cs, EncodingOf(s, c1), first);
  }
  for (int i = 0; i < m.m_spaceN; ++i) WordChar(s, kAscii, m.m_space[i]);
  m.m_spaceN = 0;
  for (int i = 0; i < m.m_tokenN; ++i) WordChar(s, kAscii, m.m_token[i]);
  m.m_tokenN = 0;
}

// Writes the held white space and ASCII as plain text; white space at the
// start of a line, which a reader would drop, goes into a word with them.
void FlushPlain(CHobKanjiState& s) {
  CHobMimeOut& m = s.m_mime;
  if (!m.m_wordOpen && m.m_col == 0 && m.m_spaceN) {
    AttachHeld(s, CharsetOf(s, kAscii), kAscii);
    CloseWord(s);
    return;
  }
  if (m.m_wordOpen) CloseWord(s);
  FlushSpace(s, m.m_tokenN);
  if (m.m_tokenN == 0) return;
  for (int i = 0; i < m.m_tokenN; ++i) s.m_afterMime(s, kAscii, m.m_token[i]);
  m.m_tokenN = 0;
  m.m_afterPlain = true;
}

}  // namespace

void MimePut(CHobKanjiState& s, int c) {
  CHobMimeOut& m = s.m_mime;
  if (s.m_opt.m_mimeOut == kMimeOutBase64) {
    m.m_group[m.m_groupN++] = static_cast<unsigned char>(c);
    if (m.m_groupN == 3) {
      Base64Group(s, m.m_group, 3, WholeLineWrite);
      m.m_groupN = 0;
    }
  } else if (s.m_opt.m_mimeOut == kMimeOutQp) {
    QpByte(s, c);
  } else if (m.m_wordOpen) {
    WordByte(s, c);
  } else {
    LineWrite(s, c);
  }
}

void MimeFinish(CHobKanjiState& s) {
  CHobMimeOut& m = s.m_mime;
  if (s.m_opt.m_mimeOut == kMimeOutBase64 && m.m_groupN) {
    Base64Group(s, m.m_group, m.m_groupN, WholeLineWrite);
  }
  if (s.m_opt.m_mimeOut == kMimeOutQp) QpByte(s, -1);
}

// Holds white space and ASCII back until it is known whether they belong to
// an encoded word.
void MimeStage(CHobKanjiState& s, int c1, int c2) {
  CHobMimeOut& m = s.m_mime;
  if (c1 == kEnd) {
    FlushPlain(s);
    s.m_afterMime(s, kEnd, 0);
    return;
  }
  if (c1 == kAscii) {
    if (c2 == ' ' || c2 == '\t') {
      if (m.m_tokenN) FlushPlain(s);
      if (m.m_spaceN == kMaxSpaceRun) {
        if (m.m_wordOpen) {
          AttachHeld(s, m.m_wordCharset, kAscii);
        } else {
          FlushSpace(s, 0);
        }
      }
      m.m_space[m.m_spaceN++] = static_cast<char>(c2);
    } else if (c2 < 0x20 || c2 == 0x7F) {
      if (m.m_wordOpen && m.m_tokenN == 0) AttachHeld(s, m.m_wordCharset, kAscii);
      FlushPlain(s);
      Plain(s, c2);
    } else if (m.m_wordOpen && m.m_spaceN == 0 && m.m_tokenN == 0) {
      WordChar(s, kAscii, c2);
    } else {
      m.m_token[m.m_tokenN++] = static_cast<char>(c2);
      if (m.m_tokenN == kTokenSize) {
        AttachHeld(s, m.m_wordOpen ? m.m_wordCharset : CharsetOf(s, kAscii), kAscii);
      }
    }
    return;
  }
  AttachHeld(s, CharsetOf(s, c1), c1);
  WordChar(s, c1, c2);
}

}  // namespace hobkanji
