// Single-tone analysis (IEEE Std 1241) by fitting and subtracting the tone (IEEE Std 1057) before
// the window and the transform, with its warnings, options and the averaging of records.
//
// One record takes four passes over its samples and one transform of its length:
//  1. a scan: the mean, samples on the rails and outside the declared bits, finite and in range;
//  2. the tone's place: the spectrum of a segment (the whole record up to 128 Ki samples, else
//     its first 64 Ki) through the 7-term Blackman-Harris window, whose side lobes (-180 dB) let
//     neither harmonics nor noise move the lobe's centroid: the frequency to a small fraction of
//     a bin, the noise and each harmonic's level roughly;
//  3. a demodulation of the whole record through a Hann window at that frequency and at the
//     harmonics to be subtracted: z0 = sum w x exp(-i 2 pi f j / n) and the first moment
//     z1 = sum w x (j - c) exp(...). A tone's part in both is a closed form of its frequency and
//     its complex amplitude (the window's geometric sums), its image at -f included, so that the
//     frequency, amplitude and phase follow from them exactly for a pure tone, by a small
//     least-squares problem in double precision: no iteration over the samples;
//  4. the residual x - mean - tones through the caller's window into the single-precision
//     transform, with the sums that give each subtracted tone's power as the record's own lobe
//     would hold it (see power_of below).
// Harmonics are subtracted only where their leakage through the caller's window would reach the
// noise (rectangular and Hann windows, strong harmonics); the others are measured in the
// residual's spectrum as before.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "analysis/spectrum.h"

using namespace vrxa;

namespace {

__extension__ typedef unsigned __int128 Wide;  // GCC and Clang: products of two lengths

constexpr size_t kBlock = kWindowBlock;
constexpr uint64_t kWholeUpTo = uint64_t{1} << 17;  // records searched whole up to this length
constexpr uint64_t kSegment = uint64_t{1} << 16;    // else the segment searched
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The single-precision transform's rounding, as a share of the power it transforms (a
// noiseless full-scale sine reads 137 dB; 2 dB kept in hand).
constexpr double kTransformFloor = 3.2e-14;
// Double precision's under the fit: noiseless doubles of 2^16 samples read -278 dBc, and the
// fitted frequency's rounding grows with the length; 58 dB kept in hand.
constexpr double kFitFloor = 1e-22;

double nan_if(bool withheld, double value) {
  return withheld ? kNaN : value;
}

// exp(i 2 pi cycles j / n) for j in blocks: a table over one block and the exact value at each
// block's start (the angle reduced in integers: cycles = whole + fraction).
class Oscillator {
 public:
  Oscillator(double cycles, uint64_t n) : n_(n) {
    whole_ = std::floor(cycles);
    fraction_ = cycles - whole_;
    whole_mod_ = static_cast<uint64_t>(std::fmod(whole_, static_cast<double>(n)));
    const size_t b = static_cast<size_t>(std::min<uint64_t>(kBlock, n));
    re_.resize(b);
    im_.resize(b);
    jre_.resize(b);
    jim_.resize(b);
    // e(64 a + b) = e(64 a) e(b): 128 exact values make the table.
    std::complex<double> low[64], high[64];
    for (size_t j = 0; j < 64; ++j) {
      low[j] = at(j);
      high[j] = at(64 * j);
    }
    for (size_t j = 0; j < b; ++j) {
      const std::complex<double> e = high[j / 64] * low[j % 64];
      re_[j] = e.real();
      im_[j] = e.imag();
      jre_[j] = static_cast<double>(j) * e.real();
      jim_[j] = static_cast<double>(j) * e.imag();
    }
  }
  std::complex<double> at(uint64_t j) const {
    const uint64_t a = static_cast<uint64_t>((static_cast<Wide>(whole_mod_) * (j % n_)) % n_);
    const double nd = static_cast<double>(n_);
    double turns =
        std::fmod(static_cast<double>(a) + std::fmod(fraction_ * static_cast<double>(j), nd),
                  nd) /
        nd;  // 0..1
    return {sin_pi(2 * turns + 0.5), sin_pi(2 * turns)};
  }
  const double* re() const { return re_.data(); }
  const double* im() const { return im_.data(); }
  const double* j_re() const { return jre_.data(); }  // j times the table
  const double* j_im() const { return jim_.data(); }

