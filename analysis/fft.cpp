// The real FFT behind every spectrum: KissFFT's complex transform in single precision, driven so
// that a long record needs little more memory than itself.
//
// A real record x of even length n = 2m is read as m complex points z[j] = x[2j] + i x[2j+1];
// their transform Z gives the record's X[k] for k = 0..m through the usual split
// X[k] = (Z[k] + conj Z[m-k]) / 2 - i W^k (Z[k] - conj Z[m-k]) / 2, W = exp(-2 pi i / n).
// For long records the m-point transform runs in four steps over m = m1 x m2 in place: m1
// transforms of length m2 down the columns (gathered a few at a time), twiddles, then m2
// transforms of length m1 along the rows, leaving Z[k2 + m2 k1] at row k2, column k1. Inner
// transforms of a few thousand points stay in cache, and the plans are small. Twiddles come from
// double-precision rotations set back to the exact value every 256 steps.
#include <kiss_fft.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "analysis/internal.h"

namespace vrxa {
namespace {

using cpx = kiss_fft_cpx;
constexpr uint64_t kMaxPrime = 97;
constexpr uint64_t kSplitAbove = 1u << 13;  // complex points transformed in one go up to this
constexpr uint64_t kGroup = 8;              // columns gathered together (a cache line of them)
constexpr unsigned kResync = 256;           // rotation steps between exact twiddles

struct Rotation {  // exp(-i theta0) * exp(-i dtheta)^j, exact every kResync steps
  double theta0, dtheta;
  double c = 1, s = 0, sc = 1, ss = 0;
  unsigned j = 0;
  Rotation(double t0, double dt) : theta0(t0), dtheta(dt) {
    sc = std::cos(dt);
    ss = -std::sin(dt);
    exact(0);
  }
  void exact(uint64_t index) {
    const double t = theta0 + dtheta * static_cast<double>(index);
    c = std::cos(t);
    s = -std::sin(t);
  }
  void step(uint64_t next_index) {
    if (++j % kResync == 0) {
      exact(next_index);
    } else {
      const double nc = c * sc - s * ss;
      s = c * ss + s * sc;
      c = nc;
    }
  }
};

}  // namespace

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

std::unique_ptr<RealFft> RealFft::make(uint64_t n, int32_t* result) {
  *result = VRX5200_ANALYSIS_OK;
  if (largest_prime_factor(n) > kMaxPrime || n > (uint64_t{1} << 40)) {
    *result = VRX5200_ANALYSIS_LENGTH_UNSUPPORTED;
    return nullptr;
  }
  std::unique_ptr<RealFft> f(new (std::nothrow) RealFft);
  if (!f) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  f->n_ = n;
  f->m_ = n % 2 == 0 ? n / 2 : n;
  const uint64_t m = f->m_;
  if (n % 2 == 0 && m > kSplitAbove) {
    // The split with m1 <= m2 as even as m's factors allow.
    uint64_t m1 = 1;
    for (uint64_t d = 1; d * d <= m; ++d) {
      if (m % d == 0) m1 = d;
    }
    if (m1 >= 16) {
      f->m1_ = m1;
      f->m2_ = m / m1;
    }
  }
  if (f->m1_ == 1) f->m2_ = m;
  try {
    if (f->m1_ > 1) {
      f->plan1_ = kiss_fft_alloc(static_cast<int>(f->m1_), 0, nullptr, nullptr);
      f->plan2_ = kiss_fft_alloc(static_cast<int>(f->m2_), 0, nullptr, nullptr);
      f->scratch_.resize(2 * (kGroup * f->m2_ + std::max(f->m1_, f->m2_)));
      f->data_.resize(2 * m);
    } else {
      f->plan1_ = kiss_fft_alloc(static_cast<int>(m), 0, nullptr, nullptr);
      f->scratch_.resize(n % 2 == 0 ? 2 * m : 4 * m);  // odd: the complex record and its transform
      f->data_.resize(n);
    }
    f->power_.resize(n / 2 + 1);
  } catch (const std::bad_alloc&) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  if (f->plan1_ == nullptr || (f->m1_ > 1 && f->plan2_ == nullptr)) {
    *result = VRX5200_ANALYSIS_OUT_OF_MEMORY;
    return nullptr;
  }
  return f;
}

void RealFft::run_four_step() {
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  cpx* columns = reinterpret_cast<cpx*>(scratch_.data());
  cpx* out = columns + kGroup * m2_;
  const uint64_t m1 = m1_, m2 = m2_;
  // Columns: for each n1, the m2 points z[n1 + m1 n2], transformed and twiddled by W_m^(n1 k2).
  for (uint64_t first = 0; first < m1; first += kGroup) {
    const uint64_t g = std::min(kGroup, m1 - first);
    for (uint64_t n2 = 0; n2 < m2; ++n2) {
      const cpx* row = z + first + m1 * n2;
      for (uint64_t c = 0; c < g; ++c) columns[c * m2 + n2] = row[c];
    }
    for (uint64_t c = 0; c < g; ++c) {
      cpx* column = columns + c * m2;
      kiss_fft(plan2_, column, out);
      Rotation w(0.0, 2.0 * kPi * static_cast<double>(first + c) / static_cast<double>(m_));
      for (uint64_t k2 = 0; k2 < m2; ++k2) {
        const double re = out[k2].r, im = out[k2].i;
        column[k2].r = static_cast<float>(re * w.c - im * w.s);
        column[k2].i = static_cast<float>(re * w.s + im * w.c);
        w.step(k2 + 1);
      }
    }
    for (uint64_t k2 = 0; k2 < m2; ++k2) {
      cpx* row = z + first + m1 * k2;
      for (uint64_t c = 0; c < g; ++c) row[c] = columns[c * m2 + k2];
    }
  }
  // Rows: for each k2, the m1 points transformed along the row.
  for (uint64_t k2 = 0; k2 < m2; ++k2) {
    cpx* row = z + m1 * k2;
    kiss_fft(plan1_, row, out);
    std::memcpy(static_cast<void*>(row), out, m1 * sizeof(cpx));
  }
}

void RealFft::run() {
  if (n_ % 2 == 1) {
    // Odd length: the complex transform of the real record, its first half kept.
    cpx* z = reinterpret_cast<cpx*>(scratch_.data());
    cpx* out = z + n_;
    for (uint64_t i = 0; i < n_; ++i) {
      z[i].r = data_[i];
      z[i].i = 0.0f;
    }
    kiss_fft(plan1_, z, out);
    for (uint64_t k = 0; k <= n_ / 2; ++k) {
      power_[k] = static_cast<float>(static_cast<double>(out[k].r) * out[k].r +
                                     static_cast<double>(out[k].i) * out[k].i);
    }
    return;
  }
  if (m1_ > 1) {
    run_four_step();
  } else {
    kiss_fft(plan1_, reinterpret_cast<cpx*>(data_.data()), reinterpret_cast<cpx*>(scratch_.data()));
  }
  post_process();
}

void RealFft::post_process() {
  const cpx* z = reinterpret_cast<const cpx*>(m1_ > 1 ? data_.data() : scratch_.data());
  const uint64_t m = m_, m1 = m1_, m2 = m2_;
  float* p = power_.data();
  {
    const double r = z[0].r, i = z[0].i;
    p[0] = static_cast<float>((r + i) * (r + i));
    p[m] = static_cast<float>((r - i) * (r - i));
  }
  const double dtheta = kPi / static_cast<double>(m);  // W^k = exp(-i pi k / m)
  for (uint64_t k2 = 0; k2 < m2 && 2 * k2 <= m; ++k2) {
    const uint64_t k1_last = (m / 2 - k2) / m2;  // k = k2 + m2 k1 <= m / 2
    const uint64_t k1_first = k2 == 0 ? 1 : 0;
    if (k1_first <= k1_last) {
      Rotation w(dtheta * static_cast<double>(k2), dtheta * static_cast<double>(m2));
      if (k1_first == 1) w.exact(1);
      const cpx* row = z + k2 * m1;
      const cpx* partner_row = z + (k2 == 0 ? 0 : (m2 - k2) * m1);
      for (uint64_t k1 = k1_first; k1 <= k1_last; ++k1) {
        const uint64_t k = k2 + m2 * k1;
        const uint64_t j = m - k;
        const cpx zk = row[k1];
        const cpx zj = partner_row[k2 == 0 ? m1 - k1 : m1 - 1 - k1];
        const double ar = static_cast<double>(zk.r) + zj.r, ai = static_cast<double>(zk.i) - zj.i;
        const double br = static_cast<double>(zk.r) - zj.r, bi = static_cast<double>(zk.i) + zj.i;
        const double u = w.c * br - w.s * bi, v = w.c * bi + w.s * br;
        p[k] = static_cast<float>(0.25 * ((ar + v) * (ar + v) + (ai - u) * (ai - u)));
        if (j != k) p[j] = static_cast<float>(0.25 * ((ar - v) * (ar - v) + (ai + u) * (ai + u)));
        w.step(k1 + 1);
      }
    }
  }
}

}  // namespace vrxa
