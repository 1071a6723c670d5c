// The kanji converter checked against real codecs: glibc iconv(3) at test
// time, and data made by scripts/gen-kanji-data.py from Python's codecs and
// email.header. MIME output is read back by Python (mime_readback.py).
#include "hobkanji.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hobstring.h"

namespace {

const std::string kData = std::string(HOB_TEST_DATA_DIR) + "/kanji/";

// The converter run on an exact-size heap copy of input, so that
// AddressSanitizer reports any read past its end.
std::string Conv(const std::string& options, const std::string& input) {
  std::unique_ptr<char[]> copy(new char[input.size()]);
  memcpy(copy.get(), input.data(), input.size());
  CHobString out = kanji_convert(options.c_str(), copy.get(), static_cast<int>(input.size()));
  return out.m_pszText;
}

// glibc's conversion of in; false when a byte is invalid. With partial, an
// incomplete character at the end is left out instead.
bool Iconv(const char* from, const char* to, const std::string& in, std::string* out,
           bool partial = false) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->assign(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  char* op = out->data();
  size_t ol = out->size();
  bool ok =
      iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) || (partial && errno == EINVAL);
  if (ok) iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  out->resize(op - out->data());
  return ok;
}

std::string Recode(const char* from, const char* to, const std::string& in) {
  std::string out;
  EXPECT_TRUE(Iconv(from, to, in, &out)) << from << " -> " << to;
  return out;
}

std::string Hex(const std::string& s) {
  std::string h;
  char buf[3];
  for (unsigned char c : s) {
    snprintf(buf, sizeof buf, "%02x", c);
    h += buf;
  }
  return h;
}

std::string Unhex(const std::string& h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& name) {
  std::ifstream in(kData + name);
  EXPECT_TRUE(in.good()) << name;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

struct Code {
  const char* name;  // iconv's name
  const char* out;   // output option
  const char* in;    // input option
};
const Code kCodes[] = {{"ISO-2022-JP", "-j", "J"},
                       {"SHIFT_JIS", "-s", "S"},
                       {"EUC-JP", "-e", "E"},
                       {"UTF-8", "-w", "W"}};

// Every JIS X 0208 character that glibc's EUC-JP knows, 64 to a line.
std::string AllJisX0208(int* count) {
  iconv_t cd = iconv_open("UTF-8", "EUC-JP");
  std::string text;
  *count = 0;
  for (int a = 0xA1; a <= 0xFE; ++a) {
    for (int b = 0xA1; b <= 0xFE; ++b) {
      char in[2] = {static_cast<char>(a), static_cast<char>(b)};
      char out[8];
      char* ip = in;
      char* op = out;
      size_t il = 2, ol = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) continue;
      text.append(in, 2);
      if (++*count % 64 == 0) text += '\n';
    }
  }
  iconv_close(cd);
  return text;
}

// The same text in the four codes, made by glibc from UTF-8.
struct Texts {
  std::string by_code[4];
};
Texts FromUtf8(const std::string& utf8) {
  Texts t;
  for (int i = 0; i < 4; ++i) t.by_code[i] = Recode("UTF-8", kCodes[i].name, utf8);
  return t;
}

// Converts text in every code to every code, with the input code detected
// and given, and compares each result with glibc's.
void ExpectAllDirections(const Texts& t, const std::string& extra, const char* what) {
  for (int from = 0; from < 4; ++from) {
    for (int to = 0; to < 4; ++to) {
      for (bool given : {false, true}) {
        std::string options = std::string(kCodes[to].out) + (given ? kCodes[from].in : "") + extra;
        EXPECT_TRUE(Conv(options, t.by_code[from]) == t.by_code[to])
            << what << ": " << kCodes[from].name << " -> " << kCodes[to].name << " with "
            << options;
      }
    }
  }
}

std::string Sjis(const std::string& utf8) { return Recode("UTF-8", "SHIFT_JIS", utf8); }
std::string Euc(const std::string& utf8) { return Recode("UTF-8", "EUC-JP", utf8); }

// The geta mark that stands for a character the output code cannot hold.
const std::string kGetaEuc = "\xa2\xae";
const std::string kGetaSjis = "\x81\xac";

const char kMixed[] =
    "Subject: 会議のお知らせ (Meeting) 2024年\r\n"
    "ＡＢＣ全角ｘｙｚ１２３、カタカナ・ひらがな「漢字」！\n"
    "\tURL: http://example.com/~user?id=1&x=2\n"
    "最後の行です。End of text.";

// ---------------------------------------------------------------------------
// Real text: Debian's Japanese manual pages, written in every code by
// Python's codecs (manpages.py), converted whole and line by line.

struct Corpus {
  bool ok = false;
  std::vector<std::string> pages[4];  // by kCorpusCodes
  std::vector<std::vector<std::string>> outside;
};

struct CorpusCode {
  const char* file;
  const char* out;  // output option
  const char* in;   // input option
};
const CorpusCode kCorpusCodes[] = {
    {"utf8", "-w", "W"}, {"euc", "-e", "E"}, {"sjis", "-s", "S"}, {"jis", "-j", "J"}};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  if (start < text.size()) parts.push_back(text.substr(start));
  return parts;
}

const Corpus& ManPages() {
  static const Corpus corpus = [] {
    Corpus c;
    char dir[] = "/tmp/hobkanji-corpus-XXXXXX";
    if (access("/usr/share/man/ja", R_OK) != 0 || mkdtemp(dir) == nullptr) return c;
    std::string command = "python3 " + kData + "manpages.py " + dir + " >/dev/null";
    if (system(command.c_str()) != 0) return c;
    for (int i = 0; i < 4; ++i) {
      std::ifstream in(std::string(dir) + "/text." + kCorpusCodes[i].file, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      c.pages[i] = Split(text.str(), '\0');
    }
    std::ifstream outside(std::string(dir) + "/outside.tsv");
    for (std::string line; std::getline(outside, line);) c.outside.push_back(Split(line, '\t'));
    system((std::string("rm -rf ") + dir).c_str());
    c.ok = c.pages[0].size() > 100 && c.pages[0].size() == c.pages[3].size();
    return c;
  }();
  return corpus;
}

// The first line where got and want differ, for the failure message.
std::string FirstDifference(const std::string& got, const std::string& want) {
  std::vector<std::string> a = Split(got, '\n'), b = Split(want, '\n');
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] != b[i]) return "line " + std::to_string(i) + ": " + Hex(a[i]) + " != " + Hex(b[i]);
  }
  return "line count " + std::to_string(a.size()) + " != " + std::to_string(b.size());
}

// ---------------------------------------------------------------------------

TEST(KanjiCodes, EveryJisX0208CharacterConvertsLikeIconvInAllDirections) {
  int count = 0;
  std::string euc = AllJisX0208(&count);
  ASSERT_EQ(count, 6879);
  Texts t;
  t.by_code[0] = Recode("EUC-JP", "ISO-2022-JP", euc);
  t.by_code[1] = Recode("EUC-JP", "SHIFT_JIS", euc);
  t.by_code[2] = euc;
  t.by_code[3] = Recode("EUC-JP", "UTF-8", euc);
  ExpectAllDirections(t, "", "JIS X 0208");
  ExpectAllDirections(t, "Lu", "JIS X 0208, one character at a time");  // a stage in the chain
}

TEST(KanjiCodes, MixedTextConvertsLikeIconvInAllDirections) {
  ExpectAllDirections(FromUtf8(kMixed), "", "mixed text");
  ExpectAllDirections(FromUtf8(kMixed), "B", "mixed text, one character at a time");
}

