// Shared parts of the measurement core: reading samples as codes, the windows, the real FFT.
#pragma once

#include <cmath>
#include <atomic>
#include <complex>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vrx5200_analysis.h"

struct kiss_fft_state;

// Loops over samples that pay for wider vectors are built twice on x86-64 Linux with GCC, for
// the baseline and for AVX2 with FMA, the one to run chosen when the library loads; elsewhere
// once, for the baseline (and under the sanitizers, whose run times are not up when the loader
// resolves the clones).
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VRXA_VECTOR __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VRXA_VECTOR
#endif

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

// Samples i0 .. i0+n as values in codes (the rule of for_each_value), into out.
inline void values_block(const void* samples, int32_t type, int32_t bits, int32_t format,
                         uint64_t i0, size_t n, double* out) {
  const double half = std::ldexp(1.0, bits - 1);
  if (type == VRX5200_SAMPLES_DOUBLE) {
    const double* x = static_cast<const double*>(samples) + i0;
    const double shift = format == VRX5200_OFFSET_BINARY ? half : 0.0;
    for (size_t j = 0; j < n; ++j) out[j] = x[j] - shift;
    return;
  }
  const uint16_t* w = static_cast<const uint16_t*>(samples) + i0;
  const uint32_t mask = bits >= 16 ? 0xFFFFu : (1u << bits) - 1u;
  const uint32_t flip = format == VRX5200_OFFSET_BINARY ? 0u : (1u << (bits - 1));
  const int32_t sign = int32_t{1} << (bits - 1);
#pragma omp simd
  for (size_t j = 0; j < n; ++j)
    out[j] = static_cast<double>(static_cast<int32_t>((w[j] & mask) ^ flip) - sign);
}

// NOT_FINITE when a double sample is NaN or infinite; CONSTANT_INPUT when all are equal.
int32_t check_values(const void* samples, int32_t type, uint64_t count);

// What one pass over a record finds: its mean, the samples on the rail codes and outside the
// declared bit count. Doubles are checked finite and within 1024 full scales (OUT_OF_RANGE);
// CONSTANT_INPUT when all values are equal.
struct Scan {
  double mean = 0;
  uint64_t low_rail = 0, high_rail = 0, out_of_range = 0;
  // VRX5200_WARN_CLIPPED and VRX5200_WARN_OUT_OF_RANGE as the counts call for.
  uint32_t warnings(int32_t bits, uint64_t count) const;
};
int32_t scan_values(const void* samples, int32_t type, uint64_t count, int32_t bits, int32_t format,
                    Scan* scan);

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

// sin(pi x) with x reduced exactly, so that it is 0 at whole x.
double sin_pi(double x);
// Sums over a record of n samples of the window times exp(i 2 pi cycles j / n), j = 0..n-1, and
// of the same times (j - (n-1)/2): a tone's transform through the window, exact for any cycles
// (the window's cosine terms are geometric sums in closed form).
std::complex<double> window_sum(const Window& w, uint64_t n, double cycles);
std::complex<double> window_moment(const Window& w, uint64_t n, double cycles);
// The part of a tone's power that the window leaks beyond `half` bins either side of the bin
// nearest to it, for a tone `offset` bins from a bin (0..0.5).
double leakage_beyond(const Window& w, uint64_t n, int32_t half, double offset);

// A window's values for a record of `length` samples, block by block: the cosine of each sample's
// angle from the exact cosine at the block's start and a table of the angles within a block, the
// terms' cosines by the Chebyshev recurrence (no rounding carried from block to block).
constexpr size_t kWindowBlock = 4096;
class WindowTable {
 public:
  WindowTable(const Window& w, uint64_t length);
  // Values at i0 .. i0+n (n <= kWindowBlock) into out.
  void values(uint64_t i0, size_t n, double* out) const;

 private:
  const Window& w_;
  double step_;
  std::vector<double> cos_, sin_;
};

// ---- transform -----------------------------------------------------------------------------
// Transforms gathered this many at a time (columns, or rows) by the four-step way.
constexpr uint64_t kGroup = 8;

// kGroup complex transforms of one length whose prime factors are 2, 3 and 5, lane by lane:
// point j of transform c at [j kGroup + c] of the real and the imaginary array. run() uses the
// work arrays as well and returns where the result's real parts are: re or work_re; its
// imaginary parts are at the same offset of im or work_im.
class LaneFft {
 public:
  explicit LaneFft(uint64_t length);
  const float* run(float* re, float* im, float* work_re, float* work_im) const;
  uint64_t size() const { return length_; }
  // Lengths it takes: 2^a 3^b 5^c.
  static bool takes(uint64_t length);

