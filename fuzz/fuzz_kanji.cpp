// kanji_convert with option letters and text taken from the input.
//
// Input: the option string up to the first zero byte, then the text (zero
// bytes included, handed over by length).
#include <string>

#include "fuzz_support.h"
#include "hobkanji.h"
#include "hobstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const std::string options = input.Field('\0');
  const int length = static_cast<int>(input.RestSize());

  const CHobString converted = kanji_convert(options.c_str(), input.Rest(), length);
  // Every call starts from fresh state: a second run gives the same text.
  FUZZ_CHECK(kanji_convert(options.c_str(), input.Rest(), length) == converted);

  // The string members hand over the text up to its first zero byte.
  const std::string text(input.Rest(), strnlen(input.Rest(), input.RestSize()));
  CHobString own(text.c_str());
  own.KanjiConvert(options.c_str());
  FUZZ_CHECK(own == CHobString::KanjiConvert(options.c_str(), text.c_str()));
  return 0;
}
