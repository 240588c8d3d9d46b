// The real FFT behind every spectrum: KissFFT's complex transform in single precision, driven so
// that a record needs no memory beyond itself.
//
// A real record x of even length n = 2m is read as m complex points z[j] = x[2j] + i x[2j+1];
// their transform Z gives the record's X[k] for k = 0..m through the usual split
//   X[k] = (Z[k] + conj Z[m-k]) / 2 - i W^k (Z[k] - conj Z[m-k]) / 2,  W = exp(-2 pi i / n).
// For long records the m-point transform runs in four steps over m = m1 x m2, in place: m1
// transforms of length m2 down the columns (gathered a cache line of columns at a time),
// twiddles, then m2 transforms of length m1 along the rows, which leaves Z[k2 + m2 k1] at row
// k2, column k1. Inner transforms of a few thousand points stay in cache and their plans are
// small. The split then reads Z[k] and Z[m-k] and writes the powers |X[k]|^2 and |X[m-k]|^2 as
// a pair into Z[k]'s slot (bins 0 and m share slot 0): the power spectrum takes the record's own
// memory. Twiddles come from tables computed in double precision: products of two exact values,
// turned on by at most seven exact steps. The column, row and split passes are split over two
// threads on long records.
#include <kiss_fft.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

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

bool power_of_two(uint64_t v) {
  return v >= 2 && (v & (v - 1)) == 0;
}

}  // namespace

