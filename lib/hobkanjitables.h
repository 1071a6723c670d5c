// The converter's tables and the arithmetic between its codes: JIS X 0201
// katakana and JIS X 0208, JIS X 0208 and Shift_JIS, JIS X 0208 and Unicode.
#ifndef HOB_HOBKANJITABLES_H_
#define HOB_HOBKANJITABLES_H_

#include <cstdint>

namespace hobkanji {

// JIS X 0201 katakana 0x20..0x5F (index code - 0x20) to JIS X 0208, alone
// and combined with a following voiced or semi-voiced sound mark; 0 where
// there is no combined form.
extern const uint16_t kKanaPlain[64];
extern const uint16_t kKanaVoiced[64];
extern const uint16_t kKanaSemivoiced[64];
// JIS X 0208 row 1 cells 0x21..0x7E to an ASCII character, 0 where there is none.
extern const char kSymbolAscii[94];
// The Unicode character of JIS X 0208 code (row, cell), index (row - 0x21) *
// 94 + cell - 0x21; 0 where JIS X 0208 has none.
extern const uint16_t kJisUnicode[94 * 94];
// For Shift_JIS 0xFA40..0xFC4B, index (lead - 0xFA) * 0xC0 + second byte -
// 0x40: the code below 0xF0 that names the same character, or 0.
extern const uint16_t kIbmOther[3 * 0xC0];

// JIS X 0208 from Unicode, and the UTF-8 of every JIS X 0208 code.
struct CHobUnicodeIndex {
  uint16_t m_jis[0x10000];     // the JIS X 0208 code of each character below U+10000, or 0
  uint16_t m_sjisOf[0x10000];  // the same as Shift_JIS bytes, lead byte high, or 0
  // Index as kJisUnicode: the UTF-8 bytes, first byte lowest, with their
  // count in the high byte; the geta mark's where JIS X 0208 has none.
  uint32_t m_utf8[94 * 94];
  uint16_t m_sjis[94 * 94];  // index as kJisUnicode: the Shift_JIS bytes, lead byte high
};

// Built at first use; safe from any thread.
const CHobUnicodeIndex& UnicodeIndex();

// The JIS X 0208 code (row << 8 | cell) of Unicode character u, or 0.
inline uint16_t JisFromUnicode(const CHobUnicodeIndex& index, uint32_t u) {
  return u > 0xFFFF ? 0 : index.m_jis[u];
}

// The Unicode character of JIS X 0208 code (j1, j2), or 0.
// REQUIRES: j1 and j2 in 0x21..0x7E.
inline uint16_t UnicodeFromJis(int j1, int j2) { return kJisUnicode[(j1 - 0x21) * 94 + j2 - 0x21]; }

// The arithmetic between JIS X 0208 and Shift_JIS, kept in tables so that
// no branch depends on the bytes converted.
//
// Row j1 (0x21..0x7E) has the lead byte m_lead[j1]; cell j2 has the second
// byte m_trail[j2] in an odd row and m_trail[0x80 | j2] in an even one.
// Back again, lead byte s1 gives the odd row m_row[s1], and second byte s2
// gives m_cell[s2]: the cell, with 0x100 added when it belongs to the even
// row after it; 0 where s2 is no second byte.
struct CHobSjisTables {
  uint8_t m_lead[128];
  uint8_t m_trail[256];
  uint8_t m_row[256];
  uint16_t m_cell[256];
};

constexpr CHobSjisTables MakeSjisTables() {
  CHobSjisTables t{};
  for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
    int lead = ((j1 - 0x21) >> 1) + 0x81;
    t.m_lead[j1] = static_cast<uint8_t>(lead > 0x9F ? lead + 0x40 : lead);
  }
  for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
    t.m_trail[j2] = static_cast<uint8_t>(j2 + 0x1F + (j2 >= 0x60 ? 1 : 0));
    t.m_trail[0x80 | j2] = static_cast<uint8_t>(j2 + 0x7E);
  }
  for (int s1 = 0x81; s1 <= 0xEF; ++s1) {
    int lead = s1 >= 0xE0 ? s1 - 0x40 : s1;
    if (s1 < 0xA0 || s1 >= 0xE0) t.m_row[s1] = static_cast<uint8_t>(((lead - 0x81) << 1) + 0x21);
  }
  for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
    int cell = s2 >= 0x9F ? 0x100 | (s2 - 0x7E) : s2 - 0x1F - (s2 >= 0x80 ? 1 : 0);
    if (s2 != 0x7F) t.m_cell[s2] = static_cast<uint16_t>(cell);
  }
  return t;
}

inline constexpr CHobSjisTables kSjis = MakeSjisTables();

// REQUIRES: j1 and j2 in 0x21..0x7E.
inline void SjisFromJis(int j1, int j2, int* s1, int* s2) {
  *s1 = kSjis.m_lead[j1];
  *s2 = kSjis.m_trail[((~j1 & 1) << 7) | j2];
}

// False when s2 is no second byte of Shift_JIS. REQUIRES: s1 a lead byte
// below 0xF0 (0x81..0x9F, 0xE0..0xEF), s2 in 0..255.
inline bool JisFromSjis(int s1, int s2, int* j1, int* j2) {
  int cell = kSjis.m_cell[s2];
  *j1 = kSjis.m_row[s1] + (cell >> 8);
  *j2 = cell & 0xFF;
  return cell != 0;
}

}  // namespace hobkanji

#endif  // HOB_HOBKANJITABLES_H_
