// Figures that read true or are withheld with a warning: closed-form accuracy of single-tone
// analysis on coherent and non-coherent records in every window, bit count and code format; the
// warnings on records that cannot be measured as declared; options, averaging; linearity from
// ramps and sines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <string>

#include "signals.h"

namespace {

constexpr size_t kN = size_t{1} << 20;

// ---- closed-form accuracy --------------------------------------------------------------------

struct Accuracy {
  const char* name;
  int32_t type, bits, format, window;
  double cycles;  // whole: coherent
  double dbfs;    // amplitude
  double snr_db;  // of the added Gaussian noise; 0: quantization alone
  std::vector<sig::Harmonic> harmonics;
};

const std::vector<sig::Harmonic> kLow{{2, -60.0}, {3, -70.0}, {5, -75.0}};
const std::vector<sig::Harmonic> kHigh{{2, -40.0}, {3, -45.0}};
constexpr double kBetween = 16339.37;
constexpr int32_t kD = VRX5200_SAMPLES_DOUBLE, kI = VRX5200_SAMPLES_INT16,
                  kU = VRX5200_SAMPLES_UINT16;
constexpr int32_t kTwos = VRX5200_TWOS_COMPLEMENT, kOffset = VRX5200_OFFSET_BINARY;
constexpr int32_t kRect = VRX5200_WINDOW_RECTANGULAR, kHann = VRX5200_WINDOW_HANN,
                  kBh4 = VRX5200_WINDOW_BLACKMAN_HARRIS_4, kBh7 = VRX5200_WINDOW_BLACKMAN_HARRIS_7;

// Each of these read 8 to 91 dB low, or named the tone's skirt a spur, before the tone was
// fitted and subtracted (all but the coherent ones and the 7-term window's).
const Accuracy kAccuracy[] = {
    {"double16_bh4_coherent_110dB", kD, 16, kTwos, kBh4, 16339, -1, 110, kLow},
    {"double16_bh4_between_110dB", kD, 16, kTwos, kBh4, kBetween, -1, 110, kLow},
    {"double24_bh4_between_110dB", kD, 24, kTwos, kBh4, kBetween, -1, 110, kLow},
    {"double16_rect_between_100dB", kD, 16, kTwos, kRect, kBetween, -1, 100, kLow},
    {"double16_hann_between_100dB", kD, 16, kTwos, kHann, kBetween, -1, 100, kLow},
    {"double16_bh7_between_110dB", kD, 16, kTwos, kBh7, kBetween, -1, 110, kLow},
    {"double16_rect_coherent_90dB", kD, 16, kTwos, kRect, 16339, -1, 90, kLow},
    {"double14_offset_hann_between_40dB", kD, 14, kOffset, kHann, 100003.5, -3, 40, kHigh},
    {"int16_16_bh4_between_quantized", kI, 16, kTwos, kBh4, kBetween, -1, 0, {}},
    {"int16_16_rect_between_quantized", kI, 16, kTwos, kRect, kBetween, -1, 0, {}},
    {"uint16_16_offset_bh7_between_90dB", kU, 16, kOffset, kBh7, kBetween, -1, 90, kLow},
    {"uint16_14_offset_hann_between_80dB", kU, 14, kOffset, kHann, 54321.25, -1, 80, kLow},
    {"int16_12_bh4_between_60dB", kI, 12, kTwos, kBh4, 200001.7, -1, 60, {{2, -45.0}, {3, -50.0}}},
    {"int16_12_rect_between_quantized", kI, 12, kTwos, kRect, 7777.77, -0.5, 0, {}},
};

// The record as its sample type holds it; codes are rounded (their quantization noise is 1/12).
std::vector<uint8_t> record(const Accuracy& c, double& signal, double& noise, double& distortion,
                            double& largest) {
  const double full = std::ldexp(1.0, c.bits - 1);
  const double amplitude = full * std::pow(10.0, c.dbfs / 20);
  signal = amplitude * amplitude / 2;
  const double sigma = c.snr_db > 0 ? std::sqrt(signal / std::pow(10.0, c.snr_db / 10)) : 0.0;
  const std::vector<double> x = sig::tone(kN, c.cycles, amplitude, sigma, c.harmonics);
  noise = sigma * sigma + (c.type == kD ? 0.0 : 1.0 / 12);
  distortion = largest = 0;
  for (const auto& h : c.harmonics) {
    distortion += signal * std::pow(10.0, h.dbc / 10);
    largest = std::max(largest, signal * std::pow(10.0, h.dbc / 10));
  }
  const double shift = c.format == kOffset ? full : 0.0;
  std::vector<uint8_t> bytes(kN * (c.type == kD ? 8 : 2));
  for (size_t i = 0; i < kN; ++i) {
    if (c.type == kD) {
      const double v = x[i] + shift;
      std::memcpy(&bytes[8 * i], &v, 8);
    } else {
      const uint16_t w = static_cast<uint16_t>(std::lround(x[i] + shift));
      std::memcpy(&bytes[2 * i], &w, 2);
    }
  }
  return bytes;
}

class ClosedForm : public ::testing::TestWithParam<Accuracy> {};

// SNR, SINAD, THD and SFDR within 0.1 dB and ENOB within 0.02 bit of the closed form, no
// warning, the tone fitted; the averager reads two such records the same.
TEST_P(ClosedForm, FiguresReadTrue) {
  const Accuracy& c = GetParam();
  double signal = 0, noise = 0, distortion = 0, largest = 0;
  const std::vector<uint8_t> x = record(c, signal, noise, distortion, largest);
  VRX5200ToneConfig config = sig::tone_config(c.window, c.bits);
  config.code_format = c.format;
  VRX5200ToneResult r{};
  VRX5200ToneQuality q{};
  ASSERT_EQ(VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), c.type, kN, &config, nullptr, &r, &q,
                                           nullptr),
            VRX5200_ANALYSIS_OK);
  EXPECT_EQ(q.warnings, 0u) << VRX5200Analysis_Warning_Code(q.warnings);
  EXPECT_EQ(q.method, VRX5200_METHOD_FIT_SUBTRACT);
  EXPECT_NEAR(q.fit_cycles, c.cycles, 1e-4);
  EXPECT_NEAR(r.snr_db, sig::db(signal / noise), 0.1);
  EXPECT_NEAR(q.snr_dbfs, r.snr_db - r.fundamental_dbfs, 1e-9);
  EXPECT_NEAR(r.sinad_db, sig::db(signal / (noise + distortion)), 0.1);
  EXPECT_NEAR(r.enob_bits,
              std::log2(std::ldexp(1.0, c.bits) / std::sqrt(12 * (noise + distortion))), 0.02);
  if (!c.harmonics.empty()) {
    EXPECT_NEAR(r.thd_dbc, sig::db(distortion / signal), 0.1);
    EXPECT_NEAR(r.sfdr_dbc, sig::db(signal / largest), 0.1);
    EXPECT_EQ(r.worst_spur_kind, VRX5200_SPUR_HARMONIC);
  }
  // Two records through the averager: the same figures (the one record twice).
  VRX5200ToneAverager* a = nullptr;
  ASSERT_EQ(VRX5200Analysis_Average_Create(kN, &config, nullptr, 0, &a), VRX5200_ANALYSIS_OK);
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(VRX5200Analysis_Average_Add(a, x.data(), c.type, kN), VRX5200_ANALYSIS_OK);
  VRX5200ToneResult avg{};
  VRX5200ToneQuality aq{};
  ASSERT_EQ(VRX5200Analysis_Average_Result(a, &avg, &aq, nullptr), VRX5200_ANALYSIS_OK);
  VRX5200Analysis_Average_Destroy(a);
  EXPECT_EQ(aq.records, 2u);
  EXPECT_NEAR(avg.snr_db, r.snr_db, 1e-6);
  EXPECT_NEAR(avg.sinad_db, r.sinad_db, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Records, ClosedForm, ::testing::ValuesIn(kAccuracy),
                         [](const ::testing::TestParamInfo<Accuracy>& info) {
                           return std::string(info.param.name);
                         });

