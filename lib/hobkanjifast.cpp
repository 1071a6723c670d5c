// The converter's fast path. While the input is in ASCII mode and no stage
// but the encoder (and the width stage's katakana) has work, runs of ASCII,
// JIS X 0208 characters and half-width katakana go straight from the input
// to the output buffer, sixteen bytes at a time where they can. Anything
// else (escape sequences, the "=?" of a MIME word, invalid bytes, a byte that
// decides the input code, characters outside JIS X 0208) goes back to the
// main loop.
#include <cstring>

#include "hobkanjistate.h"
#include "hobkanjitables.h"
#if defined(__SSE2__)
#include <emmintrin.h>
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

#if defined(__SSE2__)
// How many of the sixteen bytes at in, from the first on, are ASCII that
// needs no stage: none with the high bit, none of the controls the main
// loop acts on, no "=?" when MIME words are decoded. REQUIRES: 17 bytes
// readable at in.
inline int AsciiBlock(const unsigned char* in, bool equalStops, bool lineEndStops) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i stop = _mm_or_si128(
      _mm_cmpeq_epi8(v, _mm_set1_epi8(ESC)),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(SO)), _mm_cmpeq_epi8(v, _mm_set1_epi8(SI))));
  if (equalStops) {
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1));
    stop = _mm_or_si128(stop, _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')),
                                            _mm_cmpeq_epi8(next, _mm_set1_epi8('?'))));
  }
  if (lineEndStops) {
    stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
  }
  return __builtin_ctz(_mm_movemask_epi8(v) | _mm_movemask_epi8(stop) | 0x10000);
}

// Up to eight EUC-JP kanji at once: the bytes at in from a lead byte on
// that are 0xA1..0xFE, as whole pairs, are converted; returns their count
// (even, at most 16). Writes 16 output bytes, of which that many count.
template <OutputCode kOut>
inline int EucBlock(const unsigned char* in, unsigned char* out) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i x = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA1)));  // row and cell from 0
  __m128i fits = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x5D)), x);
  int n = __builtin_ctz(~_mm_movemask_epi8(fits) | 0x10000) & ~1;
  if (n == 0) return 0;
  __m128i result;
  if (kOut == kOutEuc) {
    result = v;
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
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), result);
  return n;
}

// Sixteen Shift_JIS half-width katakana at in, kept half-width, as EUC-JP:
// SS2 before each. False unless all are 0xA1..0xDF. Writes 32 bytes.
inline bool SjisKanaBlock(const unsigned char* in, unsigned char* out) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  __m128i x = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA1)));
  __m128i fits = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x3E)), x);
  if (_mm_movemask_epi8(fits) != 0xFFFF) return false;
  __m128i ss2 = _mm_set1_epi8(static_cast<char>(SS2));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(ss2, v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(ss2, v));
  return true;
}
#endif

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
    if (kOut == kOutJis) {
      Shift(kModeKanji);
      *m_o++ = static_cast<unsigned char>(j1);
      *m_o++ = static_cast<unsigned char>(j2);
    } else if (kOut == kOutSjis) {
      uint16_t code = m_index->m_sjis[(j1 - 0x21) * 94 + j2 - 0x21];
      *m_o++ = static_cast<unsigned char>(code >> 8);
      *m_o++ = static_cast<unsigned char>(code);
    } else if (kOut == kOutEuc) {
      *m_o++ = static_cast<unsigned char>(j1 | 0x80);
      *m_o++ = static_cast<unsigned char>(j2 | 0x80);
    } else {
      // Four bytes written, as many as the character has counted.
      uint32_t bytes = m_index->m_utf8[(j1 - 0x21) * 94 + j2 - 0x21];
      memcpy(m_o, &bytes, 4);
      m_o += bytes >> 24;
    }
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

