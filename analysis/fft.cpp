// The real FFT behind every spectrum, in single precision, driven so that a record needs little
// memory beyond itself.
//
// A real record x of even length n = 2m is read as m complex points z[j] = x[2j] + i x[2j+1];
// their transform Z gives the record's X[k] for k = 0..m through the usual split
//   X[k] = (Z[k] + conj Z[m-k]) / 2 - i W^k (Z[k] - conj Z[m-k]) / 2,  W = exp(-2 pi i / n).
// For long records the m-point transform runs in four steps over m = m1 x m2, in place: m1
// transforms of length m2 down the columns (gathered a cache line of columns at a time),
// twiddles, then m2 transforms of length m1 along the rows, which leaves Z[k2 + m2 k1] at row
// k2, column k1. Where m1 and m2 have no prime factor but 2, 3 and 5 the inner transforms run
// eight at a time in vector lanes (LaneFft); otherwise they are KissFFT's. The split then reads
// Z[k] and Z[m-k] and writes the powers |X[k]|^2 and |X[m-k]|^2 as a pair into Z[k]'s slot
// (bins 0 and m share slot 0): the power spectrum takes the record's own memory. Twiddles come
// from tables computed in double precision: products of two exact values, turned on by at most
// seven exact steps. Passes over long records are shared with a second thread (Crew).
#include <kiss_fft.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "analysis/internal.h"

namespace vrxa {
namespace {

using cpx = kiss_fft_cpx;
constexpr uint64_t kMaxPrime = 97;                     // larger prime factors: Bluestein's way
constexpr uint64_t kMaxBluestein = uint64_t{1} << 31;  // points whose squares fit 64 bits
constexpr uint64_t kSplitAbove = 1u << 12;  // complex points transformed in one go up to this
constexpr uint64_t kThreadsFrom = uint64_t{1}
                                  << 17;  // samples from which two threads share the work

void exact(std::vector<double>& table, uint64_t count, double step) {  // exp(-i step j)
  table.resize(2 * count);
  for (uint64_t j = 0; j < count; ++j) {
    table[2 * j] = std::cos(step * static_cast<double>(j));
    table[2 * j + 1] = -std::sin(step * static_cast<double>(j));
  }
}

// The smallest length of at least `least` points with no prime factor but 2, 3 and 5.
uint64_t smooth_at_least(uint64_t least) {
  uint64_t best = ~uint64_t{0};
  for (uint64_t a = 1; a < best; a *= 5) {
    for (uint64_t b = a; b < best; b *= 3) {
      uint64_t c = b;
      while (c < least) c *= 2;
      best = std::min(best, c);
    }
  }
  return best;
}

// The divisor of m nearest below its square root.
uint64_t split_of(uint64_t m) {
  uint64_t m1 = 1;
  for (uint64_t d = 1; d * d <= m; ++d) {
    if (m % d == 0) m1 = d;
  }
  return m1;
}

// W_m^(step t) for t = 0, 1, 2, ... as the product of two exact values, W_m^(j mod m2) from
// `low` and W_m^(m2 (j / m2)) from `high`, j = step t < m walked without a division.
class TwiddleWalk {
 public:
  TwiddleWalk(const std::vector<double>& high, const std::vector<double>& low, uint64_t m2,
              uint64_t step)
      : high_(high.data()), low_(low.data()), m2_(m2), step_(step) {}
  void value(double* re, double* im) const {
    const double* a = high_ + 2 * q_;
    const double* b = low_ + 2 * r_;
    *re = a[0] * b[0] - a[1] * b[1];
    *im = a[0] * b[1] + a[1] * b[0];
  }
  void next() {
    r_ += step_;
    while (r_ >= m2_) {
      r_ -= m2_;
      ++q_;
    }
  }

