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
  for (size_t j = 0; j < n; ++j) {
    cos_[j] = std::cos(step_ * static_cast<double>(j));
    sin_[j] = std::sin(step_ * static_cast<double>(j));
  }
}

namespace {

// The cosine sum with its term count fixed, so that the loop over samples vectorizes.
template <int Terms>
void cosine_sum(const double* a, double c0, double s0, const double* cosines, const double* sines,
                size_t n, double* out) {
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

void WindowTable::values(uint64_t i0, size_t n, double* out) const {
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
