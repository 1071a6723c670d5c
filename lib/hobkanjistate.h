// The converter's inner interface, shared by its units: the characters that
// travel between its stages, its options, and the state of one conversion,
// which every function that uses it is handed.
//
// Input bytes pass a chain of readers (memory, whole-input MIME decoding,
// broken-escape recovery) into the main loop, which recognises escape
// sequences, shifts, MIME encoded words and the input code. Each character
// then travels as a pair (c1, c2) through a chain of output stages (width,
// folding, rotation, line ends, MIME words) to an encoder that writes bytes
// into a growing memory buffer. Stages that have nothing to do are left out
// of the chain, and runs of plain text skip the chain altogether (the fast
// path), so the common conversions pay only for decoding and encoding.
#ifndef HOB_HOBKANJISTATE_H_
#define HOB_HOBKANJISTATE_H_

#include <cstddef>
#include <cstdint>

namespace hobkanji {

// ---------------------------------------------------------------------------
// Characters between the stages are pairs (c1, c2). For a JIS X 0208
// character c1 and c2 are its two 7-bit bytes; otherwise c1 says what c2 is.
constexpr int kEnd = -1;      // the end of the text; c2 is unused
constexpr int kAscii = 0;     // c2 is an ASCII byte
constexpr int kKana = 2;      // c2 is a JIS X 0201 katakana, 0x21..0x5F
constexpr int kX0212 = 3;     // c2 is a JIS X 0212 code, row << 8 | cell (7 bits each)
constexpr int kSjisOwn = 4;   // c2 is a Shift_JIS code with no JIS X 0208 place
constexpr int kUnicode = 5;   // c2 is a Unicode character with no JIS X 0208 place
constexpr int kLatin1 = 8;    // c2 is an ISO-8859-1 byte, 0x80..0xFF
constexpr int kGeta1 = 0x22;  // the geta mark, JIS X 0208 0x222E, that stands
constexpr int kGeta2 = 0x2E;  // for a character the output code cannot hold

constexpr int ESC = 0x1B;
constexpr int SO = 0x0E;
constexpr int SI = 0x0F;
constexpr int SS2 = 0x8E;
constexpr int SS3 = 0x8F;

enum InputCode { kDetect, kInEuc, kInSjis, kInUtf8, kInLatin1 };
enum OutputCode { kOutJis, kOutSjis, kOutEuc, kOutUtf8 };
// kModeOther: a multi-byte set of ISO-2022 that the converter does not know.
enum ShiftMode { kModeAscii, kModeKanji, kModeKana, kModeOther };
enum MimeInput { kMimeOff, kMimeStrict, kMimeLenient };
enum MimeOutput { kMimeOutNone, kMimeOutWords, kMimeOutBase64, kMimeOutQp };
enum Charset { kCsOther, kCsJis, kCsSjis, kCsEuc, kCsUtf8, kCsLatin1 };
enum LineEnd { kEolKeep, kEolLf, kEolCr, kEolCrLf };

struct CHobKanjiState;
using Stage = void (*)(CHobKanjiState& s, int c1, int c2);
using ByteWriter = void (*)(CHobKanjiState& s, int c);
using ByteReader = int (*)(CHobKanjiState& s);
using ByteUnreader = void (*)(CHobKanjiState& s, int c);
using Decoder = void (*)(CHobKanjiState& s, int c);

// ---------------------------------------------------------------------------
// Options.

struct CHobKanjiOptions {
  OutputCode m_outCode = kOutSjis;
  InputCode m_inCode = kDetect;
  bool m_copyOnly = false;              // t
  char m_kanjiFinal = 'B';              // i@, iB
  char m_asciiFinal = 'B';              // oB, oH, oJ
  bool m_rotate = false;                // r
  int m_foldWidth = 0;                  // f, fn; 0: no folding
  int m_zMode = -1;                     // Z0..Z2; -1: off
  bool m_kanaToX0208 = true;            // X / x
  bool m_brokenRecover = false;         // B, B0
  bool m_brokenUnknown = false;         // B1
  bool m_brokenEol = false;             // B2
  MimeInput m_mimeIn = kMimeStrict;     // m, mS, mN, m0
  int m_mimeWholeIn = 0;                // mB, mQ: 'B' or 'Q'
  MimeOutput m_mimeOut = kMimeOutNone;  // M, MB, MQ
  LineEnd m_eol = kEolKeep;             // L.., d, c
};

// ---------------------------------------------------------------------------
// The conversion state: made afresh for every call.

constexpr int kPendSize = 1024;   // characters pushed back to the main loop
constexpr int kHoldBytes = 256;   // bytes held while the input code is open
constexpr int kWholeQueue = 128;  // bytes decoded ahead by the whole-input reader
constexpr int kMaxSpaceRun = 64;  // white space looked at between encoded words
constexpr int kTokenSize = 64;    // ASCII held before a possible encoded word
constexpr int kHeadSize = 40;     // characters of an encoded-word head

struct CHobMemReader {
  const unsigned char* m_data;
  int m_size;
  int m_position;  // index of the next byte
  int m_pushed;    // a byte pushed back in place of m_data[m_position], or -1
};

struct CHobMimeWord {  // the encoded word being read
  bool m_active;
  bool m_done;      // "?=" (or the end of the input) has been read
  char m_encoding;  // 'B' or 'Q'
  bool m_overridesCode;
  InputCode m_savedCode;
  unsigned char m_ring[4];
  int m_ringHead;
  int m_ringLen;
};

struct CHobMimeOut {  // MIME output
  int m_col;          // characters on the current line
  int m_last;         // the last byte on it
  bool m_wordOpen;
  bool m_wordHasText;
  bool m_afterPlain;  // plain text is the last thing but white space on the line
  Charset m_wordCharset;
  char m_wordEncoding;
  unsigned char m_group[3];  // Base64 bytes waiting for a full group
  int m_groupN;
  char m_space[kMaxSpaceRun];  // white space not yet written
  int m_spaceN;
  char m_token[kTokenSize];  // ASCII characters not yet written
  int m_tokenN;
  int m_line;  // whole-output encodings: characters on the current line
  int m_held;  // quoted-printable: a space, tab or CR waiting for the next byte
};

struct CHobKanjiState {
  CHobKanjiOptions m_opt;
  CHobMemReader m_reader;

