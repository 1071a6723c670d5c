// The Japanese character-code converter: options, the set-up of the chains,
// and the main loop. hobkanjistate.h describes how the parts fit together.
#include "hobkanji.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "hobkanjistate.h"
#include "hobstring.h"

namespace hobkanji {
namespace {

// ---------------------------------------------------------------------------
// Options.

struct CHobLongOption {
  const char* m_name;
  const char* m_letters;
};

const CHobLongOption kLongOptions[] = {
    {"base64", "jMB"},   {"euc", "e"},        {"euc-input", "E"}, {"fj", "jm"},
    {"help", "v"},       {"jis", "j"},        {"jis-input", "J"}, {"mac", "sLm"},
    {"mime", "jM"},      {"mime-input", "m"}, {"msdos", "sLw"},   {"sjis", "s"},
    {"sjis-input", "S"}, {"unix", "eLu"},     {"utf8", "w"},      {"utf8-input", "W"},
    {"version", "V"},    {"windows", "sLw"},
};

// Reads option letters to the end of p; a long option ends the parsing.
void ParseLetters(const char* p, CHobKanjiOptions& o) {
  while (*p) {
    char c = *p++;
    switch (c) {
      case 'j':
      case 'n':
        o.m_outCode = kOutJis;
        break;
      case 's':
        o.m_outCode = kOutSjis;
        break;
      case 'e':
        o.m_outCode = kOutEuc;
        break;
      case 'w':
        o.m_outCode = kOutUtf8;
        break;
      case 'W':
        o.m_inCode = kInUtf8;
        break;
      case 'J':
      case 'E':
        o.m_inCode = kInEuc;
        break;
      case 'S':
        o.m_inCode = kInSjis;
        break;
      case 'l':
        o.m_inCode = kInLatin1;
        break;
      case 't':
        o.m_copyOnly = true;
        break;
      case 'i':
        if (*p == '@' || *p == 'B') o.m_kanjiFinal = *p++;
        break;
      case 'o':
        if (*p == 'B' || *p == 'H' || *p == 'J') o.m_asciiFinal = *p++;
        break;
      case 'r':
        o.m_rotate = true;
        break;
      case 'f': {
        long n = 0;
        bool digits = false;
        while (IsDigit(*p)) {
          if (n < 100000) n = n * 10 + (*p - '0');
          digits = true;
          ++p;
        }
        o.m_foldWidth = (digits && n >= 1 && n <= 8191) ? static_cast<int>(n) : 60;
        break;
      }
      case 'Z':
        o.m_zMode = 0;
        if (*p >= '0' && *p <= '2') o.m_zMode = *p++ - '0';
        break;
      case 'X':
        o.m_kanaToX0208 = true;
        break;
      case 'x':
        o.m_kanaToX0208 = false;
        break;
      case 'B':
        if (*p == '1') {
          o.m_brokenUnknown = true;
          ++p;
        } else if (*p == '2') {
          o.m_brokenEol = true;
          ++p;
        } else {
          if (*p == '0') ++p;
          o.m_brokenRecover = true;
        }
        break;
      case 'm':
        switch (*p) {
          case 'N':
            o.m_mimeIn = kMimeLenient;
            ++p;
            break;
          case '0':
            o.m_mimeIn = kMimeOff;
            ++p;
            break;
          case 'B':
          case 'Q':
            o.m_mimeWholeIn = *p++;
            break;
          case 'S':
            ++p;
            o.m_mimeIn = kMimeStrict;
            break;
          default:
            o.m_mimeIn = kMimeStrict;
            break;
        }
        break;
      case 'M':
        if (*p == 'B') {
          o.m_mimeOut = kMimeOutBase64;
          ++p;
        } else if (*p == 'Q') {
          o.m_mimeOut = kMimeOutQp;
          ++p;
        } else {
          o.m_mimeOut = kMimeOutWords;
        }
        break;
      case 'L':
        switch (*p) {
          case 'u':
            o.m_eol = kEolLf;
            ++p;
            break;
          case 'm':
            o.m_eol = kEolCr;
            ++p;
            break;
          case 'w':
            o.m_eol = kEolCrLf;
            ++p;
            break;
          case '0':
            o.m_eol = kEolKeep;
            ++p;
            break;
          default:
            break;
        }
        break;
      case 'd':
        o.m_eol = kEolLf;
        break;
      case 'c':
        o.m_eol = kEolCrLf;
        break;
      case '-':
        for (const CHobLongOption& l : kLongOptions) {
          if (strcmp(p, l.m_name) == 0) {
            ParseLetters(l.m_letters, o);
            break;
          }
        }
        return;
      default:
        break;  // letters without an effect here (b, u, v, V, ...)
    }
  }
}

CHobKanjiOptions ParseOptions(const char* options) {
  CHobKanjiOptions o;
  if (options[0] == '-') ParseLetters(options + 1, o);
  return o;
}

// ---------------------------------------------------------------------------
// Main loop: escape sequences, shifts and 8-bit bytes.

// An escape sequence that is not understood goes on as it came; only the
// ISO-2022-JP encoder writes its ESC.
void CopyEscape(CHobKanjiState& s, const char* prefix, int last) {
  for (const char* p = prefix; *p; ++p) s.m_emit(s, kAscii, static_cast<unsigned char>(*p));
  if (IsGraphic(last)) {
    s.m_emit(s, kAscii, last);
  } else {
    Unread(s, last);
  }
}

// A designation of a multi-byte set: JIS X 0208 ("@" and "B"), or with B1
// any final byte, switches to kanji mode; any other final byte to a mode
// whose characters the converter does not know.
void MultiByteSet(CHobKanjiState& s, int final) {
  s.m_inMode = final == '@' || final == 'B' || s.m_opt.m_brokenUnknown ? kModeKanji : kModeOther;
}

void Escape(CHobKanjiState& s) {
  int c2 = NextChar(s);
  if (c2 == '$') {
    int c3 = NextChar(s);
    if (c3 >= 0x40 && c3 <= 0x7E) {
      MultiByteSet(s, c3);
      return;
    }
    if (c3 == '(') {
      int c4 = NextChar(s);
      if (c4 >= 0x40 && c4 <= 0x7E) {
        MultiByteSet(s, c4);
        return;
      }
      CopyEscape(s, "\x1b$(", c4);
      return;
    }
    CopyEscape(s, "\x1b$", c3);
    return;
  }
  if (c2 == '(') {
    int c3 = NextChar(s);
    if (c3 == 'I') {
      s.m_inMode = kModeKana;
      return;
    }
    if (c3 == 'B' || c3 == 'H' || c3 == 'J' || (s.m_opt.m_brokenUnknown && IsGraphic(c3))) {
      s.m_inMode = kModeAscii;
      return;
    }
    CopyEscape(s, "\x1b(", c3);
    return;
  }
  s.m_emit(s, kAscii, ESC);
  Unread(s, c2);
}

void Control(CHobKanjiState& s, int c) {
  switch (c) {
    case ESC:
      Escape(s);
      return;
    case SO:
      s.m_shiftOut = true;
      return;
    case SI:
      s.m_shiftOut = false;
      return;
    case 0:
      s.m_zeroOut = true;
      break;
    case '\r':
    case '\n':
      if (s.m_opt.m_brokenEol) {
        s.m_inMode = kModeAscii;
        s.m_shiftOut = false;
        ReopenDetection(s);
      }
      break;
    default:
      break;
  }
  s.m_emit(s, kAscii, c);
}

// The second byte of a pair in kanji mode; a first byte without one is
// dropped. A pair of an unknown set is one geta mark.
void KanjiPair(CHobKanjiState& s, int c1) {
  s.m_inPair = true;
  int c2 = NextChar(s);
  s.m_inPair = false;
  if (!IsGraphic(c2)) {
    Unread(s, c2);
  } else if (s.m_inMode == kModeOther) {
    s.m_emit(s, kGeta1, kGeta2);
  } else {
    s.m_emit(s, c1, c2);
  }
}

// One character or escape sequence at a time until the input ends; the
// decoder then closes the output with the end marker.
void Run(CHobKanjiState& s) {
  for (;;) {
    if (FastReady(s)) FastRun(s);
    int c = NextChar(s);
    if (c < 0) break;
    if (c >= 0x80) {
      EightBit(s, c);
    } else if (c <= 0x20 || c == 0x7F) {
      Control(s, c);
    } else if (s.m_shiftOut || s.m_inMode == kModeKana) {
      if (c <= 0x5F) s.m_emit(s, kKana, c);  // 0x60..0x7E are no katakana
    } else if (s.m_inMode != kModeAscii) {
      KanjiPair(s, c);
    } else if (c == '=' && s.m_opt.m_mimeIn != kMimeOff && !s.m_word.m_active && TryMimeWord(s)) {
      continue;
    } else {
      s.m_emit(s, kAscii, c);
    }
  }
  s.m_decode(s, -1);
}

// ---------------------------------------------------------------------------
// Set-up.

// REQUIRES: s value-initialised.
void Reset(CHobKanjiState& s, const CHobKanjiOptions& opt, const char* input, int length) {
  s.m_opt = opt;
  s.m_reader = CHobMemReader{reinterpret_cast<const unsigned char*>(input), length, 0, -1};
  s.m_wholeBack = -1;
  s.m_brokenPrev = -1;
  s.m_mime.m_held = -1;
  // Half as large again as the input, and a little more: the fast path
  // converts in pieces that need room for their largest output, so an
  // output as long as its input would otherwise grow the buffer near its
  // end, and UTF-8 or ISO-2022-JP made of two-byte codes is up to half as
  // long again. Pages the output does not reach are never touched.
  s.m_outCap = static_cast<size_t>(length) + length / 2 + 1 + 4096;
  s.m_out = static_cast<char*>(malloc(s.m_outCap));
}

// From the inside out, so that a character passes the width stage, folding,
// rotation, line ends and MIME words, in that order, before the encoder.
void BuildChains(CHobKanjiState& s) {
  const CHobKanjiOptions& o = s.m_opt;
  static const Stage encoders[] = {EncodeJis, EncodeSjis, EncodeEuc, EncodeUtf8};
  Stage stage = encoders[o.m_outCode];
  if (o.m_mimeOut == kMimeOutWords) {
    s.m_afterMime = stage;
    stage = MimeStage;
  }
  if (o.m_eol != kEolKeep) {
    s.m_afterEol = stage;
    stage = EolStage;
  }
  if (o.m_rotate) {
    s.m_afterRot = stage;
    stage = RotStage;
  }
  if (o.m_foldWidth > 0) {
    s.m_afterFold = stage;
    stage = FoldStage;
  }
  if (o.m_zMode >= 0 || o.m_kanaToX0208) {
    s.m_afterWidth = stage;
    stage = WidthStage;
  }
  s.m_emit = stage;
  s.m_putDirect = o.m_mimeOut == kMimeOutNone;
  s.m_putByte = s.m_putDirect ? MemPutc : MimePut;

  s.m_readChar = ReaderGetc;
  if (o.m_mimeWholeIn) s.m_readChar = WholeGetc;
  if (o.m_brokenRecover) {
    s.m_lowerGet = s.m_readChar;
    s.m_lowerUnget = o.m_mimeWholeIn ? WholeUngetc : ReaderUngetc;
    s.m_readChar = BrokenGetc;
  }
  s.m_direct = s.m_readChar == ReaderGetc;
  SetCode(s, o.m_inCode);

  s.m_fastPath = s.m_direct && o.m_zMode < 0 && !o.m_rotate && o.m_foldWidth == 0 &&
                 o.m_eol == kEolKeep && o.m_mimeOut == kMimeOutNone && o.m_inCode != kInLatin1;
  BuildByteClasses(s);
}

}  // namespace
}  // namespace hobkanji

