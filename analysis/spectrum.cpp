// Spectral analyses: the windowed power spectrum, single-tone metrics (IEEE Std 1241) and
// two-tone intermodulation.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "analysis/internal.h"

using namespace vrxa;

namespace {

constexpr size_t kBlock = kWindowBlock;

// A record's power spectrum, scaled to codes squared per bin (bins sum to the record's power).
struct Spectrum {
  std::unique_ptr<RealFft> own;
  RealFft* fft = nullptr;
  uint64_t n = 0, bins = 0;
  double scale_edge = 0, scale_inner = 0;  // DC (and Nyquist for even n), and the others
  double mean = 0;
  double scale(uint64_t k) const {
    return (k == 0 || (n % 2 == 0 && k == n / 2)) ? scale_edge : scale_inner;
  }
  double operator[](uint64_t k) const { return fft->power(k) * scale(k); }
  double sum(uint64_t first, uint64_t last) const {  // bins first..last, inclusive
    double total = 0;
    for (uint64_t k = first; k <= last; ++k) total += (*this)[k];
    return total;
  }
  // f(k, power) for every bin, scaled, in memory order.
  template <typename F>
  void for_each_bin(F&& f) const {
    fft->for_each_bin([&](uint64_t k, double p) { f(k, p * scale(k)); });
  }

  // One pass over the spectrum: the sum of all bins (in blocks of 4096, so that rounding grows
  // with the block count), and the `keep` largest bins at or above bin `from`, largest first (the
  // lower bin first on a tie). The largest bin outside one lobe of keep - 1 bins is among them.
  double total = 0;
  std::vector<std::pair<double, uint64_t>> top;
  void survey(uint64_t from, size_t keep) {
    double sum = 0, block = 0, threshold = -1;
    unsigned in_block = 0;
    top.clear();
    top.reserve(keep + 1);
    auto before = [](const std::pair<double, uint64_t>& a, const std::pair<double, uint64_t>& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    };
    for_each_bin([&](uint64_t k, double p) {
      block += p;
      if (++in_block == 4096) {
        sum += block;
        block = 0;
        in_block = 0;
      }
      if (p < threshold || k < from) return;
      const std::pair<double, uint64_t> entry{p, k};
      if (top.size() == keep && !before(entry, top.back())) return;
      top.insert(std::upper_bound(top.begin(), top.end(), entry, before), entry);
      if (top.size() > keep) top.pop_back();
      if (top.size() == keep) threshold = top.back().first;
    });
    total = sum + block;
  }
};

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
  s.n = count;
  s.bins = count / 2 + 1;
  float* in = s.fft->input();
  const WindowTable table(window, count);
  double sum_x[2] = {0, 0}, sum_w2[2] = {0, 0};
  s.fft->parallel((count + kBlock - 1) / kBlock, [&](uint64_t first, uint64_t last, int thread) {
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
        in[i0 + j] = static_cast<float>(x[j] * w[j]);
      }
    }
    sum_x[thread] = sx;
    sum_w2[thread] = sw;
  });
  s.mean = (sum_x[0] + sum_x[1]) / static_cast<double>(count);
  s.fft->run();
  s.scale_edge = 1.0 / (static_cast<double>(count) * (sum_w2[0] + sum_w2[1]));
  s.scale_inner = 2.0 * s.scale_edge;
  return VRX5200_ANALYSIS_OK;
}

struct Lobe {
  uint64_t first, last;
  bool overlaps(const Lobe& o) const { return first <= o.last && o.first <= last; }
  bool contains(uint64_t k) const { return first <= k && k <= last; }
};

Lobe lobe_at(uint64_t center, int32_t half, uint64_t bins) {
  const uint64_t h = static_cast<uint64_t>(half);
  return {center > h ? center - h : 0, std::min(bins - 1, center + h)};
}

// A frequency in cycles per record folded into 0..n/2 (aliasing about the sample rate).
double fold(double cycles, uint64_t n) {
  const double nd = static_cast<double>(n);
  double f = std::fmod(cycles, nd);
  if (f < 0) f += nd;
  return f > nd / 2 ? nd - f : f;
}

uint64_t nearest_bin(double cycles, uint64_t bins) {
  const double r = std::floor(cycles + 0.5);
  return std::min(bins - 1, static_cast<uint64_t>(r < 0 ? 0 : r));
}

// Sum of the bins outside the given lobes, and how many there are: the surveyed sum of every bin
// less the merged lobes'.
std::pair<double, uint64_t> outside(const Spectrum& s, std::vector<Lobe> lobes) {
  double total = s.total;
  std::sort(lobes.begin(), lobes.end(),
            [](const Lobe& a, const Lobe& b) { return a.first < b.first; });
  uint64_t covered = 0, next = 0;  // first bin not yet taken away
  for (const Lobe& l : lobes) {
    const uint64_t first = std::max(l.first, next);
    if (first <= l.last) {
      total -= s.sum(first, l.last);
      covered += l.last - first + 1;
      next = l.last + 1;
    }
  }
  return {std::max(total, 0.0), s.bins - covered};
}

