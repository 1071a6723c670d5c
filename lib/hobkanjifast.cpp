// The converter's fast path. While no stage but the encoder (and the width
// stage's katakana) has work, plain text goes straight from the input to the
// output buffer, sixteen bytes at a time where it can: runs of ASCII, of
// JIS X 0208 characters in EUC-JP, Shift_JIS and UTF-8, of ISO-2022-JP
// kanji between "ESC $ B" (or "ESC $ @") and "ESC ( B" (or "( J", "( H"),
// and of half-width katakana, kept or made full-width. UTF-8 that stays
// UTF-8 is checked and copied. Anything else (a zero byte, other escape
// sequences, the "=?" of a MIME word, invalid bytes, a byte that decides
// the input code, characters outside JIS X 0208) goes back to the main loop.
#include <cstring>

#include "hobkanjistate.h"
#include "hobkanjitables.h"
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace hobkanji {

namespace {

enum ByteClass : uint8_t { kCopy, kLead, kKanaByte, kEqual, kStop };

constexpr int kChunk = 4096;
constexpr int kMinChunk = 256;
// Output bytes past a piece that a block may write.
constexpr size_t kSlack = 64;
// The most output bytes one input byte makes: half-width katakana that
// become JIS X 0208 in ISO-2022-JP between ASCII characters.
constexpr size_t kMaxGrowth = 5;

// ---------------------------------------------------------------------------
// Half-width katakana to full-width in one step.
//
// For each output code, katakana byte k (0xA1..0xDF, index k - 0xA0) and
// what follows it (0: anything but a sound mark it takes, 1: the voiced
// mark 0xDE, 2: the semi-voiced mark 0xDF): the full-width character's
// output bytes, lowest first, their count in bits 24..26, and in bit 31
// whether it takes the mark. For the two-byte codes also the first and the
// second byte of each katakana alone, by index, for lookups in blocks.
struct CHobKanaWide {
  uint32_t m_entry[kOutUtf8 + 1][64][4];
  uint8_t m_byte[kOutUtf8 + 1][2][64];  // none for UTF-8
};

const CHobKanaWide& KanaWide() {
  static const CHobKanaWide* const table = [] {
    static CHobKanaWide built{};
    const CHobUnicodeIndex& index = UnicodeIndex();
    for (int k = 1; k < 64; ++k) {
      for (int mark = 0; mark < 3; ++mark) {
        uint16_t code = kKanaPlain[k];
        const uint16_t* combined = mark == 1 ? kKanaVoiced : mark == 2 ? kKanaSemivoiced : nullptr;
        bool takes = combined && combined[k];
        if (takes) code = combined[k];
        int j1 = code >> 8, j2 = code & 0xFF;
        int cell = (j1 - 0x21) * 94 + j2 - 0x21;
        uint32_t flag = takes ? 1u << 31 : 0;
        uint32_t two = 2u << 24 | flag;
        built.m_entry[kOutJis][k][mark] = two | static_cast<uint32_t>(j1 | j2 << 8);
        built.m_entry[kOutEuc][k][mark] =
            two | static_cast<uint32_t>((j1 | 0x80) | (j2 | 0x80) << 8);
        uint16_t sjis = index.m_sjis[cell];
        built.m_entry[kOutSjis][k][mark] =
            two | static_cast<uint32_t>(sjis >> 8 | (sjis & 0xFF) << 8);
        built.m_entry[kOutUtf8][k][mark] = index.m_utf8[cell] | flag;
      }
      for (int out = kOutJis; out < kOutUtf8; ++out) {
        built.m_byte[out][0][k] = static_cast<uint8_t>(built.m_entry[out][k][0]);
        built.m_byte[out][1][k] = static_cast<uint8_t>(built.m_entry[out][k][0] >> 8);
      }
    }
    return &built;
  }();
  return *table;
}

// Which sound mark katakana byte k is: 1 voiced, 2 semi-voiced, 0 none.
inline int MarkOf(int k) { return (k == 0xDE) | (k == 0xDF) << 1; }

inline int EntryLength(uint32_t e) { return e >> 24 & 7; }

// Writes the full-width characters of the n katakana bytes at k at o, none
// of which takes a sound mark: two at a time in two-byte codes (the byte
// after an odd count is read, and its bytes written past the end), with
// room for 4 bytes more.
template <OutputCode kOut>
inline void PlainKana(const uint8_t* k, int n, const uint32_t (*entry)[4], unsigned char* o) {
  if (kOut == kOutUtf8) {
    for (int i = 0; i < n; ++i) memcpy(o + 3 * i, &entry[k[i] - 0xA0][0], 4);
    return;
  }
  for (int i = 0; i < n; i += 2) {
    uint32_t two = (entry[k[i] - 0xA0][0] & 0xFFFF) | entry[(k[i + 1] - 0xA0) & 63][0] << 16;
    memcpy(o + 2 * i, &two, 4);
  }
}

// Writes the full-width characters of the n katakana bytes at k at o, each
// combined with the sound mark after it where it takes one; k[n] is the
// byte after them (0 when no katakana follows). Each entry is stored whole
// (four bytes), so o needs room for four bytes more. Returns whether the
// last one took the mark k[n].
inline bool WideKana(const uint8_t* k, int n, const uint32_t (*entry)[4], unsigned char** o) {
  unsigned char* out = *o;
  uint32_t keep = ~0u;  // 0 for a mark the katakana before it took
  for (int i = 0; i < n; ++i) {
    uint32_t e = entry[k[i] - 0xA0][MarkOf(k[i + 1])];
    memcpy(out, &e, 4);
    out += EntryLength(e) & keep;
    keep = (e >> 31) - 1;
  }
  *o = out;
  return keep == 0;
}

// Whether the main loop must convert katakana byte k, the last of a run,
// itself: k could take a sound mark, and what follows it, c (-1 for the end
// of the text), may give no character (an invalid byte, an escape sequence,
// a shift, an encoded word), after which a mark would still combine with k.
inline bool LeftToMainLoop(int k, int c, bool equalStops) {
  bool character =
      c < 0 || (c < 0x80 && c != ESC && c != SO && c != SI && !(c == '=' && equalStops));
  return !character && (kKanaVoiced[k - 0xA0] || kKanaSemivoiced[k - 0xA0]);
}

#if defined(__SSE2__)
// ---------------------------------------------------------------------------
// Blocks of sixteen bytes.

// The lanes where a is at most b, as unsigned bytes.
inline __m128i AtMost(__m128i a, int b) {
  __m128i bound = _mm_set1_epi8(static_cast<char>(b));
  return _mm_cmpeq_epi8(_mm_min_epu8(a, bound), a);
}

inline __m128i Equal(__m128i a, int b) {
  return _mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(b)));
}