 private:
  const double* high_;
  const double* low_;
  uint64_t m2_, step_, q_ = 0, r_ = 0;
};

}  // namespace

// ---- lanes -----------------------------------------------------------------------------------

// kGroup transforms at once, each point a vector of kGroup lanes: Stockham's passes (radix 4,
// one of radix 2 for an odd power of two, then radix 3 and 5), ping-ponging between two
// buffers, whose loops run over m x kGroup contiguous floats with one twiddle each (the lanes
// fill the machine's vectors whatever the pass). A pass over sub-transforms of `size` points
// takes x[(j + t l) m + k], t < r, to y[(r j + s) m + k] = W_size^(s j) sum_t x_t w_r^(t s),
// l = size / r. Twiddles from double precision, exact per pass.
bool LaneFft::takes(uint64_t length) {
  if (length == 0) return false;
  for (uint64_t p : {2, 3, 5}) {
    while (length % p == 0) length /= p;
  }
  return length == 1;
}

LaneFft::LaneFft(uint64_t length) : length_(length) {
  std::vector<int> radices;
  uint64_t rest = length;
  int twos = 0;
  while (rest % 2 == 0) {
    rest /= 2;
    ++twos;
  }
  if (twos % 2 == 1) radices.push_back(2);
  for (int i = 0; i < twos / 2; ++i) radices.push_back(4);
  for (int p : {3, 5}) {
    while (rest % static_cast<uint64_t>(p) == 0) {
      rest /= static_cast<uint64_t>(p);
      radices.push_back(p);
    }
  }
  uint64_t size = length;
  for (int radix : radices) {
    const uint64_t l = size / static_cast<uint64_t>(radix);
    passes_.push_back({radix, l, re_.size()});
    for (uint64_t j = 0; j < l; ++j) {
      for (int s = 1; s < radix; ++s) {
        const double angle = -2 * kPi * static_cast<double>(static_cast<uint64_t>(s) * j) /
                             static_cast<double>(size);
        re_.push_back(static_cast<float>(std::cos(angle)));
        im_.push_back(static_cast<float>(std::sin(angle)));
      }
    }
    size = l;
  }
}

namespace {

VRXA_VECTOR void lane_pass2(const float* __restrict xr, const float* __restrict xi,
                            float* __restrict yr, float* __restrict yi, uint64_t l, uint64_t m,
                            const float* __restrict wr, const float* __restrict wi) {
  const uint64_t span = m * kGroup;  // floats of one run
  for (uint64_t j = 0; j < l; ++j) {
    const float cr = wr[j], ci = wi[j];
    const float* ar = xr + j * span;
    const float* ai = xi + j * span;
    const float* br = xr + (j + l) * span;
    const float* bi = xi + (j + l) * span;
    float* y0r = yr + 2 * j * span;
    float* y0i = yi + 2 * j * span;
    float* y1r = y0r + span;
    float* y1i = y0i + span;
#pragma omp simd
    for (uint64_t q = 0; q < span; ++q) {
      const float dr = ar[q] - br[q], di = ai[q] - bi[q];
      y0r[q] = ar[q] + br[q];
      y0i[q] = ai[q] + bi[q];
      y1r[q] = cr * dr - ci * di;
      y1i[q] = cr * di + ci * dr;
    }
  }
}

VRXA_VECTOR void lane_pass3(const float* __restrict xr, const float* __restrict xi,
                            float* __restrict yr, float* __restrict yi, uint64_t l, uint64_t m,
                            const float* __restrict wr, const float* __restrict wi) {
  const uint64_t span = m * kGroup;
  const float h = 0.866025403784438647f;  // sin(2 pi / 3)
  for (uint64_t j = 0; j < l; ++j) {
    const float w1r = wr[2 * j], w1i = wi[2 * j], w2r = wr[2 * j + 1], w2i = wi[2 * j + 1];
    const float* ar = xr + j * span;
    const float* ai = xi + j * span;
    const float* br = xr + (j + l) * span;
    const float* bi = xi + (j + l) * span;
    const float* cr = xr + (j + 2 * l) * span;
    const float* ci = xi + (j + 2 * l) * span;
    float* y0r = yr + 3 * j * span;
    float* y0i = yi + 3 * j * span;
#pragma omp simd
    for (uint64_t q = 0; q < span; ++q) {
      const float sr = br[q] + cr[q], si = bi[q] + ci[q];
      const float dr = h * (br[q] - cr[q]), di = h * (bi[q] - ci[q]);
      const float tr = ar[q] - 0.5f * sr, ti = ai[q] - 0.5f * si;
      y0r[q] = ar[q] + sr;
      y0i[q] = ai[q] + si;
      // a + b w + c w^2, w = exp(-2 pi i / 3): t - i d and t + i d
      const float u1r = tr + di, u1i = ti - dr;
      const float u2r = tr - di, u2i = ti + dr;
      y0r[span + q] = w1r * u1r - w1i * u1i;
      y0i[span + q] = w1r * u1i + w1i * u1r;
      y0r[2 * span + q] = w2r * u2r - w2i * u2i;
      y0i[2 * span + q] = w2r * u2i + w2i * u2r;
    }
  }
}

VRXA_VECTOR void lane_pass4(const float* __restrict xr, const float* __restrict xi,
                            float* __restrict yr, float* __restrict yi, uint64_t l, uint64_t m,
                            const float* __restrict wr, const float* __restrict wi) {
  const uint64_t span = m * kGroup;
  for (uint64_t j = 0; j < l; ++j) {
    const float w1r = wr[3 * j], w1i = wi[3 * j], w2r = wr[3 * j + 1], w2i = wi[3 * j + 1],
                w3r = wr[3 * j + 2], w3i = wi[3 * j + 2];
    const float* ar = xr + j * span;
    const float* ai = xi + j * span;
    const float* br = xr + (j + l) * span;
    const float* bi = xi + (j + l) * span;
    const float* cr = xr + (j + 2 * l) * span;
    const float* ci = xi + (j + 2 * l) * span;
    const float* dr = xr + (j + 3 * l) * span;
    const float* di = xi + (j + 3 * l) * span;
    float* y0r = yr + 4 * j * span;
    float* y0i = yi + 4 * j * span;
#pragma omp simd
    for (uint64_t q = 0; q < span; ++q) {
      const float t0r = ar[q] + cr[q], t0i = ai[q] + ci[q];
      const float t1r = ar[q] - cr[q], t1i = ai[q] - ci[q];
      const float t2r = br[q] + dr[q], t2i = bi[q] + di[q];
      // -i (b - d)
      const float t3r = bi[q] - di[q], t3i = dr[q] - br[q];
      y0r[q] = t0r + t2r;
      y0i[q] = t0i + t2i;
      const float u1r = t1r + t3r, u1i = t1i + t3i;
      y0r[span + q] = w1r * u1r - w1i * u1i;
      y0i[span + q] = w1r * u1i + w1i * u1r;
      const float u2r = t0r - t2r, u2i = t0i - t2i;
      y0r[2 * span + q] = w2r * u2r - w2i * u2i;
      y0i[2 * span + q] = w2r * u2i + w2i * u2r;
      const float u3r = t1r - t3r, u3i = t1i - t3i;
      y0r[3 * span + q] = w3r * u3r - w3i * u3i;
      y0i[3 * span + q] = w3r * u3i + w3i * u3r;
    }
  }
}

VRXA_VECTOR void lane_pass5(const float* __restrict xr, const float* __restrict xi,
                            float* __restrict yr, float* __restrict yi, uint64_t l, uint64_t m,
                            const float* __restrict wr, const float* __restrict wi) {
  const uint64_t span = m * kGroup;
  // cos and sin of 2 pi / 5 and 4 pi / 5
  const float c1 = 0.309016994374947424f, c2 = -0.809016994374947424f;
  const float s1 = 0.951056516295153572f, s2 = 0.587785252292473129f;
  for (uint64_t j = 0; j < l; ++j) {
    const float* w_r = wr + 4 * j;
    const float* w_i = wi + 4 * j;
    const float* ar = xr + j * span;
    const float* ai = xi + j * span;
    const float* br = xr + (j + l) * span;
    const float* bi = xi + (j + l) * span;
    const float* cr = xr + (j + 2 * l) * span;
    const float* ci = xi + (j + 2 * l) * span;
    const float* dr = xr + (j + 3 * l) * span;
    const float* di = xi + (j + 3 * l) * span;
    const float* er = xr + (j + 4 * l) * span;
    const float* ei = xi + (j + 4 * l) * span;
    float* y0r = yr + 5 * j * span;
    float* y0i = yi + 5 * j * span;
    const float w1r = w_r[0], w1i = w_i[0], w2r = w_r[1], w2i = w_i[1], w3r = w_r[2], w3i = w_i[2],
                w4r = w_r[3], w4i = w_i[3];
#pragma omp simd
    for (uint64_t q = 0; q < span; ++q) {
      const float t1r = br[q] + er[q], t1i = bi[q] + ei[q];
      const float t2r = cr[q] + dr[q], t2i = ci[q] + di[q];
      const float t3r = br[q] - er[q], t3i = bi[q] - ei[q];
      const float t4r = cr[q] - dr[q], t4i = ci[q] - di[q];
      y0r[q] = ar[q] + t1r + t2r;
      y0i[q] = ai[q] + t1i + t2i;
      // y1, y4 = p1 -+ i q1; y2, y3 = p2 -+ i q2
      const float p1r = ar[q] + c1 * t1r + c2 * t2r, p1i = ai[q] + c1 * t1i + c2 * t2i;
      const float p2r = ar[q] + c2 * t1r + c1 * t2r, p2i = ai[q] + c2 * t1i + c1 * t2i;
      const float q1r = s1 * t3r + s2 * t4r, q1i = s1 * t3i + s2 * t4i;
      const float q2r = s2 * t3r - s1 * t4r, q2i = s2 * t3i - s1 * t4i;
      const float u1r = p1r + q1i, u1i = p1i - q1r;  // p1 - i q1
      const float u4r = p1r - q1i, u4i = p1i + q1r;
      const float u2r = p2r + q2i, u2i = p2i - q2r;
      const float u3r = p2r - q2i, u3i = p2i + q2r;
      y0r[span + q] = w1r * u1r - w1i * u1i;
      y0i[span + q] = w1r * u1i + w1i * u1r;
      y0r[2 * span + q] = w2r * u2r - w2i * u2i;
      y0i[2 * span + q] = w2r * u2i + w2i * u2r;
      y0r[3 * span + q] = w3r * u3r - w3i * u3i;
      y0i[3 * span + q] = w3r * u3i + w3i * u3r;
      y0r[4 * span + q] = w4r * u4r - w4i * u4i;
      y0i[4 * span + q] = w4r * u4i + w4i * u4r;
    }
  }
}

// row[c] = x[c] (br + i bi) t[c], c < g, in double.
VRXA_VECTOR void twiddle_lanes(const float* __restrict xr, const float* __restrict xi, double br,
                               double bi, const double* __restrict t, cpx* __restrict row,
                               uint64_t g) {
  double yr[kGroup], yi[kGroup];
#pragma omp simd
  for (uint64_t c = 0; c < kGroup; ++c) {
    const double wr = br * t[c] - bi * t[kGroup + c], wi = br * t[kGroup + c] + bi * t[c];
    yr[c] = xr[c] * wr - xi[c] * wi;
    yi[c] = xr[c] * wi + xi[c] * wr;
  }
  for (uint64_t c = 0; c < g; ++c) {
    row[c].r = static_cast<float>(yr[c]);
    row[c].i = static_cast<float>(yi[c]);
  }
}

// kGroup columns of `rows` points, `stride` apart, into lanes.
VRXA_VECTOR void columns_to_lanes(const cpx* __restrict z, uint64_t stride, uint64_t rows,
                                  float* __restrict re, float* __restrict im) {
  for (uint64_t n = 0; n < rows; ++n) {
    const cpx* row = z + stride * n;
#pragma omp simd
    for (uint64_t c = 0; c < kGroup; ++c) {
      re[n * kGroup + c] = row[c].r;
      im[n * kGroup + c] = row[c].i;
    }
  }
}

// x[c] *= (br + i bi) t[c] in place, c < kGroup, in double.
VRXA_VECTOR void twiddle_in_place(float* __restrict xr, float* __restrict xi, double br, double bi,
                                  const double* __restrict t) {
#pragma omp simd
  for (uint64_t c = 0; c < kGroup; ++c) {
    const double wr = br * t[c] - bi * t[kGroup + c], wi = br * t[kGroup + c] + bi * t[c];
    const double re = xr[c], im = xi[c];
    xr[c] = static_cast<float>(re * wr - im * wi);
    xi[c] = static_cast<float>(re * wi + im * wr);
  }
}

// Lanes re/im = z[c] c[c] (the chirp), c < kGroup, in double.
VRXA_VECTOR void chirp_lanes(const cpx* __restrict z, const float* __restrict chirp,
                             float* __restrict re, float* __restrict im) {
#pragma omp simd
  for (uint64_t c = 0; c < kGroup; ++c) {
    const double zr = z[c].r, zi = z[c].i, cr = chirp[2 * c], ci = chirp[2 * c + 1];
    re[c] = static_cast<float>(zr * cr - zi * ci);
    im[c] = static_cast<float>(zr * ci + zi * cr);
  }
}

// x[c] = conj(x[c] k[c]), c < kGroup, in double.
VRXA_VECTOR void kernel_lanes(float* __restrict xr, float* __restrict xi,
                              const float* __restrict kr, const float* __restrict ki) {
#pragma omp simd
  for (uint64_t c = 0; c < kGroup; ++c) {
    const double re = xr[c], im = xi[c];
    xr[c] = static_cast<float>(re * kr[c] - im * ki[c]);
    xi[c] = static_cast<float>(-(re * ki[c] + im * kr[c]));
  }
}

}  // namespace

const float* LaneFft::run(float* re, float* im, float* work_re, float* work_im) const {
  float *xr = re, *xi = im, *yr = work_re, *yi = work_im;
  uint64_t m = 1;
  for (const Pass& p : passes_) {
    const float* wr = re_.data() + p.twiddles;
    const float* wi = im_.data() + p.twiddles;
    switch (p.radix) {
      case 2:
        lane_pass2(xr, xi, yr, yi, p.l, m, wr, wi);
        break;
      case 3:
        lane_pass3(xr, xi, yr, yi, p.l, m, wr, wi);
        break;
      case 4:
        lane_pass4(xr, xi, yr, yi, p.l, m, wr, wi);
        break;
      default:
        lane_pass5(xr, xi, yr, yi, p.l, m, wr, wi);
        break;
    }
    m *= static_cast<uint64_t>(p.radix);
    std::swap(xr, yr);
    std::swap(xi, yi);
  }
  return xr;  // the real parts; the imaginary parts follow at the same offset in the other array
}

void LanePlan::make(uint64_t a, uint64_t b, bool rows_too) {
  m1 = a;
  m2 = b;
  const uint64_t m = m1 * m2;
  f1 = std::make_unique<LaneFft>(m1);
  f2 = std::make_unique<LaneFft>(m2);
  auto lane_table = [m](std::vector<double>& t, uint64_t count) {
    t.resize(2 * kGroup * count);
    for (uint64_t k = 0; k < count; ++k) {
      for (uint64_t c = 0; c < kGroup; ++c) {
        const double angle = -2 * kPi * static_cast<double>(c * k) / static_cast<double>(m);
        t[2 * kGroup * k + c] = std::cos(angle);
        t[2 * kGroup * k + kGroup + c] = std::sin(angle);
      }
    }
  };
  lane_table(lanes2, m2);
  if (rows_too) lane_table(lanes1, m1);
  exact(low, m2, 2 * kPi / static_cast<double>(m));
  exact(high, m1, 2 * kPi / static_cast<double>(m1));
}

// ---- the second thread -----------------------------------------------------------------------

Crew::Crew() : thread_(&Crew::work, this) {}

Crew::~Crew() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Crew::work() {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || (job_ != nullptr && generation_ != seen); });
    if (stop_) return;
    seen = generation_;
    const std::function<void(uint64_t, int)>* job = job_;
    const uint64_t parts = parts_;
    busy_ = true;
    lock.unlock();
    for (uint64_t p = next_.fetch_add(1); p < parts; p = next_.fetch_add(1)) (*job)(p, 1);
    lock.lock();
    busy_ = false;
    done_.notify_one();
  }
}