TEST(KanjiCodes, DecodersTakeExactlyTheirByteRanges) {
  std::string edges = "\x81\x40\x81\xfc\x9f\xfc\xe0\x40\xea\xa4";  // first and last of ranges
  EXPECT_EQ(Conv("-eS", edges), Recode("SHIFT_JIS", "EUC-JP", edges));
  EXPECT_EQ(Conv("-eS", "\xef\xfc"), "\xfe\xfe") << "row 94, cell 94";
  EXPECT_EQ(Conv("-eS", "\x81\x3f|\x81\x7f|\x81\xfd|\x80|\xa0|\xfd"), "?|\x7f||||");
  EXPECT_EQ(Conv("-eS", "a\xf0\x40\xfc\xfcz"), "a" + kGetaEuc + kGetaEuc + "z")
      << "user-defined area and past the IBM extensions";
  EXPECT_EQ(Conv("-sEx", "\xa1\xa1\xfe\xfe\x8e\xa1\x8e\xdf"), "\x81\x40\xef\xfc\xa1\xdf");
  EXPECT_EQ(Conv("-sE", "\xa1\xa0|\xa1\xff|\x8e\xa0|\x8e\xe0|\xff|\x80"), "|||||");
  EXPECT_EQ(Conv("-sE", "a\x8f\xb0\xa1z"), "a" + kGetaSjis + "z")
      << "JIS X 0212 has no counterpart";
}

TEST(KanjiCodes, HalfWidthKatakanaKeptWithLowerXConvertsLikeIconv) {
  std::string kana;
  for (int c = 0xA1; c <= 0xDF; ++c) kana += static_cast<char>(c);
  std::string utf8 = Recode("SHIFT_JIS", "UTF-8", kana);
  ASSERT_EQ(utf8.size(), 63u * 3);
  Texts t;
  t.by_code[0] = Recode("UTF-8", "ISO-2022-JP-3", "ab" + utf8 + "cd");  // ESC ( I katakana
  t.by_code[1] = Recode("UTF-8", "SHIFT_JIS", "ab" + utf8 + "cd");
  t.by_code[2] = Recode("UTF-8", "EUC-JP", "ab" + utf8 + "cd");
  for (int from = 0; from < 3; ++from) {
    for (int to = 0; to < 3; ++to) {
      std::string options = std::string(kCodes[to].out) + kCodes[from].in + "x";
      EXPECT_TRUE(Conv(options, t.by_code[from]) == t.by_code[to]) << options;
    }
  }
  EXPECT_EQ(Conv("-jx", std::string("\x0e") + "12\x0f" + "a"), "\x1b(I12\x1b(Ba")
      << "SO and SI shift katakana";
}

TEST(KanjiCodes, HalfWidthKatakanaBecomeFullWidthWithSoundMarksCombined) {
  for (const auto& row : ReadTsv("kana.tsv")) {
    int code = std::stoi(row[0], nullptr, 16);
    std::string sjis(1, static_cast<char>(code | 0x80));
    auto euc = [](const std::string& hex) {
      return std::string{static_cast<char>(std::stoi(hex.substr(0, 2), nullptr, 16) | 0x80),
                         static_cast<char>(std::stoi(hex.substr(2, 2), nullptr, 16) | 0x80)};
    };
    std::string plain = euc(row[1]);
    EXPECT_EQ(Conv("-eS", sjis), plain) << row[0];
    EXPECT_EQ(Conv("-eSX", sjis + "a"), plain + "a") << row[0];
    std::string voiced = row[2] == "-" ? plain + "\xa1\xab" : euc(row[2]);
    std::string semi = row[3] == "-" ? plain + "\xa1\xac" : euc(row[3]);
    EXPECT_EQ(Conv("-eS", sjis + "\xde"), voiced) << row[0] << " with voiced mark";
    EXPECT_EQ(Conv("-eS", sjis + "\xdf"), semi) << row[0] << " with semi-voiced mark";
    EXPECT_EQ(Conv("-eS", sjis + "\xde" + "b"), voiced + "b")
        << row[0] << " held kana before ASCII";
  }
  EXPECT_EQ(Conv("-e", "\x1b(I6^\x1b(B"), Conv("-eS", "\xb6\xde"))
      << "ESC ( I katakana combine too";
}

TEST(KanjiCodes, DesignationLettersChooseTheEscapesWritten) {
  std::string sjis = Recode("UTF-8", "SHIFT_JIS", "a漢b");
  EXPECT_EQ(Conv("-j", sjis), "a\x1b$B4A\x1b(Bb");
  EXPECT_EQ(Conv("-ji@", sjis), "a\x1b$@4A\x1b(Bb");
  EXPECT_EQ(Conv("-joJ", sjis), "a\x1b$B4A\x1b(Jb");
  EXPECT_EQ(Conv("-joH", sjis), "a\x1b$B4A\x1b(Hb");
  EXPECT_EQ(Conv("-j", Recode("UTF-8", "SHIFT_JIS", "漢")), "\x1b$B4A\x1b(B")
      << "closed at the end";
}

// ---------------------------------------------------------------------------

// JIS X 0208 characters whose bytes fit both codes: lead 0xE0..0xEF and
// second byte 0xA1 or above in one code, a valid pair in the other.
std::string AmbiguousSjis() {
  std::string out;
  for (int a = 0xE0; a <= 0xEA && out.size() < 8; ++a) {
    std::string pair{static_cast<char>(a), static_cast<char>(0xA1)}, utf8;
    if (Iconv("SHIFT_JIS", "UTF-8", pair, &utf8) && Iconv("EUC-JP", "UTF-8", pair, &utf8))
      out += pair;
  }
  return out;
}

TEST(KanjiDetect, FirstDecidingByteChoosesTheCode) {
  std::string text = "テスト、漢字とかな。";
  EXPECT_EQ(Conv("-e", Sjis(text)), Euc(text));
  EXPECT_EQ(Conv("-s", Euc(text)), Sjis(text));
  EXPECT_EQ(Conv("-e", "abc\x1b$B4A\x1b(B"), "abc\xb4\xc1") << "JIS escapes need no detection";
}

TEST(KanjiDetect, AmbiguousPairsAreHeldUntilShiftJisDecides) {
  std::string ambiguous = AmbiguousSjis();
  ASSERT_GE(ambiguous.size(), 4u);
  std::string sjis = ambiguous + "ab\n" + ambiguous + Sjis("あ");
  EXPECT_EQ(Conv("-e", sjis), Recode("SHIFT_JIS", "EUC-JP", sjis));
  std::string by_second = ambiguous + Sjis("漢");  // 0x8A 0xBF: lead decides
  EXPECT_EQ(Conv("-e", by_second), Recode("SHIFT_JIS", "EUC-JP", by_second));
  std::string trail = ambiguous + "\xe0\x40";  // second byte 0x40..0xA0
  EXPECT_EQ(Conv("-e", trail), Recode("SHIFT_JIS", "EUC-JP", trail));
}

TEST(KanjiDetect, AmbiguousPairsAreHeldUntilEucDecides) {
  std::string ambiguous = AmbiguousSjis();
  std::string euc = ambiguous + "x y" + Euc("かな");
  EXPECT_EQ(Conv("-s", euc), Recode("EUC-JP", "SHIFT_JIS", euc));
  EXPECT_EQ(Conv("-s", ambiguous), Recode("EUC-JP", "SHIFT_JIS", ambiguous)) << "undecided: EUC-JP";
}

TEST(KanjiDetect, HoldOf256BytesEndsUndecidedAsEuc) {
  std::string ambiguous = AmbiguousSjis().substr(0, 2);
  std::string held = ambiguous + std::string(254, 'a');
  std::string out = Conv("-s", held + Sjis("あ"));
  EXPECT_EQ(out.substr(0, 256), Recode("EUC-JP", "SHIFT_JIS", held)) << "256 bytes, then EUC-JP";
  std::string shorter = ambiguous + std::string(253, 'a') + Sjis("あ");
  EXPECT_EQ(Conv("-e", shorter), Recode("SHIFT_JIS", "EUC-JP", shorter)) << "255 bytes still wait";
}