// Which bytes besides a zero byte, ESC, SO and SI the main loop must see.
struct CHobStops {
  bool m_equal;    // the "=" of "=?", while MIME words are decoded
  bool m_lineEnd;  // CR and LF, with B2
};

// The lanes of the sixteen bytes at in that the main loop must see.
// REQUIRES: 17 bytes readable at in.
inline __m128i StopLanes(__m128i v, const unsigned char* in, CHobStops stops) {
  __m128i stop = _mm_or_si128(_mm_or_si128(Equal(v, 0), Equal(v, ESC)),
                              _mm_or_si128(Equal(v, SO), Equal(v, SI)));
  if (stops.m_equal) {
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1));
    stop = _mm_or_si128(stop, _mm_and_si128(Equal(v, '='), Equal(next, '?')));
  }
  if (stops.m_lineEnd) stop = _mm_or_si128(stop, _mm_or_si128(Equal(v, '\r'), Equal(v, '\n')));
  return stop;
}

// How many of the sixteen bytes at in, from the first on, are ASCII that
// needs no stage: none with the high bit, none of the stop lanes.
// REQUIRES: 17 bytes readable at in.
inline int AsciiBlock(const unsigned char* in, CHobStops stops) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  return __builtin_ctz(_mm_movemask_epi8(v) | _mm_movemask_epi8(StopLanes(v, in, stops)) | 0x10000);
}

// Copies the ASCII from pos on that needs no stage, up to end, sixteen
// bytes at a time; returns where it stopped. REQUIRES: 17 bytes readable
// at each block.
inline int AsciiRun(const unsigned char* data, int pos, int end, int size, unsigned char** o,
                    CHobStops stops) {
  unsigned char* out = *o;
  while (pos < end && pos + 17 <= size) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos)));
    int plain = AsciiBlock(data + pos, stops);
    if (plain < 16) {
      out += plain;
      pos += plain;
      break;
    }
    out += 16;
    pos += 16;
  }
  *o = out;
  return pos;
}

// Up to eight two-byte characters at once, from in on, whose bytes are in
// kBase..kBase + 0x5D: EUC-JP (kBase 0xA1) or ISO-2022-JP in kanji mode
// (0x21). Returns how many bytes, as whole pairs, were converted (at most
// 16), and moves *o past their output; writes up to 25 bytes there.
template <OutputCode kOut, int kBase>
inline int PairBlock(const unsigned char* in, unsigned char** o, const CHobUnicodeIndex& index) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i x = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(kBase)));  // row and cell from 0
  __m128i fits = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x5D)), x);
  int n = __builtin_ctz(~_mm_movemask_epi8(fits) | 0x10000) & ~1;
  if (n == 0) return 0;
  if (kOut == kOutUtf8) {
    // Four bytes written for each, as many as the character has counted.
    unsigned char* out = *o;
    for (int i = 0; i < n; i += 2) {
      uint32_t bytes = index.m_utf8[(in[i] - kBase) * 94 + in[i + 1] - kBase];
      memcpy(out, &bytes, 4);
      out += bytes >> 24;
    }
    *o = out;
    return n;
  }
  __m128i result;
  if (kOut == kOutEuc) {
    result = _mm_or_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
  } else if (kOut == kOutJis) {
    result = _mm_and_si128(v, _mm_set1_epi8(0x7F));
  } else {
    // In 16-bit lanes: the row index r1 in the low byte, the cell index r2 in the high one.
    __m128i r1 = _mm_and_si128(x, _mm_set1_epi16(0xFF));
    __m128i r2 = _mm_srli_epi16(x, 8);
    __m128i s1 = _mm_add_epi16(_mm_srli_epi16(r1, 1), _mm_set1_epi16(0x81));
    s1 = _mm_add_epi16(
        s1, _mm_and_si128(_mm_cmpgt_epi16(s1, _mm_set1_epi16(0x9F)), _mm_set1_epi16(0x40)));
    __m128i evenRow = _mm_cmpeq_epi16(_mm_and_si128(r1, _mm_set1_epi16(1)), _mm_set1_epi16(1));
    __m128i oddS2 = _mm_add_epi16(r2, _mm_set1_epi16(0x40));
    oddS2 = _mm_sub_epi16(oddS2, _mm_cmpgt_epi16(r2, _mm_set1_epi16(0x3E)));  // skips 0x7F
    __m128i evenS2 = _mm_add_epi16(r2, _mm_set1_epi16(0x9F));
    __m128i s2 = _mm_or_si128(_mm_and_si128(evenRow, evenS2), _mm_andnot_si128(evenRow, oddS2));
    result = _mm_or_si128(s1, _mm_slli_epi16(s2, 8));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(*o), result);
  *o += n;
  return n;
}

inline __m128i InRange(__m128i v, int low, int high) {
  return AtMost(_mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(low))), high - low);
}

