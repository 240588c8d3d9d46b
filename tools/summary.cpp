#include "tools/summary.h"

#include <cmath>
#include <complex>

namespace tool {

void SummaryBuilder::add(const uint16_t* samples, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t v = value(samples[i]);
    if (count_ == 0 || v < min_) min_ = v;
    if (count_ == 0 || v > max_) max_ = v;
    sum_ += v;
    squares_ += static_cast<double>(v) * v;
    ++count_;
    if (kept_.size() < (size_t{1} << 20)) kept_.push_back(v);
  }
}

Summary SummaryBuilder::finish() const {
  Summary s;
  s.count = count_;
  if (count_ == 0) return s;
  s.min = min_;
  s.max = max_;
  s.mean = sum_ / static_cast<double>(count_);
  s.rms = std::sqrt(squares_ / static_cast<double>(count_));
  size_t n = 1;
  while (n * 2 <= kept_.size()) n *= 2;
  if (n >= 8) {
    s.fft_size = n;
    s.tone_bin =
        strongest_bin(std::vector<double>(kept_.begin(), kept_.begin() + static_cast<long>(n)));
  }
  return s;
}

size_t strongest_bin(std::vector<double> x) {
  const size_t n = x.size();
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  const double pi = 3.14159265358979323846;
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * pi * static_cast<double>(i) / static_cast<double>(n));
    a[i] = (x[i] - mean) * w;
  }
  // Iterative radix-2 transform.
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> step = std::polar(1.0, -2 * pi / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w = 1;
      for (size_t k = 0; k < len / 2; ++k, w *= step) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
  size_t best = 1;
  for (size_t k = 2; k <= n / 2; ++k) {
    if (std::norm(a[k]) > std::norm(a[best])) best = k;
  }
  return best;
}

}  // namespace tool