void Crew::run(uint64_t parts, const std::function<void(uint64_t, int)>& f) {
  if (rest_ > 0) {
    --rest_;
    for (uint64_t p = 0; p < parts; ++p) f(p, 0);
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &f;
    parts_ = parts;
    next_.store(0);
    ++generation_;
  }
  wake_.notify_one();
  for (uint64_t p = next_.fetch_add(1); p < parts; p = next_.fetch_add(1)) f(p, 0);
  // Every part is taken: the worker may not start on this pass any more, and one it has begun
  // is waited for.
  const auto taken = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  job_ = nullptr;
  done_.wait(lock, [&] { return !busy_; });
  if (std::chrono::steady_clock::now() - taken >
      (taken - start) / 4 + std::chrono::microseconds(50)) {
    rest_ = kRest;
  }
}

void RealFft::parallel(uint64_t count,
                       const std::function<void(uint64_t, uint64_t, uint64_t, int)>& f) const {
  const uint64_t n = parts(count);
  auto part = [&](uint64_t p, int thread) { f(count * p / n, count * (p + 1) / n, p, thread); };
  if (!crew_ || n < 2) {
    for (uint64_t p = 0; p < n; ++p) part(p, 0);
    return;
  }
  crew_->run(n, part);
}

// ---- the transform ---------------------------------------------------------------------------

