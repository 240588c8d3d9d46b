// Coherent frequencies, DAC patterns read back through the analysis, and refusals of input that
// has no answer.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "signals.h"

extern "C" size_t vrx5200_analysis_c_sizes(size_t* sizes);

namespace {

// The records have one layout in C and in C++.
TEST(Header, RecordsAreTheSameInC) {
  size_t c[13];
  ASSERT_EQ(vrx5200_analysis_c_sizes(c), 13u);
  const size_t cpp[13] = {
      sizeof(VRX5200WindowInfo),     sizeof(VRX5200ToneConfig),        sizeof(VRX5200ToneResult),
      sizeof(VRX5200TwoToneConfig),  sizeof(VRX5200TwoToneResult),     sizeof(VRX5200FitConfig),
      sizeof(VRX5200FitResult),      sizeof(VRX5200CodeDensityResult), sizeof(VRX5200SignalConfig),
      sizeof(VRX5200SignalResult),   sizeof(VRX5200ToneOptions),       sizeof(VRX5200ToneQuality),
      sizeof(VRX5200LinearityResult)};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(c[i], cpp[i]) << i;
  // The records the Python package and the tool read today keep their layout.
  EXPECT_EQ(sizeof(VRX5200ToneResult), 1384u);
  EXPECT_EQ(sizeof(VRX5200ToneConfig), 40u);
}

bool is_prime(uint64_t v) {
  if (v < 2) return false;
  for (uint64_t d = 2; d * d <= v; ++d) {
    if (v % d == 0) return false;
  }
  return true;
}

struct CoherentCase {
  double rate, wanted;
  uint64_t n;
};
class Coherent : public ::testing::TestWithParam<CoherentCase> {};

// The answer is a prime cycle count without common factors with n, and no such count lies nearer.
TEST_P(Coherent, NearestPrimeCycleCount) {
  const CoherentCase c = GetParam();
  uint64_t cycles = 0;
  double hz = 0;
  ASSERT_EQ(VRX5200Analysis_Coherent_Frequency(c.rate, c.n, c.wanted, &cycles, &hz),
            VRX5200_ANALYSIS_OK);
  EXPECT_TRUE(is_prime(cycles));
  EXPECT_NE(c.n % cycles, 0u);
  EXPECT_LT(cycles, c.n / 2);
  EXPECT_DOUBLE_EQ(hz, static_cast<double>(cycles) * c.rate / static_cast<double>(c.n));
  const double target = c.wanted * static_cast<double>(c.n) / c.rate;
  for (uint64_t j = 2; j < c.n / 2; ++j) {
    if (is_prime(j) && c.n % j != 0) {
      EXPECT_GE(std::fabs(static_cast<double>(j) - target),
                std::fabs(static_cast<double>(cycles) - target))
          << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Coherent,
                         ::testing::Values(CoherentCase{250e6, 10e6, 65536},
                                           CoherentCase{100e6, 1e6, 1000},
                                           CoherentCase{1e6, 499e3, 4096},
                                           CoherentCase{1e6, 1.0, 4096},
                                           CoherentCase{3e6, 1e6, 3 * 4096}));

VRX5200SignalConfig signal(int32_t kind, int32_t bits, double dbfs, uint64_t cycles) {
  VRX5200SignalConfig c{};
  c.kind = kind;
  c.bits = bits;
  c.amplitude_dbfs = dbfs;
  c.cycles = cycles;
  return c;
}

// A -1 dBFS 16-bit tone reads -1 dBFS, with the SNR of its rounding to codes (1/12 code squared).
TEST(Generator, ATonePatternAnalysesAsItWasAskedFor) {
  const uint64_t n = 65536;
  std::vector<uint16_t> words(n);
  VRX5200SignalConfig c = signal(VRX5200_SIGNAL_TONE, 16, -1.0, 4099);
  VRX5200SignalResult r{};
  ASSERT_EQ(VRX5200Analysis_Generate(c, words.data(), n, &r), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(r.clipped, 0u);
  VRX5200ToneResult t{};
  ASSERT_EQ(VRX5200Analysis_Single_Tone(nullptr, words.data(), VRX5200_SAMPLES_UINT16, n,
                                        sig::tone_config(VRX5200_WINDOW_RECTANGULAR), &t, nullptr),
            VRX5200_ANALYSIS_OK);
  EXPECT_EQ(t.tones[0].bin, 4099u);
  EXPECT_NEAR(t.fundamental_dbfs, -1.0, 0.001);
  const double amplitude = 32768 * std::pow(10.0, -1.0 / 20);
  EXPECT_NEAR(t.sinad_db, sig::db(amplitude * amplitude / 2 * 12), 0.1);
  EXPECT_NEAR(r.crest_factor_db, 3.0103, 0.01);
}

// Offset binary is two's complement plus half the codes, in the low `bits` bits; the file holds
// the same words little-endian.
TEST(Generator, CodeFormatsAndTheFile) {
  const uint64_t n = 4096;
  for (int32_t bits : {12, 16}) {
    std::vector<uint16_t> twos(n), offset(n);
    VRX5200SignalConfig c = signal(VRX5200_SIGNAL_TONE, bits, -0.5, 31);
    ASSERT_EQ(VRX5200Analysis_Generate(c, twos.data(), n, nullptr), VRX5200_ANALYSIS_OK);
    c.code_format = VRX5200_OFFSET_BINARY;
    ASSERT_EQ(VRX5200Analysis_Generate(c, offset.data(), n, nullptr), VRX5200_ANALYSIS_OK);
    const int32_t half = 1 << (bits - 1);
    for (uint64_t i = 0; i < n; ++i) {
      EXPECT_LT(offset[i], 1u << bits);
      EXPECT_EQ(static_cast<int32_t>(offset[i]) - half,
                static_cast<int32_t>(static_cast<int16_t>(twos[i])));
    }
    const std::string path = ::testing::TempDir() + "pattern_" + std::to_string(bits) + ".bin";
    ASSERT_EQ(VRX5200Analysis_Generate_File(c, path.c_str(), n, nullptr), VRX5200_ANALYSIS_OK);
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 2 * n);
    for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(bytes[2 * i] | bytes[2 * i + 1] << 8, offset[i]);
    std::remove(path.c_str());
  }
}

std::string bytes_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A pattern file is written whole or not at all: every way the writing can end leaves either the
// new pattern or the previous file byte for byte, and never a temporary file beside it; devices
// are written in place with their errors counted.
TEST(Generator, AFileIsReplacedOnlyByACompletePattern) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / "whole_pattern_files";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string previous = "the previous pattern";
  struct Case {
    const char* what;
    int32_t bits;
    rlim_t size_limit;   // bytes a file may reach (RLIM_INFINITY: no limit)
    const char* target;  // empty: a regular file in dir that held `previous`
    int32_t expected;
  };
  const Case cases[] = {
      {"refused", 17, RLIM_INFINITY, "", VRX5200_ANALYSIS_BAD_BITS},
      {"the disk fills part-way", 16, 8192, "", VRX5200_ANALYSIS_FILE_WRITE_FAILED},
      {"written", 16, RLIM_INFINITY, "", VRX5200_ANALYSIS_OK},
      {"a device that fails", 16, RLIM_INFINITY, "/dev/full", VRX5200_ANALYSIS_FILE_WRITE_FAILED},
      {"a device that takes it", 16, RLIM_INFINITY, "/dev/null", VRX5200_ANALYSIS_OK},
      {"a directory", 16, RLIM_INFINITY, "DIR", VRX5200_ANALYSIS_FILE_OPEN_FAILED},
  };
  const uint64_t n = 1 << 16;
  std::vector<uint16_t> words(n);
  ASSERT_EQ(
      VRX5200Analysis_Generate(signal(VRX5200_SIGNAL_TONE, 16, -1, 31), words.data(), n, nullptr),
      VRX5200_ANALYSIS_OK);
  const std::string expected_bytes(reinterpret_cast<const char*>(words.data()), 2 * n);
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the process
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path keep = dir / "keep.bin";
    { std::ofstream(keep, std::ios::binary) << previous; }
    fs::create_directories(dir / "DIR");
    const std::string target = *c.target == '\0'                ? keep.string()
                               : std::string(c.target) == "DIR" ? (dir / "DIR").string()
                                                                : std::string(c.target);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = c.size_limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    VRX5200SignalResult r{};
    const int32_t code = VRX5200Analysis_Generate_File(signal(VRX5200_SIGNAL_TONE, c.bits, -1, 31),
                                                       target.c_str(), n, &r);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(code, c.expected);
    const bool replaced = code == VRX5200_ANALYSIS_OK && *c.target == '\0';
    const std::string held = bytes_of(keep);
    const std::string kind = held == previous ? "the previous file"
                             : held == expected_bytes
                                 ? "the new pattern"
                                 : std::to_string(held.size()) + " other bytes";
    EXPECT_EQ(kind, replaced ? "the new pattern" : "the previous file");
    EXPECT_EQ(r.words, code == VRX5200_ANALYSIS_OK ? n : 0u);  // figures only of a written file
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
      names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"DIR", "keep.bin"}));
  }
  std::signal(SIGXFSZ, SIG_DFL);
  fs::remove_all(dir);
}