 private:
  uint64_t n_;
  double whole_ = 0, fraction_ = 0;
  uint64_t whole_mod_ = 0;
  std::vector<double> re_, im_, jre_, jim_;
};

// ---- loops over a block --------------------------------------------------------------------

// p = (x - mean) w
VRXA_VECTOR void weigh(const double* x, const double* w, double mean, size_t m, double* p) {
#pragma omp simd
  for (size_t j = 0; j < m; ++j) p[j] = (x[j] - mean) * w[j];
}

// With p = (x - mean) w: sum p a, sum p b, sum p ja and sum p jb (the fundamental's sums and
// moments in one loop).
VRXA_VECTOR void demodulate_block(const double* __restrict x, const double* __restrict w,
                                  double mean, const double* __restrict a,
                                  const double* __restrict b, const double* __restrict ja,
                                  const double* __restrict jb, size_t m, double* sums) {
  double sa = 0, sb = 0, sja = 0, sjb = 0;
#pragma omp simd reduction(+ : sa, sb, sja, sjb)
  for (size_t j = 0; j < m; ++j) {
    const double p = (x[j] - mean) * w[j];
    sa += p * a[j];
    sb += p * b[j];
    sja += p * ja[j];
    sjb += p * jb[j];
  }
  sums[0] = sa;
  sums[1] = sb;
  sums[2] = sja;
  sums[3] = sjb;
}

// One tone taken away in one loop (squares, take_tone, tone_sums and store for a single tone):
// x less the offset and v = ar tr - ai ti, out = (float) x w; sums: of w^2, of w^2 v v and of
// w^2 v x.
VRXA_VECTOR void subtract_block(const double* __restrict x, const double* __restrict w,
                                double offset, const double* __restrict tr,
                                const double* __restrict ti, double ar, double ai, size_t m,
                                float* __restrict out, double* sums) {
  double total = 0, model = 0, cross = 0;
#pragma omp simd reduction(+ : total, model, cross)
  for (size_t j = 0; j < m; ++j) {
    const double w2 = w[j] * w[j];
    const double v = ar * tr[j] - ai * ti[j];
    const double r = (x[j] - offset) - v;
    total += w2;
    model += w2 * v * v;
    cross += w2 * v * r;
    out[j] = static_cast<float>(r * w[j]);
  }
  sums[0] = total;
  sums[1] = model;
  sums[2] = cross;
}

// sum p a and sum p b
VRXA_VECTOR void dot2(const double* p, const double* a, const double* b, size_t m, double* sums) {
  double sa = 0, sb = 0;
#pragma omp simd reduction(+ : sa, sb)
  for (size_t j = 0; j < m; ++j) {
    sa += p[j] * a[j];
    sb += p[j] * b[j];
  }
  sums[0] = sa;
  sums[1] = sb;
}

// v = ar tr - ai ti (a tone's values), x -= v
VRXA_VECTOR void take_tone(const double* __restrict tr, const double* __restrict ti, double ar,
                           double ai, size_t m, double* __restrict v, double* __restrict x) {
#pragma omp simd
  for (size_t j = 0; j < m; ++j) {
    v[j] = ar * tr[j] - ai * ti[j];
    x[j] -= v[j];
  }
}

// sum w2 v v and sum w2 v x
VRXA_VECTOR void tone_sums(const double* w2, const double* v, const double* x, size_t m,
                           double* sums) {
  double model = 0, cross = 0;
#pragma omp simd reduction(+ : model, cross)
  for (size_t j = 0; j < m; ++j) {
    model += w2[j] * v[j] * v[j];
    cross += w2[j] * v[j] * x[j];
  }
  sums[0] = model;
  sums[1] = cross;
}

// w2 = w^2, x -= offset; returns sum w2
VRXA_VECTOR double squares(const double* __restrict w, double offset, size_t m,
                           double* __restrict w2, double* __restrict x) {
  double total = 0;
#pragma omp simd reduction(+ : total)
  for (size_t j = 0; j < m; ++j) {
    w2[j] = w[j] * w[j];
    x[j] -= offset;
    total += w2[j];
  }
  return total;
}

// out = (float) x w
VRXA_VECTOR void store(const double* __restrict x, const double* __restrict w, size_t m,
                       float* __restrict out) {
#pragma omp simd
  for (size_t j = 0; j < m; ++j) out[j] = static_cast<float>(x[j] * w[j]);
}

// A fitted tone: 2 Re(c exp(i 2 pi cycles j / n)), cycles = order x the fundamental's.
struct Fitted {
  int32_t order = 1;
  double cycles = 0;
  std::complex<double> c;
  double model_w2 = 0;  // sum w^2 t^2 through the caller's window
  double cross_w2 = 0;  // sum w^2 t r, r the residual
};

// Small dense least squares: solves a x = b (order m) by Gaussian elimination with partial
// pivoting; false when singular.
bool solve(std::vector<double> a, std::vector<double> b, size_t m, std::vector<double>& x) {
  for (size_t c = 0; c < m; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < m; ++r)
      if (std::fabs(a[r * m + c]) > std::fabs(a[pivot * m + c])) pivot = r;
    if (!(std::fabs(a[pivot * m + c]) > 0)) return false;
    if (pivot != c) {
      for (size_t k = 0; k < m; ++k) std::swap(a[c * m + k], a[pivot * m + k]);
      std::swap(b[c], b[pivot]);
    }
    for (size_t r = c + 1; r < m; ++r) {
      const double f = a[r * m + c] / a[c * m + c];
      if (f == 0) continue;
      for (size_t k = c; k < m; ++k) a[r * m + k] -= f * a[c * m + k];
      b[r] -= f * b[c];
    }
  }
  x.assign(m, 0.0);
  for (size_t c = m; c-- > 0;) {
    double v = b[c];
    for (size_t k = c + 1; k < m; ++k) v -= a[c * m + k] * x[k];
    x[c] = v / a[c * m + c];
  }
  return true;
}

// What the demodulation pass sums: z0 at each tone's order times the demodulation frequency, and
// the fundamental's first moment z1.
struct Demodulated {
  double at = 0;  // the demodulation frequency, cycles per record
  std::vector<std::complex<double>> z0;
  std::complex<double> z1;
};

// The tones' complex amplitudes that reproduce z0 exactly at the fundamental frequency f (a
// real-linear problem: each tone enters as c and its image as conj c).
bool amplitudes(const Demodulated& d, const Window& hann, uint64_t n, double f,
                std::vector<Fitted>& tones) {
  const size_t k = tones.size(), m = 2 * k;
  std::vector<double> a(m * m), b(m), x;
  for (size_t row = 0; row < k; ++row) {
    const double h_at = tones[row].order * d.at;
    for (size_t col = 0; col < k; ++col) {
      const double kf = tones[col].order * f;
      const std::complex<double> p = window_sum(hann, n, kf - h_at);
      const std::complex<double> q = window_sum(hann, n, -kf - h_at);
      // z = c p + conj(c) q: with c = u + i v, Re z = u (Re p + Re q) + v (Im q - Im p),
      // Im z = u (Im p + Im q) + v (Re p - Re q).
      a[(2 * row) * m + 2 * col] = p.real() + q.real();
      a[(2 * row) * m + 2 * col + 1] = q.imag() - p.imag();
      a[(2 * row + 1) * m + 2 * col] = p.imag() + q.imag();
      a[(2 * row + 1) * m + 2 * col + 1] = p.real() - q.real();
    }
    b[2 * row] = d.z0[row].real();
    b[2 * row + 1] = d.z0[row].imag();
  }
  if (!solve(a, b, m, x)) {
    // A tone at DC or Nyquist has no sine part: the cosine parts alone.
    std::vector<double> a2(k * k), b2(k), x2;
    for (size_t row = 0; row < k; ++row) {
      for (size_t col = 0; col < k; ++col) a2[row * k + col] = a[(2 * row) * m + 2 * col];
      b2[row] = b[2 * row];
    }
    if (!solve(a2, b2, k, x2)) return false;
    for (size_t t = 0; t < k; ++t) tones[t].c = {x2[t], 0.0};
    return true;
  }
  for (size_t t = 0; t < k; ++t) tones[t].c = {x[2 * t], x[2 * t + 1]};
  return true;
}

// How far z1 is from what the tones at fundamental frequency f would give.
std::complex<double> moment_miss(const Demodulated& d, const Window& hann, uint64_t n, double f,
                                 std::vector<Fitted>& tones) {
  if (!amplitudes(d, hann, n, f, tones)) return {kNaN, kNaN};
  std::complex<double> model;
  for (const Fitted& t : tones) {
    const double kf = t.order * f;
    model += t.c * window_moment(hann, n, kf - d.at) +
             std::conj(t.c) * window_moment(hann, n, -kf - d.at);
  }
  return d.z1 - model;
}

// The frequency where z1 agrees with z0's tones (Gauss-Newton on |miss|^2), then the tones'
// amplitudes there. false when it leaves the band.
bool solve_tones(const Demodulated& d, uint64_t n, double& f, std::vector<Fitted>& tones) {
  const Window& hann = *window_by_id(VRX5200_WINDOW_HANN);
  const double top = static_cast<double>(n) / 2;
  for (int iteration = 0; iteration < 12; ++iteration) {
    const double step = 1e-4;
    const std::complex<double> r = moment_miss(d, hann, n, f, tones);
    const double g = f + step <= top ? f + step : f - step;
    const std::complex<double> j = (moment_miss(d, hann, n, g, tones) - r) / (g - f);
    if (!(std::norm(j) > 0) || !std::isfinite(std::norm(r))) break;
    const double delta = -(std::conj(j) * r).real() / std::norm(j);
    f = std::clamp(f + std::clamp(delta, -1.0, 1.0), 0.0, top);
    if (std::fabs(delta) < 1e-14) break;
  }
  if (!(f >= 0 && f <= top)) return false;
  return amplitudes(d, hann, n, f, tones);
}

