// Code-density (histogram) test of a sine input, IEEE Std 1241: transition levels from the
// cumulative histogram through the sine's arcsine law, T[k] = -cos(pi CH[k-1] / M), which gives
// them up to the sine's amplitude and offset; the endpoint fit (first and last transitions)
// removes both.
#include <algorithm>
#include <new>
#include <vector>

#include "analysis/internal.h"

using namespace vrxa;

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Code_Density(
    const void* samples, int32_t sample_type, uint64_t count, int32_t bits, int32_t code_format,
    double* dnl, double* inl, VRX5200CodeDensityResult* result_out) try {
  if (samples == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  if (sample_type == VRX5200_SAMPLES_DOUBLE) return VRX5200_ANALYSIS_BAD_SAMPLE_TYPE;
  const int32_t result = check_format(sample_type, bits, code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const uint32_t codes = 1u << bits;
  if (count < 4) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  std::vector<uint64_t> histogram;
  std::vector<double> transition;
  try {
    histogram.assign(codes, 0);
    transition.assign(codes + 1, 0.0);
  } catch (const std::bad_alloc&) {
    return VRX5200_ANALYSIS_OUT_OF_MEMORY;
  }
  // Codes in offset-binary order: a two's complement code has its sign bit flipped.
  const uint16_t* w = static_cast<const uint16_t*>(samples);
  const uint32_t mask = codes - 1;
  const uint32_t flip = code_format == VRX5200_TWOS_COMPLEMENT ? codes / 2 : 0;
  for (uint64_t i = 0; i < count; ++i) ++histogram[(w[i] & mask) ^ flip];

  uint32_t first = 0, last = codes - 1;
  while (first < codes && histogram[first] == 0) ++first;
  while (last > first && histogram[last] == 0) --last;
  // Codes first+1 .. last-1 are measured; their transitions first+1 .. last.
  if (first >= codes || last < first + 3) return VRX5200_ANALYSIS_CODES_NOT_COVERED;

  const double m = static_cast<double>(count);
  uint64_t cumulative = 0;
  for (uint32_t k = first + 1; k <= last; ++k) {
    cumulative += histogram[k - 1];
    transition[k] = -std::cos(kPi * static_cast<double>(cumulative) / m);
  }
  const double lsb =
      (transition[last] - transition[first + 1]) / static_cast<double>(last - first - 1);
  if (!(lsb > 0)) return VRX5200_ANALYSIS_CODES_NOT_COVERED;

  VRX5200CodeDensityResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.bits = bits;
  r.samples = count;
  r.first_code = first;
  r.last_code = last;
  r.dnl_min_lsb = r.inl_min_lsb = HUGE_VAL;
  r.dnl_max_lsb = r.inl_max_lsb = -HUGE_VAL;
  if (dnl != nullptr) std::fill(dnl, dnl + codes, 0.0);
  if (inl != nullptr) std::fill(inl, inl + codes, 0.0);
  for (uint32_t k = first + 1; k < last; ++k) {
    const double d = (transition[k + 1] - transition[k]) / lsb - 1.0;
    if (histogram[k] == 0) ++r.missing_codes;
    r.dnl_min_lsb = std::min(r.dnl_min_lsb, d);
    r.dnl_max_lsb = std::max(r.dnl_max_lsb, d);
    if (dnl != nullptr) dnl[k] = d;
  }
  for (uint32_t k = first + 1; k <= last; ++k) {
    const double v =
        (transition[k] - transition[first + 1]) / lsb - static_cast<double>(k - first - 1);
    r.inl_min_lsb = std::min(r.inl_min_lsb, v);
    r.inl_max_lsb = std::max(r.inl_max_lsb, v);
    if (inl != nullptr) inl[k] = v;
  }
  *result_out = r;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

}  // extern "C"

// ---- linearity from ramps and sines, over histograms summed across records -------------------

struct VRX5200Histogram {
  int32_t bits = 0, format = 0;
  std::vector<uint64_t> counts;
  uint64_t samples = 0, out_of_range = 0;
  bool tagged = false;
  uint32_t tag = 0;  // the bits above the code in the first word added
};

namespace {

// Transition levels T[k] (k = first+1 .. last) of a shape from the cumulative histogram.
void transitions(const std::vector<uint64_t>& h, uint32_t first, uint32_t last, int32_t shape,
                 std::vector<double>& t) {
  double total = 0;
  for (uint64_t c : h) total += static_cast<double>(c);
  uint64_t cumulative = 0;
  for (uint32_t k = first; k < last; ++k) {
    cumulative += h[k];
    const double u = static_cast<double>(cumulative) / total;
    t[k + 1] = shape == VRX5200_SHAPE_RAMP ? u : -std::cos(kPi * u);
  }
}

// The least-squares line through T[first+1 .. last] against k: T = gain k + offset.
void best_line(const std::vector<double>& t, uint32_t first, uint32_t last, double& gain,
               double& offset) {
  double sk = 0, st = 0, skk = 0, skt = 0, m = 0;
  const double k0 = (static_cast<double>(first) + 1 + static_cast<double>(last)) / 2;
  for (uint32_t k = first + 1; k <= last; ++k) {
    const double x = static_cast<double>(k) - k0;
    sk += x;
    st += t[k];
    skk += x * x;
    skt += x * t[k];
    m += 1;
  }
  gain = (skt - sk * st / m) / (skk - sk * sk / m);
  offset = st / m - gain * (sk / m) - gain * k0;
}

// RMS distance of the transitions from their best line, in LSB of that line.
double line_rms(const std::vector<double>& t, uint32_t first, uint32_t last) {
  double gain = 0, offset = 0;
  best_line(t, first, last, gain, offset);
  if (!(gain > 0)) return HUGE_VAL;
  double sum = 0;
  for (uint32_t k = first + 1; k <= last; ++k) {
    const double e = (t[k] - (gain * static_cast<double>(k) + offset)) / gain;
    sum += e * e;
  }
  return std::sqrt(sum / static_cast<double>(last - first));
}

}  // namespace

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Histogram_Create(
    int32_t bits, int32_t code_format, VRX5200Histogram** histogram) try {
  if (histogram == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  *histogram = nullptr;
  const int32_t result = check_format(VRX5200_SAMPLES_UINT16, bits, code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  std::unique_ptr<VRX5200Histogram> h(new (std::nothrow) VRX5200Histogram);
  if (!h) return VRX5200_ANALYSIS_OUT_OF_MEMORY;
  h->bits = bits;
  h->format = code_format;
  h->counts.assign(size_t{1} << bits, 0);
  *histogram = h.release();
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Histogram_Add(
    VRX5200Histogram* histogram, const void* samples, int32_t sample_type, uint64_t count) {
  if (histogram == nullptr || samples == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  VRX5200Histogram& h = *histogram;
  if (sample_type == VRX5200_SAMPLES_DOUBLE) return VRX5200_ANALYSIS_BAD_SAMPLE_TYPE;
  const int32_t result = check_format(sample_type, h.bits, h.format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const uint16_t* w = static_cast<const uint16_t*>(samples);
  const uint32_t codes = 1u << h.bits, mask = codes - 1, sign = codes / 2;
  const uint32_t flip = h.format == VRX5200_TWOS_COMPLEMENT ? sign : 0;
  const uint32_t ones = 0xFFFFu >> h.bits;
  if (count > 0 && !h.tagged) {
    h.tagged = true;
    h.tag = h.bits < 16 ? static_cast<uint32_t>(w[0]) >> h.bits : 0;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t word = w[i];
    ++h.counts[(word & mask) ^ flip];
    if (h.bits < 16) {
      const uint32_t upper = word >> h.bits;
      const uint32_t extension =
          h.format == VRX5200_TWOS_COMPLEMENT && (word & sign) != 0 ? ones : 0u;
      h.out_of_range += upper != extension && upper != h.tag;
    }
  }
  h.samples += count;
  return VRX5200_ANALYSIS_OK;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Histogram_Counts(
    const VRX5200Histogram* histogram, uint64_t* counts, uint64_t* samples) {
  if (histogram == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  if (counts != nullptr) std::copy(histogram->counts.begin(), histogram->counts.end(), counts);
  if (samples != nullptr) *samples = histogram->samples;
  return VRX5200_ANALYSIS_OK;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Linearity(
    const VRX5200Histogram* histogram, int32_t shape, double* dnl, double* inl_end_point,
    double* inl_best_fit, VRX5200LinearityResult* result_out) try {
  if (histogram == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  const VRX5200Histogram& h = *histogram;
  if (shape != VRX5200_SHAPE_AUTO && shape != VRX5200_SHAPE_SINE && shape != VRX5200_SHAPE_RAMP) {
    return VRX5200_ANALYSIS_UNKNOWN_SHAPE;
  }
  const uint32_t codes = static_cast<uint32_t>(h.counts.size());
  uint32_t first = 0, last = codes - 1;
  while (first < codes && h.counts[first] == 0) ++first;
  while (last > first && h.counts[last] == 0) --last;
  if (first >= codes || last < first + 3) return VRX5200_ANALYSIS_CODES_NOT_COVERED;

  std::vector<double> sine(codes + 1, 0.0), ramp(codes + 1, 0.0);
  transitions(h.counts, first, last, VRX5200_SHAPE_SINE, sine);
  transitions(h.counts, first, last, VRX5200_SHAPE_RAMP, ramp);
  const double sine_rms = line_rms(sine, first, last), ramp_rms = line_rms(ramp, first, last);
  if (shape == VRX5200_SHAPE_AUTO) {
    const double best = std::min(sine_rms, ramp_rms), other = std::max(sine_rms, ramp_rms);
    const double near = std::max(2.0, 0.01 * static_cast<double>(last - first));
    if (!(best <= near) || !(other >= 2 * best)) return VRX5200_ANALYSIS_UNKNOWN_SHAPE;
    shape = sine_rms < ramp_rms ? VRX5200_SHAPE_SINE : VRX5200_SHAPE_RAMP;
  }
  const std::vector<double>& t = shape == VRX5200_SHAPE_SINE ? sine : ramp;
  const double lsb = (t[last] - t[first + 1]) / static_cast<double>(last - first - 1);
  double gain = 0, offset = 0;
  best_line(t, first, last, gain, offset);
  if (!(lsb > 0) || !(gain > 0)) return VRX5200_ANALYSIS_CODES_NOT_COVERED;

  VRX5200LinearityResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.bits = h.bits;
  r.samples = h.samples;
  r.shape = shape;
  r.first_code = first;
  r.last_code = last;
  r.out_of_range_samples = h.out_of_range;
  r.sine_fit_rms_lsb = sine_rms;
  r.ramp_fit_rms_lsb = ramp_rms;
  if (h.out_of_range > 0) r.warnings |= VRX5200_WARN_OUT_OF_RANGE;
  if (static_cast<double>(h.samples) < 16.0 * static_cast<double>(last - first + 1)) {
    r.warnings |= VRX5200_WARN_FEW_COUNTS;
  }
  r.dnl_min_lsb = r.inl_end_point_min_lsb = r.inl_best_fit_min_lsb = HUGE_VAL;
  r.dnl_max_lsb = r.inl_end_point_max_lsb = r.inl_best_fit_max_lsb = -HUGE_VAL;
  if (dnl != nullptr) std::fill(dnl, dnl + codes, 0.0);
  if (inl_end_point != nullptr) std::fill(inl_end_point, inl_end_point + codes, 0.0);
  if (inl_best_fit != nullptr) std::fill(inl_best_fit, inl_best_fit + codes, 0.0);
  for (uint32_t k = first + 1; k < last; ++k) {
    const double d = (t[k + 1] - t[k]) / lsb - 1.0;
    if (h.counts[k] == 0) ++r.missing_codes;
    r.dnl_min_lsb = std::min(r.dnl_min_lsb, d);
    r.dnl_max_lsb = std::max(r.dnl_max_lsb, d);
    if (dnl != nullptr) dnl[k] = d;
  }
  for (uint32_t k = first + 1; k <= last; ++k) {
    const double e = (t[k] - t[first + 1]) / lsb - static_cast<double>(k - first - 1);
    const double b = (t[k] - (gain * static_cast<double>(k) + offset)) / gain;
    r.inl_end_point_min_lsb = std::min(r.inl_end_point_min_lsb, e);
    r.inl_end_point_max_lsb = std::max(r.inl_end_point_max_lsb, e);
    r.inl_best_fit_min_lsb = std::min(r.inl_best_fit_min_lsb, b);
    r.inl_best_fit_max_lsb = std::max(r.inl_best_fit_max_lsb, b);
    if (inl_end_point != nullptr) inl_end_point[k] = e;
    if (inl_best_fit != nullptr) inl_best_fit[k] = b;
  }
  *result_out = r;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL
VRX5200Analysis_Histogram_Destroy(VRX5200Histogram* histogram) {
  delete histogram;
}

}  // extern "C"