TEST(KanjiDetect, PairWithSecondByteBelow0x40IsDroppedButTheByteKept) {
  EXPECT_EQ(Conv("-e", std::string("\xe0") + "0ab"), "0ab");
  EXPECT_EQ(Conv("-e", "x\xf0\n"), "x\n");
}

TEST(KanjiDetect, InvalidPairReopensDetection) {
  std::string text = Euc("あ") + "\xff" + Sjis("いう");
  EXPECT_EQ(Conv("-e", text), Euc("あいう"));
  EXPECT_EQ(Conv("-eE", text).substr(0, 2), Euc("あ")) << "a given code is never reopened";
}

TEST(KanjiDetect, HalfWidthKatakanaOrSs3FirstIsHeldUntilACodeDecides) {
  const std::string sjis = "\xc3\xbd\xc4\x91\x97\x90\x4d";  // "ﾃｽﾄ送信"
  const std::string euc = Recode("SHIFT_JIS", "EUC-JP", sjis);
  EXPECT_EQ(Hex(Conv("-ex", sjis)), Hex(euc));
  EXPECT_EQ(Hex(Conv("-sx", euc)), Hex(sjis));
  const std::string cafe = "caf\x8f\xab\xb1 " + Euc("日本語");  // é of JIS X 0212
  EXPECT_EQ(Hex(Conv("-s", cafe)), Hex("caf" + kGetaSjis + " " + Sjis("日本語")));
  EXPECT_EQ(Hex(Conv("-e", cafe)), Hex(cafe));
  for (int kana = 0xA1; kana <= 0xDF; ++kana) {
    std::string utf8 =
        Recode("SHIFT_JIS", "UTF-8", std::string(1, static_cast<char>(kana))) + "ｶﾅ、漢字とかな。";
    EXPECT_EQ(Conv("-ex", Sjis(utf8)), Euc(utf8)) << utf8;
    EXPECT_EQ(Conv("-sx", Euc(utf8)), Sjis(utf8)) << utf8;
    EXPECT_EQ(Conv("-sx", utf8), Sjis(utf8)) << utf8;
  }
}

TEST(KanjiDetect, Utf8IsReadWhenOnlyItReadsTheHeldRun) {
  for (const char* text : {"漢字", "テスト、漢字", "×÷ 記号"}) {
    EXPECT_EQ(Conv("-e", text), Euc(Recode("EUC-JP", "UTF-8", Conv("-eW", text)))) << text;
    EXPECT_EQ(Conv("-w", Euc(text)), text) << text;
  }
  EXPECT_EQ(Conv("-e", "漢字"), Euc("漢字")) << "0xE6 0xBC is no Shift_JIS pair here";
}

TEST(KanjiDetect, ShortRunsGoToTheCodeWithFewerUnlikelyCharacters) {
  EXPECT_EQ(Hex(Conv("-e", ".SS " + Sjis("式"))), Hex(".SS " + Euc("式")))
      << "0x8E 0xAE: one kanji, or one half-width katakana after SS2";
  EXPECT_EQ(Conv("-w", Euc("文")), "文") << "0xCA 0xB8: one kanji, or U+02B8";
}

TEST(KanjiDetect, EveryCallStartsAfresh) {
  EXPECT_EQ(Conv("-e", Sjis("漢字")), Euc("漢字"));
  EXPECT_EQ(Conv("-s", Euc("漢字")), Sjis("漢字")) << "the code detected before is forgotten";
  EXPECT_EQ(Conv("-e", "\x1b$B4A"), "\xb4\xc1");
  EXPECT_EQ(Conv("-e", "4A"), "4A") << "the kanji mode of the call before is forgotten";
}

// ---------------------------------------------------------------------------

TEST(KanjiOutside, OwnCodeKeepsWhatOtherCodesCannotHold) {
  const std::string cafe = "caf\x8f\xab\xb1";  // é of JIS X 0212
  EXPECT_EQ(Hex(Conv("-eE", cafe)), Hex(cafe));
  EXPECT_EQ(Hex(Conv("-sE", cafe)), Hex("caf" + kGetaSjis));
  EXPECT_EQ(Hex(Conv("-jE", cafe)), Hex("caf\x1b$B\x22\x2e\x1b(B"));
  EXPECT_EQ(Hex(Conv("-wE", cafe)), Hex("caf〓"));
  EXPECT_EQ(Hex(Conv("-eE",
                     "\x8f\xab"
                     "a\x8f")),
            "61")
      << "cut sequences are dropped";
  const std::string yamasaki = Sjis("山") + "\xfa\xb1" + Sjis("さん");  // IBM extension
  EXPECT_EQ(Hex(Conv("-sS", yamasaki)), Hex(yamasaki));
  EXPECT_EQ(Hex(Conv("-s", yamasaki)), Hex(yamasaki)) << "detected";
  EXPECT_EQ(Hex(Conv("-sS", "\xfb\xfc")), "fbfc");
  EXPECT_EQ(Hex(Conv("-sS", "\xf0\x40\xf9\xfc")), "f040f9fc") << "user-defined area";
  EXPECT_EQ(Hex(Conv("-eS", "\xf0\x40\xf9\xfc")), Hex(kGetaEuc + kGetaEuc));
  EXPECT_EQ(Hex(Conv("-wW", "a€b😀c")), Hex("a€b😀c"));
  EXPECT_EQ(Hex(Conv("-eW", "a€b😀c")), Hex("a" + kGetaEuc + "b" + kGetaEuc + "c"));
  EXPECT_EQ(Hex(Conv("-wW", "a\xc3(\xed\xa0\x80z\xf4\x90\x80\x80\xe6\xbc")), Hex("a(z"))
      << "invalid UTF-8 is dropped";
}

// glibc's CP932 names each IBM extension: its other code is the first
// below 0xF0 that CP932 reads as the same character.
TEST(KanjiOutside, IbmExtensionsConvertAsTheirOtherCode) {
  std::map<std::string, std::string> first;
  std::string utf8;
  for (int lead = 0x81; lead <= 0xEF; ++lead) {
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      if (Iconv("CP932", "UTF-8", code, &utf8)) first.emplace(utf8, code);
    }
  }
  int count = 0;
  for (int code = 0xFA40; code <= 0xFC4B; ++code) {
    std::string ibm{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    if (!Iconv("CP932", "UTF-8", ibm, &utf8) || utf8.size() < 2) continue;
    ASSERT_TRUE(first.count(utf8)) << Hex(ibm);
    count++;
    for (const char* out : {"-eS", "-jS", "-wS"}) {
      EXPECT_EQ(Hex(Conv(out, ibm)), Hex(Conv(out, first[utf8]))) << out << " " << Hex(ibm);
    }
  }
  EXPECT_EQ(count, 388);
  EXPECT_EQ(Hex(Conv("-eS", Sjis("山") + "\xfa\xb1" + Sjis("さん"))),
            Hex(Euc("山") + "\xf9\xf5" + Euc("さん")))
      << "0xFAB1 as 0xED95, row 89 cell 85";
  EXPECT_EQ(Hex(Conv("-sE", "\xf9\xf5")), "ed95");
}

// ---------------------------------------------------------------------------

TEST(KanjiEscapes, AllDesignationsOfTheSetsAreUnderstood) {
  std::string want = std::string("a\xb4\xc1") + "b";
  for (const char* in :
       {"a\x1b$B4A\x1b(Bb", "a\x1b$@4A\x1b(Jb", "a\x1b$(B4A\x1b(Hb", "a\x1b$(@4A\x1b(Bb"}) {
    EXPECT_EQ(Conv("-e", in), want) << Hex(in);
  }
  EXPECT_EQ(Conv("-ex", "\x1b(I12\x1b(B"), "\x8e\xb1\x8e\xb2");
}

