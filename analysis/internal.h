// Shared parts of the measurement core: reading samples as codes, the windows, the real FFT.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vrx5200_analysis.h"

struct kiss_fft_state;

namespace vrxa {

constexpr double kPi = 3.14159265358979323846;

// ---- samples ------------------------------------------------------------------------------
// Checks a bit count, code format and sample type together (words hold at most 16 bits).
int32_t check_format(int32_t sample_type, int32_t bits, int32_t code_format);

// Calls f(i, value) for every sample as a value in codes (signed: offset binary less half the
// codes). Doubles must have been checked finite.
template <typename F>
void for_each_value(const void* samples, int32_t type, uint64_t count, int32_t bits, int32_t format,
                    F&& f) {
  const double half = std::ldexp(1.0, bits - 1);
  if (type == VRX5200_SAMPLES_DOUBLE) {
    const double* x = static_cast<const double*>(samples);
    const double shift = format == VRX5200_OFFSET_BINARY ? half : 0.0;
    for (uint64_t i = 0; i < count; ++i) f(i, x[i] - shift);
    return;
  }
  const uint16_t* w = static_cast<const uint16_t*>(samples);
  const uint32_t mask = bits >= 16 ? 0xFFFFu : (1u << bits) - 1u;
  const int32_t sign = int32_t{1} << (bits - 1);
  if (format == VRX5200_OFFSET_BINARY) {
    for (uint64_t i = 0; i < count; ++i)
      f(i, static_cast<double>(static_cast<int32_t>(w[i] & mask) - sign));
  } else {
    // Sign extension: flip the sign bit, then take half the codes away.
    for (uint64_t i = 0; i < count; ++i) {
      f(i, static_cast<double>(static_cast<int32_t>((w[i] & mask) ^ static_cast<uint32_t>(sign)) -
                               sign));
    }
  }
}

// NOT_FINITE when a double sample is NaN or infinite; CONSTANT_INPUT when all are equal.
int32_t check_values(const void* samples, int32_t type, uint64_t count);

// ---- windows -------------------------------------------------------------------------------
struct Window {
  int terms;            // cosine terms a0..a(terms-1)
  double a[7];          // w[i] = sum_k (-1)^k a_k cos(2 pi k i / n)
  int lobe;             // main-lobe half-width in bins
  double side_lobe_db;  // highest side lobe
  double coherent_gain() const { return a[0]; }
  double enbw_bins() const;
};
const Window* window_by_id(int32_t id);

// Fills out[0..n) with the window's values at i0..i0+n of a record of `length` samples.
void window_values(const Window& w, uint64_t length, uint64_t i0, size_t n, double* out);

// ---- transform -----------------------------------------------------------------------------
// Power spectrum |X[k]|^2 (k = 0..n/2) of a real record of n samples, single precision, in place
// where it can be: the record goes into input() (n floats), power() receives n/2 + 1 floats.
class RealFft {
 public:
  ~RealFft();
  // nullptr with *result set (OUT_OF_MEMORY, LENGTH_UNSUPPORTED).
  static std::unique_ptr<RealFft> make(uint64_t n, int32_t* result);
  uint64_t size() const { return n_; }
  float* input() { return data_.data(); }
  const float* power() const { return power_.data(); }
  void run();

 private:
  RealFft() = default;
  void run_four_step();
  void post_process();
  uint64_t n_ = 0;
  uint64_t m_ = 0;                   // complex points (n/2 for even n, n for odd n)
  uint64_t m1_ = 1, m2_ = 1;         // four-step split m = m1 * m2 (m1 = 1: one transform)
  kiss_fft_state* plan1_ = nullptr;  // length m1 (or m when not split)
  kiss_fft_state* plan2_ = nullptr;  // length m2
  std::vector<float> data_;          // n floats (+ room for complex odd-length input)
  std::vector<float> scratch_;       // column and row scratch
  std::vector<float> power_;
};

uint64_t largest_prime_factor(uint64_t n);

// ---- small helpers -------------------------------------------------------------------------
inline double db10(double ratio) {
  return 10.0 * std::log10(ratio);
}
// 10 log10(a / b) with the ends as infinities rather than NaN.
inline double db_ratio(double a, double b) {
  if (b <= 0.0) return a > 0.0 ? HUGE_VAL : 0.0;
  if (a <= 0.0) return -HUGE_VAL;
  return 10.0 * std::log10(a / b);
}

}  // namespace vrxa

// The analyzer the header names: a transform for one record length.
struct VRX5200Analyzer {
  std::unique_ptr<vrxa::RealFft> fft;
};
