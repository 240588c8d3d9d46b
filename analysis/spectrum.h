// The power spectrum of a record as the analyses read it, and the lobe arithmetic they share.
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

#include "analysis/internal.h"

namespace vrxa {

// The sum of count floats in double precision, and their largest.
double row_sum(const float* x, uint64_t count, float* largest);

// A record's power spectrum, scaled to codes squared per bin (bins sum to the record's power):
// the transform's memory, or an average kept in double precision (avg).
struct Spectrum {
  std::unique_ptr<RealFft> own;
  RealFft* fft = nullptr;
  const double* avg = nullptr;  // when set: the bins, already scaled
  uint64_t n = 0, bins = 0;
  double scale_edge = 0, scale_inner = 0;  // DC (and Nyquist for even n), and the others
  double mean = 0;
  double sum_w2 = 0;  // the window's sum of squares over the record
  double scale(uint64_t k) const {
    return (k == 0 || (n % 2 == 0 && k == n / 2)) ? scale_edge : scale_inner;
  }
  double operator[](uint64_t k) const { return avg ? avg[k] : fft->power(k) * scale(k); }
  double sum(uint64_t first, uint64_t last) const {  // bins first..last, inclusive
    double total = 0;
    for (uint64_t k = first; k <= last; ++k) total += (*this)[k];
    return total;
  }
  // f(k, power) for every bin, scaled, in memory order.
  template <typename F>
  void for_each_bin(F&& f) const {
    if (avg) {
      for (uint64_t k = 0; k < bins; ++k) f(k, avg[k]);
      return;
    }
    fft->for_each_bin([&](uint64_t k, double p) { f(k, p * scale(k)); });
  }

