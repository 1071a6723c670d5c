// CHobString: an owned, NUL-terminated byte string on the C heap with value
// semantics, byte positions, and awareness of two-byte Japanese characters.
#ifndef HOB_HOBSTRING_H_
#define HOB_HOBSTRING_H_

// Codes returned by IsCode().
enum {
  HOB_CODE_NONE = 0,  // 7-bit text
  HOB_CODE_EUC = 1,   // EUC-JP
  HOB_CODE_SJIS = 2,  // Shift_JIS (also text whose pairs fit both codes)
  HOB_CODE_JIS = 3    // ISO-2022-JP
};

class CHobString {
 public:
  // The empty string (a one-byte block).
  CHobString();
  // A copy of text; a null text gives the empty string.
  CHobString(const char* text);
  // A deep copy; a source with no block gives the empty string.
  CHobString(const CHobString& other);
  // The decimal text of the value.
  explicit CHobString(unsigned short value);
  explicit CHobString(short value);
  explicit CHobString(unsigned int value);
  explicit CHobString(int value);
  explicit CHobString(unsigned long value);
  explicit CHobString(long value);
  virtual ~CHobString();

  // Replace the text by a copy; a null text empties the string.
  // REQUIRES: text does not point into this string's own block.
  CHobString& operator=(const char* text);
  CHobString& operator=(const CHobString& other);
  // Replace the text by the decimal text of the value.
  CHobString& operator=(unsigned short value);
  CHobString& operator=(short value);
  CHobString& operator=(unsigned int value);
  CHobString& operator=(int value);
  CHobString& operator=(unsigned long value);
  CHobString& operator=(long value);

  // The text parsed with strtol in base 10, truncated to the target type;
  // 0 for text that does not begin with a number.
  operator int() const;
  operator unsigned int() const;
  operator long() const;
  operator unsigned long() const;
  operator short() const;
  operator unsigned short() const;

  // Empty the string and make room for n bytes (n + 1 zero bytes).
  void Alloc(unsigned int n);
  // Resize the block to n + 1 bytes, keeping the first min(length, n) bytes;
  // grown bytes are zero. Returns the text pointer.
  const char* ReAlloc(unsigned int n);
  // Make the string empty (keeps a one-byte block); no-op with no block.
  void Free();
  // Release the block and leave the no-block state.
  void _Free();

  // Number of bytes before the first NUL; 0 with no block.
  int GetLength() const;
  // True when the length is 0.
  bool IsEmpty() const { return GetLength() == 0; }

  // strcmp (bNoCase 0) or strcasecmp of the text with text.
  // REQUIRES: text != nullptr.
  int Compare(const char* text, int bNoCase) const;
  bool operator==(const char* text) const;
  bool operator!=(const char* text) const;
  bool operator<(const char* text) const;
  bool operator<=(const char* text) const;
  bool operator>(const char* text) const;
  bool operator>=(const char* text) const;
  bool operator==(const CHobString& other) const;
  bool operator!=(const CHobString& other) const;
  bool operator<(const CHobString& other) const;
  bool operator<=(const CHobString& other) const;
  bool operator>(const CHobString& other) const;
  bool operator>=(const CHobString& other) const;

  // Append text; a null text changes nothing.
  // REQUIRES: text does not point into this string's own block.
  CHobString& operator+=(const char* text);
  CHobString& operator+=(const CHobString& other);
  // A copy of this string with the argument appended.
  CHobString operator+(const char* text) const;
  CHobString operator+(const CHobString& other) const;
  // Same as operator+(const char*); without it a non-const char* argument
  // would be ambiguous with pointer arithmetic on the integer conversions.
  CHobString operator+(char* text) const;
  // Put the argument in front of the text; a null argument changes nothing.
  CHobString& Insert(const char* text);
  CHobString& Insert(const CHobString& other);

  // Pieces of the text; negative positions and counts act like 0.
  CHobString Mid(int pos) const;
  CHobString Mid(int pos, int n) const;
  CHobString Left(int n) const;
  CHobString Right(int n) const;

  // Cut the text at pos (pos 0 empties it; at or past the end: no change).
  void Delete(int pos);
  // Remove n bytes from pos, clamped to the end of the text.
  void Delete(int pos, int n);