 private:
  struct Pass {
    int radix;
    uint64_t l;       // sub-transform size / radix
    size_t twiddles;  // where the pass's twiddles start
  };
  uint64_t length_;
  std::vector<Pass> passes_;
  std::vector<float> re_, im_;  // twiddles, pass after pass
};

// A complex transform of m = m1 x m2 points by the four-step way with lanes, in place: the
// tables its passes take.
struct LanePlan {
  uint64_t m1 = 0, m2 = 0;
  std::unique_ptr<LaneFft> f1, f2;  // lengths m1 and m2
  // W_m^(c k) for c < kGroup: real parts, then imaginary parts, per k (k < m2; k < m1).
  std::vector<double> lanes2, lanes1;
  // W_m^(j) for j < m2 and W_m^(j m2) for j < m1: W_m^(j) for any j < m is a product of two.
  std::vector<double> low, high;
  void make(uint64_t m1, uint64_t m2, bool rows_too);
};

// A second thread that stays for the transform's life and takes parts of each pass as it comes:
// the caller's thread takes parts too, so that a pass never waits for a thread that the machine
// has not scheduled, only for a part the worker has begun. Where the machine is busy elsewhere,
// the worker may be set aside in the middle of a part: a pass that then waited for it longer
// than a quarter of its own time leaves the next kRest passes to the caller alone.
class Crew {
 public:
  Crew();  // std::system_error when no thread can be had
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  // f(part, thread) for every part < parts, on this thread (0) and the worker (1).
  void run(uint64_t parts, const std::function<void(uint64_t, int)>& f);

 private:
  static constexpr int kRest = 32;
  void work();
  int rest_ = 0;  // passes left to the caller alone
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(uint64_t, int)>* job_ = nullptr;
  uint64_t parts_ = 0, generation_ = 0;
  std::atomic<uint64_t> next_{0};
  bool busy_ = false, stop_ = false;
  std::thread thread_;
};

// The power spectrum |X[k]|^2 (k = 0..n/2) of a real record of n samples, in single precision and
// in place: the record goes into input() (n floats), and after run() the same memory holds the
// power of bins k and n/2-k side by side in the slot where bin k's transform was (see fft.cpp).
// Long records are spread over two threads where the machine has two cores.
class RealFft {
 public:
  ~RealFft();
  // nullptr with *result set (OUT_OF_MEMORY, LENGTH_UNSUPPORTED: a prime factor above 97 in a
  // transform of 2^31 points or more).
  // threads: 0 automatic, 1 or 2.
  static std::unique_ptr<RealFft> make(uint64_t n, int threads, int32_t* result);
  uint64_t size() const { return n_; }
  float* input() { return data_.data(); }
  void run();

  // |X[k]|^2 of one bin.
  double power(uint64_t k) const {
    if (odd()) return slots_[2 * k];
    if (k == 0) return slots_[0];
    if (k == m_) return slots_[1];
    const uint64_t k2 = k % m2_, k1 = k / m2_;
    if (k2 == 0) return k1 <= m1_ / 2 ? at(0, k1, 0) : at(0, m1_ - k1, 1);
    if (2 * k2 < m2_) return at(k2, k1, 0);
    if (2 * k2 > m2_) return at(m2_ - k2, m1_ - 1 - k1, 1);
    return k1 <= (m1_ - 1) / 2 ? at(k2, k1, 0) : at(k2, m1_ - 1 - k1, 1);
  }
  // f(k, |X[k]|^2) for every bin, in the order the memory holds them.
  template <typename F>
  void for_each_bin(F&& f) const {
    if (odd()) {
      for (uint64_t k = 0; k <= n_ / 2; ++k) f(k, static_cast<double>(slots_[2 * k]));
      return;
    }
    for (uint64_t r = 0; r < rows(); ++r) for_each_bin_in_row(r, f);
  }
  // Even lengths, row by row: rows() rows of slots, each holding 2 m1 bins' powers (fewer in the
  // first and the last); plain_row(r) gives the slots of a row that holds 2 m1 bins, none of
  // them 0 or n/2 nor below r, nullptr for the others.
  uint64_t rows() const { return odd() ? 0 : m2_ / 2 + 1; }
  const float* plain_row(uint64_t r) const {
    return r == 0 || 2 * r == m2_ ? nullptr : slots_ + 2 * r * m1_;
  }
  uint64_t row_floats() const { return 2 * m1_; }
  template <typename F>
  void for_each_bin_in_row(uint64_t r, F&& f) const {
    if (r == 0) {
      f(uint64_t{0}, static_cast<double>(slots_[0]));
      f(m_, static_cast<double>(slots_[1]));
    }
    const float* row = slots_ + 2 * r * m1_;
    for (uint64_t k1 = r == 0 ? 1 : 0, end = primary_end(r); k1 < end; ++k1) {
      const uint64_t k = r + m2_ * k1;
      f(k, static_cast<double>(row[2 * k1]));
      if (2 * k != m_) f(m_ - k, static_cast<double>(row[2 * k1 + 1]));
    }
  }
  // Splits 0..count into parts whose bounds depend on count alone, and runs f(first, last, part,
  // thread) for each part, on the threads the transform uses (thread 0 is the caller's). Sums
  // kept per part and added in order come out the same whatever the threads.
  static uint64_t parts(uint64_t count) { return count < kParts ? count : kParts; }
  void parallel(uint64_t count,
                const std::function<void(uint64_t, uint64_t, uint64_t, int)>& f) const;

