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
