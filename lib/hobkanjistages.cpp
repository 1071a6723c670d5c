// The converter's output side: the growing output buffer, the encoders of
// the four output codes, and the stages in front of them (width, folding,
// rotation, line ends).
#include <cstdlib>
#include <cstring>

#include "hobkanjistate.h"
#include "hobkanjitables.h"

namespace hobkanji {

// ---------------------------------------------------------------------------
// Output buffer.

// The buffer starts as large as the input and grows by half its size, at
// least 1024 bytes: fixed steps would make an output that outgrows its input
// by much (ISO-2022-JP of text where ASCII and kanji alternate) cost a copy
// of the whole buffer every 1024 bytes.
constexpr size_t kGrowStep = 1024;

void GrowOutput(CHobKanjiState& s) {
  size_t step = s.m_outCap / 2 > kGrowStep ? s.m_outCap / 2 : kGrowStep;
  s.m_out = static_cast<char*>(realloc(s.m_out, s.m_outCap + step));
  s.m_outCap += step;
}

void ReserveOutput(CHobKanjiState& s, size_t n) {
  while (s.m_outLen + n >= s.m_outCap) GrowOutput(s);
}

// ---------------------------------------------------------------------------
// Encoders. A character the output code cannot hold becomes the geta mark;
// no encoder but the ISO-2022-JP one writes an ESC.

int Utf8Bytes(uint32_t u, unsigned char* out) {
  if (u < 0x80) {
    out[0] = static_cast<unsigned char>(u);
    return 1;
  }
  if (u < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | u >> 6);
    out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    return 2;
  }
  if (u < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | u >> 12);
    out[1] = static_cast<unsigned char>(0x80 | (u >> 6 & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | u >> 18);
  out[1] = static_cast<unsigned char>(0x80 | (u >> 12 & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | (u >> 6 & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (u & 0x3F));
  return 4;
}

namespace {

void JisShift(CHobKanjiState& s, ShiftMode mode) {
  if (s.m_outMode == mode) return;
  Put(s, ESC);
  if (mode == kModeKanji) {
    Put(s, '$');
    Put(s, s.m_opt.m_kanjiFinal);
  } else {
    Put(s, '(');
    Put(s, mode == kModeKana ? 'I' : s.m_opt.m_asciiFinal);
  }
  s.m_outMode = mode;
}

bool IsOwnKind(int c1) { return c1 == kX0212 || c1 == kSjisOwn || c1 == kUnicode; }

}  // namespace

void EncodeJis(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii || c1 == kLatin1) {
    JisShift(s, kModeAscii);
    Put(s, c2);
  } else if (c1 == kKana) {
    JisShift(s, kModeKana);
    Put(s, c2);
  } else if (c1 == kEnd) {
    JisShift(s, kModeAscii);
  } else if (IsValidPair(c1, c2) || IsOwnKind(c1)) {
    JisShift(s, kModeKanji);
    Put(s, IsOwnKind(c1) ? kGeta1 : c1);
    Put(s, IsOwnKind(c1) ? kGeta2 : c2);
  } else {
    ReopenDetection(s);
  }
}

void EncodeSjis(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii || c1 == kLatin1) {
    if (c2 != ESC) Put(s, c2);
  } else if (c1 == kKana) {
    Put(s, c2 | 0x80);
  } else if (c1 == kEnd) {
    return;
  } else if (c1 == kSjisOwn) {
    Put(s, c2 >> 8);
    Put(s, c2 & 0xFF);
  } else if (IsValidPair(c1, c2) || IsOwnKind(c1)) {
    int s1, s2;
    SjisFromJis(IsOwnKind(c1) ? kGeta1 : c1, IsOwnKind(c1) ? kGeta2 : c2, &s1, &s2);
    Put(s, s1);
    Put(s, s2);
  } else {
    ReopenDetection(s);
  }
}

void EncodeEuc(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii || c1 == kLatin1) {
    if (c2 != ESC) Put(s, c2);
  } else if (c1 == kKana) {
    Put(s, SS2);
    Put(s, c2 | 0x80);
  } else if (c1 == kEnd) {
    return;
  } else if (c1 == kX0212) {
    Put(s, SS3);
    Put(s, c2 >> 8 | 0x80);
    Put(s, (c2 & 0xFF) | 0x80);
  } else if (IsValidPair(c1, c2) || IsOwnKind(c1)) {
    Put(s, (IsOwnKind(c1) ? kGeta1 : c1) | 0x80);
    Put(s, (IsOwnKind(c1) ? kGeta2 : c2) | 0x80);
  } else {
    ReopenDetection(s);
  }
}

