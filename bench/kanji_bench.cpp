// Throughput of the kanji converter beside glibc iconv(3) on the same 10 MB
// of mixed Japanese and ASCII text, and the converter's peak memory.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// Japanese prose-like text in EUC-JP: runs of hiragana, kanji and katakana
// with punctuation, ASCII words and numbers, about 70 bytes to a line.
std::string MakeEucText() {
  std::vector<std::string> hiragana, katakana, kanji;
  for (int c = 0xA1; c <= 0xF3; ++c) hiragana.push_back({'\xa4', static_cast<char>(c)});
  for (int c = 0xA1; c <= 0xF6; ++c) katakana.push_back({'\xa5', static_cast<char>(c)});
  for (int r = 0xB0; r <= 0xCF; ++r) {
    for (int c = 0xA1; c <= 0xFE; ++c) {
      std::string ch{static_cast<char>(r), static_cast<char>(c)};
      if (!Iconv("EUC-JP", "UTF-8", ch).empty()) kanji.push_back(ch);
    }
  }
  const char* words[] = {"HTTP", "server", "2024",   "user_id", "index.html", "OK",
                         "the",  "data",   "v1.2.3", "Linux",   "JSON",       "42"};
  const char* punctuation[] = {"\xa1\xa2", "\xa1\xa3", "\xa1\xd6", "\xa1\xd7"};
  std::mt19937 rng(1);
  std::string text;
  size_t line = 0;
  while (text.size() < kTextBytes) {
    size_t before = text.size();
    unsigned kind = rng() % 100;
    int run = 1 + rng() % 5;
    if (kind < 50) {
      for (int i = 0; i < run + 1; ++i) text += hiragana[rng() % hiragana.size()];
    } else if (kind < 78) {
      for (int i = 0; i < run; ++i) text += kanji[rng() % kanji.size()];
    } else if (kind < 86) {
      for (int i = 0; i < run + 1; ++i) text += katakana[rng() % katakana.size()];
    } else if (kind < 94) {
      text += ' ';
      text += words[rng() % (sizeof words / sizeof *words)];
      text += ' ';
    } else {
      text += punctuation[rng() % 4];
    }
    line += text.size() - before;
    if (line > 70) {
      text += '\n';
      line = 0;
    }
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

enum Source { kEuc, kSjis, kAlternating };

struct Inputs {
  std::string euc;
  std::string sjis;
  std::string alternating;
};

const Inputs& Text() {
  static const Inputs inputs = [] {
    Inputs in;
    in.euc = MakeEucText();
    in.sjis = Iconv("EUC-JP", "SHIFT_JIS", in.euc);
    in.alternating = MakeAlternatingSjis();
    return in;
  }();
  return inputs;
}

struct Case {
  const char* name;
  const char* options;
  Source source;
  const char* iconv_from;
  const char* iconv_to;
};

const Case kCases[] = {
    {"Shift_JIS -> EUC-JP", "-Se", kSjis, "SHIFT_JIS", "EUC-JP"},
    {"EUC-JP -> Shift_JIS", "-Es", kEuc, "EUC-JP", "SHIFT_JIS"},
    {"Shift_JIS -> ISO-2022-JP", "-Sj", kSjis, "SHIFT_JIS", "ISO-2022-JP"},
    {"detected -> EUC-JP", "-e", kSjis, "SHIFT_JIS", "EUC-JP"},
    {"alternating Shift_JIS -> ISO-2022-JP", "-Sj", kAlternating, "SHIFT_JIS", "ISO-2022-JP"},
};

const std::string& Input(const Case& c) {
  return c.source == kEuc ? Text().euc : c.source == kSjis ? Text().sjis : Text().alternating;
}

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
  const Inputs& text = Text();
  printf("input: %zu bytes EUC-JP, %zu bytes Shift_JIS\n", text.euc.size(), text.sjis.size());
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