// ---- the record ------------------------------------------------------------------------------

struct Job {
  const void* samples = nullptr;
  int32_t type = 0;
  uint64_t count = 0;
  VRX5200ToneConfig config{};
  VRX5200ToneOptions options{};
  const Window* window = nullptr;
  int32_t half = 0;
  int32_t method = VRX5200_METHOD_FIT_SUBTRACT;
  double band_low = 0, band_high = 0;  // cycles
};

// What one record's analysis leaves beside its residual spectrum.
struct RecordOut {
  Scan scan;
  uint32_t warnings = 0;
  bool tone = false;             // a fundamental was found (and not in the DC lobe)
  bool dc_lobe = false;          // the largest component lies inside the DC lobe
  double cycles = 0;             // the fundamental, folded into 0..n/2
  std::vector<double> model;     // [h]: a subtracted tone's power beside its residual lobe
  std::vector<char> subtracted;  // [h]
  std::complex<double> c;        // the fundamental's fit
  double floor = 0;              // the arithmetic's floor, codes squared
};

// Where the tone is: a segment's spectrum through the 7-term window.
struct Located {
  bool found = false, dc_lobe = false;
  double cycles = 0;
  double noise = 0;              // the whole band's noise, codes squared (rough)
  std::vector<double> harmonic;  // [h]: rough power, 0 when unknown
};

int32_t locate(VRX5200Analyzer& a, const Job& job, double given, Located& out) {
  const uint64_t n = job.count;
  uint64_t length = n <= kWholeUpTo ? n : kSegment;
  const Window& bh7 = *window_by_id(VRX5200_WINDOW_BLACKMAN_HARRIS_7);
  const int32_t harmonics = job.config.harmonics;
  for (;;) {
    RealFft* fft = nullptr;
    int32_t result = VRX5200_ANALYSIS_OK;
    if (length == n) {
      fft = a.fft.get();
    } else {
      if (!a.segment || a.segment->size() != length) {
        a.segment = RealFft::make(length, 1, &result);
        if (!a.segment) return result;
      }
      fft = a.segment.get();
    }
    // The segment's own mean, so that its DC lobe holds no offset.
    double mean = 0;
    {
      double x[kBlock];
      for (uint64_t i0 = 0; i0 < length; i0 += kBlock) {
        const size_t m = static_cast<size_t>(std::min<uint64_t>(kBlock, length - i0));
        values_block(job.samples, job.type, job.config.bits, job.config.code_format, i0, m, x);
        double block = 0;
        for (size_t j = 0; j < m; ++j) block += x[j];
        mean += block;
      }
      mean /= static_cast<double>(length);
    }
    Spectrum s;
    s.fft = fft;
    window_and_transform(job.samples, job.type, length, job.config.bits, job.config.code_format,
                         bh7, mean, s);
    const double ratio = static_cast<double>(length) / static_cast<double>(n);
    const uint64_t bins = s.bins;
    // The search: the band, or around the given frequency.
    double low = job.band_low * ratio, high = job.band_high * ratio;
    if (given > 0) {
      low = std::max(low, given * ratio - bh7.lobe - 1);
      high = std::min(high, given * ratio + bh7.lobe + 1);
    }
    const uint64_t first =
        std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(std::max(0.0, low))));
    const uint64_t last = std::min<uint64_t>(bins - 1, static_cast<uint64_t>(std::floor(high)));
    // Noise: the median bin of the band, an exponential variable's median being ln 2 times its
    // mean.
    std::vector<float> sorted;
    sorted.reserve(bins);
    const uint64_t band_first =
        std::max<uint64_t>(static_cast<uint64_t>(bh7.lobe) + 1,
                           static_cast<uint64_t>(std::ceil(job.band_low * ratio)));
    const uint64_t band_last =
        std::min<uint64_t>(bins - 1, static_cast<uint64_t>(std::floor(job.band_high * ratio)));
    s.for_each_bin([&](uint64_t k, double p) {
      if (k >= band_first && k <= band_last) sorted.push_back(static_cast<float>(p));
    });
    double median = 0;
    if (!sorted.empty()) {
      std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
      median = sorted[sorted.size() / 2];
    }
    out.noise = median / std::log(2.0) * static_cast<double>(bins - 1);
    if (first > last) {
      out.found = false;
      return VRX5200_ANALYSIS_OK;
    }
    s.survey(first, 1, first, last);
    if (s.top.empty()) {
      out.found = false;
      return VRX5200_ANALYSIS_OK;
    }
    const uint64_t peak = s.top[0].second;
    // A tone stands 20 dB above the largest bin noise alone reaches among a million.
    out.found = s.top[0].first > 100.0 * std::max(median, 1e-300) * std::log(2.0) * 14;
    if (!out.found) return VRX5200_ANALYSIS_OK;
    if (peak <= static_cast<uint64_t>(bh7.lobe) + 1 && length < n) {
      length = n;  // low: the whole record resolves it
      continue;
    }
    Lobe l = lobe_at(peak, bh7.lobe, bins);
    l.first = std::max<uint64_t>(l.first, 1);
    out.cycles = centroid(s, l) / ratio;
    out.dc_lobe = nearest_bin(out.cycles, n / 2 + 1) <= static_cast<uint64_t>(job.half);
    out.harmonic.assign(static_cast<size_t>(harmonics) + 1, 0.0);
    for (int32_t h = 2; h <= harmonics; ++h) {
      const double c = fold(h * out.cycles * ratio, length);
      const Lobe hl = lobe_at(nearest_bin(c, bins), bh7.lobe, bins);
      if (hl.overlaps(l) || hl.first <= static_cast<uint64_t>(bh7.lobe)) continue;
      out.harmonic[static_cast<size_t>(h)] = s.sum(hl.first, hl.last);
    }
    return VRX5200_ANALYSIS_OK;
  }
}