TEST(KanjiEscapes, UnknownMultiByteSetsGiveGetaUnlessB1) {
  for (const char* in : {"a\x1b$A4A\x1b(Bb", "a\x1b$(D4A\x1b(Bb", "a\x1b$(Q4A\x1b(Bb"}) {
    EXPECT_EQ(Conv("-e", in), "a" + kGetaEuc + "b") << Hex(in);
    EXPECT_EQ(Conv("-j", in), "a\x1b$B\x22\x2e\x1b(Bb") << Hex(in);
  }
  EXPECT_EQ(Conv("-e", "\x1b$(D4A4\n4A"), kGetaEuc + "\n" + kGetaEuc) << "a lone byte is dropped";
  EXPECT_EQ(Conv("-eB1", "a\x1b$A4A\x1b(Zb"), std::string("a\xb4\xc1") + "b");
}

TEST(KanjiEscapes, NoEscReachesShiftJisEucJpOrUtf8) {
  for (const char* in : {"a\x1b(Zb", "a\x1bxb", "a\x1b$", "a\x1b$)Cb", "a\x1b"}) {
    std::string plain = in;
    plain.erase(plain.find('\x1b'), 1);
    EXPECT_EQ(Conv("-j", in), in) << "copied as it came";
    for (const char* out : {"-e", "-s", "-w"}) EXPECT_EQ(Conv(out, in), plain) << out << Hex(in);
  }
}

TEST(KanjiEscapes, LoneFirstByteOfAPairIsDropped) {
  EXPECT_EQ(Conv("-e", "\x1b$B4A4\n"), "\xb4\xc1\n");
  EXPECT_EQ(Conv("-e", "\x1b$B4A4"), "\xb4\xc1");
}

TEST(KanjiEscapes, BRecoversEscapesThatLostTheirEsc) {
  std::string broken = "a$B4A;z(Bb";
  EXPECT_EQ(Conv("-e", broken), broken);
  EXPECT_EQ(Conv("-eB", broken), "a" + Euc("漢字") + "b");
  EXPECT_EQ(Conv("-eB0", "\x1b$B4A;z\x1b(Bb"), Euc("漢字") + "b") << "ESC already there";
  EXPECT_EQ(Conv("-eB", "$@4A(Jx"), Euc("漢") + "x");
  EXPECT_EQ(Conv("-eB", "$x"), "$x");
  EXPECT_EQ(Conv("-eB", "\x1b$B!(B?\x1b(B"), Euc("；") + "\xc2\xbf")
      << "pair bytes are not markers";
  EXPECT_EQ(Conv("-exB", "\x1b(I12(Bab"),
            "\x8e\xb1\x8e\xb2"
            "ab")
      << "after katakana";
  EXPECT_EQ(Conv("-eB", "\x1b$(D4A(Bab"), kGetaEuc + "ab") << "after an unknown set";
}

TEST(KanjiEscapes, B2ReturnsToAsciiAtALineEnd) {
  EXPECT_EQ(Conv("-e", "\x1b$B4A\n4A"), "\xb4\xc1\n\xb4\xc1");
  EXPECT_EQ(Conv("-eB2", "\x1b$B4A\n4A"), "\xb4\xc1\n4A");
  std::string text = Euc("あ") + "\n" + Sjis("い");
  EXPECT_EQ(Conv("-eB2", text), Euc("あ\nい")) << "detection reopens";
}

TEST(KanjiEscapes, Latin1InputPassesThrough) {
  EXPECT_EQ(Conv("-l", "caf\xe9 \xa4\xa2"), "caf\xe9 \xa4\xa2");
  EXPECT_EQ(Conv("-jl", "caf\xe9"), "caf\xe9");
}

// ---------------------------------------------------------------------------

TEST(KanjiMime, EncodedWordsDecodeAsPythonEmailHeaderDoes) {
  auto rows = ReadTsv("mime_decode.tsv");
  ASSERT_GE(rows.size(), 15u);
  for (const auto& row : rows) {
    std::string input = Unhex(row[2]);
    EXPECT_EQ(Hex(Conv(row[0], input)), row[3]) << row[1] << ": " << input;
  }
}

TEST(KanjiMime, M0AndStrictModeLeaveOtherTextAlone) {
  std::string word = "=?ISO-2022-JP?B?GyRCNEE7ehsoQg==?=";
  EXPECT_EQ(Conv("-em0", word), word);
  EXPECT_EQ(Conv("-e", word), Euc("漢字"));
  for (const char* text : {"=?US-ASCII?Q?a?=", "=?EUC-JP?Q?a?=", "=?ISO-2022-JX?B?GyRC?=", "a=b",
                           "x=?", "=?ISO-2022-JP?X?a?="}) {
    EXPECT_EQ(Conv("-e", text), text);
  }
  EXPECT_EQ(Conv("-emN", "=?a b?Q?x?="), "=?a b?Q?x?=") << "no space in a charset name";
  EXPECT_EQ(Conv("-emN", "=?abcdefghijklmnopqrstu?Q?x?="), "=?abcdefghijklmnopqrstu?Q?x?=")
      << "21 characters are too many";
  EXPECT_EQ(Conv("-emN", "=?abcdefghijklmnopqrst?Q?x?="), "x");
  EXPECT_EQ(Conv("-e", "=?UTF-8?B?5ryi5a2X?= =?utf-8?q?=E3=81=8B_a?="), Euc("漢字か a"))
      << "UTF-8 words in strict mode";
}

TEST(KanjiMime, WordBoundariesFollowRfc2047) {
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?GyRCNEE7ehsoQg?="), Euc("漢字")) << "missing padding";
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?QUJDR?="), "ABC")
      << "a group of one character gives nothing";
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?QU JD?="), "ABC") << "white space inside is skipped";
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?GyRCNEE"), Euc("漢")) << "the input ends inside the word";
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?GyRCNEE?=x"), Euc("漢") + "x") << "back in ASCII";
  EXPECT_EQ(Conv("-e", "=?ISO-8859-1?Q?a=3Db=3dc=zz?="), "a=b=c=zz");
  EXPECT_EQ(Conv("-e", "=?ISO-2022-JP?B?QQ==?=\n=?ISO-2022-JP?B?QQ==?="), "A\nA")
      << "a line end without a fold stays";
}

TEST(KanjiMime, WholeInputBase64AndQuotedPrintable) {
  EXPECT_EQ(Conv("-emB", "QUJD\nREVG"), "ABCDEF");
  EXPECT_EQ(Conv("-emB", "QUJDRA"), "ABCD") << "unpadded end";
  EXPECT_EQ(Conv("-emQ", "a=3Db=\nc =\r\nd"), "a=bc d");
  EXPECT_EQ(Conv("-emQ", "trailing  \nspace\t\r\nend"), "trailing\nspace\r\nend")
      << "white space before a line end is dropped";
  EXPECT_EQ(Conv("-emQ", "a=4=zz="), "a=4=zz=");
}

// Python reads back each (kind, bytes); the results in order.
std::vector<std::string> ReadBack(const std::vector<std::pair<std::string, std::string>>& cases) {
  char path[] = "/tmp/hobkanji-readback-XXXXXX";
  int fd = mkstemp(path);
  std::string lines;
  for (const auto& c : cases) lines += c.first + "\t" + Hex(c.second) + "\n";
  EXPECT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  close(fd);
  std::string command = "python3 " + kData + "mime_readback.py < " + path;
  FILE* p = popen(command.c_str(), "r");
  std::vector<std::string> out;
  char buf[65536];
  while (p && fgets(buf, sizeof buf, p)) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    out.push_back(Unhex(line));
  }
  if (p) pclose(p);
  unlink(path);
  return out;
}

bool HavePython() { return system("python3 -c 'import email.header' >/dev/null 2>&1") == 0; }