// How many of the sixteen bytes at in, from the first on, are whole
// Shift_JIS pairs of JIS X 0208: a lead byte 0x81..0x9F or 0xE0..0xEF, a
// second byte 0x40..0xFC but 0x7F. Even, at most 16.
inline int SjisPairBytes(const unsigned char* in) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i lead = _mm_or_si128(InRange(v, 0x81, 0x9F), InRange(v, 0xE0, 0xEF));
  __m128i second = _mm_andnot_si128(Equal(v, 0x7F), InRange(v, 0x40, 0xFC));
  unsigned whole = (_mm_movemask_epi8(lead) & 0x5555) | (_mm_movemask_epi8(second) & 0xAAAA);
  return __builtin_ctz(~whole) & ~1;
}

// How many whole three-byte UTF-8 characters begin the sixteen bytes at
// in, at most five, of those whose second byte may be any continuation
// byte: lead 0xE1..0xEF but 0xED.
inline int Utf8ThreeByteCount(const unsigned char* in) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i lead = _mm_andnot_si128(Equal(v, 0xED), InRange(v, 0xE1, 0xEF));
  __m128i continuation = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));  // 0x80..0xBF
  // Leads in lanes 0, 3, 6, 9 and 12, continuation bytes in the others.
  unsigned whole = (_mm_movemask_epi8(lead) & 0x1249) | (_mm_movemask_epi8(continuation) & 0x6DB6);
  return __builtin_ctz(~whole & 0xFFFF) / 3;
}

// How many of the sixteen bytes at in, from the first on, are Shift_JIS
// half-width katakana (0xA1..0xDF).
inline int SjisKanaCount(const unsigned char* in) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i fits = AtMost(_mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA1))), 0x3E);
  return __builtin_ctz(~_mm_movemask_epi8(fits) | 0x10000);
}

// The lanes of the sixteen Shift_JIS katakana bytes at in that take the
// sound mark after them: the voiced mark after ｳ, ｶ..ﾄ and ﾊ..ﾎ, the
// semi-voiced after ﾊ..ﾎ (the katakana with a combined form in
// kKanaVoiced and kKanaSemivoiced). REQUIRES: 17 bytes readable at in.
inline unsigned TakesMark(const unsigned char* in) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1));
  __m128i semivoiced = InRange(v, 0xCA, 0xCE);
  __m128i voiced = _mm_or_si128(_mm_or_si128(InRange(v, 0xB6, 0xC4), semivoiced), Equal(v, 0xB3));
  return _mm_movemask_epi8(_mm_or_si128(_mm_and_si128(voiced, Equal(next, 0xDE)),
                                        _mm_and_si128(semivoiced, Equal(next, 0xDF))));
}

// Sixteen Shift_JIS half-width katakana at in, kept half-width, as EUC-JP:
// SS2 before each. REQUIRES: all are 0xA1..0xDF. Writes 32 bytes.
inline void SjisKanaToEuc(const unsigned char* in, unsigned char* out) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i ss2 = _mm_set1_epi8(static_cast<char>(SS2));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(ss2, v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(ss2, v));
}

// ---------------------------------------------------------------------------
// UTF-8 that stays UTF-8, thirty-two bytes at a time where the CPU has AVX2.