CHobString kanji_convert(const char* options, const char* input, int length) {
  using namespace hobkanji;
  CHobString result;
  if (options == nullptr || input == nullptr || length <= 0) return result;
  // The state is large (a few kilobytes of queues and tables): on the heap,
  // one per call, so that conversions never share it.
  CHobKanjiState* state = new (std::nothrow) CHobKanjiState();
  if (state == nullptr) return result;
  CHobKanjiState& s = *state;
  Reset(s, ParseOptions(options), input, length);
  if (s.m_out == nullptr) {
    delete state;
    return result;
  }
  if (s.m_opt.m_copyOnly) {
    memcpy(s.m_out, s.m_reader.m_data, s.m_reader.m_size);
    s.m_outLen = s.m_reader.m_size;
  } else {
    BuildChains(s);
    Run(s);
    MimeFinish(s);
  }
  s.m_out[s.m_outLen] = '\0';
  // The result ends at its first zero byte, if any.
  size_t text = s.m_opt.m_copyOnly || s.m_zeroOut ? strlen(s.m_out) : s.m_outLen;
  result._Free();
  result.m_pszText = static_cast<char*>(realloc(s.m_out, text + 1));
  delete state;
  return result;
}

CHobString& CHobString::KanjiConvert(const char* options) {
  CHobString converted = kanji_convert(options, m_pszText, GetLength());
  std::swap(m_pszText, converted.m_pszText);
  return *this;
}

CHobString CHobString::KanjiConvert(const char* options, const char* text) {
  return kanji_convert(options, text, text ? static_cast<int>(strlen(text)) : 0);
}
