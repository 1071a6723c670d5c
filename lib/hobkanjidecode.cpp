// The converter's input side: the chain of readers, the detection of the
// input code, and the decoders of Shift_JIS, EUC-JP and UTF-8.
#include <cstring>

#include "hobkanjistate.h"
#include "hobkanjitables.h"

namespace hobkanji {

// ---------------------------------------------------------------------------
// In-memory input.

namespace {

int MemGetc(CHobMemReader* r) {
  if (r->m_position >= r->m_size) return -1;
  int c = r->m_pushed >= 0 ? r->m_pushed : r->m_data[r->m_position];
  r->m_pushed = -1;
  r->m_position++;
  return c;
}

// The caller's bytes are never written: a byte that differs from the one it
// replaces is kept aside until it is read again.
void MemUngetc(int c, CHobMemReader* r) {
  if (r->m_position == 0) return;
  r->m_position--;
  r->m_pushed = c == r->m_data[r->m_position] ? -1 : c;
}

void WholePush(CHobKanjiState& s, int c) {
  s.m_whole[s.m_wholeLen++] = static_cast<unsigned char>(c);
}

// Base64 input: characters outside the alphabet are skipped; padding ends
// the data, and a short last group gives the bytes it holds.
void WholeFillBase64(CHobKanjiState& s) {
  int v[4] = {0, 0, 0, 0};
  int k = 0;
  while (k < 4) {
    int c = ReaderGetc(s);
    if (c < 0 || c == '=') {
      s.m_wholeDone = true;
      break;
    }
    int x = Base64Value(c);
    if (x >= 0) v[k++] = x;
  }
  unsigned char bytes[3];
  for (int i = 0, n = Base64Bytes(v, k, bytes); i < n; i++) WholePush(s, bytes[i]);
}

// Quoted-printable input: "=XX" is a byte, "=" before a line end is a soft
// line break, and white space at the end of a line (added in transport) is
// dropped.
void WholeFillQp(CHobKanjiState& s) {
  int c = ReaderGetc(s);
  if (c < 0) {
    s.m_wholeDone = true;
    return;
  }
  if (c == '=') {
    int d = ReaderGetc(s);
    if (d == '\n') return;
    if (d == '\r') {
      int e = ReaderGetc(s);
      if (e != '\n') ReaderUngetc(s, e);
      return;
    }
    int hi = HexValue(d);
    if (hi >= 0) {
      int e = ReaderGetc(s);
      int lo = HexValue(e);
      if (lo >= 0) {
        WholePush(s, hi << 4 | lo);
        return;
      }
      ReaderUngetc(s, e);
    }
    ReaderUngetc(s, d);
    WholePush(s, '=');
    return;
  }
  if (c == ' ' || c == '\t') {
    WholePush(s, c);
    int d = ReaderGetc(s);
    while ((d == ' ' || d == '\t') && s.m_wholeLen < kWholeQueue) {
      WholePush(s, d);
      d = ReaderGetc(s);
    }
    if (d < 0 || d == '\r' || d == '\n') s.m_wholeLen = 0;
    ReaderUngetc(s, d);
    return;
  }
  WholePush(s, c);
}

}  // namespace

int ReaderGetc(CHobKanjiState& s) { return MemGetc(&s.m_reader); }

void ReaderUngetc(CHobKanjiState& s, int c) {
  if (c >= 0) MemUngetc(c, &s.m_reader);
}

int WholeGetc(CHobKanjiState& s) {
  if (s.m_wholeBack >= 0) {
    int c = s.m_wholeBack;
    s.m_wholeBack = -1;
    return c;
  }
  while (s.m_wholeHead == s.m_wholeLen) {
    if (s.m_wholeDone) return -1;
    s.m_wholeHead = s.m_wholeLen = 0;
    if (s.m_opt.m_mimeWholeIn == 'B') {
      WholeFillBase64(s);
    } else {
      WholeFillQp(s);
    }
  }
  return s.m_whole[s.m_wholeHead++];
}

void WholeUngetc(CHobKanjiState& s, int c) { s.m_wholeBack = c; }

// Broken-escape recovery: "$@" and "$B" outside kanji mode, "(J" and "(B" in
// any other mode than ASCII are escape sequences that lost their ESC.
int BrokenGetc(CHobKanjiState& s) {
  int c;
  if (s.m_brokenN) {
    c = s.m_brokenQueue[--s.m_brokenN];
  } else {
    c = s.m_lowerGet(s);
    if (s.m_brokenPrev != ESC && !s.m_inPair) {
      bool lost = (c == '$' && s.m_inMode != kModeKanji) || (c == '(' && s.m_inMode != kModeAscii);
      if (lost) {
        int d = s.m_lowerGet(s);
        bool final = c == '$' ? (d == '@' || d == 'B') : (d == 'J' || d == 'B');
        if (final) {
          s.m_brokenQueue[s.m_brokenN++] = d;
          s.m_brokenQueue[s.m_brokenN++] = c;
          c = ESC;
        } else if (d >= 0) {
          s.m_lowerUnget(s, d);
        }
      }
    }
  }
  s.m_brokenPrev = c;
  return c;
}

// ---------------------------------------------------------------------------
// What the main loop reads: pushed-back characters, then the encoded word
// being decoded, then the input chain.

int NextChar(CHobKanjiState& s) {
  if (s.m_pendN) return s.m_pend[--s.m_pendN];
  if (s.m_word.m_active) return WordGetc(s);
  if (s.m_direct) {
    CHobMemReader& r = s.m_reader;
    return r.m_position < r.m_size ? r.m_data[r.m_position++] : -1;
  }
  return s.m_readChar(s);
}

int RawChar(CHobKanjiState& s) {
  if (s.m_pendN) return s.m_pend[--s.m_pendN];
  return s.m_direct ? ReaderGetc(s) : s.m_readChar(s);
}

void Unread(CHobKanjiState& s, int c) {
  if (c >= 0 && s.m_pendN < kPendSize) s.m_pend[s.m_pendN++] = c;
}

// ---------------------------------------------------------------------------
// Decoders. An invalid sequence is dropped, the byte that broke it is read
// again as a character of its own, and detection decides afresh.

namespace {

void DecodeEuc(CHobKanjiState& s, int c);
void DecodeSjis(CHobKanjiState& s, int c);
void DecodeUtf8(CHobKanjiState& s, int c);

void Invalid(CHobKanjiState& s, int next) {
  Unread(s, next);
  ReopenDetection(s);
}

void DecodeEuc(CHobKanjiState& s, int c) {
  if (c < 0) {
    s.m_emit(s, kEnd, 0);
    return;
  }
  int c2 = NextChar(s);
  if (c == SS2) {
    if (c2 >= 0xA1 && c2 <= 0xDF) {
      s.m_emit(s, kKana, c2 & 0x7F);
    } else {
      Invalid(s, c2);
    }
  } else if (c == SS3) {  // JIS X 0212: one character of three bytes
    if (c2 >= 0xA1 && c2 <= 0xFE) {
      int c3 = NextChar(s);
      if (c3 >= 0xA1 && c3 <= 0xFE) {
        s.m_emit(s, kX0212, (c2 & 0x7F) << 8 | (c3 & 0x7F));
      } else {
        Invalid(s, c3);
      }
    } else {
      Invalid(s, c2);
    }
  } else if (c >= 0xA1 && c <= 0xFE && c2 >= 0xA1 && c2 <= 0xFE) {
    s.m_emit(s, c & 0x7F, c2 & 0x7F);
  } else {
    Invalid(s, c2);
  }
}

// Codes from 0xF0 on have no place in JIS X 0208. Shift_JIS output keeps
// them; otherwise an IBM extension is converted as the other code of the
// same character, and the rest (the user-defined area) becomes the geta mark.
void SjisOwnCode(CHobKanjiState& s, int code) {
  if (s.m_opt.m_outCode == kOutSjis) {
    s.m_emit(s, kSjisOwn, code);
    return;
  }
  int lead = code >> 8;
  int other =
      code >= 0xFA40 && code <= 0xFC4B ? kIbmOther[(lead - 0xFA) * 0xC0 + (code & 0xFF) - 0x40] : 0;
  int j1, j2;
  if (other && JisFromSjis(other >> 8, other & 0xFF, &j1, &j2)) {
    s.m_emit(s, j1, j2);
  } else {
    s.m_emit(s, kSjisOwn, code);
  }
}

void DecodeSjis(CHobKanjiState& s, int c) {
  if (c < 0) {
    s.m_emit(s, kEnd, 0);
    return;
  }
  if (c >= 0xA1 && c <= 0xDF) {
    s.m_emit(s, kKana, c & 0x7F);
    return;
  }
  if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
    int c2 = NextChar(s);
    int j1, j2;
    if (c2 < 0 || kSjis.m_cell[c2] == 0) {
      Invalid(s, c2);
    } else if (c >= 0xF0) {
      SjisOwnCode(s, c << 8 | c2);
    } else if (JisFromSjis(c, c2, &j1, &j2)) {
      s.m_emit(s, j1, j2);
    }
    return;
  }
  Invalid(s, -1);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// The lowest and highest second byte after each lead byte, 0 for no lead.
struct CHobUtf8Lead {
  int m_count;  // continuation bytes
  int m_low;
  int m_high;
};

CHobUtf8Lead Utf8Lead(int c) {
  if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
  if (c == 0xE0) return {2, 0xA0, 0xBF};
  if (c == 0xED) return {2, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF};
  if (c == 0xF0) return {3, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF};
  if (c == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

// A character of UTF-8 input goes on as JIS X 0208 or JIS X 0201 where it
// has a place there, otherwise as Unicode.
void EmitUnicode(CHobKanjiState& s, uint32_t u) {
  if (u >= 0xFF61 && u <= 0xFF9F) {
    s.m_emit(s, kKana, static_cast<int>(u - 0xFF61 + 0x21));
    return;
  }
  uint16_t jis = JisFromUnicode(UnicodeIndex(), u);
  if (jis) {
    s.m_emit(s, jis >> 8, jis & 0xFF);
  } else {
    s.m_emit(s, kUnicode, static_cast<int>(u));
  }
}

void DecodeUtf8(CHobKanjiState& s, int c) {
  if (c < 0) {
    s.m_emit(s, kEnd, 0);
    return;
  }
  CHobUtf8Lead lead = Utf8Lead(c);
  if (lead.m_count == 0) {
    Invalid(s, -1);
    return;
  }
  uint32_t u = static_cast<uint32_t>(c) & (0x3F >> lead.m_count);
  for (int i = 0; i < lead.m_count; ++i) {
    int d = NextChar(s);
    int low = i == 0 ? lead.m_low : 0x80;
    int high = i == 0 ? lead.m_high : 0xBF;
    if (d < low || d > high) {
      Invalid(s, d);
      return;
    }
    u = u << 6 | static_cast<uint32_t>(d & 0x3F);
  }
  EmitUnicode(s, u);
}

}  // namespace

void SetCode(CHobKanjiState& s, InputCode code) {
  s.m_inCode = code;
  s.m_decode = code == kInSjis ? DecodeSjis : code == kInUtf8 ? DecodeUtf8 : DecodeEuc;
}

void ReopenDetection(CHobKanjiState& s) {
  if (s.m_opt.m_inCode == kDetect && !(s.m_word.m_active && s.m_word.m_overridesCode)) {
    SetCode(s, kDetect);
  }
}

// ---------------------------------------------------------------------------
// JIS X 0208 from Unicode and to UTF-8: kJisUnicode turned round and
// written out once.

const CHobUnicodeIndex& UnicodeIndex() {
  static const CHobUnicodeIndex* const index = [] {
    static CHobUnicodeIndex built{};
    unsigned char bytes[4];
    for (int i = 0; i < 94 * 94; ++i) {
      uint16_t u = kJisUnicode[i] ? kJisUnicode[i] : UnicodeFromJis(kGeta1, kGeta2);
      int n = Utf8Bytes(u, bytes);
      built.m_utf8[i] = static_cast<uint32_t>(n) << 24;
      for (int k = 0; k < n; ++k) built.m_utf8[i] |= static_cast<uint32_t>(bytes[k]) << (8 * k);
      int s1, s2;
      SjisFromJis(i / 94 + 0x21, i % 94 + 0x21, &s1, &s2);
      built.m_sjis[i] = static_cast<uint16_t>(s1 << 8 | s2);
      if (kJisUnicode[i]) built.m_sjisOf[kJisUnicode[i]] = built.m_sjis[i];
      if (kJisUnicode[i])
        built.m_jis[kJisUnicode[i]] = static_cast<uint16_t>((i / 94 + 0x21) << 8 | (i % 94 + 0x21));
    }
    return &built;
  }();
  return *index;
}

// ---------------------------------------------------------------------------
// Detection of the input code.
//
// A first 8-bit byte 0x80..0x8D or 0x90..0xA0 can only be Shift_JIS. Any
// other is held with what follows while each of Shift_JIS, EUC-JP and UTF-8
// reads the held bytes; the code decides once it is the only one that can
// read them. When the hold is full or the input ends first (with B2, a line
// end), of the codes that can still read the bytes the one that read the
// fewest unlikely characters wins: half-width katakana, two-byte codes in
// the rows JIS X 0208 leaves empty or past them (counted twice), UTF-8
// sequences of two or four bytes; on a tie UTF-8, then EUC-JP, then
// Shift_JIS. When none can read them, the one that read the most wins. The
// held bytes then go back to the main loop.

namespace {

enum Candidate { kCandSjis, kCandEuc, kCandUtf8, kCandidates };

// One code's reading of the held bytes.
struct CHobReading {
  bool m_alive = true;
  int m_need = 0;  // bytes still to come in the current character
  int m_low = 0;   // the range of the next byte while m_need > 0
  int m_high = 0;
  int m_after = 0;     // bytes read when it failed
  int m_unlikely = 0;  // weight of the unlikely characters read
};

// The rows 9..15 and 85..94 that JIS X 0208 leaves empty, by Shift_JIS lead
// byte, and the codes from 0xF0 on.
bool IsUnlikelySjisLead(int b) { return (b >= 0x85 && b <= 0x87) || b >= 0xEB; }

void ReadSjis(CHobReading& r, int b) {
  if (r.m_need) {
    r.m_need = 0;
    r.m_alive = b >= 0x40 && b <= 0xFC && b != 0x7F;
  } else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
    r.m_need = 1;
    if (IsUnlikelySjisLead(b)) r.m_unlikely += 2;
  } else {
    r.m_alive = b < 0x80 || (b >= 0xA1 && b <= 0xDF);
    if (b >= 0xA1) r.m_unlikely++;
  }
}

void Expect(CHobReading& r, int count, int low, int high, int unlikely) {
  r.m_need = count;
  r.m_low = low;
  r.m_high = high;
  r.m_unlikely += unlikely;
}

void ReadEuc(CHobReading& r, int b) {
  if (r.m_need) {
    r.m_need--;
    r.m_alive = b >= r.m_low && b <= r.m_high;
    r.m_low = 0xA1;
    r.m_high = 0xFE;
  } else if (b >= 0xA1 && b <= 0xFE) {
    Expect(r, 1, 0xA1, 0xFE, (b >= 0xA9 && b <= 0xAF) || b >= 0xF5 ? 2 : 0);
  } else if (b == SS2) {
    Expect(r, 1, 0xA1, 0xDF, 1);
  } else if (b == SS3) {
    Expect(r, 2, 0xA1, 0xFE, 2);
  } else {
    r.m_alive = b < 0x80;
  }
}

void ReadUtf8(CHobReading& r, int b) {
  if (r.m_need) {
    r.m_need--;
    r.m_alive = b >= r.m_low && b <= r.m_high;
    r.m_low = 0x80;
    r.m_high = 0xBF;
  } else if (b >= 0x80) {
    CHobUtf8Lead lead = Utf8Lead(b);
    r.m_alive = lead.m_count > 0;
    Expect(r, lead.m_count, lead.m_low, lead.m_high, lead.m_count == 2 ? 0 : 1);
  }
}

InputCode CodeOf(int candidate) {
  return candidate == kCandSjis ? kInSjis : candidate == kCandEuc ? kInEuc : kInUtf8;
}

void Hold(CHobKanjiState& s, int first) {
  int held[kHoldBytes];
  int n = 0;
  CHobReading reading[kCandidates];
  void (*const read[kCandidates])(CHobReading&, int) = {ReadSjis, ReadEuc, ReadUtf8};
  int alive = kCandidates;
  bool ended = false;
  for (int c = first;;) {
    held[n++] = c;
    alive = 0;
    for (int k = 0; k < kCandidates; ++k) {
      if (!reading[k].m_alive) continue;
      read[k](reading[k], c);
      if (reading[k].m_alive) {
        alive++;
      } else {
        reading[k].m_after = n;
      }
    }
    if (alive <= 1 || n == kHoldBytes) break;
    c = NextChar(s);
    // With B2 a line end opens detection again, so the text after it has no
    // say here.
    if (c < 0 || (s.m_opt.m_brokenEol && (c == '\r' || c == '\n'))) {
      Unread(s, c);
      ended = true;
      break;
    }
  }
  if (ended) {
    for (CHobReading& r : reading) {
      if (r.m_alive && r.m_need) {
        r.m_alive = false;
        r.m_after = n + 1;
      }
    }
  }
  static const int kPreference[kCandidates] = {kCandUtf8, kCandEuc, kCandSjis};
  int chosen = -1;
  for (int k : kPreference) {
    if (reading[k].m_alive && (chosen < 0 || reading[k].m_unlikely < reading[chosen].m_unlikely)) {
      chosen = k;
    }
  }
  if (chosen < 0) {
    for (int k : kPreference) {
      if (chosen < 0 || reading[k].m_after > reading[chosen].m_after) chosen = k;
    }
  }
  SetCode(s, CodeOf(chosen));
  while (n > 1) Unread(s, held[--n]);
}

}  // namespace

void EightBit(CHobKanjiState& s, int c) {
  if (s.m_inCode == kInLatin1) {
    s.m_emit(s, kLatin1, c);
    return;
  }
  if (s.m_inCode == kDetect) {
    if ((c >= 0x80 && c <= 0x8D) || (c >= 0x90 && c <= 0xA0)) {
      SetCode(s, kInSjis);
    } else {
      Hold(s, c);
    }
  }
  s.m_decode(s, c);
}

}  // namespace hobkanji