uint64_t largest_prime_factor(uint64_t n) {
  uint64_t largest = 1;
  for (uint64_t p = 2; p * p <= n; ++p) {
    while (n % p == 0) {
      largest = p;
      n /= p;
    }
  }
  return n > 1 ? std::max(largest, n) : largest;
}

RealFft::~RealFft() {
  kiss_fft_free(plan1_);
  kiss_fft_free(plan2_);
}

std::unique_ptr<RealFft> RealFft::make(uint64_t n, int threads, int32_t* result) {
  *result = VRX5200_ANALYSIS_OK;
  const uint64_t points = n % 2 == 0 ? n / 2 : n;
  const bool bluestein = largest_prime_factor(points) > kMaxPrime;
  if (bluestein && points >= kMaxBluestein) {
    *result = VRX5200_ANALYSIS_LENGTH_UNSUPPORTED;
    return nullptr;
  }
  std::unique_ptr<RealFft> f(new (std::nothrow) RealFft);
  if (!f) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  f->n_ = n;
  f->m_ = points;
  const uint64_t m = f->m_;
  if (!bluestein && n % 2 == 0 && m > kSplitAbove) {
    // The split with m1 <= m2 as even as m's factors allow.
    const uint64_t m1 = split_of(m);
    if (m1 >= 16) f->m1_ = m1;
  }
  f->m2_ = m / f->m1_;
  const bool two = threads == 2 || (threads == 0 && std::thread::hardware_concurrency() >= 2);
  f->threads_ = two && n >= kThreadsFrom ? 2 : 1;
  const double pi = kPi;
  try {
    if (bluestein) {
      f->m1_ = 1;
      f->m2_ = m;
      f->set_up_bluestein();
    } else if (f->m1_ > 1) {
      if (LaneFft::takes(f->m1_) && LaneFft::takes(f->m2_)) {
        f->lanes_.make(f->m1_, f->m2_, false);
        f->scratch_per_thread_ = 4 * kGroup * f->m2_;
      } else {
        f->plan1_ = kiss_fft_alloc(static_cast<int>(f->m1_), 0, nullptr, nullptr);
        f->plan2_ = kiss_fft_alloc(static_cast<int>(f->m2_), 0, nullptr, nullptr);
        f->scratch_per_thread_ = 2 * (2 * kGroup * f->m2_ + f->m1_);
        exact(f->twiddle_low_, f->m2_, 2 * pi / static_cast<double>(m));
        exact(f->twiddle_high_, f->m1_, 2 * pi / static_cast<double>(f->m1_));
      }
      f->data_.resize(n);
    } else {
      f->plan1_ = kiss_fft_alloc(static_cast<int>(m), 0, nullptr, nullptr);
      f->scratch_per_thread_ =
          n % 2 == 0 ? 2 * m : 4 * m;  // odd: the complex record and its transform
      f->data_.resize(n);
      f->threads_ = 1;
    }
    f->scratch_.resize(f->scratch_per_thread_ * static_cast<size_t>(f->threads_));
    if (n % 2 == 0) {
      // W_2m^(r) for the rows: whole up to kSplitAbove rows, else (Bluestein's m rows) as the
      // product of W_2m^(r mod kSplitAbove) and W_2m^(kSplitAbove (r / kSplitAbove)).
      exact(f->split_row_, std::min<uint64_t>(f->m2_, kSplitAbove), pi / static_cast<double>(m));
      if (f->m2_ > kSplitAbove) {
        exact(f->split_row_high_, f->m2_ / kSplitAbove + 1,
              pi * static_cast<double>(kSplitAbove) / static_cast<double>(m));
      }
      exact(f->split_column_, f->m1_, pi * static_cast<double>(f->m2_) / static_cast<double>(m));
    }
    if (f->threads_ == 2) {
      try {
        f->crew_ = std::make_unique<Crew>();
      } catch (const std::system_error&) {  // no thread to be had: the caller's does it all
        f->threads_ = 1;
      }
    }
  } catch (const std::bad_alloc&) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  const bool kiss = !bluestein && !f->lanes_.f1;
  if (kiss && (f->plan1_ == nullptr || (f->m1_ > 1 && f->plan2_ == nullptr))) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  return f;
}