// ---- warnings --------------------------------------------------------------------------------

constexpr size_t kShort = size_t{1} << 16;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<int16_t> codes(const std::vector<double>& x) {
  std::vector<int16_t> w(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    w[i] = static_cast<int16_t>(std::clamp(std::lround(x[i]), -32768L, 32767L));
  return w;
}

struct Trouble {
  const char* name;
  std::vector<int16_t> words;  // or doubles, when not empty
  std::vector<double> doubles;
  int32_t bits, window;
  uint32_t warning;       // the flag expected
  bool snr, sinad, enob;  // those expected withheld (NaN)
};

std::vector<Trouble> troubles() {
  std::vector<double> spur = sig::tone(kShort, 1021.3, 20000, 0.5);
  for (size_t i = 0; i < kShort; ++i)
    spur[i] += 2 * std::cos(2 * sig::kPi * 7000.4 * static_cast<double>(i) / kShort);
  return {
      // A tone at bin 3 was read as bin 5, its own skirt.
      {"tone_in_dc_lobe",
       codes(sig::tone(kShort, 3, 10000, 1)),
       {},
       16,
       kBh4,
       VRX5200_WARN_TONE_IN_DC_LOBE,
       true,
       true,
       true},
      {"noise_alone",
       codes(sig::noise(kShort, 100, 3)),
       {},
       16,
       kBh4,
       VRX5200_WARN_NO_TONE,
       true,
       true,
       true},
      // n/4: the third harmonic folds onto the fundamental (SINAD read 82.7 where it is 39).
      {"harmonic_on_fundamental",
       codes(sig::tone(kShort, kShort / 4.0, 10000, 0.5, {{3, -39}})),
       {},
       16,
       kBh4,
       VRX5200_WARN_HARMONIC_ON_TONE,
       false,
       true,
       true},
      {"clipped",
       codes(sig::tone(kShort, 1021.3, 40000, 1)),
       {},
       16,
       kBh4,
       VRX5200_WARN_CLIPPED,
       false,
       false,
       false},
      {"wider_than_declared",
       codes(sig::tone(kShort, 1021.3, 30000, 1)),
       {},
       12,
       kBh4,
       VRX5200_WARN_OUT_OF_RANGE,
       false,
       false,
       false},
      {"leakage_of_a_spur", {}, spur, 16, kRect, VRX5200_WARN_LEAKAGE_LIMITED, true, true, true},
      {"noiseless_doubles",
       {},
       sig::tone(kShort, 1021.3, 20000, 0),
       16,
       kBh4,
       VRX5200_WARN_PRECISION_LIMITED,
       true,
       true,
       true},
      // Noise far below a 16-bit quantizer's: ENOB 23 was printed as fact.
      {"enob_above_bits",
       {},
       sig::tone(kShort, 1021.3, 20000, 1e-3),
       16,
       kBh4,
       VRX5200_WARN_ENOB_ABOVE_BITS,
       false,
       false,
       true},
  };
}

TEST(Warnings, EachTroubleIsFlaggedAndItsFiguresWithheld) {
  for (const Trouble& t : troubles()) {
    const bool words = t.doubles.empty();
    VRX5200ToneConfig config = sig::tone_config(t.window, t.bits);
    VRX5200ToneResult r{};
    VRX5200ToneQuality q{};
    ASSERT_EQ(VRX5200Analysis_Single_Tone_Ex(
                  nullptr, words ? static_cast<const void*>(t.words.data()) : t.doubles.data(),
                  words ? kI : kD, kShort, &config, nullptr, &r, &q, nullptr),
              VRX5200_ANALYSIS_OK)
        << t.name;
    EXPECT_NE(q.warnings & t.warning, 0u) << t.name << ": " << q.warnings;
    EXPECT_EQ(std::isnan(r.snr_db), t.snr) << t.name;
    EXPECT_EQ(std::isnan(r.sinad_db), t.sinad) << t.name;
    EXPECT_EQ(std::isnan(r.enob_bits), t.enob) << t.name;
    // The old entry point withholds the same figures.
    VRX5200ToneResult old{};
    ASSERT_EQ(VRX5200Analysis_Single_Tone(
                  nullptr, words ? static_cast<const void*>(t.words.data()) : t.doubles.data(),
                  words ? kI : kD, kShort, config, &old, nullptr),
              VRX5200_ANALYSIS_OK);
    EXPECT_EQ(std::isnan(old.enob_bits), t.enob) << t.name;
  }
  // A sine that only touches the rails is no clipping.
  const std::vector<int16_t> touching = codes(sig::tone(kShort, 1021.3, 32767, 0));
  VRX5200ToneConfig config = sig::tone_config(kBh4);
  VRX5200ToneResult r{};
  VRX5200ToneQuality q{};
  ASSERT_EQ(VRX5200Analysis_Single_Tone_Ex(nullptr, touching.data(), kI, kShort, &config, nullptr,
                                           &r, &q, nullptr),
            VRX5200_ANALYSIS_OK);
  EXPECT_EQ(q.warnings, 0u);
  EXPECT_NEAR(r.enob_bits, 16, 0.02);
}

// A noiseless tone's THD is the arithmetic's (-300 dBc was printed): withheld; a real harmonic
// above that floor is measured even where the noise is not.
TEST(Warnings, DistortionAtTheFloorIsWithheldARealOneIsNot) {
  const VRX5200ToneConfig config = sig::tone_config(kBh4);
  for (const double harmonic_dbc : {0.0, -90.0}) {
    const std::vector<double> x = harmonic_dbc == 0
                                      ? sig::tone(kShort, 1021.3, 20000, 0)
                                      : sig::tone(kShort, 1021.3, 20000, 0, {{3, harmonic_dbc}});
    VRX5200ToneResult r{};
    VRX5200ToneQuality q{};
    ASSERT_EQ(VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), kD, kShort, &config, nullptr, &r,
                                             &q, nullptr),
              VRX5200_ANALYSIS_OK);
    if (harmonic_dbc == 0) {
      EXPECT_NE(q.warnings & VRX5200_WARN_PRECISION_LIMITED, 0u);
      EXPECT_TRUE(std::isnan(r.thd_dbc)) << r.thd_dbc;
    } else {
      EXPECT_NEAR(r.thd_dbc, harmonic_dbc, 0.1);
    }
  }
}