 private:
  static constexpr uint64_t kParts = 64;
  RealFft() = default;
  bool odd() const { return n_ % 2 == 1; }
  // The columns of primary row r (r <= m2 / 2) whose slots hold pairs: all of a row paired with
  // another row, the first half of a row paired with itself (rows 0 and m2 / 2).
  uint64_t primary_end(uint64_t r) const {
    if (r == 0) return m1_ / 2 + 1;
    return 2 * r == m2_ ? (m1_ - 1) / 2 + 1 : m1_;
  }
  double at(uint64_t row, uint64_t column, int half) const {
    return slots_[2 * (row * m1_ + column) + static_cast<uint64_t>(half)];
  }
  float* scratch(int thread) {
    return scratch_.data() + scratch_per_thread_ * static_cast<size_t>(thread);
  }
  template <typename Load, typename Store>
  void lane_columns(const LanePlan& p, Load&& load, Store&& store);
  template <typename Work>
  void lane_rows(const LanePlan& p, Work&& work);
  void lane_forward(const LanePlan& p);
  void run_four_step();
  void set_up_bluestein();
  void run_bluestein();
  void post_process(float* z);
  uint64_t n_ = 0;
  uint64_t m_ = 0;            // complex points (n/2 for even n, n for odd n)
  uint64_t m1_ = 1, m2_ = 1;  // four-step split m = m1 * m2 (m1 = 1: one transform)
  int threads_ = 1;
  std::unique_ptr<Crew> crew_;
  LanePlan lanes_;                   // m1 x m2 when both take lanes; Bluestein's l1 x l2
  kiss_fft_state* plan1_ = nullptr;  // length m1 (or m when not split)
  kiss_fft_state* plan2_ = nullptr;  // length m2
  std::vector<float> data_;          // the record, transformed in place
  std::vector<float> scratch_;       // per thread: gathered columns and a transform's output
  size_t scratch_per_thread_ = 0;    // floats
  const float* slots_ = nullptr;     // where the power ends up
  // Twiddles in double precision: W_m^(j) for j < m2 and W_m^(j m2) for j < m1 (the four-step
  // twiddle W_m^(n1 k2) is a product of the two); W_2m^(k2) and W_2m^(m2 k1) for the split.
  std::vector<double> twiddle_low_, twiddle_high_, split_row_, split_row_high_, split_column_;
  // Bluestein's way (lengths with a prime factor above 97): the chirp exp(-i pi j^2 / m) in single
  // precision and the first half of the transform of its conjugate over l points (the other half
  // mirrors it), scaled by 1 / l; the record is convolved in data_ (l complex points).
  uint64_t l_ = 0;
  std::vector<float> chirp_;
  std::vector<float> kernel_;
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

// The analyzer the header names: a transform for one record length, and one for the segment the
// single-tone analysis looks for the tone in (made when first needed).
struct VRX5200Analyzer {
  std::unique_ptr<vrxa::RealFft> fft;
  std::unique_ptr<vrxa::RealFft> segment;
};