  // Position of the first pattern at or after start, or -1.
  // REQUIRES: pattern != nullptr.
  int Find(const char* pattern, int start = 0) const;
  // As Find, ASCII letters compared without case.
  int FindNoCase(const char* pattern, int start = 0) const;
  // Find and FindNoCase in the first length bytes of text, for callers that
  // scan a long text and know its length (Find itself measures the text on
  // every call). REQUIRES: text holds length bytes and a NUL; pattern != nullptr.
  static int FindIn(const char* text, int length, const char* pattern, int start);
  static int FindNoCaseIn(const char* text, int length, const char* pattern, int start);

  // Remove leading / trailing / both runs of the six C white-space bytes
  // (none of which is ever the second byte of a two-byte character).
  CHobString& TrimLeft();
  CHobString& TrimRight();
  CHobString& Trim();

  // Replace the first (bAll false) or every occurrence of search; returns the
  // number of replacements. The replacement text is never searched again.
  // An empty search changes nothing and returns 0.
  int Replace(const char* search, const char* replacement, bool bAll);
  // Replace each span from begin through the next end (markers included).
  int Replace(const char* begin, const char* end, const char* replacement, bool bAll);
  // In each span, replace the begin marker by newBegin and the end marker by newEnd.
  int Replace(const char* begin, const char* end, const char* newBegin, const char* newEnd,
              bool bAll);
  // As the three Replace forms, with markers found by FindNoCase.
  int ReplaceNoCase(const char* search, const char* replacement, bool bAll);
  int ReplaceNoCase(const char* begin, const char* end, const char* replacement, bool bAll);
  int ReplaceNoCase(const char* begin, const char* end, const char* newBegin, const char* newEnd,
                    bool bAll);

  // Replace the text by the printf formatting of the arguments, cut to 4095 bytes.
  // REQUIRES: no argument points into this string's own block.
  CHobString& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The Japanese character code of text (HOB_CODE_*); 0 for null or "".
  static int IsCode(const char* text);
  int IsCode() const;
  // True when byte begins a two-byte character in text of the given code
  // (Shift_JIS 0x81-0x9F and 0xE0-0xFC; EUC-JP 0x8E, 0x8F and 0xA1-0xFE).
  static bool IsLeadByte(int code, unsigned char byte);
  // Bytes of the character text begins with, in text of the given code: 2 for
  // a lead byte followed by a byte that may follow it in that code (Shift_JIS
  // 0x40-0x7E or 0x80-0xFC, "\\" among them; EUC-JP 0xA1-0xFE; never "/",
  // white space or NUL), 3 for an EUC-JP 0x8F followed by two such bytes,
  // else 1; 0 at the terminator. REQUIRES: text != nullptr.
  static int CharLength(int code, const char* text);
  // The code to step through text with CharLength: IsCode(text), but
  // Shift_JIS for text that IsCode takes for EUC-JP and that is not
  // well-formed EUC-JP (Shift_JIS half-width katakana look like EUC-JP pairs).
  static int StepCode(const char* text);

  // Percent-encodings: every byte but space; all but the URL-safe set;
  // all but the URL-safe set and "/". Space becomes "+".
  CHobString CharToPerHexAll() const;
  CHobString CharToPerHex() const;
  CHobString CharToPerHexWithoutSlash() const;
  // Every byte as two upper-case hex digits.
  CHobString CharToHex() const;
  // Percent-decoding ("+" is space); the result ends at the first decoded NUL.
  CHobString PerHexToChar() const;
  // Decoding of hex digit pairs; the result ends at the first decoded NUL.
  CHobString HexToChar() const;

  // ASCII case conversion that leaves the second byte of a two-byte character
  // (as CharLength finds them in the code StepCode gives) alone.
  CHobString ToLower() const;
  CHobString ToUpper() const;

  // The text between the first begin and the first end after it, or "".
  CHobString GetToken(const char* begin, const char* end) const;
  // The text before the first separator; without one, the whole text when
  // bWhole is true, else "".
  CHobString GetToken(const char* separator, bool bWhole) const;
  // Position of the first byte at or after start that is one of chars, or -1.
  int FindOneOf(const char* chars, int start = 0) const;
  // As GetToken(separator, bWhole) with FindOneOf(chars, 0).
  CHobString GetTokenOneOf(const char* chars, bool bWhole) const;

  // Replace the text by its conversion with the kanji converter's option letters.
  CHobString& KanjiConvert(const char* options);
  // The conversion of text with the kanji converter's option letters.
  static CHobString KanjiConvert(const char* options, const char* text);

  // The text: a NUL-terminated block owned by this string, or null only in the
  // no-block state. Valid until the next operation that changes the string.
  char* m_pszText;
};

#endif  // HOB_HOBSTRING_H_