// Every flag has its own code and sentence; the codes are what front ends print and match.
TEST(Warnings, CodesAndTextsAreDistinct) {
  std::set<std::string> codes_seen, texts;
  for (uint32_t flag = 1; flag <= VRX5200_WARN_ALL; flag <<= 1) {
    EXPECT_TRUE(codes_seen.insert(VRX5200Analysis_Warning_Code(flag)).second) << flag;
    EXPECT_TRUE(texts.insert(VRX5200Analysis_Warning_Text(flag)).second) << flag;
  }
  EXPECT_EQ(std::string(VRX5200Analysis_Warning_Code(VRX5200_WARN_CLIPPED)), "clipped");
  EXPECT_EQ(std::string(VRX5200Analysis_Warning_Code(3)), "unknown");
}

// Input that has no answer is refused with its code, and nothing is written.
TEST(Warnings, BadInputIsRefused) {
  const std::vector<double> tone = sig::tone(4096, 101.3, 1000, 1);
  const std::vector<double> constant(4096, 5.0);
  std::vector<double> huge = tone;
  huge[7] = 1e17;  // its square overflowed the transform: SNR NaN with success
  std::vector<double> nan = tone;
  nan[9] = kNaN;
  VRX5200ToneOptions bad_band{};
  bad_band.version = VRX5200_ANALYSIS_VERSION;
  bad_band.band_low_cycles = 3000;
  bad_band.band_high_cycles = 100;
  VRX5200ToneOptions bad_version{};
  struct Case {
    const double* x;
    uint64_t n;
    int32_t bits;
    double rate;
    const VRX5200ToneOptions* options;
    int32_t expected;
  };
  const Case cases[] = {
      {tone.data(), 0, 16, 0, nullptr, VRX5200_ANALYSIS_TOO_FEW_SAMPLES},
      {tone.data(), 1, 16, 0, nullptr, VRX5200_ANALYSIS_TOO_FEW_SAMPLES},
      {constant.data(), 4096, 16, 0, nullptr, VRX5200_ANALYSIS_CONSTANT_INPUT},
      {nan.data(), 4096, 16, 0, nullptr, VRX5200_ANALYSIS_NOT_FINITE},
      {huge.data(), 4096, 16, 0, nullptr, VRX5200_ANALYSIS_OUT_OF_RANGE},
      {tone.data(), 4096, 0, 0, nullptr, VRX5200_ANALYSIS_BAD_BITS},
      {tone.data(), 4096, 33, 0, nullptr, VRX5200_ANALYSIS_BAD_BITS},
      {tone.data(), 4096, 16, kNaN, nullptr, VRX5200_ANALYSIS_BAD_RATE},
      {tone.data(), 4096, 16, -1, nullptr, VRX5200_ANALYSIS_BAD_RATE},
      {tone.data(), 4096, 16, 0, &bad_band, VRX5200_ANALYSIS_BAD_OPTIONS},
      {tone.data(), 4096, 16, 0, &bad_version, VRX5200_ANALYSIS_BAD_OPTIONS},
  };
  for (const Case& c : cases) {
    VRX5200ToneConfig config = sig::tone_config(kBh4, c.bits, c.rate);
    VRX5200ToneResult r{};
    VRX5200ToneQuality q{};
    EXPECT_EQ(
        VRX5200Analysis_Single_Tone_Ex(nullptr, c.x, kD, c.n, &config, c.options, &r, &q, nullptr),
        c.expected);
    EXPECT_EQ(r.version, 0u);
    EXPECT_EQ(q.version, 0u);
  }
}