// The column pass of a four-step transform with lanes: for each group of kGroup columns,
// load(first, g, re, im) puts the columns' points in lanes, the m2-point transforms run, and
// store(first, g, re, im) takes their results (g columns of the group are real ones).
template <typename Load, typename Store>
void RealFft::lane_columns(const LanePlan& p, Load&& load, Store&& store) {
  const uint64_t m1 = p.m1, m2 = p.m2;
  parallel((m1 + kGroup - 1) / kGroup,
           [&](uint64_t first_group, uint64_t last_group, uint64_t, int thread) {
             float* re = scratch(thread);
             float* im = re + kGroup * m2;
             float* work_re = im + kGroup * m2;
             float* work_im = work_re + kGroup * m2;
             for (uint64_t group = first_group; group < last_group; ++group) {
               const uint64_t first = group * kGroup;
               const uint64_t g = std::min(kGroup, m1 - first);
               load(first, g, re, im);
               const float* out_re = p.f2->run(re, im, work_re, work_im);
               store(first, g, out_re, out_re == re ? im : work_im);
             }
           });
}

// The row pass: for each group of kGroup rows gathered into lanes, work(first, g, re, im,
// work_re, work_im) transforms them and returns where the results' real parts are (re or
// work_re); they go back into the rows.
template <typename Work>
void RealFft::lane_rows(const LanePlan& p, Work&& work) {
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  const uint64_t m1 = p.m1, m2 = p.m2;
  parallel((m2 + kGroup - 1) / kGroup,
           [&](uint64_t first_group, uint64_t last_group, uint64_t, int thread) {
             float* re = scratch(thread);
             float* im = re + kGroup * m1;
             float* work_re = im + kGroup * m1;
             float* work_im = work_re + kGroup * m1;
             for (uint64_t group = first_group; group < last_group; ++group) {
               const uint64_t first = group * kGroup;
               const uint64_t g = std::min(kGroup, m2 - first);
               for (uint64_t c = 0; c < kGroup; ++c) {
                 const cpx* row = z + m1 * (first + std::min(c, g - 1));
                 for (uint64_t k1 = 0; k1 < m1; ++k1) {
                   re[k1 * kGroup + c] = row[k1].r;
                   im[k1 * kGroup + c] = row[k1].i;
                 }
               }
               const float* out_re = work(first, g, re, im, work_re, work_im);
               const float* out_im = out_re == re ? im : work_im;
               for (uint64_t c = 0; c < g; ++c) {
                 cpx* row = z + m1 * (first + c);
                 for (uint64_t k1 = 0; k1 < m1; ++k1) {
                   row[k1].r = out_re[k1 * kGroup + c];
                   row[k1].i = out_im[k1 * kGroup + c];
                 }
               }
             }
           });
}

