// The converter model behind the simulated board's loopback: the DAC's output wired to the ADC's
// input. A DAC word becomes an ADC code through a static transfer curve, Gaussian noise, rounding
// and clipping; the board (sim/board.h) decides which word each sample reads.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// DAC word w stands for the value x = (int16_t)w (two's complement, the default) or w - 32768
// (offset binary), u = x / 32768 its fraction of full scale. Sample i of capture c reads
//   y = offset + gain * 32768 * f(u) + noise(c, i),
// rounded (halves up) and clipped to a 16-bit two's complement code. From harmonic levels (dBc),
// f(u) = u + sum over k = 2..5 of h_k * (T_k(u) - T_k(0)), h_k = 10^(level_k / 20), T_k the
// Chebyshev polynomials: a full-scale sine u = cos t comes out as cos t + sum h_k cos kt plus
// h_2 - h_4 of DC, so its harmonic k sits at level_k dBc with the fundamental unchanged, and
// mid-scale reads `offset`. From polynomial coefficients, f(u) = u + sum over k >= 2 of c_k u^k.
// The noise is Gaussian with `noise_rms` codes RMS, a function of the seed, c and i only.
class ConverterModel {
 public:
  static constexpr int kMaxHarmonics = 4;     // levels of harmonics 2 to 5
  static constexpr int kMaxCoefficients = 8;  // coefficients of u^2 to u^9

  ConverterModel();

  // Sets noise, gain, offset, seed and the curve from harmonic levels (count of them, from
  // harmonic 2; -inf leaves a harmonic out). False for a value out of range: nothing changes.
  bool set(double noise_rms, double gain, double offset, const double* harmonics_dbc, int count,
           uint32_t seed);
  // Replaces the curve's nonlinear part with c_2 u^2 + ... (count coefficients from u^2).
  bool set_polynomial(const double* coefficients, int count);
  void set_offset_binary(bool on);
  bool offset_binary() const { return offset_binary_; }
  // The word of a DAC at rest: mid-scale.
  uint16_t idle_word() const { return offset_binary_ ? 0x8000 : 0x0000; }

  // The noise stream of capture c.
  uint64_t capture_key(uint64_t capture) const { return mix(seed_key_ + capture * kCaptureStep); }
  // The ADC code of DAC word w as sample i of the capture whose key is `key`.
  uint16_t code(uint16_t w, uint64_t key, uint64_t i) const {
    double y = curve_[w];
    if (noise_scale_ != 0) {
      const uint64_t z = mix(key + i * kSampleStep);
      y += noise_scale_ * (gauss_[z & 4095] + gauss_[(z >> 12) & 4095]);
    }
    y = y < -32768.0 ? -32768.0 : y > 32767.0 ? 32767.0 : y;
    return static_cast<uint16_t>(static_cast<int32_t>(y + 32768.5) - 32768);
  }

 private:
  static constexpr uint64_t kCaptureStep = 0xD1B54A32D192ED03ull;
  static constexpr uint64_t kSampleStep = 0x9E3779B97F4A7C15ull;
  // The splitmix64 finaliser: a counter in, 64 well-mixed bits out.
  static uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 4,096 quantiles of the standard normal distribution at the midpoints of equal-probability
  // cells, scaled to exactly unit RMS. Two of them, drawn independently and summed, are the
  // noise (tails to 5.2 RMS).
  static const double* gauss();
  void build();

  const double* gauss_;

  double noise_scale_ = 0;  // noise_rms / sqrt(2): the scale of each of the two draws
  double gain_ = 1, offset_ = 0;
  std::vector<double> poly_;  // f's coefficients, u^0 first
  bool offset_binary_ = false;
  uint64_t seed_key_ = 0;
  std::vector<double> curve_;  // by DAC word: offset + gain * 32768 * f(u)
};

}  // namespace sim