// ---- options ---------------------------------------------------------------------------------

// A clock spur named and excluded leaves the noise and the spurs (SNR reads the noise alone); a
// band that leaves it out does the same; a fundamental given a third of a bin off is found and
// refined.
TEST(Options, NamedTonesBandAndGivenFundamental) {
  const double amplitude = 10000, sigma = 0.5, spur_cycles = 23456.5, spur_dbc = -70;
  std::vector<double> x = sig::tone(kShort, 3001.3, amplitude, sigma);
  for (size_t i = 0; i < kShort; ++i) {
    x[i] += amplitude * std::pow(10.0, spur_dbc / 20) *
            std::cos(2 * sig::kPi * spur_cycles * static_cast<double>(i) / kShort);
  }
  const double snr = sig::db(amplitude * amplitude / 2 / (sigma * sigma));
  VRX5200ToneConfig config = sig::tone_config(kBh7, 16, 1e6);
  config.fundamental_cycles = 3001.0;
  VRX5200ToneOptions o{};
  o.version = VRX5200_ANALYSIS_VERSION;
  o.named_count = 1;
  o.named[0] = VRX5200NamedTone{spur_cycles, VRX5200_TONE_EXCLUDE, 0};
  VRX5200ToneResult r{};
  VRX5200ToneQuality q{};
  ASSERT_EQ(
      VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), kD, kShort, &config, &o, &r, &q, nullptr),
      VRX5200_ANALYSIS_OK);
  EXPECT_NEAR(r.tones[0].cycles, 3001.3, 1e-6);
  EXPECT_NEAR(r.snr_db, snr, 0.1);
  EXPECT_EQ(q.named[0].counted, 1);
  EXPECT_NEAR(q.named[0].level_dbc, spur_dbc, 0.1);
  EXPECT_NE(r.worst_spur_bin, static_cast<uint64_t>(spur_cycles));
  // Identified only: it stays in the noise and is the worst spur, by its name.
  o.named[0].action = VRX5200_TONE_IDENTIFY;
  ASSERT_EQ(
      VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), kD, kShort, &config, &o, &r, &q, nullptr),
      VRX5200_ANALYSIS_OK);
  EXPECT_EQ(q.worst_spur_named, 1);
  EXPECT_NEAR(r.sfdr_dbc, -spur_dbc, 0.1);
  EXPECT_LT(r.snr_db, snr - 1);
  // A band below the spur: the noise of the band's bins, scaled to the band.
  o = VRX5200ToneOptions{};
  o.version = VRX5200_ANALYSIS_VERSION;
  o.band_low_cycles = 100;
  o.band_high_cycles = 20000;
  ASSERT_EQ(
      VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), kD, kShort, &config, &o, &r, &q, nullptr),
      VRX5200_ANALYSIS_OK);
  EXPECT_NEAR(r.snr_db, snr + sig::db(kShort / 2.0 / (20000 - 100 + 1)), 0.15);
  EXPECT_EQ(q.band_bins, 20000u - 100 + 1);
  // Nothing near a given fundamental: no tone, not another bin.
  config.fundamental_cycles = 9000;
  ASSERT_EQ(VRX5200Analysis_Single_Tone_Ex(nullptr, x.data(), kD, kShort, &config, nullptr, &r, &q,
                                           nullptr),
            VRX5200_ANALYSIS_OK);
  EXPECT_NE(q.warnings & VRX5200_WARN_NO_TONE, 0u);
  EXPECT_TRUE(std::isnan(r.fundamental_dbfs));
}

