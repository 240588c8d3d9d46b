// The windows and the checks of samples every analysis shares.
#include <algorithm>

#include "analysis/internal.h"

namespace vrxa {
namespace {

// Periodic cosine-sum windows. Blackman-Harris coefficients: 4 terms (-92 dB side lobes) and the
// 7-term window with side lobes near -180 dB.
const Window kWindows[] = {
    {1, {1.0}, 1, -13.26},
    {2, {0.5, 0.5}, 2, -31.47},
    {4, {0.35875, 0.48829, 0.14128, 0.01168}, 4, -92.0},
    {7,
     {0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803, 0.01081174209837,
      0.00077658482522, 0.00001388721735},
     7,
     -180.0},
};

}  // namespace

double Window::enbw_bins() const {
  double sum = a[0] * a[0];
  for (int k = 1; k < terms; ++k) sum += a[k] * a[k] / 2.0;
  return sum / (a[0] * a[0]);
}

const Window* window_by_id(int32_t id) {
  if (id < 0 || id > VRX5200_WINDOW_BLACKMAN_HARRIS_7) return nullptr;
  return &kWindows[id];
}

WindowTable::WindowTable(const Window& w, uint64_t length)
    : w_(w), step_(2.0 * kPi / static_cast<double>(length)) {
  if (w.terms == 1) return;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(kWindowBlock, length));
  cos_.resize(n);
  sin_.resize(n);
  // angle(64 a + b) = angle(64 a) + angle(b): 128 exact values make the table.
  double c_low[64], s_low[64], c_high[64], s_high[64];
  for (size_t j = 0; j < 64; ++j) {
    c_low[j] = std::cos(step_ * static_cast<double>(j));
    s_low[j] = std::sin(step_ * static_cast<double>(j));
    c_high[j] = std::cos(step_ * static_cast<double>(64 * j));
    s_high[j] = std::sin(step_ * static_cast<double>(64 * j));
  }
  for (size_t j = 0; j < n; ++j) {
    const size_t a = j / 64, b = j % 64;
    cos_[j] = c_high[a] * c_low[b] - s_high[a] * s_low[b];
    sin_[j] = s_high[a] * c_low[b] + c_high[a] * s_low[b];
  }
}

namespace {

// The cosine sum with its term count fixed, so that the loop over samples vectorizes (inlined
// into the caller's clones for wider vectors).
template <int Terms>
inline __attribute__((always_inline)) void cosine_sum(const double* a, double c0, double s0,
                                                      const double* cosines, const double* sines,
                                                      size_t n, double* out) {
#pragma omp simd
  for (size_t j = 0; j < n; ++j) {
    const double c = c0 * cosines[j] - s0 * sines[j];
    double previous = 1.0, current = c, value = a[0] + a[1] * c;
    for (int k = 2; k < Terms; ++k) {
      const double next = 2.0 * c * current - previous;
      previous = current;
      current = next;
      value += a[k] * current;
    }
    out[j] = value;
  }
}

}  // namespace

VRXA_VECTOR void WindowTable::values(uint64_t i0, size_t n, double* out) const {
  if (w_.terms == 1) {
    std::fill(out, out + n, 1.0);
    return;
  }
  const double c0 = std::cos(step_ * static_cast<double>(i0)),
               s0 = std::sin(step_ * static_cast<double>(i0));
  double a[7];
  for (int k = 0; k < w_.terms; ++k) a[k] = k % 2 == 0 ? w_.a[k] : -w_.a[k];
  switch (w_.terms) {
    case 2:
      cosine_sum<2>(a, c0, s0, cos_.data(), sin_.data(), n, out);
      break;
    case 4:
      cosine_sum<4>(a, c0, s0, cos_.data(), sin_.data(), n, out);
      break;
    default:
      cosine_sum<7>(a, c0, s0, cos_.data(), sin_.data(), n, out);
      break;
  }
}

int32_t check_format(int32_t sample_type, int32_t bits, int32_t code_format) {
  if (sample_type != VRX5200_SAMPLES_INT16 && sample_type != VRX5200_SAMPLES_UINT16 &&
      sample_type != VRX5200_SAMPLES_DOUBLE) {
    return VRX5200_ANALYSIS_BAD_SAMPLE_TYPE;
  }
  const int32_t most = sample_type == VRX5200_SAMPLES_DOUBLE ? 32 : 16;
  if (bits < 1 || bits > most) return VRX5200_ANALYSIS_BAD_BITS;
  if (code_format != VRX5200_TWOS_COMPLEMENT && code_format != VRX5200_OFFSET_BINARY) {
    return VRX5200_ANALYSIS_BAD_CODE_FORMAT;
  }
  return VRX5200_ANALYSIS_OK;
}