// Whether a lead byte in the three bytes before data[pos], from first on,
// needs data[pos] as a continuation byte.
inline bool Continues(const unsigned char* data, int pos, int first) {
  return data[pos - 1] >= 0xC0 || (pos - 2 >= first && data[pos - 2] >= 0xE0) ||
         (pos - 3 >= first && data[pos - 3] >= 0xF0);
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The sixteen values v, in both halves.
#define HOB_TABLE16(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

// Copies the whole characters from pos on, up to end, that UTF-8 output
// copies as they are: strict UTF-8 (no overlong form, no surrogate, nothing
// past U+10FFFF), none of the bytes the main loop must see (a zero byte,
// ESC, SO, SI, the "=" of "=?" when MIME words are decoded, CR and LF with
// B2), and with kanaStops no half-width katakana. Each byte is classified
// with the one before it by three table lookups (the high half of each,
// the low half of the first), each giving the rules the pair could break:
// what is left after and-ing them is broken, and so is a third or fourth
// byte that is due and missing or not due and there. Returns where it
// stopped, at the start of a character. REQUIRES: pos at the start of a
// character; a CPU with AVX2.
__attribute__((target("avx2"))) int Utf8Run(const unsigned char* data, int pos, int end, int size,
                                            unsigned char** o, CHobStops stops, bool kanaStops) {
  // What a pair of bytes breaks: a lead without its continuation byte
  // (kShort), a continuation byte after ASCII (kLong) or after another one
  // (kTwoConts, which only a third or fourth byte may do), an overlong form
  // of two, three or four bytes, a surrogate, past U+10FFFF (kTooLarge, and
  // kTooLarge1000 for second bytes 0x80..0x8F, which shares its bit with
  // kOverlong4: their first bytes differ).
  constexpr char kShort = 1, kLong = 2, kOverlong3 = 4, kTooLarge = 8, kSurrogate = 16,
                 kOverlong2 = 32, kTooLarge1000 = 64, kOverlong4 = 64;
  constexpr char kTwoConts = static_cast<char>(128);
  constexpr char kCarry = kShort | kLong | kTwoConts;
  constexpr char kLarge = kTooLarge | kTooLarge1000;
  const __m256i firstHigh = HOB_TABLE16(
      kLong, kLong, kLong, kLong, kLong, kLong, kLong, kLong, kTwoConts, kTwoConts, kTwoConts,
      kTwoConts, kShort | kOverlong2, kShort, kShort | kOverlong3 | kSurrogate,
      kShort | kTooLarge | kTooLarge1000 | kOverlong4);
  const __m256i firstLow =
      HOB_TABLE16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                  kCarry, kCarry | kTooLarge, kCarry | kLarge, kCarry | kLarge, kCarry | kLarge,
                  kCarry | kLarge, kCarry | kLarge, kCarry | kLarge, kCarry | kLarge,
                  kCarry | kLarge, kCarry | kLarge | kSurrogate, kCarry | kLarge, kCarry | kLarge);
  const char kCont = kLong | kOverlong2 | kTwoConts;
  const __m256i secondHigh =
      HOB_TABLE16(kShort, kShort, kShort, kShort, kShort, kShort, kShort, kShort,
                  kCont | kOverlong3 | kTooLarge1000 | kOverlong4, kCont | kOverlong3 | kTooLarge,
                  kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge, kShort, kShort,
                  kShort, kShort);
  // The last three bytes of a block that leave a character open are above
  // these.
  const __m256i lastWhole =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                       static_cast<char>(0xDF), static_cast<char>(0xBF));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const int first = pos;
  unsigned char* out = *o;
  __m256i before = _mm256_setzero_si256();
  while (pos < end && pos + 33 <= size) {
    const unsigned char* in = data + pos;
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    __m256i stop = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()),
                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(ESC))),
        _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(1)), _mm256_set1_epi8(SI)));
    if (stops.m_equal) {
      __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 1));
      stop =
          _mm256_or_si256(stop, _mm256_and_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('=')),
                                                 _mm256_cmpeq_epi8(next, _mm256_set1_epi8('?'))));
    }
    if (stops.m_lineEnd) {
      stop = _mm256_or_si256(stop, _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')),
                                                   _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))));
    }
    __m256i bad = stop;
    bool ascii = _mm256_movemask_epi8(v) == 0;
    bool open = !_mm256_testz_si256(_mm256_subs_epu8(before, lastWhole),
                                    _mm256_subs_epu8(before, lastWhole));
    if (!ascii || open) {
      // The bytes one, two and three places back, across the halves.
      __m256i seam = _mm256_permute2x128_si256(before, v, 0x21);
      __m256i back1 = _mm256_alignr_epi8(v, seam, 15);
      __m256i back2 = _mm256_alignr_epi8(v, seam, 14);
      __m256i back3 = _mm256_alignr_epi8(v, seam, 13);
      __m256i broken = _mm256_and_si256(
          _mm256_and_si256(
              _mm256_shuffle_epi8(firstHigh, _mm256_and_si256(_mm256_srli_epi16(back1, 4), nibble)),
              _mm256_shuffle_epi8(firstLow, _mm256_and_si256(back1, nibble))),
          _mm256_shuffle_epi8(secondHigh, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
      // Third bytes follow 0xE0.. two places back, fourth bytes 0xF0.. three.
      __m256i due =
          _mm256_and_si256(_mm256_or_si256(_mm256_subs_epu8(back2, _mm256_set1_epi8(0xE0 - 0x80)),
                                           _mm256_subs_epu8(back3, _mm256_set1_epi8(0xF0 - 0x80))),
                           _mm256_set1_epi8(static_cast<char>(0x80)));
      bad = _mm256_or_si256(bad, _mm256_xor_si256(broken, due));
      if (kanaStops) {
        // U+FF61..U+FF9F: EF BD A1..BF, EF BE 80..9F (as signed bytes,
        // continuation bytes above and below 0xA0).
        __m256i kana = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(back1, _mm256_set1_epi8(static_cast<char>(0xBD))),
                             _mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(0xA0)))),
            _mm256_and_si256(_mm256_cmpeq_epi8(back1, _mm256_set1_epi8(static_cast<char>(0xBE))),
                             _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0xA0)), v)));
        bad = _mm256_or_si256(
            bad, _mm256_and_si256(
                     _mm256_cmpeq_epi8(back2, _mm256_set1_epi8(static_cast<char>(0xEF))), kana));
      }
    }
    unsigned lanes = ~static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
    if (lanes) {
      // Keep what comes before the character that holds the first bad lane.
      int at = pos + __builtin_ctz(lanes);
      while (at > first && Continues(data, at, first)) --at;
      *o = out + (at - pos);
      return at;
    }
    out += 32;
    pos += 32;
    before = v;
  }
  // The last block may end inside a character.
  int at = pos;
  while (at > first && Continues(data, at, first)) --at;
  *o = out - (pos - at);
  return at;
}

#undef HOB_TABLE16