// The Hann demodulation of the whole record at `at` cycles for the given orders.
Demodulated demodulate(VRX5200Analyzer& a, const Job& job, double mean, double at,
                       const std::vector<Fitted>& tones) {
  const uint64_t n = job.count;
  const Window& hann = *window_by_id(VRX5200_WINDOW_HANN);
  const WindowTable table(hann, n);
  std::vector<Oscillator> oscillators;
  oscillators.reserve(tones.size());
  for (const Fitted& t : tones) oscillators.emplace_back(t.order * at, n);
  const size_t k = tones.size();
  const double centre = (static_cast<double>(n) - 1) / 2;
  const uint64_t blocks = (n + kBlock - 1) / kBlock;
  const size_t parts = static_cast<size_t>(RealFft::parts(blocks));
  std::vector<std::complex<double>> sums(parts * k), moments(parts);  // per part
  a.fft->parallel(blocks, [&](uint64_t first, uint64_t last, uint64_t part, int) {
    double x[kBlock], w[kBlock];
    std::complex<double>* z = sums.data() + part * k;
    std::complex<double> z1;
    for (uint64_t block = first; block < last; ++block) {
      const uint64_t i0 = block * kBlock;
      const size_t m = static_cast<size_t>(std::min<uint64_t>(kBlock, n - i0));
      values_block(job.samples, job.type, job.config.bits, job.config.code_format, i0, m, x);
      table.values(i0, m, w);
      // sum p conj(start e_j) = conj(start) sum p conj(e_j); the moment's (i0 + j - c) splits
      // the same way.
      {
        const Oscillator& o = oscillators[0];
        const std::complex<double> start = std::conj(o.at(i0));
        double d[4];
        demodulate_block(x, w, mean, o.re(), o.im(), o.j_re(), o.j_im(), m, d);
        const std::complex<double> block_sum(d[0], -d[1]), moment(d[2], -d[3]);
        z[0] += start * block_sum;
        z1 += start * ((static_cast<double>(i0) - centre) * block_sum + moment);
      }
      if (k > 1) weigh(x, w, mean, m, x);
      for (size_t t = 1; t < k; ++t) {
        const std::complex<double> start = std::conj(oscillators[t].at(i0));
        double d[2];
        dot2(x, oscillators[t].re(), oscillators[t].im(), m, d);
        z[t] += start * std::complex<double>(d[0], -d[1]);
      }
    }
    moments[part] = z1;
  });
  Demodulated d;
  d.at = at;
  d.z0.assign(k, {});
  for (size_t part = 0; part < parts; ++part) {
    for (size_t t = 0; t < k; ++t) d.z0[t] += sums[part * k + t];
    d.z1 += moments[part];
  }
  return d;
}

// The residual through the caller's window into the transform, and each tone's sums.
void subtract_and_transform(const Job& job, double mean, std::vector<Fitted>& tones, Spectrum& s) {
  const uint64_t n = job.count;
  s.n = n;
  s.bins = n / 2 + 1;
  float* in = s.fft->input();
  const WindowTable table(*job.window, n);
  std::vector<Oscillator> oscillators;
  oscillators.reserve(tones.size());
  for (const Fitted& t : tones) oscillators.emplace_back(t.cycles, n);
  const size_t k = tones.size();
  const uint64_t blocks = (n + kBlock - 1) / kBlock;
  const size_t parts = static_cast<size_t>(RealFft::parts(blocks));
  // Per part: each tone's sums and the window's; per thread: each tone's values, for k > 1.
  std::vector<double> model(parts * k), cross(parts * k), sum_w2(parts), values[2];
  if (k > 1) {
    values[0].resize(k * kBlock);
    values[1].resize(k * kBlock);
  }
  s.fft->parallel(blocks, [&](uint64_t first, uint64_t last, uint64_t part, int thread) {
    double x[kBlock], w[kBlock], w2[kBlock], v[kBlock];
    double sw = 0;
    for (uint64_t block = first; block < last; ++block) {
      const uint64_t i0 = block * kBlock;
      const size_t m = static_cast<size_t>(std::min<uint64_t>(kBlock, n - i0));
      values_block(job.samples, job.type, job.config.bits, job.config.code_format, i0, m, x);
      table.values(i0, m, w);
      if (k == 1) {
        const std::complex<double> cs = 2.0 * tones[0].c * oscillators[0].at(i0);
        double sums[3];
        subtract_block(x, w, mean, oscillators[0].re(), oscillators[0].im(), cs.real(), cs.imag(),
                       m, in + i0, sums);
        sw += sums[0];
        model[part] += sums[1];
        cross[part] += sums[2];
        continue;
      }
      sw += squares(w, mean, m, w2, x);
      for (size_t t = 0; t < k; ++t) {
        // 2 Re(c e) = 2 (cr er - ci ei), e = start x table.
        const std::complex<double> cs = 2.0 * tones[t].c * oscillators[t].at(i0);
        take_tone(oscillators[t].re(), oscillators[t].im(), cs.real(), cs.imag(), m, v, x);
        if (k > 1) std::memcpy(values[thread].data() + t * kBlock, v, m * sizeof(double));
      }
      for (size_t t = 0; t < k; ++t) {
        const double* vt = k > 1 ? values[thread].data() + t * kBlock : v;
        double sums[2];
        tone_sums(w2, vt, x, m, sums);
        model[part * k + t] += sums[0];
        cross[part * k + t] += sums[1];
      }
      store(x, w, m, in + i0);
    }
    sum_w2[part] = sw;
  });
  double total_w2 = 0;
  for (size_t t = 0; t < k; ++t) tones[t].model_w2 = tones[t].cross_w2 = 0;
  for (size_t part = 0; part < parts; ++part) {
    total_w2 += sum_w2[part];
    for (size_t t = 0; t < k; ++t) {
      tones[t].model_w2 += model[part * k + t];
      tones[t].cross_w2 += cross[part * k + t];
    }
  }
  s.mean = mean;
  s.fft->run();
  s.sum_w2 = total_w2;
  s.scale_edge = 1.0 / (static_cast<double>(n) * s.sum_w2);
  s.scale_inner = 2.0 * s.scale_edge;
}

// Lobes of the fundamental's harmonics in the caller's spectrum that are clear of DC, the
// fundamental and the harmonics before them.
std::vector<char> clear_harmonics(const Job& job, double cycles) {
  const uint64_t bins = job.count / 2 + 1;
  const Lobe dc{0, static_cast<uint64_t>(job.half)};
  Lobe fundamental = lobe_at(nearest_bin(cycles, bins), job.half, bins);
  fundamental.first = std::max(fundamental.first, dc.last + 1);
  std::vector<Lobe> taken{dc, fundamental};
  std::vector<char> clear(static_cast<size_t>(job.config.harmonics) + 1, 0);
  for (int32_t h = 2; h <= job.config.harmonics; ++h) {
    const Lobe l = lobe_at(nearest_bin(fold(h * cycles, job.count), bins), job.half, bins);
    bool ok = true;
    for (const Lobe& o : taken) ok = ok && !l.overlaps(o);
    if (!ok) continue;
    taken.push_back(l);
    clear[static_cast<size_t>(h)] = 1;
  }
  return clear;
}

