// Synthetic records with known answers: tones, harmonics and white noise of exactly known power.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "vrx5200_analysis.h"

namespace sig {

constexpr double kPi = 3.14159265358979323846;

inline double db(double ratio) {
  return 10.0 * std::log10(ratio);
}

// Gaussian noise of sample variance exactly sigma^2 and mean exactly 0 (Box-Muller on a fixed
// generator: the same record on every platform).
inline std::vector<double> noise(size_t n, double sigma, uint64_t seed) {
  std::mt19937_64 g(seed);
  auto uniform = [&g] { return (static_cast<double>(g() >> 11) + 1.0) * 0x1.0p-53; };
  std::vector<double> x(n);
  for (size_t i = 0; i < n; i += 2) {
    const double r = std::sqrt(-2.0 * std::log(uniform())), t = 2.0 * kPi * uniform();
    x[i] = r * std::cos(t);
    if (i + 1 < n) x[i + 1] = r * std::sin(t);
  }
  double mean = 0, power = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  for (double& v : x) {
    v -= mean;
    power += v * v;
  }
  const double scale = sigma > 0 ? sigma / std::sqrt(power / static_cast<double>(n)) : 0.0;
  for (double& v : x) v *= scale;
  return x;
}

struct Harmonic {
  int order;
  double dbc;
};

// amplitude cos(2 pi cycles i / n + phase) + harmonics (each at its dBc, its own phase) + noise.
inline std::vector<double> tone(size_t n, double cycles, double amplitude, double sigma,
                                std::vector<Harmonic> harmonics = {}, double phase = 0.3,
                                uint64_t seed = 1241) {
  std::vector<double> x = noise(n, sigma, seed);
  const double w = 2.0 * kPi * cycles / static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] += amplitude * std::cos(w * t + phase);
    for (const Harmonic& h : harmonics) {
      x[i] += amplitude * std::pow(10.0, h.dbc / 20) *
              std::cos(h.order * (w * t + phase) + 0.7 * h.order);
    }
  }
  return x;
}

inline const char* window_name(int32_t w) {
  switch (w) {
    case VRX5200_WINDOW_RECTANGULAR:
      return "rectangular";
    case VRX5200_WINDOW_HANN:
      return "hann";
    case VRX5200_WINDOW_BLACKMAN_HARRIS_4:
      return "blackman_harris_4";
    default:
      return "blackman_harris_7";
  }
}

inline VRX5200ToneConfig tone_config(int32_t window, int32_t bits = 16, double rate_hz = 0) {
  VRX5200ToneConfig c{};
  c.bits = bits;
  c.code_format = VRX5200_TWOS_COMPLEMENT;
  c.window = window;
  c.harmonics = 5;
  c.rate_hz = rate_hz;
  return c;
}

}  // namespace sig