int32_t check_values(const void* samples, int32_t type, uint64_t count) {
  if (type == VRX5200_SAMPLES_DOUBLE) {
    const double* x = static_cast<const double*>(samples);
    bool constant = true;
    for (uint64_t i = 0; i < count; ++i) {
      if (!std::isfinite(x[i])) return VRX5200_ANALYSIS_NOT_FINITE;
      constant = constant && x[i] == x[0];
    }
    return constant ? VRX5200_ANALYSIS_CONSTANT_INPUT : VRX5200_ANALYSIS_OK;
  }
  // Words: equal words are equal codes (the bits above the code's are not looked at, so words
  // that differ only there count as constant further on, through the spectrum's power).
  const uint16_t* w = static_cast<const uint16_t*>(samples);
  for (uint64_t i = 1; i < count; ++i) {
    if (w[i] != w[0]) return VRX5200_ANALYSIS_OK;
  }
  return VRX5200_ANALYSIS_CONSTANT_INPUT;
}

}  // namespace vrxa

namespace vrxa {

double sin_pi(double x) {
  double r = x - 2.0 * std::nearbyint(x / 2.0);  // -1..1, exact
  const double sign = r < 0 ? -1.0 : 1.0;
  r = std::fabs(r);
  if (r > 0.5) r = 1.0 - r;  // sin(pi (1 - r)) = sin(pi r), exact for r in 0.5..1
  return r == 0 ? 0.0 : sign * std::sin(kPi * r);
}

namespace {

double cos_pi(double x) {
  return sin_pi(x + 0.5);
}

// sum_j exp(i theta j) and sum_j (j - c) exp(i theta j), c = (n-1)/2, theta = 2 pi cycles / n,
// as exp(i theta c) times the real D(theta) = sum_j cos(theta (j - c)) and -i D'(theta).
struct Geometric {
  std::complex<double> sum, moment;
};

Geometric geometric(double cycles, uint64_t n) {
  const double nd = static_cast<double>(n);
  const double c = cycles - nd * std::nearbyint(cycles / nd);  // the same sums, |c| <= n/2
  const double a = kPi * c, b = kPi * c / nd;                  // n theta / 2 and theta / 2
  // exp(i theta (n-1)/2) = exp(i pi c) exp(-i pi c / n)
  const std::complex<double> phase =
      std::complex<double>(cos_pi(c), sin_pi(c)) * std::complex<double>(std::cos(b), -std::sin(b));
  double d = nd, derivative = 0;
  if (b != 0) {
    const double sb = std::sin(b);
    d = sin_pi(c) / sb;
    if (std::fabs(a) < 0.01) {  // the series, where the closed form cancels
      const double theta = 2 * b, n2 = nd * nd;
      derivative =
          -theta * nd * (n2 - 1) / 12 + theta * theta * theta * nd * (n2 - 1) * (3 * n2 - 7) / 1440;
    } else {
      derivative = (0.5 * nd * cos_pi(c) * sb - 0.5 * sin_pi(c) * std::cos(b)) / (sb * sb);
    }
  }
  return {phase * d, phase * std::complex<double>(0, -derivative)};
}

template <bool Moment>
std::complex<double> window_sum_of(const Window& w, uint64_t n, double cycles) {
  auto part = [&](double c) {
    const Geometric g = geometric(c, n);
    return Moment ? g.moment : g.sum;
  };
  std::complex<double> total = w.a[0] * part(cycles);
  for (int m = 1; m < w.terms; ++m) {
    const double a = (m % 2 == 0 ? 0.5 : -0.5) * w.a[m];
    total += a * (part(cycles + m) + part(cycles - m));
  }
  return total;
}

}  // namespace

std::complex<double> window_sum(const Window& w, uint64_t n, double cycles) {
  return window_sum_of<false>(w, n, cycles);
}

std::complex<double> window_moment(const Window& w, uint64_t n, double cycles) {
  return window_sum_of<true>(w, n, cycles);
}

double leakage_beyond(const Window& w, uint64_t n, int32_t half, double offset) {
  // Parseval: a unit tone's bins sum to n sum(w^2) = n^2 (a0^2 + sum a_m^2 / 2).
  double squares = w.a[0] * w.a[0];
  for (int m = 1; m < w.terms; ++m) squares += w.a[m] * w.a[m] / 2;
  const double nd = static_cast<double>(n);
  double lobe = 0;
  for (int32_t d = -half; d <= half; ++d) lobe += std::norm(window_sum(w, n, offset - d));
  return std::max(0.0, 1.0 - lobe / (nd * nd * squares));
}

uint32_t Scan::warnings(int32_t bits, uint64_t count) const {
  uint32_t flags = 0;
  // A sine overdriving a rail by one code spends acos((A - 1/2) / (A + 1)) / pi of its time on
  // the rail code, about sqrt(3 / A) / pi.
  const double rail = std::sqrt(3.0 / std::ldexp(1.0, bits - 1)) / kPi;
  if (static_cast<double>(std::max(low_rail, high_rail)) > rail * static_cast<double>(count) &&
      std::max(low_rail, high_rail) > 1) {
    flags |= VRX5200_WARN_CLIPPED;
  }
  if (out_of_range > 0) flags |= VRX5200_WARN_OUT_OF_RANGE;
  return flags;
}

namespace {

// One block of words (at most 4096, so that the code sum fits 32 bits): the sum of the codes
// (offset binary), those on either rail, those whose bits above the code are neither the sign's
// extension (sign_bit: two's complement) nor the first word's, and the words unlike the first.
VRXA_VECTOR void scan_block(const uint16_t* w, uint64_t count, uint32_t mask, uint32_t flip,
                            uint32_t upper_mask, int shift, uint32_t sign_bit, uint32_t ones,
                            uint32_t tag, uint32_t first, uint32_t* sums) {
  uint32_t codes = 0, low = 0, high = 0, outside = 0, other = 0;
#pragma omp simd reduction(+ : codes, low, high, outside, other)
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t word = w[i];
    const uint32_t code = (word & mask) ^ flip;  // offset binary: 0 .. 2^bits - 1
    codes += code;
    low += code == 0;
    high += code == mask;
    const uint32_t upper = (word & upper_mask) >> shift;
    const uint32_t extension = (word & sign_bit) != 0 ? ones : 0u;
    outside += (upper != extension) & (upper != tag) & (upper_mask != 0);
    other += word != first;
  }
  sums[0] = codes;
  sums[1] = low;
  sums[2] = high;
  sums[3] = outside;
  sums[4] = other;
}

}  // namespace

