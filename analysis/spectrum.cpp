// Spectral analyses: the windowed power spectrum, single-tone metrics (IEEE Std 1241) and
// two-tone intermodulation.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "analysis/spectrum.h"

using namespace vrxa;

namespace vrxa {

VRXA_VECTOR double row_sum(const float* x, uint64_t count, float* largest) {
  // Powers are not negative: their bit patterns order as their values do, and an integer maximum
  // vectorizes without any float rule relaxed.
  double sum = 0;
  uint32_t most = 0;
#pragma omp simd reduction(+ : sum) reduction(max : most)
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &x[i], sizeof bits);
    sum += static_cast<double>(x[i]);
    most = bits > most ? bits : most;
  }
  std::memcpy(largest, &most, sizeof most);
  return sum;
}

void window_and_transform(const void* samples, int32_t type, uint64_t count, int32_t bits,
                          int32_t format, const Window& window, double shift, Spectrum& s) {
  constexpr size_t kBlock = kWindowBlock;
  s.n = count;
  s.bins = count / 2 + 1;
  float* in = s.fft->input();
  const WindowTable table(window, count);
  const uint64_t blocks = (count + kBlock - 1) / kBlock;
  std::vector<double> sum_x(RealFft::parts(blocks)), sum_w2(sum_x.size());
  s.fft->parallel(blocks, [&](uint64_t first, uint64_t last, uint64_t part, int) {
    double x[kBlock], w[kBlock];
    double sx = 0, sw = 0;
    for (uint64_t block = first; block < last; ++block) {
      const uint64_t i0 = block * kBlock;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, count - i0));
      values_block(samples, type, bits, format, i0, n, x);
      table.values(i0, n, w);
      for (size_t j = 0; j < n; ++j) {
        sx += x[j];
        sw += w[j] * w[j];
        in[i0 + j] = static_cast<float>((x[j] - shift) * w[j]);
      }
    }
    sum_x[part] = sx;
    sum_w2[part] = sw;
  });
  double total_x = 0, total_w2 = 0;
  for (size_t part = 0; part < sum_x.size(); ++part) {
    total_x += sum_x[part];
    total_w2 += sum_w2[part];
  }
  s.mean = total_x / static_cast<double>(count);
  s.fft->run();
  s.sum_w2 = total_w2;
  s.scale_edge = 1.0 / (static_cast<double>(count) * s.sum_w2);
  s.scale_inner = 2.0 * s.scale_edge;
}

int32_t make_spectrum(VRX5200Analyzer* analyzer, const void* samples, int32_t type, uint64_t count,
                      int32_t bits, int32_t format, const Window& window, Spectrum& s) {
  int32_t result = check_values(samples, type, count);
  if (result != VRX5200_ANALYSIS_OK) return result;
  if (analyzer != nullptr) {
    if (!analyzer->fft || analyzer->fft->size() != count) return VRX5200_ANALYSIS_LENGTH_MISMATCH;
    s.fft = analyzer->fft.get();
  } else {
    s.own = RealFft::make(count, 0, &result);
    if (!s.own) return result;
    s.fft = s.own.get();
  }
  window_and_transform(samples, type, count, bits, format, window, 0.0, s);
  return VRX5200_ANALYSIS_OK;
}

