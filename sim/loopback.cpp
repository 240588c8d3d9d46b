#include "sim/loopback.h"

#include <cmath>

namespace sim {

const double* ConverterModel::gauss() {
  static const std::vector<double> table = [] {
    // The quantile of probability (j + 0.5) / 4096 by bisection on the normal distribution
    // function, for the lower half; the upper half mirrors it, so the mean is exactly 0.
    std::vector<double> t(4096);
    for (size_t j = 0; j < 2048; ++j) {
      const double p = (static_cast<double>(j) + 0.5) / 4096.0;
      double lo = -10.0, hi = 0.0;
      for (int step = 0; step < 64; ++step) {
        const double mid = 0.5 * (lo + hi);
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
      }
      t[j] = 0.5 * (lo + hi);
      t[4095 - j] = -t[j];
    }
    double power = 0;
    for (const double v : t) power += v * v;
    const double scale = 1.0 / std::sqrt(power / 4096.0);
    for (double& v : t) v *= scale;
    return t;
  }();
  return table.data();
}

ConverterModel::ConverterModel() : gauss_(gauss()), poly_{0.0, 1.0} {
  build();
}

bool ConverterModel::set(double noise_rms, double gain, double offset, const double* harmonics_dbc,
                         int count, uint32_t seed) {
  if (!(noise_rms >= 0) || !std::isfinite(noise_rms) || !std::isfinite(gain) ||
      !std::isfinite(offset) || count < 0 || count > kMaxHarmonics ||
      (count > 0 && harmonics_dbc == nullptr)) {
    return false;
  }
  for (int k = 0; k < count; ++k) {
    if (std::isnan(harmonics_dbc[k]) || harmonics_dbc[k] == HUGE_VAL) return false;
  }
  // f(u) = u + sum h_k (T_k(u) - T_k(0)) as a polynomial in u: T_0 = 1, T_1 = u,
  // T_{k+1} = 2u T_k - T_{k-1}.
  std::vector<double> poly(static_cast<size_t>(count) + 2, 0.0);
  poly[1] = 1.0;
  std::vector<double> previous{1.0}, current{0.0, 1.0};
  for (int k = 2; k <= count + 1; ++k) {
    std::vector<double> next(static_cast<size_t>(k) + 1, 0.0);
    for (size_t j = 0; j < current.size(); ++j) next[j + 1] += 2.0 * current[j];
    for (size_t j = 0; j < previous.size(); ++j) next[j] -= previous[j];
    const double h = std::pow(10.0, harmonics_dbc[k - 2] / 20.0);
    for (size_t j = 1; j < next.size(); ++j) poly[j] += h * next[j];  // T_k(0) dropped
    previous = std::move(current);
    current = std::move(next);
  }
  noise_scale_ = noise_rms / std::sqrt(2.0);
  gain_ = gain;
  offset_ = offset;
  seed_key_ = mix(seed + 0x5851F42D4C957F2Dull);
  poly_ = std::move(poly);
  build();
  return true;
}

bool ConverterModel::set_polynomial(const double* coefficients, int count) {
  if (count < 0 || count > kMaxCoefficients || (count > 0 && coefficients == nullptr)) {
    return false;
  }
  for (int k = 0; k < count; ++k) {
    if (!std::isfinite(coefficients[k])) return false;
  }
  poly_.assign(static_cast<size_t>(count) + 2, 0.0);
  poly_[1] = 1.0;
  for (int k = 0; k < count; ++k) poly_[static_cast<size_t>(k) + 2] = coefficients[k];
  build();
  return true;
}

void ConverterModel::set_offset_binary(bool on) {
  offset_binary_ = on;
  build();
}

void ConverterModel::build() {
  curve_.resize(65536);
  for (uint32_t w = 0; w < 65536; ++w) {
    const int32_t x = offset_binary_ ? static_cast<int32_t>(w) - 32768
                                     : static_cast<int16_t>(static_cast<uint16_t>(w));
    const double u = x / 32768.0;
    double f = 0;
    for (size_t j = poly_.size(); j-- > 0;) f = f * u + poly_[j];
    double y = offset_ + gain_ * 32768.0 * f;
    // Whatever the coefficients, a finite value (that clips) or, for NaN, the lowest code.
    if (!(y > -1e9)) y = -1e9;
    if (y > 1e9) y = 1e9;
    curve_[w] = y;
  }
}

}  // namespace sim