// Low-crest-factor phases: K equal tones reach a peak well below K times a tone's amplitude
// (a crest factor near 3 dB above a single sine's rather than 10 log10(2K)); every tone is at its
// reported level.
TEST(Generator, MultiToneWithSchroederAndNewmanPhases) {
  const uint64_t n = 1 << 16;
  std::vector<uint64_t> cycles;
  for (uint64_t k = 0; k < 32; ++k) cycles.push_back(1001 + 64 * k);
  for (int32_t phases : {VRX5200_PHASES_SCHROEDER, VRX5200_PHASES_NEWMAN}) {
    VRX5200SignalConfig c = signal(VRX5200_SIGNAL_MULTITONE, 16, -1.0, 0);
    c.phases = phases;
    c.tone_cycles = cycles.data();
    c.tone_count = static_cast<uint32_t>(cycles.size());
    std::vector<uint16_t> words(n);
    VRX5200SignalResult r{};
    ASSERT_EQ(VRX5200Analysis_Generate(c, words.data(), n, &r), VRX5200_ANALYSIS_OK);
    EXPECT_LT(r.crest_factor_db, 6.0);
    EXPECT_NEAR(r.peak_codes, 32768 * std::pow(10.0, -1.0 / 20), 1.0);
    std::vector<double> power(n / 2 + 1);
    ASSERT_EQ(
        VRX5200Analysis_Power_Spectrum(nullptr, words.data(), VRX5200_SAMPLES_UINT16, n,
                                       sig::tone_config(VRX5200_WINDOW_RECTANGULAR), power.data()),
        VRX5200_ANALYSIS_OK);
    for (uint64_t k : cycles)
      EXPECT_NEAR(sig::db(power[k] / (32768.0 * 32768 / 2)), r.tone_dbfs, 0.01);
  }
}