// kGroup transforms of one power-of-two length at once, each point a vector of kGroup lanes:
// Stockham's passes (radix 4, and one of radix 2 for an odd power), ping-ponging between two
// buffers, whose loops run over m x kGroup contiguous floats with one twiddle each (the lanes
// fill the machine's vectors whatever the pass). A pass over sub-transforms of `size` points
// takes x[(j + t l) m + k], t < r, to y[(r j + s) m + k] = W_size^(s j) sum_t x_t w_r^(t s),
// l = size / r. Twiddles from double precision, exact per pass.
LaneFft::LaneFft(uint64_t length) : length_(length) {
  uint64_t size = length;
  int log = 0;
  while ((uint64_t{1} << log) < length) ++log;
  int radix = log % 2 == 1 ? 2 : 4;
  while (size >= 2) {
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
    radix = 4;
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

}  // namespace

const float* LaneFft::run(float* re, float* im, float* work_re, float* work_im) const {
  float *xr = re, *xi = im, *yr = work_re, *yi = work_im;
  uint64_t m = 1;
  for (const Pass& p : passes_) {
    (p.radix == 2 ? lane_pass2 : lane_pass4)(xr, xi, yr, yi, p.l, m, re_.data() + p.twiddles,
                                             im_.data() + p.twiddles);
    m *= static_cast<uint64_t>(p.radix);
    std::swap(xr, yr);
    std::swap(xi, yi);
  }
  return xr;  // the real parts; the imaginary parts follow at the same offset in the other array
}

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
  f->m_ = n % 2 == 0 ? n / 2 : n;
  const uint64_t m = f->m_;
  if (!bluestein && n % 2 == 0 && m > kSplitAbove) {
    // The split with m1 <= m2 as even as m's factors allow.
    uint64_t m1 = 1;
    for (uint64_t d = 1; d * d <= m; ++d) {
      if (m % d == 0) m1 = d;
    }
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
      f->threads_ = 1;
      f->set_up_bluestein();  // the record goes straight into the scratch: no data_
    } else if (f->m1_ > 1) {
      if (power_of_two(f->m1_) && power_of_two(f->m2_)) {
        f->lanes1_ = std::make_unique<LaneFft>(f->m1_);
        f->lanes2_ = std::make_unique<LaneFft>(f->m2_);
        // W_m^(c k2) for c < kGroup: real parts, then imaginary parts, per k2.
        f->lane_twiddles_.resize(2 * kGroup * f->m2_);
        for (uint64_t k2 = 0; k2 < f->m2_; ++k2) {
          for (uint64_t c = 0; c < kGroup; ++c) {
            const double angle = -2 * pi * static_cast<double>(c * k2) / static_cast<double>(m);
            f->lane_twiddles_[2 * kGroup * k2 + c] = std::cos(angle);
            f->lane_twiddles_[2 * kGroup * k2 + kGroup + c] = std::sin(angle);
          }
        }
      }
      f->plan1_ = kiss_fft_alloc(static_cast<int>(f->m1_), 0, nullptr, nullptr);
      f->plan2_ = kiss_fft_alloc(static_cast<int>(f->m2_), 0, nullptr, nullptr);
      f->scratch_per_thread_ = 2 * (2 * kGroup * f->m2_ + f->m1_);
      f->data_.resize(n);
      exact(f->twiddle_low_, f->m2_, 2 * pi / static_cast<double>(m));
      exact(f->twiddle_high_, f->m1_, 2 * pi / static_cast<double>(f->m1_));
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

void RealFft::parallel(uint64_t count,
                       const std::function<void(uint64_t, uint64_t, int)>& f) const {
  if (threads_ < 2 || count < 2) {
    f(0, count, 0);
    return;
  }
  const uint64_t half = count / 2;
  try {
    std::thread other([&f, half, count] { f(half, count, 1); });
    f(0, half, 0);
    other.join();
  } catch (const std::system_error&) {  // no thread to be had: the caller's thread does it all
    f(half, count, 1);
    f(0, half, 0);
  }
}

// The four steps with the lane transforms: columns and rows gathered kGroup at a time into
// lanes (4 kGroup m2 floats of scratch: the lanes and their work arrays).
void RealFft::run_four_step_lanes() {
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  const uint64_t m1 = m1_, m2 = m2_;
  parallel((m1 + kGroup - 1) / kGroup, [&](uint64_t first_group, uint64_t last_group, int thread) {
    float* re = scratch_.data() + scratch_per_thread_ * static_cast<size_t>(thread);
    float* im = re + kGroup * m2;
    float* work_re = im + kGroup * m2;
    float* work_im = work_re + kGroup * m2;
    for (uint64_t group = first_group; group < last_group; ++group) {
      const uint64_t first = group * kGroup;
      const uint64_t g = std::min(kGroup, m1 - first);
      for (uint64_t n2 = 0; n2 < m2; ++n2) {
        const cpx* row = z + first + m1 * n2;
        for (uint64_t c = 0; c < kGroup; ++c) {
          re[n2 * kGroup + c] = c < g ? row[c].r : 0.0f;
          im[n2 * kGroup + c] = c < g ? row[c].i : 0.0f;
        }
      }
      const float* out_re = lanes2_->run(re, im, work_re, work_im);
      const float* out_im = out_re == re ? im : work_im;
      // Back in place, twiddled by W_m^(n1 k2) = W_m^(first k2) W_m^(c k2), the first a product
      // of two exact values, the second from the lane table.
      for (uint64_t k2 = 0; k2 < m2; ++k2) {
        const uint64_t j = first * k2;
        const double* a = &twiddle_high_[2 * (j / m2)];
        const double* b = &twiddle_low_[2 * (j % m2)];
        const double br = a[0] * b[0] - a[1] * b[1], bi = a[0] * b[1] + a[1] * b[0];
        twiddle_lanes(out_re + k2 * kGroup, out_im + k2 * kGroup, br, bi,
                      &lane_twiddles_[2 * kGroup * k2], z + first + m1 * k2, g);
      }
    }
  });
  // Rows, kGroup at a time.
  parallel((m2 + kGroup - 1) / kGroup, [&](uint64_t first_group, uint64_t last_group, int thread) {
    float* re = scratch_.data() + scratch_per_thread_ * static_cast<size_t>(thread);
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
      const float* out_re = lanes1_->run(re, im, work_re, work_im);
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

void RealFft::run_four_step() {
  if (lanes1_) {
    run_four_step_lanes();
    return;
  }
  cpx* z = reinterpret_cast<cpx*>(data_.data());
  const uint64_t m1 = m1_, m2 = m2_;
  // Columns: for each n1, the m2 points z[n1 + m1 n2], transformed and twiddled by W_m^(n1 k2).
  parallel((m1 + kGroup - 1) / kGroup, [&](uint64_t first_group, uint64_t last_group, int thread) {
    cpx* columns =
        reinterpret_cast<cpx*>(scratch_.data() + scratch_per_thread_ * static_cast<size_t>(thread));
    cpx* out = columns + kGroup * m2;  // the columns' transforms, one after another
    for (uint64_t group = first_group; group < last_group; ++group) {
      const uint64_t first = group * kGroup;
      const uint64_t g = std::min(kGroup, m1 - first);
      for (uint64_t n2 = 0; n2 < m2; ++n2) {
        const cpx* row = z + first + m1 * n2;
        for (uint64_t c = 0; c < g; ++c) columns[c * m2 + n2] = row[c];
      }
      for (uint64_t c = 0; c < g; ++c) kiss_fft(plan2_, columns + c * m2, out + c * m2);
      // Back in place, twiddled by W_m^(n1 k2): for n1 = first + c, W_m^(first k2) times
      // (W_m^k2)^c, the first a product of two exact values (first k2 < m needs no reduction).
      for (uint64_t k2 = 0; k2 < m2; ++k2) {
        const uint64_t j = first * k2;
        const double* a = &twiddle_high_[2 * (j / m2)];
        const double* b = &twiddle_low_[2 * (j % m2)];
        const double* step = &twiddle_low_[2 * k2];
        double wr = a[0] * b[0] - a[1] * b[1], wi = a[0] * b[1] + a[1] * b[0];
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
  parallel(m2, [&](uint64_t first, uint64_t last, int thread) {
    cpx* out =
        reinterpret_cast<cpx*>(scratch_.data() + scratch_per_thread_ * static_cast<size_t>(thread));
    for (uint64_t k2 = first; k2 < last; ++k2) {
      cpx* row = z + m1 * k2;
      kiss_fft(plan1_, row, out);
      std::memcpy(static_cast<void*>(row), out, m1 * sizeof(cpx));
    }
  });
}

void RealFft::run() {
  if (!chirp_.empty()) {
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
// X[k] = c_k sum_j (z_j c_j) conj(c_(k-j)), a cyclic convolution of length l >= 2m - 1 (a power
// of two) done with two forward transforms (the inverse one as the conjugate of a forward one);
// conj(c)'s transform is kept. The chirp's angles are reduced exactly (j^2 modulo 2m), its
// values kept in single precision as the data they multiply. The record is windowed straight into
// the first sequence: the memory is the two sequences of l points, the kernel and one plan.
void RealFft::set_up_bluestein() {
  const uint64_t m = m_;
  l_ = 1;
  while (l_ < 2 * m - 1) l_ *= 2;
  plan1_ = kiss_fft_alloc(static_cast<int>(l_), 0, nullptr, nullptr);
  if (plan1_ == nullptr) throw std::bad_alloc();
  chirp_.resize(2 * m);
  for (uint64_t j = 0; j < m; ++j) {
    const double angle = kPi * static_cast<double>((j * j) % (2 * m)) / static_cast<double>(m);
    chirp_[2 * j] = static_cast<float>(std::cos(angle));
    chirp_[2 * j + 1] = static_cast<float>(-std::sin(angle));
  }
  scratch_per_thread_ = 4 * l_;  // the sequence and its transform
  scratch_.assign(scratch_per_thread_, 0.0f);
  float* b = scratch_.data();         // the kernel's sequence, for a moment
  for (uint64_t t = 0; t < m; ++t) {  // conj(c_t) at t and at -t (modulo l)
    for (uint64_t at : {t, (l_ - t) % l_}) {
      b[2 * at] = chirp_[2 * t];
      b[2 * at + 1] = -chirp_[2 * t + 1];
    }
  }
  kernel_.resize(2 * l_);
  kiss_fft(plan1_, reinterpret_cast<const cpx*>(b), reinterpret_cast<cpx*>(kernel_.data()));
}

void RealFft::run_bluestein() {
  const uint64_t m = m_, l = l_;
  cpx* a = reinterpret_cast<cpx*>(scratch_.data());
  float* x = scratch_.data();  // the record, as input() took it
  cpx* t = a + l;
  const cpx* kernel = reinterpret_cast<const cpx*>(kernel_.data());
  // z_j c_j in place: even n, z_j = x[2j] + i x[2j+1] is a[j] itself; odd n, z_j = x[j], read
  // from the top down so that a[j] overwrites only values already read.
  for (uint64_t j = m; j-- > 0;) {
    const double re = odd() ? x[j] : x[2 * j], im = odd() ? 0.0 : x[2 * j + 1];
    const double cr = chirp_[2 * j], ci = chirp_[2 * j + 1];
    a[j].r = static_cast<float>(re * cr - im * ci);
    a[j].i = static_cast<float>(re * ci + im * cr);
  }
  for (uint64_t j = m; j < l; ++j) a[j].r = a[j].i = 0.0f;
  kiss_fft(plan1_, a, t);
  // The product with the kernel, conjugated: the inverse transform is conj(forward(conj)).
  for (uint64_t j = 0; j < l; ++j) {
    const double re = t[j].r, im = t[j].i, kr = kernel[j].r, ki = kernel[j].i;
    t[j].r = static_cast<float>(re * kr - im * ki);
    t[j].i = static_cast<float>(-(re * ki + im * kr));
  }
  kiss_fft(plan1_, t, a);
  const double scale = 1.0 / static_cast<double>(l);
  for (uint64_t k = 0; k < m; ++k) {
    const double re = a[k].r * scale, im = -a[k].i * scale;
    const double cr = chirp_[2 * k], ci = chirp_[2 * k + 1];
    a[k].r = static_cast<float>(re * cr - im * ci);
    a[k].i = static_cast<float>(re * ci + im * cr);
  }
  if (odd()) {
    for (uint64_t k = 0; k <= n_ / 2; ++k) {
      a[k].r = static_cast<float>(static_cast<double>(a[k].r) * a[k].r +
                                  static_cast<double>(a[k].i) * a[k].i);
    }
  } else {
    post_process(scratch_.data());
  }
  slots_ = scratch_.data();
}

void RealFft::post_process(float* data) {
  cpx* z = reinterpret_cast<cpx*>(data);
  const uint64_t m = m_, m1 = m1_, m2 = m2_;
  // Slot 0: X[0] = Re Z0 + Im Z0, X[m] = Re Z0 - Im Z0.
  const double r0 = z[0].r, i0 = z[0].i;
  // Rows r and m2 - r hold each other's partners: Z[r + m2 k1] pairs with Z[m - r - m2 k1] at row
  // m2 - r, column m1 - 1 - k1 (row 0 and row m2 / 2 pair with themselves). Each primary row
  // r <= m2 / 2 reads its own slots and its partner row's, and writes only slots of its own that
  // it has read: the rows are independent.
  parallel(m2 / 2 + 1, [&](uint64_t first, uint64_t last, int) {
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
      for (uint64_t k1 = r == 0 ? 1 : 0, end = primary_end(r); k1 < end; ++k1) {
        const uint64_t k = r + m2 * k1;
        const cpx zk = row[k1];
        const cpx zj = partner_row[r == 0 ? m1 - k1 : m1 - 1 - k1];
        const double* b = &split_column_[2 * k1];
        const double wr = a[0] * b[0] - a[1] * b[1], wi = a[0] * b[1] + a[1] * b[0];
        const double ar = static_cast<double>(zk.r) + zj.r, ai = static_cast<double>(zk.i) - zj.i;
        const double br = static_cast<double>(zk.r) - zj.r, bi = static_cast<double>(zk.i) + zj.i;
        const double u = wr * br - wi * bi, v = wr * bi + wi * br;
        row[k1].r = static_cast<float>(0.25 * ((ar + v) * (ar + v) + (ai - u) * (ai - u)));
        row[k1].i = 2 * k == m
                        ? 0.0f
                        : static_cast<float>(0.25 * ((ar - v) * (ar - v) + (ai + u) * (ai + u)));
      }
    }
  });
  z[0].r = static_cast<float>((r0 + i0) * (r0 + i0));
  z[0].i = static_cast<float>((r0 - i0) * (r0 - i0));
}

}  // namespace vrxa