const char* const kMimeTexts[] = {
    "Subject: 会議のお知らせ",
    "漢字かなカナ混じりの長い件名です。これは折り返しが必要になるほど長い件名で、"
    "複数の encoded word に分かれて出力されるはずです。最後に ASCII text を置きます。",
    "abc漢字def ghi 全角ＡＢＣ  二つの空白 and\ttab",
    "漢字 abc",
    "a very long line of plain ascii text that has to be folded before a space 漢字 end",
    "英語 (古典的 Dvorak)",
    "  先頭の空白 と 末尾の空白  ",
    "https://example.com/a/very/long/address/that/does/not/fit/on/one/line/at/all/漢字",
};

TEST(KanjiMimeOutput, EncodedWordsReadBackByPythonToTheInput) {
  if (!HavePython()) GTEST_SKIP() << "python3 is needed to read the output back";
  std::vector<std::pair<std::string, std::string>> cases;
  std::vector<std::string> want;
  for (const char* text : kMimeTexts) {
    for (const char* out : {"-jM", "-sM", "-eM", "-wM", "--mime"}) {
      cases.push_back({"words", Conv(out, Euc(text))});
      want.push_back(text);
    }
  }
  std::string kana = Recode("UTF-8", "EUC-JP", "ｶﾀｶﾅ テスト ﾃﾞｽ");
  cases.push_back({"words", Conv("-jxEM", kana)});
  want.push_back("ｶﾀｶﾅ テスト ﾃﾞｽ");
  cases.push_back({"words", Conv("-lM", "caf\xe9 au lait \xe0 la carte")});
  want.push_back("café au lait à la carte");
  cases.push_back({"words", Conv("-SjM", Sjis("英語 (古典的 Dvorak)"))});
  want.push_back("英語 (古典的 Dvorak)");
  auto got = ReadBack(cases);
  ASSERT_EQ(got.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(got[i], want[i]) << cases[i].second;
    std::stringstream lines(cases[i].second);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 76u) << line;
  }
}