int32_t scan_values(const void* samples, int32_t type, uint64_t count, int32_t bits, int32_t format,
                    Scan* out) {
  Scan s;
  const double half = std::ldexp(1.0, bits - 1);
  double total = 0, block = 0;
  uint32_t in_block = 0;
  bool constant = true;
  auto add = [&](double v) {
    block += v;
    if (++in_block == 4096) {
      total += block;
      block = 0;
      in_block = 0;
    }
  };
  if (type == VRX5200_SAMPLES_DOUBLE) {
    const double* x = static_cast<const double*>(samples);
    const double shift = format == VRX5200_OFFSET_BINARY ? half : 0.0;
    const double limit = 1024 * half, low = -half, high = half - 1;
    for (uint64_t i = 0; i < count; ++i) {
      if (!std::isfinite(x[i])) return VRX5200_ANALYSIS_NOT_FINITE;
      const double v = x[i] - shift;
      if (!(std::fabs(v) <= limit)) return VRX5200_ANALYSIS_OUT_OF_RANGE;
      constant = constant && x[i] == x[0];
      add(v);
      s.low_rail += v <= low;
      s.high_rail += v >= high;
      s.out_of_range += v < low - 0.5 || v > high + 0.5;
    }
  } else {
    const uint16_t* w = static_cast<const uint16_t*>(samples);
    const uint32_t mask = bits >= 16 ? 0xFFFFu : (1u << bits) - 1u;
    const uint32_t sign = 1u << (bits - 1);
    const uint32_t flip = format == VRX5200_OFFSET_BINARY ? 0u : sign;
    const uint32_t ones = 0xFFFFu >> bits;  // the bits above the code, all set
    const uint32_t tag = count > 0 && bits < 16 ? static_cast<uint32_t>(w[0]) >> bits : 0;
    const int shift = bits < 16 ? bits : 0;
    const uint32_t upper_mask = bits < 16 ? 0xFFFFu : 0u;
    const bool twos = format == VRX5200_TWOS_COMPLEMENT;
    uint64_t differ = 0;
    for (uint64_t i0 = 0; i0 < count; i0 += 4096) {
      const uint64_t end = std::min<uint64_t>(count, i0 + 4096);
      uint32_t sums[5];
      scan_block(w + i0, end - i0, mask, flip, upper_mask, shift, twos ? sign : 0u, ones, tag, w[0],
                 sums);
      add(static_cast<double>(sums[0]) - static_cast<double>(sign) * static_cast<double>(end - i0));
      s.low_rail += sums[1];
      s.high_rail += sums[2];
      s.out_of_range += sums[3];
      differ += sums[4];
    }
    constant = differ == 0;
  }
  if (constant) return VRX5200_ANALYSIS_CONSTANT_INPUT;
  s.mean = (total + block) / static_cast<double>(count);
  *out = s;
  return VRX5200_ANALYSIS_OK;
}

}  // namespace vrxa