  // Input chain.
  ByteReader m_readChar;
  ByteReader m_lowerGet;
  ByteUnreader m_lowerUnget;
  bool m_direct;  // m_readChar is the memory reader itself
  int m_pend[kPendSize];
  int m_pendN;

  // Whole-input MIME reader.
  unsigned char m_whole[kWholeQueue];
  int m_wholeHead;
  int m_wholeLen;
  int m_wholeBack;
  bool m_wholeDone;

  // Broken-escape reader.
  int m_brokenQueue[2];
  int m_brokenN;
  int m_brokenPrev;

  // Main loop.
  InputCode m_inCode;
  Decoder m_decode;
  ShiftMode m_inMode;
  bool m_shiftOut;
  bool m_inPair;  // reading the second byte of a JIS X 0208 pair
  CHobMimeWord m_word;

  // Output chain.
  Stage m_emit;
  Stage m_afterWidth;
  Stage m_afterFold;
  Stage m_afterRot;
  Stage m_afterEol;
  Stage m_afterMime;
  ByteWriter m_putByte;
  bool m_putDirect;  // m_putByte is MemPutc
  char* m_out;
  size_t m_outLen;
  size_t m_outCap;
  bool m_zeroOut;  // a zero byte went to the output (only the main loop writes one)

  ShiftMode m_outMode;  // ISO-2022-JP output
  int m_kanaHeld;       // width stage: a kana waiting for a sound mark
  int m_foldCol;
  int m_foldNewlines;
  bool m_foldSpace;
  bool m_foldAfterAlnum;
  bool m_foldAfterAscii;
  bool m_eolAfterCr;
  CHobMimeOut m_mime;