// Encoded words of random mixes and of manual page lines, in every output
// code, read back by Python's email package: every space survives, and no
// line is longer than 76 columns.
TEST(KanjiMimeOutput, RandomMixesAndRealLinesReadBackWithEverySpace) {
  if (!HavePython()) GTEST_SKIP() << "python3 is needed to read the output back";
  const char* pieces[] = {"漢字", "かな", "カタカナ", "ｶﾀｶﾅ", "ﾃﾞｽ", "abc", "Dvorak", "(",
                          ")",    "、",   " ",        "  ",   "\t",  "x=1", "英語",   "ー"};
  std::mt19937 rng(14);
  std::vector<std::string> texts;
  for (int i = 0; i < 200; ++i) {
    std::string text;
    for (int n = 3 + rng() % 40; n > 0; --n)
      text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    texts.push_back(text);
  }
  const Corpus& c = ManPages();
  for (size_t page = 0; c.ok && page < c.pages[0].size() && texts.size() < 600; page += 7) {
    for (const std::string& line : Split(c.pages[0][page], '\n')) {
      if (line.size() != Conv("-eW", line).size()) {
        texts.push_back(line);
        break;
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> cases;
  std::vector<std::string> want;
  for (const std::string& text : texts) {
    for (const char* out : {"-jM", "-sM", "-eM", "-wM", "-jxM", "-sxM", "-exM", "-wxM"}) {
      bool keepKana = out[2] == 'x';
      cases.push_back({"words", Conv(std::string(out) + "W", text)});
      want.push_back(Conv(keepKana ? "-wWx" : "-wW", text));
    }
  }
  auto got = ReadBack(cases);
  ASSERT_EQ(got.size(), cases.size());
  int failures = 0;
  for (size_t i = 0; i < cases.size() && failures < 10; ++i) {
    bool ok = got[i] == want[i];
    for (const std::string& line : Split(cases[i].second, '\n')) ok = ok && line.size() <= 76;
    if (!ok) {
      ADD_FAILURE() << want[i] << "\n" << got[i] << "\n" << cases[i].second;
      failures++;
    }
  }
}

TEST(KanjiMimeOutput, WholeOutputBase64AndQuotedPrintableReadBackByPython) {
  if (!HavePython()) GTEST_SKIP() << "python3 is needed to read the output back";
  std::string text = Euc(std::string(kMixed) + "\n末尾の空白 \nイコール=と\tタブ\t\r\n") + "x \n\r";
  std::vector<std::pair<std::string, std::string>> cases;
  std::vector<std::string> want;
  for (const char* out : {"-j", "-s", "-e"}) {
    cases.push_back({"base64", Conv(std::string(out) + "MB", text)});
    cases.push_back({"qp", Conv(std::string(out) + "MQ", text)});
    want.push_back(Conv(out, text));
    want.push_back(Conv(out, text));
  }
  cases.push_back({"base64", Conv("--base64", text)});
  want.push_back(Conv("-j", text));
  auto got = ReadBack(cases);
  ASSERT_EQ(got.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(Hex(got[i]), Hex(want[i])) << cases[i].first << ":\n" << cases[i].second;
    std::stringstream lines(cases[i].second);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 76u) << line;
  }
}

TEST(KanjiMimeOutput, OwnReaderDecodesEncodedWordsBack) {
  const char* long_japanese =
      "漢字かなカナ混じりの長い件名です。これは折り返しが必要になるほど長い件名で、"
      "複数の行に分かれて出力されるはずです。";
  for (const char* text : {kMimeTexts[0], kMimeTexts[3], long_japanese}) {
    for (const char* out : {"-jM", "-sM", "-eM"}) {
      EXPECT_EQ(Conv("-e", Conv(out, Euc(text))), Euc(text)) << out << " " << text;
    }
  }
}

// ---------------------------------------------------------------------------

TEST(KanjiWidth, ZTurnsFullWidthAsciiIntoAsciiForEveryCharacter) {
  std::vector<std::string> ascii(0x10000);
  for (const auto& row : ReadTsv("fullwidth_ascii.tsv")) {
    ascii[std::stoi(row[0], nullptr, 16)] =
        std::string(1, static_cast<char>(std::stoi(row[1], nullptr, 16)));
  }
  int count = 0;
  std::string euc = AllJisX0208(&count);
  for (const char* z : {"Z", "Z0", "Z1", "Z2"}) {
    std::string want;
    for (size_t i = 0; i < euc.size(); ++i) {
      if (euc[i] == '\n') {
        want += '\n';
        continue;
      }
      int code = (euc[i] & 0x7F) << 8 | (euc[i + 1] & 0x7F);
      std::string ch = euc.substr(i++, 2);
      if (code == 0x2121 && z[1] == '1') ch = " ";
      if (code == 0x2121 && z[1] == '2') ch = "  ";
      want += ascii[code].empty() ? ch : ascii[code];
    }
    EXPECT_TRUE(Conv(std::string("-e") + z, euc) == want) << z;
  }
}

// ---------------------------------------------------------------------------

std::string Fold(const char* width, const std::string& utf8) {
  return Recode("EUC-JP", "UTF-8", Conv(std::string("-e") + width, Euc(utf8)));
}

TEST(KanjiFold, LinesBreakAtTheWidthCountingTwoColumnsForKanji) {
  EXPECT_EQ(Fold("f10", "あいうえおかきくけこさしす"), "あいうえお\nかきくけこ\nさしす\n");
  std::string seventy;
  for (int i = 0; i < 70; ++i) seventy += "漢";
  std::string thirty;
  for (int i = 0; i < 30; ++i) thirty += "漢";
  for (const char* f : {"f", "f0", "f8192"}) {
    EXPECT_EQ(Fold(f, seventy).substr(0, thirty.size() + 1), thirty + "\n") << f << " means 60";
  }
  EXPECT_EQ(Fold("f8191", seventy), seventy + "\n");
}

TEST(KanjiFold, ClosingPunctuationAndWordsStayOnTheLine) {
  EXPECT_EQ(Fold("f10", "あいうえお。かき"), "あいうえお。\nかき\n");
  EXPECT_EQ(Fold("f10", "あいうえお」かき"), "あいうえお」\nかき\n");
  EXPECT_EQ(Fold("f10", "aaaaaaaaaa, bb"), "aaaaaaaaaa,\nbb\n");
  EXPECT_EQ(Fold("f10", "abcdefghijklmnopqrstuvwxyz"), "abcdefghijklmnopqrs\ntuvwxyz\n")
      << "a word runs on until 10 columns past the width";
  EXPECT_EQ(Fold("f10", "あいうえおか"), "あいうえお\nか\n");
  for (const char* stays : {"、", "．", "：", "゜", "）", "」", "!", "}"}) {
    EXPECT_EQ(Fold("f10", std::string("あいうえお") + stays + "か"),
              std::string("あいうえお") + stays + "\nか\n");
  }
  for (const char* moves : {"・", "（", "「", "(", "#"}) {
    EXPECT_EQ(Fold("f10", std::string("あいうえお") + moves + "か"),
              std::string("あいうえお\n") + moves + "か\n");
  }
  EXPECT_EQ(Fold("f10xE", "ｱｲｳｴｵｶｷｸｹｺ｡ｻ"), "ｱｲｳｴｵｶｷｸｹｺ｡\nｻ\n") << "half-width: one column each";
}

TEST(KanjiFold, WhiteSpaceAndLineEndsAreReflowed) {
  EXPECT_EQ(Fold("f10", "a   b\t\tc　d"), "a b c d\n");
  EXPECT_EQ(Fold("f10", "abc\ndef"), "abc def\n");
  EXPECT_EQ(Fold("f10", "あい\nうえ"), "あいうえ\n");
  EXPECT_EQ(Fold("f10", "abc\n\ndef\n"), "abc\n\ndef\n");
  EXPECT_EQ(Fold("f10", "ab\r\ncd"), "ab cd\n");
  EXPECT_EQ(Fold("f10", "aaaaaaaaa bbb"), "aaaaaaaaa\nbbb\n") << "a space that does not fit";
  EXPECT_EQ(Fold("f10", "ab\fcd\bx"), "ab\fcd\bx\n");
}

// ---------------------------------------------------------------------------

TEST(KanjiFilters, LineEndsTakeTheChosenForm) {
  std::string in = "a\r\nb\rc\nd\n\ne";
  EXPECT_EQ(Conv("-Lu", in), "a\nb\nc\nd\n\ne");
  EXPECT_EQ(Conv("-d", in), "a\nb\nc\nd\n\ne");
  EXPECT_EQ(Conv("-Lw", in), "a\r\nb\r\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(Conv("-c", in), "a\r\nb\r\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(Conv("-Lm", in), "a\rb\rc\rd\r\re");
  EXPECT_EQ(Conv("-LwL0", in), in);
}

TEST(KanjiFilters, RotationTwiceIsTheIdentity) {
  EXPECT_EQ(Conv("-r", "Hello, World 123"), "Uryyb, Jbeyq 123");
  EXPECT_EQ(Conv("-er", Euc("漢")), "\xe3\xf0");
  int count = 0;
  std::string euc = AllJisX0208(&count) + Euc(kMixed);
  EXPECT_TRUE(Conv("-er", Conv("-er", euc)) == euc);
}

// ---------------------------------------------------------------------------

TEST(KanjiOptions, EveryLongOptionMeansItsLetters) {
  const std::pair<const char*, const char*> table[] = {
      {"base64", "jMB"},   {"euc", "e"},        {"euc-input", "E"}, {"fj", "jm"},
      {"help", "v"},       {"jis", "j"},        {"jis-input", "J"}, {"mac", "sLm"},
      {"mime", "jM"},      {"mime-input", "m"}, {"msdos", "sLw"},   {"sjis", "s"},
      {"sjis-input", "S"}, {"unix", "eLu"},     {"version", "V"},   {"windows", "sLw"},
      {"utf8", "w"},       {"utf8-input", "W"},
  };
  std::string text =
      Euc("漢字 and かな\r\n") + "=?ISO-2022-JP?B?GyRCNEE7ehsoQg==?=\n" + AmbiguousSjis();
  for (const auto& [name, letters] : table) {
    EXPECT_EQ(Conv(std::string("--") + name, text), Conv(std::string("-") + letters, text)) << name;
  }
  EXPECT_EQ(Conv("--sjis-input", AmbiguousSjis()), Conv("-S", AmbiguousSjis()));
  EXPECT_NE(Conv("--sjis-input", AmbiguousSjis()), Conv("-s", AmbiguousSjis()));
}

TEST(KanjiOptions, OptionParsingEndsAtALongOption) {
  std::string euc = Euc("漢字");
  EXPECT_EQ(Conv("--", euc), Sjis("漢字"));
  EXPECT_EQ(Conv("--nosuch", euc), Sjis("漢字"));
  EXPECT_EQ(Conv("-e--nosuchj", euc), euc) << "letters before stay, none after";
  EXPECT_EQ(Conv("--euc-inputj", euc), Sjis("漢字")) << "the whole rest is the name";
}

TEST(KanjiOptions, WithoutALeadingDashTheDefaultsApply) {
  std::string euc = Euc("漢字ｶﾅ");
  for (const char* options : {"", "e", "j", "-", "-qky"}) {
    EXPECT_EQ(Conv(options, euc), Sjis("漢字カナ")) << '"' << options << '"';
  }
  EXPECT_EQ(Conv("-t", "\x1b$B4A\xff"), "\x1b$B4A\xff") << "t copies";
  EXPECT_EQ(Conv("-t", std::string("ab\0cd", 5)), "ab") << "the result ends at a zero byte";
  EXPECT_EQ(Conv("-e", std::string("ab\0cd", 5)), "ab");
}

TEST(KanjiOptions, NullArgumentsAndEmptyInputGiveAnEmptyString) {
  EXPECT_STREQ(kanji_convert(nullptr, "abc", 3).m_pszText, "");
  EXPECT_STREQ(kanji_convert("-e", nullptr, 3).m_pszText, "");
  EXPECT_STREQ(kanji_convert("-e", "abc", 0).m_pszText, "");
  EXPECT_STREQ(kanji_convert("-e", "abc", -1).m_pszText, "");
  EXPECT_STREQ(kanji_convert("-e", "abc", 2).m_pszText, "ab");
}

// ---------------------------------------------------------------------------
// The fast path beside the main loop: with a line-end stage that has
// nothing to do, every character takes the main loop.

std::string SlowPath(const std::string& options) { return options + "Lu"; }

TEST(KanjiFast, BlocksWithABadByteTakeTheMainLoop) {
  const std::string block = Euc("漢字漢字漢字漢字");
  ASSERT_EQ(block.size(), 16u);
  for (size_t at = 0; at < 16; ++at) {
    for (char bad : {'\xff', '\xa0', '\x8e', '\x80', 'A'}) {
      std::string text = "a" + block + block;
      text[1 + at] = bad;
      for (const char* out : {"-sE", "-jE", "-eE", "-wE"}) {
        EXPECT_EQ(Hex(Conv(out, text)), Hex(Conv(SlowPath(out), text))) << out << " " << Hex(text);
      }
    }
  }
}

TEST(KanjiFast, RandomMixesConvertAsOnTheMainLoop) {
  const char* pieces[] = {"漢字かな",
                          "ｶﾞｷﾞｸ",
                          "ﾊﾟﾋﾟ",
                          "a=b",
                          "=?",
                          "==",
                          "x",
                          "\n",
                          "ＡＢ",
                          "ー",
                          " ",
                          "=?ISO-2022-JP?B?GyRCNEEbKEI=?=",
                          "abcdefghijklmnopqrstuvwxyz0123456789"};
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    std::string utf8;
    while (utf8.size() < 3000) utf8 += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    for (int from = 1; from < 4; ++from) {
      std::string text = Recode("UTF-8", kCodes[from].name, utf8);
      for (int to = 0; to < 4; ++to) {
        for (const char* extra : {"", "x", "B2", "m0"}) {
          std::string options = std::string(kCodes[to].out) + kCodes[from].in + extra;
          EXPECT_TRUE(Conv(options, text) == Conv(SlowPath(options), text)) << options;
          options = std::string(kCodes[to].out) + extra;
          EXPECT_TRUE(Conv(options, text) == Conv(SlowPath(options), text)) << options;
        }
      }
    }
  }
}

// Each of the options gives text the bytes the main loop gives it.
void ExpectMainLoopBytes(std::initializer_list<const char*> options, const std::string& text) {
  for (const char* o : options) {
    EXPECT_EQ(Hex(Conv(o, text)), Hex(Conv(SlowPath(o), text))) << o << " " << Hex(text);
  }
}

TEST(KanjiFast, ShiftJisUtf8AndJisBlocksWithABadByteTakeTheMainLoop) {
  const std::string utf8 = "漢字とかな、カタカナ。漢字とかな、カタカナ。";
  const std::pair<std::string, const char*> runs[] = {
      {Sjis(utf8), "S"}, {utf8, "W"}, {Recode("UTF-8", "ISO-2022-JP", utf8), "J"}};
  for (const auto& [run, in] : runs) {
    for (size_t at = 0; at < run.size(); ++at) {
      for (char bad : {'\x7f', '\xa0', '\xe0', '\xed', '\x80', 'A', '\xff', '\n'}) {
        std::string text = "a" + run;
        text[1 + at] = bad;
        for (const char* out : {"-s", "-j", "-e", "-w"}) {
          ExpectMainLoopBytes({(std::string(out) + in).c_str()}, text);
        }
      }
    }
  }
}

TEST(KanjiFast, JisInputWithEveryDesignationConvertsAsOnTheMainLoop) {
  const char* pieces[] = {"\x1b$B",  "\x1b$@",
                          "\x1b(B",  "\x1b(J",
                          "\x1b(H",  "\x1b$A",
                          "\x1b(I",  "\x1b",
                          "$B",      "4A",
                          ";z",      "4A;z4A;z4A;z4A;z",
                          "!!",      "~~",
                          "a",       "\n",
                          "=?",      "\x0e1\x0f",
                          "\x7f",    " ",
                          "\x1b$(D", "\x1b$B4A4A4A4A4A4A4A4A4A\x1b(B"};
  std::mt19937 rng(25);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    while (text.size() < 120) text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    ExpectMainLoopBytes({"-j", "-s", "-e", "-w", "-jJ", "-eJ", "-wJ", "-sJB2"}, text);
  }
}

TEST(KanjiFast, KatakanaTakeTheirMarkAtEveryPlaceOfABlock) {
  std::string kana;  // 70 half-width katakana, none followed by a mark
  std::mt19937 rng(26);
  while (kana.size() < 70 * 3) {
    kana += Recode("SHIFT_JIS", "UTF-8", std::string(1, static_cast<char>(0xA1 + rng() % 61)));
  }
  for (const char* pair : {"ｶﾞ", "ﾄﾞ", "ｳﾞ", "ﾊﾟ", "ﾎﾟ", "ﾎﾞ", "ｱﾞ", "ﾞﾞ", "ﾟ"}) {
    for (size_t at = 0; at <= 40; ++at) {
      std::string utf8 = kana.substr(0, 3 * at) + pair + kana.substr(3 * at) + "a";
      for (int from = 1; from < 4; ++from) {
        std::string text = Recode("UTF-8", kCodes[from].name, utf8);
        for (int to = 0; to < 4; ++to) {
          ExpectMainLoopBytes({(std::string(kCodes[to].out) + kCodes[from].in).c_str()}, text);
        }
      }
    }
  }
}

TEST(KanjiFast, KatakanaBeforeWhatGivesNoCharacterStillTakeALaterMark) {
  std::string kana = Recode("SHIFT_JIS", "UTF-8", "\xb1\xb2\xb3\xb4\xb5\xd4\xd5\xd6");
  while (kana.size() < 40 * 3) kana += kana;
  for (const char* gap : {"\xff", "\x80", "\x1b(B", "\x0e\x0f", "=?", "\x1b$B\x1b(B"}) {
    for (size_t at = 0; at <= 40; ++at) {
      for (int from = 1; from < 4; ++from) {
        std::string text = Recode("UTF-8", kCodes[from].name, kana.substr(0, 3 * at) + "ｷ") + gap +
                           Recode("UTF-8", kCodes[from].name, "ﾞa");
        ExpectMainLoopBytes({(std::string("-e") + kCodes[from].in).c_str()}, text);
      }
    }
  }
}

TEST(KanjiFast, Utf8CopyLeavesEveryFlawToTheMainLoop) {
  const std::string text = "漢字とかな、English, ＡＢＣ and ×÷ 😀 é: a run of UTF-8 text.";
  const std::string flaws[] = {"\xc0\x80",
                               "\xc1\xbf",
                               "\xe0\x80\x80",
                               "\xe0\x9f\xbf",
                               "\xed\xa0\x80",
                               "\xf0\x8f\xbf\xbf",
                               "\xf4\x90\x80\x80",
                               "\xf5\x80\x80\x80",
                               "\xff",
                               "\x80",
                               "\xe3\x81",
                               "\xf0\x9f\x98",
                               "\x1b$B",
                               "\x0e",
                               "\x0f",
                               std::string(1, '\0'),
                               "=?",
                               "ｱ",
                               "ﾟ",
                               "\n",
                               "\xef\xbf\xbd",
                               "\xf4\x8f\xbf\xbf"};
  for (const std::string& flaw : flaws) {
    for (size_t at = 0; at <= text.size(); ++at) {
      ExpectMainLoopBytes({"-wW", "-wWx", "-wWB2", "-wWm0", "-w"},
                          text.substr(0, at) + flaw + text.substr(at));
    }
  }
}

// ---------------------------------------------------------------------------

bool EndsInsideEscape(const std::string& s) {
  size_t esc = s.rfind('\x1b');
  return esc != std::string::npos && s.size() - esc < 3;
}

TEST(KanjiRobust, EveryTruncatedPrefixConvertsWhatIsComplete) {
  Texts t = FromUtf8(kMixed);
  for (int from = 0; from < 4; ++from) {
    const std::string& text = t.by_code[from];
    for (size_t n = 0; n <= text.size(); ++n) {
      std::string prefix = text.substr(0, n), want;
      Iconv(kCodes[from].name, "EUC-JP", prefix, &want, true);
      std::string got = Conv(std::string("-e") + kCodes[from].in, prefix);
      if (!EndsInsideEscape(prefix)) {
        EXPECT_EQ(Hex(got), Hex(want)) << kCodes[from].name << " " << n;
      }
      Conv(std::string("-jxM") + kCodes[from].in, prefix);
      Conv("-sBf20Zr", prefix);
    }
  }
  std::string mime = "a =?ISO-2022-JP?B?GyRCNEE7ehsoQg==?= =?ISO-8859-1?Q?caf=E9?=";
  for (size_t n = 0; n <= mime.size(); ++n) {
    Conv("-e", mime.substr(0, n));
    Conv("-emN", mime.substr(0, n));
    Conv("-emQ", mime.substr(0, n));
    Conv("-emB", mime.substr(0, n));
  }
}

std::string DropByte(std::string s, size_t at) { return s.erase(at, 1); }
std::string InsertByte(std::string s, size_t at, char b) { return s.insert(at, 1, b); }
std::string FlipHighBit(std::string s, size_t at) {
  s[at] = static_cast<char>(s[at] ^ 0x80);
  return s;
}

// Checks the structure of EUC-JP output without interpreting it; no ESC.
bool WellFormedEuc(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char b = s[i];
    if (b == 0x1B) return false;
    if (b < 0x80) continue;
    if (b == 0x8F && i + 2 < s.size() && s[i + 1] & 0x80 && s[i + 2] & 0x80) {
      i += 2;
      continue;
    }
    if (i + 1 >= s.size()) return false;
    unsigned char t = s[++i];
    if (b == 0x8E ? (t < 0xA1 || t > 0xDF) : (b < 0xA1 || b > 0xFE || t < 0xA1 || t > 0xFE))
      return false;
  }
  return true;
}