// The residual spectrum of one record into s (the analyzer's transform) and what it rests on;
// out.scan holds the record's scan.
int32_t analyse_record(VRX5200Analyzer& a, const Job& job, Spectrum& s, RecordOut& out) {
  const uint64_t n = job.count;
  const int32_t harmonics = job.config.harmonics;
  int32_t result = VRX5200_ANALYSIS_OK;
  out.warnings |= out.scan.warnings(job.config.bits, n);
  out.model.assign(static_cast<size_t>(harmonics) + 1, 0.0);
  out.subtracted.assign(static_cast<size_t>(harmonics) + 1, 0);
  const double mean = out.scan.mean;
  s.fft = a.fft.get();

  Located where;
  result = locate(a, job, job.config.fundamental_cycles, where);
  if (result != VRX5200_ANALYSIS_OK) return result;
  out.tone = where.found && !where.dc_lobe;
  out.dc_lobe = where.found && where.dc_lobe;
  if (!where.found) out.warnings |= VRX5200_WARN_NO_TONE;
  if (out.dc_lobe) out.warnings |= VRX5200_WARN_TONE_IN_DC_LOBE;

  std::vector<Fitted> tones;
  double f = where.cycles;
  if (out.tone && job.method == VRX5200_METHOD_FIT_SUBTRACT) {
    // Harmonics whose leakage through the caller's window would reach a thousandth of the
    // noise are subtracted as well.
    tones.push_back(Fitted{});
    const std::vector<char> clear = clear_harmonics(job, f);
    for (int32_t h = 2; h <= harmonics; ++h) {
      if (!clear[static_cast<size_t>(h)]) continue;
      const double c = fold(h * f, n);
      const double offset = std::fabs(c - std::nearbyint(c));
      const double leak = leakage_beyond(*job.window, n, job.half, offset);
      if (where.harmonic[static_cast<size_t>(h)] * leak > 1e-3 * where.noise) {
        Fitted t;
        t.order = h;
        tones.push_back(t);
      }
    }
    // Demodulate, solve; once more where the tone was found far from where it was looked for.
    for (int pass = 0; pass < 3; ++pass) {
      const double at = f;
      const Demodulated d = demodulate(a, job, mean, at, tones);
      double fitted = at;
      if (!solve_tones(d, n, fitted, tones)) break;
      f = fitted;
      if (std::fabs(f - at) < 0.25) break;
    }
    for (Fitted& t : tones) {
      t.cycles = t.order * f;
      if (t.order > 1) out.subtracted[static_cast<size_t>(t.order)] = 1;
    }
    out.c = tones[0].c;
  }
  out.cycles = f;
  // The offset to take away: the record's mean less the tones' own means over the record (a
  // tone between bins has one), so that the residual holds no offset to round.
  double offset = mean;
  const Window& rectangular = *window_by_id(VRX5200_WINDOW_RECTANGULAR);
  for (const Fitted& t : tones) {
    offset -= 2 * (t.c * window_sum(rectangular, n, t.cycles)).real() / static_cast<double>(n);
  }
  subtract_and_transform(job, offset, tones, s);
  s.mean = mean;
  for (const Fitted& t : tones) {
    out.model[static_cast<size_t>(t.order)] = (t.model_w2 + 2 * t.cross_w2) / s.sum_w2;
  }
  return VRX5200_ANALYSIS_OK;
}

// ---- the figures -----------------------------------------------------------------------------

// Everything the figures take: the (averaged) residual spectrum and the records' parts.
struct Summary {
  uint64_t records = 1;
  uint32_t warnings = 0;
  bool tone = false, dc_lobe = false;
  double cycles = 0;
  std::vector<double> model;
  std::vector<char> subtracted;
  std::complex<double> c;
  double mean = 0;
  uint64_t clipped = 0, out_of_range = 0;
};