// Shift_JIS half-width katakana from pos on, up to end, as two-byte
// full-width characters, thirty-two at a time, up to one that takes the
// sound mark after it (the last of the run as LeftToMainLoop says); returns
// where it stopped. Each output byte is
// looked up in its table of 64 (bytes[0] the first of each character,
// bytes[1] the second) by the katakana's low four bits in each quarter, and
// taken from the quarter its next two bits name. REQUIRES: a CPU with AVX2.
__attribute__((target("avx2"))) int PlainKanaRun(const unsigned char* data, int pos, int end,
                                                 int size, unsigned char** o,
                                                 const uint8_t (*bytes)[64], bool equalStops) {
  __m256i table[2][4];
  for (int b = 0; b < 2; ++b) {
    for (int q = 0; q < 4; ++q) {
      table[b][q] = _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes[b] + 16 * q)));
    }
  }
  unsigned char* out = *o;
  while (pos < end && pos + 33 <= size) {
    const unsigned char* in = data + pos;
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    __m256i index = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xA0)));  // 1..63
    __m256i kana = _mm256_cmpeq_epi8(_mm256_min_epu8(index, _mm256_set1_epi8(63)), index);
    kana = _mm256_andnot_si256(_mm256_cmpeq_epi8(index, _mm256_setzero_si256()), kana);
    int n =
        __builtin_ctzll(~static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(kana))));
    if (n == 0) break;
    // The katakana that take the mark after them, as TakesMark says.
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 1));
    __m256i semivoiced = _mm256_cmpeq_epi8(
        _mm256_min_epu8(_mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xCA))),
                        _mm256_set1_epi8(4)),
        _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xCA))));
    __m256i voiced = _mm256_or_si256(
        _mm256_or_si256(
            _mm256_cmpeq_epi8(
                _mm256_min_epu8(_mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xB6))),
                                _mm256_set1_epi8(0x0E)),
                _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0xB6)))),
            semivoiced),
        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xB3))));
    __m256i takes = _mm256_or_si256(
        _mm256_and_si256(voiced,
                         _mm256_cmpeq_epi8(next, _mm256_set1_epi8(static_cast<char>(0xDE)))),
        _mm256_and_si256(semivoiced,
                         _mm256_cmpeq_epi8(next, _mm256_set1_epi8(static_cast<char>(0xDF)))));
    uint64_t lanes = (uint64_t{1} << n) - 1;
    // Up to the first katakana that takes a mark; else the whole run, but its
    // last as LeftToMainLoop says.
    bool ends = n < 32 || in[32] < 0xA1 || in[32] > 0xDF;  // the run ends in this block
    if (uint32_t taking = static_cast<uint32_t>(_mm256_movemask_epi8(takes)) & lanes) {
      n = __builtin_ctz(taking);
      ends = true;
    } else if (ends && LeftToMainLoop(in[n - 1], in[n], equalStops)) {
      --n;
    }
    if (n == 0) break;
    __m256i low = _mm256_and_si256(index, _mm256_set1_epi8(0x0F));
    __m256i bit4 = _mm256_slli_epi16(index, 3);  // each byte's bit 4 in its bit 7
    __m256i bit5 = _mm256_slli_epi16(index, 2);
    __m256i half[2];
    for (int b = 0; b < 2; ++b) {
      half[b] = _mm256_blendv_epi8(_mm256_blendv_epi8(_mm256_shuffle_epi8(table[b][0], low),
                                                      _mm256_shuffle_epi8(table[b][1], low), bit4),
                                   _mm256_blendv_epi8(_mm256_shuffle_epi8(table[b][2], low),
                                                      _mm256_shuffle_epi8(table[b][3], low), bit4),
                                   bit5);
    }
    // Interleaved within each half of the register: characters 0-7 and
    // 16-23, then 8-15 and 24-31. Where fewer than 32 are katakana, the
    // others' bytes are written past them.
    __m256i first = _mm256_unpacklo_epi8(half[0], half[1]);
    __m256i second = _mm256_unpackhi_epi8(half[0], half[1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permute2x128_si256(first, second, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                        _mm256_permute2x128_si256(first, second, 0x31));
    out += 2 * n;
    pos += n;
    if (n < 32) break;
  }
  *o = out;
  return pos;
}
#endif  // __SSE2__

// ---------------------------------------------------------------------------
// Characters one at a time.

// Writes JIS X 0208 character (j1, j2) at o in the output code (in
// ISO-2022-JP already in kanji mode); returns the end of what it wrote.
// UTF-8 takes four bytes of room.
template <OutputCode kOut>
inline unsigned char* PutPair(unsigned char* o, int j1, int j2, const CHobUnicodeIndex& index) {
  int cell = (j1 - 0x21) * 94 + j2 - 0x21;
  if (kOut == kOutJis) {
    o[0] = static_cast<unsigned char>(j1);
    o[1] = static_cast<unsigned char>(j2);
  } else if (kOut == kOutSjis) {
    uint16_t code = index.m_sjis[cell];
    o[0] = static_cast<unsigned char>(code >> 8);
    o[1] = static_cast<unsigned char>(code);
  } else if (kOut == kOutEuc) {
    o[0] = static_cast<unsigned char>(j1 | 0x80);
    o[1] = static_cast<unsigned char>(j2 | 0x80);
  } else {
    uint32_t bytes = index.m_utf8[cell];
    memcpy(o, &bytes, 4);
    return o + (bytes >> 24);
  }
  return o + 2;
}

// Writes output for one character during a run.
template <OutputCode kOut>
struct CHobFastWriter {
  unsigned char* m_o;
  ShiftMode m_mode;
  char m_kanjiFinal;
  char m_asciiFinal;
  const CHobUnicodeIndex* m_index;

  void Shift(ShiftMode mode) {
    if (kOut != kOutJis || m_mode == mode) return;
    *m_o++ = ESC;
    *m_o++ = mode == kModeKanji ? '$' : '(';
    *m_o++ = static_cast<unsigned char>(mode == kModeKanji  ? m_kanjiFinal
                                        : mode == kModeKana ? 'I'
                                                            : m_asciiFinal);
    m_mode = mode;
  }
  void Ascii(int c) {
    Shift(kModeAscii);
    *m_o++ = static_cast<unsigned char>(c);
  }
  void Utf8(uint32_t u) { m_o += Utf8Bytes(u, m_o); }
  void Pair(int j1, int j2) {
    Shift(kModeKanji);
    m_o = PutPair<kOut>(m_o, j1, j2, *m_index);
  }
  void Kana(int k) {
    if (kOut == kOutJis) {
      Shift(kModeKana);
      *m_o++ = static_cast<unsigned char>(k);
    } else if (kOut == kOutSjis) {
      *m_o++ = static_cast<unsigned char>(k | 0x80);
    } else if (kOut == kOutEuc) {
      *m_o++ = SS2;
      *m_o++ = static_cast<unsigned char>(k | 0x80);
    } else {
      Utf8(0xFF61 + static_cast<uint32_t>(k - 0x21));
    }
  }
};

