// Loopback on the bench: a pattern played by the board comes back through its ADC, through the
// converter model, and the captures say what the model was given.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "sim/vrx5200sim.h"
#include "support.h"

namespace {

const double kPi = 3.14159265358979323846;

class LoopbackTest : public BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    open_board();
    bench.set_recording(false);  // captures of 64 Ki samples: no need to keep every byte
  }

  // Uploads `words` from board byte `offset` and starts their playback.
  void play(const std::vector<uint16_t>& words, int32_t offset = 0) {
    const DAC_Session_Params p = dac_session_params();
    ASSERT_EQ(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p), 0);
    int32_t position = 0, done = 0;
    const uint32_t n = static_cast<uint32_t>(words.size());
    while (done != 1) {
      ASSERT_EQ(
          VRX5200BrdCtrl_Write_DDR_from_Array(words.data(), offset, 10000, &position, n, &done), 0);
    }
  }

  std::vector<int16_t> capture(int32_t n) {
    ADC_Session_Params p{};
    p.Rate_Factor = 2;
    p.Rate = 250e6;
    p.Register_1_Value = 0x02;
    EXPECT_EQ(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p), 0);
    std::vector<uint16_t> codes(static_cast<size_t>(n));
    EXPECT_EQ(VRX5200BrdCtrl_Read_from_ADC(n, codes.data()), 0);
    return std::vector<int16_t>(codes.begin(), codes.end());
  }
};

// A coherent sine of `cycles` periods in `n` words, `amplitude` codes, two's complement.
std::vector<uint16_t> sine(size_t n, uint32_t cycles, double amplitude) {
  std::vector<uint16_t> words(n);
  for (size_t i = 0; i < n; ++i) {
    const double v = amplitude * std::sin(2 * kPi * cycles * static_cast<double>(i) / n);
    words[i] = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v)));
  }
  return words;
}

// The DFT of x at bin m, scaled so that a sine of amplitude A reads |X| = A.
std::complex<double> bin(const std::vector<int16_t>& x, uint64_t m) {
  const uint64_t n = x.size();
  std::complex<double> sum = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const double angle = -2 * kPi * static_cast<double>(m * i % n) / static_cast<double>(n);
    sum += static_cast<double>(x[i]) * std::polar(1.0, angle);
  }
  return sum * (2.0 / static_cast<double>(n));
}

double mean(const std::vector<int16_t>& x) {
  double s = 0;
  for (const int16_t v : x) s += v;
  return s / static_cast<double>(x.size());
}