void finish(const Job& job, Spectrum& s, const Summary& in, VRX5200ToneResult* result_out,
            VRX5200ToneQuality* quality_out) {
  const uint64_t n = job.count, bins = s.bins;
  const int32_t half = job.half, harmonics = job.config.harmonics;
  const double rate = job.config.rate_hz;
  const double fs_power = full_scale_power(job.config.bits);
  uint32_t warnings = in.warnings;
  const Lobe dc{0, static_cast<uint64_t>(half)};
  const uint64_t band_first = static_cast<uint64_t>(std::ceil(job.band_low));
  const uint64_t band_last = std::min<uint64_t>(bins - 1, static_cast<uint64_t>(job.band_high));
  const Lobe band{band_first, band_last};
  auto in_band = [&](const Lobe& l) { return l.first >= band.first && l.last <= band.last; };
  // Band bins outside the DC lobe: the noise's bins.
  const uint64_t dc_in_band = band.overlaps(dc) ? std::min(dc.last, band.last) - band.first + 1 : 0;
  const uint64_t noise_band_bins = band.last - band.first + 1 - dc_in_band;

  VRX5200ToneResult r{};
  r.version = VRX5200_ANALYSIS_VERSION;
  r.samples = n;
  r.window = job.config.window;
  r.lobe_half_width = half;
  r.enbw_bins = job.window->enbw_bins();
  r.coherent_gain = job.window->coherent_gain();
  r.dc_codes = in.mean;
  VRX5200ToneQuality q{};
  q.version = VRX5200_ANALYSIS_VERSION;
  q.method = job.method;
  q.records = in.records;
  q.clipped_samples = in.clipped;
  q.out_of_range_samples = in.out_of_range;
  q.band_low_cycles = job.band_low;
  q.band_high_cycles = job.band_high;
  q.band_bins = noise_band_bins;
  q.fit_amplitude_codes = q.fit_cycles = q.fit_phase_rad = kNaN;
  q.fit_offset_codes = in.mean;

  std::vector<Lobe> taken{dc};
  size_t keep = 2 * static_cast<size_t>(half) + 2;
  const bool tone = in.tone;
  Lobe fundamental{1, 0};
  double signal = 0;
  const double f = in.cycles;
  if (tone) {
    const uint64_t peak = nearest_bin(f, bins);
    fundamental = lobe_at(peak, half, bins);
    fundamental.first = std::max(fundamental.first, dc.last + 1);
    signal = in.model[1] + s.sum(fundamental.first, fundamental.last);
    taken.push_back(fundamental);
    r.tones[0] = tone_record(1, f, bins, n, rate);
    r.tones[0].bin = peak;
    r.tones[0].counted = 1;
    r.tones[0].power_dbfs = db_ratio(signal, fs_power);
    if (job.method == VRX5200_METHOD_FIT_SUBTRACT) {
      q.fit_amplitude_codes = 2 * std::abs(in.c);
      q.fit_cycles = f;
      q.fit_phase_rad = std::arg(in.c);
    }
  }

  // Harmonics where they alias to; counted when clear of DC, the fundamental and the harmonics
  // counted before them, and inside the band.
  std::vector<Lobe> harmonic_lobes(static_cast<size_t>(harmonics) + 1, Lobe{1, 0});
  std::vector<double> harmonic_power(static_cast<size_t>(harmonics) + 1, 0.0);
  double distortion = 0, leakage = 0;
  if (tone) {
    for (int32_t h = 2; h <= harmonics; ++h) {
      VRX5200ToneRecord& t = r.tones[h - 1];
      const double c = fold(h * f, n);
      t = tone_record(h, c, bins, n, rate);
      const Lobe l = lobe_at(t.bin, half, bins);
      harmonic_lobes[static_cast<size_t>(h)] = l;
      if (l.overlaps(dc) || l.overlaps(fundamental)) warnings |= VRX5200_WARN_HARMONIC_ON_TONE;
      bool clear = in_band(l);
      for (const Lobe& o : taken) clear = clear && !l.overlaps(o);
      if (!clear) continue;
      taken.push_back(l);
      keep += 2 * static_cast<size_t>(half) + 1;
      const double p = in.model[static_cast<size_t>(h)] + s.sum(l.first, l.last);
      harmonic_power[static_cast<size_t>(h)] = p;
      distortion += p;
      t.counted = 1;
      t.power_dbfs = db_ratio(p, fs_power);
      t.level_dbc = db_ratio(p, signal);
      ++r.harmonics_counted;
      if (!in.subtracted[static_cast<size_t>(h)]) {
        leakage += p * leakage_beyond(*job.window, n, half, std::fabs(c - std::nearbyint(c)));
      }
    }
  }

  // Named tones: measured in the residual; excluded ones leave the noise and the spurs.
  const uint32_t named = std::min<uint32_t>(job.options.named_count, VRX5200_MAX_NAMED_TONES);
  std::vector<Lobe> named_lobes(named, Lobe{1, 0});
  q.named_count = named;
  for (uint32_t i = 0; i < named; ++i) {
    const VRX5200NamedTone& nt = job.options.named[i];
    VRX5200ToneRecord& t = q.named[i];
    const double c = fold(nt.cycles, n);
    t = tone_record(0, c, bins, n, rate);
    const Lobe l = lobe_at(t.bin, half, bins);
    named_lobes[i] = l;
    if (l.overlaps(dc) || (tone && l.overlaps(fundamental)) || !in_band(l)) {
      warnings |= VRX5200_WARN_NAMED_TONE_HIDDEN;
      continue;
    }
    const double p = s.sum(l.first, l.last);
    t.counted = 1;
    t.power_dbfs = db_ratio(p, fs_power);
    t.level_dbc = tone ? db_ratio(p, signal) : kNaN;
    if (rate <= 0) t.frequency_hz = kNaN;
    if (nt.action == VRX5200_TONE_EXCLUDE) {
      taken.push_back(l);
      keep += 2 * static_cast<size_t>(half) + 1;
    }
  }

  // Noise: the average band bin outside DC, the fundamental, the counted harmonics and the
  // excluded tones, times the band's bins outside DC.
  s.survey(dc.last + 1, keep, band.first, band.last);
  double noise_sum = s.total;
  uint64_t covered = 0;
  {
    std::vector<Lobe> lobes = taken;
    std::sort(lobes.begin(), lobes.end(),
              [](const Lobe& a, const Lobe& b) { return a.first < b.first; });
    uint64_t next = band.first;
    for (const Lobe& l : lobes) {
      const uint64_t first = std::max(l.first, next);
      const uint64_t last = std::min(l.last, band.last);
      if (first <= last) {
        noise_sum -= s.sum(first, last);
        covered += last - first + 1;
        next = last + 1;
      }
    }
  }
  noise_sum = std::max(noise_sum, 0.0);
  const uint64_t noise_bins = band.last - band.first + 1 - covered;
  const double per_bin = noise_bins > 0 ? noise_sum / static_cast<double>(noise_bins) : 0.0;
  const double noise = per_bin * static_cast<double>(noise_band_bins);

  // The worst spur: the largest of the counted harmonics and the largest bin outside every
  // lobe taken (its lobe's power).
  r.worst_spur_kind = VRX5200_SPUR_OTHER;
  double spur_power = 0;
  if (tone) {
    std::vector<Lobe> outside_these{fundamental};
    for (int32_t h = 2; h <= harmonics; ++h)
      if (r.tones[h - 1].counted) outside_these.push_back(harmonic_lobes[static_cast<size_t>(h)]);
    for (uint32_t i = 0; i < named; ++i)
      if (q.named[i].counted && job.options.named[i].action == VRX5200_TONE_EXCLUDE)
        outside_these.push_back(named_lobes[i]);
    const uint64_t spur = largest_outside(s, outside_these);
    if (spur < bins) {
      Lobe l = lobe_at(spur, half, bins);
      for (uint64_t k = l.first; k <= l.last; ++k) {
        bool mine = !dc.contains(k);
        for (const Lobe& o : outside_these) mine = mine && !o.contains(k);
        if (mine) spur_power += s[k];
      }
      r.worst_spur_bin = spur;
      r.worst_spur_cycles = centroid(s, l);
      const double offset = std::fabs(r.worst_spur_cycles - std::nearbyint(r.worst_spur_cycles));
      leakage += spur_power * leakage_beyond(*job.window, n, half, offset);
    }
    for (int32_t h = 2; h <= harmonics; ++h) {
      if (r.tones[h - 1].counted && harmonic_power[static_cast<size_t>(h)] > spur_power) {
        spur_power = harmonic_power[static_cast<size_t>(h)];
        r.worst_spur_kind = VRX5200_SPUR_HARMONIC;
        r.worst_spur_order = h;
        r.worst_spur_bin = r.tones[h - 1].bin;
        r.worst_spur_cycles = r.tones[h - 1].cycles;
      }
    }
    if (r.worst_spur_kind == VRX5200_SPUR_OTHER) {
      for (uint32_t i = 0; i < named; ++i)
        if (q.named[i].counted && named_lobes[i].contains(r.worst_spur_bin))
          q.worst_spur_named = static_cast<int32_t>(i) + 1;
    }
    r.worst_spur_hz = rate > 0 ? r.worst_spur_cycles * rate / static_cast<double>(n) : 0.0;
    r.worst_spur_dbfs = db_ratio(spur_power, fs_power);
  }

  // The floor: the transform's rounding of what it transformed, or double precision's.
  // (the rounding spreads evenly over the bins; the band's survey total stands for the whole
  // band's share)
  double floor = kTransformFloor * s.total * static_cast<double>(noise_band_bins) /
                 static_cast<double>(band.last - band.first + 1);
  if (tone && job.method == VRX5200_METHOD_FIT_SUBTRACT) floor += kFitFloor * signal;
  q.floor_dbfs = db_ratio(floor, fs_power);
  q.leakage_dbfs = db_ratio(leakage, fs_power);
  const bool noise_at_floor = noise < 50 * floor;
  if (noise_at_floor) warnings |= VRX5200_WARN_PRECISION_LIMITED;
  // The harmonics' lobes hold their share of the same floor: a distortion within 17 dB of it is
  // the arithmetic's, not the converter's (a noiseless tone would read THD near -300 dBc).
  uint64_t harmonic_bins = 0;
  for (int32_t h = 2; h <= harmonics; ++h) {
    const Lobe& l = harmonic_lobes[static_cast<size_t>(h)];
    if (r.tones[h - 1].counted) harmonic_bins += l.last - l.first + 1;
  }
  const double harmonic_floor = noise_band_bins > 0 ? floor * static_cast<double>(harmonic_bins) /
                                                          static_cast<double>(noise_band_bins)
                                                    : 0.0;
  const bool distortion_at_floor = r.harmonics_counted > 0 && distortion < 50 * harmonic_floor;
  if (distortion_at_floor) warnings |= VRX5200_WARN_PRECISION_LIMITED;
  if (tone && leakage > 0.02 * noise) warnings |= VRX5200_WARN_LEAKAGE_LIMITED;

  const bool no_tone = !tone;
  const bool precision = noise_at_floor;
  const bool leaky = (warnings & VRX5200_WARN_LEAKAGE_LIMITED) != 0;
  const bool folded = (warnings & VRX5200_WARN_HARMONIC_ON_TONE) != 0;
  r.fundamental_dbfs = nan_if(no_tone, db_ratio(signal, fs_power));
  r.fundamental_amplitude_codes = nan_if(no_tone, std::sqrt(2 * signal));
  r.snr_db = nan_if(no_tone || precision || leaky, db_ratio(signal, noise));
  r.sinad_db =
      nan_if(no_tone || precision || leaky || folded, db_ratio(signal, noise + distortion));
  r.thd_measured = r.harmonics_counted > 0 ? 1 : 0;
  r.thd_dbc = r.thd_measured
                  ? nan_if(no_tone || folded || distortion_at_floor, db_ratio(distortion, signal))
                  : nan_if(no_tone || folded, 0.0);
  r.sfdr_dbc = nan_if(no_tone || precision || folded, db_ratio(signal, spur_power));
  if (no_tone) {
    r.worst_spur_dbfs = kNaN;
    r.worst_spur_cycles = kNaN;
    r.worst_spur_hz = kNaN;
    r.tones[0].power_dbfs = kNaN;
  }
  const double nad = std::sqrt(noise + distortion);
  double enob =
      nad > 0 ? std::log2(std::ldexp(1.0, job.config.bits) / (nad * std::sqrt(12.0))) : HUGE_VAL;
  if (!no_tone && !precision && !leaky && !folded && enob > job.config.bits + 0.1) {
    warnings |= VRX5200_WARN_ENOB_ABOVE_BITS;
  }
  r.enob_bits = nan_if(
      no_tone || precision || leaky || folded || (warnings & VRX5200_WARN_ENOB_ABOVE_BITS) != 0,
      enob);
  // A tone in the DC lobe leaks into the noise's bins: no noise figure either.
  const bool noisy = precision || in.dc_lobe;
  r.noise_dbfs = nan_if(noisy, db_ratio(noise, fs_power));
  r.noise_floor_dbfs = nan_if(noisy, db_ratio(per_bin, fs_power));
  r.nsd_dbfs_hz =
      rate > 0 ? nan_if(noisy, db_ratio(per_bin, fs_power * rate / static_cast<double>(n))) : 0.0;
  r.noise_bins = noise_bins;
  q.snr_dbfs = nan_if(noisy || leaky, db_ratio(fs_power, noise));
  q.warnings = warnings;
  q.harmonics_subtracted = 0;
  for (int32_t h = 2; h <= harmonics; ++h)
    q.harmonics_subtracted += in.subtracted[static_cast<size_t>(h)] != 0;
  if (result_out != nullptr) *result_out = r;
  if (quality_out != nullptr) *quality_out = q;
}

