// What the two whole-process harnesses (request_harness, store_harness)
// share: the clock, the summary of a series of runs, and the form's
// encoding of a field.
#ifndef HOB_BENCH_HARNESS_H_
#define HOB_BENCH_HARNESS_H_

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace harness {

// Milliseconds on the monotonic clock.
inline double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A figure over many runs.
struct Figure {
  double median = 0;
  double p10 = 0;
  double p90 = 0;
};

// The median and the 10th and 90th percentiles (nearest rank) of values.
// REQUIRES: values is not empty.
inline Figure Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  auto at = [&](double q) {
    return values[static_cast<size_t>(q * static_cast<double>(n - 1) + 0.5)];
  };
  Figure f;
  f.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  f.p10 = at(0.10);
  f.p90 = at(0.90);
  return f;
}

// s with every byte but letters and digits as %XX.
inline std::string UrlEncode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace harness

#endif  // HOB_BENCH_HARNESS_H_