// Converts a run of JIS X 0208 characters from pos on, Shift_JIS pairs or
// three-byte UTF-8, up to end; returns where it stopped. The writer is
// copied for the run, so that the compiler keeps it in registers: the
// output bytes could be any object to it.
template <int kIn, OutputCode kOut>
inline int MultiByteRun(const unsigned char* data, int pos, int end, int size,
                        CHobFastWriter<kOut>& writer, const CHobUnicodeIndex& index) {
  CHobFastWriter<kOut> w = writer;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the characters are checked together, then
  // converted without a check each.
  while (kIn == kInSjis && pos + 16 <= end) {
    const unsigned char* in = data + pos;
    int n = SjisPairBytes(in);
    if (n == 0) break;
    w.Shift(kModeKanji);
    if (kOut == kOutSjis) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w.m_o),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
      w.m_o += n;
    } else {
      for (int i = 0, j1, j2; i < n; i += 2) {
        JisFromSjis(in[i], in[i + 1], &j1, &j2);
        w.m_o = PutPair<kOut>(w.m_o, j1, j2, index);
      }
    }
    pos += n;
    if (n < 16) {
      writer = w;
      return pos;
    }
  }
  while (kIn == kInUtf8 && pos + 16 <= end) {
    const unsigned char* in = data + pos;
    int n = Utf8ThreeByteCount(in);
    for (int i = 0; i < n; ++i, in += 3) {
      int u = (in[0] & 0x0F) << 12 | (in[1] & 0x3F) << 6 | (in[2] & 0x3F);
      if (kOut == kOutSjis) {
        uint16_t code = index.m_sjisOf[u];
        if (code == 0) {
          n = i;
          break;
        }
        w.m_o[0] = static_cast<unsigned char>(code >> 8);
        w.m_o[1] = static_cast<unsigned char>(code);
        w.m_o += 2;
      } else {
        uint16_t jis = index.m_jis[u];
        if (jis == 0) {
          n = i;
          break;
        }
        w.Pair(jis >> 8, jis & 0xFF);
      }
    }
    pos += 3 * n;
    if (n < 5) {
      writer = w;
      return pos;
    }
  }
#endif
  if (kIn == kInSjis) {
    for (int j1, j2; pos < end; pos += 2) {
      int c = data[pos];
      if (!((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF))) break;
      if (!JisFromSjis(c, data[pos + 1], &j1, &j2)) break;
      w.Pair(j1, j2);
    }
  } else if (kIn == kInUtf8) {
    // The leads 0xE0 and 0xED, with their narrower second bytes, are left
    // to the main loop.
    for (; pos < end && pos + 2 < size; pos += 3) {
      int c = data[pos], c2 = data[pos + 1], c3 = data[pos + 2];
      if ((c & 0xF0) != 0xE0 || c == 0xE0 || c == 0xED) break;
      if ((c2 & 0xC0) != 0x80 || (c3 & 0xC0) != 0x80) break;
      int u = (c & 0x0F) << 12 | (c2 & 0x3F) << 6 | (c3 & 0x3F);
      if (kOut == kOutSjis) {
        uint16_t code = index.m_sjisOf[u];
        if (code == 0) break;
        w.m_o[0] = static_cast<unsigned char>(code >> 8);
        w.m_o[1] = static_cast<unsigned char>(code);
        w.m_o += 2;
        continue;
      }
      uint16_t jis = index.m_jis[u];
      if (jis == 0) break;
      w.Pair(jis >> 8, jis & 0xFF);
    }
  }
  writer = w;
  return pos;
}

// Converts the pairs from pos on whose bytes are in kBase..kBase + 0x5D,
// EUC-JP (kBase 0xA1) or ISO-2022-JP in kanji mode (0x21), up to end;
// returns where it stopped.
template <OutputCode kOut, int kBase>
inline int PairRun(const unsigned char* data, int pos, int end, int size,
                   CHobFastWriter<kOut>& writer) {
  CHobFastWriter<kOut> w = writer;
#if defined(__SSE2__)
  while (pos + 16 <= end) {
    bool shift = kOut == kOutJis && w.m_mode != kModeKanji;
    unsigned char* o = w.m_o + (shift ? 3 : 0);
    int pairs = PairBlock<kOut, kBase>(data + pos, &o, *w.m_index);
    if (pairs == 0) break;
    if (shift) {
      w.m_o[0] = ESC;
      w.m_o[1] = '$';
      w.m_o[2] = static_cast<unsigned char>(w.m_kanjiFinal);
      w.m_mode = kModeKanji;
    }
    w.m_o = o;
    pos += pairs;
    if (pairs < 16) {
      writer = w;
      return pos;
    }
  }
#endif
  const int limit = end < size - 1 ? end : size - 1;
  for (; pos < limit; pos += 2) {
    unsigned row = data[pos] - unsigned{kBase}, cell = data[pos + 1] - unsigned{kBase};
    if ((row > 0x5D) | (cell > 0x5D)) break;
    w.Pair(data[pos] & 0x7F, data[pos + 1] & 0x7F);
  }
  writer = w;
  return pos;
}

enum Designation { kNoDesignation, kToKanji, kToAscii };

// The escape sequence at data[pos] when it is one the fast path follows:
// "ESC $ B" and "ESC $ @" to JIS X 0208, "ESC ( B", "ESC ( J" and
// "ESC ( H" to ASCII.
inline Designation DesignationAt(const unsigned char* data, int pos, int size) {
  if (pos + 2 >= size || data[pos] != ESC) return kNoDesignation;
  int c2 = data[pos + 1], c3 = data[pos + 2];
  if (c2 == '$' && (c3 == 'B' || c3 == '@')) return kToKanji;
  if (c2 == '(' && (c3 == 'B' || c3 == 'J' || c3 == 'H')) return kToAscii;
  return kNoDesignation;
}

// The half-width katakana at data[pos] (0x21..0x5F) in the input code, or 0.
template <int kIn>
inline int KanaAt(const unsigned char* data, int pos, int size) {
  if (kIn == kInSjis)
    return pos < size && data[pos] >= 0xA1 && data[pos] <= 0xDF ? data[pos] & 0x7F : 0;
  if (kIn == kInEuc) {
    return pos + 1 < size && data[pos] == SS2 && data[pos + 1] >= 0xA1 && data[pos + 1] <= 0xDF
               ? data[pos + 1] & 0x7F
               : 0;
  }
  if (kIn == kInUtf8 && pos + 2 < size && data[pos] == 0xEF) {
    int u = (data[pos + 1] & 0x3F) << 6 | (data[pos + 2] & 0x3F);
    bool continuation = (data[pos + 1] & 0xC0) == 0x80 && (data[pos + 2] & 0xC0) == 0x80;
    if (continuation && u >= 0xF61 && u <= 0xF9F && data[pos + 1] >= 0xBD) return u - 0xF61 + 0x21;
  }
  return 0;
}