bool WellFormedSjis(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char b = s[i];
    if (b == 0x1B) return false;
    if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) continue;
    if (!((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) || i + 1 >= s.size()) return false;
    unsigned char t = s[++i];
    if (t < 0x40 || t > 0xFC || t == 0x7F) return false;
  }
  return true;
}

// Seven bits, pairs in kanji mode and ASCII at the end. (Input with escape
// sequences is left out: one that is not understood is copied as it is.)
bool WellFormedJis(const std::string& s) {
  bool kanji = false;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char b = s[i];
    if (b >= 0x80) return false;
    std::string esc = s.substr(i, 3);
    if (esc == "\x1b$B" || esc == "\x1b(B") {
      kanji = esc == "\x1b$B";
      i += 2;
    } else if (kanji) {
      if (i + 1 >= s.size() || b < 0x21 || b > 0x7E || s[i + 1] < 0x21 || s[i + 1] > 0x7E)
        return false;
      ++i;
    }
  }
  return !kanji;
}

TEST(KanjiRobust, DamagedInputGivesWellFormedOutputAndKeepsWhatCameBefore) {
  std::mt19937 rng(20240601);
  Texts t = FromUtf8(kMixed);
  for (int round = 0; round < 150; ++round) {
    for (int from = 0; from < 4; ++from) {
      const std::string& text = t.by_code[from];
      size_t at = rng() % text.size();
      std::string damaged;
      switch (round % 3) {
        case 0:
          damaged = DropByte(text, at);
          break;
        case 1:
          damaged = InsertByte(text, at, static_cast<char>(0x80 + rng() % 0x80));
          break;
        default:
          damaged = FlipHighBit(text, at);
          break;
      }
      std::string euc = Conv(std::string("-e") + kCodes[from].in, damaged);
      EXPECT_TRUE(WellFormedEuc(euc)) << Hex(damaged);
      EXPECT_TRUE(WellFormedSjis(Conv("-s", damaged))) << Hex(damaged);
      std::string utf16;
      EXPECT_TRUE(Iconv("UTF-8", "UTF-16LE", Conv("-w", damaged), &utf16)) << Hex(damaged);
      if (from != 0) {
        EXPECT_TRUE(WellFormedJis(Conv("-j", damaged))) << Hex(damaged);
      }
      std::string before;
      Iconv(kCodes[from].name, "EUC-JP", text.substr(0, at), &before, true);
      if (!EndsInsideEscape(text.substr(0, at))) {
        EXPECT_EQ(Hex(euc.substr(0, before.size())), Hex(before))
            << kCodes[from].name << " at " << at;
      }
    }
  }
}