  // Fast path.
  bool m_fastPath;  // no stage but the encoder has work with plain text
  uint8_t m_byteClass[kInUtf8 + 1][256];
};

// ---------------------------------------------------------------------------
// Shared small helpers.

inline bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// The value of a Base64 character (0..63), or -1 for any other.
inline int Base64Value(int c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (IsDigit(c)) return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The bytes of a Base64 group of k values (2 to 4 give 1 to 3 bytes) into
// out; their count.
inline int Base64Bytes(const int v[4], int k, unsigned char out[3]) {
  out[0] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
  out[1] = static_cast<unsigned char>(v[1] << 4 | v[2] >> 2);
  out[2] = static_cast<unsigned char>(v[2] << 6 | v[3]);
  return k > 1 ? k - 1 : 0;
}

// The value of a hexadecimal digit of either case (0..15), or -1 for any other.
inline int HexValue(int c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
inline bool IsAlnum(int c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline bool IsGraphic(int c) { return c >= 0x21 && c <= 0x7E; }
inline bool IsValidPair(int c1, int c2) { return IsGraphic(c1) && IsGraphic(c2); }

// ---------------------------------------------------------------------------
// Output buffer and encoders (hobkanjistages.cpp).

// Room for n more bytes and the terminator.
void ReserveOutput(CHobKanjiState& s, size_t n);
void GrowOutput(CHobKanjiState& s);

inline void MemPutc(CHobKanjiState& s, int c) {
  if (s.m_outLen + 1 >= s.m_outCap) GrowOutput(s);
  s.m_out[s.m_outLen++] = static_cast<char>(c);
}

inline void Put(CHobKanjiState& s, int c) {
  if (s.m_putDirect) {
    MemPutc(s, c);
  } else {
    s.m_putByte(s, c);
  }
}

// The UTF-8 bytes of Unicode character u written at out; returns their count.
int Utf8Bytes(uint32_t u, unsigned char* out);

void EncodeJis(CHobKanjiState& s, int c1, int c2);
void EncodeSjis(CHobKanjiState& s, int c1, int c2);
void EncodeEuc(CHobKanjiState& s, int c1, int c2);
void EncodeUtf8(CHobKanjiState& s, int c1, int c2);
void WidthStage(CHobKanjiState& s, int c1, int c2);
void FoldStage(CHobKanjiState& s, int c1, int c2);
void RotStage(CHobKanjiState& s, int c1, int c2);
void EolStage(CHobKanjiState& s, int c1, int c2);

// ---------------------------------------------------------------------------
// Input chain, detection and decoders (hobkanjidecode.cpp).

int ReaderGetc(CHobKanjiState& s);
void ReaderUngetc(CHobKanjiState& s, int c);
int WholeGetc(CHobKanjiState& s);
void WholeUngetc(CHobKanjiState& s, int c);
int BrokenGetc(CHobKanjiState& s);
// Pushes c back to the main loop (nothing for c < 0).
void Unread(CHobKanjiState& s, int c);
// The next character for the main loop; the next below the encoded word.
int NextChar(CHobKanjiState& s);
int RawChar(CHobKanjiState& s);
void SetCode(CHobKanjiState& s, InputCode code);
// After an invalid character the automatic detection decides again.
void ReopenDetection(CHobKanjiState& s);
// An 8-bit byte c in the main loop.
void EightBit(CHobKanjiState& s, int c);

// ---------------------------------------------------------------------------
// MIME in and out (hobkanjimime.cpp).

// At "=" in ASCII mode: starts an encoded word, or gives back what was read.
bool TryMimeWord(CHobKanjiState& s);
int WordGetc(CHobKanjiState& s);
void MimeStage(CHobKanjiState& s, int c1, int c2);
void MimePut(CHobKanjiState& s, int c);
void MimeFinish(CHobKanjiState& s);

// ---------------------------------------------------------------------------
// Fast path (hobkanjifast.cpp).

void BuildByteClasses(CHobKanjiState& s);
bool FastReady(const CHobKanjiState& s);
// Converts plain text from the reader's position straight into the output
// while it can; leaves the rest to the main loop.
void FastRun(CHobKanjiState& s);

}  // namespace hobkanji

#endif  // HOB_HOBKANJISTATE_H_