// A tone's frequency in cycles per record from the 4-term Blackman-Harris spectrum: the largest
// component above DC, refined by its lobe's centroid (for the start of a fit).
int32_t estimate_cycles(const void* samples, int32_t type, uint64_t count, int32_t bits,
                        int32_t format, double* cycles) {
  const Window& window = *window_by_id(VRX5200_WINDOW_BLACKMAN_HARRIS_4);
  Spectrum s;
  const int32_t result = make_spectrum(nullptr, samples, type, count, bits, format, window, s);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const Lobe dc{0, static_cast<uint64_t>(window.lobe)};
  s.survey(dc.last + 1, 2 * static_cast<size_t>(window.lobe) + 2);
  const uint64_t peak = largest_outside(s, {});
  if (peak >= s.bins) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  Lobe l = lobe_at(peak, window.lobe, s.bins);
  l.first = std::max(l.first, dc.last + 1);
  *cycles = centroid(s, l);
  return *cycles > 0 ? VRX5200_ANALYSIS_OK : VRX5200_ANALYSIS_CONSTANT_INPUT;
}

}  // namespace vrxa

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Window_Info(int32_t window, VRX5200WindowInfo* info) {
  if (info == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  const Window* w = window_by_id(window);
  if (w == nullptr) return VRX5200_ANALYSIS_BAD_WINDOW;
  *info = VRX5200WindowInfo{};
  info->version = VRX5200_ANALYSIS_VERSION;
  info->lobe_half_width_bins = w->lobe;
  info->coherent_gain = w->coherent_gain();
  info->enbw_bins = w->enbw_bins();
  info->peak_side_lobe_db = w->side_lobe_db;
  return VRX5200_ANALYSIS_OK;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Create(uint64_t n, int32_t threads, VRX5200Analyzer** analyzer) try {
  if (analyzer == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  *analyzer = nullptr;
  if (n < 16) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  if (threads < 0 || threads > 2) return VRX5200_ANALYSIS_BAD_THREADS;
  int32_t result = VRX5200_ANALYSIS_OK;
  std::unique_ptr<RealFft> fft = RealFft::make(n, threads, &result);
  if (!fft) return result;
  VRX5200Analyzer* a = new (std::nothrow) VRX5200Analyzer;
  if (a == nullptr) return VRX5200_ANALYSIS_OUT_OF_MEMORY;
  a->fft = std::move(fft);
  *analyzer = a;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL VRX5200Analysis_Destroy(VRX5200Analyzer* analyzer) {
  delete analyzer;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Power_Spectrum(VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type,
                               uint64_t count, VRX5200ToneConfig config, double* power) try {
  if (samples == nullptr || power == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  int32_t result = check_format(sample_type, config.bits, config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const Window* window = window_by_id(config.window);
  if (window == nullptr) return VRX5200_ANALYSIS_BAD_WINDOW;
  int32_t half = 0;
  if ((result = lobe_for(*window, config.lobe_half_width, count, &half)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  Spectrum s;
  result = make_spectrum(analyzer, samples, sample_type, count, config.bits, config.code_format,
                         *window, s);
  if (result != VRX5200_ANALYSIS_OK) return result;
  s.for_each_bin([power](uint64_t k, double p) { power[k] = p; });
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Two_Tone(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    VRX5200TwoToneConfig config, VRX5200TwoToneResult* result_out) try {
  if (samples == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  int32_t result = check_format(sample_type, config.bits, config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const Window* window = window_by_id(config.window);
  if (window == nullptr) return VRX5200_ANALYSIS_BAD_WINDOW;
  if ((result = check_rate(config.rate_hz)) != VRX5200_ANALYSIS_OK) return result;
  int32_t half = 0;
  if ((result = lobe_for(*window, config.lobe_half_width, count, &half)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  if ((result = check_cycles(config.tone1_cycles, count)) != VRX5200_ANALYSIS_OK ||
      (result = check_cycles(config.tone2_cycles, count)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  const bool given = config.tone1_cycles != 0 || config.tone2_cycles != 0;
  if (given && (config.tone1_cycles == 0 || config.tone2_cycles == 0)) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;  // both or neither
  }
  const uint64_t bins = count / 2 + 1;
  const Lobe dc{0, static_cast<uint64_t>(half)};
  if (given && (dc.contains(nearest_bin(config.tone1_cycles, bins)) ||
                dc.contains(nearest_bin(config.tone2_cycles, bins)))) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;
  }

  Spectrum s;
  result = make_spectrum(analyzer, samples, sample_type, count, config.bits, config.code_format,
                         *window, s);
  if (result != VRX5200_ANALYSIS_OK) return result;
  s.survey(dc.last + 1, 2 * static_cast<size_t>(half) + 2);
  const double rate = config.rate_hz;

  double f[2];
  Lobe lobes[2];
  if (given) {
    f[0] = std::min(config.tone1_cycles, config.tone2_cycles);
    f[1] = std::max(config.tone1_cycles, config.tone2_cycles);
    for (int t = 0; t < 2; ++t) lobes[t] = lobe_at(nearest_bin(f[t], bins), half, bins);
  } else {
    const uint64_t a = largest_outside(s, {});
    if (a >= bins) return VRX5200_ANALYSIS_CONSTANT_INPUT;
    const Lobe la = lobe_at(a, half, bins);
    const uint64_t b = largest_outside(s, {la});
    if (b >= bins) return VRX5200_ANALYSIS_TONES_UNRESOLVED;
    const Lobe lb = lobe_at(b, half, bins);
    lobes[0] = a < b ? la : lb;
    lobes[1] = a < b ? lb : la;
    for (int t = 0; t < 2; ++t) {
      lobes[t].first = std::max(lobes[t].first, dc.last + 1);
      f[t] = centroid(s, lobes[t]);
    }
  }
  if (lobes[0].overlaps(lobes[1]) || lobes[0].overlaps(dc) || lobes[1].overlaps(dc)) {
    return VRX5200_ANALYSIS_TONES_UNRESOLVED;
  }
  const double p1 = s.sum(lobes[0].first, lobes[0].last);
  const double p2 = s.sum(lobes[1].first, lobes[1].last);
  const double both = p1 + p2;
  if (!(p1 > 0 && p2 > 0)) return VRX5200_ANALYSIS_CONSTANT_INPUT;

  VRX5200TwoToneResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.lobe_half_width = half;
  r.samples = count;
  const double fs_power = full_scale_power(config.bits);
  const double powers[2] = {p1, p2};
  for (int t = 0; t < 2; ++t) {
    r.tones[t] = tone_record(1, f[t], bins, count, rate);
    r.tones[t].counted = 1;
    r.tones[t].power_dbfs = db_ratio(powers[t], fs_power);
    r.tones[t].level_dbc = db_ratio(powers[t], both);
  }
  const double product_cycles[6] = {f[1] - f[0],     f[0] + f[1],     2 * f[0] - f[1],
                                    2 * f[1] - f[0], 2 * f[0] + f[1], 2 * f[1] + f[0]};
  std::vector<Lobe> taken{dc, lobes[0], lobes[1]};
  double order_sum[4] = {0, 0, 0, 0};
  bool order_seen[4] = {false, false, false, false};
  for (int i = 0; i < 6; ++i) {
    const int32_t order = i < 2 ? 2 : 3;
    VRX5200ToneRecord& p = r.products[i];
    p = tone_record(order, fold(product_cycles[i], count), bins, count, rate);
    const Lobe l = lobe_at(p.bin, half, bins);
    bool clear = true;
    for (const Lobe& o : taken) clear = clear && !l.overlaps(o);
    if (!clear) continue;
    taken.push_back(l);
    const double power = s.sum(l.first, l.last);
    p.counted = 1;
    p.power_dbfs = db_ratio(power, fs_power);
    p.level_dbc = db_ratio(power, both);
    order_sum[order] += power;
    order_seen[order] = true;
  }
  r.imd2_measured = order_seen[2] ? 1 : 0;
  r.imd3_measured = order_seen[3] ? 1 : 0;
  r.imd2_dbc = order_seen[2] ? db_ratio(order_sum[2], both) : 0.0;
  r.imd3_dbc = order_seen[3] ? db_ratio(order_sum[3], both) : 0.0;
  const auto [noise_sum, noise_bins] = outside(s, taken);
  if (noise_bins == 0) return VRX5200_ANALYSIS_NO_NOISE_BINS;
  r.noise_floor_dbfs = db_ratio(noise_sum / static_cast<double>(noise_bins), fs_power);
  *result_out = r;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

}  // extern "C"
