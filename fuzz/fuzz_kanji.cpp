// kanji_convert with option letters and text taken from the input.
//
// Input: the option string up to the first zero byte, then the text (zero
// bytes included, handed over by length).
#include <string>

#include "fuzz_support.h"
#include "hobkanji.h"
#include "hobstring.h"

namespace {

// EUC-JP (SS3 sequences included), or Shift_JIS when sjis is set, without
// an ESC: what the converter may write in those codes.
bool WellFormed(const char* s, bool sjis) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    int b = *p;
    if (b == 0x1B) return false;
    if (b < 0x80 || (sjis && b >= 0xA1 && b <= 0xDF)) continue;
    int trail = sjis ? 1 : b == 0x8F ? 2 : 1;
    for (int i = 0; i < trail; ++i) {
      if (*++p < (sjis ? 0x40 : 0xA1)) return false;
    }
  }
  return true;
}

// Strict UTF-8 without an ESC.
bool WellFormedUtf8(const char* s) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    int b = *p;
    if (b == 0x1B) return false;
    if (b < 0x80) continue;
    int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    if (b < 0xC2 || b > 0xF4) return false;
    for (int i = 0; i < more; ++i) {
      if ((*++p & 0xC0) != 0x80) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const std::string options = input.Field('\0');
  const int length = static_cast<int>(input.RestSize());

  const CHobString converted = kanji_convert(options.c_str(), input.Rest(), length);
  // Every call starts from fresh state: a second run gives the same text.
  FUZZ_CHECK(kanji_convert(options.c_str(), input.Rest(), length) == converted);

  // Whatever the input, the output in Shift_JIS, EUC-JP and UTF-8 is well
  // formed and holds no ESC. (ISO-8859-1 words of MIME pass their bytes on
  // to Shift_JIS and EUC-JP, as -l does, so these read no MIME.)
  FUZZ_CHECK(WellFormed(kanji_convert("-em0", input.Rest(), length).m_pszText, false));
  FUZZ_CHECK(WellFormed(kanji_convert("-sm0", input.Rest(), length).m_pszText, true));
  FUZZ_CHECK(WellFormedUtf8(kanji_convert("-w", input.Rest(), length).m_pszText));

  // The fast path gives what the main loop gives: with a line-end stage in
  // the chain, which has nothing to do while no CR reaches the output, every
  // character takes the main loop. The codes and letters come from a table,
  // by the length of the text.
  static const char* const kPlain[] = {"-j",   "-s",   "-e",   "-w",   "-jJ",   "-sS",  "-eE",
                                       "-wW",  "-sx",  "-ex",  "-wWx", "-eSB2", "-wm0", "-jEx",
                                       "-sWx", "-eWx", "-wSx", "-jSx", "-sEm0", "-wJ"};
  const char* plain = kPlain[length % (sizeof kPlain / sizeof *kPlain)];
  const CHobString fast = kanji_convert(plain, input.Rest(), length);
  if (strchr(fast.m_pszText, '\r') == nullptr) {
    FUZZ_CHECK(kanji_convert((std::string(plain) + "Lu").c_str(), input.Rest(), length) == fast);
  }

  // The string members hand over the text up to its first zero byte.
  const std::string text(input.Rest(), strnlen(input.Rest(), input.RestSize()));
  CHobString own(text.c_str());
  own.KanjiConvert(options.c_str());
  FUZZ_CHECK(own == CHobString::KanjiConvert(options.c_str(), text.c_str()));
  return 0;
}