// Averaging four records of independent noise: the figures of their pooled noise, and the
// average spectrum kept beside.
TEST(Options, AveragingFourRecords) {
  VRX5200ToneConfig config = sig::tone_config(kBh4);
  VRX5200ToneAverager* a = nullptr;
  ASSERT_EQ(VRX5200Analysis_Average_Create(kShort, &config, nullptr, 1, &a), VRX5200_ANALYSIS_OK);
  VRX5200ToneResult r{};
  EXPECT_EQ(VRX5200Analysis_Average_Result(a, &r, nullptr, nullptr),
            VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH);
  const double sigmas[4] = {1, 2, 3, 4};
  for (int i = 0; i < 4; ++i) {
    const std::vector<double> x =
        sig::tone(kShort, 1234.56, 8000, sigmas[i], {{2, -70}}, 0.3 * i, 100 + i);
    ASSERT_EQ(VRX5200Analysis_Average_Add(a, x.data(), kD, kShort), VRX5200_ANALYSIS_OK);
  }
  EXPECT_EQ(VRX5200Analysis_Average_Add(a, &sigmas, kD, 4), VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH);
  std::vector<double> power(kShort / 2 + 1);
  VRX5200ToneQuality q{};
  ASSERT_EQ(VRX5200Analysis_Average_Result(a, &r, &q, power.data()), VRX5200_ANALYSIS_OK);
  VRX5200Analysis_Average_Destroy(a);
  EXPECT_EQ(q.records, 4u);
  EXPECT_EQ(q.warnings, 0u);
  EXPECT_NEAR(r.snr_db, sig::db(8000.0 * 8000 / 2 / ((1 + 4 + 9 + 16) / 4.0)), 0.05);
  EXPECT_NEAR(r.tones[1].level_dbc, -70, 0.05);
  EXPECT_GT(power[1235], power[2000] * 1e6);
}