// The plain forward transform of data_ with lanes: Z[k2 + m2 k1] at row k2, column k1.
void RealFft::lane_forward(const LanePlan& p) {
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  const uint64_t m1 = p.m1, m2 = p.m2;
  lane_columns(
      p,
      [&](uint64_t first, uint64_t g, float* re, float* im) {
        if (g == kGroup) {
          columns_to_lanes(z + first, m1, m2, re, im);
          return;
        }
        for (uint64_t n2 = 0; n2 < m2; ++n2) {
          const cpx* row = z + first + m1 * n2;
          for (uint64_t c = 0; c < kGroup; ++c) {
            re[n2 * kGroup + c] = c < g ? row[c].r : 0.0f;
            im[n2 * kGroup + c] = c < g ? row[c].i : 0.0f;
          }
        }
      },
      [&](uint64_t first, uint64_t g, const float* out_re, const float* out_im) {
        // Back in place, twiddled by W_m^(n1 k2) = W_m^(first k2) W_m^(c k2), the first a
        // product of two exact values, the second from the lane table.
        TwiddleWalk walk(p.high, p.low, m2, first);
        for (uint64_t k2 = 0; k2 < m2; ++k2, walk.next()) {
          double br, bi;
          walk.value(&br, &bi);
          twiddle_lanes(out_re + k2 * kGroup, out_im + k2 * kGroup, br, bi,
                        &p.lanes2[2 * kGroup * k2], z + first + m1 * k2, g);
        }
      });
  lane_rows(p, [&](uint64_t, uint64_t, float* re, float* im, float* work_re, float* work_im) {
    return p.f1->run(re, im, work_re, work_im);
  });
}

void RealFft::run_four_step() {
  if (lanes_.f1) {
    lane_forward(lanes_);
    return;
  }
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  const uint64_t m1 = m1_, m2 = m2_;
  // Columns: for each n1, the m2 points z[n1 + m1 n2], transformed and twiddled by W_m^(n1 k2).
  parallel((m1 + kGroup - 1) / kGroup,
           [&](uint64_t first_group, uint64_t last_group, uint64_t, int thread) {
             cpx* columns = reinterpret_cast<cpx*>(scratch(thread));
             cpx* out = columns + kGroup * m2;  // the columns' transforms, one after another
             for (uint64_t group = first_group; group < last_group; ++group) {
               const uint64_t first = group * kGroup;
               const uint64_t g = std::min(kGroup, m1 - first);
               for (uint64_t n2 = 0; n2 < m2; ++n2) {
                 const cpx* row = z + first + m1 * n2;
                 for (uint64_t c = 0; c < g; ++c) columns[c * m2 + n2] = row[c];
               }
               for (uint64_t c = 0; c < g; ++c) kiss_fft(plan2_, columns + c * m2, out + c * m2);
               // Back in place, twiddled by W_m^(n1 k2): for n1 = first + c, W_m^(first k2)
               // times (W_m^k2)^c, the first a product of two exact values (first k2 < m needs
               // no reduction).
               TwiddleWalk walk(twiddle_high_, twiddle_low_, m2, first);
               for (uint64_t k2 = 0; k2 < m2; ++k2, walk.next()) {
                 const double* step = &twiddle_low_[2 * k2];
                 double wr, wi;
                 walk.value(&wr, &wi);
                 cpx* row = z + first + m1 * k2;
                 for (uint64_t c = 0; c < g; ++c) {
                   const double re = out[c * m2 + k2].r, im = out[c * m2 + k2].i;
                   row[c].r = static_cast<float>(re * wr - im * wi);
                   row[c].i = static_cast<float>(re * wi + im * wr);
                   const double next = wr * step[0] - wi * step[1];
                   wi = wr * step[1] + wi * step[0];
                   wr = next;
                 }
               }
             }
           });
  // Rows: for each k2, the m1 points transformed along the row.
  parallel(m2, [&](uint64_t first, uint64_t last, uint64_t, int thread) {
    cpx* out = reinterpret_cast<cpx*>(scratch(thread));
    for (uint64_t k2 = first; k2 < last; ++k2) {
      cpx* row = z + m1 * k2;
      kiss_fft(plan1_, row, out);
      std::memcpy(static_cast<void*>(row), out, m1 * sizeof(cpx));
    }
  });
}

void RealFft::run() {
  if (l_ > 0) {
    run_bluestein();
    return;
  }
  if (odd()) {
    // Odd length: the complex transform of the real record, the power of its first half kept in
    // the first float of each slot.
    cpx* z = reinterpret_cast<cpx*>(scratch_.data());
    cpx* out = z + n_;
    for (uint64_t i = 0; i < n_; ++i) {
      z[i].r = data_[i];
      z[i].i = 0.0f;
    }
    kiss_fft(plan1_, z, out);
    for (uint64_t k = 0; k <= n_ / 2; ++k) {
      out[k].r = static_cast<float>(static_cast<double>(out[k].r) * out[k].r +
                                    static_cast<double>(out[k].i) * out[k].i);
    }
    slots_ = reinterpret_cast<const float*>(out);
    return;
  }
  float* z = data_.data();
  if (m1_ > 1) {
    run_four_step();
  } else {
    kiss_fft(plan1_, reinterpret_cast<cpx*>(data_.data()), reinterpret_cast<cpx*>(scratch_.data()));
    z = scratch_.data();
  }
  post_process(z);
  slots_ = z;
}