// The largest surveyed bin outside the lobes; bins when there is none.
uint64_t largest_outside(const Spectrum& s, const std::vector<Lobe>& lobes) {
  for (const auto& [p, k] : s.top) {
    bool excluded = false;
    for (const Lobe& l : lobes) excluded = excluded || l.contains(k);
    if (!excluded) return k;
  }
  return s.bins;
}

// The lobe's power-weighted centre: a tone's frequency to a fraction of a bin.
double centroid(const Spectrum& s, const Lobe& l) {
  double weight = 0, moment = 0;
  for (uint64_t k = l.first; k <= l.last; ++k) {
    weight += s[k];
    moment += s[k] * static_cast<double>(k);
  }
  return weight > 0 ? moment / weight : static_cast<double>((l.first + l.last) / 2);
}

int32_t check_rate(double rate_hz) {
  return std::isfinite(rate_hz) && rate_hz >= 0 ? VRX5200_ANALYSIS_OK : VRX5200_ANALYSIS_BAD_RATE;
}

// Lobe half-width and the minimum record it needs.
int32_t lobe_for(const Window& w, int32_t given, uint64_t count, int32_t* half) {
  if (given < 0) return VRX5200_ANALYSIS_BAD_LOBE;
  *half = given == 0 ? w.lobe : given;
  if (count < 8 * (2 * static_cast<uint64_t>(*half) + 1)) {
    return given == 0 ? VRX5200_ANALYSIS_TOO_FEW_SAMPLES : VRX5200_ANALYSIS_BAD_LOBE;
  }
  return VRX5200_ANALYSIS_OK;
}

int32_t check_cycles(double cycles, uint64_t count) {
  return std::isfinite(cycles) && cycles >= 0 && cycles < static_cast<double>(count) / 2
             ? VRX5200_ANALYSIS_OK
             : VRX5200_ANALYSIS_BAD_FREQUENCY;
}

double full_scale_power(int32_t bits) {
  const double a = std::ldexp(1.0, bits - 1);
  return a * a / 2;
}

VRX5200ToneRecord tone_record(int32_t order, double cycles, uint64_t bins, uint64_t n,
                              double rate_hz) {
  VRX5200ToneRecord r{};
  r.order = order;
  r.cycles = cycles;
  r.bin = nearest_bin(cycles, bins);
  r.frequency_hz = rate_hz > 0 ? cycles * rate_hz / static_cast<double>(n) : 0.0;
  return r;
}

}  // namespace