template <int kIn>
constexpr int KanaBytes() {
  return kIn == kInSjis ? 1 : kIn == kInEuc ? 2 : 3;
}

// Half-width katakana from pos on to full-width, in blocks of up to sixteen,
// each katakana with the sound mark after it in one step, the mark after a
// block included, the last of the run as LeftToMainLoop says; returns where
// it stopped. Shift_JIS blocks in which no katakana takes a mark are looked
// up without the step's bookkeeping, thirty-two at a time with AVX2 in
// two-byte codes.
template <int kIn, OutputCode kOut>
int WideKanaRun(const unsigned char* data, int pos, int end, int size, CHobFastWriter<kOut>& w,
                bool equalStops) {
  const CHobKanaWide& table = KanaWide();
  const uint32_t(*entry)[4] = table.m_entry[kOut];
  constexpr int kBytes = KanaBytes<kIn>();
#if defined(__SSE2__)
  const bool avx2 = kIn == kInSjis && kOut != kOutUtf8 && HasAvx2();
#endif
  uint8_t k[17];
  while (pos < end) {
    int n = 0;
#if defined(__SSE2__)
    if (avx2 && pos + 33 <= size) {
      w.Shift(kModeKanji);
      pos = PlainKanaRun(data, pos, end, size, &w.m_o, table.m_byte[kOut], equalStops);
      if (pos >= end || KanaAt<kIn>(data, pos, size) == 0) break;
      // A katakana that takes the mark after it, in one step with its mark.
      uint32_t e = pos + 1 < size ? entry[data[pos] - 0xA0][MarkOf(data[pos + 1])] : 0;
      if (e >> 31) {
        memcpy(w.m_o, &e, 4);
        w.m_o += 2;
        pos += 2;
        continue;
      }
    }
    if (kIn == kInSjis && pos + 17 <= size) {
      const unsigned char* in = data + pos;
      n = SjisKanaCount(in);
      bool ends = n < 16 || KanaAt<kIn>(data, pos + 16, size) == 0;
      if (ends && n && LeftToMainLoop(in[n - 1], in[n], equalStops)) --n;
      if (n == 0) break;
      w.Shift(kModeKanji);
      if ((TakesMark(in) & ((1u << n) - 1)) == 0) {
        PlainKana<kOut>(in, n, entry, w.m_o);
        w.m_o += (kOut == kOutUtf8 ? 3 : 2) * n;
        pos += n;
        if (ends) break;
        continue;
      }
      memcpy(k, in, 16);
      k[n] = ends ? 0 : in[16];
    }
#endif
    if (n == 0) {
      for (int kana; n < 16 && (kana = KanaAt<kIn>(data, pos + n * kBytes, size)); ++n) {
        k[n] = static_cast<uint8_t>(kana | 0x80);
      }
      int after = KanaAt<kIn>(data, pos + n * kBytes, size);
      if (after == 0 && n) {
        int next = pos + n * kBytes;
        if (LeftToMainLoop(k[n - 1], next < size ? data[next] : -1, equalStops)) --n;
      }
      if (n == 0) break;
      k[n] = static_cast<uint8_t>(after ? after | 0x80 : 0);
      w.Shift(kModeKanji);
    }
    bool took = WideKana(k, n, entry, &w.m_o);
    pos += (n + took) * kBytes;
    if (k[n] == 0) break;
  }
  return pos;
}