// A full-scale sine of 129 cycles in 4,096 words, played and captured as 65,536 samples
// (16 pattern periods, so the tone and harmonic k sit exactly in bin 16 * 129 * k). With the
// sine's amplitude a = 32767 / 32768 of full scale, the model promises:
//   tone        gain * 32768 * a (T_3 and T_5 move it by under 0.01 code at this a),
//   harmonic k  gain * 32768 * h_k * a^k, so level_k + 20 (k - 1) log10(a) dBc,
//   mean        offset + gain * 32768 * (h_2 a^2 + h_4 (3 a^4 - 4 a^2)),
//   noise       noise^2 + (gain^2 + 1) / 12 of power besides them: the Gaussian noise, the DAC's
//               rounding of the pattern (through the gain) and the ADC's own rounding.
TEST_F(LoopbackTest, ToneNoiseAndHarmonicsAreTheModels) {
  const double noise = 4.0, gain = 0.9, offset = 25.0;
  const double levels[4] = {-55.0, -60.0, -65.0, -70.0};
  const uint32_t period = 4096, cycles = 129;
  const int32_t n = 65536;
  ASSERT_EQ(VRXSim_Set_Loopback(0, 1, noise, gain, offset, levels, 4, 7), 0);
  play(sine(period, cycles, 32767.0));
  const std::vector<int16_t> x = capture(n);

  const double a = 32767.0 / 32768.0, fs = 32768.0;
  const uint64_t tone_bin = uint64_t{n} / period * cycles;
  const std::complex<double> tone = bin(x, tone_bin);
  // Noise moves a bin's amplitude by noise * sqrt(2 / n) = 0.02 codes RMS; the pattern's
  // rounding by about as much.
  EXPECT_NEAR(std::abs(tone), gain * fs * a, 0.25);
  const double m = mean(x);
  double residual = 0;
  for (const int16_t v : x) residual += (v - m) * (v - m) / n;
  residual -= std::norm(tone) / 2;
  for (int k = 2; k <= 5; ++k) {
    const std::complex<double> h = bin(x, tone_bin * static_cast<uint64_t>(k) % n);
    residual -= std::norm(h) / 2;
    // The weakest, -70 dBc, is 9.3 codes: 0.2 dB is 0.2 codes, ten times the noise's share.
    EXPECT_NEAR(20 * std::log10(std::abs(h) / std::abs(tone)),
                levels[k - 2] + 20 * (k - 1) * std::log10(a), 0.2)
        << "harmonic " << k;
  }
  const double h2 = std::pow(10.0, levels[0] / 20), h4 = std::pow(10.0, levels[2] / 20);
  // The noise moves the mean by noise / sqrt(n) = 0.016 codes RMS.
  EXPECT_NEAR(m, offset + gain * fs * (h2 * a * a + h4 * (3 * std::pow(a, 4) - 4 * a * a)), 0.1);
  // The estimate of the noise power has a relative RMS error of sqrt(2 / n) = 0.55%.
  const double measured = std::sqrt(residual - (gain * gain + 1) / 12);
  EXPECT_NEAR(measured, noise, 0.02 * noise);

  // The next capture starts capture_step (4,099) words on, 3 words of this pattern later: the
  // tone's phase moves on by 2 pi * 129 * 3 / 4096; its noise is new.
  const std::vector<int16_t> y = capture(n);
  const std::complex<double> next = bin(y, tone_bin);
  EXPECT_NEAR(std::remainder(std::arg(next / tone) - 2 * kPi * cycles * 3.0 / period, 2 * kPi), 0.0,
              1e-4);
  EXPECT_NE(x, y);
}

// Polynomial curve f(u) = u + c2 u^2 + c3 u^3, no noise, a half-scale sine u = a sin t:
//   u^2 = a^2 / 2 (1 - cos 2t),  u^3 = a^3 (3/4 sin t - 1/4 sin 3t).
TEST_F(LoopbackTest, PolynomialCurveGivesItsClosedFormHarmonics) {
  const double c[2] = {0.01, -0.02};
  ASSERT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, 1.0, 0.0, nullptr, 0, 1), 0);
  ASSERT_EQ(VRXSim_Set_Loopback_Polynomial(0, c, 2), 0);
  play(sine(4096, 129, 16384.0));
  const std::vector<int16_t> x = capture(65536);
  const double a = 0.5, fs = 32768.0;
  const uint64_t tone_bin = 16 * 129;
  // Without noise only the two roundings remain, periodic in the pattern: they move a bin by a
  // few hundredths of a code (0.03 here at the fundamental).
  EXPECT_NEAR(std::abs(bin(x, tone_bin)), fs * (a + c[1] * 3 * a * a * a / 4), 0.1);
  EXPECT_NEAR(std::abs(bin(x, 2 * tone_bin)), fs * c[0] * a * a / 2, 0.1);
  EXPECT_NEAR(std::abs(bin(x, 3 * tone_bin)), fs * -c[1] * a * a * a / 4, 0.1);
  EXPECT_NEAR(std::abs(bin(x, 4 * tone_bin)), 0.0, 0.1);
  EXPECT_NEAR(mean(x), fs * c[0] * a * a / 2, 0.1);
}

