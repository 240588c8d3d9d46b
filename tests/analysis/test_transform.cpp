// The power spectrum against a direct DFT in double precision, for record lengths that take each
// path of the transform (odd; even in one transform; four steps with odd and even factors, in
// lanes of radix 2, 3, 4 and 5 or not; Bluestein's way for a large prime factor, its
// convolution over lengths of each radix), on one thread and on two (which long records share).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "signals.h"

namespace {

struct Length {
  uint64_t n;
  const char* path;
};

class Transform : public ::testing::TestWithParam<std::tuple<Length, int32_t>> {};

// |X[k]|^2 of the windowed record by the definition (angles reduced exactly), scaled as the
// analysis scales: 2 / (n sum w^2), 1 / (n sum w^2) at DC and at n/2.
double direct(const std::vector<double>& x, const std::vector<double>& w, uint64_t k,
              double sum_w2) {
  const uint64_t n = x.size();
  double re = 0, im = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const double angle = 2 * sig::kPi * static_cast<double>((k * i) % n) / static_cast<double>(n);
    re += x[i] * w[i] * std::cos(angle);
    im -= x[i] * w[i] * std::sin(angle);
  }
  const double edge = k == 0 || 2 * k == n;
  return (re * re + im * im) * (edge ? 1.0 : 2.0) / (static_cast<double>(n) * sum_w2);
}

TEST_P(Transform, MatchesTheDefinition) {
  const auto [length, threads] = GetParam();
  const uint64_t n = length.n;
  const std::vector<double> x = sig::tone(n, static_cast<double>(n) / 7.3, 10000.0, 100.0);
  const double a[4] = {0.35875, 0.48829, 0.14128, 0.01168};
  std::vector<double> w(n);
  double sum_w2 = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const double t = 2 * sig::kPi * static_cast<double>(i) / static_cast<double>(n);
    w[i] = a[0] - a[1] * std::cos(t) + a[2] * std::cos(2 * t) - a[3] * std::cos(3 * t);
    sum_w2 += w[i] * w[i];
  }
  VRX5200Analyzer* analyzer = nullptr;
  ASSERT_EQ(VRX5200Analysis_Create(n, threads, &analyzer), VRX5200_ANALYSIS_OK);
  std::vector<double> power(n / 2 + 1, -1.0);
  ASSERT_EQ(VRX5200Analysis_Power_Spectrum(analyzer, x.data(), VRX5200_SAMPLES_DOUBLE, n,
                                           sig::tone_config(VRX5200_WINDOW_BLACKMAN_HARRIS_4),
                                           power.data()),
            VRX5200_ANALYSIS_OK);
  VRX5200Analysis_Destroy(analyzer);
  // Every bin written; bins sum to the windowed record's power (Parseval).
  double total = 0, expected_total = 0;
  for (double p : power) {
    ASSERT_GE(p, 0.0);
    total += p;
  }
  for (uint64_t i = 0; i < n; ++i) expected_total += x[i] * x[i] * w[i] * w[i];
  expected_total /= sum_w2;
  EXPECT_NEAR(total / expected_total, 1.0, 1e-6);
  // Single precision: each bin within 1e-6 of the largest, at the edges, around the tone, and
  // spread over the band (every slot pairing: k and n/2 - k, the first and last of each row).
  const double peak = *std::max_element(power.begin(), power.end());
  std::vector<uint64_t> bins{0,         1,     2,         n / 2,
                             n / 2 - 1, n / 4, n / 4 + 1, static_cast<uint64_t>(n / 7.3)};
  for (uint64_t k = 3; k < n / 2; k += n / 97 + 1) bins.push_back(k);
  for (uint64_t k : bins) {
    EXPECT_NEAR(power[k], direct(x, w, k, sum_w2), 1e-6 * peak) << "bin " << k << " of " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Transform,
    ::testing::Combine(::testing::Values(Length{1001, "odd"}, Length{8190, "one_transform"},
                                         Length{4099, "odd_prime_bluestein"},
                                         Length{6464, "even_32x101_bluestein"},
                                         Length{16402, "even_bluestein_8201_rows"},
                                         Length{9000, "four_step_60x75_radix_3_5"},
                                         Length{8820, "four_step_kiss_63x70"},
                                         Length{15552, "four_step_81x96"},
                                         Length{262144, "four_step_256x512"},
                                         Length{200003, "odd_prime_bluestein_625x648"},
                                         Length{140002, "even_bluestein_375x375"}),
                       ::testing::Values(1, 2)),
    [](const ::testing::TestParamInfo<std::tuple<Length, int32_t>>& info) {
      return std::string(std::get<0>(info.param).path) + "_threads_" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace
