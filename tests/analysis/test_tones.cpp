// Code formats, aliased harmonics, the worst spur's name, windows' figures and two-tone
// intermodulation against closed forms.
#include <gtest/gtest.h>

#include <string>

#include "signals.h"

namespace {

constexpr size_t kN = size_t{1} << 16;

VRX5200ToneResult analyse(const void* samples, int32_t type, size_t n, VRX5200ToneConfig config) {
  VRX5200ToneResult r{};
  EXPECT_EQ(VRX5200Analysis_Single_Tone(nullptr, samples, type, n, config, &r, nullptr),
            VRX5200_ANALYSIS_OK);
  return r;
}

// The same 12-bit codes as two's complement int16 values, as two's complement codes in uint16
// words with other bits above them, and as offset-binary words give the same figures; full scale
// is the declared 12 bits, not the record's peak.
TEST(CodeFormats, TheSameCodesReadTheSameInEveryFormat) {
  const std::vector<double> x = sig::tone(kN, 1021, 1500.0, 1.5);
  std::vector<int16_t> twos(kN);
  std::vector<uint16_t> tagged(kN), offset(kN);
  for (size_t i = 0; i < kN; ++i) {
    const long v = std::lround(x[i]);
    twos[i] = static_cast<int16_t>(v);
    tagged[i] = static_cast<uint16_t>((v & 0xFFF) | 0xA000);  // bits above the code are not read
    offset[i] = static_cast<uint16_t>(v + 2048);
  }
  VRX5200ToneConfig config = sig::tone_config(VRX5200_WINDOW_BLACKMAN_HARRIS_7, 12);
  const VRX5200ToneResult a = analyse(twos.data(), VRX5200_SAMPLES_INT16, kN, config);
  const VRX5200ToneResult b = analyse(tagged.data(), VRX5200_SAMPLES_UINT16, kN, config);
  config.code_format = VRX5200_OFFSET_BINARY;
  const VRX5200ToneResult c = analyse(offset.data(), VRX5200_SAMPLES_UINT16, kN, config);
  EXPECT_EQ(a.snr_db, b.snr_db);
  EXPECT_NEAR(a.snr_db, c.snr_db, 1e-9);
  EXPECT_NEAR(a.fundamental_dbfs, 20 * std::log10(1500.0 / 2048), 0.01);
  EXPECT_NEAR(c.fundamental_dbfs, 20 * std::log10(1500.0 / 2048), 0.01);
  EXPECT_NEAR(c.dc_codes, a.dc_codes, 1e-9);
  // Noise 1.5 codes RMS plus the quantization's 1/12.
  EXPECT_NEAR(a.snr_db, sig::db(1500.0 * 1500 / 2 / (1.5 * 1.5 + 1.0 / 12)), 0.1);
}

// A tone at 0.3 of the sample rate: harmonic 2 at 0.6 folds to 0.4, harmonic 3 at 0.9 to 0.1,
// harmonic 4 at 1.2 to 0.2, harmonic 5 at 1.5 to 0.5 (Nyquist).
TEST(Harmonics, AliasAboutTheSampleRate) {
  const double cycles = 19661;  // about 0.3 n
  const std::vector<double> x =
      sig::tone(kN, cycles, 10000.0, 0.05, {{2, -60.0}, {3, -66.0}, {4, -72.0}});
  VRX5200ToneConfig config = sig::tone_config(VRX5200_WINDOW_BLACKMAN_HARRIS_7, 16, 100e6);
  const VRX5200ToneResult r = analyse(x.data(), VRX5200_SAMPLES_DOUBLE, kN, config);
  const double expected[] = {0, 2 * cycles, 3 * cycles, 4 * cycles, 5 * cycles};
  for (int h = 2; h <= 4; ++h) {
    double f = std::fmod(expected[h - 1], static_cast<double>(kN));
    if (f > kN / 2.0) f = kN - f;
    EXPECT_NEAR(r.tones[h - 1].cycles, f, 1e-6) << h;
    EXPECT_EQ(r.tones[h - 1].bin, static_cast<uint64_t>(f)) << h;
    EXPECT_NEAR(r.tones[h - 1].frequency_hz, f * 100e6 / kN, 1e-3) << h;
    EXPECT_NEAR(r.tones[h - 1].level_dbc, -60.0 - 6.0 * (h - 2), 0.05) << h;
  }
  EXPECT_EQ(r.worst_spur_kind, VRX5200_SPUR_HARMONIC);
  EXPECT_EQ(r.worst_spur_order, 2);
  EXPECT_EQ(r.worst_spur_bin, static_cast<uint64_t>(kN - 2 * cycles));
}

// A harmonic that lands on the fundamental or on DC is not counted (and says so): at n/4 the
// second harmonic is Nyquist, the third folds onto the fundamental, the fourth onto DC.
TEST(Harmonics, ThoseOnOtherTonesAreNotCounted) {
  const std::vector<double> x = sig::tone(kN, kN / 4.0, 10000.0, 0.5, {{2, -60.0}});
  const VRX5200ToneResult r =
      analyse(x.data(), VRX5200_SAMPLES_DOUBLE, kN, sig::tone_config(VRX5200_WINDOW_HANN));
  EXPECT_EQ(r.tones[1].counted, 1);
  EXPECT_EQ(r.tones[1].bin, kN / 2);
  EXPECT_EQ(r.tones[2].counted, 0);
  EXPECT_EQ(r.tones[3].counted, 0);
  EXPECT_EQ(r.tones[4].counted, 0);
  EXPECT_EQ(r.harmonics_counted, 1);
}

// A spur that is no harmonic, above the harmonics, is the worst spur and is named as such.
TEST(WorstSpur, ANonHarmonicSpurIsNamed) {
  std::vector<double> x = sig::tone(kN, 1021, 10000.0, 0.5, {{2, -80.0}});
  const double spur_cycles = 7777;
  for (size_t i = 0; i < kN; ++i)
    x[i] += 10000.0 * std::pow(10.0, -72.0 / 20) * std::sin(2 * sig::kPi * spur_cycles * i / kN);
  const VRX5200ToneResult r = analyse(x.data(), VRX5200_SAMPLES_DOUBLE, kN,
                                      sig::tone_config(VRX5200_WINDOW_BLACKMAN_HARRIS_4, 16, 1e6));
  EXPECT_EQ(r.worst_spur_kind, VRX5200_SPUR_OTHER);
  EXPECT_EQ(r.worst_spur_order, 0);
  EXPECT_EQ(r.worst_spur_bin, 7777u);
  EXPECT_NEAR(r.worst_spur_cycles, spur_cycles, 0.01);  // the lobe centroid, noise and all
  EXPECT_NEAR(r.worst_spur_hz, r.worst_spur_cycles * 1e6 / kN, 1e-6);
  EXPECT_NEAR(r.sfdr_dbc, 72.0, 0.05);
}

// Each window's coherent gain (a0) and equivalent noise bandwidth (a0^2 + sum a_k^2 / 2) / a0^2,
// and a coherent full-scale-relative tone reads its level through any of them.
struct WindowFigures {
  int32_t window;
  int32_t lobe;
  double gain, enbw;
};
class Windows : public ::testing::TestWithParam<WindowFigures> {};

TEST_P(Windows, GainBandwidthAndLobe) {
  const WindowFigures w = GetParam();
  VRX5200WindowInfo info{};
  ASSERT_EQ(VRX5200Analysis_Window_Info(w.window, &info), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(info.lobe_half_width_bins, w.lobe);
  EXPECT_NEAR(info.coherent_gain, w.gain, 1e-12);
  EXPECT_NEAR(info.enbw_bins, w.enbw, 1e-4);
  // The spectrum's bins around a coherent tone sum to its power A^2 / 2 (Parseval) in any window.
  const std::vector<double> x = sig::tone(kN, 3001, 12345.0, 0.0);
  std::vector<double> power(kN / 2 + 1);
  VRX5200ToneConfig config = sig::tone_config(w.window);
  ASSERT_EQ(VRX5200Analysis_Power_Spectrum(nullptr, x.data(), VRX5200_SAMPLES_DOUBLE, kN, config,
                                           power.data()),
            VRX5200_ANALYSIS_OK);
  double lobe = 0;
  for (int k = -w.lobe; k <= w.lobe; ++k) lobe += power[static_cast<size_t>(3001 + k)];
  EXPECT_NEAR(lobe / (12345.0 * 12345.0 / 2), 1.0, 1e-6);
  // Its peak bin reads the power divided by the ENBW.
  EXPECT_NEAR(power[3001] * w.enbw / (12345.0 * 12345.0 / 2), 1.0, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(All, Windows,
                         ::testing::Values(WindowFigures{VRX5200_WINDOW_RECTANGULAR, 1, 1.0, 1.0},
                                           WindowFigures{VRX5200_WINDOW_HANN, 2, 0.5, 1.5},
                                           WindowFigures{VRX5200_WINDOW_BLACKMAN_HARRIS_4, 4,
                                                         0.35875, 2.0044},
                                           WindowFigures{VRX5200_WINDOW_BLACKMAN_HARRIS_7, 7,
                                                         0.27105140069342, 2.63191}),
                         [](const ::testing::TestParamInfo<WindowFigures>& info) {
                           return std::string(sig::window_name(info.param.window));
                         });

// Two tones of powers P1, P2 with products of known level: IMD = 10 log10(products / (P1 + P2)).
class TwoTone : public ::testing::TestWithParam<int32_t> {};

TEST_P(TwoTone, IntermodulationMatchesTheClosedForm) {
  const double f1 = 5003, f2 = 5501, a1 = 8000, a2 = 6000;
  const double products[6] = {f2 - f1, f1 + f2, 2 * f1 - f2, 2 * f2 - f1, 2 * f1 + f2, 2 * f2 + f1};
  const double levels_dbc[6] = {-70, -75, -80, -82, -90, -95};  // against P1 + P2
  const double both = (a1 * a1 + a2 * a2) / 2;
  std::vector<double> x = sig::noise(kN, 0.05, 7);
  for (size_t i = 0; i < kN; ++i) {
    const double t = 2 * sig::kPi * static_cast<double>(i) / kN;
    x[i] += a1 * std::cos(f1 * t + 0.1) + a2 * std::cos(f2 * t + 0.9);
    for (int p = 0; p < 6; ++p)
      x[i] +=
          std::sqrt(2 * both * std::pow(10.0, levels_dbc[p] / 10)) * std::cos(products[p] * t + p);
  }
  VRX5200TwoToneConfig config{};
  config.bits = 16;
  config.window = GetParam();
  config.rate_hz = 1e6;
  VRX5200TwoToneResult r{};
  ASSERT_EQ(VRX5200Analysis_Two_Tone(nullptr, x.data(), VRX5200_SAMPLES_DOUBLE, kN, config, &r),
            VRX5200_ANALYSIS_OK);
  EXPECT_NEAR(r.tones[0].cycles, f1, 1e-6);
  EXPECT_NEAR(r.tones[1].cycles, f2, 1e-6);
  EXPECT_NEAR(r.tones[0].power_dbfs, sig::db(a1 * a1 / 2 / (32768.0 * 32768 / 2)), 0.01);
  double order2 = 0, order3 = 0;
  for (int p = 0; p < 6; ++p) {
    EXPECT_EQ(r.products[p].counted, 1) << p;
    EXPECT_NEAR(r.products[p].cycles, products[p], 1e-6) << p;
    EXPECT_NEAR(r.products[p].frequency_hz, products[p] * 1e6 / kN, 1e-3) << p;
    EXPECT_NEAR(r.products[p].level_dbc, levels_dbc[p], 0.05) << p;
    (p < 2 ? order2 : order3) += std::pow(10.0, levels_dbc[p] / 10);
  }
  EXPECT_EQ(r.imd2_measured, 1);
  EXPECT_EQ(r.imd3_measured, 1);
  EXPECT_NEAR(r.imd2_dbc, sig::db(order2), 0.05);
  EXPECT_NEAR(r.imd3_dbc, sig::db(order3), 0.05);
}

INSTANTIATE_TEST_SUITE_P(Windows, TwoTone,
                         ::testing::Values(VRX5200_WINDOW_RECTANGULAR, VRX5200_WINDOW_HANN,
                                           VRX5200_WINDOW_BLACKMAN_HARRIS_4,
                                           VRX5200_WINDOW_BLACKMAN_HARRIS_7),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return std::string(sig::window_name(info.param));
                         });

// An analyzer gives the same figures as a call without one, for every record of its length.
TEST(Analyzer, RepeatedAnalysesMatchOneOffOnes) {
  VRX5200Analyzer* analyzer = nullptr;
  ASSERT_EQ(VRX5200Analysis_Create(kN, 0, &analyzer), VRX5200_ANALYSIS_OK);
  for (double cycles : {1021.0, 2039.0}) {
    const std::vector<double> x = sig::tone(kN, cycles, 9000.0, 2.0);
    const VRX5200ToneConfig config = sig::tone_config(VRX5200_WINDOW_BLACKMAN_HARRIS_4);
    VRX5200ToneResult with{}, without{};
    ASSERT_EQ(VRX5200Analysis_Single_Tone(analyzer, x.data(), VRX5200_SAMPLES_DOUBLE, kN, config,
                                          &with, nullptr),
              0);
    ASSERT_EQ(VRX5200Analysis_Single_Tone(nullptr, x.data(), VRX5200_SAMPLES_DOUBLE, kN, config,
                                          &without, nullptr),
              0);
    EXPECT_EQ(with.snr_db, without.snr_db);
    EXPECT_EQ(with.tones[0].bin, static_cast<uint64_t>(cycles));
  }
  VRX5200Analysis_Destroy(analyzer);
}

}  // namespace