void EncodeUtf8(CHobKanjiState& s, int c1, int c2) {
  uint32_t u;
  if (c1 == kAscii) {
    if (c2 == ESC) return;
    u = static_cast<uint32_t>(c2);
  } else if (c1 == kLatin1) {
    u = static_cast<uint32_t>(c2);
  } else if (c1 == kKana) {
    u = 0xFF61 + static_cast<uint32_t>(c2 - 0x21);
  } else if (c1 == kEnd) {
    return;
  } else if (c1 == kUnicode) {
    u = static_cast<uint32_t>(c2);
  } else if (IsValidPair(c1, c2) || IsOwnKind(c1)) {
    u = IsOwnKind(c1) ? 0 : UnicodeFromJis(c1, c2);
    if (u == 0) u = UnicodeFromJis(kGeta1, kGeta2);
  } else {
    ReopenDetection(s);
    return;
  }
  unsigned char bytes[4];
  int n = Utf8Bytes(u, bytes);
  for (int i = 0; i < n; ++i) Put(s, bytes[i]);
}

// ---------------------------------------------------------------------------
// Width stage: JIS X 0201 katakana to JIS X 0208, and with Z JIS X 0208
// alphanumerics and symbols to ASCII.

namespace {

void PutX0208(CHobKanjiState& s, uint16_t code) { s.m_afterWidth(s, code >> 8, code & 0xFF); }

}  // namespace

void WidthStage(CHobKanjiState& s, int c1, int c2) {
  if (c1 != kKana && s.m_kanaHeld == 0 && s.m_opt.m_zMode < 0) {
    s.m_afterWidth(s, c1, c2);
    return;
  }
  if (s.m_kanaHeld) {
    int held = s.m_kanaHeld - 0x20;
    s.m_kanaHeld = 0;
    if (c1 == kKana && c2 == 0x5E && kKanaVoiced[held]) {
      PutX0208(s, kKanaVoiced[held]);
      return;
    }
    if (c1 == kKana && c2 == 0x5F && kKanaSemivoiced[held]) {
      PutX0208(s, kKanaSemivoiced[held]);
      return;
    }
    PutX0208(s, kKanaPlain[held]);
  }
  if (c1 == kKana && s.m_opt.m_kanaToX0208) {
    if (kKanaVoiced[c2 - 0x20] || kKanaSemivoiced[c2 - 0x20]) {
      s.m_kanaHeld = c2;
    } else {
      PutX0208(s, kKanaPlain[c2 - 0x20]);
    }
    return;
  }
  if (s.m_opt.m_zMode >= 0) {
    if (c1 == 0x23 && IsAlnum(c2)) {
      s.m_afterWidth(s, kAscii, c2);
      return;
    }
    if (c1 == 0x21 && c2 == 0x21 && s.m_opt.m_zMode > 0) {
      s.m_afterWidth(s, kAscii, ' ');
      if (s.m_opt.m_zMode == 2) s.m_afterWidth(s, kAscii, ' ');
      return;
    }
    if (c1 == 0x21 && IsGraphic(c2) && kSymbolAscii[c2 - 0x21]) {
      s.m_afterWidth(s, kAscii, kSymbolAscii[c2 - 0x21]);
      return;
    }
  }
  s.m_afterWidth(s, c1, c2);
}

// ---------------------------------------------------------------------------
// Folding stage.

namespace {

// Characters that may not begin a line and so stay at the end of a full one.
bool StaysOnLine(const CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii) return strchr("!,/:;?).]}", c2) != nullptr || s.m_foldAfterAlnum;
  if (c1 == kKana) return c2 == 0x21 || c2 == 0x23 || c2 == 0x24 || c2 == 0x30 || c2 >= 0x5E;
  if (c1 == 0x21) {
    return (c2 >= 0x22 && c2 <= 0x25) || (c2 >= 0x27 && c2 <= 0x2C) || c2 == 0x4B || c2 == 0x57;
  }
  return false;
}