// Converts a run of JIS X 0208 characters from pos on, in pairs (EUC-JP,
// Shift_JIS) or three-byte UTF-8, up to end; returns where it stopped.
template <int kIn, OutputCode kOut>
inline int MultiByteRun(const unsigned char* data, int pos, int end, int size,
                        CHobFastWriter<kOut>& w, const CHobUnicodeIndex& index) {
  if (kIn == kInEuc) {
    for (; pos < end; pos += 2) {
      unsigned row = data[pos] - 0xA1u, cell = data[pos + 1] - 0xA1u;
      if (row > 0x5D || cell > 0x5D) break;
      w.Pair(data[pos] & 0x7F, data[pos + 1] & 0x7F);
    }
  } else if (kIn == kInSjis) {
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
  return pos;
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

template <int kIn, OutputCode kOut>
void Run(CHobKanjiState& s) {
  const uint8_t* cls = s.m_byteClass[kIn];
  const unsigned char* data = s.m_reader.m_data;
  const int size = s.m_reader.m_size;
  const int last = size - 1;  // a pair starts before the last byte
  const bool toX0208 = s.m_opt.m_kanaToX0208;
#if defined(__SSE2__)
  const bool equalStops = s.m_opt.m_mimeIn != kMimeOff;
  const bool lineEndStops = s.m_opt.m_brokenEol;
#endif
  int pos = s.m_reader.m_position;
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
      int c = data[pos];
      int k = cls[c];
#if defined(__SSE2__)
      if (c < 0x80 && pos + 17 <= size && (kOut != kOutJis || w.m_mode == kModeAscii)) {
        int plain = AsciiBlock(data + pos, equalStops, lineEndStops);
        if (plain) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(w.m_o),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos)));
          w.m_o += plain;
          pos += plain;
          continue;
        }
      }
#endif
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
        stop = true;
        break;
      }
      int kana = k == kKanaByte ? KanaAt<kIn>(data, pos, size) : 0;
      if (k == kKanaByte && kana == 0 && kIn != kInUtf8) {
        stop = true;
        break;
      }
      if (kana) {
#if defined(__SSE2__)
        if (kIn == kInSjis && kOut == kOutEuc && !toX0208 && pos + 16 <= end &&
            SjisKanaBlock(data + pos, w.m_o)) {
          w.m_o += 32;
          pos += 16;
          continue;
        }
#endif
        pos += KanaBytes<kIn>();
        if (!toX0208) {
          w.Kana(kana);
          continue;
        }
        // A kana that takes a sound mark combines with the mark after it.
        int next = KanaAt<kIn>(data, pos, size);
        uint16_t code = kKanaPlain[kana - 0x20];
        if (next == 0x5E && kKanaVoiced[kana - 0x20]) {
          code = kKanaVoiced[kana - 0x20];
          pos += KanaBytes<kIn>();
        } else if (next == 0x5F && kKanaSemivoiced[kana - 0x20]) {
          code = kKanaSemivoiced[kana - 0x20];
          pos += KanaBytes<kIn>();
        }
        w.Pair(code >> 8, code & 0xFF);
        continue;
      }
#if defined(__SSE2__)
      if (kIn == kInEuc && kOut != kOutUtf8 && pos + 16 <= end) {
        bool shift = kOut == kOutJis && w.m_mode != kModeKanji;
        int pairs = EucBlock<kOut>(data + pos, w.m_o + (shift ? 3 : 0));
        if (pairs) {
          if (shift) {
            w.m_o[0] = ESC;
            w.m_o[1] = '$';
            w.m_o[2] = static_cast<unsigned char>(w.m_kanjiFinal);
            w.m_o += 3;
            w.m_mode = kModeKanji;
          }
          w.m_o += pairs;
          pos += pairs;
          continue;
        }
      }
#endif
      int after = MultiByteRun<kIn, kOut>(data, pos, end, size, w, index);
      if (after > pos) {
        pos = after;
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
    cls[ESC] = cls[SO] = cls[SI] = kStop;
    if (s.m_opt.m_mimeIn != kMimeOff) cls[static_cast<int>('=')] = kEqual;
    if (s.m_opt.m_brokenEol) cls[static_cast<int>('\r')] = cls[static_cast<int>('\n')] = kStop;
  }
}

bool FastReady(const CHobKanjiState& s) {
  return s.m_fastPath && s.m_pendN == 0 && !s.m_word.m_active && s.m_inMode == kModeAscii &&
         !s.m_shiftOut && s.m_kanaHeld == 0;
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
