// Least-squares sine fits (IEEE Std 1241): three parameters at a known frequency, four with the
// frequency fitted by Gauss-Newton steps. The time axis is the centred sample index scaled to
// -1..1 for the frequency column, which keeps the normal equations well conditioned; sums run in
// blocks so that rounding grows with the block count, not the record length.
#include <algorithm>
#include <array>

#include "analysis/internal.h"

using namespace vrxa;

namespace {

constexpr uint64_t kSumBlock = 1024;

// Blocked sums of a fixed number of terms.
template <size_t K>
struct Sums {
  std::array<double, K> total{}, block{};
  uint64_t in_block = 0;
  void add(const std::array<double, K>& terms) {
    for (size_t i = 0; i < K; ++i) block[i] += terms[i];
    if (++in_block == kSumBlock) flush();
  }
  void flush() {
    for (size_t i = 0; i < K; ++i) {
      total[i] += block[i];
      block[i] = 0;
    }
    in_block = 0;
  }
};

// Solves the symmetric system a x = b (order n <= 4) by Gaussian elimination with partial
// pivoting; false when singular.
template <size_t N>
bool solve(std::array<std::array<double, N>, N> a, std::array<double, N> b,
           std::array<double, N>& x) {
  for (size_t c = 0; c < N; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < N; ++r) {
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    }
    if (!(std::fabs(a[pivot][c]) > 0)) return false;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (size_t r = c + 1; r < N; ++r) {
      const double f = a[r][c] / a[c][c];
      for (size_t k = c; k < N; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (size_t c = N; c-- > 0;) {
    double v = b[c];
    for (size_t k = c + 1; k < N; ++k) v -= a[c][k] * x[k];
    x[c] = v / a[c][c];
  }
  return true;
}

struct Model {
  double a = 0, b = 0, c = 0;  // a cos(w t) + b sin(w t) + c, t the centred index
  double w = 0;                // radians per sample
};

struct Record {
  const void* samples;
  int32_t type;
  uint64_t count;
  int32_t bits, format;
  double centre() const { return (static_cast<double>(count) - 1) / 2; }
};

// Three-parameter fit at m.w: fills a, b, c.
bool fit3(const Record& rec, Model& m) {
  Sums<9> s;
  const double centre = rec.centre();
  for_each_value(rec.samples, rec.type, rec.count, rec.bits, rec.format, [&](uint64_t i, double x) {
    const double t = static_cast<double>(i) - centre;
    const double c = std::cos(m.w * t), sn = std::sin(m.w * t);
    s.add({c * c, c * sn, c, sn * sn, sn, 1.0, x * c, x * sn, x});
  });
  s.flush();
  const auto& v = s.total;
  std::array<std::array<double, 3>, 3> a{
      {{v[0], v[1], v[2]}, {v[1], v[3], v[4]}, {v[2], v[4], v[5]}}};
  std::array<double, 3> x{};
  if (!solve<3>(a, {v[6], v[7], v[8]}, x)) return false;
  m.a = x[0];
  m.b = x[1];
  m.c = x[2];
  return true;
}

// One four-parameter step: the sine re-fitted with a frequency correction; returns the
// correction in radians per sample through dw.
bool fit4_step(const Record& rec, Model& m, double& dw) {
  Sums<14> s;
  const double centre = rec.centre();
  const double scale = std::max(1.0, centre);  // t / scale within -1..1
  for_each_value(rec.samples, rec.type, rec.count, rec.bits, rec.format, [&](uint64_t i, double x) {
    const double t = static_cast<double>(i) - centre;
    const double c = std::cos(m.w * t), sn = std::sin(m.w * t);
    const double d = (t / scale) * (m.b * c - m.a * sn);
    s.add({c * c, c * sn, c, c * d, sn * sn, sn, sn * d, 1.0, d, d * d, x * c, x * sn, x, x * d});
  });
  s.flush();
  const auto& v = s.total;
  std::array<std::array<double, 4>, 4> a{{{v[0], v[1], v[2], v[3]},
                                          {v[1], v[4], v[5], v[6]},
                                          {v[2], v[5], v[7], v[8]},
                                          {v[3], v[6], v[8], v[9]}}};
  std::array<double, 4> x{};
  if (!solve<4>(a, {v[10], v[11], v[12], v[13]}, x)) return false;
  m.a = x[0];
  m.b = x[1];
  m.c = x[2];
  dw = x[3] / scale;
  return true;
}

}  // namespace

namespace vrxa {
int32_t estimate_cycles(const void* samples, int32_t type, uint64_t count, int32_t bits,
                        int32_t format, double* cycles);
}

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Sine_Fit(const void* samples, int32_t sample_type, uint64_t count,
                         VRX5200FitConfig config, VRX5200FitResult* result_out) try {
  if (samples == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  int32_t result = check_format(sample_type, config.bits, config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  if (config.parameters != 3 && config.parameters != 4) return VRX5200_ANALYSIS_BAD_FIT_KIND;
  if (!(std::isfinite(config.rate_hz) && config.rate_hz >= 0)) return VRX5200_ANALYSIS_BAD_RATE;
  if (count < 16) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  const double n = static_cast<double>(count);
  double cycles = config.frequency_cycles;
  if (!std::isfinite(cycles) || cycles < 0 || cycles >= n / 2 ||
      (config.parameters == 3 && cycles == 0)) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;
  }
  if (config.max_iterations < 0) return VRX5200_ANALYSIS_NOT_CONVERGED;
  if ((result = check_values(samples, sample_type, count)) != VRX5200_ANALYSIS_OK) return result;
  if (cycles == 0) {
    result = estimate_cycles(samples, sample_type, count, config.bits, config.code_format, &cycles);
    if (result != VRX5200_ANALYSIS_OK) return result;
  }

  const Record rec{samples, sample_type, count, config.bits, config.code_format};
  Model m;
  m.w = 2 * kPi * cycles / n;
  if (!fit3(rec, m)) return VRX5200_ANALYSIS_CONSTANT_INPUT;
  int32_t iterations = 0;
  if (config.parameters == 4) {
    const int32_t limit = config.max_iterations == 0 ? 50 : config.max_iterations;
    bool converged = false;
    double previous = HUGE_VAL;
    while (!converged && iterations < limit) {
      double dw = 0;
      if (!fit4_step(rec, m, dw)) return VRX5200_ANALYSIS_NOT_CONVERGED;
      m.w += dw;
      ++iterations;
      // Converged when the correction turns the phase across the record by a negligible angle,
      // or when it has stopped shrinking at the rounding floor.
      const double turn = std::fabs(dw) * n;
      converged = turn < 1e-13 * std::max(1.0, m.w * n) ||
                  (turn >= previous && turn < 1e-9 * std::max(1.0, m.w * n));
      previous = turn;
      if (!(m.w > 0 && m.w < kPi)) return VRX5200_ANALYSIS_NOT_CONVERGED;
    }
    if (!converged) return VRX5200_ANALYSIS_NOT_CONVERGED;
    if (!fit3(rec, m)) return VRX5200_ANALYSIS_NOT_CONVERGED;
  }

  // The residual.
  Sums<1> rs;
  const double centre = rec.centre();
  for_each_value(samples, sample_type, count, config.bits, config.code_format,
                 [&](uint64_t i, double x) {
                   const double t = static_cast<double>(i) - centre;
                   const double e = x - (m.a * std::cos(m.w * t) + m.b * std::sin(m.w * t) + m.c);
                   rs.add({e * e});
                 });
  rs.flush();
  const double rms = std::sqrt(rs.total[0] / n);

  VRX5200FitResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.iterations = iterations;
  r.samples = count;
  r.amplitude_codes = std::hypot(m.a, m.b);
  r.frequency_cycles = m.w * n / (2 * kPi);
  r.frequency_hz = config.rate_hz > 0 ? r.frequency_cycles * config.rate_hz / n : 0.0;
  // a cos + b sin = A cos(w t + p), p = atan2(-b, a); at sample 0, t = -centre.
  double phase = std::remainder(std::atan2(-m.b, m.a) - m.w * centre, 2 * kPi);
  if (phase <= -kPi) phase += 2 * kPi;
  r.phase_rad = phase;
  r.offset_codes = m.c;
  r.residual_rms_codes = rms;
  r.sinad_db = rms > 0 ? 20 * std::log10(r.amplitude_codes / std::sqrt(2.0) / rms) : HUGE_VAL;
  r.enob_bits =
      rms > 0 ? std::log2(std::ldexp(1.0, config.bits) / (rms * std::sqrt(12.0))) : HUGE_VAL;
  *result_out = r;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

}  // extern "C"
