// Single-tone metrics against their closed forms: a tone of amplitude A (signal A^2/2), white
// noise of variance s^2 and harmonics of known level give
//   SNR = 10 log10(A^2/2 / s^2), THD = 10 log10(sum of harmonic ratios),
//   SINAD = 10 log10(A^2/2 / (s^2 + harmonic powers)), SFDR = the largest harmonic's -dBc,
//   ENOB = log2(2^bits / (sqrt(s^2 + harmonic powers) sqrt 12)).
// Tolerances: 0.05 dB and 0.01 bit. On 2^20 samples the windowed noise estimate of one record
// scatters by about 0.01 dB (sqrt(2 x 1.9 / 2^20) in power), so the tolerance is five of those.
// A harmonic's lobe also holds noise, which beats with it: its level scatters by about
// sqrt(2 P_lobe_noise / P_harmonic), so each case puts its harmonics 55 dB or more above the
// noise in their lobes.
#include <gtest/gtest.h>

#include <string>

#include "signals.h"

namespace {

constexpr size_t kN = size_t{1} << 20;
constexpr double kFull = 32768.0;  // 16 bits

struct Case {
  int32_t window;
  double cycles;  // whole: coherent; else not
  double sigma;   // noise RMS in codes
  std::vector<sig::Harmonic> harmonics;
};

const std::vector<sig::Harmonic> kHarmonics{{2, -60.0}, {3, -70.0}, {5, -75.0}};

// Rectangular and Hann windows measure coherent tones only: a tone between bins leaks side lobes
// (-13 and -31 dB) far above any noise floor. The 4-term Blackman-Harris window's side lobes at
// -92 dB keep a non-coherent tone's leakage 35 dB below a noise floor at SNR 51.5 dB; the 7-term
// window's (-180 dB) below any floor a 16-bit record has.
const Case kCases[] = {
    {VRX5200_WINDOW_RECTANGULAR, 16339, 0.3, kHarmonics},
    {VRX5200_WINDOW_HANN, 16339, 0.3, kHarmonics},
    {VRX5200_WINDOW_BLACKMAN_HARRIS_4, 16339, 0.3, kHarmonics},
    {VRX5200_WINDOW_BLACKMAN_HARRIS_7, 16339, 0.3, kHarmonics},
    {VRX5200_WINDOW_BLACKMAN_HARRIS_4, 16339.37, 30.0, {{2, -40.0}, {3, -45.0}}},
    {VRX5200_WINDOW_BLACKMAN_HARRIS_7, 16339.37, 0.3, kHarmonics},
    {VRX5200_WINDOW_BLACKMAN_HARRIS_7, 100003.5, 0.3, kHarmonics},
};

class SingleTone : public ::testing::TestWithParam<Case> {};

TEST_P(SingleTone, MetricsMatchTheClosedForm) {
  const Case& c = GetParam();
  const double amplitude = 0.5 * kFull;
  const std::vector<sig::Harmonic>& harmonics = c.harmonics;
  const std::vector<double> x = sig::tone(kN, c.cycles, amplitude, c.sigma, harmonics);
  const double rate = 250e6;
  VRX5200ToneResult r{};
  ASSERT_EQ(VRX5200Analysis_Single_Tone(nullptr, x.data(), VRX5200_SAMPLES_DOUBLE, kN,
                                        sig::tone_config(c.window, 16, rate), &r, nullptr),
            VRX5200_ANALYSIS_OK);
  // The same bits on one thread and on two (sums over the same parts).
  for (int32_t threads : {1, 2}) {
    VRX5200Analyzer* analyzer = nullptr;
    ASSERT_EQ(VRX5200Analysis_Create(kN, threads, &analyzer), VRX5200_ANALYSIS_OK);
    VRX5200ToneResult again{};
    ASSERT_EQ(VRX5200Analysis_Single_Tone(analyzer, x.data(), VRX5200_SAMPLES_DOUBLE, kN,
                                          sig::tone_config(c.window, 16, rate), &again, nullptr),
              VRX5200_ANALYSIS_OK);
    VRX5200Analysis_Destroy(analyzer);
    const double figures[][2] = {{r.snr_db, again.snr_db},
                                 {r.sinad_db, again.sinad_db},
                                 {r.thd_dbc, again.thd_dbc},
                                 {r.sfdr_dbc, again.sfdr_dbc},
                                 {r.noise_floor_dbfs, again.noise_floor_dbfs},
                                 {r.tones[0].cycles, again.tones[0].cycles}};
    for (const auto& f : figures) EXPECT_EQ(f[0], f[1]) << threads << " thread(s)";
  }
  const double signal = amplitude * amplitude / 2;
  const double noise = c.sigma * c.sigma;
  double distortion = 0;
  for (const auto& h : harmonics) distortion += signal * std::pow(10.0, h.dbc / 10);

  EXPECT_EQ(r.version, static_cast<uint32_t>(VRX5200_ANALYSIS_VERSION));
  EXPECT_NEAR(r.tones[0].cycles, c.cycles, 0.05);
  EXPECT_NEAR(r.fundamental_dbfs, sig::db(signal / (kFull * kFull / 2)), 0.05);
  EXPECT_NEAR(r.snr_db, sig::db(signal / noise), 0.05);
  EXPECT_NEAR(r.sinad_db, sig::db(signal / (noise + distortion)), 0.05);
  EXPECT_NEAR(r.thd_dbc, sig::db(distortion / signal), 0.05);
  EXPECT_EQ(r.thd_measured, 1);
  EXPECT_NEAR(r.sfdr_dbc, -harmonics[0].dbc, 0.05);
  EXPECT_EQ(r.worst_spur_kind, VRX5200_SPUR_HARMONIC);
  EXPECT_EQ(r.worst_spur_order, 2);
  EXPECT_NEAR(r.enob_bits, std::log2(65536 / (std::sqrt(noise + distortion) * std::sqrt(12.0))),
              0.01);
  // Noise spectral density: s^2 spread over half the sample rate, against a full-scale sine.
  EXPECT_NEAR(r.nsd_dbfs_hz, sig::db(noise / (kFull * kFull / 2) / (rate / 2)), 0.05);
  EXPECT_NEAR(r.noise_dbfs, sig::db(noise / (kFull * kFull / 2)), 0.05);
  for (const auto& h : harmonics) {
    const VRX5200ToneRecord& t = r.tones[h.order - 1];
    EXPECT_EQ(t.counted, 1);
    EXPECT_EQ(t.order, h.order);
    EXPECT_NEAR(t.level_dbc, h.dbc, 0.05) << "harmonic " << h.order;
    EXPECT_NEAR(t.frequency_hz, t.cycles * rate / kN, 1e-6);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, SingleTone, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(sig::window_name(info.param.window)) +
                                  (info.param.cycles == std::floor(info.param.cycles)
                                       ? "_coherent"
                                       : "_between_bins") +
                                  "_" + std::to_string(info.index);
                         });

// An ideal N-bit quantizer: a coherent sine of amplitude A quantized to codes has SNR
// 10 log10(A^2/2 / (1/12)), 6.02 N + 1.76 dB at full scale.
class IdealQuantizer : public ::testing::TestWithParam<int32_t> {};

TEST_P(IdealQuantizer, SnrOfAQuantizedSine) {
  const int32_t bits = 12;
  const double amplitude = std::ldexp(1.0, bits - 1) - 0.6;
  std::vector<int16_t> codes(kN);
  for (size_t i = 0; i < kN; ++i) {
    codes[i] = static_cast<int16_t>(std::lround(
        amplitude * std::sin(2 * sig::kPi * 65537.0 * static_cast<double>(i) / kN + 0.1)));
  }
  VRX5200ToneConfig config = sig::tone_config(GetParam(), bits);
  VRX5200ToneResult r{};
  ASSERT_EQ(VRX5200Analysis_Single_Tone(nullptr, codes.data(), VRX5200_SAMPLES_INT16, kN, config,
                                        &r, nullptr),
            VRX5200_ANALYSIS_OK);
  EXPECT_NEAR(r.sinad_db, sig::db(amplitude * amplitude / 2 * 12), 0.05);
  // Referred to full scale, an ideal quantizer's noise (1/12 code squared) is worth its bits.
  EXPECT_NEAR(r.enob_bits, bits, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Windows, IdealQuantizer,
                         ::testing::Values(VRX5200_WINDOW_RECTANGULAR, VRX5200_WINDOW_HANN,
                                           VRX5200_WINDOW_BLACKMAN_HARRIS_4,
                                           VRX5200_WINDOW_BLACKMAN_HARRIS_7),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return std::string(sig::window_name(info.param));
                         });

}  // namespace