// Bluestein's way for m points with a large prime factor: with c_j = exp(-i pi j^2 / m),
// X[k] = c_k sum_j (z_j c_j) conj(c_(k-j)), a cyclic convolution over l >= 2m - 1 points, l with
// no prime factor but 2, 3 and 5, split l = l1 x l2 for the four-step way with lanes. The
// convolution takes three passes over its l points, in place: the columns (the record times the
// chirp gathered, transformed, twiddled); the rows, transformed, times the kernel (conj(c)'s
// transform, kept for the first half of its points: a symmetric sequence's transform is
// symmetric), conjugated and transformed again, then twiddled (the inverse transform's first
// step as the conjugate of a forward one, the steps in the mirrored order, which takes the
// forward transform's order of points); the columns again, giving the convolution in natural
// order. The chirp's angles are reduced exactly (j^2 modulo 2m), its values kept in single
// precision as the data they multiply. The memory is the l points, half a kernel and the chirp.
void RealFft::set_up_bluestein() {
  const uint64_t m = m_;
  l_ = smooth_at_least(2 * m - 1);
  uint64_t l1 = split_of(l_);
  lanes_.make(l1, l_ / l1, true);
  const uint64_t l2 = lanes_.m2;
  scratch_per_thread_ = 4 * kGroup * std::max(l1, l2);
  scratch_.resize(scratch_per_thread_ * static_cast<size_t>(threads_));
  chirp_.resize(2 * m);
  data_.assign(2 * l_, 0.0f);
  cpx* b = reinterpret_cast<cpx*>(data_.data());  // the kernel's sequence, for a moment
  for (uint64_t j = 0; j < m; ++j) {
    const double angle = kPi * static_cast<double>((j * j) % (2 * m)) / static_cast<double>(m);
    const double re = std::cos(angle), im = std::sin(angle);
    chirp_[2 * j] = static_cast<float>(re);
    chirp_[2 * j + 1] = static_cast<float>(-im);
    for (uint64_t at : {j, (l_ - j) % l_}) {  // conj(c_j) at j and at -j (modulo l)
      b[at].r = static_cast<float>(re);
      b[at].i = static_cast<float>(im);
    }
  }
  lane_forward(lanes_);
  kernel_.resize(2 * (l_ / 2 + 1));
  const double scale = 1.0 / static_cast<double>(l_);  // the inverse transform's
  for (uint64_t k = 0; k <= l_ / 2; ++k) {
    const cpx v = b[(k % l2) * l1 + k / l2];
    kernel_[2 * k] = static_cast<float>(v.r * scale);
    kernel_[2 * k + 1] = static_cast<float>(v.i * scale);
  }
}

void RealFft::run_bluestein() {
  const uint64_t m = m_, l = l_, l1 = lanes_.m1, l2 = lanes_.m2;
  const LanePlan& p = lanes_;
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  if (odd()) {
    // z_j c_j for the real x_j, from the top down so that z[j] overwrites only values already
    // read (x_j is float j of the record).
    const float* x = data_.data();
    for (uint64_t j = m; j-- > 0;) {
      const double v = x[j];
      z[j].r = static_cast<float>(v * chirp_[2 * j]);
      z[j].i = static_cast<float>(v * chirp_[2 * j + 1]);
    }
  }
  auto twiddle_scatter = [&](uint64_t first, uint64_t g, const float* out_re, const float* out_im) {
    TwiddleWalk walk(p.high, p.low, l2, first);
    for (uint64_t k2 = 0; k2 < l2; ++k2, walk.next()) {
      double br, bi;
      walk.value(&br, &bi);
      twiddle_lanes(out_re + k2 * kGroup, out_im + k2 * kGroup, br, bi, &p.lanes2[2 * kGroup * k2],
                    z + first + l1 * k2, g);
    }
  };
  // The columns' points below `end` (the others zeros), times the chirp when asked.
  auto gather = [&](uint64_t first, uint64_t g, float* re, float* im, uint64_t end, bool chirp) {
    for (uint64_t n2 = 0; n2 < l2; ++n2) {
      const uint64_t j0 = first + l1 * n2;
      float* r = re + n2 * kGroup;
      float* i = im + n2 * kGroup;
      if (j0 >= end) {
        std::fill(r, r + kGroup, 0.0f);
        std::fill(i, i + kGroup, 0.0f);
      } else if (j0 + kGroup <= end && g == kGroup) {
        if (chirp) {
          chirp_lanes(z + j0, chirp_.data() + 2 * j0, r, i);
        } else {
          for (uint64_t c = 0; c < kGroup; ++c) {
            r[c] = z[j0 + c].r;
            i[c] = z[j0 + c].i;
          }
        }
      } else {
        for (uint64_t c = 0; c < kGroup; ++c) {
          const uint64_t j = j0 + c;
          double vr = 0, vi = 0;
          if (c < g && j < end) {
            vr = z[j].r;
            vi = z[j].i;
            if (chirp) {
              const double cr = chirp_[2 * j], ci = chirp_[2 * j + 1];
              const double t = vr * cr - vi * ci;
              vi = vr * ci + vi * cr;
              vr = t;
            }
          }
          r[c] = static_cast<float>(vr);
          i[c] = static_cast<float>(vi);
        }
      }
    }
  };
  // 1. The columns of z c (even n: z as the record left it; odd n: already times the chirp).
  lane_columns(
      p,
      [&](uint64_t first, uint64_t g, float* re, float* im) {
        gather(first, g, re, im, m, !odd());
      },
      twiddle_scatter);
  // 2. The rows: forward, times the kernel, conjugated, forward again, twiddled.
  const float* kernel = kernel_.data();
  lane_rows(
      p, [&](uint64_t first, uint64_t g, float* re, float* im, float* work_re, float* work_im) {
        float* ar = const_cast<float*>(p.f1->run(re, im, work_re, work_im));
        float* ai = ar == re ? im : work_im;
        float* br = ar == re ? work_re : re;
        float* bi = ar == re ? work_im : im;
        float kr[kGroup], ki[kGroup];
        for (uint64_t k1 = 0; k1 < l1; ++k1) {
          for (uint64_t c = 0; c < kGroup; ++c) {
            const uint64_t k = first + std::min(c, g - 1) + l2 * k1;
            const uint64_t half = k <= l / 2 ? k : l - k;
            kr[c] = kernel[2 * half];
            ki[c] = kernel[2 * half + 1];
          }
          kernel_lanes(ar + k1 * kGroup, ai + k1 * kGroup, kr, ki);
        }
        float* cr = const_cast<float*>(p.f1->run(ar, ai, br, bi));
        float* ci = cr == ar ? ai : bi;
        TwiddleWalk walk(p.high, p.low, l2, first);
        for (uint64_t n1 = 0; n1 < l1; ++n1, walk.next()) {  // W_l^(n1 (first + c))
          double wr, wi;
          walk.value(&wr, &wi);
          twiddle_in_place(cr + n1 * kGroup, ci + n1 * kGroup, wr, wi, &p.lanes1[2 * kGroup * n1]);
        }
        return cr;
      });
  // 3. The columns: conj of the convolution at j = n1 + l1 n2, in natural order; X_j = c_j y_j
  // (even n, for the split), or |X_j|^2 = |y_j|^2 into the first float of slot j (odd n).
  const uint64_t bins = n_ / 2 + 1;
  lane_columns(
      p,
      [&](uint64_t first, uint64_t g, float* re, float* im) { gather(first, g, re, im, l, false); },
      [&](uint64_t first, uint64_t g, const float* out_re, const float* out_im) {
        for (uint64_t n2 = 0; n2 < l2; ++n2) {
          const uint64_t j0 = first + l1 * n2;
          if (j0 >= m) break;
          const float* r = out_re + n2 * kGroup;
          const float* i = out_im + n2 * kGroup;
          for (uint64_t c = 0; c < g && j0 + c < m; ++c) {
            const uint64_t j = j0 + c;
            const double yr = r[c], yi = -static_cast<double>(i[c]);
            if (odd()) {
              if (j < bins) z[j].r = static_cast<float>(yr * yr + yi * yi);
            } else {
              const double cr = chirp_[2 * j], ci = chirp_[2 * j + 1];
              z[j].r = static_cast<float>(yr * cr - yi * ci);
              z[j].i = static_cast<float>(yr * ci + yi * cr);
            }
          }
        }
      });
  if (!odd()) post_process(data_.data());
  slots_ = data_.data();
}