TEST(KanjiRobust, TheCallersTextNeverChanges) {
  const std::string original =
      "$B4A(B =?ISO-2022-JP?B?GyRCNEE7ehsoQg==?= \x1b$B4A\x1b(B " + Sjis("漢字");
  std::string text = original;
  for (const char* options : {"-e", "-eB", "-emN", "-jM", "-sZ2f10rLw"}) {
    kanji_convert(options, text.data(), static_cast<int>(text.size()));
    EXPECT_EQ(text, original) << options;
  }
}

TEST(KanjiCorpus, EveryManualPageConvertsLikePythonInAllDirectionsGivenOrDetected) {
  const Corpus& c = ManPages();
  ASSERT_TRUE(c.ok) << "needs python3 and the manual pages of package manpages-ja";
  int failures = 0;
  for (size_t page = 0; page < c.pages[0].size() && failures < 10; ++page) {
    for (int from = 0; from < 4; ++from) {
      for (int to = 0; to < 4; ++to) {
        for (bool given : {true, false}) {
          std::string options =
              std::string(kCorpusCodes[to].out) + (given ? kCorpusCodes[from].in : "") + "x";
          std::string got = Conv(options, c.pages[from][page]);
          if (got == c.pages[to][page]) continue;
          ADD_FAILURE() << "page " << page << " " << kCorpusCodes[from].file << " with " << options
                        << ": " << FirstDifference(got, c.pages[to][page]);
          failures++;
        }
      }
    }
  }
}

TEST(KanjiCorpus, EveryLineIsDetectedInEveryCode) {
  const Corpus& c = ManPages();
  ASSERT_TRUE(c.ok) << "needs python3 and the manual pages of package manpages-ja";
  for (int from = 0; from < 4; ++from) {
    long lines = 0, right = 0;
    for (size_t page = 0; page < c.pages[0].size(); ++page) {
      std::vector<std::string> in = Split(c.pages[from][page], '\n');
      std::vector<std::string> utf8 = Split(c.pages[0][page], '\n');
      std::vector<std::string> euc = Split(c.pages[1][page], '\n');
      ASSERT_EQ(in.size(), utf8.size());
      for (size_t i = 0; i < in.size(); ++i) {
        if (utf8[i].size() == euc[i].size()) continue;  // ASCII only
        lines++;
        bool ok = from == 0 ? Conv("-ex", in[i]) == euc[i] : Conv("-wx", in[i]) == utf8[i];
        if (ok) {
          right++;
        } else if (lines - right <= 5) {
          ADD_FAILURE() << kCorpusCodes[from].file << " page " << page << ": " << Hex(in[i]);
        }
      }
    }
    printf("%s: %ld of %ld lines with Japanese text detected right (%.3f %%)\n",
           kCorpusCodes[from].file, right, lines, 100.0 * right / lines);
  }
}

TEST(KanjiCorpus, CharactersOutsideJisX0208GiveGetaOrTheSameBytes) {
  const Corpus& c = ManPages();
  ASSERT_TRUE(c.ok) << "needs python3 and the manual pages of package manpages-ja";
  ASSERT_GT(c.outside.size(), 100u);
  for (const auto& row : c.outside) {
    std::string utf8 = Unhex(row[0]), euc = Unhex(row[1]);
    EXPECT_EQ(Hex(Conv("-wWx", utf8)), row[0]);
    EXPECT_EQ(Hex(Conv("-eEx", euc)), row[1]);
    EXPECT_EQ(Hex(Conv("-eWx", utf8)), row[3]);
    EXPECT_EQ(Hex(Conv("-wEx", euc)), row[2]);
  }
}

// ---------------------------------------------------------------------------

TEST(KanjiString, KanjiConvertMembersReachTheConverter) {
  CHobString s(Euc("漢字").c_str());
  CHobString& same = s.KanjiConvert("-j");
  EXPECT_EQ(&same, &s);
  EXPECT_STREQ(s.m_pszText, "\x1b$B4A;z\x1b(B");
  EXPECT_STREQ(CHobString::KanjiConvert("-e", s.m_pszText).m_pszText, Euc("漢字").c_str());
  EXPECT_STREQ(CHobString::KanjiConvert("-e", nullptr).m_pszText, "");
  CHobString none;
  none._Free();
  EXPECT_STREQ(none.KanjiConvert("-e").m_pszText, "");
}

}  // namespace
