// Sine fits on noiseless and noisy records, and the code-density test on a 12-bit converter
// model with a known nonlinearity.
#include <gtest/gtest.h>

#include <algorithm>

#include "signals.h"

namespace {

struct FitCase {
  int32_t parameters;
  size_t n;
  double cycles;  // the record's true frequency
  double start;   // the frequency the fit is given (0: from the spectrum)
};

class SineFit : public ::testing::TestWithParam<FitCase> {};

// Noiseless: every parameter within 1e-9 relative (phase within 1e-9 rad, offset within 1e-9 of
// the amplitude).
TEST_P(SineFit, NoiselessRecordsGiveTheParametersBack) {
  const FitCase c = GetParam();
  const double amplitude = 12345.678, phase = -2.2, offset = 37.25;
  std::vector<double> x(c.n);
  for (size_t i = 0; i < c.n; ++i) {
    x[i] = amplitude * std::cos(2 * sig::kPi * c.cycles * static_cast<double>(i) /
                                    static_cast<double>(c.n) +
                                phase) +
           offset;
  }
  VRX5200FitConfig config{};
  config.bits = 16;
  config.parameters = c.parameters;
  config.rate_hz = 1e6;
  config.frequency_cycles = c.start;
  VRX5200FitResult r{};
  ASSERT_EQ(VRX5200Analysis_Sine_Fit(x.data(), VRX5200_SAMPLES_DOUBLE, c.n, config, &r),
            VRX5200_ANALYSIS_OK);
  EXPECT_NEAR(r.amplitude_codes / amplitude, 1.0, 1e-9);
  EXPECT_NEAR(r.frequency_cycles / c.cycles, 1.0, 1e-9);
  EXPECT_NEAR(r.frequency_hz, r.frequency_cycles * 1e6 / static_cast<double>(c.n), 1e-6);
  EXPECT_NEAR(r.phase_rad, phase, 1e-9);
  EXPECT_NEAR((r.offset_codes - offset) / amplitude, 0.0, 1e-9);
  EXPECT_LT(r.residual_rms_codes / amplitude, 1e-9);
  EXPECT_GT(r.sinad_db, 180.0);
}

INSTANTIATE_TEST_SUITE_P(Fits, SineFit,
                         ::testing::Values(FitCase{3, 4096, 101.0, 101.0},
                                           FitCase{3, 100000, 1234.5678, 1234.5678},
                                           FitCase{4, 4096, 101.37, 101.0},
                                           FitCase{4, 100000, 1234.5678, 0},
                                           FitCase{4, 1 << 20, 16339.123, 0}));

// With white noise of variance s^2 the residual is the noise: RMS s, SINAD and ENOB from it.
TEST(SineFitNoise, TheResidualIsTheNoise) {
  const size_t n = 1 << 18;
  const double sigma = 2.0, amplitude = 20000.0;
  const std::vector<double> x = sig::tone(n, 3001.4, amplitude, sigma);
  VRX5200FitConfig config{};
  config.bits = 16;
  config.parameters = 4;
  VRX5200FitResult r{};
  ASSERT_EQ(VRX5200Analysis_Sine_Fit(x.data(), VRX5200_SAMPLES_DOUBLE, n, config, &r),
            VRX5200_ANALYSIS_OK);
  // Four fitted parameters take 4 degrees of freedom of n: the residual's power is s^2 (n-4)/n.
  EXPECT_NEAR(r.residual_rms_codes, sigma, 1e-4);
  EXPECT_NEAR(r.sinad_db, 20 * std::log10(amplitude / std::sqrt(2.0) / sigma), 0.001);
  EXPECT_NEAR(r.enob_bits, std::log2(65536 / (sigma * std::sqrt(12.0))), 0.001);
  EXPECT_NEAR(r.frequency_cycles, 3001.4, 1e-4);
}

// A 12-bit converter model: code k covers inputs from transition t[k] to t[k+1] (in LSB, code
// k's ideal start k - 2048), with a bowed INL, one wide code, one narrow one and a missing one.
// A coherent sine (prime cycles in 2^20 samples) spreads its phases evenly, so the histogram is
// the arcsine law to within a count per code; the measured DNL and INL must match the model's
// own, endpoint-fitted, to 0.05 LSB.
TEST(CodeDensity, InjectedNonlinearityIsMeasured) {
  const int bits = 12, codes = 1 << bits;
  std::vector<double> t(codes + 1);
  for (int k = 1; k < codes; ++k) {
    t[k] = (k - 2048) + 0.6 * std::sin(sig::kPi * k / codes);  // bow: INL up to 0.6 LSB
  }
  t[1001] += 0.4;     // code 1000 wide by 0.4 LSB, code 1001 narrow by as much
  t[3001] = t[3000];  // code 3000 missing: no width at all
  const size_t n = size_t{1} << 20;
  const double amplitude = 2052.0, offset = 0.3;  // overdrives both ends
  std::vector<uint16_t> words(n);
  for (size_t i = 0; i < n; ++i) {
    const double v =
        offset + amplitude * std::sin(2 * sig::kPi * 65537.0 * static_cast<double>(i) / n);
    const int code =
        static_cast<int>(std::upper_bound(t.begin() + 1, t.begin() + codes, v) - (t.begin() + 1));
    words[i] = static_cast<uint16_t>(code);  // offset binary
  }
  std::vector<double> dnl(codes), inl(codes);
  VRX5200CodeDensityResult r{};
  ASSERT_EQ(VRX5200Analysis_Code_Density(words.data(), VRX5200_SAMPLES_UINT16, n, bits,
                                         VRX5200_OFFSET_BINARY, dnl.data(), inl.data(), &r),
            VRX5200_ANALYSIS_OK);
  EXPECT_EQ(r.first_code, 0u);
  EXPECT_EQ(r.last_code, static_cast<uint32_t>(codes - 1));
  EXPECT_EQ(r.missing_codes, 1u);
  // The model's own figures, with the same endpoint fit.
  const double lsb = (t[codes - 1] - t[1]) / (codes - 2);
  double worst_dnl = 0, worst_inl = 0;
  for (int k = 1; k < codes - 1; ++k) {
    const double expected = (t[k + 1] - t[k]) / lsb - 1;
    worst_dnl = std::max(worst_dnl, std::fabs(dnl[static_cast<size_t>(k)] - expected));
  }
  for (int k = 1; k < codes; ++k) {
    const double expected = (t[k] - t[1]) / lsb - (k - 1);
    worst_inl = std::max(worst_inl, std::fabs(inl[static_cast<size_t>(k)] - expected));
  }
  EXPECT_LT(worst_dnl, 0.05);
  EXPECT_LT(worst_inl, 0.05);
  EXPECT_NEAR(dnl[1000], 0.4, 0.05);
  EXPECT_NEAR(dnl[1001], -0.4, 0.05);
  EXPECT_EQ(dnl[3000], -1.0);
  // Two's complement words of the same codes give the same answer.
  std::vector<int16_t> twos(n);
  for (size_t i = 0; i < n; ++i) twos[i] = static_cast<int16_t>(words[i] - 2048);
  std::vector<double> dnl2(codes);
  VRX5200CodeDensityResult r2{};
  ASSERT_EQ(VRX5200Analysis_Code_Density(twos.data(), VRX5200_SAMPLES_INT16, n, bits,
                                         VRX5200_TWOS_COMPLEMENT, dnl2.data(), nullptr, &r2),
            VRX5200_ANALYSIS_OK);
  EXPECT_EQ(dnl, dnl2);
}

}  // namespace