namespace {

constexpr uint64_t kPiece = 256;

// The split of count slots of a row: Z[k] in z (the powers of X[k] and X[m-k] go there), Z[m-k]
// in partners, W_2m^k = a b[i], in double.
VRXA_VECTOR void split_pairs(cpx* __restrict z, const cpx* __restrict partners,
                             const double* __restrict b, double a0, double a1, uint64_t count) {
#pragma omp simd
  for (uint64_t i = 0; i < count; ++i) {
    const double zr = z[i].r, zi = z[i].i, pr = partners[i].r, pi = partners[i].i;
    const double b0 = b[2 * i], b1 = b[2 * i + 1];
    const double wr = a0 * b0 - a1 * b1, wi = a0 * b1 + a1 * b0;
    const double ar = zr + pr, ai = zi - pi, br = zr - pr, bi = zi + pi;
    const double u = wr * br - wi * bi, v = wr * bi + wi * br;
    z[i].r = static_cast<float>(0.25 * ((ar + v) * (ar + v) + (ai - u) * (ai - u)));
    z[i].i = static_cast<float>(0.25 * ((ar - v) * (ar - v) + (ai + u) * (ai + u)));
  }
}

}  // namespace

void RealFft::post_process(float* data) {
  cpx* z = reinterpret_cast<cpx*>(data);
  const uint64_t m = m_, m1 = m1_, m2 = m2_;
  // Slot 0: X[0] = Re Z0 + Im Z0, X[m] = Re Z0 - Im Z0.
  const double r0 = z[0].r, i0 = z[0].i;
  // Rows r and m2 - r hold each other's partners: Z[r + m2 k1] pairs with Z[m - r - m2 k1] at row
  // m2 - r, column m1 - 1 - k1 (row 0 and row m2 / 2 pair with themselves). Each primary row
  // r <= m2 / 2 reads its own slots and its partner row's, and writes only slots of its own that
  // it has read: the rows are independent.
  parallel(m2 / 2 + 1, [&](uint64_t first, uint64_t last, uint64_t, int) {
    for (uint64_t r = first; r < last; ++r) {
      cpx* row = z + r * m1;
      const cpx* partner_row = z + (r == 0 ? 0 : (m2 - r) * m1);
      double a[2] = {split_row_[2 * (r % kSplitAbove)], split_row_[2 * (r % kSplitAbove) + 1]};
      if (r >= kSplitAbove) {
        const double* h = &split_row_high_[2 * (r / kSplitAbove)];
        const double ar = h[0] * a[0] - h[1] * a[1], ai = h[0] * a[1] + h[1] * a[0];
        a[0] = ar;
        a[1] = ai;
      }
      // In pieces: the partners copied first (rows 0 and m2 / 2 read their own slots).
      const uint64_t base = r == 0 ? m1 : m1 - 1;
      for (uint64_t k1 = r == 0 ? 1 : 0, end = primary_end(r); k1 < end; k1 += kPiece) {
        const uint64_t count = std::min(kPiece, end - k1);
        cpx partners[kPiece];
        for (uint64_t i = 0; i < count; ++i) partners[i] = partner_row[base - k1 - i];
        split_pairs(row + k1, partners, &split_column_[2 * k1], a[0], a[1], count);
      }
      if (m % 2 == 0 && (m / 2 - r) % m2 == 0) {  // k = m / 2 pairs with itself
        const uint64_t k1 = (m / 2 - r) / m2;
        if (k1 < primary_end(r)) row[k1].i = 0.0f;
      }
    }
  });
  z[0].r = static_cast<float>((r0 + i0) * (r0 + i0));
  z[0].i = static_cast<float>((r0 - i0) * (r0 - i0));
}

}  // namespace vrxa