// ---- linearity -------------------------------------------------------------------------------

// A 10-bit converter model (transition t[k], a bow and one wide code) driven by a ramp or a sine
// that overdrives both ends, over two records: the shape is detected, DNL and both INLs match
// the model's own; noise is neither shape and is refused.
TEST(Linearity, RampsAndSinesOverRecords) {
  const int bits = 10, codes_n = 1 << bits;
  std::vector<double> t(codes_n + 1);
  for (int k = 1; k < codes_n; ++k) t[k] = (k - 512) + 0.8 * std::sin(sig::kPi * k / codes_n);
  t[301] += 0.3;  // code 300 wide by 0.3 LSB, 301 narrow by as much
  const auto quantize = [&](double v) {
    return static_cast<uint16_t>(std::upper_bound(t.begin() + 1, t.begin() + codes_n, v) -
                                 (t.begin() + 1));
  };
  const size_t n = size_t{1} << 19;
  // Model figures: end-point (first and last transitions) and best-fit lines.
  const double lsb = (t[codes_n - 1] - t[1]) / (codes_n - 2);
  for (int32_t shape : {VRX5200_SHAPE_RAMP, VRX5200_SHAPE_SINE}) {
    VRX5200Histogram* h = nullptr;
    ASSERT_EQ(VRX5200Analysis_Histogram_Create(bits, kOffset, &h), VRX5200_ANALYSIS_OK);
    for (int part = 0; part < 2; ++part) {
      std::vector<uint16_t> w(n);
      for (size_t i = 0; i < n; ++i) {
        const double u = (static_cast<double>(i) + 0.5 * part) / static_cast<double>(n);
        const double v = shape == VRX5200_SHAPE_RAMP
                             ? -515 + 1030 * u
                             : 0.3 + 516 * std::sin(2 * sig::kPi * 4099 * u + part);
        w[i] = quantize(v);
      }
      ASSERT_EQ(VRX5200Analysis_Histogram_Add(h, w.data(), kU, n), VRX5200_ANALYSIS_OK);
    }
    std::vector<double> dnl(codes_n), inl(codes_n), best(codes_n);
    VRX5200LinearityResult r{};
    ASSERT_EQ(
        VRX5200Analysis_Linearity(h, VRX5200_SHAPE_AUTO, dnl.data(), inl.data(), best.data(), &r),
        VRX5200_ANALYSIS_OK);
    VRX5200Analysis_Histogram_Destroy(h);
    EXPECT_EQ(r.shape, shape);
    EXPECT_EQ(r.samples, 2 * n);
    EXPECT_EQ(r.warnings, 0u);
    EXPECT_EQ(r.missing_codes, 0u);
    EXPECT_EQ(r.first_code, 0u);
    EXPECT_EQ(r.last_code, static_cast<uint32_t>(codes_n - 1));
    double worst = 0, model_inl = 0;
    for (int k = 2; k < codes_n - 1; ++k) {
      const double model = (t[k] - t[1]) / lsb - (k - 1);
      model_inl = std::max(model_inl, model);
      worst = std::max(worst, std::fabs(dnl[k] - ((t[k + 1] - t[k]) / lsb - 1)));
      worst = std::max(worst, std::fabs(inl[k] - model));
    }
    EXPECT_LT(worst, 0.05) << shape;
    EXPECT_NEAR(dnl[300], 0.3, 0.05);
    EXPECT_NEAR(r.inl_end_point_max_lsb, model_inl, 0.05);
    // The bow seen from the best-fit line: about half of it either way.
    EXPECT_LT(std::max(r.inl_best_fit_max_lsb, -r.inl_best_fit_min_lsb),
              0.75 * r.inl_end_point_max_lsb);
    EXPECT_GT(r.inl_best_fit_max_lsb, 0.2);
    EXPECT_LT(r.inl_best_fit_min_lsb, -0.2);
  }
  // Gaussian noise: neither a ramp's histogram nor a sine's.
  VRX5200Histogram* h = nullptr;
  ASSERT_EQ(VRX5200Analysis_Histogram_Create(bits, kTwos, &h), VRX5200_ANALYSIS_OK);
  const std::vector<int16_t> noise = codes(sig::noise(n, 100, 9));
  ASSERT_EQ(VRX5200Analysis_Histogram_Add(h, noise.data(), kI, n), VRX5200_ANALYSIS_OK);
  VRX5200LinearityResult r{};
  EXPECT_EQ(VRX5200Analysis_Linearity(h, VRX5200_SHAPE_AUTO, nullptr, nullptr, nullptr, &r),
            VRX5200_ANALYSIS_UNKNOWN_SHAPE);
  EXPECT_EQ(VRX5200Analysis_Histogram_Add(h, noise.data(), kD, n),
            VRX5200_ANALYSIS_BAD_SAMPLE_TYPE);
  VRX5200Analysis_Histogram_Destroy(h);
}

}  // namespace