// Seeded noise: the same seed gives the same pattern; the RMS is the sine's RMS at the level.
TEST(Generator, SeededNoiseAndRamp) {
  const uint64_t n = 1 << 16;
  std::vector<uint16_t> a(n), b(n), other(n);
  VRX5200SignalConfig c = signal(VRX5200_SIGNAL_NOISE, 16, -20.0, 0);
  c.seed = 42;
  VRX5200SignalResult r{};
  ASSERT_EQ(VRX5200Analysis_Generate(c, a.data(), n, &r), VRX5200_ANALYSIS_OK);
  ASSERT_EQ(VRX5200Analysis_Generate(c, b.data(), n, nullptr), VRX5200_ANALYSIS_OK);
  c.seed = 43;
  ASSERT_EQ(VRX5200Analysis_Generate(c, other.data(), n, nullptr), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  EXPECT_NEAR(r.rms_codes / (32768 * 0.1 / std::sqrt(2.0)), 1.0, 0.01);
  // A full-scale 16-bit ramp over 65536 words holds every code once.
  VRX5200SignalConfig ramp = signal(VRX5200_SIGNAL_RAMP, 16, 0.0, 1);
  ramp.code_format = VRX5200_OFFSET_BINARY;
  ASSERT_EQ(VRX5200Analysis_Generate(ramp, a.data(), n, &r), VRX5200_ANALYSIS_OK);
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(a[i], i);
  EXPECT_EQ(r.clipped, 0u);
}

// Input with no answer gets its own code and never a figure.
TEST(BadInput, EachRefusalHasItsCode) {
  std::vector<int16_t> tone(4096);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<int16_t>(1000 * std::sin(0.1 * static_cast<double>(i)));
  const std::vector<int16_t> constant(4096, 7);
  const double nan = std::nan("");
  VRX5200ToneResult r{};
  auto single = [&](const void* data, int32_t type, uint64_t n, VRX5200ToneConfig c) {
    r = VRX5200ToneResult{};
    const int32_t code = VRX5200Analysis_Single_Tone(nullptr, data, type, n, c, &r, nullptr);
    if (code != VRX5200_ANALYSIS_OK) {
      EXPECT_EQ(r.version, 0u);  // nothing written
    }
    return code;
  };
  const VRX5200ToneConfig ok = sig::tone_config(VRX5200_WINDOW_HANN);
  VRX5200ToneConfig c = ok;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, ok), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 0, ok), VRX5200_ANALYSIS_TOO_FEW_SAMPLES);
  EXPECT_EQ(single(nullptr, VRX5200_SAMPLES_INT16, 4096, ok), VRX5200_ANALYSIS_NULL_POINTER);
  EXPECT_EQ(single(constant.data(), VRX5200_SAMPLES_INT16, 4096, ok),
            VRX5200_ANALYSIS_CONSTANT_INPUT);
  c.bits = 0;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_BITS);
  c.bits = 33;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_DOUBLE, 2048, c), VRX5200_ANALYSIS_BAD_BITS);
  c.bits = 17;  // more than a word holds
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_BITS);
  c = ok;
  c.rate_hz = nan;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_RATE);
  c.rate_hz = -1;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_RATE);
  c = ok;
  c.window = VRX5200_WINDOW_BLACKMAN_HARRIS_7;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 100, c), VRX5200_ANALYSIS_TOO_FEW_SAMPLES);
  c.window = 9;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_WINDOW);
  c = ok;
  c.harmonics = 1;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_HARMONICS);
  c = ok;
  c.code_format = 2;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_CODE_FORMAT);
  c = ok;
  c.fundamental_cycles = nan;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_FREQUENCY);
  c.fundamental_cycles = 2048;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_FREQUENCY);
  c = ok;
  c.lobe_half_width = -1;
  EXPECT_EQ(single(tone.data(), VRX5200_SAMPLES_INT16, 4096, c), VRX5200_ANALYSIS_BAD_LOBE);
  EXPECT_EQ(single(tone.data(), 7, 4096, ok), VRX5200_ANALYSIS_BAD_SAMPLE_TYPE);
  std::vector<double> with_nan(4096, 1.0);
  with_nan[5] = nan;
  EXPECT_EQ(single(with_nan.data(), VRX5200_SAMPLES_DOUBLE, 4096, ok), VRX5200_ANALYSIS_NOT_FINITE);
  // 4099 samples, a prime length, take Bluestein's way and are analysed as any other.
  std::vector<int16_t> prime(4099);
  for (size_t i = 0; i < prime.size(); ++i)
    prime[i] = static_cast<int16_t>(1000 * std::cos(2 * sig::kPi * 101 * i / 4099.0));
  EXPECT_EQ(single(prime.data(), VRX5200_SAMPLES_INT16, 4099, ok), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(r.tones[0].bin, 101u);
  EXPECT_NEAR(r.fundamental_dbfs, 20 * std::log10(1000 / 32768.0), 0.01);

  VRX5200Analyzer* analyzer = nullptr;
  ASSERT_EQ(VRX5200Analysis_Create(2048, 1, &analyzer), VRX5200_ANALYSIS_OK);
  EXPECT_EQ(VRX5200Analysis_Single_Tone(analyzer, tone.data(), VRX5200_SAMPLES_INT16, 4096, ok, &r,
                                        nullptr),
            VRX5200_ANALYSIS_LENGTH_MISMATCH);
  VRX5200Analysis_Destroy(analyzer);

  VRX5200FitConfig fit{};
  fit.bits = 16;
  fit.parameters = 3;
  VRX5200FitResult f{};
  EXPECT_EQ(VRX5200Analysis_Sine_Fit(tone.data(), VRX5200_SAMPLES_INT16, 4096, fit, &f),
            VRX5200_ANALYSIS_BAD_FREQUENCY);
  fit.parameters = 5;
  EXPECT_EQ(VRX5200Analysis_Sine_Fit(tone.data(), VRX5200_SAMPLES_INT16, 4096, fit, &f),
            VRX5200_ANALYSIS_BAD_FIT_KIND);
  fit.parameters = 4;
  EXPECT_EQ(VRX5200Analysis_Sine_Fit(tone.data(), VRX5200_SAMPLES_INT16, 8, fit, &f),
            VRX5200_ANALYSIS_TOO_FEW_SAMPLES);
  EXPECT_EQ(VRX5200Analysis_Sine_Fit(constant.data(), VRX5200_SAMPLES_INT16, 4096, fit, &f),
            VRX5200_ANALYSIS_CONSTANT_INPUT);

  VRX5200CodeDensityResult d{};
  EXPECT_EQ(VRX5200Analysis_Code_Density(constant.data(), VRX5200_SAMPLES_INT16, 4096, 12, 0,
                                         nullptr, nullptr, &d),
            VRX5200_ANALYSIS_CODES_NOT_COVERED);
  EXPECT_EQ(VRX5200Analysis_Code_Density(with_nan.data(), VRX5200_SAMPLES_DOUBLE, 4096, 12, 0,
                                         nullptr, nullptr, &d),
            VRX5200_ANALYSIS_BAD_SAMPLE_TYPE);

  uint64_t cycles = 0;
  double hz = 0;
  EXPECT_EQ(VRX5200Analysis_Coherent_Frequency(nan, 4096, 1e3, &cycles, &hz),
            VRX5200_ANALYSIS_BAD_RATE);
  EXPECT_EQ(VRX5200Analysis_Coherent_Frequency(1e6, 4096, 6e5, &cycles, &hz),
            VRX5200_ANALYSIS_BAD_FREQUENCY);
  EXPECT_EQ(VRX5200Analysis_Coherent_Frequency(1e6, 4, 1e5, &cycles, &hz),
            VRX5200_ANALYSIS_NO_COHERENT_FREQUENCY);

  std::vector<uint16_t> words(64);
  VRX5200SignalConfig s = signal(VRX5200_SIGNAL_TONE, 16, nan, 3);
  EXPECT_EQ(VRX5200Analysis_Generate(s, words.data(), 64, nullptr), VRX5200_ANALYSIS_BAD_AMPLITUDE);
  s = signal(VRX5200_SIGNAL_TONE, 16, -1, 32);
  EXPECT_EQ(VRX5200Analysis_Generate(s, words.data(), 64, nullptr), VRX5200_ANALYSIS_BAD_TONES);
  s = signal(9, 16, -1, 3);
  EXPECT_EQ(VRX5200Analysis_Generate(s, words.data(), 64, nullptr),
            VRX5200_ANALYSIS_BAD_SIGNAL_KIND);
  s = signal(VRX5200_SIGNAL_TONE, 17, -1, 3);
  EXPECT_EQ(VRX5200Analysis_Generate(s, words.data(), 64, nullptr), VRX5200_ANALYSIS_BAD_BITS);
  s = signal(VRX5200_SIGNAL_TONE, 16, -1, 3);
  EXPECT_EQ(VRX5200Analysis_Generate_File(s, "/nonexistent-folder/p.bin", 64, nullptr),
            VRX5200_ANALYSIS_FILE_OPEN_FAILED);
}

// One sentence per code, no two alike.
TEST(ResultTexts, OneSentencePerMeaning) {
  std::set<std::string> seen;
  for (int32_t code = 0; code <= VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH; ++code) {
    const std::string text = VRX5200Analysis_Result_Text(code);
    EXPECT_NE(text, "unknown result code") << code;
    EXPECT_TRUE(seen.insert(text).second) << code;
  }
  EXPECT_EQ(std::string(VRX5200Analysis_Result_Text(999)), "unknown result code");
}

}  // namespace