// Checks and the job of a call; OK or the refusal.
int32_t make_job(const void* samples, int32_t sample_type, uint64_t count,
                 const VRX5200ToneConfig& config, const VRX5200ToneOptions* options, Job& job) {
  int32_t result = check_format(sample_type, config.bits, config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  const Window* window = window_by_id(config.window);
  if (window == nullptr) return VRX5200_ANALYSIS_BAD_WINDOW;
  if (config.harmonics < 2 || config.harmonics > VRX5200_MAX_HARMONICS) {
    return VRX5200_ANALYSIS_BAD_HARMONICS;
  }
  if ((result = check_rate(config.rate_hz)) != VRX5200_ANALYSIS_OK) return result;
  if ((result = lobe_for(*window, config.lobe_half_width, count, &job.half)) !=
      VRX5200_ANALYSIS_OK) {
    return result;
  }
  if ((result = check_cycles(config.fundamental_cycles, count)) != VRX5200_ANALYSIS_OK) {
    return result;
  }
  if (config.fundamental_cycles != 0 &&
      nearest_bin(config.fundamental_cycles, count / 2 + 1) <= static_cast<uint64_t>(job.half)) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;  // inside the DC lobe
  }
  job.samples = samples;
  job.type = sample_type;
  job.count = count;
  job.config = config;
  job.window = window;
  job.band_low = 0;
  job.band_high = static_cast<double>(count / 2);
  if (options != nullptr) {
    const VRX5200ToneOptions& o = *options;
    if (o.version != VRX5200_ANALYSIS_VERSION) return VRX5200_ANALYSIS_BAD_OPTIONS;
    if (o.method < VRX5200_METHOD_DEFAULT || o.method > VRX5200_METHOD_FIT_SUBTRACT) {
      return VRX5200_ANALYSIS_BAD_OPTIONS;
    }
    if (o.named_count > VRX5200_MAX_NAMED_TONES) return VRX5200_ANALYSIS_BAD_OPTIONS;
    for (uint32_t i = 0; i < o.named_count; ++i) {
      if (!std::isfinite(o.named[i].cycles) || o.named[i].cycles < 0 ||
          (o.named[i].action != VRX5200_TONE_IDENTIFY &&
           o.named[i].action != VRX5200_TONE_EXCLUDE)) {
        return VRX5200_ANALYSIS_BAD_OPTIONS;
      }
    }
    if (o.band_low_cycles != 0 || o.band_high_cycles != 0) {
      if (!(std::isfinite(o.band_low_cycles) && std::isfinite(o.band_high_cycles) &&
            o.band_low_cycles >= 0 && o.band_low_cycles < o.band_high_cycles &&
            o.band_high_cycles <= static_cast<double>(count / 2))) {
        return VRX5200_ANALYSIS_BAD_OPTIONS;
      }
      job.band_low = o.band_low_cycles;
      job.band_high = o.band_high_cycles;
      if (config.fundamental_cycles != 0 &&
          (config.fundamental_cycles < job.band_low || config.fundamental_cycles > job.band_high)) {
        return VRX5200_ANALYSIS_BAD_OPTIONS;
      }
    }
    job.options = o;
    if (o.method == VRX5200_METHOD_SPECTRUM) job.method = VRX5200_METHOD_SPECTRUM;
  }
  return VRX5200_ANALYSIS_OK;
}

Summary summary_of(const RecordOut& out, const Spectrum& s) {
  Summary m;
  m.warnings = out.warnings;
  m.tone = out.tone;
  m.dc_lobe = out.dc_lobe;
  m.cycles = out.cycles;
  m.model = out.model;
  m.subtracted = out.subtracted;
  m.c = out.c;
  m.mean = out.scan.mean;
  m.clipped = out.scan.low_rail + out.scan.high_rail;
  m.out_of_range = out.scan.out_of_range;
  (void)s;
  return m;
}

// The analyzer of a call: the caller's, or one made for it.
int32_t analyzer_for(VRX5200Analyzer* given, uint64_t count, VRX5200Analyzer& own,
                     VRX5200Analyzer*& use) {
  if (given != nullptr) {
    if (!given->fft || given->fft->size() != count) return VRX5200_ANALYSIS_LENGTH_MISMATCH;
    use = given;
    return VRX5200_ANALYSIS_OK;
  }
  int32_t result = VRX5200_ANALYSIS_OK;
  own.fft = RealFft::make(count, 0, &result);
  if (!own.fft) return result;
  use = &own;
  return VRX5200_ANALYSIS_OK;
}

}  // namespace

