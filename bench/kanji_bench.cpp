// Throughput of the kanji converter beside glibc iconv(3) on the same text,
// and the converter's peak memory: every direction among Shift_JIS, EUC-JP,
// ISO-2022-JP and UTF-8 on Debian's Japanese manual pages, made ready by
// scripts/bench.sh (--corpus=DIR names another place), with the input code
// declared; then half-width katakana, ASCII with many "=" and alternating
// ASCII and kanji, which are generated.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hobkanji.h"

namespace {

constexpr size_t kTextBytes = 10 * 1024 * 1024;

// glibc's conversion of in; false unless it converted the whole input.
bool Iconv(const char* from, const char* to, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->assign(in.size() * 4 + 64, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out->data();
  size_t il = in.size(), ol = out->size();
  bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1);
  iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  out->resize(op - out->data());
  return ok;
}

// The real text: Debian's Japanese manual pages in every code, as
// tests/data/kanji/manpages.py writes them (each page ends with a zero
// byte, which becomes a line end here).
std::string ReadCorpus(const std::string& dir, const char* name) {
  std::ifstream in(dir + "/text." + name, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (char& c : text) {
    if (c == '\0') c = '\n';
  }
  return text;
}

// Lines of 60 half-width katakana in Shift_JIS.
std::string MakeKana() {
  std::mt19937 rng(2);
  std::string text;
  while (text.size() < kTextBytes) {
    for (int i = 0; i < 60; ++i) text += static_cast<char>(0xA1 + rng() % 63);
    text += '\n';
  }
  return text;
}

// ASCII settings-like lines with many "=" (none followed by "?").
std::string MakeEquals() {
  const char* words[] = {"key", "a", "value", "x", "==", "=", "b=c", "PATH", "1", "=x="};
  std::mt19937 rng(3);
  std::string text;
  while (text.size() < kTextBytes) {
    for (int i = 0; i < 8; ++i) {
      text += words[rng() % (sizeof words / sizeof *words)];
      text += i % 2 ? " " : "=";
    }
    text += '\n';
  }
  return text;
}

// The worst case for the output buffer: ASCII and kanji alternate, so that
// ISO-2022-JP output is three times the input.
std::string MakeAlternatingSjis() {
  std::string text;
  while (text.size() < kTextBytes) text += "a\x8a\xbf";
  return text;
}

// The four codes, in the order of the sources of the manual pages.
struct Code {
  const char* name;
  const char* file;  // the corpus file text.<file>
  char in;           // the converter's option letters
  char out;
  const char* iconv;  // glibc's name
};
const Code kCodes[] = {{"Shift_JIS", "sjis", 'S', 's', "SHIFT_JIS"},
                       {"EUC-JP", "euc", 'E', 'e', "EUC-JP"},
                       {"ISO-2022-JP", "jis", 'J', 'j', "ISO-2022-JP"},
                       {"UTF-8", "utf8", 'W', 'w', "UTF-8"}};

enum Source { kSjis, kEuc, kJis, kUtf8, kAlternating, kKana, kEquals, kSources };

std::string g_corpus = "build-bench/kanji-corpus";

const std::string& Text(Source source) {
  static const std::vector<std::string> inputs = [] {
    std::vector<std::string> in(kSources);
    for (int code = kSjis; code <= kUtf8; ++code)
      in[code] = ReadCorpus(g_corpus, kCodes[code].file);
    in[kAlternating] = MakeAlternatingSjis();
    in[kKana] = MakeKana();
    in[kEquals] = MakeEquals();
    return in;
  }();
  return inputs[source];
}

// What the converter's output is checked against before it is timed.
enum Expected {
  kManPages,    // the manual pages in the output code, written by Python's codecs
  kIconvBytes,  // iconv's output
  kStageChain,  // the converter's own, every character through the stage chain
};

struct Case {
  std::string name;
  std::string options;
  Source source;
  std::string iconv_from;
  std::string iconv_to;
  Expected expected;
  int out_code;  // for kManPages
};

// glibc's SHIFT_JIS reads 0x5C as the yen sign, which it writes to UTF-8 as
// U+00A5 and to ISO-2022-JP as JIS X 0201 Roman (ESC ( J), where the
// manual pages hold many backslashes; to those two codes iconv reads
// Shift_JIS as CP932, which keeps the backslash. CP932 reads a few
// characters differently (0x8160 as U+FF5E, which ISO-2022-JP lacks, hence
// //TRANSLIT), so iconv's output differs there in a handful of characters.
std::vector<Case> MakeCases() {
  std::vector<Case> cases;
  for (int from = kSjis; from <= kUtf8; ++from) {
    for (int to = kSjis; to <= kUtf8; ++to) {
      const Code& in = kCodes[from];
      const Code& out = kCodes[to];
      bool cp932 = from == kSjis && (to == kJis || to == kUtf8);
      cases.push_back({std::string(in.name) + " -> " + out.name, std::string("-") + in.in + out.out,
                       static_cast<Source>(from), cp932 ? "CP932" : in.iconv,
                       std::string(out.iconv) + (cp932 && to == kJis ? "//TRANSLIT" : ""),
                       kManPages, to});
    }
  }
  cases.push_back({"half-width katakana Shift_JIS -> EUC-JP, to full-width", "-Se", kKana,
                   "SHIFT_JIS", "EUC-JP", kStageChain, 0});
  cases.push_back({"half-width katakana Shift_JIS -> EUC-JP, kept half-width", "-Sxe", kKana,
                   "SHIFT_JIS", "EUC-JP", kIconvBytes, 0});
  cases.push_back(
      {"detected Shift_JIS -> EUC-JP", "-e", kSjis, "SHIFT_JIS", "EUC-JP", kManPages, kEuc});
  cases.push_back(
      {"detected UTF-8 -> Shift_JIS", "-s", kUtf8, "UTF-8", "SHIFT_JIS", kManPages, kSjis});
  cases.push_back({"ASCII with many \"=\" EUC-JP -> Shift_JIS", "-Es", kEquals, "EUC-JP",
                   "SHIFT_JIS", kIconvBytes, 0});
  cases.push_back({"alternating Shift_JIS -> ISO-2022-JP", "-Sj", kAlternating, "SHIFT_JIS",
                   "ISO-2022-JP", kIconvBytes, 0});
  return cases;
}

const std::string& Input(const Case& c) { return Text(c.source); }

CHobString Convert(const std::string& options, const std::string& in) {
  return kanji_convert(options.c_str(), in.data(), static_cast<int>(in.size()));
}

// Empty when the converter gives the expected text and iconv converts the
// whole input; otherwise what went wrong.
std::string Check(const Case& c, bool* iconv_same) {
  const std::string& in = Input(c);
  std::string theirs;
  if (!Iconv(c.iconv_from.c_str(), c.iconv_to.c_str(), in, &theirs)) {
    return "iconv " + c.iconv_from + " to " + c.iconv_to + " stops before the end";
  }
  std::string want = c.expected == kManPages     ? Text(static_cast<Source>(c.out_code))
                     : c.expected == kIconvBytes ? theirs
                                                 : Convert(c.options + "Lu", in).m_pszText;
  *iconv_same = theirs == want;
  return Convert(c.options, in).m_pszText == want ? "" : "output differs from the expected text";
}

void BM_Converter(benchmark::State& state, const Case& c) {
  const std::string& in = Input(c);
  for (auto _ : state) {
    CHobString out = Convert(c.options, in);
    benchmark::DoNotOptimize(out.m_pszText);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Iconv(benchmark::State& state, const Case& c) {
  const std::string& in = Input(c);
  std::string out(in.size() * 4 + 64, '\0');
  iconv_t cd = iconv_open(c.iconv_to.c_str(), c.iconv_from.c_str());
  for (auto _ : state) {
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    iconv(cd, &ip, &il, &op, &ol);
    iconv(cd, nullptr, nullptr, &op, &ol);
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
  }
  return -1;
}

// Resident memory that one conversion adds at its peak, measured in a child
// process whose input is already resident: the high-water mark is reset
// first.
long PeakKb(const Case& c) {
  const std::string& in = Input(c);
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = StatusKb("VmRSS:");
    CHobString out = Convert(c.options, in);
    benchmark::DoNotOptimize(out.m_pszText);
    long added = StatusKb("VmHWM:") - before;
    if (write(pipefd[1], &added, sizeof added) != sizeof added) _exit(1);
    _exit(0);
  }
  long added = -1;
  close(pipefd[1]);
  if (read(pipefd[0], &added, sizeof added) != sizeof added) added = -1;
  close(pipefd[0]);
  waitpid(pid, nullptr, 0);
  return added;
}

// Keeps the throughput of each repetition for the summary.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (r.run_type == Run::RT_Iteration && it != r.counters.end()) {
        rates_[r.run_name.function_name].push_back(it->second.value / 1e6);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The median, lowest and highest MB/s of name's repetitions; 0 when it did not run.
  struct Rates {
    double median = 0, low = 0, high = 0;
  };
  Rates Of(const std::string& name) const {
    auto it = rates_.find(name);
    if (it == rates_.end()) return {};
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
  }

 private:
  std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  // Each conversion runs five times for 0.2 s, the converter's and iconv's
  // repetitions of all cases in random order, so that the other work on a
  // shared machine weighs on both alike; the median counts. Arguments given
  // come after these and override them.
  std::vector<char*> args = {argv[0]};
  char repetitions[] = "--benchmark_repetitions=5";
  char min_time[] = "--benchmark_min_time=0.2";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.end(), {repetitions, min_time, interleave});
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--corpus=", 9) == 0) {
      g_corpus = argv[i] + 9;
    } else {
      args.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(args.size());
  argv = args.data();
  if (Text(kEuc).size() < 1000000) {
    fprintf(stderr, "no manual pages in %s (tests/data/kanji/manpages.py makes them)\n",
            g_corpus.c_str());
    return 1;
  }
  printf("input: manual pages %zu bytes Shift_JIS, %zu EUC-JP, %zu ISO-2022-JP, %zu UTF-8\n",
         Text(kSjis).size(), Text(kEuc).size(), Text(kJis).size(), Text(kUtf8).size());
  static const std::vector<Case> cases = MakeCases();
  std::vector<std::string> iconv_differs;
  for (const Case& c : cases) {
    bool iconv_same = false;
    std::string problem = Check(c, &iconv_same);
    if (!problem.empty()) {
      fprintf(stderr, "%s: %s\n", c.name.c_str(), problem.c_str());
      return 1;
    }
    if (!iconv_same) iconv_differs.push_back(c.name);
    benchmark::RegisterBenchmark(("converter/" + c.name).c_str(), BM_Converter, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("iconv/" + c.name).c_str(), BM_Iconv, c)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf(
      "\n| conversion | converter MB/s | iconv MB/s | ratio | converter low-high | iconv low-high "
      "| "
      "input MB | output MB | peak added MB | peak / (input + output) |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Case& c : cases) {
    Reporter::Rates ours = reporter.Of("converter/" + c.name);
    Reporter::Rates theirs = reporter.Of("iconv/" + c.name);
    if (ours.median == 0) continue;  // left out by --benchmark_filter
    const std::string& in = Input(c);
    CHobString out = Convert(c.options, in);
    double in_mb = in.size() / 1e6, out_mb = out.GetLength() / 1e6;
    double added_mb = PeakKb(c) * 1024 / 1e6;
    printf("| %s | %.0f | %.0f | %.2fx | %.0f-%.0f | %.0f-%.0f | %.1f | %.1f | %.1f | %.2f |\n",
           c.name.c_str(), ours.median, theirs.median,
           theirs.median > 0 ? ours.median / theirs.median : 0, ours.low, ours.high, theirs.low,
           theirs.high, in_mb, out_mb, added_mb, (in_mb + added_mb) / (in_mb + out_mb));
  }
  printf(
      "\nMB = 10^6 bytes; MB/s from CPU time, the median of the repetitions (low-high: their\n"
      "range). Peak added: resident memory the conversion adds on top of its resident input;\n"
      "the last column is (input + that) / (input + output).\n"
      "The converter's output is the manual pages as Python's codecs write them in the output\n"
      "code (or iconv's output; with -Se its own per-character path's); iconv's differs in:\n");
  for (const std::string& name : iconv_differs) printf("  %s\n", name.c_str());
  return 0;
}
