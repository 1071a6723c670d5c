// Throughput of the kanji converter beside glibc iconv(3) on the same text,
// and the converter's peak memory. The real text is Debian's Japanese manual
// pages, made ready by scripts/bench.sh (--corpus=DIR names another place);
// half-width katakana, ASCII with many "=" and alternating ASCII and kanji
// are generated.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string Iconv(const char* from, const char* to, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  std::string out(in.size() * 4 + 64, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) out.clear();
  iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  out.resize(op - out.data());
  return out;
}

// The real text: Debian's Japanese manual pages in EUC-JP, Shift_JIS and
// UTF-8, as tests/data/kanji/manpages.py writes them (each page ends with a
// zero byte, which becomes a line end here).
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

enum Source { kEuc, kSjis, kUtf8, kAlternating, kKana, kEquals, kSources };

std::string g_corpus = "build-bench/kanji-corpus";

const std::string& Text(Source source) {
  static const std::vector<std::string> inputs = [] {
    std::vector<std::string> in(kSources);
    in[kEuc] = ReadCorpus(g_corpus, "euc");
    in[kSjis] = ReadCorpus(g_corpus, "sjis");
    in[kUtf8] = ReadCorpus(g_corpus, "utf8");
    in[kAlternating] = MakeAlternatingSjis();
    in[kKana] = MakeKana();
    in[kEquals] = MakeEquals();
    return in;
  }();
  return inputs[source];
}

struct Case {
  const char* name;
  const char* options;
  Source source;
  const char* iconv_from;
  const char* iconv_to;
};

// glibc's Shift_JIS reads 0x5C as the yen sign and writes it to ISO-2022-JP
// as JIS X 0201 Roman, so ISO-2022-JP output is measured from EUC-JP on the
// manual pages, which hold many backslashes.
const Case kCases[] = {
    {"Shift_JIS -> EUC-JP", "-Se", kSjis, "SHIFT_JIS", "EUC-JP"},
    {"EUC-JP -> Shift_JIS", "-Es", kEuc, "EUC-JP", "SHIFT_JIS"},
    {"EUC-JP -> ISO-2022-JP", "-Ej", kEuc, "EUC-JP", "ISO-2022-JP"},
    {"detected -> EUC-JP", "-e", kSjis, "SHIFT_JIS", "EUC-JP"},
    {"EUC-JP -> UTF-8", "-Ew", kEuc, "EUC-JP", "UTF-8"},
    {"UTF-8 -> EUC-JP", "-We", kUtf8, "UTF-8", "EUC-JP"},
    {"detected UTF-8 -> Shift_JIS", "-s", kUtf8, "UTF-8", "SHIFT_JIS"},
    {"half-width katakana Shift_JIS -> EUC-JP", "-Sex", kKana, "SHIFT_JIS", "EUC-JP"},
    {"ASCII with many \"=\" EUC-JP -> Shift_JIS", "-Es", kEquals, "EUC-JP", "SHIFT_JIS"},
    {"alternating Shift_JIS -> ISO-2022-JP", "-Sj", kAlternating, "SHIFT_JIS", "ISO-2022-JP"},
};

const std::string& Input(const Case& c) { return Text(c.source); }

void BM_Converter(benchmark::State& state, const Case& c) {
  const std::string& in = Input(c);
  for (auto _ : state) {
    CHobString out = kanji_convert(c.options, in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(out.m_pszText);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Iconv(benchmark::State& state, const Case& c) {
  const std::string& in = Input(c);
  std::string out(in.size() * 4 + 64, '\0');
  iconv_t cd = iconv_open(c.iconv_to, c.iconv_from);
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
    CHobString out = kanji_convert(c.options, in.data(), static_cast<int>(in.size()));
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

// Keeps each run's throughput for the summary.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rate_[r.run_name.function_name] = it->second.value / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Rate(const std::string& name) const {
    auto it = rate_.find(name);
    return it == rate_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--corpus=", 9) == 0) {
      g_corpus = argv[i] + 9;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (Text(kEuc).size() < 1000000) {
    fprintf(stderr, "no manual pages in %s (tests/data/kanji/manpages.py makes them)\n",
            g_corpus.c_str());
    return 1;
  }
  printf("input: manual pages %zu bytes EUC-JP, %zu bytes Shift_JIS, %zu bytes UTF-8\n",
         Text(kEuc).size(), Text(kSjis).size(), Text(kUtf8).size());
  for (const Case& c : kCases) {
    const std::string& in = Input(c);
    CHobString out = kanji_convert(c.options, in.data(), static_cast<int>(in.size()));
    if (Iconv(c.iconv_from, c.iconv_to, in) != out.m_pszText) {
      fprintf(stderr, "%s: output differs from iconv\n", c.name);
      return 1;
    }
    benchmark::RegisterBenchmark((std::string("converter/") + c.name).c_str(), BM_Converter, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("iconv/") + c.name).c_str(), BM_Iconv, c)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf(
      "\n| conversion | converter MB/s | iconv MB/s | ratio | input MB | output MB | "
      "peak added MB | peak / (input + output) |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Case& c : kCases) {
    double ours = reporter.Rate(std::string("converter/") + c.name);
    double theirs = reporter.Rate(std::string("iconv/") + c.name);
    const std::string& in = Input(c);
    CHobString out = kanji_convert(c.options, in.data(), static_cast<int>(in.size()));
    double in_mb = in.size() / 1e6, out_mb = out.GetLength() / 1e6;
    double added_mb = PeakKb(c) * 1024 / 1e6;
    printf("| %s | %.0f | %.0f | %.2fx | %.1f | %.1f | %.1f | %.2f |\n", c.name, ours, theirs,
           theirs > 0 ? ours / theirs : 0, in_mb, out_mb, added_mb,
           (in_mb + added_mb) / (in_mb + out_mb));
  }
  printf(
      "\nMB = 10^6 bytes; MB/s from CPU time. Peak added: resident memory the conversion adds\n"
      "on top of its resident input; the last column is (input + that) / (input + output).\n");
  return 0;
}