// The averager the header names: sums of the records' residual spectra and tone powers.
struct VRX5200ToneAverager {
  Job job;
  VRX5200Analyzer analyzer;
  bool keep = false;
  std::vector<double> residual, plain;  // sums of scaled bins
  Summary sum;                          // model powers summed, the rest of the first record
  uint64_t records = 0;
  double mean_sum = 0;
};

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Single_Tone_Ex(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    const VRX5200ToneConfig* config, const VRX5200ToneOptions* options,
    VRX5200ToneResult* result_out, VRX5200ToneQuality* quality, double* power) try {
  if (samples == nullptr || config == nullptr || result_out == nullptr) {
    return VRX5200_ANALYSIS_NULL_POINTER;
  }
  Job job;
  int32_t result = make_job(samples, sample_type, count, *config, options, job);
  if (result != VRX5200_ANALYSIS_OK) return result;
  VRX5200Analyzer own;
  VRX5200Analyzer* a = nullptr;
  if ((result = analyzer_for(analyzer, count, own, a)) != VRX5200_ANALYSIS_OK) return result;
  RecordOut out;
  result = scan_values(samples, sample_type, count, config->bits, config->code_format, &out.scan);
  if (result != VRX5200_ANALYSIS_OK) return result;
  if (power != nullptr) {
    // The record's own spectrum first: the residual's takes the same memory.
    Spectrum plain;
    plain.fft = a->fft.get();
    window_and_transform(samples, sample_type, count, config->bits, config->code_format,
                         *job.window, 0.0, plain);
    plain.for_each_bin([power](uint64_t k, double p) { power[k] = p; });
  }
  Spectrum s;
  result = analyse_record(*a, job, s, out);
  if (result != VRX5200_ANALYSIS_OK) return result;
  finish(job, s, summary_of(out, s), result_out, quality);
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Single_Tone(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    VRX5200ToneConfig config, VRX5200ToneResult* result_out, double* power) {
  return VRX5200Analysis_Single_Tone_Ex(analyzer, samples, sample_type, count, &config, nullptr,
                                        result_out, nullptr, power);
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Average_Create(
    uint64_t n, const VRX5200ToneConfig* config, const VRX5200ToneOptions* options,
    int32_t keep_spectrum, VRX5200ToneAverager** averager) try {
  if (config == nullptr || averager == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  *averager = nullptr;
  if (keep_spectrum != 0 && keep_spectrum != 1) return VRX5200_ANALYSIS_BAD_OPTIONS;
  Job job;
  const int32_t type = config->bits > 16 ? VRX5200_SAMPLES_DOUBLE : VRX5200_SAMPLES_INT16;
  int32_t result = make_job(config, type, n, *config, options, job);  // samples come with Add
  if (result != VRX5200_ANALYSIS_OK) return result;
  std::unique_ptr<VRX5200ToneAverager> a(new (std::nothrow) VRX5200ToneAverager);
  if (!a) return VRX5200_ANALYSIS_OUT_OF_MEMORY;
  a->analyzer.fft = RealFft::make(n, 0, &result);
  if (!a->analyzer.fft) return result;
  a->job = job;
  a->keep = keep_spectrum == 1;
  a->residual.assign(n / 2 + 1, 0.0);
  if (a->keep) a->plain.assign(n / 2 + 1, 0.0);
  *averager = a.release();
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Average_Add(
    VRX5200ToneAverager* averager, const void* samples, int32_t sample_type, uint64_t count) try {
  if (averager == nullptr || samples == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  VRX5200ToneAverager& a = *averager;
  if (count != a.job.count) return VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH;
  int32_t result = check_format(sample_type, a.job.config.bits, a.job.config.code_format);
  if (result != VRX5200_ANALYSIS_OK) return result;
  Job job = a.job;
  job.samples = samples;
  job.type = sample_type;
  // Later records look for the first one's tone.
  if (a.records > 0 && a.sum.tone && job.config.fundamental_cycles == 0) {
    job.config.fundamental_cycles = a.sum.cycles;
  }
  RecordOut out;
  result =
      scan_values(samples, sample_type, count, job.config.bits, job.config.code_format, &out.scan);
  if (result != VRX5200_ANALYSIS_OK) return result;
  if (a.keep) {
    Spectrum plain;
    plain.fft = a.analyzer.fft.get();
    window_and_transform(samples, sample_type, count, job.config.bits, job.config.code_format,
                         *job.window, 0.0, plain);
    plain.for_each_bin([&a](uint64_t k, double p) { a.plain[k] += p; });
  }
  Spectrum s;
  result = analyse_record(a.analyzer, job, s, out);
  if (result != VRX5200_ANALYSIS_OK) return result;
  s.for_each_bin([&a](uint64_t k, double p) { a.residual[k] += p; });
  const Summary m = summary_of(out, s);
  if (a.records == 0) {
    a.sum = m;
  } else {
    a.sum.warnings |= m.warnings;
    if (a.sum.tone && m.tone && std::fabs(m.cycles - a.sum.cycles) > 0.5) {
      a.sum.warnings |= VRX5200_WARN_RECORDS_DIFFER;
    }
    a.sum.tone = a.sum.tone && m.tone;
    a.sum.dc_lobe = a.sum.dc_lobe || m.dc_lobe;
    for (size_t h = 0; h < m.model.size(); ++h) {
      a.sum.model[h] += m.model[h];
      a.sum.subtracted[h] = static_cast<char>(a.sum.subtracted[h] | m.subtracted[h]);
    }
    a.sum.clipped += m.clipped;
    a.sum.out_of_range += m.out_of_range;
  }
  a.mean_sum += m.mean;
  ++a.records;
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Average_Result(VRX5200ToneAverager* averager, VRX5200ToneResult* result_out,
                               VRX5200ToneQuality* quality, double* power) try {
  if (averager == nullptr || result_out == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  const VRX5200ToneAverager& a = *averager;
  if (a.records == 0) return VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH;
  if (power != nullptr && !a.keep) return VRX5200_ANALYSIS_BAD_OPTIONS;
  const double records = static_cast<double>(a.records);
  std::vector<double> average(a.residual.size());
  for (size_t k = 0; k < average.size(); ++k) average[k] = a.residual[k] / records;
  Spectrum s;
  s.avg = average.data();
  s.n = a.job.count;
  s.bins = average.size();
  Summary m = a.sum;
  for (double& p : m.model) p /= records;
  m.mean = a.mean_sum / records;
  m.records = a.records;
  finish(a.job, s, m, result_out, quality);
  if (power != nullptr) {
    for (size_t k = 0; k < a.plain.size(); ++k) power[k] = a.plain[k] / records;
  }
  return VRX5200_ANALYSIS_OK;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL
VRX5200Analysis_Average_Destroy(VRX5200ToneAverager* averager) {
  delete averager;
}

}  // extern "C"