template <int kIn, OutputCode kOut>
void Run(CHobKanjiState& s) {
  const uint8_t* cls = s.m_byteClass[kIn];
  const unsigned char* data = s.m_reader.m_data;
  const int size = s.m_reader.m_size;
  const int last = size - 1;  // a pair starts before the last byte
  const bool toX0208 = s.m_opt.m_kanaToX0208;
  const bool mimeWords = s.m_opt.m_mimeIn != kMimeOff;
#if defined(__SSE2__)
  const CHobStops stops{mimeWords, s.m_opt.m_brokenEol};
#endif
  int pos = s.m_reader.m_position;
  bool kanji = s.m_inMode == kModeKanji;  // ISO-2022-JP input between ESC $ B and ESC ( B
  const CHobUnicodeIndex& index = UnicodeIndex();
  CHobFastWriter<kOut> w{nullptr, s.m_outMode, s.m_opt.m_kanjiFinal, s.m_opt.m_asciiFinal, &index};
  bool stop = false;
  while (pos < last && !stop) {
    // Smaller pieces near the end of the buffer, so that it grows only when
    // the output outgrows it.
    int n = last - pos < kChunk ? last - pos : kChunk;
    size_t room = s.m_outCap - s.m_outLen;
    if (room < kMaxGrowth * n + kSlack && room >= kMaxGrowth * kMinChunk + kSlack) {
      n = static_cast<int>((room - kSlack - 1) / kMaxGrowth);
    }
    int end = pos + n;
    ReserveOutput(s, kMaxGrowth * static_cast<size_t>(n) + kSlack);
    unsigned char* start = reinterpret_cast<unsigned char*>(s.m_out + s.m_outLen);
    w.m_o = start;
    while (pos < end) {
      if (kanji) {
        pos = PairRun<kOut, 0x21>(data, pos, end, size, w);
        if (pos < end && DesignationAt(data, pos, size) == kToAscii) {
          pos += 3;
          kanji = false;
          continue;
        }
        stop = pos < end;
        break;
      }
      int c = data[pos];
      int k = cls[c];
      // Plain text: UTF-8 copied as it is, or ASCII, then the input code's
      // two-byte characters.
      const int before = pos;
#if defined(__SSE2__)
      if (kIn == kInUtf8 && kOut == kOutUtf8 && HasAvx2()) {
        pos = Utf8Run(data, pos, end, size, &w.m_o, stops, toX0208);
      } else if (k == kCopy || k == kEqual) {
        if (k == kCopy) w.Shift(kModeAscii);
        if (kOut != kOutJis || w.m_mode == kModeAscii) {
          pos = AsciiRun(data, pos, end, size, &w.m_o, stops);
        }
      }
#endif
      if (pos < end && cls[data[pos]] == kLead) {
        pos = kIn == kInEuc ? PairRun<kOut, 0xA1>(data, pos, end, size, w)
                            : MultiByteRun<kIn, kOut>(data, pos, end, size, w, index);
      }
      if (pos != before) continue;
      if (k == kCopy) {
        w.Ascii(c);
        ++pos;
        continue;
      }
      if (k == kEqual) {
        if (data[pos + 1] == '?') {
          stop = true;
          break;
        }
        w.Ascii(c);
        ++pos;
        continue;
      }
      if (k == kStop) {
        Designation d = DesignationAt(data, pos, size);
        if (d != kNoDesignation) {
          pos += 3;
          kanji = d == kToKanji;
          continue;
        }
        stop = true;
        break;
      }
      int kana = k == kKanaByte ? KanaAt<kIn>(data, pos, size) : 0;
      if (k == kKanaByte && kana == 0 && kIn != kInUtf8) {
        stop = true;
        break;
      }
      if (kana) {
        if (toX0208) {
          int after = WideKanaRun<kIn, kOut>(data, pos, end, size, w, mimeWords);
          if (after == pos) {
            stop = true;
            break;
          }
          pos = after;
          continue;
        }
#if defined(__SSE2__)
        if (kIn == kInSjis && kOut == kOutEuc && pos + 16 <= end &&
            SjisKanaCount(data + pos) == 16) {
          SjisKanaToEuc(data + pos, w.m_o);
          w.m_o += 32;
          pos += 16;
          continue;
        }
#endif
        pos += KanaBytes<kIn>();
        w.Kana(kana);
        continue;
      }
      int c2 = data[pos + 1];
      int j1, j2;
      if (kIn == kInEuc) {
        if (c2 < 0xA1 || c2 > 0xFE) {
          stop = true;
          break;
        }
        j1 = c & 0x7F;
        j2 = c2 & 0x7F;
        pos += 2;
      } else if (kIn == kInSjis) {
        if (!JisFromSjis(c, c2, &j1, &j2)) {
          stop = true;
          break;
        }
        pos += 2;
      } else {
        // UTF-8: two- and three-byte characters of JIS X 0208 (the leads
        // 0xE0 and 0xED, with their narrower second bytes, take the main loop).
        uint32_t u;
        int n;
        if (c < 0xE0) {
          if ((c2 & 0xC0) != 0x80) {
            stop = true;
            break;
          }
          u = static_cast<uint32_t>(c & 0x1F) << 6 | (c2 & 0x3F);
          n = 2;
        } else {
          if (pos + 2 >= size || (c2 & 0xC0) != 0x80 || (data[pos + 2] & 0xC0) != 0x80) {
            stop = true;
            break;
          }
          u = static_cast<uint32_t>(c & 0x0F) << 12 | (c2 & 0x3F) << 6 | (data[pos + 2] & 0x3F);
          n = 3;
        }
        uint16_t jis = JisFromUnicode(index, u);
        if (jis == 0) {
          stop = true;
          break;
        }
        j1 = jis >> 8;
        j2 = jis & 0xFF;
        pos += n;
      }
      w.Pair(j1, j2);
    }
    s.m_outLen += w.m_o - start;
  }
  s.m_reader.m_position = pos;
  s.m_inMode = kanji ? kModeKanji : kModeAscii;
  s.m_outMode = w.m_mode;
}

template <OutputCode kOut>
void RunByInput(CHobKanjiState& s) {
  switch (s.m_inCode) {
    case kDetect:
      Run<kDetect, kOut>(s);
      break;
    case kInEuc:
      Run<kInEuc, kOut>(s);
      break;
    case kInSjis:
      Run<kInSjis, kOut>(s);
      break;
    case kInUtf8:
      Run<kInUtf8, kOut>(s);
      break;
    default:
      break;
  }
}

}  // namespace

void BuildByteClasses(CHobKanjiState& s) {
  for (int code = kDetect; code <= kInUtf8; ++code) {
    uint8_t* cls = s.m_byteClass[code];
    for (int b = 0; b < 256; ++b) {
      bool lead = false;
      bool kana = false;
      if (code == kInEuc) {
        lead = b >= 0xA1 && b <= 0xFE;
        kana = b == SS2;
      } else if (code == kInSjis) {
        lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
        kana = b >= 0xA1 && b <= 0xDF;
      } else if (code == kInUtf8) {
        lead = (b >= 0xC2 && b <= 0xDF) || (b >= 0xE1 && b <= 0xEF && b != 0xED);
        kana = b == 0xEF;
      }
      cls[b] = kana ? kKanaByte : lead ? kLead : b < 0x80 ? kCopy : kStop;
    }
    cls[0] = cls[ESC] = cls[SO] = cls[SI] = kStop;
    if (s.m_opt.m_mimeIn != kMimeOff) cls[static_cast<int>('=')] = kEqual;
    if (s.m_opt.m_brokenEol) cls[static_cast<int>('\r')] = cls[static_cast<int>('\n')] = kStop;
  }
}

bool FastReady(const CHobKanjiState& s) {
  return s.m_fastPath && s.m_pendN == 0 && !s.m_word.m_active &&
         (s.m_inMode == kModeAscii || s.m_inMode == kModeKanji) && !s.m_shiftOut &&
         s.m_kanaHeld == 0;
}

void FastRun(CHobKanjiState& s) {
  switch (s.m_opt.m_outCode) {
    case kOutJis:
      RunByInput<kOutJis>(s);
      break;
    case kOutSjis:
      RunByInput<kOutSjis>(s);
      break;
    case kOutEuc:
      RunByInput<kOutEuc>(s);
      break;
    case kOutUtf8:
      RunByInput<kOutUtf8>(s);
      break;
  }
}

}  // namespace hobkanji
