// The Japanese character-code converter: ISO-2022-JP, Shift_JIS, EUC-JP and
// UTF-8 with half-width katakana, MIME encoded words, folding and line ends,
// driven by option letters ("-j", "-s", "-e", "-w", ...).
#ifndef HOB_HOBKANJI_H_
#define HOB_HOBKANJI_H_

#include "hobstring.h"

// The conversion of length bytes at input; "" when options or input is null.
// The input is never changed. Conversions share no state.
CHobString kanji_convert(const char* options, const char* input, int length);

#endif  // HOB_HOBKANJI_H_