void FoldNewline(CHobKanjiState& s) {
  s.m_afterFold(s, kAscii, '\n');
  s.m_foldCol = 0;
  s.m_foldAfterAlnum = false;
  s.m_foldAfterAscii = false;
}

// Line ends and white space seen before a character of width w: two or
// more line ends are kept; one is a space after ASCII and nothing after a
// two-byte character; a space that does not fit becomes a line end.
void FoldPending(CHobKanjiState& s, int w) {
  if (s.m_foldNewlines >= 2) {
    for (; s.m_foldNewlines; s.m_foldNewlines--) FoldNewline(s);
    s.m_foldSpace = false;
  } else if (s.m_foldNewlines == 1) {
    s.m_foldNewlines = 0;
    if (s.m_foldAfterAscii && s.m_foldCol > 0) s.m_foldSpace = true;
  }
  if (!s.m_foldSpace) return;
  s.m_foldSpace = false;
  if (s.m_foldCol + 1 + w > s.m_opt.m_foldWidth) {
    FoldNewline(s);
  } else {
    s.m_afterFold(s, kAscii, ' ');
    s.m_foldCol++;
    s.m_foldAfterAlnum = false;
  }
}

}  // namespace

void FoldStage(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kEnd) {
    if (s.m_foldNewlines >= 2) {
      FoldPending(s, 0);
    } else if (s.m_foldNewlines == 1 || s.m_foldCol > 0) {
      FoldNewline(s);
    }
    s.m_afterFold(s, kEnd, 0);
    return;
  }
  if (c1 == kAscii && c2 < 0x20) {
    switch (c2) {
      case '\r':
        return;
      case '\n':
        s.m_foldNewlines++;
        return;
      case '\t':
        s.m_foldSpace = true;
        return;
      case '\f':
      case '\b':
        if (s.m_foldNewlines >= 2) FoldPending(s, 0);
        s.m_foldNewlines = 0;
        s.m_foldSpace = false;
        s.m_afterFold(s, kAscii, c2);
        s.m_foldCol = c2 == '\f' ? 0 : (s.m_foldCol > 0 ? s.m_foldCol - 1 : 0);
        return;
      default:
        s.m_afterFold(s, c1, c2);
        return;
    }
  }
  if ((c1 == kAscii && c2 == ' ') || (c1 == 0x21 && c2 == 0x21)) {
    s.m_foldSpace = true;
    return;
  }
  bool ascii = c1 == kAscii;
  int w = (ascii || c1 == kKana || c1 == kLatin1) ? 1 : 2;
  FoldPending(s, w);
  if (s.m_foldCol > 0 && s.m_foldCol + w > s.m_opt.m_foldWidth &&
      !(s.m_foldCol + w < s.m_opt.m_foldWidth + 10 && StaysOnLine(s, c1, c2))) {
    FoldNewline(s);
  }
  s.m_afterFold(s, c1, c2);
  s.m_foldCol += w;
  s.m_foldAfterAlnum = ascii && IsAlnum(c2);
  s.m_foldAfterAscii = ascii || c1 == kLatin1;
}

// ---------------------------------------------------------------------------
// Rotation and line ends.

void RotStage(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii) {
    if (c2 >= 'A' && c2 <= 'Z') {
      c2 = 'A' + (c2 - 'A' + 13) % 26;
    } else if (c2 >= 'a' && c2 <= 'z') {
      c2 = 'a' + (c2 - 'a' + 13) % 26;
    }
  } else if (IsValidPair(c1, c2)) {
    c1 = 0x21 + (c1 - 0x21 + 47) % 94;
    c2 = 0x21 + (c2 - 0x21 + 47) % 94;
  }
  s.m_afterRot(s, c1, c2);
}

void EolStage(CHobKanjiState& s, int c1, int c2) {
  if (c1 == kAscii && (c2 == '\r' || c2 == '\n')) {
    bool secondOfCrLf = c2 == '\n' && s.m_eolAfterCr;
    s.m_eolAfterCr = c2 == '\r';
    if (secondOfCrLf) return;
    if (s.m_opt.m_eol != kEolLf) s.m_afterEol(s, kAscii, '\r');
    if (s.m_opt.m_eol != kEolCr) s.m_afterEol(s, kAscii, '\n');
    return;
  }
  s.m_eolAfterCr = false;
  s.m_afterEol(s, c1, c2);
}

}  // namespace hobkanji