namespace vrxa {

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

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Single_Tone(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    VRX5200ToneConfig config, VRX5200ToneResult* result_out, double* power) try {
  if (samples == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  int32_t result = check_format(sample_type, config.bits, config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const Window* window = window_by_id(config.window);
  if (window == nullptr) return VRX5200_ANALYSIS_BAD_WINDOW;
  if (config.harmonics < 2 || config.harmonics > VRX5200_MAX_HARMONICS) {
    return VRX5200_ANALYSIS_BAD_HARMONICS;
  }
  if ((result = check_rate(config.rate_hz)) != VRX5200_ANALYSIS_OK) return result;
  int32_t half = 0;
  if ((result = lobe_for(*window, config.lobe_half_width, count, &half)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  if ((result = check_cycles(config.fundamental_cycles, count)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  const Lobe dc{0, static_cast<uint64_t>(half)};
  if (config.fundamental_cycles != 0 &&
      dc.contains(nearest_bin(config.fundamental_cycles, count / 2 + 1))) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;  // inside the DC lobe
  }

  Spectrum s;
  result = make_spectrum(analyzer, samples, sample_type, count, config.bits, config.code_format,
                         *window, s);
  if (result != VRX5200_ANALYSIS_OK) return result;
  s.survey(dc.last + 1, 2 * static_cast<size_t>(half) + 2);
  if (power != nullptr) s.for_each_bin([power](uint64_t k, double p) { power[k] = p; });
  const uint64_t bins = s.bins;
  const double rate = config.rate_hz;

  // The fundamental.
  uint64_t peak = 0;
  double cycles = config.fundamental_cycles;
  if (cycles != 0) {
    peak = nearest_bin(cycles, bins);
  } else {
    peak = largest_outside(s, {});
  }
  Lobe fundamental = lobe_at(peak, half, bins);
  fundamental.first = std::max(fundamental.first, dc.last + 1);
  if (cycles == 0) cycles = centroid(s, fundamental);
  const double signal = s.sum(fundamental.first, fundamental.last);
  if (!(signal > 0)) return VRX5200_ANALYSIS_CONSTANT_INPUT;

  VRX5200ToneResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.samples = count;
  r.window = config.window;
  r.lobe_half_width = half;
  r.enbw_bins = window->enbw_bins();
  r.coherent_gain = window->coherent_gain();
  const double fs_power = full_scale_power(config.bits);
  r.tones[0] = tone_record(1, cycles, bins, count, rate);
  r.tones[0].bin = peak;
  r.tones[0].counted = 1;
  r.tones[0].power_dbfs = db_ratio(signal, fs_power);

  // Harmonics where they alias to; each counted when clear of DC, the fundamental and the
  // harmonics counted before it.
  std::vector<Lobe> taken{dc, fundamental};
  std::vector<Lobe> harmonic_lobes(static_cast<size_t>(config.harmonics) + 1, Lobe{1, 0});
  std::vector<double> harmonic_power(static_cast<size_t>(config.harmonics) + 1, 0.0);
  double distortion = 0;
  for (int32_t h = 2; h <= config.harmonics; ++h) {
    VRX5200ToneRecord& t = r.tones[h - 1];
    t = tone_record(h, fold(h * cycles, count), bins, count, rate);
    const Lobe l = lobe_at(t.bin, half, bins);
    harmonic_lobes[static_cast<size_t>(h)] = l;
    bool clear = true;
    for (const Lobe& o : taken) clear = clear && !l.overlaps(o);
    if (!clear) continue;
    taken.push_back(l);
    const double p = s.sum(l.first, l.last);
    harmonic_power[static_cast<size_t>(h)] = p;
    distortion += p;
    t.counted = 1;
    t.power_dbfs = db_ratio(p, fs_power);
    t.level_dbc = db_ratio(p, signal);
    ++r.harmonics_counted;
  }

  // Noise: the average bin outside DC, the fundamental and the counted harmonics, over the band.
  const auto [noise_sum, noise_bins] = outside(s, taken);
  if (noise_bins == 0) return VRX5200_ANALYSIS_NO_NOISE_BINS;
  const double per_bin = noise_sum / static_cast<double>(noise_bins);
  const double noise = per_bin * static_cast<double>(bins - dc.last - 1);

  // The worst spur: the largest bin outside DC and the fundamental.
  const uint64_t spur = largest_outside(s, {fundamental});
  double spur_power = 0;
  r.worst_spur_kind = VRX5200_SPUR_OTHER;
  if (spur < bins) {
    for (int32_t h = 2; h <= config.harmonics && r.worst_spur_kind == VRX5200_SPUR_OTHER; ++h) {
      if (harmonic_lobes[static_cast<size_t>(h)].contains(spur)) {
        r.worst_spur_kind = VRX5200_SPUR_HARMONIC;
        r.worst_spur_order = h;
        if (r.tones[h - 1].counted) spur_power = harmonic_power[static_cast<size_t>(h)];
      }
    }
    if (spur_power == 0) {
      Lobe l = lobe_at(spur, half, bins);
      for (uint64_t k = l.first; k <= l.last; ++k) {
        if (!dc.contains(k) && !fundamental.contains(k)) spur_power += s[k];
      }
    }
    r.worst_spur_bin = spur;
    const Lobe l = lobe_at(spur, half, bins);
    r.worst_spur_cycles = r.worst_spur_kind == VRX5200_SPUR_HARMONIC
                              ? r.tones[r.worst_spur_order - 1].cycles
                              : centroid(s, l);
    r.worst_spur_hz = rate > 0 ? r.worst_spur_cycles * rate / static_cast<double>(count) : 0.0;
    r.worst_spur_dbfs = db_ratio(spur_power, fs_power);
  }

  r.fundamental_dbfs = db_ratio(signal, fs_power);
  r.fundamental_amplitude_codes = std::sqrt(2 * signal);
  r.snr_db = db_ratio(signal, noise);
  r.sinad_db = db_ratio(signal, noise + distortion);
  r.thd_measured = r.harmonics_counted > 0 ? 1 : 0;
  r.thd_dbc = r.thd_measured ? db_ratio(distortion, signal) : 0.0;
  r.sfdr_dbc = db_ratio(signal, spur_power);
  const double nad = std::sqrt(noise + distortion);
  r.enob_bits =
      nad > 0 ? std::log2(std::ldexp(1.0, config.bits) / (nad * std::sqrt(12.0))) : HUGE_VAL;
  r.noise_dbfs = db_ratio(noise, fs_power);
  r.noise_floor_dbfs = db_ratio(per_bin, fs_power);
  r.nsd_dbfs_hz = rate > 0 ? db_ratio(per_bin, fs_power * rate / static_cast<double>(count)) : 0.0;
  r.dc_codes = s.mean;
  r.noise_bins = noise_bins;
  *result_out = r;
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