// Unit gain, no curve, no noise: every sample is its pattern word plus the offset, clipped, so
// the word each sample reads is checked one by one.
TEST_F(LoopbackTest, SamplesReadThePlayedWordsInOrder) {
  ASSERT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, 1.0, 1000.0, nullptr, 0, 1), 0);
  // No playback yet: the DAC rests at mid-scale.
  for (const int16_t v : capture(4096)) {
    ASSERT_EQ(v, 1000);
  }

  // 4,131 words from byte 100 (rounded down to 96): the board plays 4,128 of them, the last
  // burst's, from there; words spread over the whole range, so the highest clip.
  std::vector<uint16_t> words(4131);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(i * 40503u);
  play(words, 100);
  const uint64_t period = 4128;
  auto clip = [](int32_t v) { return static_cast<int16_t>(std::min(v, 32767)); };
  for (uint64_t k = 0; k < 3; ++k) {
    if (k == 2) {
      ASSERT_EQ(VRXSim_Set_Loopback_Format(0, 1), 0);  // the same words, offset binary
    }
    const std::vector<int16_t> x = capture(8192);
    for (uint64_t i = 0; i < x.size(); ++i) {
      const uint16_t w = words[(k * 4099 + i) % period];
      const int32_t value = k == 2 ? w - 32768 : static_cast<int16_t>(w);
      ASSERT_EQ(x[i], clip(value + 1000)) << "capture " << k << ", sample " << i;
    }
  }
  EXPECT_EQ(board().pattern(96, 4), (std::vector<uint16_t>(words.begin(), words.begin() + 4)));

  // Refused settings change nothing.
  const double nan = std::nan(""), level = -60;
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, nan, 1.0, 0.0, nullptr, 0, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, -1.0, 1.0, 0.0, nullptr, 0, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, INFINITY, 0.0, nullptr, 0, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, 1.0, 0.0, nullptr, 1, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, 1.0, 0.0, &level, 5, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(0, 1, 0.0, 1.0, 0.0, &nan, 1, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback(1, 1, 0.0, 1.0, 0.0, nullptr, 0, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback_Polynomial(0, nullptr, 1), 108);
  EXPECT_EQ(VRXSim_Set_Loopback_Polynomial(0, &level, 9), 108);
  EXPECT_EQ(VRXSim_Set_Loopback_Format(1, 0), 108);
  const std::vector<int16_t> x = capture(64);
  for (uint64_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(x[i], clip(words[(3 * 4099 + i) % period] - 32768 + 1000));
  }

  // Reads that split samples: lane 1's bytes (the odd samples) again, in 7, 9 and 16 bytes.
  board().lane_bytes_read[1] = 0;
  Bytes got(32);
  board().capture_stream(1, got.data(), 7);
  board().capture_stream(1, got.data() + 7, 9);
  board().capture_stream(1, got.data() + 16, 16);
  for (size_t b = 0; b < got.size(); ++b) {
    const uint16_t s = static_cast<uint16_t>(x[2 * (b / 2) + 1]);
    EXPECT_EQ(got[b], static_cast<uint8_t>(b % 2 ? s >> 8 : s)) << "byte " << b;
  }
}

// Loopback off: the synthetic signal, as a board that never had a loopback serves it.
TEST_F(LoopbackTest, OffLeavesTheSignalAsItWas) {
  sim::Board reference("REFERENCE");
  play(sine(4096, 129, 30000.0));
  auto synthetic = [&](int32_t n) {
    std::vector<int16_t> out(static_cast<size_t>(n));
    const uint64_t c = board().captures - 1;
    for (int32_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(reference.sample(c, i));
    return out;
  };
  std::vector<int16_t> x = capture(65536);
  EXPECT_EQ(x, synthetic(65536));
  ASSERT_EQ(VRXSim_Set_Loopback(0, 1, 3.0, 1.0, 0.0, nullptr, 0, 1), 0);
  x = capture(65536);
  EXPECT_NE(x, synthetic(65536));
  ASSERT_EQ(VRXSim_Set_Loopback(0, 0, std::nan(""), 0.0, 0.0, nullptr, -1, 0), 0);
  x = capture(65536);
  EXPECT_EQ(x, synthetic(65536));
}

}  // namespace