  // One pass over the spectrum: the sum of the bins in first..last (in blocks of a few thousand,
  // so that rounding grows with the block count), and the `keep` largest bins in from..last,
  // largest first (the lower bin first on a tie). The largest bin outside one lobe of keep - 1
  // bins is among them.
  double total = 0;
  std::vector<std::pair<double, uint64_t>> top;
  void survey(uint64_t from, size_t keep, uint64_t first = 0, uint64_t last = ~uint64_t{0}) {
    double sum = 0, block = 0, threshold = -1;
    unsigned in_block = 0;
    top.clear();
    top.reserve(keep + 1);
    auto before = [](const std::pair<double, uint64_t>& a, const std::pair<double, uint64_t>& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    };
    auto candidate = [&](uint64_t k, double p) {
      if (p < threshold || k < from) return;
      const std::pair<double, uint64_t> entry{p, k};
      if (top.size() == keep && !before(entry, top.back())) return;
      top.insert(std::upper_bound(top.begin(), top.end(), entry, before), entry);
      if (top.size() > keep) top.pop_back();
      if (top.size() == keep) threshold = top.back().first;
    };
    auto each = [&](uint64_t k, double p) {
      if (k < first || k > last) return;
      block += p;
      if (++in_block == 4096) {
        sum += block;
        block = 0;
        in_block = 0;
      }
      candidate(k, p);
    };
    const bool whole = first == 0 && last >= bins - 1;
    if (avg || fft->rows() == 0 || !whole) {
      for_each_bin(each);
    } else {
      // A row at a time: its sum and its largest bin, and its bins one by one only where one
      // of them may be among the largest.
      for (uint64_t r = 0; r < fft->rows(); ++r) {
        const float* row = fft->plain_row(r);
        if (row == nullptr || top.size() < keep || r < from) {
          fft->for_each_bin_in_row(r, [&](uint64_t k, double p) { each(k, p * scale(k)); });
          continue;
        }
        float largest = 0;
        sum += row_sum(row, fft->row_floats(), &largest) * scale_inner;
        if (static_cast<double>(largest) * scale_inner >= threshold) {
          fft->for_each_bin_in_row(r, [&](uint64_t k, double p) { candidate(k, p * scale_inner); });
        }
      }
    }
    total = sum + block;
  }
};

// Windows the record (values in codes less `shift`, each times the window) into the transform's
// input and transforms it: s.fft must be set. s.mean receives the mean of the values (before the
// shift), s.sum_w2 the window's sum of squares.
void window_and_transform(const void* samples, int32_t type, uint64_t count, int32_t bits,
                          int32_t format, const Window& window, double shift, Spectrum& s);

// The spectrum of a record into s, through the analyzer's transform or one of its own.
int32_t make_spectrum(VRX5200Analyzer* analyzer, const void* samples, int32_t type, uint64_t count,
                      int32_t bits, int32_t format, const Window& window, Spectrum& s);

struct Lobe {
  uint64_t first, last;
  bool overlaps(const Lobe& o) const { return first <= o.last && o.first <= last; }
  bool contains(uint64_t k) const { return first <= k && k <= last; }
};

inline Lobe lobe_at(uint64_t center, int32_t half, uint64_t bins) {
  const uint64_t h = static_cast<uint64_t>(half);
  return {center > h ? center - h : 0, std::min(bins - 1, center + h)};
}

// A frequency in cycles per record folded into 0..n/2 (aliasing about the sample rate).
inline double fold(double cycles, uint64_t n) {
  const double nd = static_cast<double>(n);
  double f = std::fmod(cycles, nd);
  if (f < 0) f += nd;
  return f > nd / 2 ? nd - f : f;
}

inline uint64_t nearest_bin(double cycles, uint64_t bins) {
  const double r = std::floor(cycles + 0.5);
  return std::min(bins - 1, static_cast<uint64_t>(r < 0 ? 0 : r));
}

// Sum of the bins outside the given lobes, and how many there are: the surveyed sum of every bin
// less the merged lobes'.
inline std::pair<double, uint64_t> outside(const Spectrum& s, std::vector<Lobe> lobes) {
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

// The lobe's power-weighted centre: a tone's frequency to a fraction of a bin.
inline double centroid(const Spectrum& s, const Lobe& l) {
  double weight = 0, moment = 0;
  for (uint64_t k = l.first; k <= l.last; ++k) {
    weight += s[k];
    moment += s[k] * static_cast<double>(k);
  }
  return weight > 0 ? moment / weight : static_cast<double>((l.first + l.last) / 2);
}

// The largest surveyed bin outside the lobes; bins when there is none.
inline uint64_t largest_outside(const Spectrum& s, const std::vector<Lobe>& lobes) {
  for (const auto& [p, k] : s.top) {
    bool excluded = false;
    for (const Lobe& l : lobes) excluded = excluded || l.contains(k);
    if (!excluded) return k;
  }
  return s.bins;
}

inline int32_t check_rate(double rate_hz) {
  return std::isfinite(rate_hz) && rate_hz >= 0 ? VRX5200_ANALYSIS_OK : VRX5200_ANALYSIS_BAD_RATE;
}

// Lobe half-width and the minimum record it needs.
inline int32_t lobe_for(const Window& w, int32_t given, uint64_t count, int32_t* half) {
  if (given < 0) return VRX5200_ANALYSIS_BAD_LOBE;
  *half = given == 0 ? w.lobe : given;
  if (count < 8 * (2 * static_cast<uint64_t>(*half) + 1)) {
    return given == 0 ? VRX5200_ANALYSIS_TOO_FEW_SAMPLES : VRX5200_ANALYSIS_BAD_LOBE;
  }
  return VRX5200_ANALYSIS_OK;
}

inline int32_t check_cycles(double cycles, uint64_t count) {
  return std::isfinite(cycles) && cycles >= 0 && cycles < static_cast<double>(count) / 2
             ? VRX5200_ANALYSIS_OK
             : VRX5200_ANALYSIS_BAD_FREQUENCY;
}

inline double full_scale_power(int32_t bits) {
  const double a = std::ldexp(1.0, bits - 1);
  return a * a / 2;
}

inline VRX5200ToneRecord tone_record(int32_t order, double cycles, uint64_t bins, uint64_t n,
                                     double rate_hz) {
  VRX5200ToneRecord r{};
  r.order = order;
  r.cycles = cycles;
  r.bin = nearest_bin(cycles, bins);
  r.frequency_hz = rate_hz > 0 ? cycles * rate_hz / static_cast<double>(n) : 0.0;
  return r;
}

}  // namespace vrxa
